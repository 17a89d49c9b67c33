"""The conversion runner: one command line through the real front end, with
the console's behaviour, in this process.

This is the one place that turns a command line into an exit status, the
contract's lines, hints and a conversion report: the console's `run` puts
a process around it (signals, standard streams, the exit), and a batch
worker calls `run_command` for each row, so a batch row and the single
command cannot drift apart.

* Exit statuses: 0 success; 1 a failed conversion, installation or removal,
  or an error; 2 a command line that was not understood; 130 Ctrl-C;
  143 SIGTERM.
* The runner watches the actions `main` runs by wrapping the module's
  `__args_to_dict`, `convert`, `install`, `uninstall`, `__help`,
  `get_params` and `PluginRegistry` for the duration of the call (main
  reaches them through its module namespace), and puts back the very
  objects it found.
* Hints after a failure, one-line errors (VELTRIX_DEBUG=1 shows the
  traceback), the package guards, the choice between plug-ins, and the
  JSON documents come from the modules of those names.

A run changes the front-end module's namespace and `sys.argv` while it
lasts: one run at a time in a process.
"""

import functools
import io
import sys
from contextlib import redirect_stderr, redirect_stdout
from typing import Any, Dict, NamedTuple, Optional, Sequence

from veltrix.converter.console import EXIT_FAILED, EXIT_OK, EXIT_USAGE, choice, hints, packages, reports, signals
from veltrix.converter.console.streams import PROGRAM, say


class Outcome(NamedTuple):
    """What one command line gave.

    `status`: the exit status. `report`: the conversion report, the document
    `--json` prints (None when the line was no conversion, or the run was
    interrupted). `stdout`, `stderr`: what the command printed on each (the
    contract's lines on standard output; notes, hints, warnings and errors
    on standard error; with `--json`, the document and the contract's lines
    respectively)."""
    status: int
    report: Optional[Dict[str, Any]]
    stdout: str
    stderr: str


class State:
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
        self.document = None  # the conversion report, once the conversion answered or failed

    def plugin(self):
        """The plug-in the conversion used: the one named, else the one chosen."""
        args = self.conversion_args if isinstance(self.conversion_args, dict) else {}
        return args.get("plugin") or self.chosen


def _watch(module, state, command_line):
    """The module attributes to put in place for one call of `main`."""
    originals = {name: getattr(module, name) for name in
                 ("__args_to_dict", "convert", "install", "uninstall", "__help", "get_params", "PluginRegistry")}

    def args_to_dict(*a, **k):
        state.options = options = originals["__args_to_dict"](*a, **k)
        if command_line and isinstance(options, dict) and packages.FORCE_KEY in options:
            # `-i --force-reinstall PATH` reads as i=True, force-reinstall=PATH
            key = packages.first_package_key(options)
            if key in ("i", "install"):
                if options[key] is True and isinstance(options[packages.FORCE_KEY], str):
                    options[key], options[packages.FORCE_KEY] = options[packages.FORCE_KEY], True
                state.force_reinstall = True
        return options

    def registry(*a, **k):
        return choice.SelectingRegistry(originals["PluginRegistry"](*a, **k), state)

    def get_params(*a, **k):
        table = originals["get_params"](*a, **k)
        state.tables.append(table)
        return table

    def convert(args, *a, **k):
        state.conversion_args = args
        state.converting = True
        reports.forget_last_report()
        response = originals["convert"](args, *a, **k)
        state.converting = False
        state.response = response
        if reports.conversion_failed(response):
            state.failed = True
        return response

    def judged(action):
        @functools.wraps(action)
        def run(*a, **k):
            result = action(*a, **k)
            if packages.package_action_failed(result):
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
        install = packages.guarded_install(install, state)
        uninstall = packages.guarded_uninstall(uninstall, state)
    replaced = {
        "__args_to_dict": functools.wraps(originals["__args_to_dict"])(args_to_dict),
        "convert": functools.wraps(originals["convert"])(convert),
        "install": judged(install),
        "uninstall": judged(uninstall),
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
        key = packages.first_package_key(options)
        if key is not None and not isinstance(options[key], str):
            return EXIT_USAGE  # "Package Path Missing" / "Plugin Name Missing"
    return EXIT_USAGE if state.usage_error else EXIT_OK


def _front_end(module):
    if module is None:
        from veltrix.converter import convert as module
    return module


def run_main(module=None, command_line=False, state=None):
    """Run `main` once; return the exit status its action deserves.

    `command_line` adds the guards of the console (-i takes a path, -u
    removes only plug-ins); API callers of install/uninstall keep theirs.
    """
    module = _front_end(module)
    state = state if state is not None else State(sys.argv)
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


def _say_hints(module, state, status):
    if status == EXIT_USAGE and hints.options_after_paths(state.argv):
        say("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")
    elif status == EXIT_FAILED and state.conversion_args is not None:
        for hint in hints.conversion_hints(module, state.conversion_args, state.response, state.passed_over):
            say("hint: " + hint)
    elif state.help_missing is not None:
        say("hint: " + hints.help_hint(module, *state.help_missing))


def _perform(module, state, listener):
    """The run of `execute`: its status; the conversion report in `state.document`."""
    json_wanted = reports.wants_json(state.argv)
    try:
        module = _front_end(module)
        status = reports.json_action(module, state.argv)
        if status is None and json_wanted:
            stdout, sys.stdout = sys.stdout, sys.stderr  # the contract's lines make way for the document
            try:
                status = run_main(module, command_line=True, state=state)
            finally:
                sys.stdout = stdout
        elif status is None:
            status = run_main(module, command_line=True, state=state)
            _say_hints(module, state, status)
        if state.conversion_args is not None:
            state.document = reports.conversion_document(state.response, state.plugin())
            if json_wanted:
                reports.write(state.document)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt as exc:
        if listener is not None:
            listener.raising = False
        state.document = None  # the run did not finish: no report stands for it
        return signals.interrupted(signals.signal_of(exc))
    except Exception as exc:  # SystemExit passes through untouched
        if hints.debugging():
            raise
        sys.stdout.flush()
        text = hints.error_text(module, state, exc)
        say("error: %s (VELTRIX_DEBUG=1 shows the traceback)" % text)
        if state.conversion_args is not None and state.document is None:
            # a script reading the report learns of the failure from it too
            state.document = reports.conversion_document(None, state.plugin(), error=text)
            if json_wanted:
                try:
                    reports.write(state.document)
                except OSError:  # a standard output that fails: the error line has said what matters
                    pass
        return EXIT_FAILED


def _execute(module, argv, listener):
    saved = sys.argv
    if argv is not None:
        sys.argv = list(argv)
    state = State(sys.argv)
    try:
        return _perform(module, state, listener), state
    finally:
        sys.argv = saved


def execute(module=None, argv=None, listener=None):
    """One command line (`argv`, by default `sys.argv`) through the real front
    end, with the console's behaviour (guards, JSON, hints, one-line errors);
    its exit status. Standard output and error are whatever sys.stdout and
    sys.stderr are. `listener` (of the console) stops raising once the run
    is decided."""
    return _execute(module, argv, listener)[0]


def run_command(words: Sequence[str], module: Any = None) -> Outcome:
    """`veltrix-converter WORDS...` in this process, its standard output and
    error captured: the `Outcome`. What the conversion's own libraries write
    to the process's file descriptors is theirs (the kit's conversion frame
    keeps it out of the way). SystemExit passes through, as in the console."""
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status, state = _execute(module, [PROGRAM, *words], None)
    return Outcome(status, state.document, out.getvalue(), err.getvalue())
