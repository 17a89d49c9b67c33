"""The plug-in author's kit: a plug-in defined here, run through the real front
end with no installation; strict options; the typed contract under mypy
--strict; the copyable example; docstrings of the native API."""

import os
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import numpy as np
import pytest

from conftest import needs
from veltrix.converter.plugin_api.helpers import PluginError, check_options, plugin_convert

ROOT = Path(__file__).resolve().parents[1]


def table():
    return {"level": {"type": "int", "default": 3, "help": "Level"},
            "mode": {"type": "string", "default": "fast", "choices": ["fast", "small"]},
            "strip": {"type": "boolean", "default": False},
            "sizes": {"type": "int", "array": "2", "default": [1, 1]},
            "ratio": {"type": "float", "default": 0.5}}


@plugin_convert
def _convert(src, dst, params):
    options = check_options(params, table())
    if options["level"] > 9:
        raise PluginError("--level must be 0 to 9, not %d" % options["level"])
    return "level=%(level)d mode=%(mode)s strip=%(strip)s sizes=%(sizes)s ratio=%(ratio)r" % options


PLUGIN = types.SimpleNamespace(
    query_convert=lambda s, d: ({"supported_inputs": ["h5"], "supported_outputs": ["out"]} if s is None
                                else table() if (s, d) == ("h5", "out") else None),
    convert=_convert)


@pytest.mark.parametrize("words, status, message", [
    ([], 0, "level=3 mode=fast strip=False sizes=[1, 1]"),
    (["--level", "7", "--mode", "small", "--strip", "no", "--sizes", "4,5"], 0,
     "level=7 mode=small strip=False sizes=[4, 5]"),
    (["--strip", "1"], 0, "level=3 mode=fast strip=True sizes=[1, 1]"),
    (["--level", "12"], 1, "--level must be 0 to 9, not 12"),
    (["--levle", "2"], 1, "Unknown option --levle (did you mean --level?)"),
    (["--mode", "tiny"], 1, "--mode must be one of fast, small, not 'tiny'"),
    (["--strip", "maybe"], 1, "--strip takes true or false, not 'maybe'"),
    (["--sizes", "1,2,3"], 1, "--sizes takes 2 values, not 3 (1,2,3)"),
    (["--level", "--strip"], 1, "--level needs a number (it was given as a bare flag)"),
    ([], 0, "level=3 mode=fast strip=False sizes=[1, 1] ratio=0.5"),
    (["--ratio", "0.0000001"], 0, "level=3 mode=fast strip=False sizes=[1, 1] ratio=1e-07"),
    (["--ratio", "2"], 0, "level=3 mode=fast strip=False sizes=[1, 1] ratio=2.0"),
    (["--ratio", "abc"], 1, "--ratio needs a number, not 'abc'"),
    (["--ratio", "nan"], 1, "--ratio needs a number, not 'nan'"),
    (["--ratio", "--strip"], 1, "--ratio needs a number (it was given as a bare flag)"),
])
def test_a_plugin_defined_here_through_the_real_front_end(veltrix_plugin, tmp_path, words, status, message):
    name = veltrix_plugin.add(PLUGIN, name="vx-here")
    (tmp_path / "m.h5").write_text("")
    result = veltrix_plugin.run("--plugin", name, *words, str(tmp_path / "m.h5"), str(tmp_path / "m.out"))
    assert result.status == status and result.response["message"].startswith(message), result.stdout
    assert result.lines[1] == "Using Converter Plugin : vx-here"
    # what the plug-in received: its table, the reserved catalogue and the front end's keys
    from veltrix.converter.plugin_api.params import reserved_params_list
    expected = set(table()) | set(reserved_params_list) | {"plugin"}
    assert expected <= set(result.params) and set(result.params) - expected <= {w[2:] for w in words}
    assert result.params["input-model-type"] == "h5" and result.params["source"] == str(tmp_path / "m.h5")


@pytest.mark.parametrize("level, message", [
    (0, None), (7, None),
    (-3, "--level needs a whole number of 0 or more, not -3"),  # the command line cannot give it either
    (True, "--level needs a number (it was given as a bare flag)"),
])
def test_check_options_on_whole_numbers(level, message):
    if message is None:
        assert check_options({"level": level}, table())["level"] == level
    else:
        with pytest.raises(PluginError) as info:
            check_options({"level": level}, table())
        assert str(info.value) == message


def test_registered_plugins_are_listed_and_gone_afterwards(monkeypatch):
    from veltrix.converter.plugin_api.testing import installed_plugin, run_command
    seen = []  # VX_KEPT as the plug-in saw it while listed
    spy = types.SimpleNamespace(query_convert=lambda s, d: seen.append(os.environ.get("VX_KEPT")) or PLUGIN.query_convert(s, d),
                                convert=_convert)
    monkeypatch.setenv("VX_KEPT", "before")
    path, environ, modules = list(sys.path), dict(os.environ), set(sys.modules)
    blocker = sys.modules.get("pkg_resources", "absent")
    with pytest.raises(RuntimeError, match="in the block"):  # what a failing test leaves behind
        with installed_plugin(spy, name="vx-listed"):
            assert len(sys.path) == len(path) + 1
            site = sys.path[0]
            listed = run_command("-l", "--json", environ={"VX_KEPT": "during", "VX_ADDED": "1"})
            raise RuntimeError("in the block")
    assert listed.status == 0 and "vx-listed" in listed.stdout and '"verdict": "ok"' in listed.stdout
    assert seen == ["during"]
    left = {m for m in set(sys.modules) - modules if m.startswith("_veltrix_plugin")}  # the plug-in's alias
    assert (sys.path, dict(os.environ), left) == (path, environ, set())
    assert (os.path.exists(site), sys.modules.get("pkg_resources", "absent")) == (False, blocker)
    assert "vx-listed" not in run_command("-l", "--json").stdout


WRONG = {
    "a text where (source, crop) goes": "Dataset('imgs', [1, 2, 2, 3], 'unsigned')",
    "a misspelt normalisation": "Dataset(('imgs', False), [1, 2, 2, 3], 'unsinged')",
    "an unknown descriptor type": "t: ParameterTable = {'x': {'type': 'integer'}}",
    "an attribute OptionMapper lacks": "OptionMapper().procesz({}, {})",
    "an answer that is not yes or no": "r: ConversionResponse = {'success': True, 'message': ''}",
    "a plug-in without convert": "class Half:\n    pass\np: ConverterPlugin = Half()",
}


def mypy(tmp_path, *paths):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--ignore-missing-imports", "--no-incremental",
                           "--cache-dir", str(tmp_path / ".mypy"), *map(str, paths)],
                          capture_output=True, text=True, cwd=tmp_path)


def test_the_typed_contract_under_mypy_strict(tmp_path):
    good = [ROOT / "plugins" / "veltrix-tflite" / "veltrix_tflite.py", ROOT / "plugins" / "veltrix-onnx" / "veltrix_onnx.py",
            ROOT / "plugins" / "veltrix-torch" / "veltrix_torch.py",
            ROOT / "examples" / "minimal-plugin" / "veltrix_npz.py"]
    result = mypy(tmp_path, *good)
    assert result.returncode == 0, result.stdout
    header = ("from veltrix.converter.plugin_api.dataset import Dataset\n"
              "from veltrix.converter.plugin_api.option_mapper import OptionMapper\n"
              "from veltrix.converter.plugin_api.contract import ConversionResponse, ConverterPlugin, ParameterTable\n")
    for what, code in WRONG.items():
        bad = tmp_path / "bad.py"
        bad.write_text(header + code + "\n")
        result = mypy(tmp_path, bad)
        assert result.returncode == 1 and "error" in result.stdout, what


def test_the_copyable_example_passes_its_own_tests(tmp_path):
    folder = tmp_path / "my-plugin"
    shutil.copytree(ROOT / "examples" / "minimal-plugin", folder)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"], capture_output=True,
                            text=True, cwd=folder, env=dict(os.environ, PYTHONPATH=str(folder)))
    assert result.returncode == 0 and "2 passed" in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("obj, text", [
    ("veltrix.converter.plugin_api.option_mapper.OptionMapper", "process(self, params, ref, process_array=False)"),
    ("veltrix.converter.plugin_api.option_mapper.OptionMapper", "Maps options onto a parameter table"),
    ("veltrix.converter.plugin_registry.PluginRegistry", "get_converters_info_list(self)"),
    pytest.param("veltrix.converter.plugin_api.dataset.Dataset", "a fresh, lazy pass yielding [sample] items",
                 marks=needs("tensorflow")),
    ("veltrix.converter.plugin_api.sample_feeds.BaseDatasetGenerator", "float32 NumPy array"),
    ("veltrix.converter.convert.convert", "Returns {'success': 'yes' or 'no', 'message': text}"),
])
def test_help_shows_the_native_api(obj, text):
    assert text in " ".join(pydoc.render_doc(pydoc.locate(obj), renderer=pydoc.plaintext).split())


@pytest.mark.parametrize("shape, asked, layout, phrase", [
    ([1, 1, 16, 16], None, "NCHW", "channels-first (NCHW), read from the input shape [1, 1, 16, 16]"),
    ([1, 3, 224, 224], None, "NCHW", "read from"),
    ([None, 3, None, None], None, "NCHW", "[?, 3, ?, ?]"),
    ([1, 16, 16, 1], None, "NHWC", "channels-last (NHWC), read from"),
    ([-1, 224, 224, 3], None, "NHWC", "read from"),
    ([1, 3, 3, 3], None, "NHWC", "the default (the input shape [1, 3, 3, 3] does not say)"),
    ([1, 3, 2, 2], None, "NHWC", "the default"),
    ([1, 3, 3, 16], None, "NHWC", "the default"),
    ([1, 20], None, "NHWC", "the default"),
    ([1, 3, 3, 3], True, "NCHW", "channels-first (NCHW), as asked"),
    ([1, 32, 32, 3], True, None, "is channels-last (NHWC), but channels-first (NCHW) was asked for"),
])
def test_image_layout_is_read_from_the_shape_only_where_unambiguous(shape, asked, layout, phrase):
    from veltrix.converter.plugin_api.helpers import choose_layout
    if layout is None:
        with pytest.raises(PluginError, match=r"\[1, 32, 32, 3\] " + phrase.replace("(", r"\(").replace(")", r"\)")):
            choose_layout(shape, asked)
        return
    got, how = choose_layout(shape, asked)
    assert (got, phrase in how) == (layout, True), how


SCORES = [([[0.1, 0.9]], [[0.3, 0.7]]), ([[0.8, 0.2]], [[0.4, 0.2]]), ([[0.6, 0.4]], [[0.45, 0.55]]),
          ([[0.2, 0.8]], [[0.2, 0.8]])]  # (expected, got): the largest difference 0.4 in the second, 3 of 4 agree


@pytest.mark.parametrize("pairs, minimum, outcome", [
    (SCORES, 75, "verified on 4 samples (w): largest difference 0.4, top-1 agreement 3/4 (75%)"),
    (SCORES, 76, "Verification failed: top-1 agreement 75% is below --verify-min-agreement 76"),
    # one output: nothing scored, so a minimum cannot be checked
    ([([[0.5]], [[0.25]])], 0, "verified on 1 sample (w): largest difference 0.25, top-1 not scored"),
    ([([[0.5]], [[0.25]])], 100, "--verify-min-agreement 100 cannot be checked, no output holds class scores"),
])
def test_agreement_reports_the_largest_difference_and_the_top1_share(pairs, minimum, outcome):
    from veltrix.converter.plugin_api.helpers import agreement
    if outcome.startswith("verified"):
        assert agreement(pairs, "w", minimum).startswith(outcome)
    else:
        with pytest.raises(PluginError, match=outcome):
            agreement(pairs, "w", minimum)


# what the block does, the error the run raises (None: none)
@pytest.mark.parametrize("block, outcome", [
    ("finishes", None),
    ("fails in a library", "RuntimeError: boom (E1 the last word)"),  # the library's last meaningful line quoted
    ("fails in the plug-in", "asked wrong"),
])
def test_a_conversion_run_quotes_the_library_and_leaves_no_work_folder(block, outcome):
    """Nor anything a library left in the temporary folder, nor a library's pin in the environment."""
    import tempfile

    from veltrix.converter.plugin_api.helpers import conversion_run
    workdirs, leftovers = [], []
    pinned = os.environ.get("TORCHINDUCTOR_CACHE_DIR")

    def convert():
        with conversion_run("vx") as run:
            workdirs.append(run.workdir)
            Path(run.workdir, "part").write_bytes(b"x")
            leftovers.append(tempfile.mkdtemp())  # a library's temporary folder, left behind,
            os.environ["TORCHINDUCTOR_CACHE_DIR"] = leftovers[0]  # and pinned in the environment
            os.write(2, b"E0 the first word\nE1 the last word\nW0000 00:00 where\n\n")
            if block == "fails in a library":
                raise RuntimeError("boom\nmore")
            if block == "fails in the plug-in":
                raise PluginError("asked wrong")
    if outcome is None:
        convert()
    else:
        with pytest.raises(PluginError) as info:
            convert()
        assert str(info.value) == outcome
    assert len(workdirs) == 1 and not os.path.exists(workdirs[0])
    assert leftovers[0].startswith(workdirs[0] + os.sep) and os.environ.get("TORCHINDUCTOR_CACHE_DIR") == pinned


# destination as typed, source (or None), where it lands (relative to the test folder) or the error
@pytest.mark.parametrize("dst, src, outcome", [
    ("link/../out.tflite", None, "real/out.tflite"),
    ("link/out.tflite", None, "real/sub/out.tflite"),
    ("other.onnx", "m.onnx", "other.onnx"),
    ("m.onnx", "m.onnx", "The destination m.onnx is the source model m.onnx"),
    ("./real/../m.onnx", "m.onnx", "The destination ./real/../m.onnx is the source model"),
    ("link/../../m.onnx", "m.onnx", "is the source model"),
    ("hard.onnx", "m.onnx", "is the source model"),
    ("link", None, "The destination link is a folder"),
    ("n" * 250 + ".onnx", None, "n" * 250 + ".onnx"),
    ("n" * 251 + ".onnx", None, "The destination file name is longer than 255 bytes"),
    # no file of the result is any file of the source: its weights beside it, its folder's contents
    ("ext.xml", "ext.onnx", "The destination ext.xml would overwrite ext.bin, part of the source model ext.onnx"),
    ("ext.bin", "ext.onnx", "The destination ext.bin would overwrite ext.bin, part of the source model"),
    ("w.onnx", "ext.onnx", "The destination w.onnx would overwrite w.onnx.data, part of"),
    ("hard.xml", "ext.onnx", "would overwrite ext.bin"),                      # hard.bin is ext.bin by identity
    ("link/../../ext.bin", "ext.onnx", "would overwrite ext.bin"),
    ("other.xml", "ext.onnx", "other.xml"),
    ("s/variables/v.index", "s", "would overwrite s/variables/v.index, part of the source model s"),
    ("s/m.tflite", "s", "s/m.tflite"),                                         # a new file beside a SavedModel's
])
def test_the_destination_is_where_the_kernel_puts_it_and_never_the_source(tmp_path, monkeypatch, dst, src, outcome):
    from test_files import field, with_data
    from veltrix.converter.plugin_api.helpers import check_destination
    (tmp_path / "real" / "sub").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real" / "sub")
    (tmp_path / "m.onnx").write_bytes(b"source")
    os.link(tmp_path / "m.onnx", tmp_path / "hard.onnx")
    (tmp_path / "ext.onnx").write_bytes(field(7, field(5, with_data("ext.bin")) + field(5, with_data("w.onnx.data"))))
    (tmp_path / "ext.bin").write_bytes(b"weights")
    os.link(tmp_path / "ext.bin", tmp_path / "hard.bin")
    (tmp_path / "s" / "variables").mkdir(parents=True)
    (tmp_path / "s" / "variables" / "v.index").write_bytes(b"index")
    monkeypatch.chdir(tmp_path)
    if " " not in outcome:  # a path, not a message
        assert check_destination(dst, src) == str(tmp_path.resolve() / outcome)
    else:
        with pytest.raises(PluginError, match=outcome.replace(".", r"\.")):
            check_destination(dst, src)


def guide_examples():
    """The guide's Python examples: (file name, code); an example whose first
    line is "# NAME.py" is that file, the others are scripts."""
    text = (ROOT / "docs" / "plugins.md").read_text()
    examples = []
    for i, (indent, code) in enumerate(re.findall(r"^( *)```python\n(.*?)^ *```$", text, re.S | re.M)):
        code = textwrap.dedent(code)
        named = re.match(r"# (\w+\.py)\n", code)
        examples.append((named.group(1) if named else "example_%02d.py" % i, code))
    return examples


def test_every_example_of_the_guide_runs(tmp_path):
    examples = guide_examples()
    for name, code in examples:
        (tmp_path / name).write_text(code)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")
    scripts = [name for name, _ in examples if name.startswith("example_")]
    assert len(scripts) >= 7 and {"conftest.py", "test_my_plugin.py", "my_plugin.py"} <= {n for n, _ in examples}
    for name in scripts:
        result = subprocess.run([sys.executable, name], capture_output=True, text=True, cwd=tmp_path, env=env)
        assert result.returncode == 0, name + "\n" + (tmp_path / name).read_text() + result.stderr
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_my_plugin.py"],
                            capture_output=True, text=True, cwd=tmp_path, env=env)
    assert result.returncode == 0 and "1 passed" in result.stdout, result.stdout + result.stderr


# items the source has, the cap: what reaches the quantizer, and how many the source was asked for
@pytest.mark.parametrize("available, limit, used", [(5, 3, 3), (3, 3, 3), (2, 3, 2), (4, 1, 1), (0, 2, 0)])
def test_calibration_stops_at_its_limit(available, limit, used):
    from veltrix.converter.plugin_api.helpers import Calibration
    pulled = []

    def source():
        for i in range(available):
            pulled.append(i)
            yield [i]
    calibration = Calibration(source, limit)
    assert list(calibration()) == [[i] for i in range(used)] and calibration.used == used and len(pulled) == used


def test_seeded_calibration_draws_the_same_samples_whatever_the_quantizer_draws_between():
    import numpy as np

    from veltrix.converter.plugin_api.helpers import Calibration

    def noise():
        while True:
            yield [np.random.random(3)]
    calibration = Calibration(noise, 4, seed=7)
    quiet = [s[0] for s in calibration()]
    np.random.seed(1)
    busy = []
    for sample in calibration():  # the quantizer using NumPy's global state between samples
        busy.append(sample[0])
        np.random.random(5)
    after = np.random.random()
    np.random.seed(1)
    np.random.random(20)
    assert np.array_equal(quiet, busy) and after == np.random.random()
    assert not np.array_equal(quiet, [s[0] for s in Calibration(noise, 4, seed=8)()])


def test_images_are_found_in_one_order_and_only_regular_files(tmp_path):
    from veltrix.converter.plugin_api.helpers import find_images
    found = []
    for order, root in ((["b", "a", "a/z", "a/c"], tmp_path / "one"), (["a", "a/c", "a/z", "b"], tmp_path / "two")):
        for sub in order:  # the same tree, folders and files made in another order
            (root / sub).mkdir(parents=True)
            for name in (["2.png", "1.JPG"] if sub != "a" else ["1.JPG", "2.png"]):
                (root / sub / name).write_bytes(b"x")
        os.mkfifo(root / "a" / "fifo.png")
        (root / "a" / "dir.png").mkdir()
        (root / "a" / "link.jpeg").symlink_to(root / "b" / "2.png")
        (root / "a" / "gone.png").symlink_to(root / "missing.png")
        found.append([os.path.relpath(p, root) for p in find_images(str(root))])
    assert found[0] == found[1] == ["a/1.JPG", "a/2.png", "a/link.jpeg", "a/c/1.JPG", "a/c/2.png", "a/z/1.JPG",
                                    "a/z/2.png", "b/1.JPG", "b/2.png"]


def test_the_sample_module_draws_from_the_sorted_walk(tmp_path):
    import numpy as np
    from PIL import Image

    from veltrix.converter.plugin_api.dataset import Dataset
    names = ["%s/%s.png" % (d, f) for d in ("q", "b", "k") for f in ("z", "c", "m", "a")]
    for i, name in enumerate(names):  # image i is one pixel of value i
        (tmp_path / name).parent.mkdir(exist_ok=True)
        Image.new("RGB", (1, 1), (i, i, i)).save(tmp_path / name)
    np.random.seed(3)
    drawn = [int(s[0][0, 0, 0, 0]) for s in Dataset((str(tmp_path), False), [1, 1, 1, 3], "unsigned", 12,
                                                   np.uint8).generator()()]
    pool, expected = sorted(range(len(names)), key=lambda i: names[i]), []
    np.random.seed(3)
    while pool:  # the same draws made on the sorted list of images
        expected.append(pool.pop(np.random.randint(0, len(pool))))
    assert drawn == expected


@pytest.mark.parametrize("captured, line", [
    ("Error: shape mismatch\n\n", "Error: shape mismatch"),
    ("real failure\nW0000 00:00:1 some log\nI0000 more\n", "real failure"),
    ("/site/lib/quant.py:88: UserWarning: Please use QuantFormat.QDQ\n  warnings.warn(\n",
     "UserWarning: Please use QuantFormat.QDQ"),
    ("boom\n/x/tf2onnx/tfonnx.py:12: DeprecationWarning: old API\n  warnings.warn(\"old API\",\n",
     "DeprecationWarning: old API"),
    ("/a.py:1: FutureWarning: first\n  warnings.warn(\nthe library's last word\n", "the library's last word"),
    ("  indented but no warning above\n", "indented but no warning above"),
    ("", ""),
])
def test_the_line_quoted_from_a_librarys_output(captured, line):
    from veltrix.converter.plugin_api.helpers import last_meaningful_line
    assert last_meaningful_line(captured) == line


NAN = float("nan")


# (source outputs, result outputs) of each sample, precision, options, phrase of the answer or of the FAILURE
@pytest.mark.parametrize("pairs, precision, options, outcome", [
    ([([[0.1, 0.9]], [[0.1004, 0.8996]])] * 3, "float32", {}, "largest difference 0.0004 (tolerance 0.001 + 0.001 "
     "relative), top-1 agreement 3/3 (100%)"),
    ([([[0.1, 0.9]], [[0.1, 0.89]])], "float32", {}, "FAILURE output 0 differs by up to 0.01, beyond the tolerance for "
     "a float32 result"),
    ([([[0.1, 0.9]], [[0.1, 0.89]])], "float16", {}, "largest difference 0.01 (tolerance 0.01 + 0.01 relative)"),
    ([([[0.1, 0.9]], [[0.1, 0.89]])], "float32", {"verify-tolerance": "0.02"}, "largest difference 0.01 (tolerance"),
    ([([[0.1, 0.9]], [[0.9, 0.1]])], "int8", {}, "largest difference 0.8, top-1 agreement 0/1 (0%)"),
    ([([[0.1, 0.9]], [[0.9, 0.1]])], "int8", {"verify-tolerance": "0.5"}, "FAILURE output 0 differs by up to 0.8, beyond"),
    ([([[0.1, 0.9]], [[NAN, NAN]])], "int8", {}, "FAILURE output 0 holds NaN or infinite values where the source's are "
     "finite (sample 1)"),
    ([([[NAN, 0.9]], [[NAN, 0.9]])], "float32", {}, "largest difference 0 (tolerance"),
    ([([[[[0.2, 0.5, 0.3]]]], [[[[0.2, 0.5, 0.3]]]])], "int8", {"verify-min-agreement": 100}, "top-1 agreement 1/1"),
    ([([[0.7]], [[0.7]])], "float32", {}, "top-1 not scored (no output holds class scores)"),
    ([([[0.7]], [[0.7]])], "int8", {"verify-min-agreement": 50}, "FAILURE --verify-min-agreement 50 cannot be checked"),
    ([([[0.1, 0.9]], [[0.2, 0.8]]), ([[0.6, 0.4]], [[0.4, 0.6]])], "int8", {"verify-min-agreement": 50},
     "top-1 agreement 1/2 (50%)"),
    ([([[0.1, 0.9]], [[0.2, 0.8]]), ([[0.6, 0.4]], [[0.4, 0.6]])], "int8", {"verify-min-agreement": 51},
     "FAILURE top-1 agreement 50% is below --verify-min-agreement 51"),
    ([([[0.1, 0.9], [1.0]], [[0.1, 0.9]])], "float32", {}, "FAILURE the result has 1 outputs, the source 2"),
])
def test_verification_figures_and_verdicts(pairs, precision, options, outcome):
    from veltrix.converter.plugin_api.helpers import compare
    warnings = []
    if outcome.startswith("FAILURE "):
        with pytest.raises(PluginError, match="^Verification failed: " + re.escape(outcome[8:])):
            compare(pairs, "test", options, precision, warnings)
        return
    verified = compare(pairs, "test", options, precision, warnings)
    assert outcome in verified.text, verified.text
    expected = max(float(np.nanmax(np.abs(np.subtract(e, g)))) for s, r in pairs for e, g in zip(s, r))
    assert verified.largest_difference == pytest.approx(expected)
    below = precision == "int8" and "agreement 0/1" in verified.text
    assert len(warnings) == below and all("pass --verify-min-agreement 90 to make that a FAILURE" in w for w in warnings)


def test_every_input_is_fed_its_own_data(tmp_path):
    from veltrix.converter.plugin_api.helpers import Signature, Tensor, feeds
    inputs = [Tensor("image", "float32", [None, 3, 8, 8]), Tensor("tokens", "int32", [None, 20], 0, 50),
              Tensor("extra", "float32", [None, None]), Tensor("flags", "int64", [1, 4]),
              Tensor("attention_mask", "int64", [None, None], dims=["batch", "sequence"]),
              Tensor("ids", "int64", [None, None], dims=["batch", "sequence"]), Tensor("keep", "bool", [2])]
    data, what = feeds(Signature(inputs, [], sizes={"sequence": 7}), {"verify-samples": 3}, workdir=str(tmp_path))
    assert len(data) == 3 and what == (
        "white noise, integers 0 to 49, random float32, integers 0 to 9, a mask of ones, random booleans; at shapes "
        "image 1,3,8,8, tokens 1,20, extra 1,64, flags 1,4, attention_mask 1,7, ids 1,7, keep 2")
    shapes = {k: (v.dtype.name, v.shape) for k, v in data[0].items()}
    assert shapes == {"image": ("float32", (1, 3, 8, 8)), "tokens": ("int32", (1, 20)), "extra": ("float32", (1, 64)),
                      "flags": ("int64", (1, 4)), "attention_mask": ("int64", (1, 7)), "ids": ("int64", (1, 7)),
                      "keep": ("bool", (2,))}
    assert data[0]["tokens"].max() < 50 and data[0]["tokens"].max() > 9 and data[0]["flags"].max() <= 9
    assert all((d["attention_mask"] == 1).all() for d in data) and len({d["keep"].tobytes() for d in data}) > 1
    np.savez(tmp_path / "mine.npz", image=np.ones((2, 3, 8, 8)), tokens=np.zeros((2, 20)), extra=np.ones((2, 5)),
             flags=np.ones((2, 4)))
    data, what = feeds(inputs[:4], {"verify-inputs": str(tmp_path / "mine.npz")})
    assert len(data) == 2 and data[1]["tokens"].dtype == np.int32 and what == "inputs of %s" % (tmp_path / "mine.npz")
    np.save(tmp_path / "one.npy", np.ones((2, 20)))
    with pytest.raises(PluginError, match="a .npy file holds one input; the model has 4"):
        feeds(inputs[:4], {"verify-inputs": str(tmp_path / "one.npy")})
    # an image input in a layout its shape does not say: red stays the first channel, channels last
    from PIL import Image
    (tmp_path / "red").mkdir()
    Image.new("RGB", (20, 20), (255, 0, 0)).save(tmp_path / "red" / "a.png")
    data, _ = feeds([Tensor("x", "float32", [None, 3, 16, 3], layout="NHWC")],
                    {"verify-samples": 1, "samples": str(tmp_path / "red")}, workdir=str(tmp_path))
    x = data[0]["x"]
    assert x.shape == (1, 3, 16, 3) and x[..., 0].min() == 1 and x[..., 1:].max() == 0


@pytest.mark.parametrize("images, num_samples, calibrated, held_out", [
    (6, 2, 2, 4),  # the rest are held out for verification
    (3, 2, 2, 1),
    (2, 2, 2, 0),  # none left: verification falls back to the calibration images
    (70, 2, 2, 68),  # verification takes every held-out image, up to its limit
])
def test_calibration_and_verification_images_are_chosen_apart(tmp_path, images, num_samples, calibrated, held_out):
    import numpy as np
    from PIL import Image

    from veltrix.converter.plugin_api.helpers import SampleSource
    folder, work = tmp_path / "images", tmp_path / "work"
    folder.mkdir()
    work.mkdir()
    for i in range(images):
        Image.new("RGB", (8, 8), (i * 30, 0, 0)).save(folder / ("%d.png" % i))
    source = SampleSource({"samples": str(folder)}, [1, 8, 8, 3], num_samples, str(work), arrays=True)
    list(source.calibrate(np.float32)())
    (calibration,) = work.glob("calibration-*")
    chosen = {os.path.realpath(p) for p in calibration.iterdir()}
    verified, what = source.verify_images
    assert (len(chosen), source.calibration.used) == (calibrated, calibrated)
    if held_out:
        assert (len(verified), what, chosen & {os.path.realpath(p) for p in verified}) == (held_out, "held-out images", set())
    else:
        assert ({os.path.realpath(p) for p in verified}, what) == (chosen, "calibration images, none held out")
    # a model of several inputs asks for verification samples more than once
    assert len(source.verification()[0]) == len(source.verification()[0]) == min(len(verified) or calibrated, 64)


@pytest.mark.parametrize("samples, error", [
    ("/nonexistent-samples", "Sample source not found: /nonexistent-samples"),
    ("FILE", "is a file: --samples takes a folder of images or a datastore reference"),
    ("", None),
])
def test_named_samples_are_used_or_refused_even_without_quantizing(tmp_path, samples, error):
    from veltrix.converter.plugin_api.helpers.samples import VERIFY_SAMPLES
    from veltrix.converter.plugin_api.helpers.verification import Tensor, feeds
    if samples == "FILE":
        samples = str(tmp_path / "0.png")
        open(samples, "wb").close()
    tensor = Tensor("x", "float32", [1, 4])
    if error is None:
        assert len(feeds([tensor], {"samples": samples}, workdir=str(tmp_path))[0]) == VERIFY_SAMPLES
    else:
        with pytest.raises(PluginError, match=error):
            feeds([tensor], {"samples": samples}, workdir=str(tmp_path))
