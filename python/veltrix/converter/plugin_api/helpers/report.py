"""The conversion report: what a conversion made, as numbers and names a
script can read (`--json` on a conversion). A plug-in builds it with
`conversion_report` and returns it as its answer; the front end prints it."""

import os
import time
from typing import Any, Dict, List, Optional, Sequence

from veltrix.converter.plugin_api.helpers.verification import Tensor, Verified

# The report of the last conversion answered in this process (for the console).
LAST: Dict[str, Any] = {}
_STARTED: List[float] = []


def started() -> None:
    """Mark the start of a conversion (for the report's time)."""
    _STARTED[:] = [time.monotonic()]


def conversion_report(message: str, plugin: str, source: str, destination: str, source_inputs: Sequence[Tensor],
           source_outputs: Sequence[str], inputs: Sequence[Tensor], outputs: Sequence[Tensor], size: int,
           quantization: Optional[Dict[str, Any]] = None, samples: Optional[str] = None,
           verified: Optional[Verified] = None) -> Dict[str, Any]:
    """A success answer carrying the conversion report under "report" (the
    contract's "success" and "message" unchanged)."""
    document = {
        "plugin": plugin,
        "source": {"path": source, "size": _size(source), "inputs": [t.as_dict() for t in source_inputs],
                   "outputs": [{"name": n} for n in source_outputs]},
        "destination": {"path": destination, "size": size, "inputs": [t.as_dict() for t in inputs],
                        "outputs": [t.as_dict() for t in outputs]},
        "quantization": quantization or {"mode": "none"},
        "samples": samples,
        "verification": verified.figures if verified is not None else None,
        "seconds": round(time.monotonic() - _STARTED[0], 3) if _STARTED else None,
    }
    return {"success": "yes", "message": message, "report": document}


def _size(path: str) -> int:
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(root, f)) for root, _, files in os.walk(path) for f in files)
    return os.path.getsize(path) if os.path.exists(path) else 0
