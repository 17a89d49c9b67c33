"""The reference plug-in veltrix-tflite, end to end through the command."""

import contextlib
import importlib.util
import os
import re
import stat
import subprocess
import sys
from unittest import mock

import numpy as np
import pytest
from PIL import Image

from conftest import command as run, needs, train_classifier

pytestmark = needs("veltrix_tflite")

SIZE = 16
# Measured on the generated data below: the int8 model's scores differ from
# the float model's by at most 0.0021 (under one quantization step of 1/256 on
# the softmax output); 0.02 leaves room for other CPUs' integer kernels.
TOLERANCE = 0.02


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """A small trained Keras model, a sample folder and a SavedModel export."""
    folder = tmp_path_factory.mktemp("tflite")
    model, images, images_u8 = train_classifier(folder, seed=1)
    model.export(str(folder / "saved"), verbose=False)
    (folder / "corrupt.h5").write_bytes(b"not a model")
    (folder / "fake.keras").write_text("a text file")
    (folder / "empty").mkdir()
    (folder / "outdir.tflite").mkdir()
    (folder / "UP.KERAS").write_bytes((folder / "m.keras").read_bytes())
    mixed = folder / "mixed"  # 3 of 9 images fit a three-channel input, 2 more once made colour
    mixed.mkdir()
    for i, mode in enumerate(["RGB"] * 3 + ["L"] * 2 + ["RGBA"] * 2 + ["CMYK"] * 2):
        Image.fromarray(images_u8[i]).convert(mode).save(mixed / ("%d.%s" % (i, "jpg" if mode == "CMYK" else "png")))
    os.mkfifo(mixed / "fifo.png")  # opening it would wait for a writer forever: not counted, never opened
    (folder / "junk").mkdir()
    (folder / "junk" / "a.png").write_bytes(b"not an image")
    (folder / "junk.veltrix").write_text('{"images": ["junk/a.png"]}')
    return folder, images


def invoke(path, batch):
    """The demo's own runner: quantizes inputs and dequantizes outputs."""
    found = importlib.util.spec_from_file_location(
        "veltrix_demo", os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "demo.py"))
    demo = importlib.util.module_from_spec(found)
    found.loader.exec_module(demo)
    return demo.run(path, batch)[:3]


def test_float_and_int8_conversions_agree(work):
    folder, images = work
    assert run("m.keras", "m.tflite", cwd=folder).returncode == 0
    result = run("--quantize", "--samples", "samples", "--num-samples", "24", "--quantize-format", "int8",
                 "m.h5", "q.tflite", cwd=folder)
    assert result.returncode == 0, result.stdout
    assert "SUCCESS: Wrote q.tflite" in result.stdout
    assert "input image int8[?, 16, 16, 3], output scores int8[?, 2]" in result.stdout
    # the figures it reports: a quantized model is never exact, and stays within what the demo's runner measures;
    # every image calibrated on, none left: verified on all of them
    found = re.search(r"verified on 24 samples \(calibration images, none held out; at shape 1,16,16,3\): largest "
                      r"difference ([0-9.e+-]+), top-1 agreement (\d+)/24 ", result.stdout)
    assert found and 0 < float(found.group(1)) < TOLERANCE and int(found.group(2)) >= 21, result.stdout
    f_in, f_out, floats = invoke(folder / "m.tflite", images)
    q_in, q_out, quantized = invoke(folder / "q.tflite", images)
    assert (f_in, f_out, q_in, q_out) == ("float32", "float32", "int8", "int8")
    assert np.abs(floats - quantized).max() < TOLERANCE
    assert (floats.argmax(1) == quantized.argmax(1)).mean() >= 0.9


def test_saved_model_folder(work):
    folder, _ = work
    result = run("--quantize", "--input-type", "uint8", "--output-type", "uint8", "--samples", "samples",
                 "saved", "s.tflite", cwd=folder)
    assert result.returncode == 0, result.stdout
    assert "input image uint8[?, 16, 16, 3], output output_0 uint8[?, 2]" in result.stdout


LONG = "n" * 250 + ".tflite"
NOISE_WARNING = ("veltrix-tflite: warning: no --samples given: calibrated on white noise, so accuracy will suffer; "
                 "pass --samples with a folder of representative images\n")


@pytest.mark.parametrize("words, status, line, stderr", [
    (["--quantise", "--samples", "samples", "--quantize-format", "int8"], 1,
     "FAILURE: Unknown option --quantise (did you mean --quantize?)", ""),
    (["--quantize", "--sample", "samples"], 1, "FAILURE: Unknown option --sample (did you mean --samples?)", ""),
    (["--quantize", "--num-samples", "3"], 0, "3 samples reached calibration from white noise (accuracy will suffer; "
     "pass --samples)", NOISE_WARNING),
    (["--quantize", "--samples", "mixed", "--num-samples", "1", "--quantize-format", "int8"], 0,
     "input image int8[?, 16, 16, 3], output scores int8[?, 2]; quantized per-channel, 1 sample reached calibration "
     "from mixed (9 "
     "images found, 5 usable, 2 converted from greyscale to RGB, 4 skipped: 2 CMYK, 2 RGBA (not 3 channels)) at shape "
     "1,16,16,3", ""),
    (["--quantize-format", "int8", "--samples", "samples"], 0, "--quantize-format int8 implies --quantize", ""),
    (["--quantize-format", "uint8", "--samples", "samples"], 0, "input image uint8[?, 16, 16, 3], output scores "
     "uint8[?, 2]; "
     "quantized per-channel, 10 samples reached calibration from samples (24 images found, 24 usable) at shape 1,16,16,3; "
     "--quantize-format uint8 implies --quantize", ""),
    (["--verify-min-agreement", "100"], 0, "top-1 agreement 16/16 (100%)", ""),
    (["--verify-min-agreement", "50", "--quantize", "--samples", "samples"], 0, "verified on 14 samples (held-out "
     "images; at shape 1,16,16,3)", ""),
    (["--quantize-format", "float16"], 0, "input image float32[?, 16, 16, 3], output scores float32[?, 2]; float16 "
     "weights; verified on 16 samples (white noise; at shape 1,16,16,3): largest difference", ""),
    (["--verify-tolerance", "x"], 1, "FAILURE: --verify-tolerance needs a number of 0 or more, not 'x'", ""),
    (["--verify-inputs", "missing.npz"], 1, "FAILURE: --verify-inputs: no such file missing.npz", ""),
    (["--shape", "1,16,16"], 1, "FAILURE: --shape 1,16,16 conflicts with the model's input", ""),
    (["--input-shape", "1,32,32,3"], 1, "FAILURE: --input-shape 1,32,32,3 conflicts with the model's input", ""),
    (["--verify", "false", "--shape", "2,16,16,3"], 0, "input image float32[2, 16, 16, 3], output scores "
     "float32[2, 2]; input shape fixed", ""),
    (["--num-samples", "0"], 1, "FAILURE: --num-samples needs a whole number of 1 or more, not 0", ""),
    (["--num-samples", "abc"], 1, "FAILURE: Invalid argument for num-samples, please use an integer", ""),
    (["--num-samples", "--quantize"], 1, "FAILURE: --num-samples needs a number (it was given as a bare flag)", ""),
    (["--quant-normalization", "bogus"], 1,
     "FAILURE: --quant-normalization must be one of signed, unsigned, imagenet, raw, not 'bogus'", ""),
    (["--input-type", "int16"], 1, "FAILURE: --input-type must be one of float32, int8, uint8, not 'int16'", ""),
    (["--input-shape", "1,2,3"], 1, "FAILURE: --input-shape takes 4 values, not 3 (1,2,3)", ""),
    (["--input-shape", "1,x,3,3"], 1, "FAILURE: invalid literal for int() with base 10: 'x'", ""),
    (["--verify-min-agreement", "100"], 0, "verified on 16 samples (white noise; at shape 1,16,16,3): largest "
     "difference", ""),
    (["--verify-min-agreement", "101"], 1, "FAILURE: --verify-min-agreement is a percentage, 0 to 100, not 101", ""),
    (["--quantize", "--samples", "junk.veltrix"], 1,
     "FAILURE: No sample reached calibration from junk.veltrix; nothing to quantize with", ""),
    (["--quantize", "--samples", "empty"], 1, "FAILURE: No usable image in empty: 0 found", ""),
    (["--quantize", "--samples", "no-such-folder"], 1, "FAILURE: Sample source not found", ""),
    (["--quant-tensor", "--quant-channel"], 1, "FAILURE: Choose one of --quant-tensor and --quant-channel", ""),
    (["@corrupt.h5"], 1, "FAILURE: Cannot read Keras model corrupt.h5", ""),
    (["@UP.KERAS"], 0, "input image float32[?, 16, 16, 3], output scores float32[?, 2]; verified on 16 samples "
     "(white noise; at shape 1,16,16,3)", ""),
    (["--quantize", "--samples", "m.h5"], 1, "FAILURE: The sample source m.h5 is a file: --samples takes a folder of "
     "images or a datastore reference", ""),
    (["@fake.keras"], 1, "FAILURE: Cannot read Keras model fake.keras: it is not a .keras model (a .keras file is a zip "
     "archive)", ""),
    (["@m.keras", "empty"], 1, "FAILURE: No Converter found to convert m.keras to empty",
     "hint: the destination empty is a folder: give a model file name"),
    (["@m.keras", "outdir.tflite"], 1, "FAILURE: The destination outdir.tflite is a folder; give a file name", ""),
    (["@m.keras", LONG], 1, "FAILURE: The destination file name is longer than 255 bytes", ""),
    (["@missing.h5"], 1, "FAILURE: No Converter found to convert missing.h5 to x.tflite", ""),
    (["@m.keras", "x.mlmodel"], 1, "FAILURE: No Converter found to convert m.keras to x.mlmodel", ""),
])
def test_what_the_user_asked_for_or_a_clear_failure(work, words, status, line, stderr):
    folder, _ = work
    source, dest = "m.keras", "x.tflite"
    if words and words[0].startswith("@"):
        source, dest = words[0][1:], (words[1] if len(words) > 1 else dest)
        words = []
    before = set(os.listdir(folder))
    result = run(*words, source, dest, cwd=folder)
    answer = [l for l in result.stdout.splitlines() if l.startswith(("SUCCESS: ", "FAILURE: "))]
    assert result.returncode == status and len(answer) == 1 and line in answer[0], result.stdout + result.stderr
    assert (result.stderr == stderr) if status == 0 else ("Traceback" not in result.stderr and stderr in result.stderr), \
        result.stderr
    left = set(os.listdir(folder)) - before - ({dest} if status == 0 else set())
    assert left == set(), left  # no temporary or partial file, whatever happened
    if status == 0:
        os.unlink(folder / dest)


def test_the_same_command_gives_the_same_bytes_and_keeps_numpys_state(work):
    folder, _ = work
    words = ["--quantize", "--samples", "samples", "--num-samples", "5", "--quantize-format", "int8", "m.keras"]
    assert run(*words, "r1.tflite", cwd=folder).returncode == 0 and run(*words, "r2.tflite", cwd=folder).returncode == 0
    assert (folder / "r1.tflite").read_bytes() == (folder / "r2.tflite").read_bytes()
    from veltrix.converter.plugin_api.helpers import seeded
    np.random.seed(5)
    expected = np.random.random()
    np.random.seed(5)
    with seeded(0):
        np.random.random()
    assert np.random.random() == expected


def test_safe_output_under_concurrent_writers_and_planted_links(tmp_path):
    import threading
    from veltrix.converter.plugin_api.helpers import safe_output
    dst = tmp_path / "model.tflite"
    victim = tmp_path / "victim"
    victim.write_text("keep")
    dst.symlink_to(victim)

    def write(content):
        with safe_output(str(dst)) as partial:
            with open(partial, "wb") as f:
                for _ in range(200):
                    f.write(content)
    threads = [threading.Thread(target=write, args=(bytes([65 + i]) * 1000,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    data = dst.read_bytes()
    assert len(data) == 200_000 and len(set(data)) == 1 and not dst.is_symlink() and victim.read_text() == "keep"
    assert sorted(os.listdir(tmp_path)) == ["model.tflite", "victim"]


class Boom(Exception):
    pass


# (umask, mode of an existing destination or None, what the block does, mode after or the error)
@pytest.mark.parametrize("umask, existing, block, outcome", [
    (0o022, None, "write", 0o644),
    (0o077, None, "write", 0o600),
    (0o002, None, "write", 0o664),
    (0o077, 0o644, "write", 0o644),
    (0o022, 0o640, "write", 0o640),
    (0o022, None, "raise", Boom),
    (0o022, 0o644, "raise", Boom),
    (0o022, None, "nothing", "The converter wrote no model"),
    (0o022, 0o644, "empty", "The converter wrote no model"),
])
def test_safe_output_modes_and_failures_inside_the_block(tmp_path, umask, existing, block, outcome):
    from veltrix.converter.plugin_api.helpers import PluginError, safe_output
    dst = tmp_path / "out" / "m.tflite"
    if existing is not None:
        dst.parent.mkdir()
        dst.write_bytes(b"old")
        dst.chmod(existing)
    before = os.umask(umask)
    failure = pytest.raises(outcome) if outcome is Boom else pytest.raises(PluginError, match=outcome)
    try:
        with failure if not isinstance(outcome, int) else contextlib.nullcontext():
            with safe_output(str(dst)) as partial:
                if block in ("write", "raise"):
                    with open(partial, "wb") as f:
                        f.write(b"new model")
                if block == "empty":
                    open(partial, "wb").close()
                if block == "raise":
                    raise Boom()
    finally:
        os.umask(before)
    assert os.listdir(dst.parent) == ([] if existing is None and not isinstance(outcome, int) else ["m.tflite"])
    if isinstance(outcome, int):
        assert (dst.read_bytes(), stat.S_IMODE(dst.stat().st_mode)) == (b"new model", outcome)
    elif existing is not None:
        assert (dst.read_bytes(), stat.S_IMODE(dst.stat().st_mode)) == (b"old", existing)


# what the block writes of (model.xml, model.bin): the pair is installed whole or not at all
@pytest.mark.parametrize("written, optional, error", [
    (("xml", "bin"), (), None),
    (("xml",), (), "did not write .*model.bin"),
    (("bin",), (), "did not write .*model.xml"),
    (("xml",), ("model.bin",), None),
])
def test_a_model_of_several_files_is_installed_whole(tmp_path, written, optional, error):
    from veltrix.converter.plugin_api.helpers import PluginError, safe_outputs
    names = [str(tmp_path / "model.xml"), str(tmp_path / "model.bin")]
    for name in names:
        with open(name, "w") as f:
            f.write("old")
    real_replace = os.replace
    seen = []

    def watching_replace(src, dst):  # when the .xml lands, its .bin is already the new one
        if dst.endswith(".xml") and "bin" in written:
            seen.append((tmp_path / "model.bin").read_text())
        real_replace(src, dst)
    with contextlib.ExitStack() as stack:
        if error:
            stack.enter_context(pytest.raises(PluginError, match=error))
        stack.enter_context(mock.patch("os.replace", watching_replace))
        with safe_outputs(names, optional=[str(tmp_path / o) for o in optional]) as partials:
            assert [os.path.basename(p) for p in partials] == ["model.xml", "model.bin"]
            assert os.path.dirname(partials[0]) == os.path.dirname(partials[1]) != str(tmp_path)
            for kind in written:
                with open(partials[kind == "bin"], "w") as f:
                    f.write("new " + kind)
            with open(os.path.join(os.path.dirname(partials[0]), "stray.tmp"), "w") as f:
                f.write("a library's leftover")
    assert sorted(os.listdir(tmp_path)) == ["model.bin", "model.xml"]
    got = [(tmp_path / n).read_text() for n in ("model.xml", "model.bin")]
    assert got == (["old", "old"] if error else ["new " + k if k in written else "old" for k in ("xml", "bin")])
    assert seen == ([] if error or "bin" not in written else ["new bin"])


def test_concurrent_writers_never_mix_a_pair(tmp_path):
    import threading
    from veltrix.converter.plugin_api.helpers import safe_outputs
    names = [str(tmp_path / "model.xml"), str(tmp_path / "model.bin")]
    real_replace = os.replace
    second_done = threading.Event()

    def write(tag):
        with safe_outputs(names) as partials:
            for partial in partials:
                with open(partial, "w") as f:
                    f.write(tag)

    def first_writer_pauses(src, dst):  # between its .bin and its .xml, a second writer runs
        real_replace(src, dst)
        if dst.endswith(".bin") and not second.is_alive() and not second_done.is_set():
            second.start()
            second_done.wait(1)  # with the folder locked the second writer waits; never fails on a slow machine
    second = threading.Thread(target=lambda: (write("B"), second_done.set()))
    with mock.patch("os.replace", first_writer_pauses):
        write("A")
        second.join()
    assert (tmp_path / "model.xml").read_text() == (tmp_path / "model.bin").read_text()
    assert sorted(os.listdir(tmp_path)) == ["model.bin", "model.xml"]


def test_listing_and_help(tmp_path):
    listing = run("-l", cwd=tmp_path).stdout
    assert "---------------   veltrix-tflite   ---------------" in listing
    assert "sanityCheck:         ok" in listing.split("veltrix-tflite   ---")[1]
    help_text = run("-h", "veltrix-tflite", "h5", "tflite", cwd=tmp_path).stdout.splitlines()
    assert help_text[1].startswith("optimize:       Apply TensorFlow Lite's default optimisations")
    assert "source:         Source model path" in help_text and "crop:           When using datastore URL" \
        in "\n".join(help_text)


def test_plugin_contract():
    import veltrix_tflite
    assert veltrix_tflite.query_convert(None, None) == {"supported_inputs": ["h5", "keras", "pb"],
                                                         "supported_outputs": ["tflite"]}
    assert veltrix_tflite.query_convert("onnx", "tflite") is None
    first, second = veltrix_tflite.query_convert("h5", "tflite"), veltrix_tflite.query_convert("h5", "tflite")
    assert first == second and first is not second
    # loading the plug-in must not import TensorFlow
    code = "import sys, veltrix_tflite; print('tensorflow' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=os.path.dirname(os.devnull)).stdout.strip() == "False"


# the model's inputs, the options, the shapes they are fed at (or the refusal)
@pytest.mark.parametrize("shapes, options, outcome", [
    ([[None, 32, 32, 3]], {}, [[None, 32, 32, 3]]),
    ([[None, 32, 32, 3]], {"input-shape": [1, 224, 224, 3]}, [[None, 32, 32, 3]]),
    ([[None, None, None, 3]], {"input-shape": [1, 64, 64, 3]}, [[1, 64, 64, 3]]),
    ([[None, 32, 32, 3]], {"input-shape": [1, 64, 64, 3]}, "--input-shape 1,64,64,3 conflicts with the model's input x0 "
     "float32[?, 32, 32, 3]"),
    ([[None, 20]], {"shape": "1,20"}, [[1, 20]]),
    ([[None, 20]], {"shape": "?,20"}, [[None, 20]]),
    ([[None, 20], [None, 5]], {"shape": "2,20;2,5"}, [[2, 20], [2, 5]]),
    ([[None, 20], [None, 5]], {"shape": "2,20"}, "--shape gives 1 shape; the model has 2 inputs"),
    ([[None, 20], [None, 5]], {"input-shape": [1, 8, 8, 3]}, "--input-shape sets the shape of a model with one input"),
    ([[None, 20]], {"shape": "1,x"}, "--shape takes shapes of positive whole numbers"),
    ([[None, 20]], {"shape": "1,20,1"}, "--shape 1,20,1 conflicts with the model's input x0 float32[?, 20] (2 dim"),
])
def test_the_shapes_inputs_are_fed_at(shapes, options, outcome):
    from veltrix.converter.plugin_api.helpers import PluginError, Tensor, shaped_inputs
    from veltrix.converter.plugin_api.params import reserved_params_list
    inputs = [Tensor("x%d" % i, "float32", shape) for i, shape in enumerate(shapes)]
    if isinstance(outcome, str):
        with pytest.raises(PluginError, match=re.escape(outcome)):
            shaped_inputs(inputs, options)
    else:
        assert [t.shape for t in shaped_inputs(inputs, options)] == outcome
    assert reserved_params_list["input-shape"]["default"] == [1, 224, 224, 3]


def test_in_process_through_the_kit(work):
    from veltrix.converter.plugin_api.testing import run_command
    folder, _ = work
    result = run_command("--num-samples", "0", str(folder / "m.keras"), str(folder / "k.tflite"))
    assert result.status == 1 and result.response["message"].startswith("--num-samples needs a whole number of 1 or more")
    assert result.params["num-samples"] == 0 and result.params["output-model-type"] == "tflite"
    assert result.params["seed"] == 0 and result.params["verify"] is True


def weight_scales(path):
    """How many scales the quantized convolution weights carry in the file (1: per-tensor)."""
    from ai_edge_litert.interpreter import Interpreter
    details = Interpreter(model_path=str(path)).get_tensor_details()
    return {len(d["quantization_parameters"]["scales"]) for d in details if len(d["shape"]) == 4
            and d["dtype"] == np.int8 and d["shape"][0] == 4}


@pytest.mark.parametrize("words, scales", [([], {4}), (["--quant-tensor"], {1})])
def test_reported_difference_and_the_quantization_in_the_file(work, words, scales):
    import json

    import keras
    folder, images = work
    np.save(folder / "mine.npy", images[:6])
    result = run(*words, "--quantize-format", "int8", "--samples", "samples", "--verify-inputs", "mine.npy", "--json",
                 "m.keras", "p.tflite", cwd=folder)
    assert result.returncode == 0, result.stdout + result.stderr
    document = json.loads(result.stdout)
    _, _, got = invoke(folder / "p.tflite", images[:6])
    expected = np.asarray(keras.models.load_model(folder / "m.keras")(images[:6]))
    assert document["verification"]["samples"] == 6
    assert document["verification"]["largest_difference"] == pytest.approx(np.abs(got - expected).max(), abs=1e-6)
    assert weight_scales(folder / "p.tflite") == scales
