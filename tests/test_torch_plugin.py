"""PyTorch programs as sources: the kit's safe loading of .pt2 files and
refusal of .pt/.pth, and veltrix-torch end to end through the command."""

import json
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pytest

from conftest import command as run, make_pictures, needs

SIZE = 16


def train_program(folder, seed=3):
    """A small PyTorch classifier with batch normalisation and a residual
    connection, trained on the pictures of `make_pictures` (NCHW) and saved
    as m.pt2 with a dynamic batch dimension; also m.pth (its state dict) and
    m.pt (TorchScript). Returns the module and the NCHW images."""
    import torch
    images, labels, _ = make_pictures(folder, seed, size=SIZE)
    batch = np.ascontiguousarray(images.transpose(0, 3, 1, 2))

    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.stem = torch.nn.Conv2d(3, 8, 3, padding=1)
            self.norm = torch.nn.BatchNorm2d(8)
            self.block = torch.nn.Conv2d(8, 8, 3, padding=1)
            self.head = torch.nn.Linear(8, 2)

        def forward(self, x):
            y = torch.relu(self.norm(self.stem(x)))
            y = y + torch.relu(self.block(y))
            return torch.softmax(self.head(y.mean((2, 3))), -1)

    torch.manual_seed(seed)
    model = Net()
    optimiser = torch.optim.Adam(model.parameters(), 0.05)
    x, y = torch.from_numpy(batch), torch.from_numpy(labels)
    for _ in range(30):
        optimiser.zero_grad()
        torch.nn.functional.nll_loss(torch.log(model(x)), y).backward()
        optimiser.step()
    model.eval()
    program = torch.export.export(model, (x[:2],), dynamic_shapes=({0: torch.export.Dim("batch")},))
    torch.export.save(program, str(folder / "m.pt2"))
    torch.save(model.state_dict(), str(folder / "m.pth"))
    with warnings.catch_warnings():  # TorchScript is deprecated: exactly why it is refused
        warnings.simplefilter("ignore", DeprecationWarning)
        torch.jit.save(torch.jit.script(model), str(folder / "m.pt"))
    return model, batch


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    import torch
    folder = tmp_path_factory.mktemp("torch")
    model, batch = train_program(folder)
    np.save(folder / "odd.npy", np.zeros((2, 3, 8, 8), np.float32))  # verification inputs of the wrong shape
    with torch.no_grad():
        return folder, batch, model(torch.from_numpy(batch)).numpy()


def rewrite(src, dst, change):
    """A copy of the archive `src` with change(name, bytes) -> bytes (or None to drop) applied to each member."""
    with zipfile.ZipFile(src) as archive, zipfile.ZipFile(dst, "w") as out:
        for info in archive.infolist():
            data = change(info.filename.split("/", 1)[1], archive.read(info))
            if data is not None:
                out.writestr(info, data)
        return dst


def in_program(edit):
    def change(name, data):
        if name != "models/model.json":
            return data
        document = json.loads(data)
        edit(document)
        return json.dumps(document).encode()
    return change


MARK = "__import__('pathlib').Path('RAN').touch()"


def test_a_program_runs_without_the_guards_it_carries(work, tmp_path, monkeypatch):
    from veltrix.converter.plugin_api.helpers import load_program, program_runner
    folder, batch, expected = work
    monkeypatch.chdir(tmp_path)
    path = rewrite(folder / "m.pt2", tmp_path / "g.pt2", in_program(lambda d: d.update(guards_code=[MARK])))
    program = load_program("veltrix-torch", str(path))
    assert np.abs(program_runner(program)({"x": batch})[0] - expected).max() < 1e-6
    assert not (tmp_path / "RAN").exists()


@pytest.fixture(scope="module")
def programs(tmp_path_factory):
    import pt2_models
    return pt2_models.build(tmp_path_factory.mktemp("programs"))


# the program, its signature as shown, what its first input says besides, where it is fed
@pytest.mark.parametrize("name, shown, more, fed", [
    ("image", "input x float32[batch, 3, 16, 16], output softmax float32[batch, 2]", {"layout": "NCHW"},
     "at shape 1,3,16,16"),
    ("two-inputs", "input num float32[batch, 12], cat float32[batch, 4], output add float32[batch, 3]", {},
     "at shapes num 1,12, cat 1,4"),
    ("tokens", "input tokens int64[batch, sequence], output scores float32[batch, 5], states float32[batch, "
     "sequence, 8]", {"low": 0, "high": 50}, "at shape 1,32"),  # the sequence was exported for at most 32
    ("bool", "input x float32[batch, 6], keep bool[batch, 6], output linear float32[batch, 3]", {},
     "at shapes x 1,6, keep 1,6"),
    ("any-size", "input x float32[batch, 3, height, width], output linear float32[batch, 3]", {"layout": "NCHW"},
     "at shape 1,3,64,64"),
    ("channels-last", "input x float32[1, 16, 16, 3], output linear float32[1, 2]", {"layout": "NHWC"}, ""),
])
def test_a_program_signature_and_every_output_it_runs(programs, name, shown, more, fed):
    from veltrix.converter.plugin_api.helpers import load_program, program_runner, program_signature
    import pt2_models
    path, module, feed = programs[name]
    program = load_program("veltrix-torch", str(path))
    signature = program_signature(program)
    assert (signature.shown(), signature.fed_at()) == (shown, fed)
    first = signature.inputs[0]
    assert {key: getattr(first, key) for key in more} == more
    expected = pt2_models.expected_outputs(module, feed)
    got = program_runner(program)(feed)
    assert len(got) == len(expected) == len(signature.outputs)
    for e, g in zip(expected, got):
        assert e.shape == g.shape and np.abs(e - g).max() < 1e-5


# float ONNX against PyTorch: the same float32 arithmetic in another order
# (batch normalisation folded into the convolution); measured below 1e-6.
FLOAT_TOLERANCE = 1e-4
# int8 against PyTorch on the 24 training images: 90 % is the bar.
AGREEMENT = 0.9


def scores(path, batch):
    """ONNX Runtime's scores for the whole batch in one run (a dynamic batch dimension)."""
    import onnxruntime
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    return session.run(None, {session.get_inputs()[0].name: batch})[0]


def operators(path):
    import onnx
    return {n.op_type for n in onnx.load(str(path)).graph.node}


@pytest.mark.parametrize("words, quantized", [([], False), (["--quantize", "--num-samples", "16"], True)],
                         ids=["float", "int8"])
def test_a_program_becomes_onnx_chosen_automatically_and_the_same_every_time(work, words, quantized):
    folder, batch, expected = work
    words = [*words, "--samples", "samples", "m.pt2"]
    result = run(*words, "a.onnx", cwd=folder)
    assert result.returncode == 0 and "Using Converter Plugin : veltrix-torch" in result.stdout, result.stdout
    for phrase in ("input x float32[batch, 3, 16, 16], output softmax float32[batch, 2]",
                   "samples fed channels-first (NCHW), read from the input shape [?, 3, 16, 16]",
                   # every image calibration did not use
                   "verified on %s; at shape 1,3,16,16)" % ("8 samples (held-out images" if quantized
                                                            else "24 samples (images of samples")):
        assert phrase in result.stdout, result.stdout
    got = scores(folder / "a.onnx", batch)
    if quantized:
        assert {"QuantizeLinear", "DequantizeLinear"} <= operators(folder / "a.onnx")
        assert "16 samples reached calibration from samples (24 images found, 24 usable)" in result.stdout
        assert (got.argmax(1) == expected.argmax(1)).mean() >= AGREEMENT
    else:
        assert np.abs(got - expected).max() < FLOAT_TOLERANCE
    assert run(*words, "b.onnx", cwd=folder).returncode == 0
    assert (folder / "a.onnx").read_bytes() == (folder / "b.onnx").read_bytes()


@pytest.mark.parametrize("words, line", [
    (["m.pth", "x.onnx"], "FAILURE: m.pth is a pickled object saved with torch.save (a state dict or a whole "
     "module), not an exported program: veltrix-torch takes programs captured with torch.export"),
    (["m.pt", "x.onnx"], "FAILURE: m.pt is a TorchScript archive (torch.jit.save), not an exported program"),
    (["--opset", "17", "m.pt2", "x.onnx"], "FAILURE: --opset must be 18 to 23, not 17"),
    (["--opset", "24", "m.pt2", "x.onnx"], "FAILURE: --opset must be 18 to 23, not 24"),
    (["--opset", "18", "--dynamic", "--quantize", "m.pt2", "x.onnx"], "FAILURE: Choose one of"),  # 18 and 23 pass
    (["--opset", "23", "--dynamic", "--quantize", "m.pt2", "x.onnx"], "FAILURE: Choose one of"),  # the check
    (["--sample-layout", "channels-last", "m.pt2", "x.onnx"], "FAILURE: The input shape [?, 3, 16, 16] is "
     "channels-first (NCHW), but channels-last (NHWC) was asked for"),
    (["--verify-inputs", "odd.npy", "m.pt2", "x.onnx"], "has shape [2, 3, 8, 8]; the input is float32[batch, 3, 16, 16]"),
])
def test_what_veltrix_torch_refuses(work, words, line):
    folder, _, _ = work
    result = run(*words, cwd=folder)
    assert line in result.stdout and result.returncode == 1, result.stdout
    if "torch.export" in line:
        assert 'Make a .pt2 from the model in Python: import torch; program = torch.export.export(' in result.stdout
    assert not (folder / "x.onnx").exists()


@needs("veltrix_torch")  # the plug-in, not PyTorch: the point is that listing never imports it
def test_listing_loads_veltrix_torch_without_pytorch(tmp_path):
    code = ("import sys; from veltrix.converter.convert import main; sys.argv = ['veltrix-converter', '-l']; main(); "
            "print('torch imported' if 'torch' in sys.modules else 'torch not imported')")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    listing = result.stdout.split("   veltrix-torch   ---")[1].split("---------------")[0]
    assert "sanityCheck:         ok" in listing and "inputsSupported:     ['pt2', 'pt', 'pth']" in listing
    assert result.stdout.rstrip().endswith("torch not imported"), result.stdout
