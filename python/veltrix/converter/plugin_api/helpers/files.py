"""The model files: checking the source before any work, and writing the
destination so that it is always one complete model or untouched."""

import contextlib
import os
import stat
import tempfile
from typing import Iterator, Sequence

from veltrix.converter.plugin_api.helpers.answers import PluginError

def check_source(name: str, src: str, src_type: str, supported: Sequence[str]) -> None:
    """Fail early on a source that is missing, of a type the plug-in does not
    read, or a SavedModel ("pb") that is not a folder."""
    if not os.path.exists(src):
        raise PluginError("Source model not found: %s" % src)
    if src_type not in supported:
        raise PluginError("%s cannot read %r models (supported: %s)" % (name, src_type, ", ".join(supported)))
    if src_type == "pb" and not os.path.isdir(src):
        raise PluginError("A SavedModel is a folder holding saved_model.pb: %s" % src)

def check_destination(dst: str) -> str:
    """Fail early, before any work, on a destination that cannot be written:
    a folder, or a file name longer than the file system allows."""
    target = os.path.abspath(dst)
    if os.path.isdir(target):
        raise PluginError("The destination %s is a folder; give a file name" % dst)
    folder = os.path.dirname(target)
    while folder and not os.path.isdir(folder):
        folder = os.path.dirname(folder)
    name_max = _name_max(folder or ".")
    if len(os.fsencode(os.path.basename(target))) > name_max:
        raise PluginError("The destination file name is longer than %d bytes: %s" % (name_max, dst))
    return target


@contextlib.contextmanager
def safe_output(dst: str) -> Iterator[str]:
    """A temporary file beside `dst` to write the model into; renamed over
    `dst` when the block ends normally, removed on any failure (Ctrl-C
    included). The name is short and random, created exclusively (a link
    planted there is never followed), so concurrent runs never share it and
    `dst` is always one complete model."""
    target = check_destination(dst)
    folder = os.path.dirname(target)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise PluginError("Cannot create the destination folder %s: %s" % (folder, exc.strerror or exc))
    try:
        fd, partial = tempfile.mkstemp(prefix=".vx-", suffix=".tmp", dir=folder)
    except OSError as exc:
        raise PluginError("Cannot write into %s: %s" % (folder, exc.strerror or exc))
    os.close(fd)
    try:
        yield partial
        if not stat.S_ISREG(os.lstat(partial).st_mode) or os.path.getsize(partial) == 0:
            raise PluginError("The converter wrote no model")
        os.replace(partial, target)
    except OSError as exc:
        raise PluginError("Cannot write %s: %s" % (dst, exc.strerror or exc))
    finally:
        if os.path.lexists(partial):
            os.unlink(partial)


def _name_max(folder: str) -> int:
    try:
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    except (OSError, ValueError, AttributeError):
        return 255
