"""What every converter plug-in needs beyond the two-function contract, in one
place: a failure type and a decorator that keep answers well-formed, strict
checks of the parameter dictionary against the plug-in's table, calibration
that is accounted for, deterministic sampling, safe writing of the
destination, quiet native libraries, and progress for people.

A plug-in written with them::

    from veltrix.converter.plugin_api.helpers import PluginError, check_options, plugin_convert

    def query_convert(src_type, dst_type):
        ...

    @plugin_convert
    def convert(src, dst, params):
        options = check_options(params, query_convert(params["input-model-type"], params["output-model-type"]))
        if options["level"] > 9:
            raise PluginError("--level must be 0 to 9, not %d" % options["level"])
        with safe_output(dst) as partial:
            write_model(partial)
        return "Wrote %s" % dst

Nothing here imports NumPy, Pillow or TensorFlow at import time.
"""

import contextlib
import difflib
import functools
import io
import os
import shutil
import stat
import sys
import tempfile
from typing import Any, Callable, Dict, Generator, Iterator, List, Mapping, Optional, Sequence, TextIO, Tuple

from veltrix.converter.plugin_api.contract import ConversionResponse, ParameterDescriptor, Params
from veltrix.converter.plugin_api.params import reserved_params_list

ConvertFunction = Callable[[str, str, Params], Any]

# Keys the front end puts in every parameter dictionary besides the plug-in's
# table and the reserved catalogue.
FRONT_END_KEYS = ("source", "dest", "input-model-type", "output-model-type", "plugin")
TRUE_WORDS = ("true", "yes", "on", "1")
FALSE_WORDS = ("false", "no", "off", "0")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg")


class PluginError(Exception):
    """A failure with a message meant for the user: `plugin_convert` turns it
    into a FAILURE answer."""


def success(message: object) -> ConversionResponse:
    """A conversion response reporting success."""
    return {"success": "yes", "message": str(message)}


def failure(message: object) -> ConversionResponse:
    """A conversion response reporting failure."""
    return {"success": "no", "message": str(message)}


def first_line(text: object) -> str:
    lines = [line.strip() for line in str(text).strip().splitlines() if line.strip()]
    return lines[0] if lines else ""


def plugin_convert(function: ConvertFunction) -> Callable[[str, str, Params], ConversionResponse]:
    """Wrap a plug-in's `convert` so that its answer is always well-formed:
    a text (or a success response) is success, PluginError is a failure with
    its message, any other Exception a failure naming it. SystemExit and
    KeyboardInterrupt pass through."""
    @functools.wraps(function)
    def convert(src: str, dst: str, params: Params) -> ConversionResponse:
        try:
            result = function(src, dst, params)
        except PluginError as exc:
            return failure(str(exc))
        except Exception as exc:  # an error of a library the plug-in uses
            text = first_line(exc)
            return failure("%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__)
        if result is None:
            return failure("The plug-in gave no answer")
        if isinstance(result, str):
            return success(result)
        if isinstance(result, dict):
            ok = result.get("success")
            if ok is True or ok == "yes":
                return success(result.get("message", ""))
            if ok is False or ok == "no":
                return failure(result.get("message", ""))
        return failure("The plug-in answered %r; an answer is a text or {'success': 'yes' or 'no', 'message': text}"
                       % (result,))
    return convert


# ------------------------------------------------------------ options

def _suggest(key: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(key, known, n=1, cutoff=0.6)
    return " (did you mean --%s?)" % close[0] if close else ""


def check_options(params: Mapping[str, Any], table: Optional[Mapping[str, Any]],
                  extra_choices: Optional[Mapping[str, Sequence[Any]]] = None,
                  reserved: Optional[Mapping[str, Any]] = None) -> Params:
    """The parameter dictionary checked against the plug-in's table and the
    reserved catalogue, as a new dictionary of typed values.

    Raises PluginError naming the option, the value and what is accepted for:
    an option neither table knows (with the closest known one), a value
    outside `choices` (a descriptor's default is always accepted;
    `extra_choices` {key: [...]} widens a reserved descriptor's choices), a
    boolean that is not true/false/yes/no/on/off/1/0, an integer that is a
    bare flag, text or negative where the descriptor is an "int", and a list
    whose length differs from a fixed `array` length.
    """
    reserved = reserved_params_list if reserved is None else reserved
    table = dict(table or {})
    known = list(table) + [k for k in reserved if k not in table] + [k for k in FRONT_END_KEYS]
    out: Params = {}
    for key, value in params.items():
        if key not in table and key not in reserved and key not in FRONT_END_KEYS:
            raise PluginError("Unknown option --%s%s" % (key, _suggest(key, known)))
        descriptor = table.get(key, reserved.get(key, {})) or {}
        out[key] = _check_value(key, value, descriptor, (extra_choices or {}).get(key))
    return out


def _check_value(key: str, value: Any, descriptor: Mapping[str, Any], extra: Optional[Sequence[Any]]) -> Any:
    kind = descriptor.get("type")
    default = descriptor.get("default", object())
    if value is default or (value == default and type(value) is type(default)):
        return value
    array = descriptor.get("array")
    if array is not None:
        if value is None:
            return value
        if not isinstance(value, list):
            raise PluginError("--%s takes a comma-separated list, not %r" % (key, value))
        if isinstance(array, str) and array.isdigit() and len(value) != int(array):
            raise PluginError("--%s takes %s values, not %d (%s)" % (key, array, len(value), ",".join(map(str, value))))
        return value
    if kind == "boolean":
        if isinstance(value, bool):
            return value
        if isinstance(value, str) and value.lower() in TRUE_WORDS + FALSE_WORDS:
            return value.lower() in TRUE_WORDS
        raise PluginError("--%s takes true or false, not %r" % (key, value))
    if kind == "int":
        if value is True:
            raise PluginError("--%s needs a number (it was given as a bare flag)" % key)
        if isinstance(value, bool) or not isinstance(value, int):
            raise PluginError("--%s needs a whole number, not %r" % (key, value))
    choices = list(descriptor.get("choices") or [])
    choices += [c for c in extra or [] if c not in choices]
    if choices and value not in choices:
        raise PluginError("--%s must be one of %s, not %r" % (key, ", ".join(map(str, choices)), value))
    return value


def positive_int(options: Mapping[str, Any], key: str) -> int:
    value = options.get(key)
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise PluginError("--%s needs a whole number of 1 or more, not %r" % (key, value))
    return value


# ------------------------------------------------------------ people

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


# ------------------------------------------------------- determinism

@contextlib.contextmanager
def seeded(seed: int) -> Iterator[None]:
    """NumPy's global random state seeded for the block and restored after,
    so sampling is the same on every run and the caller's state is kept."""
    import numpy as np
    state = np.random.get_state()
    np.random.seed(seed)
    try:
        yield
    finally:
        np.random.set_state(state)


# ------------------------------------------------------- calibration

def find_images(folder: str) -> List[str]:
    """Image files below `folder` as the sample modules find them."""
    found: List[str] = []
    for root, _, files in os.walk(folder):
        found.extend(os.path.join(root, f) for f in sorted(files) if f.lower().endswith(IMAGE_SUFFIXES))
    return found


MODE_NAMES = {"L": "greyscale", "LA": "greyscale with alpha", "P": "palette", "RGBA": "RGBA", "CMYK": "CMYK",
              "RGB": "RGB", "I": "32-bit greyscale", "I;16": "16-bit greyscale", "F": "float", "1": "black and white"}
UNDECODABLE = "undecodable"


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
                 progress: Optional[Progress] = None) -> None:
        self.function, self.limit, self.progress = generator_function, limit, progress
        self.used = 0

    def __call__(self) -> Generator[Any, None, None]:
        self.used = 0
        generator = self.function()
        try:
            for sample in generator:
                if self.used >= self.limit:
                    break
                self.used += 1
                if self.progress:
                    self.progress.count("calibrating", self.used, self.limit)
                yield sample
        finally:
            close = getattr(generator, "close", None)
            if close is not None:
                close()


# ------------------------------------------------------------ output

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


# ---------------------------------------------------- native chatter

class NativeOutput:
    """What native libraries wrote to standard error during a block."""
    text = ""


@contextlib.contextmanager
def captured_native_output() -> Iterator["NativeOutput"]:
    """Standard error of native libraries (file descriptor 2) kept in a
    buffer for the block instead of reaching the user; the object yielded
    has `.text` once the block ends, for a failure message."""
    captured = NativeOutput()
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield captured
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            captured.text = sink.read().decode("utf-8", "replace")


def last_meaningful_line(text: str) -> str:
    """The last line of native output that says something (not a bare
    location or a blank)."""
    for line in reversed(text.strip().splitlines()):
        line = line.strip()
        if line and not line.startswith(("W0000", "I0000", "WARNING: All log messages")):
            return line
    return ""


# ------------------------------------------- samples, end to end

VERIFY_SAMPLES = 4


def is_datastore(source: str) -> bool:
    """A sample source the datastore module reads (as the sample modules decide)."""
    return source.startswith("http://") or source.endswith((".veltrix", ".kelp"))


class SampleSource:
    """Where a conversion's calibration and verification samples come from,
    accounted for. A folder is surveyed (found, usable, skipped and why);
    `num_samples` usable images are chosen with `seed` for calibration and up
    to four others held out for verification (the calibration images when
    none are left). An empty source is white noise, with a warning."""

    def __init__(self, options: Mapping[str, Any], shape: Sequence[int], num_samples: int, workdir: str) -> None:
        self.source = str(options.get("samples") or "")
        self.shape, self.num_samples, self.workdir = list(shape), num_samples, workdir
        self.crop = bool(options.get("crop"))
        self.norm = str(options.get("quant-normalization") or "unsigned")
        self.seed = int(options.get("seed", 0) or 0)
        self.warnings: List[str] = []
        self.verify_images: Optional[Tuple[List[str], str]] = None
        self.calibration: Optional[Calibration] = None
        # channels-first when entry 1 is 3, as the sample modules decide
        self.channels = 3 if len(self.shape) > 1 and self.shape[1] == 3 else self.shape[-1]

    @property
    def name(self) -> str:
        return self.source or "white noise"

    def check(self) -> None:
        """Fail early on a source that does not exist."""
        if self.source and not is_datastore(self.source) and not os.path.isdir(self.source):
            raise PluginError("Sample source not found: %s (give a folder of images or a datastore reference)"
                              % self.source)

    def _link_folder(self, name: str, paths: Sequence[str]) -> str:
        """A folder of links to exactly these images, for the sample modules."""
        folder = os.path.join(self.workdir, name)
        os.mkdir(folder)
        for i, path in enumerate(paths):
            os.symlink(os.path.abspath(path), os.path.join(folder, "%05d%s" % (i, os.path.splitext(path)[1].lower())))
        return folder

    def _folder(self) -> Tuple[str, int, str]:
        import numpy as np
        found = find_images(self.source)
        usable, skipped = survey_images(found, self.channels)
        if not usable:
            raise PluginError("No usable image in %s: %d found%s" % (
                self.source, len(found), ", " + summary_of_skipped(skipped, self.channels) if skipped else ""))
        chosen = [usable[i] for i in np.random.RandomState(self.seed).permutation(len(usable))]
        calibrate, rest = chosen[:self.num_samples], chosen[self.num_samples:]
        self.verify_images = ((rest[:VERIFY_SAMPLES], "held-out images") if rest
                              else (calibrate[:VERIFY_SAMPLES], "calibration images, none held out"))
        text = "from %s (%d images found, %d usable" % (self.source, len(found), len(usable))
        text += (", " + summary_of_skipped(skipped, self.channels) if skipped else "") + ")"
        return self._link_folder("calibration", calibrate), len(calibrate), text

    def calibrate(self, input_type: Any, progress: Optional[Progress] = None) -> Calibration:
        """A counted generator function of calibration samples of `input_type`."""
        from veltrix.converter.plugin_api.dataset import Dataset
        if not self.source:
            source, count = "", self.num_samples
            self.warnings.append("no --samples given: calibrated on white noise, so accuracy will suffer; "
                                 "pass --samples with a folder of representative images")
            self.accounting = "from white noise (accuracy will suffer; pass --samples)"
        elif is_datastore(self.source):
            source, count = self.source, self.num_samples
            self.accounting = "from the datastore %s" % self.source
        else:
            source, count, self.accounting = self._folder()
        with contextlib.redirect_stdout(io.StringIO()):  # the white-noise notice: the warning says it
            dataset = Dataset((source, self.crop), self.shape, self.norm, count, input_type)  # type: ignore[arg-type]
            function = dataset.generator()
        self.calibration = Calibration(function, self.num_samples, progress)
        return self.calibration

    def used_text(self) -> str:
        used = self.calibration.used if self.calibration else 0
        return "%d sample%s reached calibration %s" % (used, "" if used == 1 else "s", self.accounting)

    def verification(self) -> Tuple[List[Any], str]:
        """Float32 NumPy samples for comparing models, and what they are."""
        import numpy as np

        from veltrix.converter.plugin_api.dataset import Dataset
        images = self.verify_images
        if images is None and self.source and os.path.isdir(self.source):
            usable, _ = survey_images(find_images(self.source), self.channels)
            images = (usable[:VERIFY_SAMPLES], "images of %s" % self.source)
        if images is not None:
            source, what = self._link_folder("verification", images[0]), images[1]
        elif self.source and is_datastore(self.source):
            source, what = self.source, "the datastore"
        else:
            source, what = "", "white noise"
        with seeded(self.seed + 1), contextlib.redirect_stdout(io.StringIO()):
            dataset = Dataset((source, self.crop), self.shape, self.norm, VERIFY_SAMPLES, np.float32)  # type: ignore[arg-type]
            samples = [np.asarray(s[0], dtype=np.float32) for s in dataset.generator()()]
        return samples, what


def agreement(pairs: Sequence[Tuple[Any, Any]], what: str, min_agreement: int = 0) -> str:
    """"verified on N samples (what): largest difference D, top-1 agreement
    a/n (p%)" for (expected, got) output pairs; PluginError when the
    agreement is below `min_agreement` percent (0: never)."""
    import numpy as np
    diffs, agree, scored = [], 0, 0
    for expected, got in pairs:
        expected = np.asarray(expected, dtype=np.float32).reshape(np.shape(got))
        got = np.asarray(got, dtype=np.float32)
        diffs.append(float(np.abs(got - expected).max()) if got.size else 0.0)
        if got.ndim == 2 and got.shape[-1] > 1:  # class scores
            scored += 1
            agree += int(got.argmax(-1)[0] == expected.argmax(-1)[0])
    text = "verified on %d sample%s (%s): largest difference %.4g" % (
        len(pairs), "" if len(pairs) == 1 else "s", what, max(diffs) if diffs else 0.0)
    if scored:
        percent = 100.0 * agree / scored
        text += ", top-1 agreement %d/%d (%.0f%%)" % (agree, scored, percent)
        if min_agreement and percent < min_agreement:
            raise PluginError("Verification failed: top-1 agreement %.0f%% is below --verify-min-agreement %d (%s); "
                              "nothing was written" % (percent, min_agreement, text))
    return text


class ConversionRun:
    """What one conversion holds while it works (see `conversion_run`)."""

    def __init__(self, name: str, progress: Progress, workdir: str) -> None:
        self.name, self.progress, self.workdir = name, progress, workdir
        self.warnings: List[str] = []


@contextlib.contextmanager
def conversion_run(name: str) -> Iterator[ConversionRun]:
    """The frame of one conversion: a work folder (removed after), progress
    on the real standard error, standard output and native libraries'
    standard error kept out of the user's way, a library's error turned into
    a PluginError quoting the last meaningful line the library printed, and
    the warnings collected in `.warnings` shown at the end."""
    progress_stream = os.fdopen(os.dup(2), "w")
    run = ConversionRun(name, Progress(name, progress_stream), tempfile.mkdtemp(prefix=name + "-"))
    native = NativeOutput()
    try:
        with captured_native_output() as native, contextlib.redirect_stdout(io.StringIO()):
            yield run
    except Exception as exc:
        line = "" if isinstance(exc, PluginError) else last_meaningful_line(native.text)
        if not line:
            raise
        lines = str(exc).strip().splitlines()
        raise PluginError("%s: %s (%s)" % (type(exc).__name__, lines[0] if lines else "", line)) from exc
    finally:
        shutil.rmtree(run.workdir, ignore_errors=True)
        for text in run.warnings:
            warn(name, text)
        progress_stream.close()


# ------------------------------------------------------------ checks

def check_source(name: str, src: str, src_type: str, supported: Sequence[str]) -> None:
    """Fail early on a source that is missing, of a type the plug-in does not
    read, or a SavedModel ("pb") that is not a folder."""
    if not os.path.exists(src):
        raise PluginError("Source model not found: %s" % src)
    if src_type not in supported:
        raise PluginError("%s cannot read %r models (supported: %s)" % (name, src_type, ", ".join(supported)))
    if src_type == "pb" and not os.path.isdir(src):
        raise PluginError("A SavedModel is a folder holding saved_model.pb: %s" % src)


def check_quantization_options(options: Mapping[str, Any]) -> int:
    """The checks every quantizing plug-in makes of the reserved and common
    options; the number of samples asked for."""
    if options.get("quant-tensor") and options.get("quant-channel"):
        raise PluginError("Choose one of --quant-tensor and --quant-channel, not both")
    if options.get("seed", 0) < 0:
        raise PluginError("--seed must be 0 or more, not %d" % options["seed"])
    if options.get("verify-min-agreement", 0) not in range(0, 101):
        raise PluginError("--verify-min-agreement is a percentage, 0 to 100, not %r" % options["verify-min-agreement"])
    return positive_int(options, "num-samples")


def load_keras_model(src: str, src_type: str, workdir: str) -> Any:
    """A Keras model file, loaded with Keras' safe mode stated (a file never
    runs code it carries) and without regard to the case of its extension."""
    import keras
    path = src
    extension = "." + src_type
    if not path.endswith(extension):  # Keras reads a file by its lower-case extension
        path = os.path.join(workdir, "model" + extension)
        os.symlink(os.path.abspath(src), path)
    try:
        return keras.models.load_model(path, compile=False, safe_mode=True)
    except Exception as exc:  # whatever Keras raises about the file
        raise PluginError("Cannot read Keras model %s: %s" % (src, first_line(exc) or type(exc).__name__)) from exc


def trust_parameters() -> Dict[str, ParameterDescriptor]:
    """A new table of the parameters a trustworthy conversion offers (what
    SampleSource, check_quantization_options and agreement read): `seed`,
    `verify` and `verify-min-agreement`. Add it to your own table."""
    return {
        "seed": {"type": "int", "default": 0, "name": "Seed",
                 "help": "Seed of the sample choice: the same seed gives the same model"},
        "verify": {"type": "boolean", "default": True, "name": "Verify",
                   "help": "Run the source and the converted model on a few samples and report how they agree"},
        "verify-min-agreement": {"type": "int", "default": 0, "name": "Minimum Agreement",
                                 "help": "Fail when the top-1 agreement of the verification is below this percentage"},
    }
