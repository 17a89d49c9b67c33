"""The single command, as the batch uses it: one conversion run through the
console's own runner (so a batch row and `veltrix-converter SRC DST` cannot
drift apart), and the plug-in choice and parameter table the command would
use for a row. Nothing here decides anything the command
decides; it only asks."""

import contextlib
import io
from typing import Any, Dict, List, Optional, Tuple

PROGRAM = "veltrix-converter"


def run_command(words: List[str]) -> Any:
    """`veltrix-converter WORDS...` in this process: the console runner's
    Outcome (status, the conversion report `--json` prints, standard output
    and error)."""
    from veltrix.converter.console.runner import run_command as console_run
    return console_run(list(words))


def chosen_plugin(src_type: str, dst_type: str) -> Tuple[Optional[str], List[str]]:
    """The plug-in the command's automatic choice takes for the pair (None
    when there is none), and the plug-ins converting it that are used only
    when named."""
    from veltrix.converter.console.choice import SelectingRegistry
    from veltrix.converter.console.runner import State
    from veltrix.converter.plugin_registry import PluginRegistry
    state = State([PROGRAM])
    with contextlib.redirect_stderr(io.StringIO()):  # the note naming the other candidates
        SelectingRegistry(PluginRegistry(), state).query_all_converters(src_type, dst_type)
    return state.chosen, list(state.passed_over)


def parameter_table(name: str, src_type: str, dst_type: str) -> Optional[Dict[str, Any]]:
    """The plug-in's parameters for the pair, reserved ones included, as
    `veltrix-converter -h NAME SRC_TYPE DST_TYPE` gives them; None when the
    plug-in is missing or does not convert the pair."""
    from veltrix.converter import convert
    with contextlib.redirect_stdout(io.StringIO()):
        table = convert.get_params(name, src_type, dst_type)
    return table if isinstance(table, dict) else None


def plugin_hint(name: str, src_type: str, dst_type: str) -> Optional[str]:
    """Why `--plugin NAME` cannot convert the pair, as the command says it."""
    from veltrix.converter import convert
    from veltrix.converter.console.hints import plugin_name_hint
    return plugin_name_hint(convert, name, (src_type, dst_type))


def no_plugin_hint(args: Dict[str, Any], passed_over: List[str]) -> str:
    """Why no plug-in was chosen for a conversion, as the command says it."""
    from veltrix.converter import convert
    from veltrix.converter.console.hints import conversion_hints
    found = conversion_hints(convert, args, None, passed_over)
    return "; ".join(found) or "no installed plug-in converts %r to %r" % (
        args.get("input-model-type"), args.get("output-model-type"))


def plugin_versions() -> Dict[str, str]:
    """{plug-in name: version} of the installed plug-ins."""
    from veltrix.converter import convert
    with contextlib.redirect_stdout(io.StringIO()):
        records = convert.get_plugins()
    return {str(r.get("name")): str(r.get("version")) for r in records if isinstance(r, dict)}


def model_types(options: Dict[str, Any]) -> Dict[str, Any]:
    """The option dictionary with the model types the command derives from the paths."""
    from veltrix.converter.plugin_api.option_mapper import OptionMapper
    args = dict(options)
    with contextlib.redirect_stdout(io.StringIO()):
        OptionMapper().get_model_types(args)
    return args


def tool_version() -> str:
    from veltrix.converter import __version__
    return __version__
