"""Checking a batch before any work starts: every row's plug-in and options
as the single command would take them, and destinations that would collide
(two rows writing one file, a row overwriting a source, the job file or the
report). A bad row is a `JobFileError` naming the row and the column."""

import difflib
import os
from typing import Dict, Iterable, List, Optional, Tuple

from veltrix.converter.batch import single
from veltrix.converter.batch.jobs import Job, JobFileError
from veltrix.converter.plugin_api.helpers.files import result_files, source_files

# Options the front end itself reads besides the plug-in's table and the
# reserved catalogue (`default-shape` is the old name of `input-shape`).
FRONT_END_OPTIONS = ("plugin", "input-model-type", "output-model-type", "default-shape")


def _suggestion(key: str, known: Iterable[str]) -> str:
    close = difflib.get_close_matches(key, list(known), n=1, cutoff=0.6)
    return " (did you mean %s?)" % close[0] if close else ""


class _Catalogue:
    """The command's answers, asked once per pair and plug-in in a batch."""

    def __init__(self) -> None:
        self._choices: Dict[Tuple[str, str], Tuple[Optional[str], List[str]]] = {}
        self._tables: Dict[Tuple[str, str, str], Optional[dict]] = {}
        self.versions = single.plugin_versions()

    def chosen(self, src_type: str, dst_type: str) -> Tuple[Optional[str], List[str]]:
        if (src_type, dst_type) not in self._choices:
            self._choices[(src_type, dst_type)] = single.chosen_plugin(src_type, dst_type)
        return self._choices[(src_type, dst_type)]

    def table(self, name: str, src_type: str, dst_type: str) -> Optional[dict]:
        if (name, src_type, dst_type) not in self._tables:
            self._tables[(name, src_type, dst_type)] = single.parameter_table(name, src_type, dst_type)
        return self._tables[(name, src_type, dst_type)]


def _check_plugin_and_options(job: Job, catalogue: _Catalogue) -> None:
    args = single.model_types(dict(job.options, source=job.source, dest=job.dest))
    src_type, dst_type = str(args.get("input-model-type", "")), str(args.get("output-model-type", ""))
    named = args.get("plugin")
    if isinstance(named, str) and named != "":
        table = catalogue.table(named, src_type, dst_type)
        if table is None:
            hint = single.plugin_hint(named, src_type, dst_type)
            raise JobFileError(hint or "plug-in %r does not convert %r to %r" % (named, src_type, dst_type),
                               job.row, "plugin")
        name = named
    else:
        chosen, passed_over = catalogue.chosen(src_type, dst_type)
        table = catalogue.table(chosen, src_type, dst_type) if chosen else None
        if chosen is None or table is None:
            raise JobFileError(single.no_plugin_hint(args, passed_over), job.row, "dest")
        name = chosen
    for key, _ in job.options:
        if key not in table and key not in FRONT_END_OPTIONS:
            known = [k for k in table if k not in ("source", "dest")] + list(FRONT_END_OPTIONS)
            raise JobFileError("%s has no option --%s%s" % (name, key, _suggestion(key, known)), job.row, key)
    job.plugin, job.source_type = name, src_type
    job.versions = {"veltrix-converter": single.tool_version(), name: catalogue.versions.get(name, "")}


def _resolved(path: str) -> str:
    """The path as the kernel resolves its folder (the last component kept)."""
    folder, base = os.path.split(os.path.abspath(path))
    return os.path.join(os.path.realpath(folder), base)


def _check_destinations(jobs: List[Job], protected: Dict[str, str]) -> None:
    written: Dict[str, Job] = {}
    read: Dict[str, Job] = {}
    folders: List[Tuple[str, Job]] = []
    seen = set()
    for job in jobs:
        if job.source in seen:
            continue
        seen.add(job.source)
        for path in source_files(job.source, job.source_type or None):
            read.setdefault(_resolved(path), job)
        if os.path.isdir(job.source):
            folders.append((_resolved(job.source) + os.sep, job))
    for job in jobs:
        dest = _resolved(job.dest)
        for path in [_resolved(p) for p in result_files(job.dest)]:
            if path in written:
                raise JobFileError("the destination %s is also the destination of row %d" % (job.dest, written[path].row),
                                   job.row, "dest")
            owner = read.get(path) or next((j for f, j in folders if path.startswith(f)), None)
            if owner is not None:
                what = "the source" if _resolved(owner.source) == path else "a file of the source"
                raise JobFileError("the destination %s is %s of row %d (%s)" % (job.dest, what, owner.row, owner.source),
                                   job.row, "dest")
        for path in [_resolved(p) for p in result_files(job.dest)]:
            written[path] = job
        if dest in protected:
            raise JobFileError("the destination %s is %s" % (job.dest, protected[dest]), job.row, "dest")


def check_jobs(jobs: List[Job], protected: Optional[Dict[str, str]] = None) -> None:
    """Refuse a batch with a bad row before any work; fill in each job's
    plug-in and versions. `protected` maps paths no job may write to what
    they are ("the job file")."""
    catalogue = _Catalogue()
    for job in jobs:
        _check_plugin_and_options(job, catalogue)
    _check_destinations(jobs, {_resolved(p): what for p, what in (protected or {}).items()})
