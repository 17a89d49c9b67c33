"""Shared fixtures: real plug-in distributions laid out on disk, and runs of
the real command in a child process with those distributions on its path."""

import importlib
import importlib.util
import os
import subprocess
import sys
import textwrap
import types
import uuid
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# The plug-in author's kit: the fixture `veltrix_plugin`.
pytest_plugins = ["veltrix.converter.plugin_api.testing"]

# "ci": a short fuzzing run in the ordinary suite, the same examples every run
# and no example database, so a good change cannot fail by chance; "deep":
# `make fuzz`, random and with its database, to find new failures (each one it
# finds becomes an explicit example in the ordinary suite).
_FUZZ = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("ci", max_examples=300, derandomize=True, database=None, **_FUZZ)
settings.register_profile("deep", max_examples=int(os.environ.get("VELTRIX_FUZZ_EXAMPLES", "20000")), **_FUZZ)
settings.load_profile(os.environ.get("VELTRIX_HYPOTHESIS", "ci"))

# TensorFlow's C++ start-up chatter is not what these tests look at.
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

# The core sessions of other interpreters (noxfile.py) have neither TensorFlow
# nor the plug-ins and their libraries. There, a test (or a whole test module)
# that fails to import one of these is skipped; where they are installed, the
# same error fails the test as any other. A test that needs one without
# importing it (it runs the command) says so with `needs`.
LIBRARIES = ("tensorflow", "keras", "tf2onnx", "onnx", "onnxruntime", "ai_edge_litert", "torch", "onnxscript", "openvino",
             "nncf", "transformers", "veltrix_tflite", "veltrix_onnx", "veltrix_torch", "veltrix_openvino")
ABSENT = {name for name in LIBRARIES if importlib.util.find_spec(name) is None}


def needs(*modules):
    """Mark: skip where one of these top-level modules is not installed."""
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    return pytest.mark.skipif(bool(missing), reason="needs %s" % ", ".join(missing))


def absent_library(error):
    """The absent library whose import raised `error`, or None."""
    while error is not None and not isinstance(error, ModuleNotFoundError):
        error = error.__cause__
    name = (getattr(error, "name", None) or "").partition(".")[0]
    return name if name in ABSENT else None


def later(name):
    """Module `name`, imported at its first use, so that a module-level name of
    a test file costs only the tests that use it where its imports are absent."""
    class Later(types.ModuleType):
        def __getattr__(self, attribute):
            return getattr(importlib.import_module(name), attribute)
    return Later(name)


@pytest.hookimpl(wrapper=True)
def pytest_make_collect_report(collector):
    report = yield
    if report.failed and isinstance(collector, pytest.Module):
        try:
            collector.obj
        except collector.CollectError as error:
            if absent_library(error):
                report.outcome, report.longrepr = "skipped", (str(collector.path), 0,
                                                              "Skipped: needs %s" % absent_library(error))
    return report


def _skip_when_absent(item):
    try:
        return (yield)
    except ModuleNotFoundError as error:
        if absent_library(error):
            pytest.skip("needs %s" % absent_library(error))
        raise


pytest_runtest_setup = pytest.hookimpl(wrapper=True)(_skip_when_absent)
pytest_runtest_call = pytest.hookimpl(wrapper=True)(_skip_when_absent)

COMMAND = str(Path(sys.executable).with_name("veltrix-converter"))

# A plug-in that converts "h5" to "tflite" and echoes what it was given.
GOOD_PLUGIN = '''
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5", "pb"], "supported_outputs": ["tflite"]}
    if src_type in ("h5", "pb") and dst_type == "tflite":
        return {"level": {"type": "int", "default": "3", "help": "Optimisation level"}}
    return None

def convert(src, dst, params):
    return {"success": "yes", "message": "converted level=%r" % (params["level"],)}
'''


def command(*words, cwd, timeout=300):
    """The installed command, run in `cwd`."""
    return subprocess.run([COMMAND, *words], capture_output=True, text=True, stdin=subprocess.DEVNULL, cwd=cwd,
                          timeout=timeout)


class Site:
    """A folder on sys.path holding distributions made for one test."""

    def __init__(self, root: Path):
        self.root = root
        root.mkdir(parents=True, exist_ok=True)

    def add(self, dist, source=GOOD_PLUGIN, version="1.0", summary="A test plug-in", author="Tester",
            module=None, entry_points=None, headers=None):
        """Lay out DIST-VERSION.dist-info and its plug-in module; return the module name.

        `entry_points` lists (name, target) pairs of the "veltrix_converter"
        group; `headers` replaces the METADATA headers after Name.
        """
        module = module or "vxp_%s_%s" % (dist.replace("-", "_").lower(), uuid.uuid4().hex[:8])
        (self.root / (module + ".py")).write_text(textwrap.dedent(source))
        info = self.root / ("%s-%s.dist-info" % (dist.replace("-", "_"), version))
        info.mkdir()
        if headers is None:
            headers = [("Version", version), ("Summary", summary), ("Author", author)]
        lines = ["Metadata-Version: 2.1", "Name: " + dist] + ["%s: %s" % h for h in headers]
        (info / "METADATA").write_text("\n".join(lines) + "\n")
        eps = entry_points if entry_points is not None else [(dist, module)]
        (info / "entry_points.txt").write_text(
            "[veltrix_converter]\n" + "".join("%s = %s\n" % ep for ep in eps))
        return module

    def env(self, hide_pkg_resources=False):
        env = dict(os.environ)
        paths = [str(self.root)]
        if hide_pkg_resources:
            blocker = self.root.parent / (self.root.name + "-nopkgres")
            blocker.mkdir(exist_ok=True)
            # sitecustomize runs before anything imports pkg_resources
            (blocker / "sitecustomize.py").write_text("import sys\nsys.modules['pkg_resources'] = None\n")
            paths.insert(0, str(blocker))
        env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
        return env

    def run(self, *args, hide_pkg_resources=False, timeout=120):
        """Run the command with this site on its path."""
        return subprocess.run([COMMAND, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              env=self.env(hide_pkg_resources), timeout=timeout, cwd=self.root)

    def python(self, code, hide_pkg_resources=False, timeout=120):
        """Run Python code with this site on its path."""
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, env=self.env(hide_pkg_resources), timeout=timeout,
                              cwd=self.root)


@pytest.fixture
def site(tmp_path):
    return Site(tmp_path / "site")


@pytest.fixture
def live_site(site, monkeypatch):
    """The site visible to the registry in this process.

    pkg_resources fixes its view of installed distributions when first
    imported, so in-process registries enumerate through importlib.metadata
    (pkg_resources hidden), which reads sys.path at each query.
    """
    monkeypatch.syspath_prepend(str(site.root))
    monkeypatch.setitem(sys.modules, "pkg_resources", None)
    importlib.invalidate_caches()
    return site


@pytest.fixture
def argv(monkeypatch):
    """Set sys.argv to ["veltrix-converter", *words]."""
    def set_words(*words):
        monkeypatch.setattr(sys, "argv", ["veltrix-converter", *words])
    return set_words


@pytest.fixture
def cli():
    """The front-end module, with its namespace restored after the test."""
    from veltrix.converter import convert
    saved = dict(vars(convert))
    yield convert
    for name in list(vars(convert)):
        if name not in saved:
            delattr(convert, name)
    for name, value in saved.items():
        setattr(convert, name, value)


def make_pictures(folder, seed, count=24, size=16):
    """`count` size x size pictures (red or blue dominated) in folder/samples;
    returns them as 0..1 float (size, size, 3) arrays, their labels and their
    uint8 pixels."""
    import numpy as np
    from PIL import Image
    rng = np.random.default_rng(seed)
    (folder / "samples").mkdir()
    images, labels, pixels_list = [], [], []
    for i in range(count):
        label = i % 2
        pixels = rng.integers(0, 100, (size, size, 3))
        pixels[..., label * 2] += 150
        pixels = pixels.clip(0, 255).astype(np.uint8)
        Image.fromarray(pixels).save(folder / "samples" / ("%02d.png" % i))
        pixels_list.append(pixels)
        images.append(pixels.astype(np.float32) / 255.0)
        labels.append(label)
    return np.stack(images), np.array(labels), pixels_list


def train_classifier(folder, seed, count=24, size=16):
    """The pictures of `make_pictures` and a small Keras classifier trained on
    them, saved as m.keras and m.h5; returns the model, the images (0..1
    floats) and their uint8 pixels."""
    import keras
    images, labels, pixels_list = make_pictures(folder, seed, count, size)
    keras.utils.set_random_seed(seed)
    inputs = keras.Input((size, size, 3), name="image")  # named: the names are in every SUCCESS line
    x = keras.layers.Conv2D(4, 3, activation="relu")(inputs)
    x = keras.layers.GlobalAveragePooling2D()(x)
    model = keras.Model(inputs, keras.layers.Dense(2, activation="softmax", name="scores")(x))
    model.compile("adam", "sparse_categorical_crossentropy")
    model.fit(images, labels, epochs=5, verbose=0)
    model.save(folder / "m.keras")
    model.save(folder / "m.h5")
    return model, images, pixels_list
