"""Work on a model file from a stranger, done where a miss of the kit's
checks is contained.

    with conversion_run(NAME) as run:
        result = contained(run, self._work, source=self.src)   # files written in run.workdir
        ...install them with safe_outputs...

`work()` does everything that reads or runs the untrusted file (loading,
exporting, quantizing, verifying) and writes its results into the run's
work folder only; it returns a JSON value (dict, list, text, number, None),
which is what `contained` returns. A PluginError raised by `work` is raised
again with its message, another exception as one of the same name and
message; the warnings `work` adds to `run.warnings` are kept.

On Linux `work` runs in a child process forked for it, which inherits what
the caller imported (a warm process pays no import again) and in which:

- memory (the data segment, `RLIMIT_DATA`: what the child may add to what
  the caller already holds), CPU time (`RLIMIT_CPU`) and the size of any
  file written (`RLIMIT_FSIZE`) are limited in proportion to the source
  file, and no core file is written;
- where the kernel allows it without privileges, the child has a network of
  its own with nothing in it (a user and network namespace), and Landlock
  lets it write only in the work folder (plus /dev/null and /dev/shm),
  denies it TCP connections, and (ABI 6, Linux 6.12) keeps it from
  signalling processes outside the containment or reaching their abstract
  Unix sockets; temporary files go to the work folder;
- a seccomp filter makes creating a Unix socket fail (EACCES), so the child
  cannot connect to one on the file system (an SSH agent, docker.sock, a
  session bus); socketpair still works; io_uring, which would bypass the
  filter, is refused too (EPERM);
- the child dies with its parent, and the parent stops it after a wall-clock
  deadline too (a child stuck without using CPU);
- PyTorch computes on one thread when the caller had imported it (its
  OpenMP thread pool does not survive fork); a caller that leaves the import
  to `work` gives the child every core.

The result comes back as JSON through a pipe, never as a pickle: a child
that a crafted file took over can send wrong data, but nothing that runs in
the parent. A child killed by a limit, crashed or timed out is a PluginError
saying which; Ctrl-C or SIGTERM in the parent stops the child and then
unwinds as before. `measures()` says what this machine applies. Elsewhere
than Linux the work runs in the calling process, held to the JSON rule only.

The limits are attributes of this module that a caller may change, and
environment variables override them for one command: VELTRIX_MEMORY_LIMIT
(bytes, or with K, M, G), VELTRIX_CPU_LIMIT and VELTRIX_TIME_LIMIT (seconds).
"""

import ctypes
import errno
import json
import os
import re
import select
import signal
import sys
import time
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.run import ConversionRun

# memory the work may add to what the caller holds: a base for the libraries,
# and room for several copies of the model
MEMORY_BASE = 3 << 30
MEMORY_PER_SOURCE_BYTE = 12
# CPU time, per usable core (libraries compute on all of them)
CPU_BASE = 300
CPU_PER_SOURCE_MB = 6
# wall clock: a deadline for a child that waits forever
TIME_BASE = 900
TIME_PER_SOURCE_MB = 12
# files written: room for the results of several conversions of the model
FILE_BASE = 4 << 30
FILE_PER_SOURCE_BYTE = 16
# the largest result a child may send back
MAX_RESULT = 64 << 20

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


class ContainedError(Exception):
    """An exception of the contained work other than a PluginError, raised
    again in the caller as an instance of a subclass of this one with the
    original's name, so that a failure reads as it would have read."""


def _size_of(source: str) -> int:
    try:
        return os.path.getsize(source) if source else 0
    except OSError:
        return 0


def _from_environment(name: str, default: int, units: bool = False) -> int:
    text = os.environ.get(name, "").strip()
    if not text:
        return default
    match = re.match(r"(\d+)\s*([KMGT]?)B?\Z", text.upper()) if units else re.match(r"(\d+)()\Z", text)
    if not match:
        raise PluginError("%s must be a whole number%s, not %r" % (name, " of bytes (or with K, M, G)" if units
                                                                    else " of seconds", text))
    return int(match.group(1)) * _UNITS[match.group(2)]


def limits(source: str = "") -> Dict[str, int]:
    """The limits for work on `source`: memory (beyond what the caller
    holds) and file size in bytes, CPU and wall-clock time in seconds."""
    size = _size_of(source)
    megabytes = size // (1 << 20) + 1
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return {
        "memory": _from_environment("VELTRIX_MEMORY_LIMIT", MEMORY_BASE + MEMORY_PER_SOURCE_BYTE * size, True),
        "cpu": _from_environment("VELTRIX_CPU_LIMIT", (CPU_BASE + CPU_PER_SOURCE_MB * megabytes) * cores),
        "time": _from_environment("VELTRIX_TIME_LIMIT", TIME_BASE + TIME_PER_SOURCE_MB * megabytes),
        "file": FILE_BASE + FILE_PER_SOURCE_BYTE * size,
    }


def _contained_here() -> bool:
    return sys.platform.startswith("linux") and hasattr(os, "fork")


def contained(run: ConversionRun, work: Callable[[], Any], source: str = "") -> Any:
    """`work()`'s JSON result, the work done where a miss is contained (see
    the module's text)."""
    if not _contained_here():
        return json.loads(json.dumps(work()))
    bounds = limits(source)
    bounds["data"] = _data_size() + bounds["memory"]
    reader, writer = os.pipe()
    single_threaded = _torch_in_parent()
    with warnings.catch_warnings():  # forking with threads: see _torch_in_parent
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # the child: never returns, never unwinds the caller's frames
        os.close(reader)
        _child(run, work, bounds, writer, single_threaded)
    os.close(writer)
    try:
        payload, stopped = _receive(reader, bounds["time"])
    except BaseException:
        _stop(pid)
        raise
    finally:
        os.close(reader)
    source = source or "the model"
    if stopped:
        _stop(pid)
        raise PluginError("The work on %s did not finish within its time limit of %d s, and was stopped (raise it "
                          "with VELTRIX_TIME_LIMIT=SECONDS)" % (source, bounds["time"]) if stopped == "time" else
                          "The work on %s gave a result of more than %d bytes, and was stopped" % (source, MAX_RESULT))
    return _outcome(run, payload, _reap(pid), bounds, source)


def _data_size() -> int:
    """The calling process's data segment (what RLIMIT_DATA counts), in bytes."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmData:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return 0


def _torch_in_parent() -> bool:
    """Whether the child must keep PyTorch to one thread: GNU OpenMP's thread
    pool does not survive fork, and a child entering a parallel region that
    the parent's pool served waits forever. Whether the parent's pool ever ran
    cannot be told from outside, so a parent that imported PyTorch gives a
    child PyTorch on one thread; a parent that did not lets the child import
    it afresh, on every core."""
    return "torch" in sys.modules


def _receive(reader: int, deadline: float) -> Tuple[bytes, str]:
    """Everything the child writes until it closes the pipe; with "time" or
    "size" instead when the deadline passes first or it sends more than
    MAX_RESULT bytes (the child is then still running)."""
    chunks: List[bytes] = []
    size = 0
    end = time.monotonic() + deadline
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return b"", "time"
        ready, _, _ = select.select([reader], [], [], min(left, 1.0))
        if not ready:
            continue
        chunk = os.read(reader, 1 << 16)
        if not chunk:
            return b"".join(chunks), ""
        size += len(chunk)
        if size > MAX_RESULT:
            return b"", "size"
        chunks.append(chunk)


def _stop(pid: int) -> None:
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    _reap(pid)


def _reap(pid: int) -> int:
    """The child's wait status, once it ended."""
    while True:
        try:
            return os.waitpid(pid, 0)[1]
        except InterruptedError:
            continue
        except ChildProcessError:
            return 0


_SIGNALS = {signal.SIGXCPU: "reached its CPU-time limit of {cpu} s (raise it with VELTRIX_CPU_LIMIT=SECONDS)",
            signal.SIGXFSZ: "wrote a file larger than its limit of {file} bytes",
            signal.SIGKILL: "was killed (by its CPU-time limit, or by the system when memory ran out)",
            signal.SIGSEGV: "crashed (segmentation fault)", signal.SIGBUS: "crashed (bus error)",
            signal.SIGABRT: "crashed (aborted)", signal.SIGILL: "crashed (illegal instruction)",
            signal.SIGFPE: "crashed (arithmetic fault)"}


def _outcome(run: ConversionRun, payload: bytes, status: int, bounds: Dict[str, int], source: str) -> Any:
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        what = _SIGNALS.get(number, "was stopped by signal %d" % number).format(**bounds)
        raise PluginError("The work on %s %s" % (source, what))
    try:
        answer = json.loads(payload) if payload else None
    except (ValueError, RecursionError):
        answer = None
    if not isinstance(answer, dict) or not isinstance(answer.get("warnings", []), list):
        raise PluginError("The work on %s ended without a result (exit status %d)" % (
            source, os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1))
    run.warnings.extend(str(w) for w in answer.get("warnings", []))
    if "result" in answer:
        return answer["result"]
    message = str(answer.get("error", ""))
    kind = str(answer.get("type", ""))
    if kind == "PluginError":
        raise PluginError(message)
    if kind == "MemoryError":
        raise PluginError("The work on %s ran out of memory within its limit of %.1f GB (raise it with "
                          "VELTRIX_MEMORY_LIMIT=BYTES): %s" % (source, bounds["memory"] / (1 << 30), message))
    name = kind if re.match(r"[A-Za-z_]\w{0,79}\Z", kind) else "ContainedError"
    raise type(name, (ContainedError,), {})(message)


def _child(run: ConversionRun, work: Callable[[], Any], bounds: Dict[str, int], writer: int,
           single_threaded: bool) -> None:
    """The child's whole life: confine itself, run `work`, send the answer
    and exit without running anything of the caller's (no unwinding, no
    exit handlers)."""
    code = 70
    try:
        data = json.dumps(_answer(run, work, bounds, writer, single_threaded)).encode()
        view = memoryview(data)
        while view:
            view = view[os.write(writer, view):]
        code = 0
    except BaseException:  # Ctrl-C, a write to a gone parent: nothing more to say
        pass
    finally:
        os._exit(code)


def _answer(run: ConversionRun, work: Callable[[], Any], bounds: Dict[str, int], writer: int,
            single_threaded: bool) -> Dict[str, Any]:
    """What the child sends back: {"result": ...} or {"error": ..., "type": ...},
    with the warnings `work` added."""
    kept = len(run.warnings)
    try:
        stream = getattr(run.progress, "stream", None)
        _close_inherited({0, 1, 2, writer} | ({stream.fileno()} if stream is not None else set()))
        _confine(run.workdir, bounds)
        if single_threaded:
            sys.modules["torch"].set_num_threads(1)
    except Exception as exc:  # a confinement this machine refused: say so rather than work unconfined
        return {"error": "The work could not be confined (%s: %s)" % (type(exc).__name__, exc), "type": "PluginError",
                "warnings": []}
    answer: Dict[str, Any]
    try:
        result = work()
    except PluginError as exc:
        answer = {"error": str(exc), "type": "PluginError"}
    except MemoryError as exc:
        answer = {"error": str(exc), "type": "MemoryError"}
    except Exception as exc:  # a library's error, given back by name and message
        answer = {"error": str(exc)[:MAX_RESULT // 4], "type": type(exc).__name__}
    except SystemExit as exc:  # a library that ends the process
        answer = {"error": "The work ended its process (exit status %s)" % exc.code, "type": "PluginError"}
    else:
        try:
            json.dumps(result)
            answer = {"result": result}
        except (TypeError, ValueError) as exc:
            answer = {"error": "the work gave a result that is not JSON (%s)" % exc, "type": "PluginError"}
    answer["warnings"] = [str(w) for w in run.warnings[kept:]]
    return answer


def _close_inherited(keep: set) -> None:
    """Close what the child inherited that leads out of it: pipes, sockets
    and files open for writing (a batch worker's channel to its engine, say),
    but not the libraries' own descriptors (event files, read-only files)."""
    import fcntl
    import stat
    for entry in os.listdir("/proc/self/fd"):
        fd = int(entry)
        if fd in keep:
            continue
        try:
            mode = os.fstat(fd).st_mode
            writable = fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE in (os.O_WRONLY, os.O_RDWR)
            if stat.S_ISSOCK(mode) or stat.S_ISFIFO(mode) or (stat.S_ISREG(mode) and writable):
                os.close(fd)
        except OSError:
            continue


def _confine(workdir: str, bounds: Dict[str, int]) -> None:
    import resource
    _die_with_parent()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGXFSZ):
        try:
            signal.signal(number, signal.SIG_DFL)  # stop at once (Python ignores SIGXFSZ); the parent reports
        except ValueError:  # not the main thread: the parent still stops the child
            pass
    os.dup2(2, 1)  # native output to standard output would mix with the command's own (its --json)
    for kind, soft, hard in ((resource.RLIMIT_CORE, 0, 0), (resource.RLIMIT_DATA, bounds["data"], bounds["data"]),
                             (resource.RLIMIT_CPU, bounds["cpu"], bounds["cpu"] + 5),
                             (resource.RLIMIT_FSIZE, bounds["file"], bounds["file"])):
        _, ceiling = resource.getrlimit(kind)
        if ceiling != resource.RLIM_INFINITY:  # a stricter limit set by whoever started us stays
            soft, hard = min(soft, ceiling), min(hard, ceiling)
        resource.setrlimit(kind, (soft, hard))
    temporary = os.path.join(workdir, "tmp")
    os.makedirs(temporary, exist_ok=True)
    for name in ("TMPDIR", "TEMP", "TMP"):
        os.environ[name] = temporary
    import tempfile
    tempfile.tempdir = None
    sys.dont_write_bytecode = True
    _own_network()
    _landlock(workdir)
    _no_unix_sockets()


_LIBC: Optional[Any] = None


def _libc() -> Any:
    global _LIBC
    if _LIBC is None:
        _LIBC = ctypes.CDLL(None, use_errno=True)
    return _LIBC


def _die_with_parent() -> None:
    parent = os.getppid()
    _libc().prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    if os.getppid() != parent:
        os._exit(70)


def _own_network() -> bool:
    """A user and network namespace of the child's own: no interface but a
    loopback that is down, so no name lookup or connection leaves it. False
    where unprivileged namespaces are not allowed."""
    uid, gid = os.getuid(), os.getgid()
    if _libc().unshare(0x10000000 | 0x40000000) != 0:  # CLONE_NEWUSER | CLONE_NEWNET
        return False
    try:  # keep our own ids inside, so files and ownership checks read as before
        with open("/proc/self/setgroups", "w") as f:
            f.write("deny")
        with open("/proc/self/uid_map", "w") as f:
            f.write("%d %d 1" % (uid, uid))
        with open("/proc/self/gid_map", "w") as f:
            f.write("%d %d 1" % (gid, gid))
    except OSError:
        pass
    return True


# Landlock (Linux 5.13+): file-system rights we handle (all that write), by ABI version
_WRITE_RIGHTS = {1: 0x1FF2, 2: 0x3FF2, 3: 0x7FF2}
_SYSCALLS = {"create": 444, "add": 445, "restrict": 446}
_SCOPES = 0x3  # LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL (ABI 6)


class _RulesetAttr(ctypes.Structure):
    # the size given to the kernel says which fields it reads: the first from ABI 1, the network from
    # ABI 4, the scopes from ABI 6
    _fields_ = [("handled_access_fs", ctypes.c_uint64), ("handled_access_net", ctypes.c_uint64),
                ("scoped", ctypes.c_uint64)]


class _PathBeneath(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("allowed_access", ctypes.c_uint64), ("parent_fd", ctypes.c_int32)]


def landlock_version() -> int:
    """The Landlock ABI version of this kernel, 0 where it has none."""
    if not sys.platform.startswith("linux"):
        return 0
    version = _libc().syscall(_SYSCALLS["create"], None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return max(version, 0)


def _landlock(workdir: str) -> bool:
    """Writes allowed only beneath the work folder, /dev/null and /dev/shm;
    TCP connections and binds denied where the ABI has network rules;
    signals and abstract Unix sockets kept within where it has scopes.
    False where the kernel has no Landlock."""
    version = landlock_version()
    if version < 1:
        return False
    rights = _WRITE_RIGHTS[min(version, 3)]
    attr = _RulesetAttr(rights, 0x3 if version >= 4 else 0, _SCOPES if version >= 6 else 0)  # BIND_TCP | CONNECT_TCP
    size = 24 if version >= 6 else 16 if version >= 4 else 8
    libc = _libc()
    ruleset = libc.syscall(_SYSCALLS["create"], ctypes.byref(attr), ctypes.c_size_t(size), ctypes.c_uint32(0))
    if ruleset < 0:
        return False
    try:
        for path, allowed in ((workdir, rights), ("/dev/shm", rights), ("/dev/null", 0x2)):  # WRITE_FILE
            try:
                fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
            except OSError:
                continue
            try:
                rule = _PathBeneath(allowed, fd)
                libc.syscall(_SYSCALLS["add"], ruleset, 1, ctypes.byref(rule), ctypes.c_uint32(0))
            finally:
                os.close(fd)
        if libc.prctl(38, 1, 0, 0, 0) != 0:  # PR_SET_NO_NEW_PRIVS
            return False
        return libc.syscall(_SYSCALLS["restrict"], ruleset, ctypes.c_uint32(0)) == 0
    finally:
        os.close(ruleset)


# seccomp: the calls refused, by the audit architecture of the call (AUDIT_ARCH_*): the native
# one and its 32-bit mode (int 0x80 on x86_64), each call with "unix" (refused when its first
# argument, the address family, is AF_UNIX) or the errno it fails with. Each architecture's socket()
# and io_uring_setup() (whose operations the filter would not see); on i386 socketcall(), whose
# family the filter cannot read, refused whole (no 64-bit process uses it).
_X32 = 0x40000000  # x86_64's x32 calls: the same numbers with this bit
_REFUSED = {
    0xC000003E: ((41, "unix"), (_X32 | 41, "unix"), (425, "EPERM"), (_X32 | 425, "EPERM")),  # x86_64
    0x40000003: ((359, "unix"), (102, "EACCES"), (425, "EPERM")),  # i386
    0xC00000B7: ((198, "unix"), (425, "EPERM")),  # aarch64
    0x40000028: ((281, "unix"), (425, "EPERM")),  # arm
}
_MACHINES = ("x86_64", "aarch64")  # where the filter is installed (in a 64-bit process)


class _SockFilter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]


class _SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(_SockFilter))]


def _filter_program() -> List[Tuple[int, int, int, int]]:
    """The classic BPF program refusing the calls of _REFUSED, allowing
    everything else: (code, jump if equal, jump if not, value) each."""
    load, jump_if_equal, give = 0x20, 0x15, 0x06  # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, BPF_RET|BPF_K
    allow, error = 0x7FFF0000, 0x00050000  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO
    code: List[Tuple[int, Any, int]] = []
    labels: Dict[Any, int] = {}
    code.append((load, None, 4))  # seccomp_data.arch
    code.extend((jump_if_equal, ("arch", arch), arch) for arch in _REFUSED)
    code.append((give, None, allow))
    for arch, calls in _REFUSED.items():
        labels[("arch", arch)] = len(code)
        code.append((load, None, 0))  # seccomp_data.nr
        code.extend((jump_if_equal, answer, number) for number, answer in calls)
        code.append((give, None, allow))
    labels["unix"] = len(code)
    code += [(load, None, 16), (jump_if_equal, "EACCES", 1), (give, None, allow)]  # args[0]'s low half: an int
    for name in ("EACCES", "EPERM"):
        labels[name] = len(code)
        code.append((give, None, error | getattr(errno, name)))
    return [(op, labels[to] - i - 1 if to is not None else 0, 0, value) for i, (op, to, value) in enumerate(code)]


def seccomp_filter_here() -> bool:
    """Whether the child gets the seccomp filter on this machine: a 64-bit
    process on x86_64 or aarch64, and a kernel with seccomp."""
    if not _contained_here() or os.uname().machine not in _MACHINES or sys.maxsize < 1 << 32:
        return False
    zero = ctypes.c_ulong(0)
    return _libc().prctl(21, zero, zero, zero, zero) >= 0  # PR_GET_SECCOMP: EINVAL without seccomp


def _no_unix_sockets() -> bool:
    """The seccomp filter of _REFUSED installed on this process and what it
    starts. False where the machine has none (see seccomp_filter_here)."""
    if not seccomp_filter_here():
        return False
    program = _filter_program()
    instructions = (_SockFilter * len(program))(*(_SockFilter(*step) for step in program))
    libc, zero = _libc(), ctypes.c_ulong(0)
    if libc.prctl(38, ctypes.c_ulong(1), zero, zero, zero) != 0:  # PR_SET_NO_NEW_PRIVS
        return False
    fprog = _SockFprog(len(program), instructions)
    return libc.prctl(22, ctypes.c_ulong(2), ctypes.byref(fprog), zero, zero) == 0  # PR_SET_SECCOMP, MODE_FILTER


def measures() -> List[str]:
    """What containment applies on this machine, in words (a child is forked
    to find out whether namespaces and the seccomp filter are allowed)."""
    if not _contained_here():
        return ["none: the work runs in the calling process (containment needs Linux)"]
    found = ["a child process with memory, CPU-time, file-size and wall-clock limits"]
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        os.write(writer, b"".join(b"1" if step() else b"0" for step in (_own_network, _no_unix_sockets)))
        os._exit(0)
    os.close(writer)
    told = os.read(reader, 2)
    os.close(reader)
    _reap(pid)
    found.append("a network of its own (user and network namespace)" if told[:1] == b"1"
                 else "no network namespace (unprivileged user namespaces are not allowed here)")
    version = landlock_version()
    found.append("Landlock ABI %d: writes only in its work folder%s%s" % (
        version, ", TCP connections denied" if version >= 4 else "; TCP not confined (ABI 4 needed)",
        ", no signals to or abstract Unix sockets of processes outside" if version >= 6 else
        "; signals to the user's other processes not confined (ABI 6 needed)") if version
                 else "no Landlock (the kernel lacks it): writes, TCP and signals are not confined")
    found.append("a seccomp filter: no Unix sockets (socketpair works), no io_uring" if told[1:] == b"1" else
                 "no seccomp filter (%s): Unix sockets on the file system are reachable" % (
                     "not on this architecture" if os.uname().machine not in _MACHINES or sys.maxsize < 1 << 32
                     else "the kernel refused it"))
    return found
