"""The converter plug-in contract as types, for editors and `mypy --strict`.

A plug-in is any module (or object) with `query_convert` and `convert`; check
one with::

    import my_plugin
    from veltrix.converter.plugin_api.contract import ConverterPlugin
    plugin: ConverterPlugin = my_plugin   # mypy reports what does not fit

Nothing here runs: these are plain typing declarations.
"""

from typing import Any, Dict, List, Literal, Optional, Protocol, TypedDict, Union

ParamType = Literal["string", "int", "boolean", "float"]
"""A descriptor's "type": text, integer, boolean, or a number type for lists."""

Normalization = Literal["signed", "unsigned", "imagenet", "raw"]
"""What `Dataset` does to float32 samples: -1..1, 0..1, channel means subtracted, nothing."""


class ParameterDescriptor(TypedDict, total=False):
    """One parameter of a table. Without "default" the parameter is mandatory."""
    type: ParamType
    default: Any
    name: str
    group: str
    help: str
    choices: List[str]
    array: str  # present: a comma-separated list; a number of items ("4") or "" for any


ParameterTable = Dict[str, ParameterDescriptor]
"""Option key (hyphenated) -> descriptor; the order is the help's order."""


class SupportedTypes(TypedDict):
    """What query_convert(None, None) answers: the model types a plug-in reads and writes."""
    supported_inputs: List[str]
    supported_outputs: List[str]


class ConversionResponse(TypedDict):
    """A plug-in's answer: "yes" or "no" (exactly these texts) and a message for the user."""
    success: Literal["yes", "no"]
    message: str


Params = Dict[str, Any]
"""The parameter dictionary a plug-in receives (see the README's plug-in guide for its keys)."""


class PluginInfo(TypedDict, total=False):
    """A record of PluginRegistry.get_converters_info_list() (and of `veltrix-converter -l`)."""
    name: str
    sanityCheck: str
    summary: str
    author: str
    version: str
    inputsSupported: List[str]
    outputsSupported: List[str]
    path: str


class ConverterMatch(TypedDict):
    """A record of PluginRegistry.query_all_converters()."""
    name: str
    params: ParameterTable


class ConverterPlugin(Protocol):
    """What the front end requires of a plug-in."""

    def query_convert(self, src_type: Optional[str], dst_type: Optional[str],
                      ) -> Union[ParameterTable, SupportedTypes, None]: ...

    def convert(self, src: str, dst: str, params: Params) -> Optional[ConversionResponse]: ...
