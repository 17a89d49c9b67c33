"""The model files: checking the source before any work, and writing the
destination (one file, or a set of files that belong together) so that it
is always a complete model or untouched."""

import contextlib
import errno
import os
import shutil
import stat
import tempfile
from typing import Iterator, List, Optional, Sequence

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


def resolve_destination(dst: str) -> str:
    """The absolute path `dst` names, its folder resolved the way the kernel
    resolves it (`link/../out.tflite` is beside the link's target's parent,
    not in the current folder); the last component is kept as given."""
    folder, base = os.path.split(dst)
    return os.path.join(os.path.realpath(folder or os.curdir), base)


def check_destination(dst: str, src: Optional[str] = None) -> str:
    """Fail early, before any work, on a destination that cannot be written:
    a folder, a file name longer than the file system allows, or the source
    model itself (the same file by identity, whatever the two texts).
    Returns the resolved destination path."""
    target = resolve_destination(dst)
    if os.path.isdir(target):
        raise PluginError("The destination %s is a folder; give a file name" % dst)
    if src is not None and _same_file(src, target):
        raise PluginError("The destination %s is the source model %s; give another file name" % (dst, src))
    folder = os.path.dirname(target)
    while folder and not os.path.isdir(folder):
        folder = os.path.dirname(folder)
    name_max = _name_max(folder or ".")
    if len(os.fsencode(os.path.basename(target))) > name_max:
        raise PluginError("The destination file name is longer than %d bytes: %s" % (name_max, dst))
    return target


@contextlib.contextmanager
def safe_output(dst: str) -> Iterator[str]:
    """A temporary path beside `dst` to write the model into; moved over
    `dst` when the block ends normally, removed on any failure (Ctrl-C
    included). It lies in a private folder of a short random name created
    for this run only, so concurrent runs never share it, a link planted
    there is never followed, and `dst` is always one complete model. A new
    file gets the mode the umask gives (0644 under umask 022); an existing
    destination keeps its mode."""
    with safe_outputs([dst]) as partials:
        yield partials[0]


@contextlib.contextmanager
def safe_outputs(dsts: Sequence[str], optional: Sequence[str] = ()) -> Iterator[List[str]]:
    """Write a model that is several files (`model.xml` + `model.bin`, or
    `model.onnx` + `model.onnx.data`) as one: yields the temporary paths to
    write, in the order of `dsts`, and installs them all when the block ends
    normally.

    - All of `dsts` lie in one folder. The temporary paths lie together in a
      private folder beside them and keep the destinations' file names, so a
      library that derives one name from another (`model.bin` beside
      `model.xml`, external data named after the model) writes them where
      they are expected; whatever else the library writes there is dropped.
    - Every destination must have been written (a non-empty regular file),
      except those also named in `optional`, which are installed only when
      written; otherwise nothing is installed and the run fails.
    - The first destination is the one readers open (the `.xml`, the
      `.onnx`): it is installed last, after every companion is in place, so
      a reader that finds the new first file finds its companions with it.
      A reader that opened the old first file just before the swap may still
      read new companions: readers that must exclude that hold a shared
      `fcntl.flock` on the destination folder while they read.
    - Writers to the same folder take an exclusive `fcntl.flock` on it while
      they install, so two concurrent runs never mix their files.
    - On any failure (Ctrl-C included) the private folder and everything in
      it is removed and the destinations are untouched; a failure while
      installing leaves whole files only (each is moved in one rename).
    - A new file gets the mode the umask gives; an existing one keeps its
      mode."""
    if not dsts:
        raise ValueError("safe_outputs needs at least one destination")
    targets = [check_destination(d) for d in dsts]
    folder = os.path.dirname(targets[0])
    if any(os.path.dirname(t) != folder for t in targets):
        raise ValueError("safe_outputs writes files of one folder, not %s" % ", ".join(dsts))
    if len({os.path.basename(t) for t in targets}) != len(targets):
        raise ValueError("safe_outputs was given one destination twice: %s" % ", ".join(dsts))
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise PluginError("Cannot create the destination folder %s: %s" % (folder, exc.strerror or exc))
    try:
        private = tempfile.mkdtemp(prefix=".vx-", dir=folder)
    except OSError as exc:
        raise PluginError("Cannot write into %s: %s" % (folder, exc.strerror or exc))
    partials = [os.path.join(private, os.path.basename(t)) for t in targets]
    maybe = {os.path.basename(resolve_destination(d)) for d in optional}
    current = dsts[0]
    try:
        yield partials
        missing = [d for d, t, p in zip(dsts, targets, partials)
                   if not _is_written(p) and os.path.basename(t) not in maybe]
        if missing:
            raise PluginError("The converter wrote no model" if len(dsts) == 1
                              else "The converter did not write %s" % ", ".join(missing))
        umask_mode = 0o666 & ~_umask()
        order = list(zip(dsts, partials, targets))
        with _folder_lock(folder, exclusive=True):
            for current, partial, target in order[1:] + order[:1]:
                if _is_written(partial):
                    os.chmod(partial, _existing_mode(target, umask_mode))
                    os.replace(partial, target)
    except OSError as exc:
        raise PluginError("Cannot write %s: %s" % (current, exc.strerror or exc))
    finally:
        shutil.rmtree(private, ignore_errors=True)


@contextlib.contextmanager
def _folder_lock(folder: str, exclusive: bool) -> Iterator[None]:
    """An advisory lock on `folder` itself (no lock file is left behind);
    where the file system has no locks, nothing is locked."""
    import fcntl
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        except OSError as exc:
            if exc.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
                raise
        yield
    finally:
        os.close(fd)


def _is_written(path: str) -> bool:
    try:
        info = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISREG(info.st_mode) and info.st_size > 0


def _existing_mode(target: str, default: int) -> int:
    try:
        info = os.lstat(target)
    except OSError:
        return default
    return stat.S_IMODE(info.st_mode) if stat.S_ISREG(info.st_mode) else default


def _umask() -> int:
    """The process's umask, read without changing it where the system says it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _name_max(folder: str) -> int:
    try:
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    except (OSError, ValueError, AttributeError):
        return 255
