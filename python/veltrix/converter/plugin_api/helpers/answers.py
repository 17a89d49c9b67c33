"""Answers a plug-in gives: the failure type whose message is meant for the
user, and the decorator that keeps every answer of `convert` well-formed."""

import functools
from typing import Any, Callable, Optional, Sequence, Tuple, Union

from veltrix.converter.plugin_api.contract import ConversionResponse, Params

ConvertFunction = Callable[[str, str, Params], Any]

def query_answer(src_type: Optional[str], dst_type: Optional[str], inputs: Sequence[str],
                 outputs: Sequence[str]) -> Union[dict, None, Tuple[str, str]]:
    """What `query_convert` answers before its parameter table: the supported
    types for (None, None), None for a pair it does not convert (types
    compared without regard to case), else the pair in lower case, for which
    the plug-in builds its table."""
    if src_type is None and dst_type is None:
        return {"supported_inputs": list(inputs), "supported_outputs": list(outputs)}
    if not isinstance(src_type, str) or not isinstance(dst_type, str):
        return None
    if src_type.lower() not in inputs or dst_type.lower() not in outputs:
        return None
    return src_type.lower(), dst_type.lower()


class PluginError(Exception):
    """A failure with a message meant for the user: `plugin_convert` turns it
    into a FAILURE answer."""


def success(message: object) -> ConversionResponse:
    """A conversion response reporting success."""
    return {"success": "yes", "message": str(message)}


def failure(message: object) -> ConversionResponse:
    """A conversion response reporting failure."""
    return {"success": "no", "message": str(message)}


def first_line(text: object) -> str:
    lines = [line.strip() for line in str(text).strip().splitlines() if line.strip()]
    return lines[0] if lines else ""


def plugin_convert(function: ConvertFunction) -> Callable[[str, str, Params], ConversionResponse]:
    """Wrap a plug-in's `convert` so that its answer is always well-formed:
    a text (or a success response) is success, PluginError is a failure with
    its message, any other Exception a failure naming it. SystemExit and
    KeyboardInterrupt pass through. A success answer's "report" (the
    conversion report, see `report`) is kept for the console's `--json`."""
    @functools.wraps(function)
    def convert(src: str, dst: str, params: Params) -> ConversionResponse:
        from veltrix.converter.plugin_api.helpers import report
        report.LAST.clear()
        report.started()
        try:
            result = function(src, dst, params)
        except PluginError as exc:
            return failure(str(exc))
        except Exception as exc:  # an error of a library the plug-in uses
            text = first_line(exc)
            return failure("%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__)
        if result is None:
            return failure("The plug-in gave no answer")
        if isinstance(result, str):
            return success(result)
        if isinstance(result, dict):
            ok = result.get("success")
            if ok is True or ok == "yes":
                if isinstance(result.get("report"), dict):
                    report.LAST.update(result["report"])
                return success(result.get("message", ""))
            if ok is False or ok == "no":
                return failure(result.get("message", ""))
        return failure("The plug-in answered %r; an answer is a text or {'success': 'yes' or 'no', 'message': text}"
                       % (result,))
    return convert
