"""The installed package: compiled modules, the command, light start-up, exit status."""

import importlib
import importlib.machinery
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import COMMAND

MODULES = ["veltrix.converter.convert", "veltrix.converter.plugin_registry",
           "veltrix.converter.plugin_api.params", "veltrix.converter.plugin_api.option_mapper",
           "veltrix.converter.plugin_api.dataset", "veltrix.converter.plugin_api.sample_feeds"]


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_compiled(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert not Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".py").exists()


def test_front_end_namespace_order():
    from veltrix.converter import convert
    names = [n for n in vars(convert) if n not in ("__name__", "__doc__", "__package__", "__loader__", "__spec__",
                                                   "__file__", "__builtins__", "__cached__")]
    assert names == ["os", "sys", "subprocess", "PluginRegistry", "OptionMapper", "reserved_params_list",
                     "main", "get_params", "install", "uninstall", "convert", "get_plugins", "__sanitize_args",
                     "__help", "__getEnv", "__args_to_dict", "__print_plugins"]


def test_functions_look_like_python_functions():
    import functools
    from veltrix.converter import convert
    assert convert.convert.__name__ == "convert" and convert.convert.__qualname__ == "convert"
    assert convert.convert.__module__ == "veltrix.converter.convert"
    wrapped = functools.wraps(convert.install)(lambda *a: None)
    assert wrapped.__wrapped__ is convert.install


def test_importing_the_front_end_stays_light(tmp_path):
    code = ("import sys, json; import veltrix.converter.convert; "
            "print(json.dumps(sorted(m for m in ('numpy', 'PIL', 'tensorflow', 'pkg_resources') if m in sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         cwd=tmp_path).stdout
    assert json.loads(out) == []


@pytest.mark.parametrize("runner", [[COMMAND], [sys.executable, "-m", "veltrix.converter"]])
def test_command_entry_points(runner, tmp_path):
    result = subprocess.run(runner + ["-v"], capture_output=True, text=True, stdin=subprocess.DEVNULL, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, "veltrix-converter 0.1.0\n", "")


def test_no_crash_on_odd_command_lines(site):
    for words in (["--", "-"], ["-" * 5000], ["\udcff"], ["-h", "", ""], ["--plugin", "", "x", "y"], ["a", "b", "-"]):
        result = site.run(*words)
        assert result.returncode in (0, 1, 2) and "Traceback" not in result.stderr, words


def test_entry_reports_the_watched_outcome(cli, argv):
    from veltrix.converter.__main__ import run_main
    original = cli.convert
    argv("a.h5", "b.tflite")
    cli.convert = lambda args: {"success": "yes", "message": ""}
    assert run_main(cli) == 0
    cli.convert = lambda args: {"success": "no", "message": ""}
    assert run_main(cli) == 1
    cli.convert = original


@pytest.mark.parametrize("text, status", [("", 0), ("pip said things", 0), ("Error Installing w.whl", 1),
                                          ("Python Environment is Not Defined", 1)])
def test_entry_status_of_installation(cli, argv, text, status):
    from veltrix.converter.__main__ import run_main
    def install(package):
        return text
    cli.install = install
    argv("-i", "w.whl")
    assert run_main(cli) == status
    assert cli.install is install  # the very function, restored after the run




def test_reliability_commands_honour_the_environment_and_spaces(tmp_path):
    import shutil
    root = Path(__file__).resolve().parents[1]
    checkout = tmp_path / "a checkout with spaces"
    checkout.mkdir()
    shutil.copy(root / "Makefile", checkout / "Makefile")
    venv = str(tmp_path / "my venv")
    out = subprocess.run(["make", "-n", "leaks", "bench", "fuzz"], cwd=checkout, capture_output=True, text=True,
                         env=dict(os.environ, VELTRIX_VENV=venv), check=True).stdout
    assert '"%s/bin/python" "%s/bench/leakcheck.py"' % (venv, checkout) in out
    assert '"%s/bin/python" "%s/bench/run.py"' % (venv, checkout) in out
    assert '"%s/bin/python" -m pytest' % venv in out and ".venv" not in out
    assert 'VENV="${VELTRIX_VENV:-$ROOT/.venv}"' in (root / "scripts" / "asan.sh").read_text()
