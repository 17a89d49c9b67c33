"""ONNX models quantized with ONNX Runtime: static int8 from the kit's
accounted samples (or dynamic, without samples), the options that choose
how, the model input the samples are shaped for, and the description of
the result for the SUCCESS line. Shared by every plug-in that writes ONNX;
it imports ONNX and ONNX Runtime only when called."""

from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from veltrix.converter.plugin_api.contract import ParameterDescriptor
from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.files import inside, work_copy
from veltrix.converter.plugin_api.helpers.onnx_files import has_external_data
from veltrix.converter.plugin_api.helpers.progress import Progress
from veltrix.converter.plugin_api.helpers.samples import SampleSource

QUANTIZED_OPS = ("QuantizeLinear", "DequantizeLinear", "QLinearConv", "QLinearMatMul", "ConvInteger",
                 "MatMulInteger", "DynamicQuantizeLinear", "QGemm", "QLinearAdd")


def onnx_quantization_parameters() -> Dict[str, ParameterDescriptor]:
    """A new table of the options that choose how an ONNX model is quantized."""
    return {
        "quant-format": {"type": "string", "default": "qdq", "choices": ["qdq", "operator"], "name": "Quant Format",
                         "help": "Quantized model as QuantizeLinear/DequantizeLinear pairs or as QLinear operators"},
        "calibration-method": {"type": "string", "default": "minmax", "choices": ["minmax", "entropy", "percentile"],
                               "name": "Calibration Method", "help": "How activation ranges are found from samples"},
        "dynamic": {"type": "boolean", "default": False, "name": "Dynamic",
                    "help": "Dynamic quantization: int8 weights, activations at run time, no samples needed"},
    }


class OnnxQuantization:
    """What the options ask of the quantization of one ONNX model:
    `static` (from samples), `dynamic` and the `activation` type, checked
    when made (PluginError); what was done is added to `notes` (the
    caller's list of phrases for the SUCCESS line, when given)."""

    def __init__(self, options: Mapping[str, Any], notes: Optional[List[str]] = None) -> None:
        self.options = options
        self.notes: List[str] = [] if notes is None else notes
        for key in ("input-type", "output-type"):
            if options.get(key) not in (None, "none", "float32"):
                raise PluginError("--%s %s: ONNX models keep float32 inputs and outputs (quantized ones hold "
                                  "Q/DQ pairs inside); use --quantize-format for the activation type" % (key, options[key]))
        fmt = options.get("quantize-format") or "none"
        self.dynamic = bool(options.get("dynamic"))
        self.static = bool(options.get("quantize"))
        if fmt in ("int8", "uint8") and not self.static and not self.dynamic:
            self.static = True
            self.notes.append("--quantize-format %s implies --quantize" % fmt)
        if self.dynamic and self.static:
            raise PluginError("Choose one of --quantize (static, from samples) and --dynamic, not both")
        self.activation = "uint8" if fmt == "uint8" else "int8"
        self.sources: Optional[SampleSource] = None
        self.used_text: Optional[Callable[[], str]] = None

    @property
    def wanted(self) -> bool:
        return self.static or self.dynamic

    def quantize(self, path: str, out: str, input_name: str, shape: Sequence[int], num_samples: int, workdir: str,
                 progress: Progress, warnings: List[str], to_model: Callable[[Any], Any] = lambda x: x,
                 feeds: Optional[Tuple[Any, Callable[[], str]]] = None) -> None:
        """Quantize the ONNX model `path` into `out`: dynamically, or
        statically from `num_samples` samples of `shape` for its input
        `input_name` (the kit's sample source; `to_model` turns each sample
        into the model's layout), or from `feeds` (a model with other inputs:
        `calibration_feeds`' counted feeds and accounting). Adds the
        note and the sample source's warnings; keeps the source in
        `.sources` for verification."""
        import numpy as np
        from onnxruntime import quantization as q
        if not inside(path, workdir):  # the quantizer writes files beside the model it reads
            path = work_copy(path, "onnx", workdir)
        o = self.options
        per_channel = not o.get("quant-tensor")
        if self.dynamic:
            progress.stage("quantizing (dynamic)")
            q.quantize_dynamic(path, out, per_channel=per_channel, weight_type=q.QuantType.QInt8,
                               use_external_data_format=has_external_data(path))
            self.notes.append("dynamically quantized (int8 weights, %s)" % ("per-channel" if per_channel else "per-tensor"))
            return
        if feeds is not None:
            calibration, used_text = feeds
            source_name = "generated inputs"
            reader: Any = _FeedReader(calibration)
        else:
            self.sources = SampleSource(o, shape, num_samples, workdir, arrays=True)
            calibration, used_text, source_name = (self.sources.calibrate(np.float32, progress),
                                                   self.sources.used_text, self.sources.name)
            warnings.extend(self.sources.warnings)
            reader = _Reader(input_name, calibration, lambda x: to_model(np.asarray(x, dtype=np.float32)))
        method = {"minmax": q.CalibrationMethod.MinMax, "entropy": q.CalibrationMethod.Entropy,
                  "percentile": q.CalibrationMethod.Percentile}[o.get("calibration-method") or "minmax"]
        kind = q.QuantType.QUInt8 if self.activation == "uint8" else q.QuantType.QInt8
        fmt = q.QuantFormat.QOperator if o.get("quant-format") == "operator" else q.QuantFormat.QDQ
        progress.stage("quantizing (static, %s)" % (o.get("calibration-method") or "minmax"))
        q.quantize_static(path, out, reader, quant_format=fmt, per_channel=per_channel, activation_type=kind,
                          weight_type=q.QuantType.QInt8, calibrate_method=method,
                          use_external_data_format=has_external_data(path))
        if calibration.used == 0:
            raise PluginError("No sample reached calibration from %s; nothing to quantize with" % source_name)
        self.used_text = used_text
        self.notes.append("quantized %s, %s activations, %s format, %s calibration, %s" % (
            "per-channel" if per_channel else "per-tensor", self.activation, o.get("quant-format") or "qdq",
            o.get("calibration-method") or "minmax", used_text()))

    def check_result(self, ops: Set[str]) -> None:
        """PluginError when quantization was asked for and no operator of the result is quantized."""
        if self.wanted and not ops & set(QUANTIZED_OPS):
            raise PluginError("ONNX Runtime quantized no operator of this model; nothing was written")


class _Reader:
    """ONNX Runtime's calibration data reader over counted samples."""

    def __init__(self, name: str, samples: Callable[[], Any], layout: Callable[[Any], Any]) -> None:
        self.name, self.iterator, self.layout = name, iter(samples()), layout

    def get_next(self) -> Optional[dict[str, Any]]:
        for item in self.iterator:
            return {self.name: self.layout(item[0])}
        return None


class _FeedReader:
    """ONNX Runtime's calibration data reader over counted {input name: array} feeds."""

    def __init__(self, feeds: Callable[[], Any]) -> None:
        self.iterator = iter(feeds())

    def get_next(self) -> Optional[Dict[str, Any]]:
        for item in self.iterator:
            return dict(item)
        return None


def operators_of(model: bytes) -> Set[str]:
    """The operator types of a serialised ONNX model's main graph."""
    import onnx
    return {n.op_type for n in onnx.load_from_string(model).graph.node}


def describe_onnx(session: Any, ops: Set[str]) -> str:
    """"input float32[?, 3, 16, 16], output float32[?, 2]; quantized operators: ..." of an ONNX Runtime session."""
    def tensors(items: Any) -> str:
        return ", ".join("%s[%s]" % (t.type.replace("tensor(", "").rstrip(")").replace("float", "float32"),
                                     ", ".join(str(d) if isinstance(d, int) else "?" for d in t.shape))
                         for t in items)
    quantized = sorted(ops & set(QUANTIZED_OPS))
    return "input %s, output %s%s" % (tensors(session.get_inputs()), tensors(session.get_outputs()),
                                       "; quantized operators: " + ", ".join(quantized) if quantized else "")


def session_of(model: Any) -> Any:
    """An ONNX Runtime session on the CPU of a model path or its bytes."""
    import onnxruntime
    return onnxruntime.InferenceSession(model, providers=["CPUExecutionProvider"])

