"""What people see while a batch runs and when it ends: one line per job
that ends (on standard output, for people and logs alike), a progress bar
on standard error when it is a terminal (jobs done, failed, running, time
left), and the summary table (counts, failures with their first line,
total and per-format times)."""

import os
import shutil
import sys
import time
from typing import Any, Dict, List, Optional, TextIO, Tuple

from veltrix.converter.batch.jobs import Job
from veltrix.converter.plugin_api.helpers.progress import is_terminal, write_or_drop

BAR_WIDTH = 24


def duration(seconds: float) -> str:
    seconds = max(0, int(round(seconds)))
    if seconds >= 3600:
        return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
    return "%d:%02d" % (seconds // 60, seconds % 60)


def first_line(text: Any) -> str:
    lines = [line.strip() for line in str(text or "").splitlines() if line.strip()]
    return lines[0] if lines else ""


def _shown(path: str, base: str) -> str:
    """A path as short as it is clear: relative to the job file's folder when inside it."""
    relative = os.path.relpath(path, base)
    return path if relative.startswith(os.pardir) else relative


class Progress:
    """The lines and the bar of one batch."""

    def __init__(self, total: int, base: str, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> None:
        self.total, self.base = total, base
        self.out, self.err = out or sys.stdout, err or sys.stderr
        self.bar = is_terminal(self.err)
        self.done = self.failed = self.skipped = 0
        self.running: Dict[int, str] = {}
        self.start = time.monotonic()
        self._drawn = 0.0

    def _clear(self) -> None:
        if self.bar:
            self.bar = write_or_drop(self.err, "\r\033[K")

    def _draw(self) -> None:
        if not self.bar:
            return
        finished = self.done + self.failed
        share = finished / self.total if self.total else 1.0
        filled = int(round(share * BAR_WIDTH))
        left = ""
        ran = finished - self.skipped
        if 0 < ran and finished < self.total:
            per_job = (time.monotonic() - self.start) / ran
            left = ", %s left" % duration(per_job * (self.total - finished))
        text = "[%s%s] %d/%d done, %d failed, %d running%s" % (
            "#" * filled, "-" * (BAR_WIDTH - filled), finished, self.total, self.failed, len(self.running), left)
        width = shutil.get_terminal_size((80, 24)).columns - 1  # a wrapped bar could not be redrawn in place
        self.bar = write_or_drop(self.err, "\r\033[K" + text[:width])
        self._drawn = time.monotonic()

    def _line(self, text: str) -> None:
        self._clear()
        write_or_drop(self.out, text + "\n")
        self._draw()

    def waiting(self) -> None:
        """Called while jobs run: the time left, brought up to date each second."""
        if self.bar and time.monotonic() - self._drawn >= 1.0:
            self._draw()

    def skipped_jobs(self, jobs: List[Job]) -> None:
        for job in jobs:
            self.done += 1
            self.skipped += 1
            self._line("[%*d/%d] UP TO DATE %s -> %s" % (len(str(self.total)), self.done + self.failed, self.total,
                                                         _shown(job.source, self.base), _shown(job.dest, self.base)))

    def started(self, job: Job, worker: str) -> None:
        self.running[job.number] = worker
        self._draw()

    def finished(self, job: Job, record: Dict[str, Any]) -> None:
        self.running.pop(job.number, None)
        ok = record.get("status") == "success"
        if ok:
            self.done += 1
        else:
            self.failed += 1
        word = "SUCCESS" if ok else str(record.get("status", "failure")).upper()
        text = "[%*d/%d] %s %s -> %s (%s, %s, %.1f s)" % (
            len(str(self.total)), self.done + self.failed, self.total, word, _shown(job.source, self.base),
            _shown(job.dest, self.base), record.get("plugin") or job.plugin, record.get("worker"),
            float(record.get("time") or 0))
        if not ok:
            text += ": " + first_line(record.get("message"))
        self._line(text)

    def close(self) -> None:
        self._clear()


def summary(lines: List[Tuple[Job, Dict[str, Any]]], seconds: float, report_path: str, base: str,
            engine: str) -> str:
    """The table printed when a batch ends."""
    counts: Dict[str, int] = {}
    for _, line in lines:
        status = "up to date" if line.get("skipped") else str(line.get("status"))
        counts[status] = counts.get(status, 0) + 1
    order = ["success", "up to date", "failure", "interrupted", "not run"]
    names = {"success": "converted", "failure": "failed"}
    parts = ["%d %s" % (counts[s], names.get(s, s)) for s in order + sorted(set(counts) - set(order)) if counts.get(s)]
    text = ["", "%d job%s in %s on %s: %s" % (len(lines), "" if len(lines) == 1 else "s", duration(seconds), engine,
                                              ", ".join(parts) or "none"),
            "report: %s" % report_path]
    failures = [(job, line) for job, line in lines if line.get("status") not in ("success",)]
    if failures:
        text += ["", "Not converted:"]
        width = max(len(str(job.row)) for job, _ in failures)
        for job, line in sorted(failures, key=lambda item: item[0].number):
            text.append("  row %*d  %s -> %s: %s%s" % (
                width, job.row, _shown(job.source, base), _shown(job.dest, base),
                "" if line.get("status") == "failure" else "%s: " % line.get("status"), first_line(line.get("message"))))
    formats: Dict[str, List[float]] = {}
    for job, line in lines:
        if not line.get("skipped") and line.get("status") in ("success", "failure"):
            formats.setdefault(job.dest_type, []).append(float(line.get("time") or 0))
    if formats:
        text += ["", "  %-10s %5s %10s %10s %10s" % ("format", "jobs", "total", "mean", "longest")]
        for name in sorted(formats):
            times = formats[name]
            text.append("  %-10s %5d %9.1fs %9.1fs %9.1fs" % (name, len(times), sum(times), sum(times) / len(times),
                                                            max(times)))
    return "\n".join(text) + "\n"
