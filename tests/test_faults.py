"""Faults: plug-ins raising at every stage, odd sample folders, pip missing."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from veltrix.converter.plugin_api.dataset import Dataset

RAISING = '''
STAGE = "%s"
EXC = %s
if STAGE == "import":
    raise EXC
def query_convert(src_type, dst_type):
    if STAGE == "query" or (STAGE == "query-pair" and src_type is not None):
        raise EXC
    if src_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["tflite"]}
    return {}
def convert(src, dst, params):
    if STAGE == "convert":
        raise EXC
    return {"success": "yes", "message": "fine"}
'''


@pytest.fixture
def model(site):
    (site.root / "m.h5").write_text("")
    return "m.h5"


def plugin(site, stage, exc):
    site.add("vx-raising", source=RAISING % (stage, exc))


@pytest.mark.parametrize("stage", ["import", "query"])
@pytest.mark.parametrize("exc", ["SystemExit(3)", "KeyboardInterrupt()", "RuntimeError('boom')"])
def test_listing_survives_any_plugin_fault(site, stage, exc):
    plugin(site, stage, exc)
    result = site.run("-l")
    assert result.stdout.startswith("veltrix-converter 0.1.0\n") and "Traceback" not in result.stderr
    if exc.startswith("KeyboardInterrupt"):  # the user's interrupt is never the plug-in's error
        assert (result.returncode, result.stderr) == (130, "Interrupted\n")
        return
    assert result.returncode == 0 and "sanityCheck: >>>>          Error:" + ("3" if "Exit" in exc else "boom") in result.stdout


def test_plugin_exit_during_conversion_is_the_commands_exit(site, model):
    plugin(site, "convert", "SystemExit(3)")
    result = site.run("--plugin", "vx-raising", model, "out.tflite")
    assert result.returncode == 3 and "FAILURE" not in result.stdout and "Traceback" not in result.stderr


def test_plugin_error_during_conversion_is_not_hidden(site, model):
    plugin(site, "convert", "RuntimeError('boom')")
    result = site.run("--plugin", "vx-raising", model, "out.tflite")
    assert result.returncode == 1 and "RuntimeError: boom" in result.stderr


@pytest.mark.parametrize("exc, code, stderr", [("KeyboardInterrupt()", 130, "Interrupted\n"), ("SystemExit(4)", 4, "")])
def test_interrupts_while_choosing_a_plugin_reach_the_command(site, model, exc, code, stderr):
    plugin(site, "query-pair", exc)
    result = site.run(model, "out.tflite")
    assert result.returncode == code and result.stderr == stderr
    assert "SUCCESS" not in result.stdout


def test_plugin_error_while_choosing_is_a_failure_line(site, model):
    plugin(site, "query-pair", "RuntimeError('cannot')")
    result = site.run("--plugin", "vx-raising", model, "out.tflite")
    assert result.returncode == 1 and result.stdout.splitlines()[-1] == "FAILURE: cannot"


def test_symbolic_link_loops_in_a_sample_folder(tmp_path):
    Image.new("RGB", (2, 2)).save(tmp_path / "a.png")
    (tmp_path / "sub").mkdir()
    Image.new("RGB", (2, 2)).save(tmp_path / "sub" / "b.png")
    os.symlink(tmp_path, tmp_path / "sub" / "loop")
    os.symlink(tmp_path / "sub" / "b.png", tmp_path / "link.png")
    got = list(Dataset((str(tmp_path), 0), [1, 2, 2, 3], "raw", 100, np.uint8).generator()())
    assert len(got) == 3  # a.png, sub/b.png and the link to it; the folder link is not followed


def test_a_folder_that_cannot_be_listed_is_passed_over(tmp_path, monkeypatch):
    Image.new("RGB", (2, 2)).save(tmp_path / "a.png")
    (tmp_path / "locked").mkdir()
    Image.new("RGB", (2, 2)).save(tmp_path / "locked" / "b.png")
    real = os.scandir

    def scandir(path="."):
        if os.fspath(path).endswith("locked"):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real(path)
    monkeypatch.setattr(os, "scandir", scandir)
    assert len(list(Dataset((str(tmp_path), 0), [1, 2, 2, 3], "raw", 100, np.uint8).generator()())) == 1


def test_installing_without_pip(tmp_path):
    """An environment where pip cannot be found: a clear failure and status 1."""
    import veltrix
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    only_ours = tmp_path / "only-ours"
    only_ours.mkdir()
    os.symlink(Path(veltrix.__path__[0]), only_ours / "veltrix")
    env = dict(os.environ, PYTHONPATH=str(only_ours))
    wheel = tmp_path / "x-1.0-py3-none-any.whl"
    wheel.write_bytes(b"")
    result = subprocess.run([str(venv / "bin" / "python"), "-m", "veltrix.converter", "-i", str(wheel)],
                            capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 1
    assert "Installing %s ..." % wheel in result.stdout and "No module named pip" in result.stderr
