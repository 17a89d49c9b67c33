"""Fingerprints of model files, for resuming a batch: the bytes of a source
(every file it is read from), of a result (every file it was written as)
and of the files and folders its options name (calibration samples, inputs
to verify on), as SHA-256 digests."""

import hashlib
import os
from typing import List, Optional, Tuple

from veltrix.converter.plugin_api.helpers.files import result_files, source_files

_CHUNK = 1024 * 1024


def _digest(paths: List[str]) -> Optional[str]:
    """The SHA-256 of files (their names relative to the first one's folder,
    then their bytes, in the order given); None when one cannot be read."""
    digest = hashlib.sha256()
    root = os.path.dirname(paths[0])
    try:
        for path in paths:
            if os.path.isdir(path):
                continue
            digest.update(os.path.relpath(path, root).encode("utf-8", "surrogateescape") + b"\0")
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(_CHUNK), b""):
                    digest.update(chunk)
            digest.update(b"\0")
    except (OSError, ValueError):
        return None
    return digest.hexdigest()


def source_digest(src: str, src_type: Optional[str] = None) -> Optional[str]:
    """The digest of every file the source model is read from."""
    try:
        return _digest(source_files(src, src_type or None))
    except (OSError, ValueError):
        return None


def result_digest(dst: str) -> Optional[str]:
    """The digest of the files a result was written as; None when there is none."""
    if not os.path.isfile(dst):
        return None
    return _digest([path for path in result_files(dst) if os.path.exists(path)])


def _folder_fingerprint(digest: "hashlib._Hash", folder: str) -> None:
    """A folder's files by name, size and modification time: the sample
    folders options name can hold thousands of images, and reading them
    all again for every row of every run would cost more than a rerun."""
    for root, folders, files in os.walk(folder):
        folders.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            try:
                status = os.stat(path)
            except OSError:
                continue
            digest.update(("%s\0%d\0%d\0" % (os.path.relpath(path, folder), status.st_size, status.st_mtime_ns))
                          .encode("utf-8", "surrogateescape"))


def options_digest(options: List[Tuple[str, str]], folder: str) -> str:
    """The digest of what the options name on disk: a file's bytes, a
    folder's files (`samples=images`, `verify-inputs=x.npz`), read as the
    command run from `folder` reads them. An option whose value is no path
    adds only its absence, so a file appearing under that name counts too."""
    digest = hashlib.sha256()
    for key, value in options:
        path = os.path.join(folder, os.path.expanduser(value))
        digest.update(("%s\0%s\0" % (key, value)).encode("utf-8", "surrogateescape"))
        if os.path.isdir(path):
            digest.update(b"folder\0")
            _folder_fingerprint(digest, path)
        elif os.path.isfile(path):
            digest.update(b"file\0")
            digest.update((_digest([path]) or "unreadable").encode())
        else:
            digest.update(b"none\0")
    return digest.hexdigest()
