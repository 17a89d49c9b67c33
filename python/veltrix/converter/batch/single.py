"""The single command, as the batch uses it: one conversion run through the
console's own runner (so a batch row and `veltrix-converter --json ...`
cannot drift apart), and the plug-in choice and parameter table the
command would use for a row. Nothing here decides anything the command
decides; it only asks."""

import contextlib
import io
import json
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

PROGRAM = "veltrix-converter"


@dataclass
class Outcome:
    """What one single command did."""
    status: int  # its exit status
    report: Optional[Dict[str, Any]]  # the --json document, None when the command printed none
    stdout: str
    stderr: str


def run_command(words: List[str]) -> Outcome:
    """`veltrix-converter --json WORDS...` in this process."""
    from veltrix.converter import __main__ as console
    from veltrix.converter.plugin_api.helpers import report
    # a plug-in that gives no report must not be given the previous job's
    report.LAST.clear()
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = console.execute(argv=[PROGRAM, "--json", *words])
    document = None
    text = out.getvalue()
    if text.strip():
        try:
            document = json.loads(text)
        except ValueError:
            document = None
    return Outcome(status, document if isinstance(document, dict) else None, text, err.getvalue())


def chosen_plugin(src_type: str, dst_type: str) -> Optional[str]:
    """The plug-in the command's automatic choice takes for the pair, or None."""
    from veltrix.converter import __main__ as console
    from veltrix.converter.plugin_registry import PluginRegistry
    state = console._State([PROGRAM])
    with contextlib.redirect_stderr(io.StringIO()):  # the note naming the other candidates
        console._SelectingRegistry(PluginRegistry(), state).query_all_converters(src_type, dst_type)
    return state.chosen


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
    from veltrix.converter import __main__ as console
    from veltrix.converter import convert
    return console._plugin_name_hint(convert, name, (src_type, dst_type))


def pairs_hint(src_type: str, dst_type: str) -> str:
    """What the installed plug-ins convert, as the command says it when none converts the pair."""
    from veltrix.converter import __main__ as console
    from veltrix.converter import convert
    return console._pairs_hint(convert, {"input-model-type": src_type, "output-model-type": dst_type})


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
