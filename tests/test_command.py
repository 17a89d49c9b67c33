"""The real command in a child process: exit statuses, hints on standard error,
the guards of -i/-u, a closed output pipe, Ctrl-C, unexpected errors, JSON."""

import fnmatch
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import COMMAND
from test_cli import USAGE

VERSION = "veltrix-converter 0.1.0\n"
HELP = "".join(line + "\n" for line in USAGE)

# Converts h5 to tflite after an optional pause, writing the destination;
# its answer can be replaced through the environment.
WRITER = '''
import json, os, time
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["tflite"]}
    if src_type == "h5" and dst_type == "tflite":
        return {"pause": {"type": "int", "default": 0}}
    return None
def convert(src, dst, params):
    open(dst + ".started", "w").close()
    time.sleep(params["pause"])
    with open(dst, "w") as f:
        f.write("model")
    answer = os.environ.get("VX_ANSWER")
    return json.loads(answer) if answer else {"success": "yes", "message": "wrote " + dst}
'''


@pytest.fixture
def writer(site):
    site.add("vx-writer", source=WRITER, module="vx_writer_mod", entry_points=[("writer-ep", "vx_writer_mod")])
    (site.root / "m.h5").write_text("")
    return site


def run(site, *words, env=None):
    return subprocess.run([COMMAND, *words], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=dict(site.env(), **(env or {})), timeout=120, cwd=site.root)


def err(text):
    return "veltrix-converter: " + text + "\n"


@pytest.mark.parametrize("words, status, out, stderr", [
    ([], 0, None, ""),
    (["-v"], 0, VERSION, ""),
    (["-h"], 0, VERSION + HELP, ""),
    (["m.h5", "out.tflite"], 0, None, ""),
    (["---x"], 2, "Invalid Argument: ---x\n" + VERSION + HELP, ""),
    (["--quantize"], 2, VERSION + HELP, ""),
    (["-i"], 2, VERSION + "Package Path Missing\n", ""),
    (["-u"], 2, VERSION + "Plugin Name Missing\n", ""),
    (["m.h5", "out.tflite", "--quantize"], 2, VERSION + HELP,
     err("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")),
    (["m.h5", "out.tflite", "--num-samples", "5"], 2, VERSION + HELP,
     err("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")),
    (["a.h5", "b.tflite"], 1, VERSION + "FAILURE: No Converter found to convert a.h5 to b.tflite\n",
     err("hint: the source a.h5 does not exist")),
    (["m.h5", "b.xyz"], 1, VERSION + "FAILURE: No Converter found to convert m.h5 to b.xyz\n",
     err("hint: no installed plug-in converts 'h5' to 'xyz'; installed plug-ins convert: *vx-writer (h5 -> tflite)*")),
    (["--plugin", "nope", "m.h5", "b.tflite"], 1, None,
     err("hint: no installed plug-in is named 'nope' (installed: *vx-writer*)")),
    (["--plugin", "writer-ep", "m.h5", "b.tflite"], 1, None,
     err("hint: no installed plug-in is named 'writer-ep' (installed: *vx-writer*); 'writer-ep' is an entry point of "
         "vx-writer: use --plugin vx-writer")),
    (["--input-shape", "1,x,3,3", "m.h5", "out.tflite"], 1, None,
     err("hint: --input-shape 1,x,3,3: every item of the list must be a number")),
    (["-i", "no-such.whl"], 1, VERSION,
     err("cannot install 'no-such.whl': no such file or folder (-i takes the path of a plug-in wheel or project)")),
    (["-u", "numpy"], 1, VERSION,
     err("'numpy' is not an installed veltrix-converter plug-in; -u removes only plug-ins (installed: *vx-writer*)")),
    (["--input-model-type", "h5", "--source", "m.h5", "b.tflite"], 1, None,
     err("error: --source was given without a path (options go before SOURCE DEST): TypeError: can only concatenate "
         'str (not "bool") to str (VELTRIX_DEBUG=1 shows the traceback)')),
])
def test_exit_statuses_and_messages(writer, words, status, out, stderr):
    result = run(writer, *words)
    # "*" stands for the other installed plug-ins (the reference plug-ins among them)
    assert result.returncode == status and fnmatch.fnmatchcase(result.stderr, stderr.replace("[", "[[]")), result.stderr
    if out is not None:
        assert result.stdout == out
    assert "Traceback" not in result.stderr


def test_a_plugin_answer_that_cannot_be_reported(writer):
    bad = {"VX_ANSWER": json.dumps({"success": "yes", "message": 42})}
    result = run(writer, "m.h5", "out.tflite", env=bad)
    assert result.returncode == 1 and result.stderr == err(
        'error: plug-in vx-writer failed or gave an answer that cannot be reported: TypeError: unsupported operand '
        "type(s) for +: 'int' and 'str' (VELTRIX_DEBUG=1 shows the traceback)")
    debug = run(writer, "m.h5", "out.tflite", env=dict(bad, VELTRIX_DEBUG="1"))
    assert debug.returncode == 1 and "Traceback (most recent call last)" in debug.stderr


def test_guards_never_run_pip(writer, tmp_path):
    # pip would fail loudly if it ran; numpy must still be importable after -u numpy
    for words in (["-u", "numpy"], ["-u", "NumPy"], ["-i", "pyproject.toml"], ["--uninstall", "pip"]):
        result = run(writer, *words)
        assert result.returncode == 1 and "Installing" not in result.stdout and "Uninstalling" not in result.stdout
    subprocess.run([sys.executable, "-c", "import numpy"], check=True)


def test_closed_output_pipe_never_loses_work(writer):
    out = writer.root / "piped.tflite"
    proc = subprocess.Popen([COMMAND, "--pause", "1", "m.h5", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=writer.root, env=writer.env())
    proc.stdout.read(5)
    proc.stdout.close()  # as `| grep -q veltrix` does, long before the conversion ends
    stderr = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 0 and stderr == ""
    assert out.read_text() == "model"


def test_ctrl_c_is_one_line_and_status_130(writer):
    out = writer.root / "slow.tflite"
    proc = subprocess.Popen([COMMAND, "--pause", "60", "m.h5", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=writer.root, env=writer.env())
    deadline = time.monotonic() + 60
    while not os.path.exists(str(out) + ".started") and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130 and stderr.decode() == "Interrupted\n"


def test_json_listing_and_parameter_table(writer):
    listing = run(writer, "-l", "--json")
    assert listing.returncode == 0 and listing.stderr == ""
    (record,) = [r for r in json.loads(listing.stdout) if r["name"] == "vx-writer"]
    assert record["verdict"] == "ok" and record["inputs"] == ["h5"] and record["outputs"] == ["tflite"]
    assert set(record) == {"name", "version", "summary", "author", "path", "inputs", "outputs", "verdict"}

    table = run(writer, "--json", "-h", "vx-writer", "h5", "tflite")
    parsed = json.loads(table.stdout)
    assert table.returncode == 0 and parsed["pause"] == {"type": "int", "default": 0}
    assert parsed["input-shape"]["default"] == [1, 224, 224, 3] and list(parsed)[0] == "pause"

    for words, status in ((["--json", "-h", "vx-writer", "h5", "onnx"], 1), (["--json", "m.h5", "b.tflite"], 2)):
        result = run(writer, *words)
        assert result.returncode == status and result.stdout == "" and result.stderr.count("\n") == 1
