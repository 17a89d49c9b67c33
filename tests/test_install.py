"""Installed like any Python package: wheels in a bare environment (no NumPy,
Pillow or TensorFlow), import errors a Python module would raise, and
plug-in metadata that covers what the plug-in imports."""

import ast
import importlib.metadata
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def bare_env():
    """The environment of a process in the bare venv: nothing of this run's
    own paths (PYTHONPATH, a preloaded sanitizer runtime) leaks into it."""
    import os
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONHOME")}


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheels")
    for project in (ROOT, ROOT / "plugins" / "veltrix-tflite", ROOT / "plugins" / "veltrix-onnx"):
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(out),
                        str(project)], check=True, capture_output=True, cwd=out)
    return out


@pytest.fixture(scope="module")
def bare(wheels, tmp_path_factory):
    """A fresh environment holding only the two wheels, none of their dependencies."""
    venv = tmp_path_factory.mktemp("bare") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, capture_output=True, env=bare_env())
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-deps", "--no-index",
                    *map(str, sorted(wheels.glob("veltrix_[ct]*.whl")))], check=True, capture_output=True,
                   env=bare_env())
    return venv


@pytest.mark.parametrize("words, expected", [
    (["-v"], "veltrix-converter 0.1.0\n"),
    (["-r"], "Source model path\n"),
    # listed; its verdict names the dependencies this bare environment lacks
    (["-l"], "---------------   veltrix-tflite   ---------------\n"),
])
def test_the_command_works_without_the_sample_dependencies(bare, tmp_path, words, expected):
    result = subprocess.run([str(bare / "bin" / "veltrix-converter"), *words], capture_output=True, text=True,
                            cwd=tmp_path, stdin=subprocess.DEVNULL, env=bare_env())
    assert result.returncode == 0 and expected in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("module, missing", [("dataset", "PIL"), ("sample_feeds", "numpy")])
def test_a_missing_sample_dependency_raises_what_python_raises(bare, tmp_path, module, missing):
    code = ("try:\n    import veltrix.converter.plugin_api.%s\n"
            "except ModuleNotFoundError as exc:\n    print(exc.name, '|', exc, '|', *getattr(exc, '__notes__', []))\n"
            % module)
    result = subprocess.run([str(bare / "bin" / "python"), "-c", code], capture_output=True, text=True, cwd=tmp_path,
                            env=bare_env())
    assert result.stdout == ("%s | No module named '%s' | veltrix.converter.plugin_api.%s needs the 'samples' "
                             "extra: pip install 'veltrix-converter[samples]'\n" % (missing, missing, module)), result.stderr


@pytest.mark.parametrize("plugin", ["veltrix_tflite", "veltrix_onnx"])
def test_plugin_metadata_covers_every_import(wheels, plugin):
    (wheel,) = wheels.glob(plugin + "-*.whl")
    with zipfile.ZipFile(wheel) as z:
        metadata = z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode()
    required = {canonical(re.match(r"[A-Za-z0-9._-]+", line.split(":", 1)[1].strip()).group())
                for line in metadata.splitlines() if line.startswith("Requires-Dist:")}
    tree = ast.parse((ROOT / "plugins" / plugin.replace("_", "-") / (plugin + ".py")).read_text())
    imported = {alias.name.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
    imported |= {node.module.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module}
    providers = importlib.metadata.packages_distributions()
    for module in sorted(imported - set(sys.stdlib_module_names)):
        assert {canonical(d) for d in providers[module]} & required, (module, required)
