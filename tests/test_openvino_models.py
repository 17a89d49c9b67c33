"""The kit's OpenVINO piece on small graphs built with OpenVINO's own
operations: the reading of a model's signature (`ir_signature`: names, types
by NumPy's names, dynamic dimensions, stated and inferred layouts, the range
of integer inputs that index an embedding table; the same from a model, its
IR on disk and its compiled form), and IR files whose bytes depend on the
model only (`save_ir`)."""

import numpy as np
import pytest

from conftest import needs

pytestmark = needs("openvino")


def ov():
    from veltrix.converter.plugin_api.helpers import import_openvino
    return import_openvino()


def ops():
    return ov().opset13


def param(name, dtype, shape, layout=None):
    p = ops().parameter(ov().PartialShape(shape) if shape is not None else ov().PartialShape.dynamic(),
                        getattr(ov().Type, dtype), name=name)
    p.output(0).get_tensor().set_names({name})
    if layout:
        ov().layout_helpers.set_layout(p.output(0), ov().Layout(layout))
    return p


def named(node, name):
    node.output(0).get_tensor().set_names({name})
    return node


def embedding(indices, rows=50, axis=0, table_dtype=np.float32):
    table = ops().constant(np.zeros((rows, 4), table_dtype))
    if table_dtype != np.float32:  # as a float16-compressed IR holds it
        table = ops().convert(table, ov().Type.f32)
    return ops().gather(table, indices, ops().constant(np.array(axis, np.int64)))


def image_model():
    x = param("image", "f32", [-1, 3, 224, 224])
    return [x], [named(ops().relu(x), "scores")]


def stated_layout_model():
    x = param("cube", "f32", [1, 3, 3, 3], layout="NHWC")  # the shape alone does not say
    return [x], [named(ops().relu(x), "y")]


def token_model():
    t = param("tokens", "i64", [-1, -1])
    return [t], [named(embedding(ops().convert(t, ov().Type.i32), table_dtype=np.float16), "vectors")]


def wrapped_token_model():
    t = param("ids", "i32", [1, 8])
    rows = ops().constant(np.array([[50]], np.int32))
    zero = ops().constant(np.array([[0]], np.int32))
    wrapped = ops().select(ops().less(t, zero), ops().add(t, rows), t)
    return [t], [named(embedding(wrapped), "vectors")]


def other_axis_model():
    t = param("positions", "i64", [4])
    return [t], [named(embedding(t, axis=1), "picked")]


def many_model():
    a, b, c = param("mask", "boolean", [-1, 16]), param("half", "bf16", [2, -1]), param("any", "f32", None)
    out = ops().relu(ops().convert(a, ov().Type.f32))   # an output nobody named
    return [a, b, c], [out, named(ops().relu(b), "b_out"), named(ops().relu(c), "c_out")]


@pytest.mark.parametrize("build, inputs, outputs, ranges, layouts", [
    (image_model, "image float32[?, 3, 224, 224]", "scores float32[?, 3, 224, 224]", [(None, None)], ["NCHW"]),
    (stated_layout_model, "cube float32[1, 3, 3, 3]", "y float32[1, 3, 3, 3]", [(None, None)], ["NHWC"]),
    (token_model, "tokens int64[?, ?]", "vectors float32[?, ?, 4]", [(0, 50)], [None]),
    (wrapped_token_model, "ids int32[1, 8]", "vectors float32[1, 8, 4]", [(0, 50)], [None]),
    (other_axis_model, "positions int64[4]", "picked float32[50, 4]", [(None, None)], [None]),
    (many_model, "mask bool[?, 16], half bfloat16[2, ?], any float32[]", "Result_*, b_out bfloat16[2, ?], "
     "c_out float32[]", [(None, None)] * 3, [None] * 3),  # an unknown rank: no dimensions, as other readers say
])
def test_the_signature_of_a_model_its_ir_and_its_compiled_form(tmp_path, build, inputs, outputs, ranges, layouts):
    from veltrix.converter.plugin_api.helpers import compile_on_cpu, ir_signature
    parameters, results = build()
    model = ov().Model(results, parameters, "m")
    path = str(tmp_path / "m.xml")
    ov().save_model(model, path, compress_to_fp16=False)
    for read in (model, path):
        signature = ir_signature(read)
        assert signature.inputs_shown() == inputs
        shown = signature.outputs_shown()
        if "*" in outputs:  # an unnamed output is called by its operation's name, whatever number it got
            head, tail = outputs.split("*")
            assert shown.startswith(head) and shown.endswith(tail), shown
        else:
            assert shown == outputs
        assert [(t.low, t.high) for t in signature.inputs] == ranges
        assert [t.layout for t in signature.inputs] == layouts
    if "bfloat16" not in inputs:  # the CPU computes bfloat16 inputs as it likes: not a compiled form's question
        compiled = ir_signature(compile_on_cpu(model))
        assert compiled.inputs_shown() == inputs
        assert [t.layout for t in compiled.inputs] == layouts


def test_the_same_model_made_twice_in_one_process_is_written_byte_for_byte(tmp_path):
    from veltrix.converter.plugin_api.helpers import save_ir
    written = []
    for i, name in enumerate(("a", "b")):  # every operation made anew: OpenVINO's own names count on
        parameters, results = wrapped_token_model()
        results[0].set_friendly_name("lookup")  # a name given is kept
        # a constant OpenVINO folded from another operation keeps that one's counted name
        results[0].input_value(0).get_node().set_friendly_name("Transpose_%d" % (2389 + 7 * i))
        save_ir(ov().Model(results, parameters, "m"), str(tmp_path / (name + ".xml")), compress_to_fp16=True)
        written.append([(tmp_path / (name + suffix)).read_bytes() for suffix in (".xml", ".bin")])
    assert written[0] == written[1]
    assert b'name="lookup"' in written[0][0] and b'name="Select_1"' in written[0][0]
    assert b'name="Transpose_1"' in written[0][0]
