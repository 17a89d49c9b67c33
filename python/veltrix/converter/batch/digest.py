"""Fingerprints of model files, for resuming a batch: the bytes of a source
(every file it is read from) and of a destination, as SHA-256 digests."""

import hashlib
import os
from typing import Optional

from veltrix.converter.batch.checks import source_files

_CHUNK = 1024 * 1024


def model_digest(path: str) -> Optional[str]:
    """The SHA-256 of a model's files (names relative to the model, then
    bytes, in a fixed order); None when it cannot be read."""
    digest = hashlib.sha256()
    root = path if os.path.isdir(path) else os.path.dirname(path)
    try:
        for name in source_files(path):
            if os.path.isdir(name):
                continue
            digest.update(os.path.relpath(name, root).encode("utf-8", "surrogateescape") + b"\0")
            with open(name, "rb") as f:
                for chunk in iter(lambda: f.read(_CHUNK), b""):
                    digest.update(chunk)
            digest.update(b"\0")
    except OSError:
        return None
    return digest.hexdigest()
