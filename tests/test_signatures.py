"""Model signatures, from the kit to every plug-in: the naming and shape
options honoured or refused, a result checked against the signature asked
for, ONNX graphs read and changed; then one table of conversions over
signatures (one, two or three inputs; float, integer and boolean inputs;
one or two outputs of different shapes; dynamic batch, sequence, height and
width), each written file run in its own runtime against its source on
every output, and the --json report checked.

Adding a source format or a destination: a builder in BUILDERS (a model of
a CASES entry, written to a folder), a runner in SOURCES or RESULTS (the
file's inputs and a function from a feed to {output name: array}), and
rows in ROWS."""

import importlib.util
import json
import re
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import pytest

from veltrix.converter.plugin_api.helpers import (
    INPUT_ORDER, MODEL_NAME, OUTPUT_SELECTION, PluginError, Signature, Tensor, cause_line)

# ---------------------------------------------------------------- the kit

SOURCE = Signature([Tensor("image", "float32", [None, 8, 8, 3]), Tensor("tokens", "int32", [None, None])],
                   [Tensor("scores", "float32", [None, 3]), Tensor("boxes", "float32", [None, 2, 2])])
ALL = [INPUT_ORDER, OUTPUT_SELECTION, MODEL_NAME]


# options, what the conversion supports, (inputs, outputs, name) of the signature asked for, or the error
@pytest.mark.parametrize("options, supports, outcome", [
    ({}, [], (["image", "tokens"], ["scores", "boxes"], None)),
    ({"input-names": ["image", "tokens"], "output-names": ["scores", "boxes"]}, [], (
        ["image", "tokens"], ["scores", "boxes"], None)),  # the model's own order needs no support
    ({"input-names": ["tokens", "image"], "output-names": ["boxes"], "name": "m"}, ALL, (
        ["tokens", "image"], ["boxes"], "m")),
    ({"output-names": "boxes,scores"}, ALL, (["image", "tokens"], ["boxes", "scores"], None)),
    ({"input-names": ["tokens", "image"]}, [OUTPUT_SELECTION], "--input-names tokens,image: this conversion keeps"),
    ({"output-names": ["boxes"]}, [INPUT_ORDER], "--output-names boxes: this conversion keeps every output"),
    ({"name": "m"}, [OUTPUT_SELECTION], "--name m: the converted model holds no name to set"),
    ({"name": True}, ALL, "--name needs a name"),
    ({"input-names": ["tokens"]}, ALL, "--input-names names 1 of the model's 2 inputs"),
    ({"input-names": ["image", "pixels"]}, ALL, "the model has no input 'pixels'; its inputs are image, tokens"),
    ({"output-names": ["scores", "scores"]}, ALL, "--output-names names scores more than once"),
    ({"output-names": ["scores", ""]}, ALL, "--output-names has an empty name"),
    ({"output-names": ["logits"]}, ALL, "the model has no output 'logits'; its outputs are scores, boxes"),
])
def test_naming_options_are_honoured_or_refused(options, supports, outcome):
    if isinstance(outcome, str):
        with pytest.raises(PluginError, match=outcome.replace("(", r"\(")):
            SOURCE.selected(options, supports)
        return
    wanted = SOURCE.selected(options, supports)
    assert (wanted.input_names(), wanted.output_names(), wanted.name) == outcome
    assert SOURCE.output_names() == ["scores", "boxes"]  # the source's own signature is left as it was


def _changed(signature, what, index, **changes):
    tensors = list(getattr(signature, what))
    tensors[index] = tensors[index].replaced(**changes)
    return signature.replaced(**{what: tensors})


# the result made (a change to the signature asked for), check_result's arguments, the error (None: accepted)
@pytest.mark.parametrize("result, arguments, error", [
    (SOURCE, {}, None),
    (_changed(SOURCE, "inputs", 0, dtype="int8"), {"input_types": ["int8"]}, None),  # a quantized input asked for
    (_changed(SOURCE, "inputs", 0, dtype="int8"), {}, "input image is int8, not float32"),
    (_changed(SOURCE, "inputs", 1, dtype="int8"), {"input_types": ["int8"]}, "input tokens is int8, not int32"),
    (_changed(SOURCE, "outputs", 1, dtype="float16"), {"output_types": ["int8"]}, "output boxes is float16, not "
     "float32 or int8"),
    (SOURCE.replaced(outputs=SOURCE.outputs[::-1]), {}, "outputs are boxes, scores, not the source's scores, boxes"),
    (SOURCE.replaced(outputs=SOURCE.outputs[::-1]), {"by_name": True}, None),  # a format that finds them by name
    (SOURCE.replaced(outputs=SOURCE.outputs[:1]), {"by_name": True}, "outputs are scores, not the source's"),
    (_changed(SOURCE, "inputs", 1, shape=[None, 64]), {}, "input tokens is int32[?, 64]: dimension 1 is fixed to 64 "
     "where the source's is dynamic"),
    (_changed(SOURCE, "outputs", 0, shape=[1, 3]), {}, "dimension 0 is fixed to 1"),
    (_changed(SOURCE, "outputs", 1, shape=[None, 4]), {}, "output boxes has 2 dimensions"),
    (_changed(SOURCE, "inputs", 0, shape=[None, 8, 9, 3]), {}, "input image is float32[?, 8, 9, 3], the source's "
     "float32[?, 8, 8, 3]"),
    (_changed(SOURCE, "inputs", 0, shape=[None, None, 8, 3]), {}, None),  # more dynamic than the source: it still runs
])
def test_a_result_is_checked_against_the_signature_asked_for(result, arguments, error):
    if error is None:
        SOURCE.check_result(result, **arguments)
        return
    with pytest.raises(PluginError, match=error.replace("[", r"\[").replace("?", r"\?")) as info:
        SOURCE.check_result(result, **arguments)
    assert str(info.value).endswith("nothing was written")


def test_fixed_input_shapes_let_outputs_come_out_fixed_and_are_fed_as_fixed():
    wanted = SOURCE.with_shapes({"shape": "1,8,8,3;1,7"})
    assert [t.shape for t in wanted.inputs] == [[1, 8, 8, 3], [1, 7]] and wanted.fed_at() == ""
    wanted.check_result(_changed(wanted, "outputs", 0, shape=[1, 3]))
    assert SOURCE.fed_at() == "at shapes image 1,8,8,3, tokens 1,64"
    named = Signature([Tensor("ids", "int64", [None, None], dims=["batch", "sequence"])], [], sizes={"sequence": 9})
    assert (named.fed_at(), named.inputs[0].shown()) == ("at shape 1,9", "int64[batch, sequence]")


# how far the result's second output is off, the verdict (None: verified)
@pytest.mark.parametrize("off, outcome", [
    (0.0, None),
    (1e-6, None),
    (0.5, "Verification failed: output boxes differs by up to 0.5, beyond the tolerance for a float32 result"),
    (float("nan"), "Verification failed: output boxes holds NaN or infinite values"),
])
def test_every_output_is_verified_by_name(off, outcome):
    from veltrix.converter.plugin_api.helpers import verify

    def source(feed):
        x = feed["image"].mean(axis=(1, 2)) + feed["tokens"].mean(axis=1, keepdims=True)
        return [x, np.stack([x[:, :2], x[:, 1:]], axis=1)]

    def result(feed):
        scores, boxes = source(feed)
        return [scores, boxes + off]
    if outcome is None:
        verified = verify(source, result, SOURCE, {"verify-samples": 2})
        assert list(verified.figures["outputs"]) == ["scores", "boxes"] and verified.figures["samples"] == 2
        assert verified.figures["shapes"] == {"image": [1, 8, 8, 3], "tokens": [1, 64]}
        return
    with pytest.raises(PluginError, match=re.escape(outcome)):
        verify(source, result, SOURCE, {"verify-samples": 2})


def _onnx_model(case):
    """An ONNX model of a CASES entry, made with ONNX's own helpers: each
    input turned into four features (an image averaged over its pixels,
    token ids embedded, masked by an attention mask and averaged, anything
    else multiplied by a weight), their sum giving each output."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    rng = np.random.default_rng(5)
    nodes, weights, features = [], {}, []

    def weight(name, array, dtype=np.float32):
        weights.setdefault(name, numpy_helper.from_array(np.asarray(array, dtype=dtype), name))
        return name

    def node(op, inputs, output, **attributes):
        nodes.append(helper.make_node(op, inputs, [output], **attributes))
        return output

    def value(t):
        kind = helper.np_dtype_to_tensor_dtype(np.dtype(t.dtype)) if hasattr(t, "dtype") else TensorProto.FLOAT
        return helper.make_tensor_value_info(t.name, kind, list(t.shape))
    mask = next((t.name for t in case.inputs if "mask" in t.name), None)
    embedded = None
    for t in case.inputs:
        n = t.name
        if n == mask:
            continue
        if t.vocab:
            ids = node("Cast", [n], n + "_ids", to=TensorProto.INT64)
            embedded = node("Gather", [weight(n + "_table", rng.normal(size=(t.vocab, 4))), ids], n + "_embedded")
            if mask:
                keep = node("Cast", [mask], mask + "_f", to=TensorProto.FLOAT)
                keep = node("Unsqueeze", [keep, weight("axis2", [2], np.int64)], mask + "_u")
                embedded = node("Mul", [embedded, keep], n + "_masked")
            features.append(node("ReduceMean", [embedded, weight("axis1", [1], np.int64)], n + "_f4", keepdims=0))
        elif len(t.shape) == 4:  # channels first
            pixels = node("ReduceMean", [n, weight("spatial", [2, 3], np.int64)], n + "_c", keepdims=0)
            features.append(node("MatMul", [pixels, weight(n + "_w", rng.normal(size=(t.shape[1], 4)))], n + "_f4"))
        else:
            x = node("Cast", [n], n + "_f", to=TensorProto.FLOAT) if t.dtype == "bool" else n
            features.append(node("MatMul", [x, weight(n + "_w", rng.normal(size=(t.shape[-1], 4)))], n + "_f4"))
    total = features[0]
    for i, f in enumerate(features[1:]):
        total = node("Add", [total, f], "sum%d" % i)
    for o in case.outputs:
        if o.per_token:
            node("MatMul", [embedded, weight(o.name + "_w", rng.normal(size=(4, o.shape[-1])))], o.name)
            continue
        flat = node("MatMul", [total, weight(o.name + "_w", rng.normal(size=(4, int(np.prod(o.shape[1:])))))],
                    o.name + "_flat")
        if len(o.shape) == 2:
            node("Softmax", [flat], o.name, axis=-1)
        else:
            node("Reshape", [flat, weight(o.name + "_s", [-1] + list(o.shape[1:]), np.int64)], o.name)
    graph = helper.make_graph(nodes, case.name, [value(t) for t in case.inputs], [value(o) for o in case.outputs],
                              list(weights.values()))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


def test_an_onnx_graph_is_read_and_changed_as_asked():
    import onnxruntime

    from veltrix.converter.plugin_api.helpers import apply_signature, onnx_signature
    model = _onnx_model(CASES["encoder"])
    source = onnx_signature(model)
    assert source.shown() == ("input input_ids int64[batch, sequence], attention_mask int64[batch, sequence], output "
                              "hidden float32[batch, sequence, 4], pooled float32[batch, 2]")
    ids, mask = source.inputs
    assert (ids.low, ids.high, mask.high, source.name) == (0, 50, None, "encoder")  # the embedding's rows
    wanted = source.with_options({"shape": "1,7;1,7", "input-names": ["attention_mask", "input_ids"],
                                  "output-names": ["pooled"], "name": "enc"}, ALL)
    nodes = len(model.graph.node)
    assert apply_signature(model, wanted) and not apply_signature(model, wanted)
    made = onnx_signature(model)
    # "batch" fixed on the inputs is fixed wherever the graph names it
    assert made.shown() == "input attention_mask int64[1, 7], input_ids int64[1, 7], output pooled float32[1, 2]"
    assert made.name == "enc" and len(model.graph.node) < nodes  # the per-token output's nodes are gone
    wanted.check_result(made)
    session = onnxruntime.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    assert session.run(None, {"attention_mask": np.ones((1, 7), np.int64),
                              "input_ids": np.zeros((1, 7), np.int64)})[0].shape == (1, 2)
    images = onnx_signature(_onnx_model(CASES["pictures"])).inputs[0]
    assert (images.layout, images.dims) == ("NCHW", ["batch", None, "height", "width"])


# how a library failed, what it printed last, whether that line is quoted beside the error
@pytest.mark.parametrize("error, printed, quoted", [
    ("Guard failed: x.size()[2] == 96", "/x/_pytree.py:9: FutureWarning: isinstance(treespec, LeafSpec) is "
     "deprecated\n  warnings.warn(\n", ""),  # an unrelated warning is not the cause
    ("ValueError: bad value for opset_version", "/x/a.py:3: UserWarning: opset_version 25 is not supported\n",
     "UserWarning: opset_version 25 is not supported"),  # it names what the error names
    ("invalid model", "E0000 onnxruntime: Node (Conv_3) has no input\n",
     "E0000 onnxruntime: Node (Conv_3) has no input"),
    ("Node (Conv_3) has no input", "Node (Conv_3) has no input\n", ""),  # said already
    ("failed", "/x/i.py:5: UserWarning: Please use the LiteRT interpreter\n    TF 2.20.\n  warnings.warn(_W)\n", ""),
])
def test_a_librarys_line_is_quoted_only_when_it_can_be_the_cause(error, printed, quoted):
    assert cause_line(printed, RuntimeError(error)) == quoted


# -------------------------------------------------- cases, sources, results

@dataclass
class In:
    """An input: a dimension is a number, or a name where it is dynamic."""
    name: str
    dtype: str
    shape: Sequence[Any]
    vocab: int = 0  # token ids index an embedding of this many rows


@dataclass
class Out:
    name: str
    shape: Sequence[Any]
    per_token: bool = False  # one row per token of the token input


@dataclass
class Case:
    name: str
    inputs: List[In]
    outputs: List[Out]
    keyed: bool = False  # a Keras model's outputs as a dict (whose keys name them, in order)


CASES = {c.name: c for c in [
    Case("image", [In("image", "float32", ["batch", "height", "width", 3])], [Out("scores", ["batch", 3])]),
    Case("mixed", [In("image", "float32", ["batch", 8, 8, 3]), In("tokens", "int32", ["batch", "sequence"], 30)],
         [Out("scores", ["batch", 3]), Out("boxes", ["batch", 2, 2])]),
    Case("three", [In("values", "float32", ["batch", 5]), In("tokens", "int32", ["batch", 6], 20),
                   In("flags", "bool", ["batch", 4])], [Out("scores", ["batch", 3])]),
    Case("encoder", [In("input_ids", "int64", ["batch", "sequence"], 50),
                     In("attention_mask", "int64", ["batch", "sequence"])],
         [Out("hidden", ["batch", "sequence", 4], per_token=True), Out("pooled", ["batch", 2])]),
    Case("pictures", [In("pixels", "float32", ["batch", 3, "height", "width"])],
         [Out("scores", ["batch", 3]), Out("features", ["batch", 2, 3])]),
    Case("keyed", [In("values", "float32", ["batch", 5])], [Out("alpha", ["batch", 2, 1]), Out("zeta", ["batch", 3])],
         keyed=True),
]}

# the sizes a dynamic dimension is fed at by the independent check: none of
# them the kit's own, so a dimension the conversion fixed shows
SIZES = {"batch": 2, "sequence": 5, "height": 12, "width": 10}


def _keras_model(case):
    """A Keras model of a CASES entry (channels-last images): convolution
    and pooling for an image, an embedding for token ids, a dense layer for
    anything else, their features joined and each output a dense layer."""
    import keras
    keras.utils.set_random_seed(3)
    big = keras.initializers.RandomNormal(stddev=1.0)
    inputs, features, embedded = [], [], None
    for t in case.inputs:
        x = keras.Input(tuple(None if isinstance(d, str) else d for d in t.shape[1:]), dtype=t.dtype, name=t.name)
        inputs.append(x)
        if t.vocab:
            embedded = keras.layers.Embedding(t.vocab, 4, embeddings_initializer=big)(x)
            features.append(keras.layers.GlobalAveragePooling1D()(embedded))
        elif len(t.shape) == 4:
            conv = keras.layers.Conv2D(4, 3, activation="relu", kernel_initializer=big)(x)
            features.append(keras.layers.GlobalAveragePooling2D()(conv))
        else:
            features.append(keras.layers.Dense(4, kernel_initializer=big)(keras.ops.cast(x, "float32")))
    joined = keras.layers.Concatenate()(features) if len(features) > 1 else features[0]
    outputs = []
    for o in case.outputs:
        if len(o.shape) == 2:
            outputs.append(keras.layers.Dense(o.shape[1], activation="softmax", kernel_initializer=big,
                                              name=o.name)(joined))
        else:
            flat = keras.layers.Dense(int(np.prod(o.shape[1:])), kernel_initializer=big)(joined)
            outputs.append(keras.layers.Reshape(tuple(o.shape[1:]), name=o.name)(flat))
    if case.keyed:  # under keys other than the layers' names
        return keras.Model(inputs, {o.name: keras.layers.Identity()(x) for o, x in zip(case.outputs, outputs)})
    return keras.Model(inputs, outputs)


def build_keras(case, folder):
    path = folder / (case.name + ".keras")
    _keras_model(case).save(path)
    return path


def build_saved_model(case, folder):
    path = folder / (case.name + "_saved")
    _keras_model(case).export(str(path), verbose=False)
    return path


def build_onnx(case, folder):
    path = folder / (case.name + ".onnx")
    path.write_bytes(_onnx_model(case).SerializeToString())
    return path




@dataclass
class Model:
    """A model file as its own runtime sees it: inputs and outputs {name:
    (type, shape with None where dynamic)} in its order, and run(feed) ->
    {output name: float array}."""
    inputs: Dict[str, Any]
    outputs: Dict[str, Any]
    run: Any
    extra: Dict[str, Any] = field(default_factory=dict)
    ordered: bool = True  # False: the format finds inputs and outputs by name, in no order of its own


def keras_source(path):
    import keras
    model = keras.models.load_model(path, safe_mode=True)
    names = [t.name for t in model.inputs]

    keyed = model.output if isinstance(model.output, dict) else None
    outputs = sorted(keyed.items()) if keyed else list(zip(model.output_names, model.outputs))

    def run(feed):
        answer = model([feed[n] for n in names] if len(names) > 1 else feed[names[0]])
        if keyed:
            return {k: np.asarray(v) for k, v in answer.items()}
        return dict(zip(model.output_names, [np.asarray(a) for a in (answer if len(model.outputs) > 1 else [answer])]))
    return Model({t.name: (str(t.dtype), list(t.shape)) for t in model.inputs},
                 {n: (str(t.dtype), list(t.shape)) for n, t in outputs}, run)


def saved_model_source(path):
    import tensorflow as tf
    signature = tf.saved_model.load(str(path)).signatures["serving_default"]
    specs = signature.structured_input_signature[1]
    outputs = signature.structured_outputs
    natural = sorted(outputs, key=lambda n: [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", n)])
    return Model({n: (s.dtype.name, list(s.shape)) for n, s in specs.items()},
                 {n: (outputs[n].dtype.name, list(outputs[n].shape)) for n in natural},
                 lambda feed: {k: np.asarray(v) for k, v in signature(**feed).items()})


ONNX_TYPES = {"tensor(float)": "float32", "tensor(float16)": "float16", "tensor(int32)": "int32",
              "tensor(int64)": "int64", "tensor(bool)": "bool"}


def onnx_model(path):
    import onnx
    import onnxruntime
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])

    def described(items):
        return {t.name: (ONNX_TYPES[t.type], [d if isinstance(d, int) else None for d in t.shape]) for t in items}
    names = [t.name for t in session.get_outputs()]
    return Model(described(session.get_inputs()), described(session.get_outputs()),
                 lambda feed: dict(zip(names, session.run(None, feed))),
                 {"name": onnx.load(str(path), load_external_data=False).graph.name})


def tflite_model(path):
    from ai_edge_litert.interpreter import Interpreter
    interpreter = Interpreter(model_path=str(path))
    runner = interpreter.get_signature_runner()
    ins, outs = runner.get_input_details(), runner.get_output_details()

    def described(details):
        return {n: (d["dtype"].__name__, [int(v) if v > 0 else None for v in d["shape_signature"]])
                for n, d in details.items()}

    def run(feed):
        given = {}
        for name, x in feed.items():
            d = ins[name]
            scale, zero = d["quantization"]
            if d["dtype"] in (np.int8, np.uint8) and scale and x.dtype.kind == "f":
                x = np.clip(np.round(x / scale + zero), np.iinfo(d["dtype"]).min, np.iinfo(d["dtype"]).max)
            given[name] = x.astype(d["dtype"])
        answer = runner(**given)
        got = {}
        for name, value in answer.items():
            scale, zero = outs[name]["quantization"]
            got[name] = (value.astype(np.float32) - zero) * scale if outs[name]["dtype"] in (np.int8, np.uint8) \
                else value
        return got
    return Model(described(ins), described(outs), run, ordered=False)


def _torch_module(case):
    """A PyTorch module of a CASES entry (channels-first images where the
    case says 3 in dimension 1, channels last otherwise), as _onnx_model
    builds it: four features per input, their sum giving each output; the
    outputs returned by name."""
    import torch
    torch.manual_seed(3)
    nn = torch.nn
    mask = next((t.name for t in case.inputs if "mask" in t.name), None)

    class Module(nn.Module):
        def __init__(self):
            super().__init__()
            self.parts = nn.ModuleDict()
            for t in case.inputs:
                if t.name == mask:
                    continue
                if t.vocab:
                    self.parts["in_" + t.name] = nn.Embedding(t.vocab, 4)
                elif len(t.shape) == 4:
                    self.parts["in_" + t.name] = nn.Conv2d(t.shape[1] if t.shape[1] == 3 else t.shape[3], 4, 3)
                else:
                    self.parts["in_" + t.name] = nn.Linear(t.shape[-1], 4)
            self.heads = nn.ModuleDict({"out_" + o.name: nn.Linear(4, o.shape[-1] if o.per_token else int(
                np.prod(o.shape[1:]))) for o in case.outputs})

        def run(self, *args):
            given = dict(zip([t.name for t in case.inputs], args))
            total, embedded = 0, None
            for t in case.inputs:
                x = given[t.name]
                if t.name == mask:
                    continue
                if t.vocab:
                    embedded = self.parts["in_" + t.name](x)
                    if mask:
                        embedded = embedded * given[mask].unsqueeze(-1).to(embedded.dtype)
                    total = total + embedded.mean(1)
                elif len(t.shape) == 4:
                    image = x if t.shape[1] == 3 else x.permute(0, 3, 1, 2)
                    total = total + torch.relu(self.parts["in_" + t.name](image)).mean((2, 3))
                else:
                    total = total + self.parts["in_" + t.name](x.to(torch.float32))
            out = {}
            for o in case.outputs:
                if o.per_token:
                    out[o.name] = self.heads["out_" + o.name](embedded)
                elif len(o.shape) == 2:
                    out[o.name] = torch.softmax(self.heads["out_" + o.name](total), -1)
                else:
                    out[o.name] = self.heads["out_" + o.name](total).reshape([-1] + list(o.shape[1:]))
            return out

    names = ", ".join(t.name for t in case.inputs)  # forward takes the inputs by the case's names
    space: Dict[str, Any] = {}
    exec("def forward(self, %s):\n    return self.run(%s)\n" % (names, names), space)
    Module.forward = space["forward"]
    return Module().eval()


def build_pt2(case, folder):
    """The module exported with torch.export, each named dimension a
    torch.export.Dim shared by the inputs that have it, and saved."""
    import torch
    module, rng = _torch_module(case), np.random.default_rng(3)
    dims = {name: torch.export.Dim(name, min=2 if name in ("batch", "sequence") else 4, max=64)
            for t in case.inputs for name in t.shape if isinstance(name, str)}
    example, dynamic = [], []
    for t in case.inputs:
        shape = [SIZES[d] + 1 if isinstance(d, str) else d for d in t.shape]
        if t.vocab:
            example.append(torch.from_numpy(rng.integers(0, t.vocab, shape)).to(getattr(torch, t.dtype)))
        elif t.dtype == "bool" or "mask" in t.name:
            example.append(torch.from_numpy(rng.random(shape) < 0.5).to(getattr(torch, t.dtype)))
        else:
            example.append(torch.from_numpy(rng.random(shape, dtype=np.float32)))
        dynamic.append({i: dims[d] for i, d in enumerate(t.shape) if isinstance(d, str)})
    path = folder / (case.name + ".pt2")
    torch.export.save(torch.export.export(module, tuple(example), dynamic_shapes=tuple(dynamic)), str(path))
    return path


def pt2_source(path):
    """The program as PyTorch itself loads and runs it."""
    import torch
    program = torch.export.load(str(path))
    nodes = {n.name: n for n in program.graph.nodes if n.op == "placeholder"}
    names = program.graph_signature.user_inputs
    module = program.module()

    def described(value):
        return (str(value.dtype).replace("torch.", ""), [d if isinstance(d, int) else None for d in value.shape])
    outputs = module(*(torch.zeros([8 if d is None else d for d in described(nodes[n].meta["val"])[1]],
                                   dtype=nodes[n].meta["val"].dtype) for n in names))

    def run(feed):
        with torch.no_grad():
            answer = module(*(torch.from_numpy(np.ascontiguousarray(feed[n])) for n in names))
        return {k: v.numpy() for k, v in answer.items()}
    return Model({n: described(nodes[n].meta["val"]) for n in names},
                 {k: (str(v.dtype).replace("torch.", ""), [None] * v.dim()) for k, v in outputs.items()}, run)


IR_TYPES = {"f32": "float32", "f16": "float16", "i32": "int32", "i64": "int64", "boolean": "bool"}


def ir_model(path):
    """An OpenVINO IR (the .xml and its .bin) compiled for the CPU in float32."""
    import openvino
    compiled = openvino.Core().compile_model(str(path), "CPU", {"INFERENCE_PRECISION_HINT": "f32"})
    request = compiled.create_infer_request()

    def described(ports):
        return {p.get_any_name(): (IR_TYPES[p.get_element_type().get_type_name()],
                                   [None if d.is_dynamic else d.get_length() for d in p.get_partial_shape()])
                for p in ports}

    def run(feed):
        answer = request.infer(feed)
        return {p.get_any_name(): np.asarray(answer[p]) for p in compiled.outputs}
    return Model(described(compiled.inputs), described(compiled.outputs), run,
                 {"name": compiled.get_runtime_model().get_friendly_name(),
                  "size": path.stat().st_size + path.with_suffix(".bin").stat().st_size})


BUILDERS = {"keras": build_keras, "pb": build_saved_model, "onnx": build_onnx, "pt2": build_pt2}
SOURCES = {"keras": keras_source, "pb": saved_model_source, "onnx": onnx_model, "pt2": pt2_source}
RESULTS = {"tflite": tflite_model, "onnx": onnx_model, "xml": ir_model}
PLUGINS = {"tflite": "veltrix-tflite", "onnx": "veltrix-onnx", "xml": "veltrix-openvino"}
SOURCE_PLUGINS = {("pt2", "onnx"): "veltrix-torch"}  # a pair only one plug-in converts
MODULES = {"tflite": ("keras", "ai_edge_litert", "veltrix_tflite"), "onnx": ("onnx", "onnxruntime", "veltrix_onnx"),
           "xml": ("openvino", "nncf", "veltrix_openvino"),
           "keras": ("keras",), "pb": ("tensorflow",), "pt2": ("torch", "veltrix_torch")}


@dataclass
class Row:
    """One conversion: a case from a source format to a destination, with
    options; what the result's types and shapes become where not the
    source's ({name: type}, {name: shape}), its inputs' and outputs' order,
    its quantization mode, or the FAILURE's text."""
    case: str
    source: str
    dest: str
    words: Sequence[str] = ()
    types: Dict[str, str] = field(default_factory=dict)
    shapes: Dict[str, List[Optional[int]]] = field(default_factory=dict)
    inputs: Optional[List[str]] = None
    outputs: Optional[List[str]] = None
    name: str = ""
    mode: str = "none"
    failure: str = ""

    @property
    def id(self):
        return "-".join([self.case, self.source, self.dest] + [w.strip("-") for w in self.words])


INT8 = {"image": "int8", "scores": "int8", "boxes": "int8"}
ROWS = [
    Row("image", "keras", "tflite"),
    Row("image", "keras", "onnx"),
    Row("image", "pb", "onnx"),
    Row("image", "keras", "tflite", ["--shape", "1,16,16,3"], shapes={"image": [1, 16, 16, 3], "scores": [1, 3]}),
    Row("mixed", "keras", "tflite"),
    Row("mixed", "keras", "tflite", ["--quantize-format", "int8"], types=INT8, mode="int8"),
    Row("mixed", "pb", "tflite", ["--output-names", "output_1"], outputs=["output_1"]),
    Row("mixed", "keras", "onnx", ["--output-names", "boxes", "--input-names", "tokens,image", "--name", "net"],
        inputs=["tokens", "image"], outputs=["boxes"], name="net"),
    Row("mixed", "keras", "onnx", ["--quantize-format", "int8"], mode="int8"),
    Row("mixed", "keras", "tflite", ["--name", "net"], failure="--name net: a TensorFlow Lite model holds no name"),
    Row("mixed", "keras", "tflite", ["--input-names", "tokens,image"], failure="--input-names tokens,image: a "
        "TensorFlow Lite signature takes its inputs by name"),
    Row("three", "keras", "onnx"),
    Row("three", "keras", "tflite"),
    Row("encoder", "onnx", "onnx"),
    Row("encoder", "onnx", "onnx", ["--shape", "1,7;1,7", "--input-names", "attention_mask,input_ids",
                                    "--output-names", "pooled", "--name", "enc"],
        shapes={"input_ids": [1, 7], "attention_mask": [1, 7], "pooled": [1, 2]},
        inputs=["attention_mask", "input_ids"],
        outputs=["pooled"], name="enc"),
    Row("pictures", "onnx", "onnx", ["--quantize"], mode="int8"),
    Row("image", "pt2", "onnx"),
    Row("mixed", "pt2", "onnx"),
    Row("three", "pt2", "onnx", ["--quantize"], mode="int8"),
    Row("encoder", "pt2", "onnx", ["--shape", "1,7;1,7", "--input-names", "attention_mask,input_ids",
                                   "--output-names", "pooled", "--name", "enc"],
        shapes={"input_ids": [1, 7], "attention_mask": [1, 7], "pooled": [1, 2]}, inputs=["attention_mask", "input_ids"],
        outputs=["pooled"], name="enc"),
    Row("pictures", "pt2", "onnx"),
    Row("image", "keras", "xml", ["--compress-to-fp16", "false"]),
    Row("image", "pb", "xml", mode="float16"),
    Row("mixed", "keras", "xml", ["--output-names", "boxes", "--input-names", "tokens,image", "--name", "net"],
        inputs=["tokens", "image"], outputs=["boxes"], name="net", mode="float16"),
    Row("mixed", "keras", "xml", ["--quantize-format", "int8"], mode="int8"),
    Row("three", "keras", "xml", ["--compress-to-fp16", "false"]),
    Row("encoder", "onnx", "xml", mode="float16"),
    Row("encoder", "onnx", "xml", ["--shape", "1,7;1,7", "--input-names", "attention_mask,input_ids",
                                   "--output-names", "pooled,hidden", "--name", "enc", "--compress-to-fp16", "false"],
        shapes={"input_ids": [1, 7], "attention_mask": [1, 7], "pooled": [1, 2], "hidden": [1, 7, 4]},
        inputs=["attention_mask", "input_ids"], outputs=["pooled", "hidden"], name="enc"),
    Row("pictures", "onnx", "xml", ["--quantize"], mode="int8"),
    Row("mixed", "pt2", "xml", mode="float16"),
    Row("three", "pt2", "xml", ["--quantize"], mode="int8"),
    Row("encoder", "pt2", "xml", ["--shape", "1,7;1,7", "--output-names", "pooled", "--name", "enc",
                                  "--compress-to-fp16", "false"],
        shapes={"input_ids": [1, 7], "attention_mask": [1, 7], "pooled": [1, 2]}, outputs=["pooled"], name="enc"),
    Row("pictures", "pt2", "xml", ["--compress-to-fp16", "false"]),
    Row("keyed", "keras", "tflite", ["--output-names", "zeta"], outputs=["zeta"]),
    Row("keyed", "keras", "onnx"),
]


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """The source model of a (case, format), built once for every row."""
    folder, made = tmp_path_factory.mktemp("signatures"), {}

    def source(case, kind):
        if (case, kind) not in made:
            made[case, kind] = BUILDERS[kind](CASES[case], folder)
        return made[case, kind]
    return source


def feed_for(case, inputs, seed=7):
    """Data for a model's inputs ({name: (type, shape)}): ids within the
    case's vocabulary, a mask of ones with the last token masked out,
    booleans, random floats; dynamic dimensions at SIZES."""
    rng = np.random.default_rng(seed)
    spec = {t.name: t for t in case.inputs}
    feed = {}
    for name, (dtype, shape) in inputs.items():
        named = spec[name].shape
        concrete = [d if d is not None else SIZES[named[i]] for i, d in enumerate(shape)]
        if "mask" in name:
            value = np.ones(concrete)
            value[..., -1] = 0
        elif spec[name].vocab:
            value = rng.integers(0, spec[name].vocab, concrete)
        elif dtype == "bool":
            value = rng.random(concrete) < 0.5
        else:
            value = rng.random(concrete)
        feed[name] = value.astype(np.float32 if dtype in ("int8", "uint8") else dtype)
    return feed


def expected_signature(row, source):
    """{name: (type, shape)} of the result's inputs and outputs, in order."""
    def dims(spec):
        return [None if isinstance(d, str) else d for d in spec]
    case = CASES[row.case]
    inputs = {t.name: (t.dtype, row.shapes.get(t.name, dims(t.shape))) for t in case.inputs}
    outputs = {n: (source.outputs[n][0], row.shapes.get(n, dims(o.shape)))
               for n, o in zip(source.outputs, case.outputs)}
    inputs = {n: inputs[n] for n in (row.inputs or list(inputs))}
    outputs = {n: outputs[n] for n in (row.outputs or list(outputs))}
    return ({n: (row.types.get(n, t), s) for n, (t, s) in inputs.items()},
            {n: (row.types.get(n, t), s) for n, (t, s) in outputs.items()})


@pytest.mark.parametrize("row", ROWS, ids=[r.id for r in ROWS])
def test_every_output_of_every_signature_converts_correctly(sources, row, tmp_path):
    missing = [m for m in MODULES[row.source] + MODULES[row.dest] if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip("needs %s" % ", ".join(missing))
    from veltrix.converter.plugin_api.testing import run_command
    src = sources(row.case, row.source)
    dst = tmp_path / ("result." + row.dest)
    plugin = SOURCE_PLUGINS.get((row.source, row.dest), PLUGINS[row.dest])
    done = run_command("--json", "--plugin", plugin, *row.words, str(src), str(dst))
    if row.failure:
        assert done.status == 1 and "FAILURE: " + row.failure in done.stderr, done.stdout + done.stderr
        assert not dst.exists()
        return
    assert done.status == 0 and "SUCCESS: " in done.stderr, done.stdout + done.stderr
    report = json.loads(done.stdout)
    source, result = SOURCES[row.source](src), RESULTS[row.dest](dst)
    made = (result.inputs, result.outputs)
    inputs, outputs = expected_signature(row, source)
    # names, order, types and shapes, dynamic dimensions still dynamic, as the runtime reads the file
    listed = (list if result.ordered else sorted)
    assert (listed(made[0].items()), listed(made[1].items())) == (listed(inputs.items()), listed(outputs.items()))
    assert result.extra.get("name") == (row.name or result.extra.get("name"))
    # every output, independently: the source and the file on the same data
    feed = feed_for(CASES[row.case], result.inputs)
    expected = source.run({n: (v if source.inputs[n][0] == str(v.dtype) else v.astype(source.inputs[n][0]))
                           for n, v in feed.items()})
    got = result.run(feed)
    for name in outputs:
        scale = np.abs(expected[name]).max() + 1e-6
        # float32 and float16 results within their rounding; int8: not wildly wrong
        limit = {"none": 1e-3 * (1 + scale), "float16": 1e-2 * (1 + scale)}.get(row.mode, 0.2 * scale + 0.05)
        assert got[name].shape == expected[name].shape, name
        assert np.abs(got[name] - expected[name]).max() <= limit, (name, got[name], expected[name])
    # the report says the same, and what was verified
    described = {"inputs": [{"name": n, "type": t, "shape": s} for n, (t, s) in inputs.items()],
                 "outputs": [{"name": n, "type": t, "shape": s} for n, (t, s) in outputs.items()]}
    destination = report["destination"]
    assert {k: [{f: x[f] for f in ("name", "type", "shape")} for x in destination[k]] for k in described} == described
    assert destination["size"] == result.extra.get("size", dst.stat().st_size)  # every file of the result
    assert destination.get("name") == result.extra.get("name")
    assert [t["name"] for t in report["source"]["inputs"]] == list(source.inputs) or row.source == "pb"
    assert [t["name"] for t in report["source"]["outputs"]] == list(source.outputs) or row.source == "pb"
    assert report["quantization"]["mode"] == row.mode and report["seconds"] > 0
    verification = report["verification"]
    assert verification["samples"] >= 1 and list(verification["outputs"]) == list(outputs)
