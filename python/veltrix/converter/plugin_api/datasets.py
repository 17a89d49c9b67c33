"""A small datastore: representative images from a project file or a server.

A datastore is described by a manifest, a JSON object::

    {"images": ["images/cat.jpg", "images/dog.png", "https://example/x.jpg"]}

Each entry is a path or URL, relative to the manifest's own location.

* Local project: a file whose name ends in ".veltrix" or ".kelp" holding the
  manifest; image paths are relative to the folder of the project file.
* Server: an "http://" URL that answers GET with the manifest; image entries
  are URLs relative to that URL. Downloaded images are kept in a cache folder
  (``CACHE_DIR``, by default ``~/.cache/veltrix-converter/datastore``), so a
  second pass over the same datastore does not fetch them again. Every request
  has a bounded timeout (``TIMEOUT`` seconds).

``get_cached_dataset(task, p_type, arguments)`` returns a dataset whose
``build_train_dataset()`` yields one batch per image: an object whose
``numpy()`` is a float32 array of shape (1, height, width, channels), pixel
values 0 to 255, with height, width and channels from
``arguments["input_shape"]``. Classification requests are cropped to the
centre before resizing (the model sees the object, not stretched borders);
detection requests are resized whole (boxes stay where they are). An image
that cannot be decoded is skipped.
"""

import hashlib
import http.client
import io
import json
import os
import urllib.error
import urllib.parse
import urllib.request

import numpy as np
from PIL import Image

TIMEOUT = 10.0
CACHE_DIR = os.path.join(os.path.expanduser("~"), ".cache", "veltrix-converter", "datastore")
PROJECT_SUFFIXES = (".veltrix", ".kelp")


class DatastoreError(Exception):
    """The datastore could not be read: the message says what and where."""


def _fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as response:
            return response.read()
    except urllib.error.HTTPError as exc:
        raise DatastoreError("Cannot read datastore %s: %s" % (url, exc)) from exc
    except (urllib.error.URLError, http.client.HTTPException, OSError, ValueError) as exc:
        reason = getattr(exc, "reason", None) or exc.__class__.__name__ + (": %s" % exc if str(exc) else "")
        raise DatastoreError("Cannot read datastore %s: %s" % (url, reason)) from exc


def _parse_manifest(data, where):
    try:
        manifest = json.loads(data)
    except (ValueError, UnicodeDecodeError) as exc:
        raise DatastoreError("Malformed datastore manifest %s: %s" % (where, exc)) from exc
    images = manifest.get("images") if isinstance(manifest, dict) else None
    if not isinstance(images, list) or not all(isinstance(i, str) for i in images):
        raise DatastoreError('Malformed datastore manifest %s: expected {"images": [paths or URLs]}' % where)
    if not images:
        raise DatastoreError("Datastore %s lists no images" % where)
    return images


class _Source:
    """Where the images of one datastore come from."""

    def __init__(self, reference):
        self.reference = reference
        if reference.startswith("http://"):
            self.images = [urllib.parse.urljoin(reference, i) for i in _parse_manifest(_fetch(reference), reference)]
            digest = hashlib.sha256(reference.encode()).hexdigest()[:16]
            self.cache = os.path.join(CACHE_DIR, digest)
        elif reference.endswith(PROJECT_SUFFIXES):
            try:
                with open(reference, "rb") as f:
                    data = f.read()
            except OSError as exc:
                raise DatastoreError("Cannot read datastore project %s: %s" % (reference, exc.strerror)) from exc
            base = os.path.dirname(os.path.abspath(reference))
            self.images = [os.path.join(base, i) for i in _parse_manifest(data, reference)]
            self.cache = None
        else:
            raise DatastoreError("Not a datastore reference: %r (expected an http:// URL or a file ending in %s)"
                                 % (reference, " or ".join(PROJECT_SUFFIXES)))

    def open(self, image):
        """The bytes of one image, from the cache or the server when remote."""
        if self.cache is None or not image.startswith(("http://", "https://")):
            with open(image, "rb") as f:
                return f.read()
        cached = os.path.join(self.cache, hashlib.sha256(image.encode()).hexdigest())
        if os.path.exists(cached):
            with open(cached, "rb") as f:
                return f.read()
        data = _fetch(image)
        os.makedirs(self.cache, exist_ok=True)
        partial = cached + ".part"
        with open(partial, "wb") as f:
            f.write(data)
        os.replace(partial, cached)  # never leave a half-written file under the final name
        return data


class _Batch:
    def __init__(self, array):
        self._array = array

    def numpy(self):
        return self._array


def _centre_crop(img, width, height):
    """The largest centred region of the target's aspect ratio."""
    w, h = img.size
    if w * height > h * width:
        new_w = max(1, round(h * width / height))
        left = (w - new_w) // 2
        return img.crop((left, 0, left + new_w, h))
    new_h = max(1, round(w * height / width))
    top = (h - new_h) // 2
    return img.crop((0, top, w, top + new_h))


class _TrainDataset:
    """Iterable over the datastore's images; every iteration is a new pass."""

    def __init__(self, source, shape, crop):
        self.source, self.crop = source, crop
        self.height, self.width, self.channels = (int(v) for v in shape)

    def _prepare(self, data):
        with Image.open(io.BytesIO(data)) as img:
            img = img.convert({1: "L", 3: "RGB", 4: "RGBA"}.get(self.channels, "RGB"))
            if self.crop:
                img = _centre_crop(img, self.width, self.height)
            img = img.resize((self.width, self.height))
        array = np.asarray(img, dtype=np.float32).reshape(1, self.height, self.width, self.channels)
        return _Batch(array)

    def __iter__(self):
        for image in self.source.images:
            try:
                data = self.source.open(image)
            except OSError as exc:
                raise DatastoreError("Cannot read image %s: %s" % (image, exc)) from exc
            try:
                batch = self._prepare(data)
            except (OSError, ValueError, SyntaxError):
                continue  # not a decodable image
            yield batch


class CachedDataset:
    def __init__(self, task, p_type, arguments):
        self.task, self.p_type, self.arguments = task, p_type, dict(arguments)
        shape = arguments["input_shape"]
        if len(shape) != 3:
            raise DatastoreError("input_shape must be height, width, channels; got %r" % (shape,))
        self.shape = tuple(shape)
        self.source = _Source(arguments["datastore_server"])

    def build_train_dataset(self):
        return _TrainDataset(self.source, self.shape, crop=self.task == "classification")


def get_cached_dataset(task, p_type, arguments):
    """The dataset of the datastore named by arguments["datastore_server"]."""
    if task not in ("classification", "detection"):
        raise DatastoreError("Unknown datastore task %r" % (task,))
    return CachedDataset(task, p_type, arguments)
