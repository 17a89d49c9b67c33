"""The third back end, veltrix-openvino, end to end through the command:
float, fp16-compressed and int8 OpenVINO IR from Keras and ONNX, the layout
of the samples, the two files written as one, options, repeat runs and
telemetry that sends nothing."""

import os

import numpy as np
import pytest

from conftest import command as run, needs, train_classifier

# the ONNX sources are made with veltrix-onnx
pytestmark = needs("keras", "openvino", "nncf", "onnxruntime", "veltrix_openvino", "veltrix_onnx")

# float32 IR against Keras: measured differences below 1e-6; fp16-compressed
# weights round each weight by up to 2**-11 of itself: measured below 1e-5
# on this model, 1e-2 is the bar OpenVINO's own accuracy notes give.
FLOAT_TOLERANCE = {"false": 1e-4, "true": 1e-2}
AGREEMENT = 0.9  # int8 against Keras on the 24 images: measured 100 %


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    folder = tmp_path_factory.mktemp("openvino")
    model, batch, _ = train_classifier(folder, seed=3)
    # the same model as a channels-first ONNX model
    assert run("--channels-first", "--verify", "false", "m.keras", "cf.onnx", cwd=folder).returncode == 0
    np.save(folder / "odd.npy", np.zeros((2, 3, 8, 8), np.float32))  # verification inputs of the wrong shape
    home = tmp_path_factory.mktemp("home")
    saved = os.environ.get("HOME")
    os.environ["HOME"] = str(home)  # telemetry would leave its client id here
    yield folder, batch, np.asarray(model(batch))
    os.environ["HOME"] = saved or ""
    assert "intel" not in os.listdir(home)  # where OpenVINO's telemetry keeps its client id


def scores(path, batch):
    from veltrix.converter.plugin_api.helpers import compile_on_cpu
    compiled = compile_on_cpu(str(path))
    return np.concatenate([compiled(x[None])[0] for x in batch])


def operations(path):
    from veltrix.converter.plugin_api.helpers import import_openvino
    return {op.get_type_name() for op in import_openvino().Core().read_model(str(path)).get_ops()}


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".vx-")]


@pytest.mark.parametrize("compress, weights", [("false", "float32 weights"),
                                                ("true", "weights compressed to float16")])
def test_float_ir_matches_keras(work, compress, weights):
    folder, batch, keras_scores = work
    result = run("--compress-to-fp16", compress, "m.keras", "f-%s.xml" % compress, cwd=folder)
    assert result.returncode == 0 and "Using Converter Plugin : veltrix-openvino" in result.stdout, result.stdout
    assert " float32[?, 16, 16, 3], output " in result.stdout
    assert " float32[?, 2], %s; input channels-last (NHWC)" % weights in result.stdout
    assert np.abs(scores(folder / ("f-%s.xml" % compress), batch) - keras_scores).max() < FLOAT_TOLERANCE[compress]
    assert not operations(folder / ("f-%s.xml" % compress)) & {"FakeQuantize", "FakeConvert"}


def test_int8_ir_is_quantized_agrees_and_repeats_byte_for_byte(work):
    folder, batch, keras_scores = work
    words = ["--quantize", "--samples", "samples", "--num-samples", "20", "--verify-min-agreement", "90", "m.h5"]
    result = run(*words, "q.xml", cwd=folder)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "quantized operations: FakeQuantize" in result.stdout
    assert ("quantized int8, per-channel weights, performance preset, fast bias correction, statistics from 20 of 20 "
            "samples reached calibration from samples (24 images found") in result.stdout
    assert "FakeQuantize" in operations(folder / "q.xml")
    assert (scores(folder / "q.xml", batch).argmax(1) == keras_scores.argmax(1)).mean() >= AGREEMENT
    assert run(*words, "q2.xml", cwd=folder).returncode == 0
    for suffix in (".xml", ".bin"):
        assert (folder / ("q" + suffix)).read_bytes() == (folder / ("q2" + suffix)).read_bytes(), suffix


def test_a_channels_first_onnx_model_is_calibrated_from_a_folder(work):
    folder, batch, keras_scores = work
    result = run("--quantize", "--samples", "samples", "--num-samples", "8", "cf.onnx", "cfq.xml", cwd=folder)
    assert result.returncode == 0 and "Using Converter Plugin : veltrix-openvino" in result.stdout, result.stdout
    assert " float32[?, 3, 16, 16]" in result.stdout
    assert "input channels-first (NCHW), read from the input shape [?, 3, 16, 16]" in result.stdout
    assert "statistics from 8 of 8 samples reached calibration from samples" in result.stdout
    quantized = scores(folder / "cfq.xml", batch.transpose(0, 3, 1, 2))
    assert (quantized.argmax(1) == keras_scores.argmax(1)).mean() >= AGREEMENT


@pytest.mark.parametrize("words, line", [
    (["--compres-to-fp16", "false"], "Unknown option --compres-to-fp16 (did you mean --compress-to-fp16?)"),
    (["--preset", "mixed"], "--preset applies to int8 quantization: add --quantize"),
    (["--preset", "fast", "--quantize"], "--preset must be one of performance, mixed, not 'fast'"),
    (["--quantize", "--num-samples", "4", "--subset-size", "5"], "--subset-size 5 is more than the 4 calibration"),
    (["--quantize-format", "uint8"], "NNCF quantizes to int8; for unsigned (asymmetric) activations use --preset"),
    (["--input-type", "int8"], "--input-type int8: OpenVINO IR keeps the source's input and output types"),
    (["--channels-first", "false", "cf.onnx"], "is channels-first (NCHW), but channels-last (NHWC) was asked for"),
    (["--verify-inputs", "odd.npy"], "has shape [2, 3, 8, 8]; the input is float32[?, 16, 16, 3]"),
    (["--shape", "1,16,16,4"], "--shape 1,16,16,4 conflicts with the model's input"),
    (["--shape", "1,x"], "--shape takes shapes of positive whole numbers"),
    (["--input-shape", "1,16,16,3", "--shape", "1,16,16,3;1,2"], "--shape gives 2 shapes; the model has 1 input"),
    (["--output-names", "logits"], "--output-names: the model has no output 'logits'; its outputs are "),
    (["--name"], "--name needs a name"),
])
def test_options_are_refused_with_what_to_do(work, words, line):
    folder, _, _ = work
    source = [] if words[-1].endswith(".onnx") else ["m.keras"]
    result = run(*words, *source, "x.xml", cwd=folder)
    assert result.returncode == 1 and "FAILURE: " in result.stdout and line in result.stdout, result.stdout
    assert not (folder / "x.xml").exists() and not (folder / "x.bin").exists() and not leftovers(folder)


def test_the_two_files_appear_together_or_not_at_all(work, monkeypatch):
    import shutil

    import veltrix_openvino
    from veltrix.converter.plugin_api.testing import run_command
    folder, _, _ = work
    (folder / "pair.xml").write_text("old xml")
    (folder / "pair.bin").write_text("old bin")
    words = ["--verify", "false", str(folder / "m.keras"), str(folder / "pair.xml")]
    copy = shutil.copyfile

    def interrupted_between_the_files(source, target):
        if target.endswith(".bin"):
            raise KeyboardInterrupt
        return copy(source, target)
    monkeypatch.setattr(veltrix_openvino.shutil, "copyfile", interrupted_between_the_files)
    assert run_command(*words).status == 130
    assert (folder / "pair.xml").read_text() == "old xml" and (folder / "pair.bin").read_text() == "old bin"
    assert not leftovers(folder)
    monkeypatch.undo()
    assert run_command(*words).status == 0
    assert scores(folder / "pair.xml", np.zeros((1, 16, 16, 3), np.float32)).shape == (1, 2)
    assert not leftovers(folder)


def test_the_front_end_picks_it_lists_it_and_nothing_phones_home(work, tmp_path, monkeypatch):
    folder, _, _ = work
    # a name lookup or connection from the command or any child it starts leaves a mark and fails
    (tmp_path / "sitecustomize.py").write_text(
        "import socket\n"
        "def refuse(*args, **kwargs):\n"
        "    open(%r, 'a').write('network %%r\\n' %% (args,))\n"
        "    raise OSError('no network')\n"
        "socket.socket.connect = socket.getaddrinfo = socket.gethostbyname = refuse\n" % str(tmp_path / "network"))
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    for source in ("m.keras", "cf.onnx"):
        result = run("--verify", "false", source, "auto.xml", cwd=folder)
        assert result.returncode == 0 and "Using Converter Plugin : veltrix-openvino" in result.stdout, result.stdout
    assert not (tmp_path / "network").exists(), (tmp_path / "network").read_text()
    listing = run("-l", cwd=folder).stdout
    assert "sanityCheck:         ok" in listing.split("   veltrix-openvino   ---")[1].split("---------------")[0]
    help_text = run("-h", "veltrix-openvino", "onnx", "xml", cwd=folder).stdout
    for line in ("compress-to-fp16:", "channels-first:", "preset:", "subset-size:", "fast-bias-correction:"):
        assert line in help_text
    assert "channels-first:" not in run("-h", "veltrix-openvino", "keras", "xml", cwd=folder).stdout


@pytest.mark.parametrize("words, tolerance", [(["--compress-to-fp16", "false"], 1e-4),
                                              (["--quantize", "--samples", "samples", "--num-samples", "16"], None)])
def test_an_exported_pytorch_program_becomes_ir(tmp_path, words, tolerance):
    pytest.importorskip("torch")
    from test_torch_plugin import train_program
    module, batch = train_program(tmp_path)
    import torch
    with torch.no_grad():
        expected = module(torch.from_numpy(batch)).numpy()
    result = run(*words, "m.pt2", "p.xml", cwd=tmp_path)
    assert result.returncode == 0 and "Using Converter Plugin : veltrix-openvino" in result.stdout, result.stdout
    assert "input x float32[batch, 3, 16, 16]" not in result.stdout  # an IR keeps no names of dimensions
    assert "input x float32[?, 3, 16, 16]" in result.stdout and "top-1 agreement" in result.stdout
    assert "input channels-first (NCHW), read from the input shape [?, 3, 16, 16]" in result.stdout
    got = scores(tmp_path / "p.xml", batch)
    if tolerance:
        assert np.abs(got - expected).max() < tolerance
    else:
        assert "FakeQuantize" in operations(tmp_path / "p.xml")
        assert (got.argmax(1) == expected.argmax(1)).mean() >= AGREEMENT
    refused = run("m.pth", "x.xml", cwd=tmp_path)
    assert refused.returncode == 1 and "is not a program it can take" in refused.stdout, refused.stdout
    assert "torch.export.save(program" in refused.stdout and not leftovers(tmp_path)


def test_every_output_is_verified_and_a_wrong_one_fails(tmp_path):
    """Two outputs, the second computed from weights float16 cannot hold
    apart (1000.2 and -1000 on the same input): compressed, the first output
    stays right and the second loses its value; that fails, naming it."""
    import keras
    x = keras.Input((2,), name="x")
    fine = keras.layers.Dense(1, use_bias=False, name="fine")
    model = keras.Model(x, [keras.layers.Dense(3, name="scores")(x), fine(keras.layers.Concatenate()([x, x]))])
    fine.set_weights([np.array([[1000.2], [0.0], [-1000.0], [0.0]], np.float32)])
    model.save(tmp_path / "two.keras")
    failed = run("two.keras", "c.xml", cwd=tmp_path)
    assert failed.returncode == 1 and "FAILURE: Verification failed: output fine differs by up to" in failed.stdout
    assert not (tmp_path / "c.xml").exists() and not (tmp_path / "c.bin").exists()
    kept = run("--compress-to-fp16", "false", "two.keras", "f.xml", cwd=tmp_path)
    assert kept.returncode == 0 and "output scores float32[?, 3], fine float32[?, 1], float32 weights" in kept.stdout
    probe = np.array([[1.0, -2.0]], np.float32)
    got = scores_of(tmp_path / "f.xml", {"x": probe})
    assert np.allclose(got["fine"], model(probe)[1], atol=1e-3) and got["scores"].shape == (1, 3)


def scores_of(path, feed):
    """{output name: array} of an IR run on the CPU."""
    from veltrix.converter.plugin_api.helpers import compile_on_cpu
    compiled = compile_on_cpu(str(path))
    answer = compiled(feed)
    return {port.get_any_name(): answer[port] for port in compiled.outputs}


def test_the_same_command_gives_the_same_bytes_in_one_process(tmp_path):
    """A warm process (a batch worker) converting and quantizing the same
    program twice writes the same files: nothing of OpenVINO's own counting
    of operations reaches them, nor the names NNCF derives from those."""
    torch = pytest.importorskip("torch")
    from veltrix.converter.plugin_api.testing import run_command
    path = tmp_path / "linear.pt2"
    torch.export.save(torch.export.export(torch.nn.Linear(3, 2).eval(), (torch.ones(1, 3),)), str(path))
    for name in ("a", "b"):
        done = run_command("--quantize", "--num-samples", "2", "--verify", "false", str(path),
                           str(tmp_path / (name + ".xml")))
        assert done.status == 0, done.stdout
    for suffix in (".xml", ".bin"):
        assert (tmp_path / ("a" + suffix)).read_bytes() == (tmp_path / ("b" + suffix)).read_bytes(), suffix
    assert b'<net name="linear"' in (tmp_path / "a.xml").read_bytes()


def test_recurrent_layers_convert_as_openvino_converts_them(tmp_path):
    """An LSTM and a GRU over a sequence of any length (OpenVINO converts a
    Keras recurrent loop only from a function giving its outputs by name):
    both outputs right at a batch and length the plug-in did not verify at."""
    import keras
    keras.utils.set_random_seed(5)
    x = keras.Input((None, 3), name="seq")
    model = keras.Model(x, [keras.layers.Dense(2, name="last")(keras.layers.LSTM(8)(x)),
                            keras.layers.GRU(4, return_sequences=True, name="states")(x)])
    model.save(tmp_path / "rnn.keras")
    done = run("--compress-to-fp16", "false", "rnn.keras", "rnn.xml", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    assert "input seq float32[?, ?, 3], output last float32[?, 2], states float32[?, ?, 4]" in done.stdout
    probe = np.random.default_rng(0).standard_normal((3, 11, 3)).astype(np.float32)
    got, want = scores_of(tmp_path / "rnn.xml", {"seq": probe}), model(probe)
    for name, expected in zip(("last", "states"), want):
        assert got[name].shape == tuple(expected.shape) and np.abs(got[name] - np.asarray(expected)).max() < 1e-4
