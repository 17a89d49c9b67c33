"""Standard streams for the console: our own lines, and streams that never
stop the work.

Standard output carries the contract's lines; everything the console adds
for people (notes, hints, errors) goes to standard error through `say`. A
closed stream (`>&-`, `2>&-`) or a reader that went away drops its output
while the conversion finishes; a standard output that fails otherwise (a
full disk) ends the command with one error line and status 1.
"""

import errno
import os
import sys

PROGRAM = "veltrix-converter"


def say(text):
    """One line of ours on standard error (the contract owns standard output)."""
    sys.stderr.write("%s: %s\n" % (PROGRAM, text))
    sys.stderr.flush()


def lost_reader(exc):
    return isinstance(exc, BrokenPipeError) or getattr(exc, "errno", None) == errno.EPIPE


class Output:
    """A standard stream that never stops the work: once a write fails, later
    output is dropped and the file descriptor points at the null device (so
    nothing still buffered fails again at exit). A reader that went away
    (broken pipe) is silent; any other failure (a full disk) is raised once
    when `reported`, for the console to say and to end with status 1."""

    def __init__(self, stream, reported):
        self._stream, self._reported = stream, reported
        self.lost = False

    def _give_up(self, exc):
        self.lost = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError, AttributeError):
            pass
        if self._reported and not lost_reader(exc):
            raise exc

    def write(self, text):
        if self.lost:
            return len(text)
        try:
            n = self._stream.write(text)
            self._stream.flush()
            return n
        except OSError as exc:
            self._give_up(exc)
            return len(text)

    def flush(self):
        if self.lost:
            return
        try:
            self._stream.flush()
        except OSError as exc:
            self._give_up(exc)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def mend_standard_streams():
    """A standard stream closed by the caller (`>&-`, `2>&-`) becomes the null
    device: what is written to it is dropped, and no file the work opens can
    take its number (native libraries would write into it)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False, errors="backslashreplace")
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False, errors="backslashreplace")


def protect_standard_streams():
    """The process's standard streams mended and wrapped for one command."""
    mend_standard_streams()
    sys.stdout = Output(sys.stdout, reported=True)
    sys.stderr = Output(sys.stderr, reported=False)
