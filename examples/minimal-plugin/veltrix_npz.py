"""veltrix-npz, a minimal veltrix-converter plug-in to copy: one array of a
NumPy archive (.npz) into a NumPy file (.npy), optionally in another type."""

from typing import Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import PluginError, check_options, plugin_convert, safe_output


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The types it converts for (None, None); its parameters for a pair it
    converts (a new table every call); None for any other pair."""
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["npz"], "supported_outputs": ["npy"]}
    if (src_type or "").lower() == "npz" and (dst_type or "").lower() == "npy":
        return {
            "array": {"type": "string", "default": "", "name": "Array",
                      "help": "The array to keep (default: the first in the archive)"},
            "dtype": {"type": "string", "default": "same", "choices": ["same", "float32", "float16"],
                      "name": "Data Type", "help": "The type of the written array"},
        }
    return None


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Write the array; a text is a SUCCESS message, PluginError a FAILURE one."""
    options = check_options(params, query_convert("npz", "npy"))  # unknown options, choices, ...
    import numpy as np  # heavy imports inside convert: `veltrix-converter -l` loads every plug-in

    with np.load(src) as archive:
        names = list(archive.files)
        name = options["array"] or (names[0] if names else "")
        if name not in names:
            raise PluginError("No array %r in %s (it holds: %s)" % (name, src, ", ".join(names) or "nothing"))
        array = archive[name]
    if options["dtype"] != "same":
        array = array.astype(options["dtype"])
    with safe_output(dst) as partial:  # dst is replaced only by a complete file
        with open(partial, "wb") as f:
            np.save(f, array)
    return "Wrote %s: array %r, %s%s" % (dst, name, array.dtype, list(array.shape))
