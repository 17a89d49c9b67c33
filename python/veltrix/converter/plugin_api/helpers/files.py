"""The model files: checking the source before any work, knowing every file
a source model consists of (none of them is ever a destination), writing the
destination (one file, or a set of files that belong together) so that it
is always a complete model or untouched, and keeping libraries' temporary
files in the conversion's work folder."""

import contextlib
import errno
import mmap
import os
import re
import shutil
import signal
import stat
import tempfile
import threading
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

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


def source_files(src: str, src_type: Optional[str] = None) -> List[str]:
    """Every file the source model `src` consists of, the model file first,
    each as `src`'s folder joins it: the model file; an ONNX model's
    external data (every `location` its tensors name, read from the file
    without loading the model, resolved beside it as the readers resolve
    it); an OpenVINO IR's weights (the `.bin` beside the `.xml`); a
    SavedModel's folder and everything in it (linked folders followed, as a
    reader follows them); a Keras, TFLite or PyTorch file on its own.
    `src_type` is the model type the plug-in was given; without it, the
    file's extension (a folder is a SavedModel)."""
    kind = (src_type or _model_type(src)).lower()
    files = [src]
    if kind == "pb" or os.path.isdir(src):
        files.extend(_folder_contents(src))
    elif kind == "onnx":
        files.extend(os.path.join(os.path.dirname(src), location) for location in _onnx_locations(src))
    elif kind == "xml":
        files.append(os.path.splitext(src)[0] + ".bin")
    return list(dict.fromkeys(files))


def result_files(dst: str) -> List[str]:
    """The files a result written to `dst` may consist of, `dst` first: an
    IR's weights beside its `.xml`, an ONNX model's weights in `dst.data`
    when they are too large for one file (`write_onnx`)."""
    extension = os.path.splitext(dst)[1].lower()
    if extension == ".xml":
        return [dst, os.path.splitext(dst)[0] + ".bin"]
    if extension == ".onnx":
        return [dst, dst + ".data"]
    return [dst]


def check_destination(dst: str, src: Optional[str] = None, src_type: Optional[str] = None) -> str:
    """Fail early, before any work, on a destination that cannot be written:
    a folder, a file name longer than the file system allows, or a result
    that would overwrite any file of the source model (`result_files` of
    the destination against `source_files` of the source, by identity,
    whatever the two texts, and by the path the kernel resolves).
    Returns the resolved destination path."""
    target = resolve_destination(dst)
    if os.path.isdir(target):
        raise PluginError("The destination %s is a folder; give a file name" % dst)
    if src is not None:
        _refuse_source_files(dst, target, src, src_type)
    folder = os.path.dirname(target)
    while folder and not os.path.isdir(folder):
        folder = os.path.dirname(folder)
    name_max = _name_max(folder or ".")
    if len(os.fsencode(os.path.basename(target))) > name_max:
        raise PluginError("The destination file name is longer than %d bytes: %s" % (name_max, dst))
    return target


def _refuse_source_files(dst: str, target: str, src: str, src_type: Optional[str]) -> None:
    parts = source_files(src, src_type)
    written = result_files(target)
    identities = [_identity(w) for w in written]
    for part in parts:
        where, same = _resolved(part), _identity(part)
        for path, identity in zip(written, identities):
            if path != where and (same is None or identity != same):
                continue
            if path == target and part == parts[0]:
                raise PluginError("The destination %s is the source model %s; give another file name" % (dst, src))
            raise PluginError("The destination %s would overwrite %s, part of the source model %s; give another "
                              "file name" % (dst, part, src))


def work_copy(src: str, src_type: str, workdir: str) -> str:
    """A copy of the source model in the work folder, its files laid out as
    the model names them (the model file with its external data), for a
    library that writes beside the model it is given: ONNX Runtime's
    quantizer writes NAME-inferred.onnx there, replacing any file of that
    name and then deleting it. A file the model names outside its own
    folder is not copied (the readers refuse it). Returns the copy's path."""
    folder = tempfile.mkdtemp(prefix="source-", dir=workdir)
    home = os.path.dirname(os.path.abspath(src))
    copy = os.path.join(folder, os.path.basename(src))
    for part in source_files(src, src_type):
        relative = os.path.normpath(os.path.relpath(os.path.abspath(part), home))
        if relative == os.pardir or relative.startswith(os.pardir + os.sep) or os.path.isabs(relative) \
                or not os.path.isfile(part):
            continue
        os.makedirs(os.path.dirname(os.path.join(folder, relative)), exist_ok=True)
        shutil.copyfile(part, os.path.join(folder, relative))
    return copy


def inside(path: str, folder: str) -> bool:
    """Whether `path` lies in `folder` (both resolved)."""
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def _model_type(src: str) -> str:
    if os.path.isdir(src):
        return "pb"
    return os.path.splitext(src)[1].lstrip(".")


def _resolved(path: str) -> str:
    return resolve_destination(path.rstrip(os.sep) or os.sep)


def _identity(path: str) -> Optional[Tuple[int, int]]:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _folder_contents(folder: str) -> Iterator[str]:
    """Every entry under `folder`, following linked folders once each."""
    seen = {_identity(folder)}
    for root, dirs, names in os.walk(folder, followlinks=True):
        for name in names:
            yield os.path.join(root, name)
        kept = []
        for name in dirs:
            path = os.path.join(root, name)
            yield path
            identity = _identity(path)
            if identity not in seen:
                seen.add(identity)
                kept.append(name)
        dirs[:] = kept


# Where an ONNX model's tensors are (protobuf field numbers of onnx.proto):
# message kind -> {field number: kind of the message held there}. A tensor's
# external_data entries (field 13) are key/value pairs; "location" names the file.
_ONNX_MESSAGES: Dict[str, Dict[int, str]] = {
    "model": {7: "graph", 20: "training", 25: "function"},
    "training": {1: "graph", 2: "graph"},
    "function": {7: "node", 11: "attribute"},
    "graph": {1: "node", 5: "tensor", 15: "sparse"},
    "node": {5: "attribute"},
    "attribute": {5: "tensor", 6: "graph", 10: "tensor", 11: "graph", 22: "sparse", 23: "sparse"},
    "sparse": {1: "tensor", 2: "tensor"},
    "tensor": {13: "entry"},
}


def _onnx_locations(path: str) -> List[str]:
    """The external data files the ONNX model at `path` names, read from its
    protobuf encoding without loading it (nor ONNX): the walk visits only
    the messages that hold tensors and skips every other field by its
    length. A file whose framing protobuf refuses names nothing."""
    try:
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_size == 0:
                return []
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return []  # unreadable: the conversion fails on it before writing
    try:
        locations: List[str] = []
        pending = [("model", 0, len(data))]
        while pending:
            kind, start, end = pending.pop()
            if kind == "entry":
                key = value = b""
                for number, first, last in _fields(data, start, end):
                    if number == 1:
                        key = data[first:last]
                    elif number == 2:
                        value = data[first:last]
                if key == b"location" and value:
                    locations.append(os.fsdecode(value))
                continue
            inner = _ONNX_MESSAGES[kind]
            held = [(inner[number], first, last) for number, first, last in _fields(data, start, end)
                    if number in inner]
            pending.extend(reversed(held))  # visited in the file's order
        return list(dict.fromkeys(locations))
    except ValueError:
        return []  # framing protobuf refuses too: no reader loads this model, nor data beside it
    finally:
        data.close()


def _varint(data: Any, pos: int, end: int) -> Tuple[int, int]:
    value = shift = 0
    while True:
        if pos >= end:
            raise ValueError("truncated at byte %d" % pos)
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
        if shift >= 70:
            raise ValueError("a number longer than ten bytes at byte %d" % pos)
    return value & (2**64 - 1), pos


# Runs of one fixed-size field repeated unpacked (old writers' float_data)
# are skipped in one step rather than field by field.
_RUNS: Dict[bytes, Any] = {}


def _run(key: bytes, size: int) -> Any:
    """A pattern matching any number of repeats of the field `key` with a value of `size` bytes."""
    pattern = _RUNS.get(key)
    if pattern is None:
        pattern = _RUNS[key] = re.compile(b"(?:%s.{%d})*" % (re.escape(key), size), re.S)
    return pattern


def _fields(data: Any, pos: int, end: int) -> Iterator[Tuple[int, int, int]]:
    """(field number, start, end) of each length-delimited field of the
    message in data[pos:end]; every other field is checked and skipped."""
    while pos < end:
        at = pos
        key, pos = _varint(data, pos, end)
        key_end = pos
        number, wire = key >> 3, key & 7
        if number == 0:
            raise ValueError("field number 0 at byte %d" % at)
        if wire == 2:
            length, pos = _varint(data, pos, end)
            if length > end - pos:
                raise ValueError("a field longer than its message at byte %d" % at)
            yield number, pos, pos + length
            pos += length
        elif wire == 0:
            _, pos = _varint(data, pos, end)
        elif wire in (1, 5):
            size = 8 if wire == 1 else 4
            pos += size
            if pos <= end:
                pos = _run(bytes(data[at:key_end]), size).match(data, pos, end).end()
        elif wire == 3:
            pos = _skip_group(data, pos, end, number)
        else:
            raise ValueError("wire type %d at byte %d" % (wire, at))
        if pos > end:
            raise ValueError("truncated at byte %d" % end)


def _skip_group(data: Any, pos: int, end: int, number: int) -> int:
    """Past the end of a group (a deprecated encoding protobuf still reads)."""
    open_groups = [number]
    while open_groups:
        at = pos
        key, pos = _varint(data, pos, end)
        inner, wire = key >> 3, key & 7
        if wire == 4:
            if inner != open_groups.pop():
                raise ValueError("a group ended by another at byte %d" % at)
        elif wire == 3:
            open_groups.append(inner)
        elif wire == 2:
            length, pos = _varint(data, pos, end)
            pos += length
        elif wire == 0:
            _, pos = _varint(data, pos, end)
        elif wire in (1, 5):
            pos += 8 if wire == 1 else 4
        else:
            raise ValueError("wire type %d at byte %d" % (wire, at))
        if pos > end:
            raise ValueError("truncated at byte %d" % end)
    return pos


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
    - SIGINT and SIGTERM are held while the files are moved into place (in
      the main thread) and delivered right after: an interrupt leaves the
      old files or the new ones, never a mix.
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
        installing = [(d, p, t) for d, p, t in order[1:] + order[:1] if _is_written(p)]
        for current, partial, target in installing:
            os.chmod(partial, _existing_mode(target, umask_mode))
        with _folder_lock(folder, exclusive=True), deferred_signals():
            try:
                for i, (current, partial, target) in enumerate(installing):
                    if i and between_replaces is not None:
                        between_replaces()
                    os.replace(partial, target)
            finally:
                shutil.rmtree(private, ignore_errors=True)  # before a held SIGTERM ends the process
    except OSError as exc:
        raise PluginError("Cannot write %s: %s" % (current, exc.strerror or exc))
    finally:
        shutil.rmtree(private, ignore_errors=True)


# A test hook: called between two replaces of one installation.
between_replaces: Optional[Callable[[], None]] = None


@contextlib.contextmanager
def deferred_signals(signums: Sequence[int] = (signal.SIGINT, signal.SIGTERM)) -> Iterator[None]:
    """SIGINT and SIGTERM held back for the block, then delivered as they
    would have been (their own handlers, the default action included).
    Python runs signal handlers in the main thread only, so elsewhere
    nothing is held; neither is a signal that is ignored or whose handler
    is not Python's."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held: List[int] = []
    saved: Dict[int, Any] = {}

    def hold(signum: int, frame: Any) -> None:
        held.append(signum)

    try:
        for signum in signums:
            handler = signal.getsignal(signum)
            if handler is None or handler == signal.SIG_IGN:
                continue
            saved[signum] = handler
            signal.signal(signum, hold)
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)
        for signum in dict.fromkeys(held):
            signal.raise_signal(signum)


@contextlib.contextmanager
def work_temp(workdir: str) -> Iterator[str]:
    """For the block, Python's temporary files (`tempfile`, which the
    libraries use) are made in a folder of the work folder, so whatever a
    library leaves there goes with the work folder; PyTorch's compiler
    cache, which follows the temporary folder and then pins itself in the
    environment, is unpinned afterwards."""
    folder = tempfile.mkdtemp(prefix="tmp-", dir=workdir)  # a name of its own: the plug-in's names stay free
    saved = tempfile.tempdir
    pinned = {name: os.environ.get(name) for name in _PINNED}
    tempfile.tempdir = folder
    try:
        yield folder
    finally:
        tempfile.tempdir = saved
        for name, value in pinned.items():
            if os.environ.get(name) != value:
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value


# Environment variables libraries set to a folder under the temporary folder.
_PINNED = ("TORCHINDUCTOR_CACHE_DIR",)


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


def _name_max(folder: str) -> int:
    try:
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    except (OSError, ValueError, AttributeError):
        return 255
