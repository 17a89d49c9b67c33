"""What people see while a plug-in works: progress lines and warnings, on
standard error only. A reader of standard error that went away (a closed
pipe, a closed stream) never stops the work: what it would have read is
dropped."""

import sys
from typing import Optional, TextIO

def is_terminal(stream: Optional[TextIO] = None) -> bool:
    stream = stream or sys.stderr
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class Progress:
    """Progress lines on standard error, only when it is a terminal."""

    def __init__(self, name: str, stream: Optional[TextIO] = None) -> None:
        self.name, self.stream = name, stream
        self.enabled = is_terminal(self.stream)

    def _write(self, text: str, end: str = "\n") -> None:
        if self.enabled:
            self.enabled = write_or_drop(self.stream or sys.stderr, "\r%s: %s%s" % (self.name, text, end))

    def stage(self, text: str) -> None:
        self._write(text + " ...")

    def count(self, text: str, done: int, total: int) -> None:
        self._write("%s %d/%d" % (text, done, total), end="\n" if done >= total else "")


def write_or_drop(stream: Optional[TextIO], text: str) -> bool:
    """Write and flush `text`; False (the text dropped) when the stream is
    closed or its reader went away."""
    try:
        stream.write(text)  # type: ignore[union-attr]
        stream.flush()  # type: ignore[union-attr]
        return True
    except (OSError, ValueError, AttributeError):
        return False


def warn(name: str, text: str) -> None:
    """A warning line of the plug-in's on standard error (never standard
    output); dropped when nobody can read it any more."""
    write_or_drop(sys.stderr, "%s: warning: %s\n" % (name, text))
