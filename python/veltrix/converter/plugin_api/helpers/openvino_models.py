"""OpenVINO models: importing OpenVINO and NNCF so that they send nothing
and ask nothing, running an IR on the CPU in float32, and reading a model's
signature (`ir_signature`). The OpenVINO-specific piece of the kit; it
imports OpenVINO only when called.

Left alone, `import openvino` starts OpenVINO's usage telemetry: it writes
a client id under ~/intel and posts events to an analytics server from
child processes (opt-out, not opt-in). Both OpenVINO and NNCF fall back to
a stub that does nothing when the telemetry package cannot be imported, so
it is made unimportable before either is imported."""

import re
import sys
from typing import Any, Dict, List, Optional, Tuple

from veltrix.converter.plugin_api.helpers.layout import CHANNELS_FIRST, CHANNELS_LAST
from veltrix.converter.plugin_api.helpers.signature import Signature, Tensor, image_tensor, is_integer

TELEMETRY = "openvino_telemetry"
_SENDERS = ("send_event", "send_error", "send_stack_trace", "start_session", "end_session", "send_opt_in_event")


def _nothing(*args: Any, **kwargs: Any) -> None:
    return None


def import_openvino() -> Any:
    """The `openvino` module, with its telemetry (and NNCF's) sending nothing.

    When the telemetry package was already imported by the caller, its
    sending methods are made to do nothing instead."""
    loaded = sys.modules.get(TELEMETRY, False)
    if loaded is False:
        sys.modules[TELEMETRY] = None  # type: ignore[assignment]  # imports of it fail: the libraries use stubs
    elif loaded is not None:
        for name in _SENDERS:
            if hasattr(loaded.Telemetry, name):
                setattr(loaded.Telemetry, name, _nothing)
    import openvino
    return openvino


def import_nncf() -> Any:
    """NNCF, without telemetry and with its log lines (written to standard
    output by default) limited to errors."""
    import logging
    import_openvino()
    import nncf
    nncf.set_log_level(logging.ERROR)
    return nncf


def compile_on_cpu(model: Any) -> Any:
    """An OpenVINO model (or the path of an IR) compiled for the CPU in
    float32 arithmetic: without the hint, CPUs with bfloat16 units may run
    float models in bfloat16."""
    ov = import_openvino()
    core = ov.Core()
    if isinstance(model, str):
        model = core.read_model(model)
    return core.compile_model(model, "CPU", {"INFERENCE_PRECISION_HINT": "f32"})


# OpenVINO's element types by NumPy's names; a type NumPy lacks keeps
# OpenVINO's name (OpenVINO's own to_dtype() gives bfloat16 as float16, and
# the 4- and 8-bit types as whole bytes, which would misdescribe the model).
_TYPES = {"f64": "float64", "f32": "float32", "f16": "float16", "i64": "int64", "i32": "int32", "i16": "int16",
          "i8": "int8", "u64": "uint64", "u32": "uint32", "u16": "uint16", "u8": "uint8", "boolean": "bool",
          "bf16": "bfloat16"}
_LAYOUTS = {"[N,C,H,W]": CHANNELS_FIRST, "[N,H,W,C]": CHANNELS_LAST}


def _type_name(port: Any) -> str:
    kind = str(port.get_element_type().get_type_name())
    return _TYPES.get(kind, kind)


def _port_name(port: Any) -> str:
    """A port's tensor name (OpenVINO's choice among several: the first in
    sorted order), else its operation's name."""
    return str(port.get_any_name() if port.get_names() else port.get_node().get_friendly_name())


def _layout(port: Any) -> Optional[str]:
    """CHANNELS_FIRST/LAST when the model states the port's layout."""
    ov = import_openvino()
    try:
        return _LAYOUTS.get(ov.layout_helpers.get_layout(port).to_string())
    except (RuntimeError, TypeError):
        return None


def _integer_range(parameter: Any) -> Tuple[Optional[int], Optional[int]]:
    """[0, rows) for an integer input that selects rows of a constant table
    (an embedding: Gather on axis 0 of a Constant), else (None, None). The
    indices may pass through type conversions and the wrapping of negative
    indices (Select(x < 0, x + rows, x)) converters put in front."""
    def through_converts(node: Any) -> Any:
        while node.get_type_name() == "Convert":
            node = node.input_value(0).get_node()
        return node

    pending, seen = [parameter.output(0)], set()
    while pending:
        output = pending.pop()
        for target in output.get_target_inputs():
            node, kind, index = target.get_node(), target.get_node().get_type_name(), target.get_index()
            # by name: OpenVINO makes a new Python object for a node at each look, so ids repeat
            if (kind, index) in _INDEX_PATHS and node.get_name() not in seen:
                seen.add(node.get_name())
                pending.append(node.output(0))
            elif kind == "Gather" and index == 1:
                table, axis = (through_converts(node.input_value(i).get_node()) for i in (0, 2))
                rows = node.input_value(0).get_partial_shape()
                if (table.get_type_name() == "Constant" and axis.get_type_name() == "Constant"
                        and axis.get_data().reshape(-1).tolist() == [0] and rows.rank.is_static
                        and rows.rank.get_length() > 0 and rows[0].is_static):
                    return 0, rows[0].get_length()
    return None, None


# (operation, input) pairs that carry an index on unchanged but for its type
# or sign: conversions and the wrapping of negative indices
_INDEX_PATHS = {("Convert", 0), ("Add", 0), ("Add", 1), ("Select", 1), ("Select", 2)}


def _tensor(port: Any, parameter: Any = None) -> Tensor:
    shape = port.get_partial_shape()
    # a tensor of unknown rank has an empty shape, as the kit's other readers give it
    dims: List[Optional[int]] = []
    if shape.rank.is_static:
        dims = [None if d.is_dynamic else d.get_length() for d in shape]
    dtype = _type_name(port)
    low, high = _integer_range(parameter) if parameter is not None and is_integer(dtype) else (None, None)
    more: Dict[str, Any] = {"low": low, "high": high} if high is not None else {}
    layout = _layout(port)
    if layout is not None and len(dims) == 4 and not is_integer(dtype):
        more["layout"] = layout
    return image_tensor(_port_name(port), dtype, dims, **more)


def ir_signature(model: Any) -> Signature:
    """The signature of an OpenVINO model (`ov.Model`, a compiled model, or
    the path of an IR): every input and output in the model's order, each
    with its tensor name, its element type by NumPy's name, its shape with
    None for a dynamic dimension (an IR keeps no names for them), the layout
    of a float image input (the model's stated layout, else read from the
    shape), for an integer input feeding an embedding table the range of
    its valid values, and the model's name (its friendly name)."""
    ov = import_openvino()
    if isinstance(model, str):
        model = ov.Core().read_model(model)
    # a compiled model's graph is the device's, not the model's: no ranges from it
    parameters = [None] * len(model.inputs) if isinstance(model, ov.CompiledModel) else model.get_parameters()
    inputs = [_tensor(port, parameter) for port, parameter in zip(model.inputs, parameters)]
    outputs = [_tensor(port) for port in model.outputs]
    named = model.get_runtime_model() if isinstance(model, ov.CompiledModel) else model
    return Signature(inputs, outputs, name=named.get_friendly_name() or None)



def stable_names(model: Any) -> None:
    """Give every operation whose name is OpenVINO's own ("Constant_2415",
    or "Transpose_2389" for a constant folded from a Transpose: a type and a
    count of all the operations the process has made) a name by that word
    and its place in the graph, so that the same model written twice in one
    process (a batch worker) gives the same bytes. Names the source or a
    converter gave ("conv1", "functional_1/dense/MatMul") are kept."""
    counts: Dict[str, int] = {}
    for op in model.get_ordered_ops():
        made = _COUNTED.match(op.get_friendly_name())
        if made or op.get_friendly_name() == op.get_name():
            kind = made.group(1) if made else op.get_type_name()
            counts[kind] = counts.get(kind, 0) + 1
            op.set_friendly_name("%s_%d" % (kind, counts[kind]))


# OpenVINO's own names: an operation type (CamelCase) and a number
_COUNTED = re.compile(r"([A-Z][A-Za-z0-9]*)_\d+\Z")


def save_ir(model: Any, path: str, compress_to_fp16: bool) -> None:
    """Write `model` as an IR (`path`, its weights beside it in the .bin),
    float weights stored as float16 when asked, with `stable_names`."""
    stable_names(model)
    import_openvino().save_model(model, path, compress_to_fp16=compress_to_fp16)
