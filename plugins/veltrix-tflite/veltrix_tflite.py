"""veltrix-tflite: converts Keras models (.h5, .keras) and SavedModel folders
("pb") into TensorFlow Lite models with TensorFlow's own converter, optionally
fully quantized to 8-bit integers from representative samples.

Every run checks its options before any heavy work, reads the source's
signature (every input and output, their names, types and dynamic
dimensions), honours the shape and naming options or refuses them, accounts
for the samples that reach calibration, checks that the result has the
source's signature with the tensor types asked for, verifies every output
against the source model, and writes the destination only as a complete
model. The same command gives the same bytes (`--seed`).

The module imports nothing heavy at load time: the front end loads every
plug-in to list them, and TensorFlow takes seconds to import.
"""

import os
from typing import Any, Callable, List, Optional, Sequence, Union, cast

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    FORMATS, OUTPUT_SELECTION, Calibration, PluginError, SampleSource, Signature, TensorFlowSource, Verified,
    calibration_feeds, check_destination, check_naming_options, check_options, check_quantization_options,
    check_source, conversion_report, conversion_run, first_line, image_layout, is_integer, plugin_convert,
    quantization_mode, query_answer, safe_output, seeded, shape_parameters, tflite_signature, trust_parameters,
    verify)

NAME = "veltrix-tflite"
SUPPORTED_INPUTS = ["h5", "keras", "pb"]
SUPPORTED_OUTPUTS = ["tflite"]

# The reserved input shape's default; a value equal to it means "not given".
CATALOGUE_SHAPE = [1, 224, 224, 3]
TYPES = ("float32", "int8", "uint8")
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
CHOICES = {"quant-normalization": NORMALISATIONS, "quantize-format": FORMATS}
# What the naming options can do here, and why not the rest.
NAMING = [OUTPUT_SELECTION]
WHY = {"name": "a TensorFlow Lite model holds no name of its own",
       "input-names": "a TensorFlow Lite signature takes its inputs by name, in an order of its own"}


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
                          "help": "Allow TensorFlow operations that TensorFlow Lite lacks (the result needs the Flex "
                                  "delegate; verified with TensorFlow's interpreter, which has it)"},
        "allow-custom-ops": {"type": "boolean", "default": False, "name": "Custom Ops",
                             "help": "Keep unknown operations as custom operations"},
    }
    table.update(shape_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> Any:
    """Convert `src` into the TensorFlow Lite model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


class _Run:
    """One conversion: the checked options, then the work."""

    calibration: Calibration
    sources: Optional[SampleSource]
    used_text: Callable[[], str]

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(src_type, str(params.get("output-model-type") or "tflite"))
        self.options = check_options(params, table or {}, extra_choices=CHOICES)
        self.src_type = src_type
        self.notes: List[str] = []
        self.warnings: List[str] = []
        self.sources = None

    # ------------------------------------------------------------ checks

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        self.num_samples = check_quantization_options(o)
        self.mode = quantization_mode(o, self.notes)
        self.quantize = self.mode in ("int8", "uint8")
        fmt = o.get("quantize-format") or "none"
        integer_format = fmt if fmt in ("int8", "uint8") else None
        self.in_type: Optional[str] = integer_format or (o.get("input-type") if self.quantize else None)
        self.out_type: Optional[str] = integer_format or (o.get("output-type") if self.quantize else None)
        if not self.quantize and any(o.get(k) in ("int8", "uint8") for k in ("input-type", "output-type")):
            raise PluginError("--input-type/--output-type int8 or uint8 need --quantize (integer tensors come from "
                              "calibration)")
        if self.quantize:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()
        check_naming_options(o, NAMING, WHY)

    # -------------------------------------------------------------- work

    def run(self) -> Any:
        self.check()
        check_destination(self.dst, self.src, self.src_type)
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
        self.source = TensorFlowSource(self.src, self.src_type, self.workdir)
        self.wanted = self.source.signature.with_options(self.options, NAMING, WHY)
        self.inputs = self.wanted.inputs
        converter = self._converter()
        o = self.options
        if self.quantize:
            self._quantize(converter)
        elif self.mode == "float16":
            converter.optimizations = [tf.lite.Optimize.DEFAULT]
            converter.target_spec.supported_types = [tf.float16]
            self.notes.append("float16 weights")
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
        try:
            with seeded(o.get("seed", 0)):
                model = cast(bytes, converter.convert())
        except Exception as exc:
            if "TensorList" in str(exc) or "tensor list" in str(exc):
                raise PluginError("TensorFlow Lite cannot lower this model's recurrent (tensor list) operations with "
                                  "a dynamic batch or length: fix the shape with --shape (such as %s) or allow "
                                  "TensorFlow operations with --select-tf-ops" % ";".join(
                                      ",".join(str(d or 1) for d in t.shape) for t in self.inputs)) from exc
            raise
        if self.quantize and self.calibration.used == 0:
            raise PluginError("No sample reached calibration from %s; nothing to quantize with" % self.calibration_from)
        return model

    def _converter(self) -> Any:
        """TensorFlow Lite's converter for the source as the user wants it:
        inputs of their shapes, the outputs chosen, under their own names."""
        tf, source, wanted = self.tf, self.source, self.wanted
        if [t.shape for t in self.inputs] != [t.shape for t in source.inputs]:
            self.notes.append("input shape%s fixed to %s" % ("s" if len(self.inputs) > 1 else "", "; ".join(
                t.shown() for t in self.inputs)))
        if wanted.output_names() != source.output_names:
            self.notes.append("output%s %s" % ("s" if len(wanted.outputs) > 1 else "", ", ".join(
                wanted.output_names())))
        if source.model is None and wanted == source.signature:
            return tf.lite.TFLiteConverter.from_saved_model(self.src)
        # the frozen graph served as {output name: tensor}: the source's names kept
        graph, names, outputs = source.frozen_graph(wanted)
        path = os.path.join(self.workdir, "fixed")
        _save_graph(tf, graph, names, outputs, source.inputs, self.inputs, wanted.output_names(), path)
        return tf.lite.TFLiteConverter.from_saved_model(path)

    # ---------------------------------------------------- calibration

    def _quantize(self, converter: Any) -> None:
        tf, o = self.tf, self.options
        if len(self.inputs) == 1 and image_layout(self.inputs[0]) is not None:
            shape = self.wanted.feed_shape(self.inputs[0])
            self.sources = SampleSource(o, shape, self.num_samples, self.workdir)
            name = self.inputs[0].name
            calibration = self.sources.calibrate(getattr(self.np, o.get("model-input-type") or "float32"),
                                                 self.progress)
            self.calibration = Calibration(lambda: ({name: item[0]} for item in calibration()), self.num_samples,
                                           self.progress)
            self.calibration_from = self.sources.name
            self.used_text = lambda: self.sources.used_text().replace(  # type: ignore[union-attr]
                "%d sample" % calibration.used, "%d sample" % self.calibration.used, 1) + (
                    " " + self.wanted.fed_at() if self.wanted.fed_at() else "")
            self.warnings.extend(self.sources.warnings)
        else:
            self.calibration, self.used_text = calibration_feeds(self.wanted, o, self.num_samples, self.workdir,
                                                                 self.progress)
            self.calibration_from = "generated inputs"
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

    def _finish(self, model: bytes) -> Any:
        interpreter = self._interpreter(model)
        made = tflite_signature(interpreter)
        # a float input may be the integer type asked for; integer inputs keep theirs
        self.wanted.check_result(made, [self.in_type] if self.in_type in TYPES else [],
                                 [self.out_type] if self.out_type in TYPES else [], by_name=True)
        result = _ordered(made, self.wanted)
        for wanted, made_tensors, source_tensors, what in (
                (self.in_type, result.inputs, self.wanted.inputs, "input"),
                (self.out_type, result.outputs, self.wanted.outputs, "output")):
            floats = [m for m, t in zip(made_tensors, source_tensors) if not is_integer(t.dtype)]
            if wanted in TYPES and any(m.dtype != wanted for m in floats):
                raise PluginError("The converter made a model with %s %s, not the %s asked for; nothing was written"
                                  % (what, ", ".join(m.dtype for m in floats), wanted))
        parts = [result.shown()]
        if self.quantize:
            parts.append("%s, %s" % (self.quant_note, self.used_text()))
        parts.extend(self.notes)
        verified = None
        if self.options.get("verify"):
            verified = self._verify(interpreter.get_signature_runner(), result)
            parts.append(verified.text)
        with safe_output(self.dst) as partial:
            with open(partial, "wb") as f:
                f.write(model)
        message = "Wrote %s (%d bytes): %s" % (self.dst, len(model), "; ".join(parts))
        quantization = {"mode": self.mode if self.mode != "none" or not self.options.get("optimize") else "dynamic"}
        if self.quantize:
            quantization.update(granularity="per-tensor" if self.options.get("quant-tensor") else "per-channel",
                                input=self.in_type or "float32", output=self.out_type or "float32")
        return conversion_report(message, NAME, self.src, self.dst, self.source.signature, result, len(model),
                                 quantization, self.used_text() if self.quantize else None, verified)

    def _interpreter(self, model: bytes) -> Any:
        if self.options.get("select-tf-ops"):  # TensorFlow's own interpreter has the Flex delegate
            return self.tf.lite.Interpreter(model_content=model)
        try:
            from ai_edge_litert.interpreter import Interpreter
        except ModuleNotFoundError:  # LiteRT missing: TensorFlow's own interpreter does the same work
            Interpreter = self.tf.lite.Interpreter
        return Interpreter(model_content=model)

    def _verify(self, runner: Any, result: Signature) -> Any:
        np = self.np
        self.progress.stage("verifying")
        inputs, outputs = runner.get_input_details(), runner.get_output_details()

        def run(feed: Any) -> List[Any]:
            given = {}
            for name, x in feed.items():
                d = inputs[name]
                if d["dtype"] != x.dtype and d["dtype"] in (np.int8, np.uint8) and d["quantization"][0]:
                    scale, zero = d["quantization"]
                    info = np.iinfo(d["dtype"])
                    x = np.clip(np.round(x / scale + zero), info.min, info.max)
                given[name] = np.asarray(x).astype(d["dtype"])
            answer = runner(**given)
            got = []
            for name in result.output_names():
                value = answer[name].astype(np.float32)
                scale, zero = outputs[name]["quantization"]
                if outputs[name]["dtype"] in (np.int8, np.uint8) and scale:
                    value = (value - zero) * scale
                got.append(value)
            return got
        precision = self.mode if self.mode != "none" else ("dynamic" if self.options.get("optimize") else "float32")
        try:
            return verify(self.source.runner(self.wanted), run, self.wanted, self.options, precision=precision,
                          sources=self.sources, workdir=self.workdir, warnings=self.warnings)
        except (RuntimeError, ValueError) as exc:
            if not self.options.get("select-tf-ops") or not any(w in str(exc) for w in ("Flex", "Select TensorFlow")):
                raise
            return Verified("not verified (the interpreter here lacks the TensorFlow operations the model uses: %s)"
                            % first_line(exc))


def _ordered(made: Signature, wanted: Signature) -> Signature:
    """The TensorFlow Lite signature (listed by name) in the order of the
    signature it was made for."""
    inputs = {t.name: t for t in made.inputs}
    outputs = {t.name: t for t in made.outputs}
    return made.replaced(inputs=[inputs[n] for n in wanted.input_names()],
                         outputs=[outputs[n] for n in wanted.output_names()])


def _save_graph(tf: Any, graph: Any, names: List[str], outputs: List[str], order: Sequence[Any],
                inputs: Sequence[Any], output_names: Sequence[str], path: str) -> None:
    """A SavedModel whose serving signature is the frozen graph (its
    placeholders `names` are the inputs `order` of the source, here of the
    shapes of `inputs`, as they are named) returning {output name: tensor}."""
    shapes = {t.name: t.shape for t in inputs}
    specs = [tf.TensorSpec(shapes[t.name], t.dtype, name=t.name) for t in order]

    def imported(*args: Any) -> Any:
        return tf.graph_util.import_graph_def(graph, input_map=dict(zip(names, args)), return_elements=outputs)
    wrapped = tf.compat.v1.wrap_function(imported, specs)
    function = wrapped.prune(wrapped.inputs, wrapped.outputs)
    module = tf.Module()
    module.f = tf.function(lambda *args: dict(zip(output_names, function(*args))))
    signature = module.f.get_concrete_function(*specs)
    # no gradients: the graph is frozen, and saving the custom gradients of an activation whose
    # parameter was folded into a constant (EfficientNet's swish) fails
    tf.saved_model.save(module, path, signatures={"serving_default": signature},
                        options=tf.saved_model.SaveOptions(experimental_custom_gradients=False))
