"""What people see while a plug-in works: progress lines and warnings, on
standard error only."""

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
            stream = self.stream or sys.stderr
            stream.write("\r%s: %s%s" % (self.name, text, end))
            stream.flush()

    def stage(self, text: str) -> None:
        self._write(text + " ...")

    def count(self, text: str, done: int, total: int) -> None:
        self._write("%s %d/%d" % (text, done, total), end="\n" if done >= total else "")


def warn(name: str, text: str) -> None:
    """A warning line of the plug-in's on standard error (never standard output)."""
    sys.stderr.write("%s: warning: %s\n" % (name, text))
    sys.stderr.flush()
