"""Fingerprints of model files, for resuming a batch: the bytes of a source
(every file it is read from) and of a result (every file it was written
as), as SHA-256 digests."""

import hashlib
import os
from typing import List, Optional

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
