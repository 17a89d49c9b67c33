"""Calibration and verification samples: image surveys (what was found,
what is usable and why the rest is not), the counted calibration
generator, and `SampleSource`, which accounts for where the samples of one
conversion come from."""

import contextlib
import io
import os
import stat
from typing import Any, Callable, Dict, Generator, Iterator, List, Mapping, Optional, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.arrays import IMAGE_ENDINGS, ArrayDataset, dataset_layout, sample_images, sample_layout
from veltrix.converter.plugin_api.helpers.determinism import RandomStream, seeded
from veltrix.converter.plugin_api.helpers.layout import channels_of
from veltrix.converter.plugin_api.helpers.progress import Progress

IMAGE_SUFFIXES = IMAGE_ENDINGS
_END = object()

def find_images(folder: str) -> List[str]:
    """Image files below `folder` as the sample modules find them, in one
    order whatever order the folders were made in (the walk is sorted,
    subfolders too); anything that is not a regular file (a FIFO or a device
    named *.png) is left out, since opening it could block forever."""
    return [path for path in sample_images(folder) if _is_regular(path)]


def _is_regular(path: str) -> bool:
    """A regular file, or a link to one (a link's target is what is opened)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


MODE_NAMES = {"L": "greyscale", "LA": "greyscale with alpha", "P": "palette", "RGBA": "RGBA", "CMYK": "CMYK",
              "RGB": "RGB", "I": "32-bit greyscale", "I;16": "16-bit greyscale", "F": "float", "1": "black and white"}
UNDECODABLE = "undecodable"
# Images of the other kind a model's channels are made from: {channels: (mode found, mode made)}.
CONVERTIBLE = {1: ("RGB", "L"), 3: ("L", "RGB")}


def survey_images(paths: Sequence[str], channels: int) -> Tuple[List[str], Dict[str, int]]:
    """(usable paths, {reason: count}) for images the sample modules can turn
    into `channels`-channel samples, reading headers only. A reason is the
    image's colour mode ("greyscale", "CMYK", ...) or "undecodable"."""
    from PIL import Image
    modes = {1: ("L",), 3: ("RGB",), 4: ("RGBA",)}.get(channels, ())
    usable: List[str] = []
    skipped: Dict[str, int] = {}
    for path in paths:
        try:
            with Image.open(path) as img:
                mode = img.mode
        except Exception:  # noqa: B902 - any image Pillow cannot open is skipped the same way
            reason = UNDECODABLE
        else:
            if mode in modes:
                usable.append(path)
                continue
            reason = MODE_NAMES.get(mode, mode)
        skipped[reason] = skipped.get(reason, 0) + 1
    return usable, skipped


def summary_of_skipped(skipped: Mapping[str, int], channels: int) -> str:
    """"6 skipped: 2 CMYK, 2 greyscale (not 3 channels), 1 undecodable"."""
    modes = sorted((r, n) for r, n in skipped.items() if r != UNDECODABLE)
    parts = []
    if modes:
        parts.append("%s (not %d channel%s)" % (", ".join("%d %s" % (n, r) for r, n in modes), channels,
                                               "" if channels == 1 else "s"))
    if skipped.get(UNDECODABLE):
        parts.append("%d %s" % (skipped[UNDECODABLE], UNDECODABLE))
    return "%d skipped: %s" % (sum(skipped.values()), ", ".join(parts))


class Calibration:
    """The samples a quantizer draws, counted: wraps a Dataset's generator
    function so that at most `limit` samples reach the quantizer, and records
    how many did."""

    def __init__(self, generator_function: Callable[[], Iterator[Any]], limit: int,
                 progress: Optional[Progress] = None, seed: Optional[int] = None) -> None:
        self.function, self.limit, self.progress, self.seed = generator_function, limit, progress, seed
        self.used = 0

    def __call__(self) -> Generator[Any, None, None]:
        """One pass. With a `seed`, every draw the samples need comes from a
        stream of that seed, the same on every pass and every run however
        the quantizer runs it (NumPy's global state is given back between
        samples)."""
        self.used = 0
        stream = RandomStream(self.seed) if self.seed is not None else None
        steps = stream.active if stream is not None else contextlib.nullcontext
        with steps():
            generator = iter(self.function())
        try:
            while self.used < self.limit:
                with steps():
                    sample = next(generator, _END)
                if sample is _END:
                    break
                self.used += 1
                if self.progress:
                    self.progress.count("calibrating", self.used, self.limit)
                yield sample
        finally:
            close = getattr(generator, "close", None)
            if close is not None:
                close()

# Verification samples: every held-out image of a folder up to
# MAX_VERIFY_IMAGES, else (white noise, a datastore, generated inputs) this many.
VERIFY_SAMPLES = 16
MAX_VERIFY_IMAGES = 64


def is_datastore(source: str) -> bool:
    """A sample source the datastore module reads (as the sample modules decide)."""
    return source.startswith("http://") or source.endswith((".veltrix", ".kelp"))


def check_sample_source(source: str) -> None:
    """Samples the user named are used or refused, never replaced by white
    noise: fail on a source that does not exist or is a single file."""
    if source and not is_datastore(source) and os.path.exists(source) and not os.path.isdir(source):
        raise PluginError("The sample source %s is a file: --samples takes a folder of images or a datastore "
                          "reference" % source)
    if source and not is_datastore(source) and not os.path.isdir(source):
        raise PluginError("Sample source not found: %s (give a folder of images or a datastore reference)" % source)


class SampleSource:
    """Where a conversion's calibration and verification samples come from,
    accounted for. A folder is surveyed (found, usable, skipped and why);
    `num_samples` usable images are chosen with `seed` for calibration, the
    others held out for verification (the calibration images when none are
    left). An empty source is white noise, with a warning.

    Images are fed in the layout the input shape says where it is
    unambiguous (so ``[1, 1, H, W]`` is one channel, channels first), else
    channels first when entry 1 is 3. Verification samples are NumPy arrays
    made without TensorFlow; calibration samples are too with `arrays=True`
    (or when `Dataset` cannot feed the layout), else they come from `Dataset`
    (TensorFlow tensors for float32)."""

    def __init__(self, options: Mapping[str, Any], shape: Sequence[int], num_samples: int, workdir: str,
                 arrays: bool = False) -> None:
        self.source = str(options.get("samples") or "")
        self.shape, self.num_samples, self.workdir = list(shape), num_samples, workdir
        self.crop = bool(options.get("crop"))
        self.norm = str(options.get("quant-normalization") or "unsigned")
        self.seed = int(options.get("seed", 0) or 0)
        self.warnings: List[str] = []
        self.verify_images: Optional[Tuple[List[str], str]] = None
        self.calibration: Optional[Calibration] = None
        self.layout = sample_layout(self.shape)
        self.channels = (channels_of(self.shape, self.layout) if len(self.shape) == 4
                         else self.shape[-1] if self.shape else None) or 0
        # Dataset feeds only the layouts it reads from the shape itself
        self.arrays = arrays or self.layout != dataset_layout(self.shape)

    @property
    def name(self) -> str:
        """The source as it may be shown (a datastore URL's password hidden)."""
        if is_datastore(self.source):
            from veltrix.converter.plugin_api.datasets import redact
            return str(redact(self.source))
        return self.source or "white noise"

    def check(self) -> None:
        """Fail early on a source that does not exist or is a single file."""
        check_sample_source(self.source)

    def _link_folder(self, name: str, paths: Sequence[str]) -> str:
        """A folder of links to exactly these images, for the sample modules."""
        import tempfile
        folder = tempfile.mkdtemp(prefix=name + "-", dir=self.workdir)  # verification may run more than once
        for i, path in enumerate(paths):
            os.symlink(os.path.abspath(path), os.path.join(folder, "%05d%s" % (i, os.path.splitext(path)[1].lower())))
        return folder

    def _usable(self, found: Sequence[str]) -> Tuple[List[str], Dict[str, int], str]:
        """(usable images, {reason: count} of the skipped, what was converted):
        colour images for a one-channel input, and greyscale ones for a
        three-channel input, are converted to the input's channels (copies in
        the work folder)."""
        usable, skipped = survey_images(found, self.channels)
        rule = CONVERTIBLE.get(self.channels)
        if rule is None or not skipped.get(MODE_NAMES[rule[0]]) or not self.workdir:
            return usable, skipped, ""
        import tempfile

        from PIL import Image
        folder = tempfile.mkdtemp(prefix="converted-", dir=self.workdir)
        taken, converted = set(usable), []
        for path in found:
            if path in taken:
                continue
            target = os.path.join(folder, "%05d.png" % len(converted))
            try:
                with Image.open(path) as img:
                    if img.mode != rule[0]:
                        continue
                    img.convert(rule[1]).save(target)
            except Exception:  # noqa: B902 - an image Pillow cannot convert stays skipped
                continue
            converted.append(target)
        name = MODE_NAMES[rule[0]]
        skipped[name] -= len(converted)
        if not skipped[name]:
            del skipped[name]
        return usable + converted, skipped, "%d converted from %s to %s" % (
            len(converted), name, MODE_NAMES[rule[1]]) if converted else ""

    def _folder(self) -> Tuple[str, int, str]:
        import numpy as np
        found = find_images(self.source)
        usable, skipped, converted = self._usable(found)
        if not usable:
            raise PluginError("No usable image in %s: %d found%s" % (
                self.source, len(found), ", " + summary_of_skipped(skipped, self.channels) if skipped else ""))
        chosen = [usable[i] for i in np.random.RandomState(self.seed).permutation(len(usable))]
        calibrate, rest = chosen[:self.num_samples], chosen[self.num_samples:]
        self.verify_images = ((rest, "held-out images") if rest
                              else (calibrate, "calibration images, none held out"))
        text = "from %s (%d images found, %d usable" % (self.source, len(found), len(usable))
        text += (", " + converted if converted else "") + (", " + summary_of_skipped(skipped, self.channels) if skipped else "") + ")"
        return self._link_folder("calibration", calibrate), len(calibrate), text

    def _dataset(self, source: str, count: int, input_type: Any, arrays: bool) -> Any:
        if arrays:
            return ArrayDataset((source, self.crop), self.shape, self.norm, count, input_type)
        from veltrix.converter.plugin_api.dataset import Dataset
        return Dataset((source, self.crop), self.shape, self.norm, count, input_type)  # type: ignore[arg-type]

    def calibrate(self, input_type: Any, progress: Optional[Progress] = None) -> Calibration:
        """A counted generator function of calibration samples of `input_type`."""
        if not self.source:
            source, count = "", self.num_samples
            self.warnings.append("no --samples given: calibrated on white noise, so accuracy will suffer; "
                                 "pass --samples with a folder of representative images")
            self.accounting = "from white noise (accuracy will suffer; pass --samples)"
        elif is_datastore(self.source):
            source, count = self.source, self.num_samples
            self.accounting = "from the datastore %s" % self.name
        else:
            source, count, self.accounting = self._folder()
        with contextlib.redirect_stdout(io.StringIO()):  # the white-noise notice: the warning says it
            function = self._dataset(source, count, input_type, self.arrays).generator()
        self.calibration = Calibration(function, self.num_samples, progress, self.seed)
        return self.calibration

    def used_text(self) -> str:
        used = self.calibration.used if self.calibration else 0
        return "%d sample%s reached calibration %s" % (used, "" if used == 1 else "s", self.accounting)

    def verification(self, count: Optional[int] = None) -> Tuple[List[Any], str]:
        """Up to `count` float32 NumPy samples for comparing models, and what
        they are; no samples (and why, as the second item) when no image fits
        the input. Without a count: every held-out image of a folder, up to
        MAX_VERIFY_IMAGES, else VERIFY_SAMPLES."""
        import numpy as np
        images = self.verify_images
        if images is None and self.source and os.path.isdir(self.source):
            found = find_images(self.source)
            usable, skipped, converted = self._usable(found)
            if not usable:
                return [], "no sample fits the input shape %s: %d image%s found in %s%s" % (
                    list(self.shape), len(found), "" if len(found) == 1 else "s", self.source,
                    ", " + summary_of_skipped(skipped, self.channels) if skipped else "")
            images = (usable, "images of %s%s" % (self.source, ", " + converted if converted else ""))
        if images is not None:
            count = min(count or MAX_VERIFY_IMAGES, len(images[0]))
            source, what = self._link_folder("verification", images[0][:count]), images[1]
        elif self.source and is_datastore(self.source):
            source, what = self.source, "the datastore"
        else:
            source, what = "", "white noise"
        count = count or VERIFY_SAMPLES
        with seeded(self.seed + 1), contextlib.redirect_stdout(io.StringIO()):
            samples = [np.asarray(s[0], dtype=np.float32)
                       for s in self._dataset(source, count, np.float32, True).generator()()]
        if not samples:
            what = "no sample fits the input shape %s (%s)" % (list(self.shape), what)
        return samples, what
