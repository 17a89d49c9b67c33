"""Where a batch's jobs run. An engine takes the jobs (in the batch's order)
and an `Events` listener, runs them, and tells the listener when a job
starts and when it ends with its report. On Ctrl-C or SIGTERM (raised in
the engine's thread as KeyboardInterrupt) it stops the running jobs the way
the single command stops, reports them as interrupted, and raises again.

`LocalEngine` (the default) keeps warm worker processes on this machine and
hands each free worker a job of the plug-in and source type it already
loaded; `RayEngine` (in `ray_engine`) runs the same jobs as Ray tasks."""

import select
import tempfile
import shutil
from typing import Dict, List, Optional, Protocol, Tuple

from veltrix.converter.batch.jobs import Job
from veltrix.converter.batch.supervisor import WATCH_INTERVAL, STOP_GRACE, WorkerProcess, remove_partials


class Events(Protocol):
    def started(self, job: Job, worker: str) -> None: ...

    def finished(self, job: Job, record: Dict) -> None: ...

    def waiting(self) -> None: ...


def signal_of(exc: BaseException) -> int:
    from veltrix.converter.console.signals import signal_of as console_signal_of
    return int(console_signal_of(exc))


def group_of(job: Job) -> Tuple[str, str]:
    """What a worker has loaded after a job: its plug-in and the source's type."""
    return job.plugin, job.source_type


def ordered(jobs: List[Job]) -> List[Job]:
    """The jobs grouped by plug-in and source type, groups in order of first
    appearance, rows in file order within a group."""
    first: Dict[Tuple[str, str], int] = {}
    for index, job in enumerate(jobs):
        first.setdefault(group_of(job), index)
    return sorted(jobs, key=lambda j: (first[group_of(j)], j.number))


def _next_job(pending: List[Job], last: Optional[Tuple[str, str]], busy: List[Tuple[str, str]]) -> Job:
    """The job a free worker takes: one of the group it last ran, else of a
    group no worker is on (the largest), else the first waiting."""
    for job in pending:
        if group_of(job) == last:
            return job
    counts: Dict[Tuple[str, str], int] = {}
    for job in pending:
        counts[group_of(job)] = counts.get(group_of(job), 0) + 1
    free = [g for g in counts if g not in busy]
    if free:
        wanted = max(free, key=lambda g: counts[g])
        return next(j for j in pending if group_of(j) == wanted)
    return pending[0]


class LocalEngine:
    """Warm worker processes on this machine."""

    def __init__(self, workers: int, timeout: float = 0, memory_limit: int = 0) -> None:
        self.workers, self.timeout, self.memory_limit = max(1, workers), timeout, memory_limit
        self.description = "%d local worker%s" % (self.workers, "" if self.workers == 1 else "s")

    def run(self, jobs: List[Job], events: Events) -> None:
        folder = tempfile.mkdtemp(prefix="veltrix-batch-")
        pool = [WorkerProcess("local-%d" % (i + 1), folder, self.timeout, self.memory_limit)
                for i in range(min(self.workers, len(jobs)))]
        pending = list(jobs)
        running: Dict[WorkerProcess, Job] = {}
        last: Dict[WorkerProcess, Tuple[str, str]] = {}
        try:
            for worker in pool:
                worker.start()  # all of them at once: they start their interpreters side by side
            try:
                while pending or running:
                    for worker in pool:
                        if worker not in running and pending:
                            job = _next_job(pending, last.get(worker), [group_of(j) for j in running.values()])
                            pending.remove(job)
                            running[worker] = job
                            worker.assign(dict(job.payload(), plugin=job.plugin))
                            events.started(job, worker.name)
                    self._watch(running, last, events)
                    events.waiting()
            except KeyboardInterrupt as exc:
                for worker in running:
                    worker.stop(signal_of(exc))
                while running:
                    self._watch(running, last, events)
                raise
        finally:
            for worker in pool:
                worker.close(grace=STOP_GRACE)
            for worker in pool:
                for dest, before in worker.killed:
                    remove_partials(dest, before, idle=True)
            shutil.rmtree(folder, ignore_errors=True)

    @staticmethod
    def _watch(running: Dict[WorkerProcess, Job], last: Dict[WorkerProcess, Tuple[str, str]], events: Events) -> None:
        ready = [w for w in running if w.fileno() >= 0]
        if ready:
            select.select(ready, [], [], WATCH_INTERVAL)
        for worker in list(running):
            ended = worker.update()
            if ended is not None:
                job = running.pop(worker)
                last[worker] = group_of(job)
                record = dict(ended[1], worker=worker.name)
                events.finished(job, record)
