"""Console entry of veltrix-converter (also `python -m veltrix.converter`).

`convert.main()` reports every outcome on standard output and returns None,
so a caller could not tell a failed conversion or installation from a good
one. The entry watches the action that `main` runs, by wrapping the module's
`convert`, `install` and `uninstall` for the duration of the call (main
reaches them through its module namespace), and exits with status 1 when that
action failed.
"""

import functools
import os
import sys

_FAILURE_TEXTS = ("Python Environment is Not Defined",)
_FAILURE_PREFIXES = ("Error Installing ", "Error Uninstalling ")


def _conversion_failed(response):
    return not isinstance(response, dict) or response.get("success") != "yes"


def _package_action_failed(text):
    return isinstance(text, str) and (text in _FAILURE_TEXTS or text.startswith(_FAILURE_PREFIXES))


def run_main(module=None):
    """Run `main` once; return the exit status its action deserves."""
    if module is None:
        from veltrix.converter import convert as module
    failed = []

    def watch(name, judge):
        original = getattr(module, name)

        @functools.wraps(original)
        def watched(*args, **kwargs):
            result = original(*args, **kwargs)
            if judge(result):
                failed.append(name)
            return result

        return original, watched

    watched = {
        "convert": watch("convert", _conversion_failed),
        "install": watch("install", _package_action_failed),
        "uninstall": watch("uninstall", _package_action_failed),
    }
    for name, (_, wrapper) in watched.items():
        setattr(module, name, wrapper)
    try:
        module.main()
    finally:
        for name, (original, wrapper) in watched.items():
            # Leave alone anything the action itself put in place meanwhile.
            if getattr(module, name, None) is wrapper:
                setattr(module, name, original)
    return 1 if failed else 0


def run():
    try:
        status = run_main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (say, `veltrix-converter -r | head`): stop
        # quietly, and keep the interpreter's final flush from failing too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        status = 1
    sys.exit(status)


if __name__ == "__main__":
    run()
