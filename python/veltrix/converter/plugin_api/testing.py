"""Testing a plug-in in-process, without installing it.

`installed_plugin` makes the real registry and front end find a plug-in for
the duration of a block: a module (or any object with `query_convert` and
`convert`), a module name, or a folder holding distributions (`*.dist-info`
beside their modules). `run_command` runs a command line through the real
console entry and returns what happened, including the parameter dictionary
exactly as the plug-in received it::

    from veltrix.converter.plugin_api.testing import installed_plugin, run_command
    import my_plugin

    def test_converts(tmp_path):
        (tmp_path / "m.h5").write_text("")
        with installed_plugin(my_plugin, name="my-plugin"):
            result = run_command("--level", "3", str(tmp_path / "m.h5"), str(tmp_path / "m.out"))
        assert result.status == 0 and result.response == {"success": "yes", "message": ...}
        assert result.params["level"] == 3

With pytest, `pytest_plugins = ["veltrix.converter.plugin_api.testing"]` in a
conftest.py gives the fixture `veltrix_plugin`: `veltrix_plugin.add(my_plugin)`
then `veltrix_plugin.run(*words)`; registrations end with the test.

While a plug-in is registered, the registry enumerates through
importlib.metadata (pkg_resources, if installed, fixes its view when first
imported and would not see it).
"""

import contextlib
import importlib
import os
import re
import shutil
import sys
import tempfile
import types
import uuid
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Union

from veltrix.converter.plugin_api.contract import ConversionResponse, Params

GROUP = "veltrix_converter"


@dataclass
class Result:
    """What one command line did."""
    status: int
    stdout: str
    stderr: str
    response: Optional[ConversionResponse] = None  # what `convert` answered (the front end's response)
    params: Optional[Params] = None  # the parameter dictionary the plug-in received
    lines: List[str] = field(default_factory=list)  # stdout as lines
    report: Optional[Dict[str, Any]] = None  # the conversion report (what `--json` prints)


def _distribution_name(plugin: Any) -> str:
    module = getattr(plugin, "__name__", None) or type(plugin).__name__
    return re.sub(r"[^A-Za-z0-9.]+", "-", str(module).rsplit(".", 1)[-1]).lower()


@contextlib.contextmanager
def installed_plugin(plugin: Union[types.ModuleType, str, Any], name: Optional[str] = None,
                     entry_point: Optional[str] = None, version: str = "0.0.0",
                     summary: str = "A plug-in under test", author: str = "") -> Iterator[str]:
    """Register `plugin` for the block; yields the name to use with --plugin."""
    folder = tempfile.mkdtemp(prefix="veltrix-plugin-")
    alias = None
    added_file = False
    if isinstance(plugin, str) and os.path.isdir(plugin):
        site = os.path.abspath(plugin)  # a folder holding distributions
        name = name or ""
    else:
        site = folder
        if isinstance(plugin, str):
            target = plugin
            name = name or re.sub(r"[^A-Za-z0-9.]+", "-", plugin.rsplit(".", 1)[-1]).lower()
        else:
            alias = "_veltrix_plugin_under_test_%s" % uuid.uuid4().hex[:12]
            sys.modules[alias] = plugin
            target = alias
            name = name or _distribution_name(plugin)
            if not hasattr(plugin, "__file__"):  # the listing reports a plug-in's file
                plugin.__file__ = "<%s, in-process>" % name
                added_file = True
        info = os.path.join(folder, "%s-%s.dist-info" % (re.sub(r"[-.]+", "_", name), version))
        os.mkdir(info)
        with open(os.path.join(info, "METADATA"), "w") as f:
            f.write("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nAuthor: %s\n"
                    % (name, version, summary, author))
        with open(os.path.join(info, "entry_points.txt"), "w") as f:
            f.write("[%s]\n%s = %s\n" % (GROUP, entry_point or name, target))
    saved_pkg_resources = sys.modules.get("pkg_resources", _MISSING)
    sys.modules["pkg_resources"] = None  # type: ignore[assignment]
    sys.path.insert(0, site)
    importlib.invalidate_caches()
    try:
        yield name
    finally:
        if site in sys.path:
            sys.path.remove(site)
        if saved_pkg_resources is _MISSING:
            sys.modules.pop("pkg_resources", None)
        else:
            sys.modules["pkg_resources"] = saved_pkg_resources  # type: ignore[assignment]
        if alias is not None:
            sys.modules.pop(alias, None)
        if added_file:
            with contextlib.suppress(AttributeError, TypeError):
                delattr(plugin, "__file__")
        importlib.invalidate_caches()
        shutil.rmtree(folder, ignore_errors=True)


_MISSING = object()


def run_command(*words: str, environ: Optional[Dict[str, str]] = None) -> Result:
    """Run `veltrix-converter WORDS...` through the console's conversion
    runner, in this process; standard output and error are captured."""
    from veltrix.converter import convert as front
    from veltrix.converter.console.runner import run_command as run_words
    seen: Dict[str, Any] = {}
    sanitize, convert = getattr(front, "__sanitize_args"), front.convert

    def recording_sanitize(*args: Any, **kwargs: Any) -> Any:
        params = sanitize(*args, **kwargs)
        seen["params"] = dict(params) if isinstance(params, dict) else params
        return params

    def recording_convert(*args: Any, **kwargs: Any) -> Any:
        seen["response"] = convert(*args, **kwargs)
        return seen["response"]

    saved_env = {k: os.environ.get(k) for k in (environ or {})}
    os.environ.update(environ or {})
    setattr(front, "__sanitize_args", recording_sanitize)
    front.convert = recording_convert
    try:
        outcome = run_words(words, front)
    finally:
        setattr(front, "__sanitize_args", sanitize)
        front.convert = convert
        for key, value in saved_env.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
    return Result(outcome.status, outcome.stdout, outcome.stderr, seen.get("response"), seen.get("params"),
                  outcome.stdout.splitlines(), outcome.report)


class PluginRunner:
    """The `veltrix_plugin` fixture: register plug-ins, run command lines."""

    def __init__(self) -> None:
        self._stack = contextlib.ExitStack()

    def add(self, plugin: Any, name: Optional[str] = None, **metadata: str) -> str:
        """Register a plug-in until the test ends; the name to use with --plugin."""
        return self._stack.enter_context(installed_plugin(plugin, name=name, **metadata))

    def run(self, *words: str, environ: Optional[Dict[str, str]] = None) -> Result:
        return run_command(*words, environ=environ)

    def close(self) -> None:
        self._stack.close()


try:
    import pytest
except ImportError:  # pytest is only needed for the fixture
    pass
else:
    @pytest.fixture
    def veltrix_plugin() -> Iterator[PluginRunner]:
        """Register plug-ins for one test and run command lines through the real front end."""
        runner = PluginRunner()
        try:
            yield runner
        finally:
            runner.close()
