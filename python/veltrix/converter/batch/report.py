"""The batch's report, one JSON line per job: the job's `--json` report as
the single command prints it, with what the batch adds (the job, its
worker, time and memory, the versions, and the digests of its source and
destination). It is also the batch's memory: a job whose destination is
there, unchanged, and whose recorded report names the same source bytes,
options and versions is skipped the next time (`--force` redoes it).

The report is written as jobs end, a whole line at a time, so a batch
stopped in any way keeps what it finished; a later run resumes from it."""

import json
import os
import tempfile
from typing import Any, Dict, IO, List, Optional

from veltrix.converter.batch.digest import options_digest, result_digest, source_digest
from veltrix.converter.batch.jobs import Job

# The statuses of a job's line beyond the command's "success" and "failure".
INTERRUPTED, NOT_RUN = "interrupted", "not run"


def default_path(job_file: str) -> str:
    """`<name>.report.jsonl` beside the job file."""
    folder, name = os.path.split(os.path.abspath(job_file))
    return os.path.join(folder, os.path.splitext(name)[0] + ".report.jsonl")


def job_section(job: Job) -> Dict[str, Any]:
    return {"number": job.number, "row": job.row, "source": job.source, "dest": job.dest,
            "options": job.option_words(), "plugin": job.plugin}


def line_of(job: Job, record: Dict[str, Any]) -> Dict[str, Any]:
    """The report line of a job that ran (or did not)."""
    line = dict(record)
    line["job"] = job_section(job)
    line["versions"] = dict(job.versions)
    return line


def not_run(job: Job, why: str) -> Dict[str, Any]:
    return line_of(job, {"status": NOT_RUN, "message": why, "plugin": job.plugin, "worker": None, "time": 0.0,
                         "memory": 0, "exit_status": None, "source_sha256": None, "inputs_sha256": None,
                         "destination_sha256": None})


def previous(path: str) -> Dict[str, Dict[str, Any]]:
    """{destination: its last successful line} of an earlier report (lines
    that cannot be read are passed over: a report cut short by a crash)."""
    found: Dict[str, Dict[str, Any]] = {}
    try:
        with open(path, encoding="utf-8") as f:
            for text in f:
                try:
                    line = json.loads(text)
                except ValueError:
                    continue
                job = line.get("job") if isinstance(line, dict) else None
                if isinstance(job, dict) and isinstance(job.get("dest"), str) and line.get("status") == "success":
                    found[job["dest"]] = line
    except (OSError, UnicodeDecodeError):
        pass
    return found


def up_to_date(job: Job, line: Optional[Dict[str, Any]]) -> bool:
    """True when `line` (a recorded success) still describes what the job
    would make: the same source, destination and options, the same tool
    and plug-in versions, the source's bytes unchanged and the destination
    there with the bytes that were written, and the files and folders the
    options name (samples, inputs to verify on) as they were."""
    if line is None:
        return False
    recorded = line.get("job") or {}
    if (recorded.get("source"), recorded.get("dest"), recorded.get("options"), recorded.get("plugin")) != \
            (job.source, job.dest, job.option_words(), job.plugin) or line.get("versions") != job.versions:
        return False
    if not line.get("source_sha256") or not line.get("destination_sha256") or not os.path.exists(job.dest):
        return False
    return result_digest(job.dest) == line["destination_sha256"] and \
        source_digest(job.source, job.source_type) == line["source_sha256"] and \
        options_digest(job.options, job.folder or os.getcwd()) == line.get("inputs_sha256")


class ReportWriter:
    """The report file of one batch, written a line at a time."""

    def __init__(self, path: str, first: List[Dict[str, Any]]) -> None:
        """Start the report with `first` (the lines carried over from the
        last run): written to a new file that replaces the old one whole,
        so the old report is never lost half-way."""
        self.path = path
        folder = os.path.dirname(os.path.abspath(path))
        os.makedirs(folder, exist_ok=True)
        fd, partial = tempfile.mkstemp(prefix=".%s-" % os.path.basename(path), dir=folder)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                for line in first:
                    f.write(json.dumps(line, default=str) + "\n")
            os.replace(partial, path)
        except BaseException:
            try:
                os.unlink(partial)
            except OSError:
                pass
            raise
        self._file: Optional[IO[str]] = open(path, "a", encoding="utf-8")

    def write(self, line: Dict[str, Any]) -> None:
        assert self._file is not None
        self._file.write(json.dumps(line, default=str) + "\n")
        self._file.flush()

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None
