"""The same jobs as Ray tasks, for a cluster (`--ray ADDRESS`, `--ray auto`
for the cluster this machine belongs to, `--ray local` for a private one
on this machine).

Each task asks Ray for one CPU and the job's memory, and runs its job
through a `WorkerProcess` kept by the Ray worker process that runs it, so
that a job ends exactly as it does locally (its report, a crash, the
timeout and the memory limit), and a Ray worker that runs several jobs
keeps its frameworks loaded. A task whose node dies is run again by Ray.
Every node needs the plug-ins installed, and the sources and destinations
on storage every node sees under the same paths.

Ray is imported with its usage statistics off: nothing is sent anywhere.
"""

import atexit
import os
import re
import secrets
import select
import shutil
import signal
import socket
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional, Tuple

from veltrix.converter.batch.engines import Events, signal_of
from veltrix.converter.batch.jobs import Job
from veltrix.converter.batch.supervisor import STOP_GRACE, WATCH_INTERVAL, WorkerProcess, failure

# How often Ray runs a task again whose worker or node died.
RETRIES = 3

_WORKER: Optional[WorkerProcess] = None
# The temporary folders of the warm workers Ray worker processes keep.
FOLDER_PREFIX = "veltrix-batch-ray-"


def import_ray(private: bool = False) -> Any:
    """Ray, with its usage statistics off (and set up for a private cluster
    of this machine: Ray reads its settings when first imported);
    ImportError naming the extra that provides it."""
    os.environ["RAY_USAGE_STATS_ENABLED"] = "0"
    if private and "ray" not in sys.modules:
        _private_cluster()
    try:
        import ray
    except ImportError as exc:
        raise ImportError("--ray needs Ray: pip install \"veltrix-converter[ray]\" (%s)" % exc) from exc
    return ray


def _sweep(folder: str) -> None:
    """Remove the folders of warm workers whose Ray worker process is gone
    (Ray ends its idle workers without running their exit handlers)."""
    for name in os.listdir(folder):
        found = re.fullmatch(re.escape(FOLDER_PREFIX) + r"(\d+)-.*", name)
        if found and int(found.group(1)) != os.getpid():
            try:
                os.kill(int(found.group(1)), 0)
            except ProcessLookupError:
                shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
            except OSError:
                pass


def run_on_node(payload: Dict[str, Any], timeout: float, memory_limit: int) -> Tuple[Dict[str, Any], str]:
    """One job in a Ray task: (its report, the worker's name)."""
    global _WORKER
    if _WORKER is None:
        folder = tempfile.gettempdir()
        _sweep(folder)
        _WORKER = WorkerProcess("%s%d" % (FOLDER_PREFIX, os.getpid()), folder)
        _WORKER.name = "ray-%s-%d" % (socket.gethostname(), os.getpid())
        atexit.register(_WORKER.close, 0)
    worker = _WORKER
    worker.timeout, worker.memory_limit = timeout, memory_limit
    worker.assign(payload)
    try:
        while True:
            select.select([worker], [], [], WATCH_INTERVAL)
            ended = worker.update()
            if ended is not None:
                return ended[1], worker.name
    except KeyboardInterrupt:  # the batch was stopped: the job unwinds as the single command does
        worker.stop(signal.SIGINT)
        while worker.update() is None:
            select.select([worker], [], [], WATCH_INTERVAL)
        raise


def _private_cluster() -> None:
    """What `--ray local` starts is this batch's alone: on the loopback
    address only, and with a token of this run (kept in the environment its
    processes inherit, where Ray would otherwise write one into the home
    folder), unless the user configured Ray's authentication."""
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"  # Ray's switch for a cluster of this machine only
    if "RAY_AUTH_MODE" not in os.environ:
        os.environ["RAY_AUTH_MODE"] = "token"
        os.environ["RAY_AUTH_TOKEN"] = secrets.token_hex(32)


class RayEngine:
    """Ray tasks on a cluster."""

    def __init__(self, address: str, workers: int = 0, timeout: float = 0, memory_limit: int = 0,
                 memory_request: int = 0) -> None:
        self.address, self.workers, self.timeout = address, workers, timeout
        self.memory_limit, self.memory_request = memory_limit, memory_request
        self.description = "Ray at %s" % address
        self._folder = ""

    def _connect(self) -> Any:
        import logging
        ray = import_ray(private=self.address == "local")
        if self.address == "local":
            # its sessions and logs in a folder of this run, removed after (short: Ray's socket paths are limited)
            self._folder = tempfile.mkdtemp(prefix="vxray-")
            # the temporary folder of its workers too (Ray ends them without their exit handlers)
            os.makedirs(os.path.join(self._folder, "tmp"))
            os.environ["TMPDIR"] = os.path.join(self._folder, "tmp")
            ray.init(num_cpus=self.workers or None, include_dashboard=False, logging_level=logging.ERROR,
                     log_to_driver=False, _temp_dir=self._folder)
        else:
            ray.init(address=self.address, logging_level=logging.ERROR, log_to_driver=False)
        return ray

    def run(self, jobs: List[Job], events: Events) -> None:
        ray = self._connect()
        try:
            slots = max(1, int(ray.cluster_resources().get("CPU", 1)))
            if self.workers:
                slots = min(slots, self.workers)
            options: Dict[str, Any] = {"num_cpus": 1, "max_retries": RETRIES, "retry_exceptions": False}
            if self.memory_request:
                options["memory"] = self.memory_request
            task = ray.remote(run_on_node).options(**options)
            pending = list(jobs)
            running: Dict[Any, Job] = {}
            try:
                while pending or running:
                    while pending and len(running) < slots:
                        job = pending.pop(0)
                        payload = dict(job.payload(), plugin=job.plugin)
                        running[task.remote(payload, self.timeout, self.memory_limit)] = job
                        events.started(job, "ray")
                    done, _ = ray.wait(list(running), num_returns=1, timeout=WATCH_INTERVAL * 5)
                    for ref in done:
                        job = running.pop(ref)
                        events.finished(job, self._result(ray, ref, job))
                    events.waiting()
            except KeyboardInterrupt as exc:
                for ref in running:
                    ray.cancel(ref)
                deadline = time.monotonic() + STOP_GRACE
                while running and time.monotonic() < deadline:
                    done, _ = ray.wait(list(running), num_returns=len(running), timeout=1)
                    if len(done) == len(running):
                        break
                for job in running.values():
                    record = failure(dict(job.payload(), plugin=job.plugin), "stopped", "interrupted")
                    record["exit_status"] = 143 if signal_of(exc) == signal.SIGTERM else 130
                    events.finished(job, dict(record, worker="ray", time=0.0, memory=0))
                raise
        finally:
            ray.shutdown()
            if self._folder:
                shutil.rmtree(self._folder, ignore_errors=True)

    @staticmethod
    def _result(ray: Any, ref: Any, job: Job) -> Dict[str, Any]:
        try:
            record, worker = ray.get(ref)
            return dict(record, worker=worker)
        except Exception as exc:  # the task could not run (its node died RETRIES times, ...)
            lines = str(exc).strip().splitlines()
            message = "Ray could not run the job: %s%s" % (type(exc).__name__, ": " + lines[0] if lines else "")
            return dict(failure(dict(job.payload(), plugin=job.plugin), message), worker="ray", time=0.0, memory=0)
