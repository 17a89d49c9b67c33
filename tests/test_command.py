"""The real command in a child process: exit statuses, hints on standard error,
the guards of -i/-u, closed or full standard streams and readers that went
away, Ctrl-C and SIGTERM, unexpected errors, JSON.

A child that is sent a signal gets its dispositions from the test itself (a
test run from a background job inherits SIGINT ignored), and the test waits
for the child to say it is ready, never for a fixed time."""

import fnmatch
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import COMMAND
from test_cli import USAGE

VERSION = "veltrix-converter 0.1.0\n"
HELP = "".join(line + "\n" for line in USAGE)

# Converts h5 to vxt (a type no other plug-in converts to) with the kit (a work folder, native output captured,
# the destination written safely), after an optional pause. Through the
# environment: VX_READY_FD gets "WORKDIR\nPARTIAL\n" once the model is
# half-written, then the plug-in waits for a byte (or end of file) on
# VX_HOLD_FD; with VX_HOLD_AT "atexit" or "thread" it says "exiting" and
# waits there instead, in an exit function or a thread that outlives the
# main one; VX_WARN adds a warning; VX_SWALLOW imports a module of that
# name and swallows a KeyboardInterrupt there; VX_RAISE raises that
# expression half-way; VX_NATIVE prints through the C library at the end;
# VX_ANSWER replaces its answer.
WRITER = '''
import atexit, json, os, threading, time
from veltrix.converter.plugin_api.helpers import conversion_run, safe_output
def hold_at_exit(where):
    def hold():
        while where == "thread" and threading.main_thread().is_alive():
            time.sleep(0.01)
        os.write(int(os.environ["VX_READY_FD"]), b"exiting\\n")
        os.read(int(os.environ["VX_HOLD_FD"]), 1)
    threading.Thread(target=hold).start() if where == "thread" else atexit.register(hold)
class Odd(BaseException):
    pass
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["vxt"]}
    if src_type == "h5" and dst_type == "vxt":
        return {"pause": {"type": "int", "default": 0}}
    return None
def convert(src, dst, params):
    with conversion_run("vx-writer") as run:
        if os.environ.get("VX_WARN"):
            run.warnings.append(os.environ["VX_WARN"])
        if os.environ.get("VX_SWALLOW"):
            try:
                __import__(os.environ["VX_SWALLOW"])
            except (KeyboardInterrupt, ImportError):
                pass
        with safe_output(dst) as partial:
            with open(partial, "w") as f:
                f.write("model")
            if os.environ.get("VX_RAISE"):
                raise eval(os.environ["VX_RAISE"])
            time.sleep(params["pause"])
            if os.environ.get("VX_HOLD_AT") in ("atexit", "thread"):
                hold_at_exit(os.environ["VX_HOLD_AT"])
            elif os.environ.get("VX_READY_FD"):
                os.write(int(os.environ["VX_READY_FD"]), ("%s\\n%s\\n" % (run.workdir, partial)).encode())
                os.read(int(os.environ["VX_HOLD_FD"]), 1)
    if os.environ.get("VX_NATIVE"):
        import ctypes
        ctypes.CDLL(None).printf(os.environ["VX_NATIVE"].encode())
    answer = os.environ.get("VX_ANSWER")
    return json.loads(answer) if answer else {"success": "yes", "message": "wrote " + dst}
'''

# Starts the command with the signal dispositions and closed descriptors the
# test asks for: argv[1] the signals inherited as ignored, argv[2] the
# descriptors closed, then the command line.
LAUNCHER = '''
import os, signal, sys
for name in ("SIGINT", "SIGTERM"):
    signal.signal(getattr(signal, name), signal.SIG_IGN if name in sys.argv[1].split(",") else signal.SIG_DFL)
for fd in filter(None, sys.argv[2].split(",")):
    os.close(int(fd))
os.execv(sys.argv[3], sys.argv[3:])
'''


@pytest.fixture
def writer(site):
    site.add("vx-writer", source=WRITER, module="vx_writer_mod", entry_points=[("writer-ep", "vx_writer_mod")])
    (site.root / "m.h5").write_text("")
    return site


def run(site, *words, env=None):
    return subprocess.run([COMMAND, *words], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=dict(site.env(), **(env or {})), timeout=120, cwd=site.root)


class Child:
    """The command started through LAUNCHER; with `held`, the plug-in tells
    where its work is and waits until `release()`."""

    def __init__(self, site, words, ignored=(), closed=(), held=False, env=None, **popen):
        env = dict(site.env(), **(env or {}))
        fds = ()
        if held:
            self._ready, ready_w = os.pipe()
            hold_r, self._hold = os.pipe()
            env.update(VX_READY_FD=str(ready_w), VX_HOLD_FD=str(hold_r))
            fds = (ready_w, hold_r)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        self.proc = subprocess.Popen([sys.executable, "-c", LAUNCHER, ",".join(ignored),
                                      ",".join(map(str, closed)), COMMAND, *words],
                                     stdin=subprocess.DEVNULL, cwd=site.root, env=env, pass_fds=fds, **popen)
        for fd in fds:
            os.close(fd)

    def ready(self):
        """(work folder, partial file) once the plug-in is half-way."""
        with os.fdopen(self._ready, "r") as ready:
            workdir, partial = ready.readline().strip(), ready.readline().strip()
        assert workdir and partial, "the command ended before its plug-in was ready"
        return workdir, partial

    def said(self):
        """The next line the plug-in says on its own channel."""
        return os.read(self._ready, 100).decode()

    def release(self):
        os.close(self._hold)

    def finish(self):
        out, err = self.proc.communicate(timeout=300)  # a safety net, not a synchronisation
        return self.proc.returncode, (out or b"").decode(), (err or b"").decode()


def err(text):
    return "veltrix-converter: " + text + "\n"


@pytest.mark.parametrize("words, status, out, stderr", [
    ([], 0, None, ""),
    (["-v"], 0, VERSION, ""),
    (["-h"], 0, VERSION + HELP, ""),
    (["m.h5", "out.vxt"], 0, None, ""),
    (["---x"], 2, "Invalid Argument: ---x\n" + VERSION + HELP, ""),
    (["--quantize"], 2, VERSION + HELP, ""),
    (["-i"], 2, VERSION + "Package Path Missing\n", ""),
    (["-u"], 2, VERSION + "Plugin Name Missing\n", ""),
    (["m.h5", "out.vxt", "--quantize"], 2, VERSION + HELP,
     err("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")),
    (["m.h5", "out.vxt", "--num-samples", "5"], 2, VERSION + HELP,
     err("options go before SOURCE DEST: veltrix-converter [options] SOURCE DEST")),
    (["a.h5", "b.vxt"], 1, VERSION + "FAILURE: No Converter found to convert a.h5 to b.vxt\n",
     err("hint: the source a.h5 does not exist")),
    (["m.h5", "b.xyz"], 1, VERSION + "FAILURE: No Converter found to convert m.h5 to b.xyz\n",
     err("hint: no installed plug-in converts 'h5' to 'xyz'; installed plug-ins convert: *vx-writer (h5 -> vxt)*")),
    (["--plugin", "nope", "m.h5", "b.vxt"], 1, None,
     err("hint: no installed plug-in is named 'nope' (installed: *vx-writer*)")),
    (["--plugin", "writer-ep", "m.h5", "b.vxt"], 1, None,
     err("hint: no installed plug-in is named 'writer-ep' (installed: *vx-writer*); 'writer-ep' is an entry point of "
         "vx-writer: use --plugin vx-writer")),
    (["--input-shape", "1,x,3,3", "m.h5", "out.vxt"], 1, None,
     err("hint: --input-shape 1,x,3,3: every item of the list must be a number")),
    (["-i", "no-such.whl"], 1, VERSION,
     err("cannot install 'no-such.whl': no such file or folder (-i takes the path of a plug-in wheel or project)")),
    (["-u", "numpy"], 1, VERSION,
     err("'numpy' is not an installed veltrix-converter plug-in; -u removes only plug-ins (installed: *vx-writer*)")),
    (["--input-model-type", "h5", "--source", "m.h5", "b.vxt"], 1, None,
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
    result = run(writer, "m.h5", "out.vxt", env=bad)
    assert result.returncode == 1 and result.stderr == err(
        'error: plug-in vx-writer failed or gave an answer that cannot be reported: TypeError: unsupported operand '
        "type(s) for +: 'int' and 'str' (VELTRIX_DEBUG=1 shows the traceback)")
    debug = run(writer, "m.h5", "out.vxt", env=dict(bad, VELTRIX_DEBUG="1"))
    assert debug.returncode == 1 and "Traceback (most recent call last)" in debug.stderr


@pytest.mark.parametrize("raised, status, stderr", [
    ("SystemExit(3)", 3, ""),
    ("SystemExit(None)", 0, ""),
    ("SystemExit('bye')", 1, "bye\n"),
    ("Odd('odd')", 1, "Traceback (most recent call last):*vx_writer_mod.Odd: odd\n"),
])
def test_what_escapes_the_console_ends_it_as_the_interpreter_would(writer, raised, status, stderr):
    result = run(writer, "m.h5", "out" + os.sep + "m.vxt", env={"VX_RAISE": raised})
    assert result.returncode == status and fnmatch.fnmatchcase(result.stderr, stderr), result.stderr
    assert not (writer.root / "out").exists() or os.listdir(writer.root / "out") == []


def test_what_native_code_printed_is_not_lost_at_exit(writer):
    env = dict(writer.env(), VX_NATIVE="native\n")
    env.pop("PYTHONUNBUFFERED", None)  # the C library buffers what goes to a pipe
    result = subprocess.run([COMMAND, "m.h5", "out.vxt"], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            env=env, timeout=120, cwd=writer.root)
    assert result.returncode == 0 and result.stdout.endswith(SUCCESS + "native\n"), result.stdout


def test_guards_never_run_pip(writer, tmp_path):
    # pip would fail loudly if it ran; numpy must still be importable after -u numpy
    for words in (["-u", "numpy"], ["-u", "NumPy"], ["-i", "pyproject.toml"], ["--uninstall", "pip"]):
        result = run(writer, *words)
        assert result.returncode == 1 and "Installing" not in result.stdout and "Uninstalling" not in result.stdout
    subprocess.run([sys.executable, "-c", "import numpy"], check=True)


def test_closed_output_pipe_never_loses_work(writer):
    out = writer.root / "piped.vxt"
    child = Child(writer, ["m.h5", str(out)], held=True)
    child.proc.stdout.read(5)
    child.ready()
    child.proc.stdout.close()  # as `| grep -q veltrix` does, before the conversion ends
    child.release()
    status, _, stderr = child.finish()
    assert status == 0 and stderr == ""
    assert out.read_text() == "model"


ERROR_LINE = "veltrix-converter: error: OSError: [Errno 28] No space left on device (VELTRIX_DEBUG=1 shows the traceback)\n"
SUCCESS = ("SUCCESS: wrote out.vxt\nSource:    m.h5\nDestination: out.vxt\n"
           "Source: m.h5\nDestination: out.vxt\n")


@pytest.mark.parametrize("words, closed, sink, status, stdout, stderr", [
    # `>&-`: output dropped, the work done
    (["-v"], [1], None, 0, None, ""),
    (["-l"], [1], None, 0, None, ""),
    (["m.h5", "out.vxt"], [1], None, 0, None, "vx-writer: warning: late\n"),
    # `2>&-`: native output still captured (and nothing lands in the model)
    (["m.h5", "out.vxt"], [2], None, 0, "*Using Converter Plugin : vx-writer\n" + SUCCESS, None),
    (["m.h5", "out.vxt"], [1, 2], None, 0, None, None),
    # `2>&1 | grep -q x` after grep has gone: the model is in place, so no FAILURE
    (["m.h5", "out.vxt"], [], "gone", 0, None, None),
    (["m.h5", "out.vxt", "--quantize"], [], "gone", 2, None, None),  # its note goes nowhere
    # `>/dev/full`: one error line and status 1, no traceback at exit
    (["-v"], [], "/dev/full", 1, None, ERROR_LINE),
    # `2>/dev/full`: the contract's lines and the model are what count; the warning is dropped
    (["m.h5", "out.vxt"], [], "/dev/full 2", 0, "*Using Converter Plugin : vx-writer\n" + SUCCESS, None),
])
def test_closed_or_failing_standard_streams(writer, words, closed, sink, status, stdout, stderr):
    popen, sink_fd = {}, None
    if sink == "gone":
        reader, sink_fd = os.pipe()
        os.close(reader)
        popen = {"stdout": sink_fd, "stderr": sink_fd}
    elif sink:
        path, _, fd = sink.partition(" ")
        sink_fd = os.open(path, os.O_WRONLY)
        popen = {"stderr" if fd == "2" else "stdout": sink_fd}
    child = Child(writer, words, closed=closed, env={"VX_WARN": "late"}, **popen)
    if sink_fd is not None:
        os.close(sink_fd)
    got_status, out, err = child.finish()
    assert got_status == status, err
    if stdout is not None:
        assert fnmatch.fnmatchcase(out, stdout), out
    if stderr is not None:
        assert err == stderr
    model = writer.root / "out.vxt"
    assert (model.read_text() if model.exists() else None) == ("model" if words[-1] == "out.vxt" else None)


@pytest.mark.parametrize("signum, ignored, status, stderr", [
    (signal.SIGINT, [], 130, "Interrupted\n"),
    (signal.SIGTERM, [], 143, "Terminated\n"),
    # inherited as ignored (nohup, a background job): the work completes
    (signal.SIGINT, ["SIGINT"], 0, ""),
    (signal.SIGTERM, ["SIGTERM"], 0, ""),
])
def test_signals_unwind_the_work_and_end_with_one_line(writer, signum, ignored, status, stderr):
    out = writer.root / "out" / "m.vxt"
    child = Child(writer, ["m.h5", str(out)], ignored=ignored, held=True)
    workdir, partial = child.ready()
    assert os.path.isdir(workdir) and os.path.isfile(partial)
    child.proc.send_signal(signum)
    child.release()  # the plug-in goes on: it must already have been stopped
    got_status, _, err = child.finish()
    assert (got_status, err) == (status, stderr)
    assert not os.path.exists(workdir) and not os.path.exists(partial)
    assert sorted(os.listdir(out.parent)) == (["m.vxt"] if status == 0 else [])


@pytest.mark.parametrize("where, signum, ignored, status, stderr", [
    # while the exit functions run, or a thread that is not a daemon is awaited
    ("atexit", signal.SIGINT, [], 130, "Interrupted\n"),
    ("atexit", signal.SIGTERM, [], 143, "Terminated\n"),
    ("thread", signal.SIGINT, [], 130, "Interrupted\n"),
    ("atexit", signal.SIGINT, ["SIGINT"], 0, ""),
])
def test_a_signal_after_success_ends_the_command_as_interrupted(writer, where, signum, ignored, status, stderr):
    out = writer.root / "m.vxt"
    child = Child(writer, ["m.h5", str(out)], ignored=ignored, held=True, env={"VX_HOLD_AT": where})
    assert child.said() == "exiting\n"
    child.proc.send_signal(signum)
    child.release()
    got_status, stdout, err = child.finish()
    assert (got_status, err) == (status, stderr)
    assert stdout.endswith("Destination: %s\n" % out) and out.read_text() == "model"


# Sends a signal to its own process when a module is first imported.
SIGNAL_AT_IMPORT = '''
import os, signal, sys
class SignalAtImport:
    def find_spec(self, name, path=None, target=None):
        if name == os.environ["VX_SIGNAL_AT"]:
            sys.meta_path.remove(self)
            os.kill(os.getpid(), getattr(signal, os.environ["VX_SIGNAL"]))
        return None
sys.meta_path.insert(0, SignalAtImport())
'''


@pytest.mark.parametrize("words, module, name, status, stderr", [
    (["-v"], "glob", "SIGINT", 130, "Interrupted\n"),  # while the console's own imports run
    (["-v"], "glob", "SIGTERM", 143, "Terminated\n"),
    (["-v"], "veltrix.converter.convert", "SIGINT", 130, "Interrupted\n"),  # start-up
    (["-l"], "veltrix.converter.plugin_registry", "SIGTERM", 143, "Terminated\n"),
    (["-l"], "vx_writer_mod", "SIGINT", 130, "Interrupted\n"),  # a plug-in loaded for the listing
    (["-l", "--json"], "vx_writer_mod", "SIGTERM", 143, "Terminated\n"),
    (["m.h5", "out.vxt"], "vx_writer_mod", "SIGINT", 130, "Interrupted\n"),
    # a plug-in swallowed the interrupt and finished: the user still asked to stop
    (["m.h5", "out.vxt"], "vx_swallowed", "SIGINT", 130, "Interrupted\n"),
])
def test_signals_from_the_first_moment(writer, tmp_path, words, module, name, status, stderr):
    hook = tmp_path / "hook"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(textwrap.dedent(SIGNAL_AT_IMPORT))
    env = {"VX_SIGNAL_AT": module, "VX_SIGNAL": name, "VX_SWALLOW": "vx_swallowed",
           "PYTHONPATH": os.pathsep.join([str(hook), writer.env()["PYTHONPATH"]])}
    got_status, _, err = Child(writer, words, env=env).finish()
    assert (got_status, err) == (status, stderr)
    assert (writer.root / "out.vxt").exists() == (module == "vx_swallowed")


def test_the_kit_runs_with_standard_error_closed(tmp_path):
    code = textwrap.dedent('''
        import os, sys
        from veltrix.converter.plugin_api.helpers import conversion_run, warn
        os.close(2)
        with conversion_run("vx-kit") as run:
            os.write(2, b"native chatter")
            with open(os.path.join(run.workdir, "model"), "w") as f:
                fd = f.fileno()  # no file takes the closed descriptor's place
            run.warnings.append("nobody reads this")
        warn("vx-kit", "nor this")
        print(fd > 2, end=" ")
        try:
            os.fstat(2)
        except OSError:
            print("closed as before")
    ''')
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            cwd=tmp_path, timeout=120)
    assert (result.returncode, result.stdout) == (0, "True closed as before\n")


def test_json_listing_and_parameter_table(writer):
    listing = run(writer, "-l", "--json")
    assert listing.returncode == 0 and listing.stderr == ""
    (record,) = [r for r in json.loads(listing.stdout) if r["name"] == "vx-writer"]
    assert record["verdict"] == "ok" and record["inputs"] == ["h5"] and record["outputs"] == ["vxt"]
    assert set(record) == {"name", "version", "summary", "author", "path", "inputs", "outputs", "verdict"}

    table = run(writer, "--json", "-h", "vx-writer", "h5", "vxt")
    parsed = json.loads(table.stdout)
    assert table.returncode == 0 and parsed["pause"] == {"type": "int", "default": 0}
    assert parsed["input-shape"]["default"] == [1, 224, 224, 3] and list(parsed)[0] == "pause"

    result = run(writer, "--json", "-h", "vx-writer", "h5", "onnx")
    assert result.returncode == 1 and result.stdout == "" and result.stderr.count("\n") == 1

    # a conversion: the report is the only thing on stdout, the contract's lines go to stderr
    result = run(writer, "--json", "m.h5", "b.vxt")
    report = json.loads(result.stdout)
    assert result.returncode == 0 and "SUCCESS: wrote b.vxt" in result.stderr
    assert (report["status"], report["plugin"]) == ("success", "vx-writer")


# A plug-in whose import fails, beside vx-writer.
BROKEN = "import nosuchmodule\n"
UNUSABLE = "plug-in 'vx-broken' cannot be used: Error:No module named 'nosuchmodule'"


@pytest.mark.parametrize("words, last_out, hint", [
    (["--plugin", "vx-broken", "m.h5", "b.vxt"], "FAILURE: convert API not implemented",
     "hint: " + UNUSABLE + " (veltrix-converter -l lists every plug-in's verdict)"),
    (["-h", "vx-broken", "h5", "vxt"], "No help for input type:h5 and output type:vxt",
     "hint: " + UNUSABLE + " (veltrix-converter -l lists every plug-in's verdict)"),
    (["-h", "broken-ep", "h5", "vxt"], "No help for input type:h5 and output type:vxt",
     "hint: no installed plug-in is named 'broken-ep' (installed: *); 'broken-ep' is an entry point of vx-broken: "
     "use --plugin vx-broken"),
    (["-h", "nope", "h5", "vxt"], "No help for input type:h5 and output type:vxt",
     "hint: no installed plug-in is named 'nope' (installed: *vx-broken*)"),
    (["-h", "vx-writer", "h5", "onnx"], "No help for input type:h5 and output type:onnx",
     "hint: plug-in 'vx-writer' converts h5 -> vxt, not 'h5' to 'onnx'"),
    (["--plugin", "vx-writer", "m.h5", "b.onnx"], "FAILURE: Conversion not support for h5 to onnx",
     "hint: plug-in 'vx-writer' converts h5 -> vxt, not 'h5' to 'onnx'"),
    (["--json", "-h", "vx-broken", "h5", "vxt"], None,
     "no parameters: " + UNUSABLE + " (veltrix-converter -l lists every plug-in's verdict)"),
    (["m.h5", "b.xyz"], "FAILURE: No Converter found to convert m.h5 to b.xyz",
     "hint: no working plug-in converts 'h5' to 'xyz'; " + UNUSABLE + "; installed plug-ins convert: *vx-writer (h5 -> vxt)*"),
])
def test_a_plugin_that_cannot_be_loaded_is_named_with_its_error(writer, words, last_out, hint):
    writer.add("vx-broken", source=BROKEN, entry_points=[("broken-ep", "vx_broken_mod")], module="vx_broken_mod")
    result = run(writer, *words)
    assert result.returncode == 1 and fnmatch.fnmatchcase(result.stderr, err(hint).replace("[", "[[]")), result.stderr
    assert (result.stdout.splitlines() or [None])[-1] == last_out
    if words[:2] == ["--plugin", "vx-broken"]:  # the traceback of the failed import, asked for
        debug = run(writer, *words, env={"VELTRIX_DEBUG": "1"})
        assert debug.returncode == 1 and "ModuleNotFoundError: No module named 'nosuchmodule'" in debug.stderr


# Converts h5 to vxt (and to xyz), but only when named.
NAMED_ONLY = '''
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["vxt", "xyz"], "auto_select": False}
    return {} if src_type == "h5" and dst_type in ("vxt", "xyz") else None
def convert(src, dst, params):
    return {"success": "yes", "message": "named only"}
'''


def test_the_choice_between_plugins_is_said_and_can_be_declined(writer):
    writer.add("vx-other", source=WRITER)  # converts h5 to vxt too
    writer.add("vx-named", source=NAMED_ONLY)
    chosen = run(writer, "m.h5", "out.vxt")
    used = chosen.stdout.splitlines()[1].split(" : ")[1]
    others = sorted({"vx-writer", "vx-other"} - {used}) + ["vx-named (used only when named)"]
    assert chosen.returncode == 0 and used in ("vx-writer", "vx-other"), chosen.stdout
    assert chosen.stderr == err("note: %s is used, the first installed plug-in converting 'h5' to 'vxt'; %s also "
                                "could (choose one with --plugin NAME)" % (used, ", ".join(others)))
    named = run(writer, "--plugin", "vx-named", "m.h5", "out.vxt")
    assert named.returncode == 0 and "SUCCESS: named only" in named.stdout and named.stderr == ""
    declined = run(writer, "m.h5", "out.xyz")
    assert declined.returncode == 1 and declined.stdout.endswith("FAILURE: No Converter found to convert m.h5 to out.xyz\n")
    assert declined.stderr == err("hint: vx-named converts 'h5' to 'xyz' but is used only when named: "
                                  "use --plugin vx-named")


# pip as the command runs it, recording what it was asked and building in the
# project folder as pip does.
FAKE_PIP = '''
import json, os, sys, urllib.parse, urllib.request
with open(os.environ["VX_PIP_LOG"], "a") as f:
    f.write(json.dumps([sys.argv[1:], os.environ.get("PIP_FORCE_REINSTALL"), os.environ.get("PIP_NO_DEPS")]) + "\\n")
path = urllib.request.url2pathname(urllib.parse.urlsplit(sys.argv[2]).path)
if os.path.isdir(path):
    os.makedirs(os.path.join(path, "build", "lib"), exist_ok=True)
    os.makedirs(os.path.join(path, "vx_p.egg-info"), exist_ok=True)
'''


@pytest.mark.parametrize("words, status, calls, left", [
    (["-i", "p.whl"], 0, [[["install", "{p.whl}", "-v"], None, None]], None),
    (["-i", "--force-reinstall", "p.whl"], 0,
     [[["install", "{p.whl}", "-v"], "1", "1"], [["install", "{p.whl}"], None, None]], None),
    (["--force-reinstall", "-i", "p.whl"], 0,
     [[["install", "{p.whl}", "-v"], "1", "1"], [["install", "{p.whl}"], None, None]], None),
    (["-i", "--force-reinstall"], 2, [], None),
    (["-i", "proj"], 0, [[["install", "{proj}", "-v"], None, None]], ["pyproject.toml"]),
    (["-i", "old"], 0, [[["install", "{old}", "-v"], None, None]], ["build", "keep.egg-info", "pyproject.toml"]),
])
def test_install_can_replace_the_same_version_and_leaves_no_build_files(writer, words, status, calls, left):
    (writer.root / "pip").mkdir()
    (writer.root / "pip" / "__init__.py").write_text("")
    (writer.root / "pip" / "__main__.py").write_text(FAKE_PIP)
    (writer.root / "p.whl").write_text("")
    for folder, inside in (("proj", []), ("old", ["build", "keep.egg-info"])):
        for name in ["", *inside]:
            (writer.root / folder / name).mkdir(exist_ok=True)
        (writer.root / folder / "pyproject.toml").write_text("")
    log = writer.root / "pip.log"
    result = run(writer, *words, env={"VX_PIP_LOG": str(log)})
    assert result.returncode == status, result.stdout + result.stderr
    made = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []
    expected = json.loads(json.dumps(calls).replace('"{', '"%s/' % writer.root).replace('}"', '"'))
    assert made == expected
    if left is not None:
        assert sorted(os.listdir(writer.root / words[-1])) == left
