"""The conversion report: what a conversion made, as numbers and names a
script can read (`--json` on a conversion). A plug-in builds it with
`conversion_report` from the source's and the result's signatures and
returns it as its answer; the front end prints it.

This module imports nothing of the kit: `answers` stores each report here
and the console reads `LAST`, neither needing verification or samples."""

import os
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional

if TYPE_CHECKING:
    from veltrix.converter.plugin_api.helpers.signature import Signature
    from veltrix.converter.plugin_api.helpers.verification import Verified

# The report of the last conversion answered in this process (for the console).
LAST: Dict[str, Any] = {}
_STARTED: List[float] = []


def started() -> None:
    """Mark the start of a conversion (for the report's time)."""
    _STARTED[:] = [time.monotonic()]


def conversion_report(message: str, plugin: str, source: str, destination: str, source_signature: "Signature",
                      result_signature: "Signature", size: Optional[int] = None,
                      quantization: Optional[Dict[str, Any]] = None, samples: Optional[str] = None,
                      verified: "Optional[Verified]" = None, files: Optional[List[str]] = None) -> Dict[str, Any]:
    """A success answer carrying the conversion report under "report" (the
    contract's "success" and "message" unchanged): the source and the
    destination (path, size in bytes, signature: inputs and outputs with
    name, type, shape and the names of dynamic dimensions, and the model's
    name where it has one), the quantization done ({"mode": "none"} when
    none), the samples that reached calibration, the verification's figures
    (None when not verified) and the seconds since the conversion began.
    `size` defaults to the size of `destination` and of `files` (the other
    files of a model of several, such as an IR's .bin), which are listed."""
    written = [destination] + list(files or [])
    document: Dict[str, Any] = {
        "plugin": plugin,
        "source": dict(path=source, size=_size(source), **source_signature.as_dict()),
        "destination": dict(path=destination, size=sum(_size(p) for p in written) if size is None else size,
                            **result_signature.as_dict()),
        "quantization": quantization or {"mode": "none"},
        "samples": samples,
        "verification": verified.figures if verified is not None else None,
        "seconds": round(time.monotonic() - _STARTED[0], 3) if _STARTED else None,
    }
    if files:
        document["destination"]["files"] = written
    return {"success": "yes", "message": message, "report": document}


def _size(path: str) -> int:
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(root, f)) for root, _, files in os.walk(path) for f in files)
    return os.path.getsize(path) if os.path.exists(path) else 0
