"""What to do after a failure, said on standard error, and the one line of
an error that escaped the work.

After a `FAILURE:` line: the source does not exist; no installed plug-in
converts the pair (with the pairs they do convert, and any plug-in that
failed to load, with its error); `--plugin X` names nothing installed (with
the installed names, and the plug-in to name when X is an entry-point
name), a plug-in that cannot be loaded, or one that does not convert the
pair; a list item that is not a number. Every function here takes the
front-end module (`convert`) and asks its registry, never a plug-in.
"""

import os
import re
import sys

from veltrix.converter.console.packages import GROUP, canonical_name, installed_plugins


def debugging():
    """VELTRIX_DEBUG=1: tracebacks instead of one-line errors."""
    return os.environ.get("VELTRIX_DEBUG", "") not in ("", "0")


def one_line(text):
    return " ".join(str(text).split())


def options_after_paths(argv):
    """True when options were written after the two paths."""
    words = [w for w in argv[1:] if isinstance(w, str)]
    bare = [w for w in words if not w.startswith("-")]
    return len(words) >= 2 and len(bare) >= 2 and (words[-1].startswith("-") or words[-2].startswith("-"))


def _records(module):
    try:
        return [r for r in module.PluginRegistry().get_converters_info_list() if isinstance(r, dict)]
    except Exception:
        return []


def _pair_text(record):
    return "%s -> %s" % (", ".join(map(str, record.get("inputsSupported") or [])),
                         ", ".join(map(str, record.get("outputsSupported") or [])))


def _unusable(record):
    """'plug-in 'x' cannot be used: Error:...' for a plug-in whose self-check failed."""
    return "plug-in %r cannot be used: %s" % (record.get("name"), one_line(record.get("sanityCheck")))


def _load_traceback(wanted):
    """With VELTRIX_DEBUG=1: the traceback of loading plug-in `wanted`, on standard error."""
    import traceback
    from importlib import metadata
    for dist in metadata.distributions():
        try:
            if canonical_name(dist.metadata["Name"] or "") != canonical_name(wanted):
                continue
            for ep in dist.entry_points:
                if ep.group == GROUP:
                    ep.load()
        except Exception:
            sys.stderr.write(traceback.format_exc())
            return


def plugin_name_hint(module, wanted, pair=None):
    """Why the plug-in named `wanted` could not serve: not installed (with the
    installed names, and the distribution when `wanted` is an entry-point
    name), installed but failing its self-check (with the error the listing
    shows), or, given `pair` (src, dst), not converting it. None otherwise."""
    plugins = installed_plugins()
    names = sorted(name for name, _ in plugins.values())
    try:
        keys = list(module.PluginRegistry().get_converters_names_list())
    except Exception:
        keys = [canonical_name(n) for n in names]
    if wanted in keys:
        record = next((r for r in _records(module) if r.get("name") == wanted), None)
        if record is None:
            return None
        if record.get("sanityCheck") != "ok":
            if debugging():
                _load_traceback(wanted)
            return _unusable(record) + " (veltrix-converter -l lists every plug-in's verdict)"
        if pair is not None:
            return "plug-in %r converts %s, not %r to %r" % (wanted, _pair_text(record), pair[0], pair[1])
        return None
    text = "no installed plug-in is named %r (installed: %s)" % (wanted, ", ".join(keys) or "none")
    for name, entry_points in plugins.values():
        if wanted in entry_points:
            text += "; %r is an entry point of %s: use --plugin %s" % (wanted, name, name.lower())
            break
    return text


def help_hint(module, name, src, dst):
    """After "No help for input type:...": why the plug-in gave no table."""
    hint = plugin_name_hint(module, name, (src, dst)) if isinstance(name, str) else None
    return hint or "plug-in %r gives no parameters for %r to %r" % (name, src, dst)


def _query_pair(module, args):
    """The plug-ins converting the conversion's pair, or None when asking fails."""
    try:
        return list(module.PluginRegistry().query_all_converters(args.get("input-model-type"),
                                                                 args.get("output-model-type")))
    except Exception:
        return None


def pairs_hint(module, args, passed_over=()):
    """What the installed plug-ins convert, when none converts the pair of
    `args` (or only plug-ins used only when named, `passed_over`, do)."""
    src, dst = args.get("input-model-type", ""), args.get("output-model-type", "")
    if passed_over:
        return "%s convert%s %r to %r but %s used only when named: use --plugin %s" % (
            ", ".join(passed_over), "s" if len(passed_over) == 1 else "", src, dst,
            "is" if len(passed_over) == 1 else "are", passed_over[0])
    pairs, broken = [], []
    for record in _records(module):
        if record.get("sanityCheck") != "ok":
            broken.append(_unusable(record))
        elif "inputsSupported" in record:
            pairs.append("%s (%s)" % (record.get("name"), _pair_text(record)))
    text = "no installed plug-in converts %r to %r; installed plug-ins convert: %s" % (
        src, dst, "; ".join(pairs) or "nothing")
    if broken:
        # a plug-in that failed to load may be the one that converts the pair
        text = "no working plug-in converts %r to %r; %s; installed plug-ins convert: %s" % (
            src, dst, "; ".join(broken), "; ".join(pairs) or "nothing")
    return text


def _list_item_hint(args, response):
    """The option holding the list item that int() or float() refused."""
    message = response.get("message") if isinstance(response, dict) else None
    found = re.match(r"(?:invalid literal for int\(\) with base 10|could not convert string to float): '(.*)'",
                     message if isinstance(message, str) else "")
    if not found:
        return None
    for key, value in args.items():
        if isinstance(value, str) and "," in value and found.group(1) in value.split(","):
            return "--%s %s: every item of the list must be a number" % (key, value)
    return None


def conversion_hints(module, args, response=None, passed_over=()):
    """The hints after a failed conversion of the option dictionary `args`."""
    if not isinstance(args, dict):
        return []
    hint = _list_item_hint(args, response)
    if hint:
        return [hint]
    hints = []
    for key in ("source", "dest"):
        if key in args and not isinstance(args[key], str):
            return ["--%s was given without a path (options go before SOURCE DEST)" % key]
    source = args.get("source")
    if isinstance(source, str) and not os.path.exists(source):
        hints.append("the source %s does not exist" % source)
    dest = args.get("dest")
    if isinstance(dest, str) and os.path.isdir(dest):
        return hints + ["the destination %s is a folder: give a model file name, whose extension names the type "
                        "to convert to (such as %s)" % (dest, os.path.join(dest, "model.onnx"))]
    plugin = args.get("plugin")
    if isinstance(plugin, str) and plugin != "":
        message = response.get("message") if isinstance(response, dict) else None
        unsupported = isinstance(message, str) and message.startswith("Conversion not support for ")
        hint = plugin_name_hint(module, plugin, (args.get("input-model-type"), args.get("output-model-type"))
                                if unsupported else None)
        if hint:
            hints.append(hint)
    elif not hints and (passed_over or _query_pair(module, args) == []):
        hints.append(pairs_hint(module, args, passed_over))
    return hints


def error_text(module, state, exc):
    """The text of an error that escaped the work: the exception, and the
    plug-in when the conversion was running."""
    text = "%s: %s" % (type(exc).__name__, one_line(exc)) if str(exc) else type(exc).__name__
    args = state.conversion_args if isinstance(state.conversion_args, dict) else {}
    if state.converting:
        for key in ("source", "dest"):
            if key in args and not isinstance(args[key], str):
                return "--%s was given without a path (options go before SOURCE DEST): %s" % (key, text)
        plugin = args.get("plugin")
        if not isinstance(plugin, str) or plugin == "":
            found = _query_pair(module, args)
            try:
                plugin = found[0]["name"] if found else None
            except Exception:
                plugin = None
        if plugin:
            return "plug-in %s failed or gave an answer that cannot be reported: %s" % (plugin, text)
    return text
