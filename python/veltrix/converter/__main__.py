"""Console entry of veltrix-converter (also `python -m veltrix.converter`).

`convert.main()` reports every outcome on standard output and returns None.
The entry adds what a command needs around it, without changing a line that
`main` prints:

* Exit statuses: 0 success; 1 a failed conversion, installation or removal,
  or an error; 2 a command line that was not understood; 130 Ctrl-C;
  143 SIGTERM.
  The entry watches the actions `main` runs by wrapping the module's
  `__args_to_dict`, `convert`, `install`, `uninstall` and `__help` for the
  duration of the call (main reaches them through its module namespace).
* Guards on the command line: `-i` takes an existing path and hands pip a
  form it can only read as that path: the absolute path (never a project
  name on the index), or its file:// URL when pip would read part of the
  path as something else (";" as the start of a marker, a final "[...]" as
  extras); `-u` removes only a distribution that declares a plug-in entry
  point.
* Hints after a failure, on standard error; a closed output pipe, a closed
  standard stream (`>&-`, `2>&-`) or a reader of standard error that went
  away never stops the work (their output is dropped); unexpected errors as
  one line, not a traceback (VELTRIX_DEBUG=1 shows the traceback).
* Ctrl-C (SIGINT) and SIGTERM, from the first line of the console's own code
  to its exit: the work unwinds as for Ctrl-C (every `finally` runs, so work
  folders and partial files are removed), then one line on standard error,
  "Interrupted" (status 130) or "Terminated" (status 143), even when some
  library swallowed the interrupt. A signal that the command inherited as
  ignored (`nohup`, background jobs) stays ignored.
* `-l --json` and `--json -h NAME SRC DST`: one JSON document on stdout.
* Choosing between plug-ins: when no plug-in is named, plug-ins whose
  self-check answer holds `"auto_select": False` are passed over (they are
  used only when named), and when several could convert the pair, a note
  names the others.
* `-i --force-reinstall PATH` replaces an installed copy of the same
  version; `-i FOLDER` leaves no build/ or *.egg-info behind.
* `--json SRC DST`: the conversion report as one JSON document on stdout;
  the lines `main` prints go to standard error instead.
"""

import os
import signal
import sys


def _ended_while_starting(signum, frame):
    """Ctrl-C or SIGTERM while the console's own modules are still being
    imported: nothing has started, so there is nothing to unwind; the one
    line and the status of an interrupted run, without a traceback."""
    try:
        os.write(2, b"Terminated\n" if signum == signal.SIGTERM else b"Interrupted\n")
    except OSError:
        pass
    os._exit(143 if signum == signal.SIGTERM else 130)


def _listen_while_starting():
    """The handlers in place before this module's imports; put back by
    `_started` once the module is loaded (`run` then installs its own)."""
    saved = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        try:
            previous = signal.getsignal(signum)
            if previous is not signal.SIG_IGN:
                signal.signal(signum, _ended_while_starting)
                saved[signum] = previous
        except ValueError:  # imported outside the main thread: signals are not ours to take
            break
    return saved


def _started(saved):
    for signum, previous in saved.items():
        signal.signal(signum, previous if previous is not None else signal.SIG_DFL)


_BEFORE_START = _listen_while_starting()

import contextlib  # noqa: E402 - the imports below run under the start-up handlers
import errno  # noqa: E402
import functools  # noqa: E402
import io  # noqa: E402
import glob  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402

GROUP = "veltrix_converter"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143

_FAILURE_TEXTS = ("Python Environment is Not Defined",)
_FAILURE_PREFIXES = ("Error Installing ", "Error Uninstalling ")


def _say(text):
    """One line of ours on standard error (the contract owns standard output)."""
    sys.stderr.write("veltrix-converter: %s\n" % text)
    sys.stderr.flush()


def _one_line(text):
    return " ".join(str(text).split())


def _conversion_failed(response):
    return not isinstance(response, dict) or response.get("success") != "yes"


def _package_action_failed(text):
    return isinstance(text, str) and (text in _FAILURE_TEXTS or text.startswith(_FAILURE_PREFIXES))


def canonical_name(name):
    """A distribution name compared the way pip compares them."""
    return re.sub(r"[-_.]+", "-", name).lower()


def installed_plugins():
    """{canonical name: (distribution name, [entry-point names])} of every
    installed distribution declaring an entry point in the plug-in group."""
    from importlib import metadata
    found = {}
    for dist in metadata.distributions():
        try:
            names = [ep.name for ep in dist.entry_points if ep.group == GROUP]
            name = dist.metadata["Name"] if names else None
        except Exception:  # one broken distribution must not hide the others
            continue
        if name:
            found.setdefault(canonical_name(name), (name, names))
    return found


class _State:
    """What one run of `main` did, as seen through the wrapped actions."""

    def __init__(self, argv):
        self.argv = list(argv)
        self.options = None
        self.failed = False
        self.usage_error = False
        self.converting = False
        self.conversion_args = None
        self.response = None
        self.force_reinstall = False
        self.tables = []  # what get_params answered during parameter help
        self.help_missing = None  # (name, src, dst) of parameter help that found no table
        self.passed_over = []  # plug-ins converting the pair that are used only when named
        self.chosen = None  # the plug-in the automatic choice offered first


def _first_package_key(options):
    for key in ("i", "install", "u", "uninstall"):
        if key in options:
            return key
    return None


FORCE_KEY = "force-reinstall"
_BUILD_LEFTOVERS = ("build", "*.egg-info", os.path.join("src", "*.egg-info"))


def _leftovers(folder):
    return {path for pattern in _BUILD_LEFTOVERS for path in glob.glob(os.path.join(glob.escape(folder), pattern))}


def _with_environ(values, action):
    """`action()` with the environment variables `values` set (pip reads its
    options from PIP_* variables), restored afterwards."""
    saved = {key: os.environ.get(key) for key in values}
    os.environ.update(values)
    try:
        return action()
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


def _guarded_install(original, state):
    @functools.wraps(original)
    def install(package, show_message=True):
        if not isinstance(package, str) or not os.path.exists(package):
            _say("cannot install %r: no such file or folder (-i takes the path of a plug-in wheel or project)"
                 % (package,))
            state.failed = True
            return ""
        path = os.path.abspath(package)
        location = _pip_location(path)
        # pip builds a project folder in place: what the build leaves there goes
        before = _leftovers(path) if os.path.isdir(path) else None
        try:
            if not state.force_reinstall:
                return original(location, show_message)
            # The plug-in itself replaced, even at the same version; then a plain
            # install adds any dependency it gained, quietly.
            result = _with_environ({"PIP_FORCE_REINSTALL": "1", "PIP_NO_DEPS": "1"},
                                   lambda: original(location, show_message))
            if not _package_action_failed(result):
                quiet = io.StringIO()
                with contextlib.redirect_stdout(quiet):
                    original(location, False)
            return result
        finally:
            if before is not None:
                for leftover in sorted(_leftovers(path) - before):
                    shutil.rmtree(leftover, ignore_errors=True)
    return install


def _pip_location(path):
    """An absolute path as pip can only read it: the path itself, or its
    file:// URL when pip would take ";..." for a marker or a final "[...]"
    for extras."""
    if ";" in path or path.endswith("]"):
        return pathlib.Path(path).as_uri()
    return path


def _guarded_uninstall(original, state):
    @functools.wraps(original)
    def uninstall(package, show_message=True):
        plugins = installed_plugins()
        if not isinstance(package, str) or canonical_name(package) not in plugins:
            names = ", ".join(sorted(name for name, _ in plugins.values())) or "none"
            _say("%r is not an installed veltrix-converter plug-in; -u removes only plug-ins (installed: %s)"
                 % (package, names))
            state.failed = True
            return ""
        return original(package, show_message)
    return uninstall


AUTO_SELECT_KEY = "auto_select"


def _only_when_named(registry, name):
    """True when plug-in `name` said, in its self-check answer, that it is to
    be used only when named (`"auto_select": False`)."""
    try:
        plugin = registry.get_converter_by_name(name)
        answer = plugin.query_convert(None, None) if plugin is not None else None
        return isinstance(answer, dict) and answer.get(AUTO_SELECT_KEY, True) is False
    except Exception:  # the conversion itself reports a plug-in that cannot answer
        return False


class _SelectingRegistry:
    """The registry as the front end's automatic choice sees it: the same
    answers, except that plug-ins used only when named are not offered, and
    the others that could have converted the pair are noted."""

    def __init__(self, registry, state):
        self._registry, self._state = registry, state

    def query_all_converters(self, src_type, dst_type):
        found = list(self._registry.query_all_converters(src_type, dst_type))
        offered, passed_over = [], []
        for record in found:
            name = record.get("name") if isinstance(record, dict) else None
            (passed_over if isinstance(name, str) and _only_when_named(self._registry, name) else offered).append(record)
        self._state.passed_over = [r["name"] for r in passed_over]
        self._state.chosen = offered[0].get("name") if offered and isinstance(offered[0], dict) else None
        if offered:
            others = sorted({str(r.get("name")) for r in offered[1:]} - {str(offered[0].get("name"))})
            others += ["%s (used only when named)" % name for name in self._state.passed_over]
            if others:
                _say("note: %s is used, the first installed plug-in converting %r to %r; %s also could "
                     "(choose one with --plugin NAME)" % (offered[0].get("name"), src_type, dst_type, ", ".join(others)))
        return offered

    def __getattr__(self, name):
        return getattr(self._registry, name)


def _watch(module, state, command_line):
    """The module attributes to put in place for one call of `main`."""
    originals = {name: getattr(module, name) for name in
                 ("__args_to_dict", "convert", "install", "uninstall", "__help", "get_params", "PluginRegistry")}

    def args_to_dict(*a, **k):
        state.options = options = originals["__args_to_dict"](*a, **k)
        if command_line and isinstance(options, dict) and FORCE_KEY in options:
            # `-i --force-reinstall PATH` reads as i=True, force-reinstall=PATH
            key = _first_package_key(options)
            if key in ("i", "install"):
                if options[key] is True and isinstance(options[FORCE_KEY], str):
                    options[key], options[FORCE_KEY] = options[FORCE_KEY], True
                state.force_reinstall = True
        return options

    def registry(*a, **k):
        return _SelectingRegistry(originals["PluginRegistry"](*a, **k), state)

    def get_params(*a, **k):
        table = originals["get_params"](*a, **k)
        state.tables.append(table)
        return table

    def convert(args, *a, **k):
        state.conversion_args = args
        state.converting = True
        response = originals["convert"](args, *a, **k)
        state.converting = False
        state.response = response
        if _conversion_failed(response):
            state.failed = True
        return response

    def judged(name, action):
        @functools.wraps(action)
        def run(*a, **k):
            result = action(*a, **k)
            if _package_action_failed(result):
                state.failed = True
            return result
        return run

    def help_(name, args, *a, **k):
        # The usage text because nothing on the line made an action.
        if isinstance(name, str) and name == "" and len(state.argv) > 1 and isinstance(args, dict) \
                and not ("h" in args or "help" in args):
            state.usage_error = True
        state.tables = []
        result = originals["__help"](name, args, *a, **k)
        if state.tables == [None]:  # "No help for input type:..."
            state.failed = True
            state.help_missing = (name, args.get("source"), args.get("dest"))
        return result

    install, uninstall = originals["install"], originals["uninstall"]
    if command_line:
        install = _guarded_install(install, state)
        uninstall = _guarded_uninstall(uninstall, state)
    replaced = {
        "__args_to_dict": functools.wraps(originals["__args_to_dict"])(args_to_dict),
        "convert": functools.wraps(originals["convert"])(convert),
        "install": judged("install", install),
        "uninstall": judged("uninstall", uninstall),
        "__help": functools.wraps(originals["__help"])(help_),
        "get_params": functools.wraps(originals["get_params"])(get_params),
        "PluginRegistry": registry,
    }
    return originals, replaced


def _status(state):
    if state.failed:
        return EXIT_FAILED
    options = state.options if isinstance(state.options, dict) else {}
    if not any(k in options for k in ("v", "version", "l", "list")):
        key = _first_package_key(options)
        if key is not None and not isinstance(options[key], str):
            return EXIT_USAGE  # "Package Path Missing" / "Plugin Name Missing"
    return EXIT_USAGE if state.usage_error else EXIT_OK


def run_main(module=None, command_line=False, state=None):
    """Run `main` once; return the exit status its action deserves.

    `command_line` adds the guards of the console (-i takes a path, -u
    removes only plug-ins); API callers of install/uninstall keep theirs.
    """
    if module is None:
        from veltrix.converter import convert as module
    state = state if state is not None else _State(sys.argv)
    originals, replaced = _watch(module, state, command_line)
    for name, wrapper in replaced.items():
        setattr(module, name, wrapper)
    try:
        module.main()
    finally:
        for name, wrapper in replaced.items():
            # Leave alone anything the action itself put in place meanwhile.
            if getattr(module, name, None) is wrapper:
                setattr(module, name, originals[name])
    return _status(state)


# ------------------------------------------------------------------ hints

def _options_after_paths(argv):
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
    return "plug-in %r cannot be used: %s" % (record.get("name"), _one_line(record.get("sanityCheck")))


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


def _plugin_name_hint(module, wanted, pair=None):
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
            if os.environ.get("VELTRIX_DEBUG", "") not in ("", "0"):
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


def _query_pair(module, args):
    """The plug-ins converting the conversion's pair, or None when asking fails."""
    try:
        return list(module.PluginRegistry().query_all_converters(args.get("input-model-type"),
                                                                 args.get("output-model-type")))
    except Exception:
        return None


def _pairs_hint(module, args, passed_over=()):
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


def _conversion_hints(module, args, response=None, passed_over=()):
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
        hint = _plugin_name_hint(module, plugin, (args.get("input-model-type"), args.get("output-model-type"))
                                 if unsupported else None)
        if hint:
            hints.append(hint)
    elif not hints and (passed_over or _query_pair(module, args) == []):
        hints.append(_pairs_hint(module, args, passed_over))
    return hints


def _error_text(module, state, exc):
    text = "%s: %s" % (type(exc).__name__, _one_line(exc)) if str(exc) else type(exc).__name__
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


# -------------------------------------------------------------- output

def _lost_reader(exc):
    return isinstance(exc, BrokenPipeError) or getattr(exc, "errno", None) == errno.EPIPE


class _Output:
    """A standard stream that never stops the work: once a write fails, later
    output is dropped and the file descriptor points at the null device (so
    nothing still buffered fails again at exit). A reader that went away
    (broken pipe) is silent; any other failure (a full disk) is raised once
    when `reported`, for the console to say and to end with status 1."""

    def __init__(self, stream, reported):
        self._stream, self._reported = stream, reported
        self.lost = False

    def _give_up(self, exc):
        self.lost = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError, AttributeError):
            pass
        if self._reported and not _lost_reader(exc):
            raise exc

    def write(self, text):
        if self.lost:
            return len(text)
        try:
            n = self._stream.write(text)
            self._stream.flush()
            return n
        except OSError as exc:
            self._give_up(exc)
            return len(text)

    def flush(self):
        if self.lost:
            return
        try:
            self._stream.flush()
        except OSError as exc:
            self._give_up(exc)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _mend_standard_streams():
    """A standard stream closed by the caller (`>&-`, `2>&-`) becomes the null
    device: what is written to it is dropped, and no file the work opens can
    take its number (native libraries would write into it)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False, errors="backslashreplace")
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False, errors="backslashreplace")


# ------------------------------------------------------------- signals

class Terminated(KeyboardInterrupt):
    """SIGTERM, unwinding the work exactly as Ctrl-C does."""


_ENDINGS = {signal.SIGINT: (EXIT_INTERRUPTED, "Interrupted"), signal.SIGTERM: (EXIT_TERMINATED, "Terminated")}


class _Listener:
    """SIGINT and SIGTERM for one run of the console: each raises
    KeyboardInterrupt (Terminated for SIGTERM) while the work runs, and is
    remembered, so a run whose interrupt was swallowed still ends as
    interrupted. Signals inherited as ignored are left ignored."""

    def __init__(self):
        self.received = []
        self.raising = True

    def listen(self):
        for signum in _ENDINGS:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                signal.signal(signum, self)

    def __call__(self, signum, frame):
        self.received.append(signum)
        if self.raising:
            raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()


def _interrupted(signum):
    """The one line of an interrupted run; its status."""
    status, text = _ENDINGS[signum]
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):
        pass
    try:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
    return status


# ---------------------------------------------------------------- JSON

def _json_mode(module, argv):
    """`-l --json` or `--json -h NAME SRC DST`: the status, or None when the
    line does not ask for JSON."""
    if not any(w in ("--json", "-json") for w in argv[1:] if isinstance(w, str)):
        return None
    options = getattr(module, "__args_to_dict")()
    if not isinstance(options, dict) or "json" not in options:
        return None
    if "l" in options or "list" in options:
        records = []
        for r in module.get_plugins():
            records.append({
                "name": r.get("name"), "version": r.get("version"), "summary": r.get("summary"),
                "author": r.get("author"), "path": r.get("path"), "inputs": r.get("inputsSupported"),
                "outputs": r.get("outputsSupported"), "verdict": r.get("sanityCheck"),
            })
        sys.stdout.write(json.dumps(records, indent=2, default=str) + "\n")
        return EXIT_OK
    name = options.get("h", options.get("help"))
    if name is None and isinstance(options.get("source"), str) and isinstance(options.get("dest"), str):
        return None  # a conversion: its report (see `_conversion_report`)
    if name is None:
        _say("--json goes with -l, with -h NAME SOURCE_TYPE DEST_TYPE or with a conversion")
        return EXIT_USAGE
    src, dst = options.get("source"), options.get("dest")
    if not all(isinstance(v, str) and v for v in (name, src, dst)):
        _say("usage: veltrix-converter --json -h PLUGIN SOURCE_TYPE DEST_TYPE")
        return EXIT_USAGE
    table = module.get_params(name, src, dst)
    if table is None:
        _say("no parameters: " + (_plugin_name_hint(module, name, (src, dst))
                                  or "plug-in %r does not convert %r to %r" % (name, src, dst)))
        return EXIT_FAILED
    sys.stdout.write(json.dumps(table, indent=2, default=str) + "\n")
    return EXIT_OK


def _wants_report(argv):
    return any(w in ("--json", "-json") for w in argv[1:] if isinstance(w, str))


def _conversion_report(state, stdout):
    """One JSON document on `stdout`: the outcome, and the plug-in's report
    when it gave one (plug-in, source, destination, quantization, samples,
    verification, time)."""
    from veltrix.converter.plugin_api.helpers import report
    response = state.response if isinstance(state.response, dict) else {}
    args = state.conversion_args if isinstance(state.conversion_args, dict) else {}
    document = {"status": "failure" if _conversion_failed(state.response) else "success",
                "message": response.get("message"), "plugin": args.get("plugin") or state.chosen}
    if document["status"] == "success":
        document.update(report.LAST)
    stdout.write(json.dumps(document, indent=2, default=str) + "\n")
    stdout.flush()


# ------------------------------------------------------------------ run

def execute(module=None, argv=None, listener=None):
    """One command line through the real front end, with the console's
    behaviour (guards, JSON, hints, one-line errors); its exit status.
    Standard output and error are whatever sys.stdout and sys.stderr are.
    `listener` (of the console) stops raising once the run is decided."""
    debug = os.environ.get("VELTRIX_DEBUG", "") not in ("", "0")
    saved = sys.argv
    if argv is not None:
        sys.argv = list(argv)
    state = _State(sys.argv)
    try:
        if module is None:
            from veltrix.converter import convert as module
        status = _json_mode(module, sys.argv)
        if status is None and _wants_report(sys.argv):
            stdout, sys.stdout = sys.stdout, sys.stderr  # the contract's lines make way for the document
            try:
                status = run_main(module, command_line=True, state=state)
            finally:
                sys.stdout = stdout
            if state.conversion_args is not None:
                _conversion_report(state, stdout)
        elif status is None:
            status = run_main(module, command_line=True, state=state)
            if status == EXIT_USAGE and _options_after_paths(state.argv):
                _say("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")
            elif status == EXIT_FAILED and state.conversion_args is not None:
                for hint in _conversion_hints(module, state.conversion_args, state.response, state.passed_over):
                    _say("hint: " + hint)
            elif state.help_missing is not None:
                name, src, dst = state.help_missing
                hint = _plugin_name_hint(module, name, (src, dst)) if isinstance(name, str) else None
                _say("hint: " + (hint or "plug-in %r gives no parameters for %r to %r" % (name, src, dst)))
        sys.stdout.flush()
    except KeyboardInterrupt as exc:
        if listener is not None:
            listener.raising = False
        status = _interrupted(signal.SIGTERM if isinstance(exc, Terminated) else signal.SIGINT)
    except Exception as exc:  # SystemExit passes through untouched
        if debug:
            raise
        sys.stdout.flush()
        _say("error: %s (VELTRIX_DEBUG=1 shows the traceback)" % _error_text(module, state, exc))
        status = EXIT_FAILED
    finally:
        sys.argv = saved
    return status


def run():
    listener = _Listener()
    listener.listen()
    status = EXIT_FAILED
    try:
        _mend_standard_streams()
        sys.stdout = _Output(sys.stdout, reported=True)
        sys.stderr = _Output(sys.stderr, reported=False)
        status = execute(listener=listener)
    except KeyboardInterrupt as exc:  # between the listening and the work
        listener.raising = False
        status = _interrupted(signal.SIGTERM if isinstance(exc, Terminated) else signal.SIGINT)
    finally:
        listener.raising = False
    if listener.received and status not in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        status = _interrupted(listener.received[0])  # an interrupt that something swallowed
    sys.exit(status)


_started(_BEFORE_START)

if __name__ == "__main__":
    run()
