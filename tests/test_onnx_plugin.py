"""The second reference plug-in, veltrix-onnx, end to end through the command,
and the front end choosing between two real plug-ins."""

import os
import subprocess

import numpy as np
import pytest

from conftest import command as run, needs, train_classifier

pytestmark = needs("veltrix_tflite", "veltrix_onnx")

SIZE = 16
# float ONNX against Keras: the same float32 arithmetic in another order;
# measured differences are below 1e-6, 1e-4 leaves room for other CPUs' kernels.
FLOAT_TOLERANCE = 1e-4
# int8 against float on the 24 training images: top-1 agreement measured at
# 100 %; 90 % is the bar.
AGREEMENT = 0.9


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("onnx")
    model, batch, _ = train_classifier(folder, seed=2)
    save_small_onnx(folder / "ext.onnx", external=True)
    save_small_onnx(folder / "small.onnx", external=False)
    import keras
    inputs = keras.Input((4, 4, 3))
    x = keras.layers.Reshape((4, 12))(keras.layers.Conv2D(3, 1)(inputs))
    x = keras.layers.Reshape((4, 4, 3))(keras.layers.LayerNormalization()(x))
    keras.Model(inputs, keras.layers.Dense(2)(keras.layers.Flatten()(x))).save(folder / "layers.keras")
    return folder, batch, np.asarray(model(batch))


def save_small_onnx(path, external):
    """A small ONNX model, x[1, 8] @ W[8, 64] then Relu (2 kB of weights), its weights beside it when `external`."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    weights = np.random.RandomState(0).uniform(-1, 1, (8, 64)).astype(np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["h"]), helper.make_node("Relu", ["h"], ["y"])], "small",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 64])], [numpy_helper.from_array(weights, "w")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save_model(model, str(path), save_as_external_data=external, location=path.name + ".data", size_threshold=0)


def scores(path, batch):
    import onnxruntime
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    name = session.get_inputs()[0].name
    return np.concatenate([session.run(None, {name: x[None]})[0] for x in batch])


def operators(path):
    import onnx
    return {n.op_type for n in onnx.load(str(path)).graph.node}


def test_float_onnx_matches_keras(work):
    folder, batch, keras_scores = work
    result = run("m.keras", "f.onnx", cwd=folder)
    assert result.returncode == 0 and "Using Converter Plugin : veltrix-onnx" in result.stdout, result.stdout
    assert np.abs(scores(folder / "f.onnx", batch) - keras_scores).max() < FLOAT_TOLERANCE


def test_int8_onnx_is_quantized_keeps_its_types_and_agrees(work):
    folder, batch, keras_scores = work
    words = ["--quantize", "--samples", "samples", "--num-samples", "20", "--quantize-format", "int8", "m.h5"]
    result = run(*words, "q.onnx", cwd=folder)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "input image float32[?, 16, 16, 3], output scores float32[?, 2]" in result.stdout
    assert ("quantized per-channel, int8 activations, qdq format, minmax calibration, 20 samples reached calibration "
            "from samples (24 images found, 24 usable)") in result.stdout
    assert {"QuantizeLinear", "DequantizeLinear"} <= operators(folder / "q.onnx")
    quantized = scores(folder / "q.onnx", batch)
    assert (quantized.argmax(1) == keras_scores.argmax(1)).mean() >= AGREEMENT
    assert run(*words, "q2.onnx", cwd=folder).returncode == 0
    assert (folder / "q.onnx").read_bytes() == (folder / "q2.onnx").read_bytes()


def test_a_channels_first_model_is_calibrated_from_a_folder(work):
    folder, batch, keras_scores = work
    assert run("--channels-first", "m.keras", "cf.onnx", cwd=folder).returncode == 0
    result = run("--quantize", "--samples", "samples", "--num-samples", "8", "--quant-tensor", "cf.onnx", "cfq.onnx",
                 cwd=folder)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "input image float32[?, 3, 16, 16]" in result.stdout and "8 samples reached calibration" in result.stdout
    quantized = scores(folder / "cfq.onnx", batch.transpose(0, 3, 1, 2))
    assert (quantized.argmax(1) == keras_scores.argmax(1)).mean() >= AGREEMENT


@pytest.mark.parametrize("words, line", [
    (["--dynamic", "m.keras", "d.onnx"], "quantized operators: ConvInteger, DynamicQuantizeLinear, MatMulInteger"),
    (["--dynamic", "--quantize", "m.keras", "x.onnx"], "FAILURE: Choose one of --quantize (static, from samples)"),
    (["--opset", "8", "m.keras", "x.onnx"], "FAILURE: --opset must be 9 to 18, not 8"),
    (["--opset", "19", "m.keras", "x.onnx"], "FAILURE: --opset must be 9 to 18, not 19"),
    (["--opset", "9", "--verify", "false", "m.keras", "o9.onnx"], "graph optimised (basic)"),
    (["--opset", "18", "--verify", "false", "m.keras", "o18.onnx"], "graph optimised (basic)"),
    (["--dynamic", "--quantize-format", "int8", "m.keras", "d8.onnx"], "dynamically quantized (int8 weights"),
    (["--quantize-format", "float16", "m.keras", "h.onnx"], "input image float32[?, 16, 16, 3], output scores "
     "float32[?, 2]; graph optimised (basic); float16 weights (float32 inputs and outputs); verified on 16 samples "
     "(white noise; at shape 1,16,16,3): largest difference"),
    (["--calibration-method", "kl", "m.keras", "x.onnx"], "FAILURE: --calibration-method must be one of minmax, "
     "entropy, percentile, not 'kl'"),
    (["--input-type", "int8", "m.keras", "x.onnx"], "FAILURE: --input-type int8: ONNX models keep float32"),
])
def test_options_of_the_onnx_plugin(work, words, line):
    folder, _, _ = work
    result = run(*words, cwd=folder)
    assert line in result.stdout and result.returncode == (0 if not line.startswith("FAILURE") else 1), result.stdout
    assert not (folder / "x.onnx").exists()


X = np.random.RandomState(1).uniform(0, 1, (1, 8)).astype(np.float32)  # within white noise's range


# an ONNX source with its weights in ext.onnx.data: converted, optimised and quantized where it lies
@pytest.mark.parametrize("words, line, tolerance", [
    (["ext.onnx", "e.onnx"], "Wrote e.onnx (", 1e-6),
    (["--optimization", "none", "ext.onnx", "e.onnx"], "Wrote e.onnx (", 1e-6),
    (["--dynamic", "ext.onnx", "e.onnx"], "quantized operators: DynamicQuantizeLinear, MatMulInteger", 0.1),
    (["--quantize", "--seed", "4", "ext.onnx", "e.onnx"], "quantized operators: DequantizeLinear, QuantizeLinear",
     0.1),
    (["ext.onnx", "ext.onnx"], "FAILURE: The destination ext.onnx is the source model ext.onnx", None),
    (["small.onnx", "./e/../small.onnx"], "FAILURE: The destination ./e/../small.onnx is the source model", None),
])
def test_onnx_sources_with_external_data_and_the_same_file_refused(work, words, line, tolerance):
    import onnxruntime
    folder, _, _ = work
    (folder / "e").mkdir(exist_ok=True)
    before = {p.name: p.read_bytes() for p in folder.glob("*.onnx*")}
    result = run(*words, cwd=folder)
    assert line in result.stdout and result.returncode == (tolerance is None), result.stdout + result.stderr
    if tolerance is None:
        assert {p.name: p.read_bytes() for p in folder.glob("*.onnx*")} == before
        return
    assert not (folder / "e.onnx.data").exists()
    expected = onnxruntime.InferenceSession(str(folder / "ext.onnx")).run(None, {"x": X})[0]
    got = onnxruntime.InferenceSession((folder / "e.onnx").read_bytes()).run(None, {"x": X})[0]
    assert np.abs(expected - got).max() <= tolerance
    (folder / "e.onnx").unlink()


# the same command twice gives the same bytes; `other` options give other bytes
@pytest.mark.parametrize("words, other", [
    (["--quantize", "small.onnx"], ["--seed", "1"]),  # calibrated on white noise
    (["--verify", "false", "layers.keras"], None),  # names tf2onnx makes up differ from run to run
])
def test_the_same_command_gives_the_same_bytes(work, words, other):
    folder, _, _ = work
    made = []
    for extra in ([], [], other):
        if extra is not None:
            result = run(*extra, *words, "w.onnx", cwd=folder)
            assert result.returncode == 0, result.stdout
            made.append((folder / "w.onnx").read_bytes())
    assert made[0] == made[1] and made[2:] != made[:1]


@pytest.mark.parametrize("limit, files", [(10**6, ["out.onnx"]), (64, ["out.onnx", "out.onnx.data"])])
def test_results_larger_than_the_limit_keep_their_weights_beside_them(work, tmp_path, monkeypatch, limit, files):
    import onnxruntime

    from veltrix.converter.plugin_api.helpers import onnx_files
    from veltrix.converter.plugin_api.testing import run_command
    folder, _, _ = work
    monkeypatch.setattr(onnx_files, "EXTERNAL_DATA_LIMIT", limit)
    result = run_command(str(folder / "small.onnx"), str(tmp_path / "out.onnx"))
    assert result.status == 0, result.stdout
    assert sorted(os.listdir(tmp_path)) == files
    assert ("with its weights in" in result.response["message"]) == (len(files) == 2)
    expected = onnxruntime.InferenceSession(str(folder / "small.onnx")).run(None, {"x": X})[0]
    assert np.array_equal(onnxruntime.InferenceSession(str(tmp_path / "out.onnx")).run(None, {"x": X})[0], expected)


def test_the_front_end_chooses_between_two_real_plugins(work):
    folder, _, _ = work
    for dest, plugin in (("auto.tflite", "veltrix-tflite"), ("auto.onnx", "veltrix-onnx")):
        result = run("--verify", "false", "m.h5", dest, cwd=folder)
        assert result.returncode == 0 and "Using Converter Plugin : %s" % plugin in result.stdout
    listing = run("-l", cwd=folder).stdout
    for plugin in ("veltrix-tflite", "veltrix-onnx"):
        assert "sanityCheck:         ok" in listing.split("   %s   ---" % plugin)[1].split("---------------")[0]
    help_text = run("-h", "veltrix-onnx", "onnx", "onnx", cwd=folder).stdout
    assert "quant-format:   Quantized model as QuantizeLinear/DequantizeLinear pairs" in help_text
    assert "opset:" not in help_text and "opset:" in run("-h", "veltrix-onnx", "h5", "onnx", cwd=folder).stdout


def test_the_main_job_compares_the_back_ends(tmp_path):
    import sys
    from pathlib import Path
    demo = Path(__file__).resolve().parents[1] / "examples" / "demo.py"
    # a bound for a hung run only: the demo trains two models and converts them ten times
    result = subprocess.run([sys.executable, str(demo), str(tmp_path / "out")], capture_output=True, text=True,
                            timeout=3600, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    for source, files, plugins in (
            ("Keras", ["classifier.tflite", "classifier-int8.tflite", "classifier.onnx", "classifier-int8.onnx",
                       "classifier.xml", "classifier-int8.xml"],
             ["veltrix-tflite"] * 2 + ["veltrix-onnx"] * 2 + ["veltrix-openvino"] * 2),
            ("PyTorch", ["classifier-torch.onnx", "classifier-torch-int8.onnx", "classifier-torch.xml",
                         "classifier-torch-int8.xml"], ["veltrix-torch"] * 2 + ["veltrix-openvino"] * 2)):
        rows = result.stdout.split("against the %s model:" % source)[1].splitlines()[2:2 + len(files)]
        assert [r.split()[0] for r in rows] == files and [r.split()[2] for r in rows] == plugins, result.stdout
        assert all(float(r.split()[4].rstrip("%")) >= 90 for r in rows)


def grey_model(path):
    """A single-channel channels-first classifier: [1, 1, 16, 16] -> [1, 2]."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    weights = numpy_helper.from_array(np.random.default_rng(0).normal(size=(256, 2)).astype(np.float32), "w")
    nodes = [helper.make_node("Flatten", ["x"], ["flat"]), helper.make_node("MatMul", ["flat", "w"], ["logits"]),
             helper.make_node("Softmax", ["logits"], ["y"], axis=1)]
    graph = helper.make_graph(nodes, "grey", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 1, 16, 16])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 2])], [weights])
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), str(path))


@pytest.mark.parametrize("words, said", [
    (["--samples", "grey"], "verified on 5 samples (images of grey): largest difference"),
    (["--samples", "rgb"], "verified on 5 samples (images of rgb, 5 converted from RGB to greyscale): largest "
                           "difference"),
    (["--quantize", "--samples", "grey", "--num-samples", "3"], "3 samples reached calibration from grey"),
])
def test_a_single_channel_channels_first_model_is_checked_on_images(tmp_path, words, said):
    from PIL import Image
    grey_model(tmp_path / "grey.onnx")
    rng = np.random.default_rng(1)
    for mode, channels in (("grey", 1), ("rgb", 3)):
        (tmp_path / mode).mkdir()
        for i in range(5):
            pixels = rng.integers(0, 256, (16, 16, channels), dtype=np.uint8)
            Image.fromarray(pixels[..., 0] if channels == 1 else pixels).save(tmp_path / mode / ("%d.png" % i))
    result = run(*words, "grey.onnx", "out.onnx", cwd=tmp_path)
    assert result.returncode == 0 and said in result.stdout, result.stdout + result.stderr
    assert "quantization" not in result.stdout and "veltrix-onnx-" not in result.stdout

def weight_scales(path):
    """How many scales the quantized convolution weights carry in the file (1: per-tensor)."""
    import onnx
    graph = onnx.load(str(path)).graph
    initializers = {i.name: i for i in graph.initializer}
    return {int(np.prod(initializers[n.input[1]].dims)) for n in graph.node if n.op_type == "DequantizeLinear"
            and n.input[0] in initializers and len(initializers[n.input[0]].dims) == 4}


@pytest.mark.parametrize("words, scales", [([], {4}), (["--quant-tensor"], {1})])
def test_the_quantization_in_the_file_is_the_one_asked_for(work, words, scales):
    folder, _, _ = work
    result = run(*words, "--quantize", "--samples", "samples", "--verify", "false", "m.keras", "pc.onnx", cwd=folder)
    assert result.returncode == 0, result.stdout
    assert weight_scales(folder / "pc.onnx") == scales
