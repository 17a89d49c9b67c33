"""Job files: reading them into jobs, and the shorthand of a glob and
destination patterns. A job is one conversion, written as the words of the
single command (`[options...] SOURCE DEST`), so that a row means exactly
what that command means.

A CSV job file has a header row with the columns `source`, `dest` and any
option name without its dashes; a JSON Lines file has one object per line
with the same keys. An empty cell (or `null`) means the option is not
given; `true` gives a flag. Relative paths are relative to the job file's
folder: the source's and destination's, and those in options too (`samples`,
`verify-inputs`), since every job runs as the command run from that folder.
Whatever cannot be read is a `JobFileError` naming the row (the line of the
file) and the column.
"""

import csv
import glob
import io
import json
import os
import shlex
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

# The columns every job needs; the others are options of the conversion.
PATH_COLUMNS = ("source", "dest")
# Options of the single command that are not conversion options: the batch
# gives `--json` itself, and the actions (-l, -i, ...) make no conversion.
NOT_OPTIONS = ("json", "l", "list", "i", "install", "u", "uninstall", "h", "help", "v", "version", "r",
               "force-reinstall")
# What a job file may hold at most: a file of a million rows is a mistake
# (or an attack on memory), not a batch.
MAX_JOB_FILE_BYTES = 256 * 1024 * 1024


class JobFileError(Exception):
    """A job file that cannot be used; the message names where."""

    def __init__(self, message: str, row: Optional[int] = None, column: Optional[str] = None) -> None:
        where = ""
        if row is not None:
            where = "row %d" % row + (", column %s" % column if column else "") + ": "
        elif column:
            where = "column %s: " % column
        super().__init__(where + message)
        self.row, self.column = row, column


@dataclass
class Job:
    """One conversion of a batch."""
    number: int  # 1, 2, ... in the job file's order
    row: int  # the line of the job file that holds it (the shorthand counts its jobs)
    source: str  # absolute paths
    dest: str
    options: List[Tuple[str, str]] = field(default_factory=list)  # (key without dashes, text), in the row's order
    plugin: str = ""  # the plug-in the command will use, and the source's type (filled in by the checks)
    source_type: str = ""
    versions: Dict[str, str] = field(default_factory=dict)  # the tool's and the plug-in's versions
    folder: str = ""  # where the job runs from: the job file's folder (relative paths in options are read there)

    def option_words(self) -> List[str]:
        words: List[str] = []
        for key, value in self.options:
            words += ["--" + key, value]
        return words

    def words(self) -> List[str]:
        """The single command's words after its name (options before SOURCE DEST)."""
        return self.option_words() + [self.source, self.dest]

    @property
    def dest_type(self) -> str:
        return os.path.splitext(self.dest)[1].lstrip(".").lower() or "(none)"

    def payload(self) -> Dict[str, Any]:
        """What a worker is sent: JSON, for a process or a Ray task."""
        return {"number": self.number, "words": self.words(), "source": self.source, "dest": self.dest,
                "source_type": self.source_type, "folder": self.folder, "options": self.options}


def option_key(name: str) -> str:
    """An option name as the command's tokenizer turns it into a key."""
    return name.strip().lstrip("-").replace("_", "-")


def _text(value: Any, row: int, column: str) -> Optional[str]:
    """A cell as the text of the command's word; None when not given."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, list) and all(isinstance(v, (str, int, float)) and not isinstance(v, bool) for v in value):
        value = ",".join(str(v) for v in value)
    if not isinstance(value, str):
        raise JobFileError("a value must be text, a number, true/false or a list of them, not %s"
                           % json.dumps(value), row, column)
    if value.strip() == "":
        return None
    if value.startswith("-"):
        # the command reads a word beginning with "-" as an option, so no
        # single command can give this value either
        raise JobFileError("%r begins with '-', which the command would read as an option" % value, row, column)
    return value


def _job(number: int, row: int, cells: Dict[str, Any], folder: str) -> Job:
    paths = {}
    for column in PATH_COLUMNS:
        value = _text(cells.get(column), row, column)
        if value is None:
            raise JobFileError("the %s is empty" % ("source" if column == "source" else "destination"), row, column)
        paths[column] = os.path.normpath(os.path.join(folder, os.path.expanduser(value)))
    options = []
    for column, value in cells.items():
        if column in PATH_COLUMNS:
            continue
        key = option_key(column)
        if key in NOT_OPTIONS:
            raise JobFileError("--%s is not a conversion option" % key, row, column)
        text = _text(value, row, column)
        if text is not None:
            options.append((key, text))
    return Job(number, row, paths["source"], paths["dest"], options, folder=folder)


def _check_columns(columns: Sequence[str], row: int) -> None:
    keys = [option_key(c) if c.strip() not in PATH_COLUMNS else c.strip() for c in columns]
    for missing in (c for c in PATH_COLUMNS if c not in keys):
        raise JobFileError("the column %s is missing (a job file needs the columns source and dest)" % missing, row)
    for i, key in enumerate(keys):
        if key == "":
            raise JobFileError("a column has no name", row)
        if key in keys[:i]:
            raise JobFileError("the column %s is given twice" % columns[i].strip(), row)


def read_csv(text: str, folder: str) -> List[Job]:
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    jobs: List[Job] = []
    header: Optional[List[str]] = None
    try:
        for cells in reader:
            row = reader.line_num
            if not any(c.strip() for c in cells):
                continue  # a blank line
            if header is None:
                _check_columns(cells, row)
                header = [c.strip() if c.strip() in PATH_COLUMNS else option_key(c) for c in cells]
                continue
            if len(cells) > len(header):
                raise JobFileError("%d cells, but the header names %d columns" % (len(cells), len(header)), row)
            jobs.append(_job(len(jobs) + 1, row, dict(zip(header, cells)), folder))
    except csv.Error as exc:
        raise JobFileError("not valid CSV: %s" % exc, reader.line_num)
    if header is None:
        raise JobFileError("the job file is empty")
    return jobs


def read_jsonl(text: str, folder: str) -> List[Job]:
    jobs: List[Job] = []
    for row, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        try:
            cells = json.loads(line)
        except ValueError as exc:
            raise JobFileError("not valid JSON: %s" % exc, row)
        if not isinstance(cells, dict):
            raise JobFileError("a line must be one JSON object of source, dest and options", row)
        _check_columns(list(cells), row)
        jobs.append(_job(len(jobs) + 1, row, {k.strip() if k.strip() in PATH_COLUMNS else option_key(k): v
                                              for k, v in cells.items()}, folder))
    return jobs


def read_job_file(path: str) -> List[Job]:
    """The jobs of a CSV or JSON Lines file (by its extension; a file of
    another name is JSON Lines when it begins with "{")."""
    try:
        if os.path.isdir(path):
            raise JobFileError("%s is a folder, not a job file" % path)
        with open(path, "rb") as f:
            data = f.read(MAX_JOB_FILE_BYTES + 1)
    except OSError as exc:
        raise JobFileError("cannot read the job file %s: %s" % (path, exc.strerror or exc))
    if len(data) > MAX_JOB_FILE_BYTES:
        raise JobFileError("the job file is larger than %d MiB" % (MAX_JOB_FILE_BYTES // 2 ** 20))
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        row = data[:exc.start].count(b"\n") + 1
        raise JobFileError("not UTF-8 text (byte %d)" % (exc.start + 1), row)
    folder = os.path.dirname(os.path.abspath(path))
    extension = os.path.splitext(path)[1].lower()
    if extension in (".jsonl", ".ndjson") or (extension != ".csv" and text.lstrip().startswith("{")):
        jobs = read_jsonl(text, folder)
    else:
        jobs = read_csv(text, folder)
    if not jobs:
        raise JobFileError("the job file holds no jobs")
    return jobs


def shorthand(pattern: str, destinations: Sequence[str], folder: Optional[str] = None) -> List[Job]:
    """Jobs without a file: every source the glob `pattern` finds (sorted),
    once per destination pattern. A destination pattern is a path with
    `{name}` (the source's name without its extension), `{file}` (its file
    name) or `{folder}` (its folder), optionally followed by options in the
    command's own form: `"out/{name}-int8.tflite --quantize true"`."""
    folder = folder or os.getcwd()
    sources = sorted(glob.glob(os.path.join(folder, os.path.expanduser(pattern)), recursive=True))
    if not sources:
        raise JobFileError("no source matches %s" % pattern)
    jobs: List[Job] = []
    for number, destination in enumerate(destinations, start=1):
        try:
            words = shlex.split(destination)
        except ValueError as exc:
            raise JobFileError("destination pattern %d (%s): %s" % (number, destination, exc))
        if not words:
            raise JobFileError("destination pattern %d is empty" % number)
        cells: Dict[str, Any] = {}
        key = None
        for word in words[1:]:
            if word.startswith("-"):
                key = option_key(word)
                cells[key] = "true"
            elif key is not None:
                cells[key], key = word, None
            else:
                raise JobFileError("destination pattern %d: %r is not an option or its value" % (number, word))
        for source in sources:
            name = os.path.basename(source.rstrip(os.sep))
            try:
                dest = words[0].format(name=os.path.splitext(name)[0], file=name,
                                       folder=os.path.dirname(source))
            except (KeyError, IndexError, ValueError) as exc:
                raise JobFileError("destination pattern %d (%s): %s is not {name}, {file} or {folder}"
                                   % (number, words[0], exc))
            job_cells = dict(cells, source=source, dest=dest)
            jobs.append(_job(len(jobs) + 1, len(jobs) + 1, job_cells, folder))
    return jobs
