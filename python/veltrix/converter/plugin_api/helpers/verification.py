"""Comparing a converted model with its source, the one way every plug-in
does it: every input fed its own data, the outputs compared within a
tolerance suited to the result's precision, the figures reported.

A plug-in gives the model's signature (`Signature`, or only its input
`Tensor`s), two callables that run the source and the result on one feed
(a dictionary from input name to array; each returns the list of outputs in
the signature's order), and calls `verify`::

    from veltrix.converter.plugin_api.helpers import verify

    verified = verify(run_source, run_result, wanted, options, precision="float32",
                      sources=sample_source, workdir=run.workdir, warnings=run.warnings)
    parts.append(verified.text)   # "verified on 16 samples (...): largest difference 2.4e-07, ..."
    figures = verified.figures    # the same as numbers, for the conversion report

What each input is fed (`feeds`):
- the user's own inputs when `--verify-inputs` names a .npy file (the one
  input) or a .npz file (arrays named like the inputs, or in input order);
  the first dimension counts the samples;
- an image-shaped float input (4-D, 1 or 3 channels beside two larger
  dimensions, or `Tensor.layout` given) gets images of the sample source in
  its layout (white noise when there is none), normalised as calibration is;
- an integer or boolean input named like a mask ("attention_mask") gets ones;
- an integer input gets whole numbers in [low, high) (the source's range:
  the plug-in reads it from the model, e.g. an embedding's vocabulary size),
  0 to 9 when the model does not say;
- a boolean input random booleans, anything else standard-normal data of
  its type and shape.
A dynamic dimension is fed at the size `Signature.feed_shape` gives (1 for
the first, 64 otherwise), said in the phrase ("at shape 1,64,64,3").
How many samples: `--verify-samples`, else every image of a folder of
samples that calibration did not use (up to MAX_VERIFY_IMAGES; the
calibration images when none is left), else DEFAULT_SAMPLES; the count is
in the phrase and the figures. Every output is compared, named in messages.

What fails (PluginError, so nothing is written):
- an output that is NaN or infinite where the source's is finite;
- a largest difference above the tolerance: by default `TOLERANCES` for float
  results (|got - expected| <= absolute + relative * |expected|), none for
  quantized ones; `--verify-tolerance X` sets the absolute part for any
  result;
- a top-1 agreement below `--verify-min-agreement`, or such a minimum when
  no output holds class scores (singleton dimensions are squeezed first).
A quantized result whose agreement is below `WARN_AGREEMENT` gets a warning
(standard error) saying how to make that a FAILURE.
"""

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.arrays import sample_layout
from veltrix.converter.plugin_api.helpers.layout import CHANNELS_FIRST, CHANNELS_LAST, infer_layout
from veltrix.converter.plugin_api.helpers.samples import MAX_VERIFY_IMAGES, VERIFY_SAMPLES
from veltrix.converter.plugin_api.helpers.signature import Signature, Tensor, is_integer

# (absolute, relative) by the result's precision; quantized results have none by default.
TOLERANCES = {"float32": (1e-3, 1e-3), "float16": (1e-2, 1e-2)}
QUANTIZED = ("int8", "uint8", "dynamic")
WARN_AGREEMENT = 90
DEFAULT_SAMPLES = VERIFY_SAMPLES
INTEGER_RANGE = (0, 10)
# An integer or boolean input named like one of these is a mask: fed ones.
MASK_WORDS = ("mask",)

Feed = Dict[str, Any]
Runner = Callable[[Feed], Sequence[Any]]


@dataclass
class Verified:
    """What a verification found: the phrase for the SUCCESS line and the
    figures (samples, what they were, largest difference, tolerance,
    agreement) for the conversion report."""
    text: str
    figures: Dict[str, Any] = field(default_factory=dict)

    @property
    def largest_difference(self) -> float:
        return float(self.figures.get("largest_difference", 0.0))


def verification_parameters() -> Dict[str, Dict[str, Any]]:
    """The options verification reads besides `verify` and
    `verify-min-agreement` (part of `trust_parameters`)."""
    return {
        "verify-tolerance": {"type": "string", "default": "", "name": "Verification Tolerance",
                             "help": "Fail when an output differs from the source's by more than this (absolute; "
                                     "default 1e-3 for float32 results, 1e-2 for float16, none for quantized)"},
        "verify-inputs": {"type": "string", "default": "", "name": "Verification Inputs",
                          "help": "A .npy (one input) or .npz (one array per input) file of your own inputs to "
                                  "verify on; the first dimension counts the samples"},
        "verify-samples": {"type": "int", "default": 0, "name": "Verification Samples",
                           "help": "How many samples to verify on (0, the default: every image of --samples not "
                                   "used for calibration, up to %d, else %d)" % (MAX_VERIFY_IMAGES, DEFAULT_SAMPLES)},
    }


def tolerance_of(options: Mapping[str, Any], precision: str) -> Optional[Tuple[float, float]]:
    """(absolute, relative) for `precision`, the user's `--verify-tolerance`
    replacing the absolute part; None when nothing is checked."""
    text = str(options.get("verify-tolerance") or "").strip()
    default = TOLERANCES.get(precision)
    if not text:
        return default
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0 or value == float("inf"):
        raise PluginError("--verify-tolerance needs a number of 0 or more, not %r" % text)
    return value, (default[1] if default else 0.0)


def check_verification_options(options: Mapping[str, Any]) -> None:
    """Fail early on verification options that cannot work."""
    tolerance_of(options, "float32")
    count = options.get("verify-samples", 0)
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise PluginError("--verify-samples needs a whole number (0 for the default), not %r" % (count,))
    path = str(options.get("verify-inputs") or "")
    if path and not os.path.isfile(path):
        raise PluginError("--verify-inputs: no such file %s (give a .npy or .npz file)" % path)
    if path and not path.lower().endswith((".npy", ".npz")):
        raise PluginError("--verify-inputs takes a .npy or .npz file, not %s" % path)


def image_layout(tensor: Tensor) -> Optional[str]:
    """The layout of an image-shaped float input; None for any other input."""
    if is_integer(tensor.dtype) or len(tensor.shape) != 4:
        return None
    return tensor.layout or infer_layout(tensor.shape)


def as_signature(inputs: Union[Signature, Sequence[Tensor]]) -> Signature:
    """A Signature of these inputs (and no known outputs), or the Signature itself."""
    return inputs if isinstance(inputs, Signature) else Signature(list(inputs), [])


def is_mask(tensor: Tensor) -> bool:
    """An integer or boolean input named like an attention mask."""
    return is_integer(tensor.dtype) and any(w in tensor.name.lower() for w in MASK_WORDS)


def _user_feeds(path: str, inputs: Sequence[Tensor]) -> List[Feed]:
    import numpy as np
    try:
        loaded = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as exc:
        raise PluginError("--verify-inputs: cannot read %s: %s" % (path, exc))
    if isinstance(loaded, np.ndarray):
        if len(inputs) != 1:
            raise PluginError("--verify-inputs: a .npy file holds one input; the model has %d (give a .npz file)"
                              % len(inputs))
        arrays = [loaded]
    else:
        with loaded:
            names = list(loaded.files)
            if all(t.name in names for t in inputs):
                arrays = [loaded[t.name] for t in inputs]
            elif len(names) == len(inputs):
                arrays = [loaded[n] for n in names]
            else:
                raise PluginError("--verify-inputs: %s holds %s; the model's inputs are %s" % (
                    path, ", ".join(names) or "nothing", ", ".join(t.name for t in inputs)))
    count = None
    for tensor, array in zip(inputs, arrays):
        fixed = [d for d in tensor.shape[1:]]
        if array.ndim != len(tensor.shape) or any(d is not None and d != a for d, a in zip(fixed, array.shape[1:])):
            raise PluginError("--verify-inputs: the array for %s has shape %s; the input is %s" % (
                tensor.name, list(array.shape), tensor.shown()))
        count = array.shape[0] if count is None else min(count, array.shape[0])
    return [{t.name: np.ascontiguousarray(a[i:i + 1]).astype(t.dtype, copy=False) for t, a in zip(inputs, arrays)}
            for i in range(count or 0)]


def _turned(shape: Sequence[int], layout: str) -> Tuple[List[int], Optional[Tuple[int, ...]]]:
    """The shape of images of `shape` brought to `layout` from the layout the
    sample modules feed them in, and the transposition doing it (None when
    they already are)."""
    if len(shape) != 4 or sample_layout(shape) == layout:
        return list(shape), None
    n, a, b, c = shape
    if layout == CHANNELS_FIRST:
        return [n, c, a, b], (0, 3, 1, 2)
    return [n, b, c, a], (0, 2, 3, 1)


def _images(tensor: Tensor, shape: List[int], count: Optional[int], options: Mapping[str, Any], sources: Any,
            workdir: str) -> Tuple[List[Any], str]:
    """`count` images (None: as many as the sample source gives by default)
    of `shape` for `tensor`, in its layout (asked of the sample modules the
    other way round and transposed when they would read the shape in the
    other layout), and what they are."""
    import numpy as np

    from veltrix.converter.plugin_api.helpers.samples import SampleSource
    layout = image_layout(tensor) or CHANNELS_LAST
    if sources is None or _turned(list(getattr(sources, "shape", [])), layout)[0] != shape:
        request = shape
        if sample_layout(shape) != layout:
            n, a, b, c = shape  # the other way round: channels last for a channels-first input, and back
            request = [n, b, c, a] if layout == CHANNELS_FIRST else [n, c, a, b]
            if _turned(request, layout)[0] != shape:
                request = shape
        sources = SampleSource(options, request, count or DEFAULT_SAMPLES, workdir)
    made, order = _turned(list(sources.shape), layout)
    images, what = sources.verification(count)
    arrays = [np.asarray(image, dtype=np.float32).reshape(sources.shape) for image in images]
    return [np.ascontiguousarray(a if order is None or made != shape else np.transpose(a, order)).reshape(shape)
            .astype(tensor.dtype, copy=False) for a in arrays], what


def feeds(inputs: Union[Signature, Sequence[Tensor]], options: Mapping[str, Any], sources: Any = None,
          workdir: str = "", seed: int = 0) -> Tuple[List[Feed], str]:
    """Verification inputs for a model with `inputs` (its Signature, or its
    input Tensors) and what they are (see the module's description);
    `sources` is the conversion's SampleSource (its held-out images are used
    for an image input of its shape). Dynamic dimensions are fed at the
    signature's sizes (`Signature.feed_shape`), said in the phrase. How
    many: `--verify-samples`, else every held-out image of a folder of
    samples (up to MAX_VERIFY_IMAGES), else DEFAULT_SAMPLES."""
    import numpy as np
    signature = as_signature(inputs)
    path = str(options.get("verify-inputs") or "")
    if path:
        return _user_feeds(path, signature.inputs), "inputs of %s" % path
    from veltrix.converter.plugin_api.helpers.samples import check_sample_source
    check_sample_source(str(options.get("samples") or ""))
    count: Optional[int] = int(options.get("verify-samples") or 0) or None
    rng = np.random.RandomState(seed + 1)
    columns: Dict[str, List[Any]] = {}
    said: List[str] = []
    for tensor in [t for t in signature.inputs if image_layout(t) is not None]:
        # first: the images of a folder decide how many samples there are
        columns[tensor.name], what = _images(tensor, signature.feed_shape(tensor), count, options, sources, workdir)
        count = count or len(columns[tensor.name])
        said.append(what)
    count = count or DEFAULT_SAMPLES
    for tensor in signature.inputs:
        if tensor.name in columns:
            continue
        shape = signature.feed_shape(tensor)
        if is_mask(tensor):
            columns[tensor.name] = [np.ones(shape, dtype=tensor.dtype) for _ in range(count)]
            said.append("a mask of ones")
        elif tensor.dtype == "bool":
            columns[tensor.name] = [rng.random_sample(shape) < 0.5 for _ in range(count)]
            said.append("random booleans")
        elif is_integer(tensor.dtype):
            low = INTEGER_RANGE[0] if tensor.low is None else tensor.low
            high = INTEGER_RANGE[1] if tensor.high is None else tensor.high
            columns[tensor.name] = [rng.randint(low, high, shape).astype(tensor.dtype) for _ in range(count)]
            said.append("integers %d to %d" % (low, high - 1))
        else:
            columns[tensor.name] = [rng.standard_normal(shape).astype(tensor.dtype) for _ in range(count)]
            said.append("random %s" % tensor.dtype)
    n = min((len(c) for c in columns.values()), default=0)
    what = ", ".join(dict.fromkeys(said))
    if signature.fed_at():
        what += "; " + signature.fed_at()
    return [{t.name: columns[t.name][i] for t in signature.inputs} for i in range(n)], what


def _scores(array: Any) -> Optional[Any]:
    """Rows of class scores, singleton dimensions squeezed; None when the
    output is not class scores."""
    squeezed = array.squeeze()
    if squeezed.ndim == 1 and squeezed.size > 1:
        return squeezed[None]
    if squeezed.ndim == 2 and squeezed.shape[-1] > 1:
        return squeezed
    return None


def compare(pairs: Sequence[Tuple[Sequence[Any], Sequence[Any]]], what: str, options: Mapping[str, Any],
            precision: str = "float32", warnings: Optional[List[str]] = None,
            names: Optional[Sequence[str]] = None) -> Verified:
    """Compare (source outputs, result outputs) per sample, every output;
    the figures and the phrase, or PluginError when the result fails (module
    description). `precision` is "float32", "float16", or
    "int8"/"uint8"/"dynamic" for a quantized result; `names` the outputs'
    names, for messages and the figures of each output."""
    import numpy as np
    tolerance = tolerance_of(options, precision)
    min_agreement = int(options.get("verify-min-agreement", 0) or 0)
    largest, worst_excess, agree, scored = 0.0, 0.0, 0, 0
    each: Dict[str, float] = {}
    beyond = ""

    def called(index: int) -> str:
        return "output %s" % (names[index] if names is not None and index < len(names) else index)
    for sample, (expected_all, got_all) in enumerate(pairs):
        if len(expected_all) != len(got_all):
            raise PluginError("Verification failed: the result has %d outputs, the source %d; nothing was written"
                              % (len(got_all), len(expected_all)))
        for index, (expected, got) in enumerate(zip(expected_all, got_all)):
            expected = np.asarray(expected, dtype=np.float64)
            got = np.asarray(got, dtype=np.float64)
            if expected.size != got.size:
                raise PluginError("Verification failed: %s has shape %s, the source's %s; nothing was written"
                                  % (called(index), list(got.shape), list(expected.shape)))
            expected = expected.reshape(got.shape)
            if np.any(~np.isfinite(got) & np.isfinite(expected)):
                raise PluginError("Verification failed: %s holds NaN or infinite values where the source's "
                                  "are finite (sample %d); nothing was written" % (called(index), sample + 1))
            finite = np.isfinite(expected)
            difference = np.abs(got - expected)[finite]
            key = called(index)[len("output "):]
            each[key] = max(each.get(key, 0.0), float(difference.max()) if difference.size else 0.0)
            if difference.size:
                largest = max(largest, float(difference.max()))
                if tolerance is not None:
                    allowed = tolerance[0] + tolerance[1] * np.abs(expected[finite])
                    excess = float((difference - allowed).max())
                    if excess > worst_excess:
                        worst_excess, beyond = excess, called(index)
            rows_expected, rows_got = _scores(expected), _scores(got)
            if rows_expected is not None and rows_got is not None:
                scored += len(rows_got)
                agree += int((rows_got.argmax(-1) == rows_expected.argmax(-1)).sum())
    figures: Dict[str, Any] = {"samples": len(pairs), "inputs": what, "largest_difference": largest, "outputs": each,
                               "tolerance": list(tolerance) if tolerance else None, "precision": precision,
                               "top1_agreed": agree if scored else None, "top1_scored": scored}
    text = "verified on %d sample%s (%s): largest difference %.4g" % (
        len(pairs), "" if len(pairs) == 1 else "s", what, largest)
    if tolerance is not None:
        text += " (tolerance %g%s)" % (tolerance[0], " + %g relative" % tolerance[1] if tolerance[1] else "")
    if scored:
        percent = 100.0 * agree / scored
        figures["top1_agreement"] = percent
        text += ", top-1 agreement %d/%d (%.0f%%)" % (agree, scored, percent)
    else:
        text += ", top-1 not scored (no output holds class scores)"
    if not pairs:
        raise PluginError("Verification failed: no sample to verify on; nothing was written")
    if tolerance is not None and worst_excess > 0:
        raise PluginError("Verification failed: %s differs by up to %.4g, beyond the tolerance for a %s result "
                          "(%s); pass --verify-tolerance to relax it; nothing was written" % (
                              beyond, each[beyond[len("output "):]], precision, text))
    if min_agreement and not scored:
        raise PluginError("Verification failed: --verify-min-agreement %d cannot be checked, no output holds class "
                          "scores (%s); nothing was written" % (min_agreement, text))
    if scored and min_agreement and 100.0 * agree / scored < min_agreement:
        raise PluginError("Verification failed: top-1 agreement %.0f%% is below --verify-min-agreement %d (%s); "
                          "nothing was written" % (100.0 * agree / scored, min_agreement, text))
    if (warnings is not None and precision in QUANTIZED and scored and not min_agreement
            and 100.0 * agree / scored < WARN_AGREEMENT):
        warnings.append("the quantized model agrees with the source on top-1 for only %.0f%% of the verification "
                        "samples (below %d%%); pass --verify-min-agreement %d to make that a FAILURE"
                        % (100.0 * agree / scored, WARN_AGREEMENT, WARN_AGREEMENT))
    return Verified(text, figures)


def verify(source: Runner, result: Runner, inputs: Union[Signature, Sequence[Tensor]], options: Mapping[str, Any],
           precision: str = "float32", sources: Any = None, workdir: str = "",
           warnings: Optional[List[str]] = None) -> Verified:
    """Run the source and the result on the same feeds (`feeds`) and compare
    every output (`compare`). `source` and `result` take a feed {input name:
    array} and return the list of outputs, in the order of the signature's
    outputs when `inputs` is a Signature (whose output names the messages
    then use). PluginError when the result fails."""
    signature = as_signature(inputs)
    data, what = feeds(signature, options, sources, workdir, int(options.get("seed", 0) or 0))
    if not data:
        if options.get("verify-min-agreement") or options.get("verify-tolerance"):
            raise PluginError("Verification failed: nothing to verify on (%s), so the minimum asked for cannot be "
                              "checked; nothing was written" % what)
        return Verified("not verified (%s)" % what, {"samples": 0, "inputs": what})
    pairs = [(list(source(feed)), list(result(feed))) for feed in data]
    verified = compare(pairs, what, options, precision, warnings, signature.output_names() or None)
    verified.figures["shapes"] = signature.feed_shapes()
    return verified


def largest_difference(pairs: Sequence[Tuple[Any, Any]]) -> float:
    """The largest absolute difference between expected and got, over every
    (expected, got) output pair (expected reshaped to got's shape); 0.0 for
    no pairs or empty outputs."""
    import numpy as np
    largest = 0.0
    for expected, got in pairs:
        got = np.asarray(got, dtype=np.float32)
        expected = np.asarray(expected, dtype=np.float32).reshape(got.shape)
        if got.size:
            largest = max(largest, float(np.abs(got - expected).max()))
    return largest


def agreement(pairs: Sequence[Tuple[Any, Any]], what: str, min_agreement: int = 0) -> str:
    """The phrase of `compare` for (expected, got) pairs of one output each,
    checked only against `min_agreement` (no tolerance)."""
    return compare([([e], [g]) for e, g in pairs], what, {"verify-min-agreement": min_agreement},
                   precision="quantized").text


def calibration_feeds(inputs: Union[Signature, Sequence[Tensor]], options: Mapping[str, Any], count: int,
                      workdir: str = "", progress: Any = None) -> Tuple[Any, Callable[[], str]]:
    """Calibration for a model whose inputs are not one image: `count` feeds
    made as for verification (images of --samples for image inputs, integers
    in range, random data otherwise), as a counted generator function of
    {input name: array}, and a function giving the accounting phrase."""
    from veltrix.converter.plugin_api.helpers.samples import Calibration
    settings = dict(options)
    settings["verify-samples"], settings["verify-inputs"] = count, ""
    made: Dict[str, Any] = {}

    def generate() -> Any:
        if "feeds" not in made:
            made["feeds"], made["what"] = feeds(inputs, settings, None, workdir, int(options.get("seed", 0) or 0) + 7)
        return iter(made["feeds"])
    calibration = Calibration(generate, count, progress)

    def used_text() -> str:
        used = calibration.used
        return "%d sample%s reached calibration (%s)" % (used, "" if used == 1 else "s", made.get("what", "nothing"))
    return calibration, used_text
