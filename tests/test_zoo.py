"""Standard transformer architectures nobody here wrote, as PyTorch programs:
a BERT-style encoder (input_ids, attention_mask), a ViT classifier and a
GPT-2-style decoder giving logits, built by `transformers` from small
configurations with random weights (nothing downloaded), exported as they
are with `torch.export` (keyword inputs, the library's output classes) with
a dynamic batch (and sequence), and converted by the command (in this
process, through the testing kit, so that PyTorch is imported once). Each
result is checked here, independently of the plug-in's own verification,
against the PyTorch model on every output at sizes the plug-in did not
verify at; or the conversion is a FAILURE naming the library's limitation,
never a SUCCESS on a wrong model."""

import os

import numpy as np
import pytest

from conftest import needs

pytestmark = needs("transformers", "torch", "veltrix_torch")

# float32 against PyTorch: the same arithmetic in another order; the IR keeps
# float32 weights here (--compress-to-fp16 false)
TOLERANCE = 1e-4
VOCABULARY = 96
OUTPUTS = {"bert": ["last_hidden_state", "pooler_output"], "vit": ["logits"], "gpt2": ["logits"]}
DIMENSIONS = {"input_ids": ["batch", "sequence"], "attention_mask": ["batch", "sequence"],
              "pixel_values": ["batch", 3, 32, 32]}


def build(folder):
    """{name: (path, module, input names)} for the three programs."""
    import torch
    import transformers as t
    torch.manual_seed(0)
    small = dict(hidden_size=32, num_hidden_layers=2, num_attention_heads=2, intermediate_size=48)
    bert = t.BertModel(t.BertConfig(vocab_size=VOCABULARY, max_position_embeddings=64, **small))
    vit = t.ViTForImageClassification(t.ViTConfig(image_size=32, patch_size=8, num_labels=5, **small))
    gpt2 = t.GPT2LMHeadModel(t.GPT2Config(vocab_size=VOCABULARY, n_positions=64, n_embd=32, n_layer=2, n_head=2,
                                          bos_token_id=0, eos_token_id=0, use_cache=False))
    batch, sequence = torch.export.Dim("batch"), torch.export.Dim("sequence", min=2, max=64)
    tokens = torch.randint(0, VOCABULARY, (2, 8))
    # exported as they are: keyword inputs, the library's output classes
    rows = {
        "bert": (bert, {"input_ids": tokens, "attention_mask": torch.ones_like(tokens)},
                 {"input_ids": {0: batch, 1: sequence}, "attention_mask": {0: batch, 1: sequence}}),
        "vit": (vit, {"pixel_values": torch.rand(2, 3, 32, 32)}, {"pixel_values": {0: batch}}),
        "gpt2": (gpt2, {"input_ids": tokens}, {"input_ids": {0: batch, 1: sequence}}),
    }
    made = {}
    for name, (module, example, dynamic) in rows.items():
        module.eval()
        program = torch.export.export(module, (), example, dynamic_shapes=dynamic)
        path = folder / ("%s.pt2" % name)
        torch.export.save(program, str(path))
        made[name] = (path, module, tuple(example))
    return made


@pytest.fixture(scope="module")
def zoo(tmp_path_factory):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    folder = tmp_path_factory.mktemp("zoo")
    return folder, build(folder)


def independent_feed(names, rng):
    """Inputs at batch 3 and sequence 11 (the plug-in verifies at other
    sizes), with padding in the attention mask."""
    feed = {}
    for name in names:
        if name == "pixel_values":
            feed[name] = rng.random((3, 3, 32, 32), dtype=np.float32)
        elif name == "attention_mask":
            mask = np.ones((3, 11), np.int64)
            mask[1, 7:] = mask[2, 4:] = 0
            feed[name] = mask
        else:
            feed[name] = rng.integers(0, VOCABULARY, (3, 11))
    return feed


def expected(module, feed):
    """The module's outputs, in order (a model output class as its tuple)."""
    import torch
    with torch.no_grad():
        out = module(**{name: torch.from_numpy(a) for name, a in feed.items()})
    out = out.to_tuple() if hasattr(out, "to_tuple") else out
    return [o.numpy() for o in (out if isinstance(out, tuple) else (out,))]


def onnx_outputs(path, feed):
    import onnxruntime
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    return [i.name for i in session.get_inputs()], session.run(None, feed)


def ir_outputs(path, feed):
    from veltrix.converter.plugin_api.helpers import compile_on_cpu, import_openvino
    ov = import_openvino()
    compiled = compile_on_cpu(ov.Core().read_model(str(path)))
    names = [i.get_any_name() for i in compiled.inputs]
    result = compiled(feed)
    return names, [result[o] for o in compiled.outputs]


ROWS = [pytest.param(name, dest, id="%s-%s" % (name, dest), marks=[needs("veltrix_openvino")] if dest == "xml" else [])
        for dest in ("onnx", "xml") for name in ("bert", "vit", "gpt2")]


@pytest.mark.parametrize("name, dest", ROWS)
def test_a_standard_architecture_is_a_correct_file_or_a_named_failure(zoo, tmp_path, name, dest):
    folder, made = zoo
    path, module, names = made[name]
    target = tmp_path / ("%s.%s" % (name, dest))
    words = ["--compress-to-fp16", "false"] if dest == "xml" else []
    from veltrix.converter.plugin_api.testing import run_command
    result = run_command(*words, str(path), str(target))
    report = result.report
    assert report["status"] == "success", report["message"]
    assert [t["name"] for t in report["destination"]["inputs"]] == list(names)
    assert [t["name"] for t in report["destination"]["outputs"]] == OUTPUTS[name]
    if dest == "onnx":  # the dynamic dimensions keep their names in the file
        import onnx
        graph = onnx.load(str(target)).graph
        assert [[d.dim_param or d.dim_value for d in v.type.tensor_type.shape.dim] for v in graph.input] == [
            DIMENSIONS[n] for n in names]
    feed = independent_feed(names, np.random.default_rng(1))
    got_names, got = (onnx_outputs if dest == "onnx" else ir_outputs)(target, feed)
    assert got_names == list(names)
    want = expected(module, feed)
    assert len(got) == len(want)
    for e, g in zip(want, got):
        assert e.shape == g.shape and np.abs(e - g).max() < TOLERANCE
