"""Conversion, parameter help, plug-in listing, installation and removal."""

import os
import stat
import subprocess
import sys
import types
from pathlib import Path

import pytest

from conftest import GOOD_PLUGIN
from veltrix.converter.plugin_api.params import reserved_params_list as catalogue

ECHO = '''
import json
def query_convert(src_type, dst_type):
    if src_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["tflite", "onnx"]}
    if dst_type == "tflite":
        return {"level": {"type": "int", "default": "3"}}
    return None
def convert(src, dst, params):
    return ANSWER
'''


def echo_plugin(site, name, answer):
    return site.add(name, source=ECHO.replace("ANSWER", answer))


def conversion(cli, args, capsys=None):
    result = cli.convert(args)
    assert list(result) == ["success", "message"]
    return result


@pytest.mark.parametrize("args, message", [
    (None, "No Arguments"),
    ({"dest": "b"}, "Missing source parameter. It shoulbe the second last argument on the command line"),
    ({"source": "a"}, "Missing destination paramter. It shoulbe the last argument on the command line"),
    ({"source": "a.h5", "dest": "b.tflite"}, "No Converter found to convert a.h5 to b.tflite"),
    ({"source": "a", "dest": "b"}, "No Converter found to convert a to b"),
    ({"source": "a.h5", "dest": "b.tflite", "plugin": True}, 'can only concatenate str (not "bool") to str'),
    ({"source": "a.h5", "dest": "b.tflite", "plugin": "nobody"}, "convert API not implemented"),
])
def test_failures_before_any_plugin(cli, live_site, capsys, args, message):
    assert conversion(cli, args) == {"success": "no", "message": message}
    out = capsys.readouterr().out
    assert out == ("Using Converter Plugin : nobody\n" if args and args.get("plugin") == "nobody" else "")


def test_failures_of_the_chosen_plugin(cli, live_site, capsys, tmp_path):
    model = tmp_path / "a.h5"
    model.write_text("")
    live_site.add("vx-noquery", source="def convert(s, d, p): pass\n")
    live_site.add("vx-good")
    cases = [
        ({"plugin": "vx-noquery"}, "query_conver API not implemented"),
        ({"plugin": "vx-good", "output-model-type": "onnx"}, "Conversion not support for h5 to onnx"),
        ({"plugin": "vx-good", "level": "high"}, "Invalid argument for level, please use an integer"),
        ({"plugin": "vx-good", "num-samples": "1.5"}, "Invalid argument for num-samples, please use an integer"),
    ]
    for extra, message in cases:
        args = {"source": str(model), "dest": "b.tflite", **extra}
        assert conversion(cli, args) == {"success": "no", "message": message}
        assert capsys.readouterr().out == "Using Converter Plugin : %s\n" % extra["plugin"]


@pytest.mark.parametrize("answer, response", [
    ('{"success": "yes", "message": "m"}', {"success": "yes", "message": "m\nSource:    a.h5\nDestination: b.tflite"}),
    ('{"message": "half"}', {"success": "no", "message": "half\nSource:    a.h5\nDestination: b.tflite"}),
    ('{"success": "yes"}', {"success": "yes", "message": ""}),
    ('{"success": "no", "message": "its own"}',
     {"success": "no", "message": "its own\nSource:    a.h5\nDestination: b.tflite"}),
    ("None", {"success": "no", "message": "The converter plugin returned no result"}),
])
def test_plugin_answers(cli, live_site, answer, response):
    echo_plugin(live_site, "vx-echo", answer)
    assert conversion(cli, {"source": "a.h5", "dest": "b.tflite"}) == response


def test_parameters_reach_the_plugin(cli, live_site):
    echo_plugin(live_site, "vx-echo", '{"success": "yes", "message": json.dumps(params)}')
    args = {"source": "a.h5", "dest": "b.tflite", "plugin": "", "default_shape": "1,8,8,3", "quantize": "TRUE"}
    import json
    message = conversion(cli, args)["message"]
    params = json.loads(message.split("\n")[0])
    assert params["input-shape"] == [1, 8, 8, 3] and params["quantize"] is True and params["level"] == 3
    assert params["input-model-type"] == "" and params["output-model-type"] == "tflite"
    assert list(params)[:8] == ["source", "dest", "plugin", "quantize", "input-model-type", "output-model-type",
                                "input-shape", "level"]
    # the caller's option dictionary gained the types and lost the old shape key
    assert args == {"source": "a.h5", "dest": "b.tflite", "plugin": "", "quantize": "TRUE",
                    "input-model-type": "", "output-model-type": "tflite", "input-shape": "1,8,8,3"}


def test_plugin_exceptions_propagate(cli, live_site):
    live_site.add("vx-raises", source=ECHO.replace("ANSWER", "1/0"))
    with pytest.raises(ZeroDivisionError):
        cli.convert({"source": "a.h5", "dest": "b.tflite"})


def test_exception_without_arguments_names_its_class(cli):
    class Broken:
        def get_model_types(self, args):
            raise LookupError()
    cli.OptionMapper = Broken
    assert cli.convert({"source": "a", "dest": "b"}) == {"success": "no", "message": "LookupError"}


def test_interrupt_before_the_plugin_is_not_turned_into_a_failure(cli):
    class Broken:
        def get_model_types(self, args):
            raise KeyboardInterrupt
    cli.OptionMapper = Broken
    with pytest.raises(KeyboardInterrupt):
        cli.convert({"source": "a", "dest": "b"})


def test_first_matching_plugin_is_used(cli, live_site, capsys, tmp_path):
    live_site.add("vx-good")
    (tmp_path / "a.h5").write_text("")
    assert cli.convert({"source": str(tmp_path / "a.h5"), "dest": "b.tflite", "plugin": ""})["success"] == "yes"
    assert capsys.readouterr().out == "Using Converter Plugin : vx-good\n"


def test_command_prints_the_whole_conversion(site, tmp_path):
    site.add("vx-good")
    model = tmp_path / "m.h5"
    model.write_text("")
    result = site.run("--plugin", "vx-good", "--level", "7", str(model), "out.tflite")
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.splitlines() == [
        "veltrix-converter 0.1.0", "Using Converter Plugin : vx-good", "SUCCESS: converted level=7",
        "Source:    %s" % model, "Destination: out.tflite", "Source: %s" % model, "Destination: out.tflite"]


@pytest.mark.parametrize("words, last", [
    (["--plugin", "vx-good", "a.h5", "b.onnx"], "FAILURE: Conversion not support for  to onnx"),
    (["--plugin", "nope", "a.h5", "b.tflite"], "FAILURE: convert API not implemented"),
    (["--plugin", "a.h5", "b.tflite"], 'FAILURE: can only concatenate str (not "bool") to str'),
])
def test_command_failures_exit_1(site, words, last):
    site.add("vx-good")
    result = site.run(*words)
    assert result.returncode == 1 and result.stdout.splitlines()[-1] == last
    assert sum(line.startswith("FAILURE: ") for line in result.stdout.splitlines()) == 1


# --------------------------------------------------------------- help

def test_get_params_merges_in_place_keeping_the_plugins_position(cli, live_site):
    live_site.add("vx-declares", source='''
TABLE = {"mine": {"type": "string", "default": ""}, "num-samples": {"type": "int", "default": 5}, "z": {"default": 1}}
def convert(s, d, p): pass
def query_convert(s, d):
    return TABLE if s else {"supported_inputs": [], "supported_outputs": []}
''')
    table = cli.get_params("vx-declares", "a", "b")
    assert list(table)[:3] == ["mine", "num-samples", "z"]
    assert table["num-samples"] is catalogue["num-samples"]
    assert list(table)[3:] == [k for k in catalogue if k != "num-samples"]
    assert cli.get_params("nobody", "a", "b") is None


def test_plugin_help_through_the_command(site):
    site.add("vx-good")
    out = site.run("-h", "vx-good", "h5", "tflite").stdout.splitlines()
    assert out[1:6] == ["level:          Optimisation level", "      type:     int", "      default:  3", "",
                        "source:         Source model path"]
    assert site.run("-h", "vx-good", "h5", "onnx").stdout.splitlines()[1] == \
        "No help for input type:h5 and output type:onnx"


# ------------------------------------------------------------ listing

def test_listing_layout(site):
    module = site.add("vx-good")
    site.add("vx-bad", source="raise ImportError('nope')\n")
    out = site.run("-l").stdout
    good = """
---------------   vx-good   ---------------
name:                vx-good
sanityCheck:         ok
summary:             A test plug-in
author:              Tester
version:             1.0
inputsSupported:     ['h5', 'pb']
outputsSupported:    ['tflite']
path:                %s
""" % (site.root / (module + ".py"))
    bad = """
---------------   vx-bad   ---------------
name:                vx-bad
sanityCheck: >>>>          Error:nope
summary:             A test plug-in
author:              Tester
version:             1.0
path:                %s
""" % site.root
    assert out.startswith("veltrix-converter 0.1.0\n\n")
    assert good in out and bad in out


def test_listing_of_odd_records(cli, capsys):
    cli.get_plugins = lambda: [{"name": 5, "a-key-longer-than-twenty": "v", "sanityCheck": "Missing Error"}]
    getattr(cli, "__print_plugins")()
    assert capsys.readouterr().out == ("\n---------------   5   ---------------\nname:                5\n"
                                       "a-key-longer-than-twenty:v\nsanityCheck: >>>>          Missing Error\n")
    cli.get_plugins = lambda: [{"nameless": 1}]
    with pytest.raises(KeyError):
        getattr(cli, "__print_plugins")()


class Halt(BaseException):
    pass


# what the registry raises: get_plugins gives an empty list for anything at all but the user's interrupt
@pytest.mark.parametrize("exc", [RuntimeError("registry down"), SystemExit(2), Halt(), GeneratorExit(),
                                 KeyboardInterrupt()])
@pytest.mark.parametrize("where", ["registry", "records"])
def test_get_plugins_swallows_registry_failures(cli, capsys, exc, where):
    class Registry:
        def __init__(self):
            if where == "registry":
                raise exc

        def get_converters_info_list(self):
            raise exc
    cli.PluginRegistry = Registry
    if isinstance(exc, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            cli.get_plugins()
        return
    assert cli.get_plugins() == []
    getattr(cli, "__print_plugins")()
    assert capsys.readouterr().out == ""


# ------------------------------------------------------- environment

@pytest.mark.parametrize("file, expected", [
    ("/opt/py/Lib/os.py", {"python_exe": "/opt/py/python", "python_env": "/opt/py/Lib/site-packages"}),
    ("os.py", {"python_exe": "python", "python_env": "Lib/site-packages"}),
])
def test_get_env_record(cli, file, expected):
    cli.os = types.SimpleNamespace(__file__=file, path=os.path)
    env = getattr(cli, "__getEnv")()
    assert env == expected and list(env) == ["python_exe", "python_env"]


def test_get_env_failure_gives_empty_texts(cli):
    cli.os = types.SimpleNamespace(path=os.path)
    assert getattr(cli, "__getEnv")() == {"python_exe": "", "python_env": ""}


class Recorder:
    """Stands in for the subprocess module; records command lines."""

    PIPE = subprocess.PIPE

    def __init__(self, status=0, out=b"", err=b""):
        self.calls, self.status, self.out, self.err = [], status, out, err

    def check_call(self, cmd):
        self.calls.append(("check_call", list(cmd)))
        if self.status:
            raise subprocess.CalledProcessError(self.status, cmd)
        return 0

    def Popen(self, cmd, stdout=None, stderr=None):
        self.calls.append(("Popen", list(cmd)))
        recorder = self

        class Proc:
            def communicate(self):
                return recorder.out, recorder.err

            def wait(self):
                return recorder.status
        return Proc()


@pytest.fixture
def pip(cli):
    recorder = Recorder()
    cli.subprocess = recorder
    return recorder


def fake_sys(venv, executable="/running/python"):
    return types.SimpleNamespace(prefix="/p", base_prefix="/p" if not venv else "/base", executable=executable,
                                 argv=sys.argv)


def test_install_in_a_virtual_environment(cli, pip, capsys):
    cli.sys = fake_sys(venv=True)
    assert cli.install("my plugin;$(rm -rf x).whl") == ""
    assert pip.calls == [("check_call", ["/running/python", "-m", "pip", "install", "my plugin;$(rm -rf x).whl", "-v"])]
    assert capsys.readouterr().out == "Installing my plugin;$(rm -rf x).whl ...\n"


def test_install_outside_a_virtual_environment_uses_the_derived_interpreter(cli, pip, tmp_path):
    exe = tmp_path / "python"
    exe.write_text("#!/bin/sh\n")
    exe.chmod(exe.stat().st_mode | stat.S_IXUSR)
    (tmp_path / "Lib").mkdir()
    cli.os = types.SimpleNamespace(__file__=str(tmp_path / "Lib" / "os.py"), path=os.path, access=os.access,
                                   X_OK=os.X_OK)
    cli.sys = fake_sys(venv=False)
    cli.install("w.whl", False)
    cli.uninstall("w", show_message=False)
    assert pip.calls == [("Popen", [str(exe), "-m", "pip", "install", "w.whl", "--user"]),
                         ("Popen", [str(exe), "-m", "pip", "uninstall", "-y", "w"])]


def test_missing_derived_interpreter_falls_back_to_the_running_one(cli, pip):
    cli.os = types.SimpleNamespace(__file__="/nowhere/lib/os.py", path=os.path, access=os.access, X_OK=os.X_OK)
    cli.sys = fake_sys(venv=False)
    cli.uninstall("w")
    assert pip.calls == [("check_call", ["/running/python", "-m", "pip", "uninstall", "-y", "w", "-v"])]


def test_failures_of_pip(cli, pip, capsys):
    pip.status, pip.out, pip.err = 1, b"out\n", "err \xe9\n".encode()
    assert cli.install("w.whl") == "Error Installing w.whl"
    assert cli.uninstall("w") == "Error Uninstalling w"
    assert cli.install("w.whl", False) == "out\nerr \xe9\n"
    pip.err = b"\xff"
    assert cli.uninstall("w", False) == "Error Uninstalling w"
    assert capsys.readouterr().out.splitlines() == ["Installing w.whl ...", "Uninstalling w ...",
                                                    "Installing w.whl ...", "Uninstalling w ..."]


def test_undefined_environment(cli, capsys):
    setattr(cli, "__getEnv", lambda: {"python_exe": "", "python_env": ""})
    assert cli.install("w.whl") == "Python Environment is Not Defined"
    assert capsys.readouterr().out == "Python Environment is Not Defined\n"


def test_pip_that_cannot_start(cli, capsys):
    cli.sys = fake_sys(venv=True, executable="/no/such/python")
    assert cli.install("w.whl") == "Error Installing w.whl"


def test_captured_run_drains_megabytes_from_both_streams(cli, tmp_path):
    # A stand-in for the interpreter that floods both pipes before exiting.
    exe = tmp_path / "python"
    exe.write_text("#!/bin/sh\nhead -c 3000000 /dev/zero | tr '\\0' o\nhead -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                   "exit 3\n")
    exe.chmod(0o755)
    (tmp_path / "Lib").mkdir()
    cli.os = types.SimpleNamespace(__file__=str(tmp_path / "Lib" / "os.py"), path=os.path, access=os.access,
                                   X_OK=os.X_OK)
    cli.sys = fake_sys(venv=False)
    output = cli.install("w.whl", show_message=False)
    assert output == "o" * 3000000 + "e" * 3000000


# ------------------------------------------ real installation and removal

PLUGIN_PROJECT = '''
[build-system]
requires = ["setuptools>=61"]
build-backend = "setuptools.build_meta"

[project]
name = "vx-wheel-plugin"
version = "1.2.3"
description = "Installed from a wheel"
authors = [{name = "Wheel Maker"}]

[project.entry-points.veltrix_converter]
wheel = "vx_wheel_plugin"

[tool.setuptools]
py-modules = ["vx_wheel_plugin"]
'''


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    project = tmp_path_factory.mktemp("project")
    (project / "pyproject.toml").write_text(PLUGIN_PROJECT)
    (project / "vx_wheel_plugin.py").write_text(GOOD_PLUGIN)
    # a folder name with spaces and shell characters: pip must get it as one argument
    out = tmp_path_factory.mktemp("wheels") / "dir with space $(touch pwned) & echo"
    out.mkdir()
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(out),
                    str(project)], check=True, capture_output=True, cwd=project)
    return next(out.glob("*.whl"))


@pytest.fixture
def scratch_env(tmp_path):
    """A new virtual environment that sees this one's packages through a .pth file."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    site_packages = next((venv / "lib").glob("python*/site-packages"))
    ours = next(p for p in sys.path if p.endswith("site-packages") and Path(p).is_dir())
    (site_packages / "zz_parent.pth").write_text(ours + "\n")
    python = venv / "bin" / "python"

    def run(*words):
        return subprocess.run([str(python), "-m", "veltrix.converter", *words], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, cwd=tmp_path, timeout=300)
    return run


def test_install_list_convert_uninstall_for_real(scratch_env, wheel, tmp_path):
    (tmp_path / "a.h5").write_text("")  # the scratch runs work in tmp_path
    installed = scratch_env("-i", str(wheel))
    assert installed.returncode == 0, installed.stdout + installed.stderr
    assert "Installing %s ..." % wheel in installed.stdout
    assert not (Path.cwd() / "pwned").exists() and not (tmp_path / "pwned").exists()

    listing = scratch_env("-l").stdout
    assert "---------------   vx-wheel-plugin   ---------------" in listing
    assert "summary:             Installed from a wheel" in listing and "version:             1.2.3" in listing

    converted = scratch_env("--plugin", "vx-wheel-plugin", "a.h5", "b.tflite")
    assert converted.returncode == 0
    assert converted.stdout.splitlines()[1:3] == ["Using Converter Plugin : vx-wheel-plugin",
                                                  "SUCCESS: converted level=3"]

    removed = scratch_env("-u", "vx-wheel-plugin")
    assert removed.returncode == 0 and "Uninstalling vx-wheel-plugin ..." in removed.stdout
    assert "vx-wheel-plugin" not in scratch_env("-l").stdout
    again = scratch_env("--plugin", "vx-wheel-plugin", "a.h5", "b.tflite")
    assert again.returncode == 1 and "FAILURE: convert API not implemented" in again.stdout


def test_failed_installation_exits_1(scratch_env, tmp_path):
    bogus = tmp_path / "not-a-wheel.whl"
    bogus.write_text("junk")
    result = scratch_env("-i", str(bogus))
    assert result.returncode == 1 and "Installing %s ..." % bogus in result.stdout
    assert scratch_env("-u", "vx-never-installed-anything").returncode in (0, 1)
