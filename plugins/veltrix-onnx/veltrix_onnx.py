"""veltrix-onnx: converts Keras models (.h5, .keras) and SavedModel folders
("pb") into ONNX with tf2onnx, and ONNX models into optimised and int8
quantized ONNX with ONNX Runtime, calibrated from the same samples as every
veltrix-converter plug-in.

Like the reference plug-in it checks its options before any heavy work,
accounts for the samples that reach calibration, verifies the result in ONNX
Runtime against the source model, gives the same bytes for the same command
(`--seed`) and writes the destination only as a complete model. It imports
nothing heavy at load time.
"""

import os
import shutil
from typing import Any, Callable, List, Optional, Set, Tuple, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    PluginError, SampleSource, agreement, check_destination, check_options, check_quantization_options,
    check_source, conversion_run, load_keras_model, plugin_convert, safe_output, trust_parameters)

NAME = "veltrix-onnx"
FROM_TENSORFLOW = ["h5", "keras", "pb"]
SUPPORTED_INPUTS = FROM_TENSORFLOW + ["onnx"]
SUPPORTED_OUTPUTS = ["onnx"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
QUANTIZED_OPS = ("QuantizeLinear", "DequantizeLinear", "QLinearConv", "QLinearMatMul", "ConvInteger",
                 "MatMulInteger", "DynamicQuantizeLinear", "QGemm", "QLinearAdd")


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair (types compared without regard to case); None otherwise."""
    if src_type is None and dst_type is None:
        return {"supported_inputs": list(SUPPORTED_INPUTS), "supported_outputs": list(SUPPORTED_OUTPUTS)}
    if not isinstance(src_type, str) or not isinstance(dst_type, str):
        return None
    if src_type.lower() not in SUPPORTED_INPUTS or dst_type.lower() not in SUPPORTED_OUTPUTS:
        return None
    table: ParameterTable = {}
    if src_type.lower() in FROM_TENSORFLOW:
        table["opset"] = {"type": "int", "default": 17, "name": "Opset",
                          "help": "ONNX operator set of the converted model"}
        table["channels-first"] = {"type": "boolean", "default": False, "name": "Channels First",
                                   "help": "Give the ONNX model channels-first input (N, C, H, W)"}
    table.update({
        "optimization": {"type": "string", "default": "basic", "choices": ["none", "basic", "extended"],
                         "name": "Optimization",
                         "help": "ONNX Runtime graph optimisation (basic keeps the model portable)"},
        "quant-format": {"type": "string", "default": "qdq", "choices": ["qdq", "operator"], "name": "Quant Format",
                         "help": "Quantized model as QuantizeLinear/DequantizeLinear pairs or as QLinear operators"},
        "calibration-method": {"type": "string", "default": "minmax", "choices": ["minmax", "entropy", "percentile"],
                               "name": "Calibration Method", "help": "How activation ranges are found from samples"},
        "dynamic": {"type": "boolean", "default": False, "name": "Dynamic",
                    "help": "Dynamic quantization: int8 weights, activations at run time, no samples needed"},
    })
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Convert `src` into the ONNX model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


class _Reader:
    """ONNX Runtime's calibration data reader over counted samples."""

    def __init__(self, name: str, samples: Callable[[], Any], layout: Callable[[Any], Any]) -> None:
        self.name, self.iterator, self.layout = name, iter(samples()), layout

    def get_next(self) -> Optional[dict[str, Any]]:
        for item in self.iterator:
            return {self.name: self.layout(item[0])}
        return None


class _Run:
    """One conversion: the checked options, then the work."""

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        self.src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(self.src_type, str(params.get("output-model-type") or "onnx"))
        self.options = check_options(params, table or {}, extra_choices={"quant-normalization": NORMALISATIONS})
        self.notes: List[str] = []
        self.warnings: List[str] = []
        self.runner: Optional[Callable[[Any], Any]] = None
        self.sources: Optional[SampleSource] = None
        self.to_source_layout: Callable[[Any], Any] = lambda x: x

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        self.num_samples = check_quantization_options(o)
        if "opset" in o and not 9 <= o["opset"] <= 21:
            raise PluginError("--opset must be 9 to 21, not %d" % o["opset"])
        for key in ("input-type", "output-type"):
            if o.get(key) not in (None, "none", "float32"):
                raise PluginError("--%s %s: ONNX models keep float32 inputs and outputs (quantized ones hold "
                                  "Q/DQ pairs inside); use --quantize-format for the activation type" % (key, o[key]))
        fmt = o.get("quantize-format") or "none"
        self.quantize = bool(o.get("quantize"))
        if fmt in ("int8", "uint8") and not self.quantize and not o.get("dynamic"):
            self.quantize = True
            self.notes.append("--quantize-format %s implies --quantize" % fmt)
        if o.get("dynamic") and self.quantize:
            raise PluginError("Choose one of --quantize (static, from samples) and --dynamic, not both")
        self.activation = "uint8" if fmt == "uint8" else "int8"
        if self.quantize:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()

    def run(self) -> str:
        self.check()
        check_destination(self.dst, self.src)
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            return self._work()

    # -------------------------------------------------------------- work

    def _work(self) -> str:
        import numpy as np
        self.np = np
        try:
            import onnx
            import onnxruntime
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-onnx" % (NAME, exc.name))
        self.onnx, self.ort = onnx, onnxruntime
        float_path = os.path.join(self.workdir, "float.onnx")
        self.progress.stage("loading %s" % self.src)
        if self.src_type in FROM_TENSORFLOW:
            self._from_tensorflow(float_path)
        else:
            shutil.copyfile(self.src, float_path)
            source = onnxruntime.InferenceSession(self.src, providers=["CPUExecutionProvider"])
            name = source.get_inputs()[0].name
            self.runner = lambda x: source.run(None, {name: x})[0]
        path = self._optimise(float_path)
        if self.quantize or self.options.get("dynamic"):
            path = self._quantize(path)
        with open(path, "rb") as f:
            model = f.read()
        ops = {n.op_type for n in self.onnx.load_from_string(model).graph.node}
        if (self.quantize or self.options.get("dynamic")) and not ops & set(QUANTIZED_OPS):
            raise PluginError("ONNX Runtime quantized no operator of this model; nothing was written")
        session = self.ort.InferenceSession(model, providers=["CPUExecutionProvider"])
        parts = [self._describe(session, ops)] + self.notes
        if self.options.get("verify"):
            parts.append(self._verify(path, session))
        with safe_output(self.dst) as partial:
            with open(partial, "wb") as f:
                f.write(model)
        return "Wrote %s (%d bytes): %s" % (self.dst, len(model), "; ".join(parts))

    def _from_tensorflow(self, float_path: str) -> None:
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        try:
            import tensorflow as tf
            import tf2onnx
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s to read TensorFlow models: pip install 'veltrix-onnx[tensorflow]'"
                              % (NAME, exc.name))
        o = self.options
        if self.src_type == "pb":
            loaded = tf.saved_model.load(self.src)
            try:
                signature = loaded.signatures["serving_default"]
                input_name, spec = list(signature.structured_input_signature[1].items())[0]
            except (KeyError, IndexError, AttributeError) as exc:
                raise PluginError("The SavedModel %s has no callable serving_default signature" % self.src) from exc

            def call(x: Any) -> Any:
                return list(signature(**{input_name: x}).values())[0]
            shape = list(spec.shape)
        else:
            model = load_keras_model(self.src, self.src_type, self.workdir)
            if len(model.inputs) != 1:
                raise PluginError("%s converts models with one input; %s has %d" % (NAME, self.src, len(model.inputs)))

            def call(x: Any) -> Any:
                return model(x, training=False)
            shape = list(model.inputs[0].shape)
        self.runner = lambda x: self.np.asarray(call(x))
        spec = (tf.TensorSpec([None] + shape[1:], tf.float32, name="input"),)
        self.progress.stage("converting to ONNX (opset %d)" % o["opset"])
        nchw = ["input"] if o.get("channels-first") else None
        if nchw:
            if len(shape) != 4:
                raise PluginError("--channels-first needs a 4-dimensional input; the model's has %d" % len(shape))
            self.to_source_layout = lambda x: self.np.transpose(x, (0, 2, 3, 1))
            self.notes.append("channels-first input")
        tf2onnx.convert.from_function(tf.function(call), input_signature=spec, opset=o["opset"], inputs_as_nchw=nchw,
                                      output_path=float_path)

    def _optimise(self, path: str) -> str:
        level = self.options.get("optimization") or "basic"
        if level == "none":
            return path
        ort = self.ort
        options = ort.SessionOptions()
        options.graph_optimization_level = {"basic": ort.GraphOptimizationLevel.ORT_ENABLE_BASIC,
                                            "extended": ort.GraphOptimizationLevel.ORT_ENABLE_EXTENDED}[level]
        optimised = os.path.join(self.workdir, "optimised.onnx")
        options.optimized_model_filepath = optimised
        self.progress.stage("optimising (%s)" % level)
        ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        self.notes.append("graph optimised (%s)" % level)
        return optimised

    def _input(self, path: str) -> Tuple[str, List[int]]:
        """The model input's name and the sample shape (the user's, else the model's)."""
        graph = self.onnx.load(path).graph
        initializers = {i.name for i in graph.initializer}
        inputs = [i for i in graph.input if i.name not in initializers]
        if len(inputs) != 1:
            raise PluginError("%s quantizes models with one input; this one has %d" % (NAME, len(inputs)))
        dims = [d.dim_value if d.HasField("dim_value") else None for d in inputs[0].type.tensor_type.shape.dim]
        given = self.options.get("input-shape")
        if given is not None and list(given) != CATALOGUE_SHAPE:
            shape = list(given)
            if len(shape) != len(dims):
                raise PluginError("--input-shape %s has %d dimensions; the model's input has %d (%s)" % (
                    ",".join(map(str, shape)), len(shape), len(dims), ",".join("?" if d is None else str(d) for d in dims)))
        elif all(d for d in dims[1:]):
            shape = [1] + [int(d) for d in dims[1:] if d]
        else:
            raise PluginError("The model's input shape %s is not fixed: give --input-shape" %
                              ",".join("?" if d is None else str(d) for d in dims))
        return inputs[0].name, shape

    def _quantize(self, path: str) -> str:
        from onnxruntime import quantization as q
        o = self.options
        out = os.path.join(self.workdir, "quantized.onnx")
        per_channel = not o.get("quant-tensor")
        if o.get("dynamic"):
            self.progress.stage("quantizing (dynamic)")
            q.quantize_dynamic(path, out, per_channel=per_channel, weight_type=q.QuantType.QInt8)
            self.notes.append("dynamically quantized (int8 weights, %s)" % ("per-channel" if per_channel else "per-tensor"))
        else:
            name, shape = self._input(path)
            self.sources = SampleSource(o, shape, self.num_samples, self.workdir, arrays=True)
            calibration = self.sources.calibrate(self.np.float32, self.progress)
            self.warnings.extend(self.sources.warnings)
            reader = _Reader(name, calibration, lambda x: self.np.asarray(x, dtype=self.np.float32))
            method = {"minmax": q.CalibrationMethod.MinMax, "entropy": q.CalibrationMethod.Entropy,
                      "percentile": q.CalibrationMethod.Percentile}[o.get("calibration-method") or "minmax"]
            kind = q.QuantType.QUInt8 if self.activation == "uint8" else q.QuantType.QInt8
            fmt = q.QuantFormat.QOperator if o.get("quant-format") == "operator" else q.QuantFormat.QDQ
            self.progress.stage("quantizing (static, %s)" % (o.get("calibration-method") or "minmax"))
            q.quantize_static(path, out, reader, quant_format=fmt, per_channel=per_channel, activation_type=kind,
                              weight_type=q.QuantType.QInt8, calibrate_method=method)
            if calibration.used == 0:
                raise PluginError("No sample reached calibration from %s; nothing to quantize with" % self.sources.name)
            self.notes.append("quantized %s, %s activations, %s format, %s calibration, %s" % (
                "per-channel" if per_channel else "per-tensor", self.activation, o.get("quant-format") or "qdq",
                o.get("calibration-method") or "minmax", self.sources.used_text()))
        return out

    def _describe(self, session: Any, ops: Set[str]) -> str:
        def tensors(items: Any) -> str:
            return ", ".join("%s[%s]" % (t.type.replace("tensor(", "").rstrip(")").replace("float", "float32"),
                                         ", ".join(str(d) if isinstance(d, int) else "?" for d in t.shape))
                             for t in items)
        quantized = sorted(ops & set(QUANTIZED_OPS))
        return "input %s, output %s%s" % (tensors(session.get_inputs()), tensors(session.get_outputs()),
                                           "; quantized operators: " + ", ".join(quantized) if quantized else "")

    def _verify(self, path: str, session: Any) -> str:
        if self.runner is None:
            return "not verified (the source model cannot be run)"
        self.progress.stage("verifying")
        if self.sources is None:  # not calibrated: samples of the model's own input shape
            self.sources = SampleSource(self.options, self._input(path)[1], self.num_samples, self.workdir)
        samples, what = self.sources.verification()
        if not samples:
            return "not verified (%s)" % what
        name = session.get_inputs()[0].name
        pairs = [(self.runner(self.to_source_layout(x)), session.run(None, {name: x})[0]) for x in samples]
        return agreement(pairs, what, self.options.get("verify-min-agreement", 0))
