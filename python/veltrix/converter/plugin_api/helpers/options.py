"""Checking the parameter dictionary: strict options against the plug-in's
table and the reserved catalogue, typed values, and the checks and
parameters every quantizing, verifying plug-in shares."""

import difflib
import math
from typing import Any, Dict, List, Mapping, Optional, Sequence

from veltrix.converter.plugin_api.contract import ParameterDescriptor, Params
from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.verification import check_verification_options, verification_parameters
from veltrix.converter.plugin_api.params import reserved_params_list

# Keys the front end puts in every parameter dictionary besides the plug-in's
# table and the reserved catalogue.
FRONT_END_KEYS = ("source", "dest", "input-model-type", "output-model-type", "plugin", "json")
TRUE_WORDS = ("true", "yes", "on", "1")
FALSE_WORDS = ("false", "no", "off", "0")

def _suggest(key: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(key, known, n=1, cutoff=0.6)
    return " (did you mean --%s?)" % close[0] if close else ""


def check_options(params: Mapping[str, Any], table: Optional[Mapping[str, Any]],
                  extra_choices: Optional[Mapping[str, Sequence[Any]]] = None,
                  reserved: Optional[Mapping[str, Any]] = None) -> Params:
    """The parameter dictionary checked against the plug-in's table and the
    reserved catalogue, as a new dictionary of typed values.

    Raises PluginError naming the option, the value and what is accepted for:
    an option neither table knows (with the closest known one), a value
    outside `choices` (a descriptor's default is always accepted;
    `extra_choices` {key: [...]} widens a reserved descriptor's choices), a
    boolean that is not true/false/yes/no/on/off/1/0, an integer that is a
    bare flag, text or negative where the descriptor is an "int" (a command
    line cannot give a negative one: in `--level -3` the "-3" is an option
    word, so --level arrives as a bare flag), a number that is a
    bare flag, text that is not a number, or not finite where the descriptor
    is a "float" (given text is converted to a float), and a list whose length
    differs from a fixed `array` length.

    The front end converts text to booleans ("true"/"false" only), scalar
    "int"s and list items; a scalar "float" arrives as text, so this is where
    it becomes a number.
    """
    reserved = reserved_params_list if reserved is None else reserved
    table = dict(table or {})
    known = list(table) + [k for k in reserved if k not in table] + [k for k in FRONT_END_KEYS]
    out: Params = {}
    for key, value in params.items():
        if key not in table and key not in reserved and key not in FRONT_END_KEYS:
            raise PluginError("Unknown option --%s%s" % (key, _suggest(key, known)))
        descriptor = table.get(key, reserved.get(key, {})) or {}
        out[key] = _check_value(key, value, descriptor, (extra_choices or {}).get(key))
    return out


def _check_value(key: str, value: Any, descriptor: Mapping[str, Any], extra: Optional[Sequence[Any]]) -> Any:
    kind = descriptor.get("type")
    default = descriptor.get("default", object())
    if value is default or (value == default and type(value) is type(default)):
        return value
    array = descriptor.get("array")
    if array is not None:
        if value is None:
            return value
        if not isinstance(value, list):
            raise PluginError("--%s takes a comma-separated list, not %r" % (key, value))
        if isinstance(array, str) and array.isdigit() and len(value) != int(array):
            raise PluginError("--%s takes %s values, not %d (%s)" % (key, array, len(value), ",".join(map(str, value))))
        return value
    if kind == "boolean":
        if isinstance(value, bool):
            return value
        if isinstance(value, str) and value.lower() in TRUE_WORDS + FALSE_WORDS:
            return value.lower() in TRUE_WORDS
        raise PluginError("--%s takes true or false, not %r" % (key, value))
    if kind == "int":
        if value is True:
            raise PluginError("--%s needs a number (it was given as a bare flag)" % key)
        if isinstance(value, bool) or not isinstance(value, int):
            raise PluginError("--%s needs a whole number, not %r" % (key, value))
        if value < 0:  # the command line cannot give one ("-3" is an option word)
            raise PluginError("--%s needs a whole number of 0 or more, not %d" % (key, value))
    if kind == "float":
        value = _float(key, value)
    choices = list(descriptor.get("choices") or [])
    choices += [c for c in extra or [] if c not in choices]
    if choices and value not in choices:
        raise PluginError("--%s must be one of %s, not %r" % (key, ", ".join(map(str, choices)), value))
    return value


def _float(key: str, value: Any) -> float:
    if value is True:
        raise PluginError("--%s needs a number (it was given as a bare flag)" % key)
    try:
        number = float(value) if isinstance(value, (str, int, float)) and not isinstance(value, bool) else None
    except ValueError:
        number = None
    if number is None or not math.isfinite(number):
        raise PluginError("--%s needs a number, not %r" % (key, value))
    return number


def given_input_shape(options: Mapping[str, Any]) -> Optional[List[int]]:
    """The --input-shape the user gave, as a new list; None when it was not
    given. The front end fills in the catalogue's default [1, 224, 224, 3]
    when the option is absent, so a value equal to it means "not given"
    (take the model's own shape then)."""
    given = options.get("input-shape")
    default = (reserved_params_list.get("input-shape") or {}).get("default")
    if given is None or list(given) == list(default or []):
        return None
    return list(given)


def positive_int(options: Mapping[str, Any], key: str) -> int:
    value = options.get(key)
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise PluginError("--%s needs a whole number of 1 or more, not %r" % (key, value))
    return value

def check_quantization_options(options: Mapping[str, Any]) -> int:
    """The checks every quantizing plug-in makes of the reserved and common
    options; the number of samples asked for."""
    if options.get("quant-tensor") and options.get("quant-channel"):
        raise PluginError("Choose one of --quant-tensor and --quant-channel, not both")
    if options.get("seed", 0) < 0:
        raise PluginError("--seed must be 0 or more, not %d" % options["seed"])
    if options.get("verify-min-agreement", 0) not in range(0, 101):
        raise PluginError("--verify-min-agreement is a percentage, 0 to 100, not %r" % options["verify-min-agreement"])
    check_verification_options(options)
    return positive_int(options, "num-samples")

def trust_parameters() -> Dict[str, ParameterDescriptor]:
    """A new table of the parameters a trustworthy conversion offers (what
    SampleSource, check_quantization_options and verification read): `seed`,
    `verify`, `verify-min-agreement`, `verify-tolerance`, `verify-inputs` and
    `verify-samples`. Add it to your own table."""
    table: Dict[str, ParameterDescriptor] = {
        "seed": {"type": "int", "default": 0, "name": "Seed",
                 "help": "Seed of the sample choice: the same seed gives the same model"},
        "verify": {"type": "boolean", "default": True, "name": "Verify",
                   "help": "Run the source and the converted model on a few samples and report how they agree"},
        "verify-min-agreement": {"type": "int", "default": 0, "name": "Minimum Agreement",
                                 "help": "Fail when the top-1 agreement of the verification is below this percentage"},
    }
    table.update(verification_parameters())  # type: ignore[arg-type]
    return table


# Formats plug-ins accept beyond the reserved catalogue's choices of --quantize-format.
FORMATS = ["float16"]


def quantization_mode(options: Mapping[str, Any], notes: Optional[list] = None) -> str:
    """What the reserved quantization options ask for: "int8" or "uint8"
    (full integer quantization from samples: `--quantize`, or an integer
    `--quantize-format`, which implies it, said in `notes`), "float16"
    (float16 weights, no samples) or "none"."""
    fmt = options.get("quantize-format") or "none"
    if fmt == "float16":
        return "float16"
    if fmt in ("int8", "uint8"):
        if not options.get("quantize") and notes is not None:
            notes.append("--quantize-format %s implies --quantize" % fmt)
        return fmt
    return "int8" if options.get("quantize") else "none"


def shape_parameters() -> Dict[str, ParameterDescriptor]:
    """The `shape` option: input shapes of any rank, one per input (the
    reserved `input-shape` takes exactly four values)."""
    return {"shape": {"type": "string", "default": "", "name": "Shape",
                      "help": "Fix the input shapes, any rank, one per input in order separated by ';' "
                              "(1,20 or 1,8,8,3;1,5; ? keeps a dimension dynamic)"}}
