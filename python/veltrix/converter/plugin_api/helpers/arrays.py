"""Samples as NumPy arrays, for plug-ins that do not use TensorFlow.

`ArrayDataset` takes the same arguments as `Dataset` and yields the same
samples from the same sources (a folder of images, a datastore, white noise):
the same files, drawn in the same order from NumPy's global random state,
resized and normalised the same way, with equal values; but every sample is a
float32, uint8 or int8 NumPy array, and nothing imports TensorFlow.

One difference, where `Dataset` cannot serve the model: the layout is read
from the input shape where that is unambiguous (a channel dimension of 1 or 3
beside two larger ones, see `infer_layout`), and otherwise taken as `Dataset`
takes it (channels first when entry 1 is 3). So a single-channel
channels-first input ``[1, 1, H, W]`` gets images, where `Dataset` reads it as
H channels and finds none that fit.
"""

import os
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.layout import CHANNELS_FIRST, CHANNELS_LAST, infer_layout

IMAGENET_MEANS = (123.68, 116.779, 103.939)
IMAGE_ENDINGS = (".png", ".jpg", ".jpeg")


def sample_layout(shape: Sequence[Any]) -> str:
    """The layout images are fed in: the shape's where it is unambiguous,
    else channels first when entry 1 is 3 (as `Dataset` decides)."""
    inferred = infer_layout(shape)
    if inferred is not None:
        return inferred
    return CHANNELS_FIRST if len(shape) > 1 and shape[1] == 3 else CHANNELS_LAST


def dataset_layout(shape: Sequence[Any]) -> str:
    """The layout `Dataset` feeds images in: channels first when entry 1 is 3."""
    return CHANNELS_FIRST if len(shape) > 1 and shape[1] == 3 else CHANNELS_LAST


def sample_images(folder: str) -> List[str]:
    """The image files below `folder` in the order `Dataset` finds them: the
    walk sorted, subfolders too, so the same tree gives the same list however
    it was made."""
    found: List[str] = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        found.extend(os.path.join(root, name) for name in sorted(files) if name.lower().endswith(IMAGE_ENDINGS))
    return found


def normalize_array(instance: Any, quant_norm: str, channels_first: bool = False) -> Any:
    """A float32 array normalised as `Dataset` normalises: "unsigned" 0..1,
    "signed" -1..1, "imagenet" the channel means subtracted, "raw" as it is;
    ValueError for any other option."""
    import numpy as np
    data = np.asarray(instance).astype(np.float32)
    if quant_norm == "unsigned":
        data = data / np.float32(255.0)
    elif quant_norm == "signed":
        data = data / np.float32(127.5) - np.float32(1.0)
    elif quant_norm == "imagenet":
        means = (-np.array(IMAGENET_MEANS)).astype(np.float32)
        data = data + (means.reshape(3, 1, 1) if channels_first else means)
    elif quant_norm != "raw":
        raise ValueError("\t - [{}] is not supported as a normalization option.".format(quant_norm))
    return data.astype(np.float32)


def image_sample(path: str, shape: Sequence[int], input_type: Any, quant_norm: str,
                 layout: Optional[str] = None) -> Any:
    """One image file as one sample of `shape` (batch entry first) and
    `input_type` (np.float32 normalised by `quant_norm`, np.uint8 pixel
    values, np.int8 pixel values minus 128). Raises what Pillow or NumPy
    raises for an image that does not fit (another channel count, say)."""
    import numpy as np
    from PIL import Image
    layout = layout or sample_layout(shape)
    first = layout == CHANNELS_FIRST
    height, width = (shape[2], shape[3]) if first else (shape[1], shape[2])
    with Image.open(path) as img:
        img.load()
        data = np.asarray(img.resize((width, height)))
    if data.ndim == 2:  # greyscale: the one channel
        data = data[np.newaxis] if first else data[..., np.newaxis]
    elif first:
        data = np.transpose(data, [2, 0, 1])
    if input_type == np.uint8:
        return np.reshape(data, shape).astype(input_type)
    if input_type == np.int8:
        return np.reshape((data.astype(np.int32) - 128).astype(np.int8), shape).astype(input_type)
    if input_type == np.float32:
        return normalize_array(np.reshape(data, shape).astype(np.float32), quant_norm, first)
    raise ValueError("Input type: %s not supported" % str(input_type))


class ArrayDataset:
    """`Dataset` with NumPy arrays for samples and no TensorFlow: the same
    arguments, attributes and `generator()`; each call of the returned
    function starts a fresh, lazy pass yielding [sample] items."""

    def __init__(self, samples: Tuple[str, Any], input_shape: Sequence[int], quant_norm: str,
                 num_samples: int = 10, input_type: Any = None) -> None:
        import numpy as np
        self.samples = samples
        self.input_shape = input_shape
        self.quant_norm = quant_norm
        self.annotations_list: List[Any] = []
        self.num_samples = num_samples
        self.input_type = np.float32 if input_type is None else input_type

    def generator(self) -> Callable[[], Iterator[List[Any]]]:
        samples_source, crop = self.samples
        if samples_source.startswith("http://") or samples_source.endswith(".veltrix") \
                or samples_source.endswith(".kelp"):
            return lambda: self._datastore(samples_source, crop)
        if os.path.isdir(samples_source):
            return lambda: self._folder(samples_source)
        print("We do not support datastore datasets currently")
        print("Using white noise dataset generation")
        return self._white_noise

    def _white_noise(self) -> Iterator[List[Any]]:
        import numpy as np
        for _ in range(self.num_samples):
            if self.input_type == np.float32:
                yield [np.random.random(self.input_shape).astype(self.input_type)]
            elif self.input_type == np.uint8:
                yield [np.random.randint(0, 256, self.input_shape).astype(self.input_type)]
            elif self.input_type == np.int8:
                yield [np.random.randint(-128, 128, self.input_shape).astype(self.input_type)]

    def _folder(self, folder: str) -> Iterator[List[Any]]:
        import numpy as np
        image_paths = sample_images(folder)
        if not image_paths:
            raise ValueError("Cannot find any usable images in %s" % folder)
        for _ in range(self.num_samples):
            if not image_paths:
                return
            path = image_paths.pop(np.random.randint(0, len(image_paths)))
            try:
                sample = image_sample(path, self.input_shape, self.input_type, self.quant_norm)
            except Exception:  # noqa: B902 - an image that does not fit is passed over, as Dataset does
                continue
            yield [sample]

    def _datastore(self, source: str, crop: Any) -> Iterator[List[Any]]:
        from veltrix.converter.plugin_api import sample_feeds
        feed_class = sample_feeds.DatastoreGeneratorClassification if crop else sample_feeds.DatastoreGeneratorDetection
        feed = feed_class(source=source, input_shape=self.input_shape[1:])
        count = 0
        for instance in feed.get_samples():
            yield [normalize_array(instance, self.quant_norm)]
            count += 1
            if count >= self.num_samples:
                return
