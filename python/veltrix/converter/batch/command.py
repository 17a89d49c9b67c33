"""The `veltrix-batch` command (also `python -m veltrix.converter.batch`):
many conversions from a job file, each meaning exactly what the same
single `veltrix-converter` command means, in warm workers on this machine
or as Ray tasks on a cluster.

    veltrix-batch JOBS [--workers N] [--ray ADDRESS|auto|local] [--report FILE]
                  [--force] [--timeout SECONDS] [--memory-limit SIZE]
    veltrix-batch 'SOURCES_GLOB' 'DEST_PATTERN [options]' ...

Exit status: 0 every job succeeded (or was up to date), 1 a job failed (or
the batch could not run), 2 a job file or command line that cannot be
used, 130 Ctrl-C, 143 SIGTERM. A bad job file is refused before any work,
naming the row and column. Ctrl-C and SIGTERM stop the running jobs the
way they stop the single command (partial files removed), keep what
finished, and the report names the jobs that did not run.
"""

import argparse
import contextlib
import os
import re
import signal
import sys
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple

from veltrix.converter.batch import processes
from veltrix.converter.batch import report as reports
from veltrix.converter.batch.checks import check_jobs
from veltrix.converter.batch.engines import LocalEngine, ordered
from veltrix.converter.batch.jobs import Job, JobFileError, read_job_file, shorthand
from veltrix.converter.batch.progress import Progress, summary
from veltrix.converter.plugin_api.helpers.progress import write_or_drop

PROGRAM = "veltrix-batch"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143
# What one warm worker takes with a framework loaded and a small model in
# hand (TensorFlow: about 1 GiB): the default number of workers leaves each
# this much of the memory available.
WORKER_MEMORY = 1536 * 2 ** 20
SHORTHAND_REPORT = "veltrix-batch.report.jsonl"

USAGE_EPILOG = """\
A job file is CSV (columns source, dest and option names without dashes; an
empty cell means the option is not given) or JSON Lines (.jsonl, objects with
the same keys). Relative paths are relative to the job file's folder.

Without a job file: a glob of sources and destination patterns, each with the
options of its jobs ({name} is a source's name without its extension):
  veltrix-batch 'models/*.keras' 'out/{name}.tflite' 'out/{name}-int8.tflite --quantize true --samples images'

The report (JSON Lines, one line per job: its --json report, worker and time)
goes beside the job file as NAME.report.jsonl; a later run skips the jobs it
records as done with the same source bytes, options and versions.
"""


def _say(text: str) -> None:
    write_or_drop(sys.stderr, "%s: %s\n" % (PROGRAM, text))


def size(text: str) -> int:
    """A memory size: a number of MiB, or with a unit (K, M, G, T; B)."""
    found = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)(?:i?b)?\s*", text.lower())
    if not found:
        raise argparse.ArgumentTypeError("%r is not a size (such as 4G or 512M)" % text)
    number, unit = float(found.group(1)), found.group(2) or "m"
    return int(number * 2 ** (10 * " kmgt".index(unit)))


def _positive(kind: Any, what: str) -> Any:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not %s" % (text, what))
        if value < 0 or value != value:
            raise argparse.ArgumentTypeError("%r is not %s" % (text, what))
        return value
    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROGRAM, description="Convert many models, each as the single "
                                "veltrix-converter command would, in warm workers or on a Ray cluster.",
                                epilog=USAGE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("jobs", nargs="+", metavar="JOBS",
                   help="the job file (.csv or .jsonl), or a glob of sources followed by destination patterns")
    p.add_argument("--workers", type=_positive(int, "a number of workers"), default=0, metavar="N",
                   help="worker processes (default: the cores, as many as the memory allows)")
    p.add_argument("--ray", metavar="ADDRESS", help="run the jobs as Ray tasks: a cluster's address, auto "
                   "(the cluster this machine is part of) or local (a private one on this machine)")
    p.add_argument("--report", metavar="FILE", help="the JSON Lines report (default: beside the job file, "
                   "NAME.report.jsonl)")
    p.add_argument("--force", action="store_true", help="convert every job, even those the report records as done")
    p.add_argument("--timeout", type=_positive(float, "a number of seconds"), default=0, metavar="SECONDS",
                   help="fail a job that runs longer (default: no limit)")
    p.add_argument("--memory-limit", type=size, default=None, metavar="SIZE",
                   help="fail a job whose worker uses more memory (4G, 512M; default: the memory available "
                        "shared between the workers; 0: no limit)")
    p.add_argument("--version", action="version", version=_version())
    return p


def _version() -> str:
    from veltrix.converter import version
    return version()


def default_workers() -> int:
    available = processes.available_memory()
    count = processes.cores()
    if available:
        count = min(count, max(1, available // WORKER_MEMORY))
    return max(1, count)


def default_memory_limit(workers: int) -> int:
    available = processes.available_memory()
    return max(WORKER_MEMORY, int(available * 0.9) // max(1, workers)) if available else 0


class _Stop:
    """SIGINT and SIGTERM while the batch runs: the first raises
    KeyboardInterrupt (Terminated for SIGTERM) in the batch's thread, so
    the engine stops its jobs; later ones are only noted (the stopping is
    already under way). While a finished job is being recorded (`held`),
    the first waits until the record is whole. Signals inherited as
    ignored stay ignored."""

    def __init__(self) -> None:
        self.received: Optional[int] = None
        self._saved: Dict[int, Any] = {}
        self._holding = False
        self._pending = False

    def __enter__(self) -> "_Stop":
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                previous = signal.getsignal(signum)
                if previous is not signal.SIG_IGN:
                    self._saved[signum] = previous
                    signal.signal(signum, self)
            except ValueError:  # not the main thread: the caller keeps its signals
                break
        return self

    def _raise(self) -> None:
        from veltrix.converter.console.signals import Terminated
        raise Terminated() if self.received == signal.SIGTERM else KeyboardInterrupt()

    def __call__(self, signum: int, frame: Any) -> None:
        if self.received is None:
            self.received = signum
            if self._holding:
                self._pending = True
            else:
                self._raise()

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self._pending:
            self._pending = False
            self._raise()

    def __exit__(self, *exc: Any) -> None:
        for signum, previous in self._saved.items():
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)


class _Batch:
    """One run: the jobs' lines into the report and onto the screen."""

    def __init__(self, writer: reports.ReportWriter, progress: Progress, stop: _Stop) -> None:
        self.writer, self.progress, self.stop = writer, progress, stop
        self.lines: Dict[int, Tuple[Job, Dict[str, Any]]] = {}

    def started(self, job: Job, worker: str) -> None:
        self.progress.started(job, worker)

    def waiting(self) -> None:
        self.progress.waiting()

    def finished(self, job: Job, record: Dict[str, Any]) -> None:
        with self.stop.held():  # a job's line is written whole, and counted once
            if record.get("status") == reports.INTERRUPTED:
                record = dict(record, message="stopped by %s before it ended" % _signal_text(self.stop.received))
            line = reports.line_of(job, record)
            self.writer.write(line)
            self.lines[job.number] = (job, line)
            self.progress.finished(job, line)


def _signal_text(signum: Optional[int]) -> str:
    return "SIGTERM" if signum == signal.SIGTERM else "Ctrl-C"


def _read(args: argparse.Namespace) -> Tuple[List[Job], str, str, Optional[str]]:
    """The jobs, the report's path, the folder paths are shown from, the job file."""
    if len(args.jobs) == 1:
        job_file = os.path.abspath(args.jobs[0])
        return (read_job_file(job_file), os.path.abspath(args.report) if args.report
                else reports.default_path(job_file), os.path.dirname(job_file), job_file)
    jobs = shorthand(args.jobs[0], args.jobs[1:])
    return jobs, os.path.abspath(args.report or SHORTHAND_REPORT), os.getcwd(), None


def _engine(args: argparse.Namespace) -> Any:
    explicit_limit = args.memory_limit
    if args.ray:
        from veltrix.converter.batch.ray_engine import RayEngine
        return RayEngine(args.ray, workers=args.workers, timeout=args.timeout, memory_limit=explicit_limit or 0,
                         memory_request=explicit_limit or WORKER_MEMORY)
    workers = args.workers or default_workers()
    limit = default_memory_limit(workers) if explicit_limit is None else explicit_limit
    return LocalEngine(workers, timeout=args.timeout, memory_limit=limit)


def main(argv: Optional[List[str]] = None) -> int:
    """The command; its exit status."""
    try:
        args = parser().parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    with _Stop() as stop:
        try:
            return _run(args, stop)
        except KeyboardInterrupt:  # before any job started: nothing to stop
            signum = stop.received or signal.SIGINT
            write_or_drop(sys.stderr, "%s\n" % ("Terminated" if signum == signal.SIGTERM else "Interrupted"))
            return EXIT_TERMINATED if signum == signal.SIGTERM else EXIT_INTERRUPTED


def _run(args: argparse.Namespace, stop: _Stop) -> int:
    try:
        jobs, report_path, base, job_file = _read(args)
        protected = {report_path: "the report"}
        if job_file:
            protected[job_file] = "the job file"
        check_jobs(jobs, protected)
    except JobFileError as exc:
        _say("error: %s%s" % (args.jobs[0] + ": " if len(args.jobs) == 1 else "", exc))
        return EXIT_USAGE
    engine = _engine(args)
    if args.ray:
        try:
            from veltrix.converter.batch.ray_engine import import_ray
            import_ray(private=args.ray == "local")
        except ImportError as exc:
            _say("error: %s" % exc)
            return EXIT_FAILED
    earlier = {} if args.force else reports.previous(report_path)
    done = [job for job in jobs if reports.up_to_date(job, earlier.get(job.dest))]
    skipped = {job.number for job in done}
    to_run = ordered([job for job in jobs if job.number not in skipped])
    carried = [dict(earlier[job.dest], skipped="up to date", job=reports.job_section(job)) for job in done]
    try:
        writer = reports.ReportWriter(report_path, carried)
    except OSError as exc:
        _say("error: cannot write the report %s: %s" % (report_path, exc.strerror or exc))
        return EXIT_FAILED
    progress = Progress(len(jobs), base)
    batch = _Batch(writer, progress, stop)
    start = time.monotonic()
    status = EXIT_OK
    try:
        for job, line in zip(done, carried):
            batch.lines[job.number] = (job, line)
        write_or_drop(sys.stdout, "%d job%s: %d up to date, %d to run on %s\n" % (
            len(jobs), "" if len(jobs) == 1 else "s", len(done), len(to_run), engine.description))
        progress.skipped_jobs(done)
        if to_run:
            engine.run(to_run, batch)
    except KeyboardInterrupt:
        status = EXIT_TERMINATED if stop.received == signal.SIGTERM else EXIT_INTERRUPTED
    except Exception as exc:  # the engine could not run (Ray unreachable, ...): the jobs did not run
        _say("error: %s: %s" % (type(exc).__name__, " ".join(str(exc).split())))
        status = EXIT_FAILED
    finally:
        why = ("the batch was stopped by %s before this job ran" % _signal_text(stop.received)
               if stop.received else "the batch ended before this job ran")
        for job in jobs:
            if job.number not in batch.lines:
                line = reports.not_run(job, why)
                writer.write(line)
                batch.lines[job.number] = (job, line)
        writer.close()
        progress.close()
    lines = [batch.lines[job.number] for job in jobs]
    write_or_drop(sys.stdout, summary(lines, time.monotonic() - start, report_path, base, engine.description))
    if status in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        write_or_drop(sys.stderr, "%s\n" % ("Terminated" if status == EXIT_TERMINATED else "Interrupted"))
        return status
    if status == EXIT_OK and any(line.get("status") != "success" for _, line in lines):
        status = EXIT_FAILED
    return status


def run() -> None:
    """The console script."""
    sys.exit(main())
