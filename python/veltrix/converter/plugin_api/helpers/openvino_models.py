"""OpenVINO models: importing OpenVINO and NNCF so that they send nothing
and ask nothing, and running an IR on the CPU in float32. The
OpenVINO-specific piece of the kit; it imports OpenVINO only when called.

Left alone, `import openvino` starts OpenVINO's usage telemetry: it writes
a client id under ~/intel and posts events to an analytics server from
child processes (opt-out, not opt-in). Both OpenVINO and NNCF fall back to
a stub that does nothing when the telemetry package cannot be imported, so
it is made unimportable before either is imported."""

import sys
from typing import Any, Tuple

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


def tensor_text(port: Any) -> str:
    """"float32[?, 224, 224, 3]" for an input or output of an OpenVINO model."""
    kind = port.get_element_type().to_dtype().name
    shape = port.get_partial_shape()
    dims = ["?" if d.is_dynamic else str(d.get_length()) for d in shape] if shape.rank.is_static else ["..."]
    return "%s[%s]" % (kind, ", ".join(dims))


def input_dims(model: Any) -> Tuple[Any, ...]:
    """The first input's dimensions: numbers, None where dynamic."""
    shape = model.inputs[0].get_partial_shape()
    if shape.rank.is_dynamic:
        return ()
    return tuple(None if d.is_dynamic else d.get_length() for d in shape)
