"""The front end's automatic choice between plug-ins, as the console makes it.

When no plug-in is named, plug-ins whose self-check answer holds
`"auto_select": False` are passed over (they are used only when named), and
when several could convert the pair, a note on standard error says which
was used and which others could. The registry's own answers (`-l`,
`query_all_converters` called by anyone else) are unchanged.
"""

from veltrix.converter.console.streams import say

AUTO_SELECT_KEY = "auto_select"


def only_when_named(registry, name):
    """True when plug-in `name` said, in its self-check answer, that it is to
    be used only when named (`"auto_select": False`)."""
    try:
        plugin = registry.get_converter_by_name(name)
        answer = plugin.query_convert(None, None) if plugin is not None else None
        return isinstance(answer, dict) and answer.get(AUTO_SELECT_KEY, True) is False
    except Exception:  # the conversion itself reports a plug-in that cannot answer
        return False


def automatic_choice(registry, src_type, dst_type):
    """The records of the plug-ins the automatic choice offers for the pair,
    in the registry's order (the first is used), and the names of those
    passed over because they are used only when named."""
    offered, passed_over = [], []
    for record in registry.query_all_converters(src_type, dst_type):
        name = record.get("name") if isinstance(record, dict) else None
        if isinstance(name, str) and only_when_named(registry, name):
            passed_over.append(name)
        else:
            offered.append(record)
    return offered, passed_over


class SelectingRegistry:
    """The registry as the front end's automatic choice sees it: the same
    answers, except that plug-ins used only when named are not offered, and
    the others that could have converted the pair are noted. What it saw
    goes into `state.passed_over` and `state.chosen`."""

    def __init__(self, registry, state):
        self._registry, self._state = registry, state

    def query_all_converters(self, src_type, dst_type):
        offered, self._state.passed_over = automatic_choice(self._registry, src_type, dst_type)
        self._state.chosen = offered[0].get("name") if offered and isinstance(offered[0], dict) else None
        if offered:
            others = sorted({str(r.get("name")) for r in offered[1:]} - {str(offered[0].get("name"))})
            others += ["%s (used only when named)" % name for name in self._state.passed_over]
            if others:
                say("note: %s is used, the first installed plug-in converting %r to %r; %s also could "
                    "(choose one with --plugin NAME)" % (offered[0].get("name"), src_type, dst_type, ", ".join(others)))
        return offered

    def __getattr__(self, name):
        return getattr(self._registry, name)
