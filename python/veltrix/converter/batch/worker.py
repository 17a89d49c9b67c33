"""A warm worker: one process that converts job after job, so that each
framework a plug-in imports is imported once per worker, not once per
model. Each job is the single command run in this process
(`single.run_command`), its answer sent back as one JSON line.

    python -m veltrix.converter.batch.worker IN_FD OUT_FD FOLDER

Jobs arrive as JSON lines on IN_FD; "ready", "started" and "done" messages
leave on OUT_FD. FOLDER (its log and temporary folder) goes when IN_FD
closes. Standard output is joined to standard error (the
supervisor's log of this worker), so nothing a library prints can mix
into the messages. SIGINT and SIGTERM stop the running job the way they
stop the single command: it unwinds, its work folder and partial files are
removed, and its answer says it was interrupted.
"""

import faulthandler
import json
import os
import shutil
import signal
import sys
from typing import Any, Dict, Optional

from veltrix.converter.batch.digest import options_digest, result_digest, source_digest

INTERRUPTED_STATUSES = (130, 143)


def _last_line(text: str) -> str:
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "the command printed nothing"


def run_job(payload: Dict[str, Any]) -> Dict[str, Any]:
    """The report of one job: the command's conversion report (what `--json`
    prints), its exit status and what it printed, and the digests that let
    a later batch skip it."""
    from veltrix.converter.batch import single
    folder = payload.get("folder") or os.getcwd()
    # the command run from the job file's folder: relative paths in options are read there
    os.chdir(folder)
    source = source_digest(payload["source"], payload.get("source_type"))
    inputs = options_digest([(str(k), str(v)) for k, v in payload.get("options", ())], folder)
    outcome = single.run_command(list(payload["words"]))
    if outcome.status in INTERRUPTED_STATUSES:
        record: Dict[str, Any] = _interrupted()
    elif outcome.report is not None:
        record = dict(outcome.report)
    else:  # not a conversion after all: what the command said instead
        record = {"status": "failure", "message": _last_line(outcome.stderr), "plugin": None}
    record["exit_status"] = outcome.status
    record["stdout"], record["stderr"] = outcome.stdout, outcome.stderr
    record["source_sha256"] = source
    record["inputs_sha256"] = inputs
    record["destination_sha256"] = result_digest(payload["dest"]) if record["status"] == "success" else None
    return record


class _Channel:
    def __init__(self, fd: int) -> None:
        self._file = os.fdopen(fd, "w", encoding="utf-8")

    def send(self, message: Dict[str, Any]) -> None:
        self._file.write(json.dumps(message, default=str) + "\n")
        self._file.flush()


def _interrupted() -> Dict[str, Any]:
    return {"status": "interrupted", "message": "stopped before the command ended", "plugin": None,
            "exit_status": 130, "stdout": "", "stderr": "", "source_sha256": None, "inputs_sha256": None,
            "destination_sha256": None}


def serve(in_fd: int, out_fd: int, folder: str) -> int:
    from veltrix.converter.console.signals import Terminated

    def terminated(signum: int, frame: Optional[object]) -> None:
        raise Terminated()

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, terminated)
    channel = _Channel(out_fd)
    jobs = os.fdopen(in_fd, "r", encoding="utf-8")
    channel.send({"ready": os.getpid()})
    while True:
        try:
            line = jobs.readline()
        except KeyboardInterrupt:
            return 0
        if not line:  # the batch is done with this worker, or gone (Ray ends its idle processes)
            shutil.rmtree(folder, ignore_errors=True)
            return 0
        payload = json.loads(line)
        try:
            channel.send({"started": payload["number"]})
            record = run_job(payload)
        except KeyboardInterrupt:
            record = _interrupted()
        retire = record["status"] == "interrupted"
        channel.send({"done": payload["number"], "record": record, "retire": retire})
        if retire:
            return 0


def main() -> None:
    # the folder absolute: each job runs from its own job file's folder
    in_fd, out_fd, folder = int(sys.argv[1]), int(sys.argv[2]), os.path.abspath(sys.argv[3])
    # `-m` put the current folder first on the module path, where the
    # command never has it (the batch passes on the folders it has itself)
    if sys.path and os.path.abspath(sys.path[0] or os.curdir) == os.getcwd():
        del sys.path[0]
    os.dup2(2, 1)  # what libraries print goes to the log, never into the messages
    faulthandler.enable()  # a crash in native code leaves its Python stack in the log
    sys.exit(serve(in_fd, out_fd, folder))


if __name__ == "__main__":
    main()
