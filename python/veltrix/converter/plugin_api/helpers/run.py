"""The frame of one conversion: a work folder, native libraries' chatter
kept out of the user's way and quoted when they fail, warnings shown at
the end. Standard error may be closed or its reader gone: the work still
completes, and what nobody can read is dropped."""

import contextlib
import io
import os
import re
import shutil
import sys
import tempfile
from typing import Iterator, List, Optional

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.files import work_temp
from veltrix.converter.plugin_api.helpers.progress import Progress, warn, write_or_drop

class NativeOutput:
    """What native libraries wrote to standard error during a block."""
    text = ""


@contextlib.contextmanager
def captured_native_output() -> Iterator["NativeOutput"]:
    """Standard error of native libraries (file descriptor 2) kept in a
    buffer for the block instead of reaching the user; the object yielded
    has `.text` once the block ends, for a failure message."""
    captured = NativeOutput()
    write_or_drop(sys.stderr, "")
    saved = _duplicate_stderr()
    if saved is None:  # closed: hold its number, or the buffer's file would take it
        placeholder = os.open(os.devnull, os.O_WRONLY)
        if placeholder != 2:
            os.dup2(placeholder, 2)
            os.close(placeholder)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield captured
        finally:
            write_or_drop(sys.stderr, "")
            if saved is None:
                os.close(2)  # closed it was, closed it stays
            else:
                os.dup2(saved, 2)
                os.close(saved)
            sink.seek(0)
            captured.text = sink.read().decode("utf-8", "replace")


def _duplicate_stderr() -> Optional[int]:
    """A new descriptor of standard error; None when it is closed (`2>&-`)."""
    try:
        return os.dup(2)
    except OSError:
        return None


# "path/to/module.py:12: UserWarning: the message": how Python shows a
# warning; the line after it is the warning's source line, indented.
_WARNING = re.compile(r"^\S.*:\d+: (\w*Warning: .*)$")


def last_meaningful_line(text: str) -> str:
    """The last line of native output that says something (not a bare
    location or a blank). For a Python warning that is the warning's
    category and message, never the line of source shown under it."""
    lines = text.strip().splitlines()
    for last in range(len(lines) - 1, -1, -1):
        i, line = last, lines[last].strip()
        if not line or line.startswith(("W0000", "I0000", "WARNING: All log messages")):
            continue
        if lines[i][:1].isspace():  # a warning's message and source line are indented below it
            j = i - 1
            while j >= 0 and (lines[j][:1].isspace() or not lines[j].strip()):
                j -= 1
            if j >= 0 and _WARNING.match(lines[j]):
                i = j
        warning = _WARNING.match(lines[i])
        return warning.group(1) if warning else lines[i].strip()
    return ""


# Words that name something (a module, a function, an option, a value):
# dotted, with an underscore or a digit, or in inner capitals.
_NAMING = re.compile(r"[A-Za-z_][\w.]*(?:[._\d]|[a-z][A-Z])[\w.]*")


def _names_in(text: str) -> set:
    return {w.strip(".") for w in _NAMING.findall(text) if len(w.strip(".")) >= 4 and not w.endswith("Warning")}


def cause_line(text: str, error: BaseException) -> str:
    """The library's line to quote beside `error`: its last meaningful line
    (`last_meaningful_line`), unless that is a Python warning that names
    nothing the error names (a warning does not raise, so an unrelated one
    is not the cause), or the error says it already; "" then."""
    line = last_meaningful_line(text)
    message = str(error)
    if not line or line in message:
        return ""
    if re.match(r"\w*Warning: ", line) and not _names_in(line) & _names_in(message):
        return ""
    return line

class ConversionRun:
    """What one conversion holds while it works (see `conversion_run`)."""

    def __init__(self, name: str, progress: Progress, workdir: str) -> None:
        self.name, self.progress, self.workdir = name, progress, workdir
        self.warnings: List[str] = []


@contextlib.contextmanager
def conversion_run(name: str) -> Iterator[ConversionRun]:
    """The frame of one conversion: a work folder (removed after), progress
    on the real standard error, standard output and native libraries'
    standard error kept out of the user's way, a library's error turned into
    a PluginError quoting the library's last meaningful line when it can be
    the cause (`cause_line`), and
    the warnings collected in `.warnings` shown at the end."""
    duplicate = _duplicate_stderr()
    progress_stream = os.fdopen(duplicate, "w") if duplicate is not None else None
    run = ConversionRun(name, Progress(name, progress_stream), tempfile.mkdtemp(prefix=name + "-"))
    native = NativeOutput()
    try:
        with captured_native_output() as native, contextlib.redirect_stdout(io.StringIO()), work_temp(run.workdir):
            yield run
    except Exception as exc:
        line = "" if isinstance(exc, PluginError) else cause_line(native.text, exc)
        if not line:
            raise
        lines = str(exc).strip().splitlines()
        raise PluginError("%s: %s (%s)" % (type(exc).__name__, lines[0] if lines else "", line)) from exc
    finally:
        shutil.rmtree(run.workdir, ignore_errors=True)
        for text in run.warnings:
            warn(name, text)
        if progress_stream is not None:
            try:
                progress_stream.close()
            except OSError:
                pass  # its reader went away: the progress was already shown or dropped
