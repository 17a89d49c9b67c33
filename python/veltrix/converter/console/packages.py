"""The guards of the package actions on the command line.

`-i` takes an existing path and hands pip a form it can only read as that
path: the absolute path (never a project name on the index), or its file://
URL when pip would read part of the path as something else (";" as the
start of a marker, a final "[...]" as extras); `-i --force-reinstall PATH`
replaces an installed copy of the same version; `-i FOLDER` leaves no
build/ or *.egg-info behind. `-u` removes only a distribution that declares
a plug-in entry point. The Python functions `install`/`uninstall` keep
their plain behaviour for API callers: only the console wraps them.
"""

import contextlib
import functools
import glob
import io
import os
import pathlib
import re
import shutil

from veltrix.converter.console.streams import say

GROUP = "veltrix_converter"
FORCE_KEY = "force-reinstall"

_FAILURE_TEXTS = ("Python Environment is Not Defined",)
_FAILURE_PREFIXES = ("Error Installing ", "Error Uninstalling ")
_BUILD_LEFTOVERS = ("build", "*.egg-info", os.path.join("src", "*.egg-info"))


def package_action_failed(text):
    """Whether the text `install`/`uninstall` returned reports a failure."""
    return isinstance(text, str) and (text in _FAILURE_TEXTS or text.startswith(_FAILURE_PREFIXES))


def first_package_key(options):
    """The package option `main` acts on ("i" is tested first), or None."""
    for key in ("i", "install", "u", "uninstall"):
        if key in options:
            return key
    return None


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


def pip_location(path):
    """An absolute path as pip can only read it: the path itself, or its
    file:// URL when pip would take ";..." for a marker or a final "[...]"
    for extras."""
    if ";" in path or path.endswith("]"):
        return pathlib.Path(path).as_uri()
    return path


def guarded_install(original, state):
    """`install` as the console offers it (see the module's text); a refusal
    marks `state.failed`, and `state.force_reinstall` replaces the same version."""
    @functools.wraps(original)
    def install(package, show_message=True):
        if not isinstance(package, str) or not os.path.exists(package):
            say("cannot install %r: no such file or folder (-i takes the path of a plug-in wheel or project)"
                % (package,))
            state.failed = True
            return ""
        path = os.path.abspath(package)
        location = pip_location(path)
        # pip builds a project folder in place: what the build leaves there goes
        before = _leftovers(path) if os.path.isdir(path) else None
        try:
            if not state.force_reinstall:
                return original(location, show_message)
            # The plug-in itself replaced, even at the same version; then a plain
            # install adds any dependency it gained, quietly.
            result = _with_environ({"PIP_FORCE_REINSTALL": "1", "PIP_NO_DEPS": "1"},
                                   lambda: original(location, show_message))
            if not package_action_failed(result):
                with contextlib.redirect_stdout(io.StringIO()):
                    original(location, False)
            return result
        finally:
            if before is not None:
                for leftover in sorted(_leftovers(path) - before):
                    shutil.rmtree(leftover, ignore_errors=True)
    return install


def guarded_uninstall(original, state):
    """`uninstall` as the console offers it: only installed plug-ins."""
    @functools.wraps(original)
    def uninstall(package, show_message=True):
        plugins = installed_plugins()
        if not isinstance(package, str) or canonical_name(package) not in plugins:
            names = ", ".join(sorted(name for name, _ in plugins.values())) or "none"
            say("%r is not an installed veltrix-converter plug-in; -u removes only plug-ins (installed: %s)"
                % (package, names))
            state.failed = True
            return ""
        return original(package, show_message)
    return uninstall
