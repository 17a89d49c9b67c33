"""The batch's side of one warm worker: starting the process, handing it a
job, watching the job's time and the memory of the worker's process tree,
and turning a worker that died, overran `--timeout` or the memory limit
into that job's FAILURE with the reason. Local workers and Ray tasks both
run their jobs through a `WorkerProcess`, so a job ends the same way on
either."""

import json
import os
import select
import shutil
import signal
import site
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import IO, Any, Dict, List, Optional, Set, Tuple

from veltrix.converter.batch import processes

# How long a job stopped by SIGTERM or SIGINT may take to unwind (remove its
# work folder and partial files) before its process tree is killed.
STOP_GRACE = 10.0
# How often a running job's time and memory are looked at.
WATCH_INTERVAL = 0.2
# The prefix of the private folder beside a destination where the kit
# writes a model before moving it into place.
PARTIAL_PREFIX = ".vx-"


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def mebibytes(size: float) -> str:
    if size >= 2 ** 30:
        return "%.1f GiB" % (size / 2 ** 30)
    return "%.0f MiB" % (size / 2 ** 20)


def failure(job: Dict[str, Any], message: str, status: str = "failure") -> Dict[str, Any]:
    """The report of a job that the worker could not answer for."""
    return {"status": status, "message": message, "plugin": job.get("plugin"),
            "source": {"path": job["source"]}, "destination": {"path": job["dest"]},
            "exit_status": None, "stdout": "", "stderr": "", "source_sha256": None, "inputs_sha256": None,
            "destination_sha256": None}


def _fresh_path() -> Set[str]:
    """The module path a new interpreter of this environment has anyway."""
    paths = set(site.getsitepackages() if hasattr(site, "getsitepackages") else [])
    paths.add(site.getusersitepackages() if hasattr(site, "getusersitepackages") else "")
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        paths.add(sysconfig.get_paths().get(key, ""))
    return {os.path.abspath(p) for p in paths if p}


def worker_environment(tmpdir: str) -> Dict[str, str]:
    """The environment of a worker: this process's, with its own temporary
    folder (so work folders a killed job leaves go with the worker) and the
    module folders this process was given beyond the environment's own (so
    the worker finds the plug-ins the batch found)."""
    env = dict(os.environ)
    fresh = _fresh_path()
    # absolute, since each job runs from its job file's folder
    extra = [os.path.abspath(p) for p in sys.path if p and os.path.isdir(p) and os.path.abspath(p) not in fresh
             and not p.endswith(".zip")]
    given = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(given + extra))
    env["TMPDIR"] = tmpdir
    return env


class WorkerProcess:
    """One warm worker process and the job it runs. A result never depends
    on what the process converted before (the kit writes names a library
    numbers from a process-wide count by place), so every job may run in
    any warm worker."""

    def __init__(self, name: str, folder: str, timeout: float = 0, memory_limit: int = 0) -> None:
        self.name, self.timeout, self.memory_limit = name, timeout, memory_limit
        self._prefix = name + "-"  # of its temporary folder (the name shown may change)
        self.folder = tempfile.mkdtemp(prefix=self._prefix, dir=folder)
        self.process: Optional[subprocess.Popen] = None
        self._jobs: Optional[IO[str]] = None
        self._messages = -1
        self._buffer = b""
        self.converted = 0  # jobs the current process has run
        self.job: Optional[Dict[str, Any]] = None
        self.started_at: Optional[float] = None
        self.peak = 0  # the largest memory of the tree seen while the current job ran
        self._stopping: Optional[Tuple[str, float]] = None  # (reason, deadline) of a job being stopped
        self._partials: Set[str] = set()
        self._log_start = 0
        self.killed: List[Tuple[str, Set[str]]] = []  # (destination, partial folders before) of killed jobs

    # ------------------------------------------------------------ process

    def start(self) -> None:
        tmpdir = os.path.join(self.folder, "tmp")
        os.makedirs(tmpdir, exist_ok=True)
        jobs_read, jobs_write = os.pipe()
        messages_read, messages_write = os.pipe()
        log = open(os.path.join(self.folder, "log"), "ab")
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "veltrix.converter.batch.worker", str(jobs_read), str(messages_write),
                 self.folder],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(jobs_read, messages_write),
                env=worker_environment(tmpdir), start_new_session=True)
        finally:
            log.close()
            os.close(jobs_read)
            os.close(messages_write)
        self._jobs = os.fdopen(jobs_write, "w", encoding="utf-8")
        self._messages = messages_read
        self._buffer = b""
        self.converted = 0

    @property
    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def fileno(self) -> int:
        return self._messages

    def _read_messages(self) -> List[Dict[str, Any]]:
        found = []
        while True:
            ready, _, _ = select.select([self._messages], [], [], 0)
            if not ready:
                break
            try:
                data = os.read(self._messages, 65536)
            except OSError:
                data = b""
            if not data:
                break
            self._buffer += data
        *lines, self._buffer = self._buffer.split(b"\n")
        for line in lines:
            try:
                found.append(json.loads(line))
            except ValueError:
                pass
        return found

    def _log(self) -> str:
        """What the worker printed since the current job was handed to it (the last 8 KiB)."""
        try:
            with open(os.path.join(self.folder, "log"), "rb") as f:
                f.seek(0, os.SEEK_END)
                f.seek(max(self._log_start, f.tell() - 8192))
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    @staticmethod
    def _last_words(log: str) -> str:
        """The line that says why a process died: the interpreter's fatal
        error when it printed one, else its last line."""
        lines = [line.strip() for line in log.splitlines() if line.strip()]
        fatal = [line for line in lines if line.startswith("Fatal Python error")]
        return (fatal or lines or [""])[-1]

    def close(self, grace: float = STOP_GRACE) -> None:
        """End the worker: its jobs pipe closed (it leaves when idle), its tree
        killed after `grace` seconds, its folder removed."""
        if self._jobs is not None:
            try:
                self._jobs.close()
            except OSError:
                pass
            self._jobs = None
        if self.process is not None:
            try:
                self.process.wait(grace)
            except subprocess.TimeoutExpired:
                processes.kill_tree(self.process.pid)
                self.process.wait()
        if self._messages >= 0:
            os.close(self._messages)
            self._messages = -1
        shutil.rmtree(self.folder, ignore_errors=True)

    def _end(self) -> None:
        """Kill the worker's process tree and forget the process; its
        temporary folder (work folders included) goes with it."""
        if self.process is not None:
            processes.kill_tree(self.process.pid)
            self.process.wait()
        self.close(grace=0)
        self.folder = tempfile.mkdtemp(prefix=self._prefix, dir=os.path.dirname(self.folder))
        self.process = None

    # ---------------------------------------------------------------- jobs

    def assign(self, job: Dict[str, Any]) -> None:
        if self.process is not None and not self.alive:
            self._end()
        if self.process is None:
            self.start()
        self.job, self.started_at, self.peak, self._stopping = job, None, 0, None
        self._partials = _partials(job["dest"])
        try:
            self._log_start = os.path.getsize(os.path.join(self.folder, "log"))
        except OSError:
            self._log_start = 0
        try:
            assert self._jobs is not None
            self._jobs.write(json.dumps(job) + "\n")
            self._jobs.flush()
        except OSError:
            pass  # the worker died: `update` reports it

    def stop(self, signum: int, reason: str = "") -> None:
        """Stop the running job as the signal stops the single command; with
        `reason`, the job's FAILURE says it."""
        if self.job is not None and self.alive and self._stopping is None:
            self._stopping = (reason, time.monotonic() + STOP_GRACE)
            try:
                os.kill(self.process.pid, signum)  # type: ignore[union-attr]
            except OSError:
                pass

    def update(self) -> Optional[Tuple[Dict[str, Any], Dict[str, Any]]]:
        """Look at the worker: (job, its report) when the running job ended
        one way or another, else None."""
        if self.job is None:
            return None
        job = self.job
        alive = self.alive  # looked at first: a worker that ended has all its messages in the pipe
        for message in self._read_messages():
            if "started" in message:
                self.started_at = time.monotonic()
            elif "done" in message:
                self.converted += 1
                record = message.get("record") or {}
                if record.get("status") == "interrupted" and self._stopping is not None and self._stopping[0]:
                    record = dict(record, status="failure", message=self._stopping[0])
                return self._finish(record, worker_ended=bool(message.get("retire")))
        now = time.monotonic()
        if not alive:
            returncode = self.process.returncode if self.process is not None else None
            if self._stopping is not None:
                reason = self._stopping[0] or "stopped"
                return self._finish(failure(job, reason, "failure" if self._stopping[0] else "interrupted"), True)
            how = ("killed by %s" % _signal_name(-returncode)) if returncode is not None and returncode < 0 \
                else "exit status %s" % returncode
            log = self._log()
            words = self._last_words(log)
            record = failure(job, "the worker process ended while converting (%s)%s" % (how, ": " + words if words else ""))
            record["stderr"] = log
            return self._finish(record, True)
        if self.started_at is not None:
            memory = processes.tree_memory(self.process.pid)  # type: ignore[union-attr]
            self.peak = max(self.peak, memory)
            if self.memory_limit and memory > self.memory_limit:
                return self._finish(failure(job, "used %s, more than the memory limit of %s (--memory-limit)"
                                            % (mebibytes(memory), mebibytes(self.memory_limit))), True)
            if self.timeout and self._stopping is None and now - self.started_at > self.timeout:
                self.stop(signal.SIGTERM, "timed out after %g s (--timeout)" % self.timeout)
        if self._stopping is not None and now > self._stopping[1]:
            reason = self._stopping[0]
            return self._finish(failure(job, reason + " (killed: it did not stop within %g s)" % STOP_GRACE
                                        if reason else "stopped", "failure" if reason else "interrupted"), True)
        return None

    def _finish(self, record: Dict[str, Any], worker_ended: bool) -> Tuple[Dict[str, Any], Dict[str, Any]]:
        job = self.job
        assert job is not None
        record["time"] = round(time.monotonic() - self.started_at, 3) if self.started_at else 0.0
        record["memory"] = self.peak
        self.job, self.started_at, self._stopping = None, None, None
        if worker_ended:
            self._end()
            # a job that could not unwind leaves its private folder beside the destination
            remove_partials(job["dest"], self._partials)
            self.killed.append((job["dest"], self._partials))
        return job, record


def _partials(dest: str) -> Set[str]:
    folder = os.path.dirname(dest) or os.curdir
    try:
        return {n for n in os.listdir(folder) if n.startswith(PARTIAL_PREFIX)}
    except OSError:
        return set()


def remove_partials(dest: str, before: Set[str], idle: bool = False) -> None:
    """Remove what a killed job left beside its destination: the kit's
    private folders that appeared since the job started and hold only files
    named after that destination (the model and its companions). Once no
    job of the batch runs any more (`idle`), empty ones and those holding
    other files of the model's name go too."""
    folder = os.path.dirname(dest) or os.curdir
    name = os.path.basename(dest)
    stem, extension = os.path.splitext(name)

    def ours(entry: str) -> bool:
        if idle:
            return entry.startswith(stem)
        return entry == name or entry.startswith((name + ".", name + "_")) or (extension == ".xml" and entry == stem + ".bin")

    for partial in _partials(dest) - before:
        path = os.path.join(folder, partial)
        try:
            inside = os.listdir(path)
        except OSError:
            continue
        if (inside or idle) and all(ours(entry) for entry in inside):
            shutil.rmtree(path, ignore_errors=True)
