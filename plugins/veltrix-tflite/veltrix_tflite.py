"""veltrix-tflite: converts Keras models (.h5, .keras) and SavedModel folders
("pb") into TensorFlow Lite models with TensorFlow's own converter, optionally
fully quantized to 8-bit integers from representative samples.

Every run checks its options before any heavy work, accounts for the samples
that reach calibration, checks that the model has the tensor types asked
for, verifies the result against the source model on a few samples, and
writes the destination only as a complete model. The same command gives the
same bytes (`--seed`).

The module imports nothing heavy at load time: the front end loads every
plug-in to list them, and TensorFlow takes seconds to import.
"""

import os
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union, cast

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    Calibration, PluginError, SampleSource, agreement, check_destination, check_options, check_quantization_options,
    check_source, conversion_run, load_keras_model, plugin_convert, query_answer, safe_output, seeded, trust_parameters)

NAME = "veltrix-tflite"
SUPPORTED_INPUTS = ["h5", "keras", "pb"]
SUPPORTED_OUTPUTS = ["tflite"]

# The reserved input shape's default; a value equal to it means "not given".
CATALOGUE_SHAPE = [1, 224, 224, 3]
TYPES = ("float32", "int8", "uint8")
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair (types compared without regard to case); None otherwise.
    A new table every call: callers write the reserved parameters into it."""
    answer = query_answer(src_type, dst_type, SUPPORTED_INPUTS, SUPPORTED_OUTPUTS)
    if not isinstance(answer, tuple):
        return answer
    table: ParameterTable = {
        "optimize": {"type": "boolean", "default": False, "name": "Optimize",
                     "help": "Apply TensorFlow Lite's default optimisations (weights in 8 bits) without samples"},
        "select-tf-ops": {"type": "boolean", "default": False, "name": "Select TF Ops",
                          "help": "Allow TensorFlow operations that TensorFlow Lite lacks (needs the Flex delegate)"},
        "allow-custom-ops": {"type": "boolean", "default": False, "name": "Custom Ops",
                             "help": "Keep unknown operations as custom operations"},
    }
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Convert `src` into the TensorFlow Lite model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


def _input_shape(params: Params, model_shape: Optional[Sequence[Optional[int]]]) -> List[int]:
    """The sample shape: the user's, else the model's, else the catalogue's."""
    given = params.get("input-shape")
    if given is not None and list(given) != CATALOGUE_SHAPE:
        return list(given)
    dims = [d for d in (model_shape or [None])[1:] if d is not None]
    if model_shape and len(dims) == len(model_shape) - 1:
        return [1] + [int(d) for d in dims]
    return list(CATALOGUE_SHAPE)  # a copy: the catalogue's own list is shared


class _Run:
    """One conversion: the checked options, then the work."""

    runner: Optional[Callable[[Any], Any]]
    calibration: Calibration
    sources: SampleSource

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(src_type, str(params.get("output-model-type") or "tflite"))
        self.options = check_options(params, table or {}, extra_choices={"quant-normalization": NORMALISATIONS})
        self.src_type = src_type
        self.notes: List[str] = []
        self.warnings: List[str] = []

    # ------------------------------------------------------------ checks

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        self.num_samples = check_quantization_options(o)
        fmt = o.get("quantize-format") or "none"
        self.quantize = bool(o.get("quantize"))
        if fmt in ("int8", "uint8") and not self.quantize:
            self.quantize = True
            self.notes.append("--quantize-format %s implies --quantize" % fmt)
        self.in_type: Optional[str] = fmt if fmt != "none" else o.get("input-type")
        self.out_type: Optional[str] = fmt if fmt != "none" else o.get("output-type")
        shape = o.get("input-shape")
        if shape is not None and list(shape) != CATALOGUE_SHAPE and any(not isinstance(d, int) or d < 1 for d in shape):
            raise PluginError("--input-shape takes positive whole numbers, not %s" % ",".join(map(str, shape)))
        if self.quantize:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()

    # -------------------------------------------------------------- work

    def run(self) -> str:
        self.check()
        check_destination(self.dst, self.src)
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            return self._finish(self._convert())

    def _convert(self) -> bytes:
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        self.progress.stage("loading %s" % self.src)
        import numpy as np
        try:
            import tensorflow as tf
        except ModuleNotFoundError as exc:
            if exc.name != "tensorflow":
                raise
            raise PluginError("%s needs TensorFlow, which is not installed: pip install 'veltrix-tflite[cpu]' "
                              "(or any TensorFlow build)" % NAME)
        self.np, self.tf = np, tf
        converter, model_shape = self._load()
        self.shape = _input_shape(self.options, model_shape)
        self.sources = SampleSource(self.options, self.shape, self.num_samples, self.workdir)
        if model_shape is not None and len(self.shape) != len(model_shape):
            raise PluginError("--input-shape %s has %d dimensions; the model's input has %d (%s)" % (
                ",".join(map(str, self.shape)), len(self.shape), len(model_shape),
                ",".join("?" if d is None else str(d) for d in model_shape)))
        o = self.options
        if self.quantize:
            self._quantize(converter)
        elif o.get("optimize"):
            converter.optimizations = [tf.lite.Optimize.DEFAULT]
            self.notes.append("dynamic-range optimised")
        integer_only = self.quantize and (self.in_type in ("int8", "uint8") or self.out_type in ("int8", "uint8"))
        ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8 if integer_only else tf.lite.OpsSet.TFLITE_BUILTINS]
        if o.get("select-tf-ops"):
            ops.append(tf.lite.OpsSet.SELECT_TF_OPS)
        converter.target_spec.supported_ops = ops
        converter.allow_custom_ops = bool(o.get("allow-custom-ops"))
        self.progress.stage("converting")
        with seeded(o.get("seed", 0)):
            model = cast(bytes, converter.convert())
        if self.quantize and self.calibration.used == 0:
            raise PluginError("No sample reached calibration from %s; nothing to quantize with" % self.sources.name)
        return model

    def _load(self) -> Tuple[Any, Optional[List[Optional[int]]]]:
        """A converter for the source model and the model's input shape (or None)."""
        tf = self.tf
        if self.src_type == "pb":
            converter = tf.lite.TFLiteConverter.from_saved_model(self.src)
            try:
                self.loaded = tf.saved_model.load(self.src)
                signature = self.loaded.signatures["serving_default"]
                first_input = list(signature.structured_input_signature[1].values())[0]
                self.runner = lambda x: list(signature(**{list(signature.structured_input_signature[1])[0]: x})
                                             .values())[0].numpy()
                return converter, list(first_input.shape)
            except (KeyError, IndexError, AttributeError, ValueError):
                self.runner = None
                return converter, None
        model = load_keras_model(self.src, self.src_type, self.workdir)
        self.runner = lambda x: np_of(model(x, training=False))
        shape = list(model.inputs[0].shape) if len(model.inputs) == 1 else None
        return tf.lite.TFLiteConverter.from_keras_model(model), shape

    # ---------------------------------------------------- calibration

    def _quantize(self, converter: Any) -> None:
        tf, o = self.tf, self.options
        self.calibration = self.sources.calibrate(getattr(self.np, o.get("model-input-type") or "float32"),
                                                  self.progress)
        self.warnings.extend(self.sources.warnings)
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
        converter.representative_dataset = self.calibration
        tf_types = {"int8": tf.int8, "uint8": tf.uint8, "float32": tf.float32}
        if self.in_type in tf_types:
            converter.inference_input_type = tf_types[self.in_type]
        if self.out_type in tf_types:
            converter.inference_output_type = tf_types[self.out_type]
        if o.get("quant-tensor"):
            converter._experimental_disable_per_channel = True
        self.quant_note = "quantized %s" % ("per-tensor" if o.get("quant-tensor") else "per-channel")

    # --------------------------------------------------- the result

    def _finish(self, model: bytes) -> str:
        described, interpreter = self._describe(model)
        inputs, outputs = interpreter.get_input_details(), interpreter.get_output_details()
        for wanted, details, what in ((self.in_type, inputs, "input"), (self.out_type, outputs, "output")):
            if wanted in TYPES and any(d["dtype"].__name__ != wanted for d in details):
                raise PluginError("The converter made a model with %s %s, not the %s asked for; nothing was written"
                                  % (what, ", ".join(d["dtype"].__name__ for d in details), wanted))
        parts = [described]
        if self.quantize:
            parts.append("%s, %s" % (self.quant_note, self.sources.used_text()))
        parts.extend(self.notes)
        if self.options.get("verify"):
            parts.append(self._verify(interpreter))
        with safe_output(self.dst) as partial:
            with open(partial, "wb") as f:
                f.write(model)
        return "Wrote %s (%d bytes): %s" % (self.dst, len(model), "; ".join(parts))

    def _interpreter(self, model: bytes) -> Any:
        try:
            from ai_edge_litert.interpreter import Interpreter
        except ModuleNotFoundError:  # LiteRT missing: TensorFlow's own interpreter does the same work
            Interpreter = self.tf.lite.Interpreter
        interpreter = Interpreter(model_content=model)
        interpreter.allocate_tensors()
        return interpreter

    def _describe(self, model: bytes) -> Tuple[str, Any]:
        """The tensors of the converted model, and its interpreter (kept for verification)."""
        interpreter = self._interpreter(model)
        inputs, outputs = interpreter.get_input_details(), interpreter.get_output_details()

        def tensors(details: List[Any]) -> str:
            return ", ".join("%s%s" % (d["dtype"].__name__, [int(n) for n in d["shape"]]) for d in details)
        return "input %s, output %s" % (tensors(inputs), tensors(outputs)), interpreter

    def _verify(self, interpreter: Any) -> str:
        np = self.np
        if self.runner is None:
            return "not verified (the source model's signature cannot be called)"
        self.progress.stage("verifying")
        samples, what = self.sources.verification()
        if not samples:
            return "not verified (%s)" % what
        inp, out = interpreter.get_input_details()[0], interpreter.get_output_details()[0]
        pairs = []
        for x in samples:
            data = x
            if inp["dtype"] != np.float32:
                scale, zero = inp["quantization"]
                info = np.iinfo(inp["dtype"])
                data = np.clip(np.round(x / scale + zero), info.min, info.max)
            interpreter.set_tensor(inp["index"], data.astype(inp["dtype"]))
            interpreter.invoke()
            got = interpreter.get_tensor(out["index"]).astype(np.float32)
            if out["dtype"] != np.float32:
                scale, zero = out["quantization"]
                got = (got - zero) * scale
            pairs.append((self.runner(x), got))
        return agreement(pairs, what, self.options.get("verify-min-agreement", 0))


def np_of(tensor: Any) -> Any:
    import numpy as np
    return np.asarray(tensor)
