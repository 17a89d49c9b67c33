"""The reference plug-in veltrix-tflite, end to end through the command."""

import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from conftest import COMMAND

SIZE = 16
# Measured on the generated data below: the int8 model's scores differ from
# the float model's by at most 0.0021 (under one quantization step of 1/256 on
# the softmax output); 0.02 leaves room for other CPUs' integer kernels.
TOLERANCE = 0.02


def run(*words, cwd):
    return subprocess.run([COMMAND, *words], capture_output=True, text=True, stdin=subprocess.DEVNULL, cwd=cwd,
                          timeout=300)


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """A small trained Keras model, a sample folder and a SavedModel export."""
    import keras
    folder = tmp_path_factory.mktemp("tflite")
    rng = np.random.default_rng(1)
    samples = folder / "samples"
    samples.mkdir()
    images, labels = [], []
    for i in range(24):
        label = i % 2
        pixels = rng.integers(0, 100, (SIZE, SIZE, 3))
        pixels[..., label * 2] += 150
        pixels = pixels.clip(0, 255).astype(np.uint8)
        Image.fromarray(pixels).save(samples / ("%02d.png" % i))
        images.append(pixels.astype(np.float32) / 255.0)
        labels.append(label)
    keras.utils.set_random_seed(1)
    inputs = keras.Input((SIZE, SIZE, 3))
    x = keras.layers.Conv2D(4, 3, activation="relu")(inputs)
    x = keras.layers.GlobalAveragePooling2D()(x)
    model = keras.Model(inputs, keras.layers.Dense(2, activation="softmax")(x))
    model.compile("adam", "sparse_categorical_crossentropy")
    model.fit(np.stack(images), np.array(labels), epochs=5, verbose=0)
    model.save(folder / "m.keras")
    model.save(folder / "m.h5")
    model.export(str(folder / "saved"), verbose=False)
    (folder / "corrupt.h5").write_bytes(b"not a model")
    (folder / "empty").mkdir()
    return folder, np.stack(images)


def invoke(path, batch):
    """The demo's own runner: quantizes inputs and dequantizes outputs."""
    found = importlib.util.spec_from_file_location(
        "veltrix_demo", os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "demo.py"))
    demo = importlib.util.module_from_spec(found)
    found.loader.exec_module(demo)
    return demo.run(path, batch)


def test_float_and_int8_conversions_agree(work):
    folder, images = work
    assert run("m.keras", "m.tflite", cwd=folder).returncode == 0
    result = run("--quantize", "--samples", "samples", "--num-samples", "24", "--quantize-format", "int8",
                 "m.h5", "q.tflite", cwd=folder)
    assert result.returncode == 0, result.stdout
    assert "SUCCESS: Wrote q.tflite" in result.stdout and "input int8[1, 16, 16, 3], output int8[1, 2]" in result.stdout
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
    assert "input uint8[1, 16, 16, 3], output uint8[1, 2]" in result.stdout


def test_white_noise_is_said(work):
    folder, _ = work
    result = run("--quantize", "--num-samples", "3", "m.keras", "noise.tflite", cwd=folder)
    assert result.returncode == 0 and "quantized from up to 3 samples of white noise" in result.stdout


@pytest.mark.parametrize("words, message", [
    (["--plugin", "veltrix-tflite", "missing.h5", "x.tflite"], "FAILURE: Conversion not support for  to tflite"),
    (["missing.h5", "x.tflite"], "FAILURE: No Converter found to convert missing.h5 to x.tflite"),
    (["corrupt.h5", "x.tflite"], "FAILURE: Cannot read Keras model corrupt.h5"),
    (["m.keras", "x.onnx"], "FAILURE: No Converter found to convert m.keras to x.onnx"),
    (["--quantize", "--samples", "empty", "m.keras", "x.tflite"],
     "FAILURE: Cannot find any usable images for quantization in empty"),
    (["--quantize", "--samples", "no-such-folder", "m.keras", "x.tflite"], "FAILURE: Sample source not found"),
    (["--quant-tensor", "--quant-channel", "m.keras", "x.tflite"], "FAILURE: Choose one of quant-tensor"),
])
def test_bad_input_fails_clearly(work, words, message):
    folder, _ = work
    result = run(*words, cwd=folder)
    assert result.returncode == 1
    assert [l for l in result.stdout.splitlines() if l.startswith("FAILURE: ")][0].startswith(message)
    assert "Traceback" not in result.stdout + result.stderr
    assert not (folder / "x.tflite").exists() and not (folder / "x.tflite.part").exists()


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


def test_input_shape_rules():
    import veltrix_tflite
    from veltrix.converter.plugin_api.params import reserved_params_list
    default = reserved_params_list["input-shape"]["default"]
    assert veltrix_tflite._input_shape({"input-shape": default}, [None, 32, 32, 3]) == [1, 32, 32, 3]
    assert veltrix_tflite._input_shape({"input-shape": [1, 8, 8, 3]}, [None, 32, 32, 3]) == [1, 8, 8, 3]
    shape = veltrix_tflite._input_shape({"input-shape": default}, [None, None, None, 3])
    assert shape == [1, 224, 224, 3] and shape is not default
    assert default == [1, 224, 224, 3]


def test_type_stubs_check_the_plugin(tmp_path):
    from veltrix.converter.plugin_api import dataset
    stubs = os.path.join(os.path.dirname(dataset.__file__), "dataset.pyi")
    assert os.path.exists(stubs) and os.path.exists(os.path.join(os.path.dirname(stubs), "py.typed"))
    source = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "plugins", "veltrix-tflite",
                          "veltrix_tflite.py")
    result = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
                             "--cache-dir", str(tmp_path), source],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    # and the stubs do check: a wrong call is caught
    bad = tmp_path / "bad_plugin.py"
    bad.write_text("from veltrix.converter.plugin_api.dataset import Dataset\nDataset(('x', 0), [1], 5)\n")
    result = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
                             "--cache-dir", str(tmp_path), str(bad)], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1 and 'Argument 3 to "Dataset" has incompatible type "int"' in result.stdout
