"""Work contained in a child process: what comes back (a JSON result, the
run's warnings, a PluginError's message, another error by name), and every
way the child can fail (memory, CPU time, file size, a crash, a hang, no
answer) a clear PluginError, never a hang; where this machine allows it, no
writes outside the work folder and no network; Ctrl-C and SIGTERM stop the
child and the command ends as it always did."""

import os
import signal
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from veltrix.converter.plugin_api.helpers import PluginError, containment, contained, conversion_run

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="containment forks on Linux only")


def _hog():
    return len(bytearray(3 << 30))


def _spin():
    while True:
        pass


def _big_file():
    with open("big", "wb") as f:
        for _ in range(64):
            f.write(bytes(1 << 20))


def _undecodable():
    return {"a set": {1, 2}}


def _refusal():
    raise PluginError("the plug-in's own words")


def _library_error():
    raise ValueError("bad value\nsecond line")


# work: (limits set through the environment, what the failure says)
FAILURES = {
    _hog: ({"VELTRIX_MEMORY_LIMIT": "512M"}, "ran out of memory within its limit of 0.5 GB"),
    _spin: ({"VELTRIX_CPU_LIMIT": "2", "VELTRIX_TIME_LIMIT": "600"}, "reached its CPU-time limit of 2 s"),
    (lambda: time.sleep(600)): ({"VELTRIX_TIME_LIMIT": "2"}, "did not finish within its time limit of 2 s"),
    (lambda: os.kill(os.getpid(), signal.SIGSEGV)): ({}, "crashed (segmentation fault)"),
    (lambda: os._exit(3)): ({}, "ended without a result (exit status 3)"),
    _undecodable: ({}, "the work gave a result that is not JSON"),
    _refusal: ({}, "the plug-in's own words"),
}


@pytest.fixture
def in_workdir(monkeypatch):
    """A conversion run whose work folder is the current folder."""
    with conversion_run("vx-contained") as run:
        monkeypatch.chdir(run.workdir)
        yield run


@pytest.mark.parametrize("work", list(FAILURES), ids=["memory", "cpu", "hang", "crash", "no-answer", "not-json",
                                                      "plugin-error"])
def test_every_way_the_child_fails_is_a_plugin_error(in_workdir, work, monkeypatch):
    environment, phrase = FAILURES[work]
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(PluginError) as caught:
        contained(in_workdir, work)
    assert phrase in str(caught.value)


def test_a_file_beyond_its_limit_stops_the_child(in_workdir, monkeypatch):
    monkeypatch.setattr(containment, "FILE_BASE", 1 << 20)
    with pytest.raises(PluginError, match="wrote a file larger than its limit of 1048576 bytes"):
        contained(in_workdir, _big_file)


def test_the_result_warnings_and_errors_come_back(in_workdir):
    def work():
        in_workdir.warnings.append("calibrated on white noise")
        with open("result.onnx", "w") as f:
            f.write("model")
        return {"files": ["result.onnx"], "figures": [1.5, None, True]}
    assert contained(in_workdir, work) == {"files": ["result.onnx"], "figures": [1.5, None, True]}
    assert in_workdir.warnings == ["calibrated on white noise"] and os.path.exists("result.onnx")
    with pytest.raises(containment.ContainedError) as caught:
        contained(in_workdir, _library_error)
    assert type(caught.value).__name__ == "ValueError" and str(caught.value) == "bad value\nsecond line"


@pytest.fixture
def outside(in_workdir):
    """What lies outside the containment: a path beside the work folder, a TCP
    server, a Unix socket server on the file system, a process of the user's."""
    beside = os.path.dirname(in_workdir.workdir)
    there = SimpleNamespace(path=os.path.join(beside, "veltrix-outside-%d" % os.getpid()),
                            agent=os.path.join(beside, "veltrix-agent-%d.sock" % os.getpid()),
                            tcp=socket.socket(), unix=socket.socket(socket.AF_UNIX),
                            bystander=subprocess.Popen(["sleep", "600"]))
    try:
        there.tcp.bind(("127.0.0.1", 0))
        there.unix.bind(there.agent)
        for server in (there.tcp, there.unix):
            server.listen(1)
        yield there
    finally:
        there.bystander.kill()
        there.bystander.wait()
        for server in (there.tcp, there.unix):
            server.close()
        for path in (there.path, there.agent):
            if os.path.exists(path):
                os.remove(path)


def _socketpair_works(_):
    first, second = socket.socketpair()
    with first, second:
        first.sendall(b"within")
        assert second.recv(6) == b"within"


def _has_landlock(version):
    return lambda: containment.landlock_version() >= version


# what the child tries: (what the machine must have, why the row is skipped without it, the attempt,
# the outcome: an exception's name, "refused" for any OSError, "done" where it must work)
REACHES = {
    "write": (_has_landlock(1), "no Landlock", lambda o: open(o.path, "w"), "PermissionError"),
    "tcp": (_has_landlock(4), "no Landlock network rules (ABI 4)",
            lambda o: socket.create_connection(o.tcp.getsockname(), timeout=5), "refused"),
    "signal": (_has_landlock(6), "no Landlock scopes (ABI 6, Linux 6.12)",
               lambda o: os.kill(o.bystander.pid, signal.SIGKILL), "PermissionError"),
    "unix-socket": (containment.seccomp_filter_here, "no seccomp filter on this machine",
                    lambda o: socket.socket(socket.AF_UNIX).connect(o.agent), "PermissionError"),
    "socketpair": (lambda: True, "", _socketpair_works, "done"),
}


@pytest.mark.parametrize("reach", list(REACHES))
def test_outside_its_work_folder_the_child_writes_nothing_and_reaches_no_one(in_workdir, outside, reach):
    present, missing, attempt, expected = REACHES[reach]
    if not present():
        pytest.skip("this machine has %s; containment.measures() says so, and the README says what applies" % missing)

    def work():
        try:
            attempt(outside)
        except OSError as exc:
            return "refused" if expected == "refused" else type(exc).__name__
        return "done"
    assert contained(in_workdir, work) == expected
    assert not os.path.exists(outside.path) and outside.bystander.poll() is None


# A plug-in whose work waits in a contained child: it tells the test its work
# folder through VX_READY_FD before the child starts; the child writes its
# process number into the work folder, then waits for ever.
WAITING = '''
import os, time
from veltrix.converter.plugin_api.helpers import contained, conversion_run
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["vxc"]}
    return {} if (src_type, dst_type) == ("h5", "vxc") else None
def work(run):
    with open(os.path.join(run.workdir, "pid.partial"), "w") as f:
        f.write(str(os.getpid()))
    os.rename(os.path.join(run.workdir, "pid.partial"), os.path.join(run.workdir, "pid"))
    time.sleep(600)
def convert(src, dst, params):
    with conversion_run("vx-waiting") as run:
        os.write(int(os.environ["VX_READY_FD"]), (run.workdir + "\\n").encode())
        contained(run, lambda: work(run))
    return {"success": "yes", "message": "done"}
'''


def _gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


@pytest.mark.parametrize("signum, to_group, status, last_line", [
    (signal.SIGINT, True, 130, "Interrupted"), (signal.SIGTERM, False, 143, "Terminated")], ids=["ctrl-c", "sigterm"])
def test_a_signal_stops_the_child_and_the_command_ends_as_ever(site, signum, to_group, status, last_line):
    from conftest import COMMAND
    site.add("vx-waiting", source=WAITING)
    (site.root / "m.h5").write_text("")
    ready, ready_w = os.pipe()
    child = subprocess.Popen([COMMAND, "m.h5", "m.vxc"], cwd=site.root, env=dict(site.env(), VX_READY_FD=str(ready_w)),
                             pass_fds=(ready_w,), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True,
                             preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in (signal.SIGINT,
                                                                                            signal.SIGTERM)])
    os.close(ready_w)
    with os.fdopen(ready) as told:
        workdir = told.readline().strip()
    assert workdir, "the command ended before its plug-in started the work"
    pid_file = os.path.join(workdir, "pid")
    while not os.path.exists(pid_file):  # the child's readiness message, written once it runs
        assert child.poll() is None, child.communicate()
        time.sleep(0.02)
    with open(pid_file) as f:
        worker = int(f.read())
    if to_group:
        os.killpg(child.pid, signum)  # Ctrl-C reaches the whole foreground group
    else:
        child.send_signal(signum)
    _, err = child.communicate(timeout=120)  # a safety net, not a synchronisation
    assert child.returncode == status and err.decode().rstrip().endswith(last_line), err
    assert _gone(worker) and not os.path.exists(workdir)
