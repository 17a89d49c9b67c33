"""veltrix-onnx: converts Keras models (.h5, .keras) and SavedModel folders
("pb") into ONNX with tf2onnx, and ONNX models into optimised and int8
quantized ONNX with ONNX Runtime, calibrated from the same samples as every
veltrix-converter plug-in.

Like the reference plug-in it checks its options before any heavy work,
reads the source's signature and honours the shape and naming options
(inputs reordered, outputs chosen, the graph named), accounts for the
samples that reach calibration, checks that the result has the signature
asked for, verifies every output in ONNX Runtime against the source model,
gives the same bytes for the same command (`--seed`) and writes the
destination only as a complete model. It imports nothing heavy at load
time.
"""

import os
from typing import Any, Callable, Dict, List, Optional, Set, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    CHANNELS_FIRST, FORMATS, INPUT_ORDER, MODEL_NAME, OUTPUT_SELECTION, QUANTIZED_OPS, OnnxQuantization, PluginError,
    SampleSource, Signature, TensorFlowSource, apply_signature, calibration_feeds, canonical_names,
    check_destination, check_naming_options, check_options, check_quantization_options, check_source,
    conversion_report, conversion_run, has_external_data, image_layout, onnx_quantization_parameters,
    onnx_signature, plugin_convert, query_answer, seeded, session_of, shape_parameters, trust_parameters, verify,
    write_onnx)

NAME = "veltrix-onnx"
FROM_TENSORFLOW = ["h5", "keras", "pb"]
SUPPORTED_INPUTS = FROM_TENSORFLOW + ["onnx"]
SUPPORTED_OUTPUTS = ["onnx"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
CHOICES = {"quant-normalization": NORMALISATIONS, "quantize-format": FORMATS}
OPSETS = (9, 18)  # what tf2onnx 1.17 writes
# The naming options are honoured on every path: ONNX graphs order their
# inputs and outputs and carry a name.
NAMING = [INPUT_ORDER, OUTPUT_SELECTION, MODEL_NAME]


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair (types compared without regard to case); None otherwise."""
    answer = query_answer(src_type, dst_type, SUPPORTED_INPUTS, SUPPORTED_OUTPUTS)
    if not isinstance(answer, tuple):
        return answer
    table: ParameterTable = {}
    if answer[0] in FROM_TENSORFLOW:
        table["opset"] = {"type": "int", "default": 17, "name": "Opset",
                          "help": "ONNX operator set of the converted model"}
        table["channels-first"] = {"type": "boolean", "default": False, "name": "Channels First",
                                   "help": "Give the ONNX model channels-first input (N, C, H, W)"}
    table.update({
        "optimization": {"type": "string", "default": "basic", "choices": ["none", "basic", "extended"],
                         "name": "Optimization",
                         "help": "ONNX Runtime graph optimisation (basic keeps the model portable)"},
        "float16-io": {"type": "boolean", "default": False, "name": "Float16 IO",
                       "help": "With --quantize-format float16: float16 inputs and outputs too (default: float32 kept)"},
    })
    table.update(onnx_quantization_parameters())
    table.update(shape_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> Any:
    """Convert `src` into the ONNX model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


class _Run:
    """One conversion: the checked options, then the work."""

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        self.src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(self.src_type, str(params.get("output-model-type") or "onnx"))
        self.options = check_options(params, table or {}, extra_choices=CHOICES)
        self.notes: List[str] = []
        self.warnings: List[str] = []
        self.sources: Optional[SampleSource] = None
        self.used_text: Optional[Callable[[], str]] = None
        self.channels_first: List[str] = []

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        self.num_samples = check_quantization_options(o)
        if "opset" in o and not OPSETS[0] <= o["opset"] <= OPSETS[1]:
            raise PluginError("--opset must be %d to %d, not %d" % (OPSETS + (o["opset"],)))
        self.onnx_quantization = OnnxQuantization(o, self.notes)
        fmt = o.get("quantize-format") or "none"
        if fmt == "float16" and self.onnx_quantization.wanted:
            raise PluginError("Choose one of --quantize/--dynamic (int8) and --quantize-format float16, not both")
        self.mode = ("float16" if fmt == "float16" else "dynamic" if self.onnx_quantization.dynamic
                     else self.onnx_quantization.activation if self.onnx_quantization.static else "none")
        self.quantize = self.onnx_quantization.static
        if self.quantize:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()
        check_naming_options(o, NAMING)

    def run(self) -> Any:
        self.check()
        check_destination(self.dst, self.src, self.src_type)
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            return self._work()

    # -------------------------------------------------------------- work

    def _work(self) -> Any:
        import numpy as np
        self.np = np
        try:
            import onnx
            import onnxruntime
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-onnx" % (NAME, exc.name))
        self.onnx, self.ort = onnx, onnxruntime
        self.progress.stage("loading %s" % self.src)
        if self.src_type in FROM_TENSORFLOW:
            float_path = os.path.join(self.workdir, "float.onnx")
            self._from_tensorflow(float_path)
        else:  # read where it is, so that weights kept beside it (external data) are found
            float_path = self.src
            self.source_signature = onnx_signature(self.src)
            self.wanted = self.source_signature.with_options(self.options, NAMING)
            source = onnxruntime.InferenceSession(self.src, providers=["CPUExecutionProvider"])
            names = self.wanted.output_names()
            self.runner: Callable[[Any], Any] = lambda feed: source.run(names, feed)
            model = onnx.load(self.src, load_external_data=False)
            if apply_signature(model, self.wanted):  # shapes fixed, inputs reordered, outputs chosen, named
                from onnx.external_data_helper import load_external_data_for_model
                load_external_data_for_model(model, os.path.dirname(os.path.abspath(self.src)))
                float_path = os.path.join(self.workdir, "chosen.onnx")
                write_onnx(model, float_path)
        self.inputs = self.wanted.inputs
        self.external = has_external_data(float_path)
        path = self._optimise(float_path)
        if self.mode != "none":
            path = self._quantize(path)
        model = onnx.load(path)
        if self.wanted.name:  # the optimiser and the quantizer keep the graph's name, but say it once here
            model.graph.name = self.wanted.name
        _unnamed_dimensions(model, self.wanted)
        ops = {n.op_type for n in model.graph.node}
        self.onnx_quantization.check_result(ops)
        result = onnx_signature(model)
        io = ["float16"] if self.mode == "float16" and self.options.get("float16-io") else []
        self.wanted.check_result(result, io, io)
        parts = [self._describe(result, ops)] + self.notes
        verified = None
        if self.options.get("verify"):
            verified = self._verify(session_of(path), result)
            parts.append(verified.text)
        message = "Wrote %s: %s" % (write_onnx(model, self.dst), "; ".join(parts))
        return conversion_report(message, NAME, self.src, self.dst, self.source_signature, result,
                                 os.path.getsize(self.dst), self.quantization,
                                 self.used_text() if self.used_text else None, verified)

    def _from_tensorflow(self, float_path: str) -> None:
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        try:
            import tensorflow  # noqa: F401
            import tf2onnx
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s to read TensorFlow models: pip install 'veltrix-onnx[tensorflow]'"
                              % (NAME, exc.name))
        o = self.options
        source = TensorFlowSource(self.src, self.src_type, self.workdir)
        self.source_signature = source.signature
        # dynamic dimensions stay dynamic unless the user fixes them
        self.wanted = wanted = source.signature.with_options(o, NAMING)
        self.inputs = wanted.inputs
        graph, names, outputs = source.frozen_graph(wanted)
        self.progress.stage("converting to ONNX (opset %d)" % o["opset"])
        if o.get("channels-first"):
            images = [t for t in self.inputs if image_layout(t) is not None or len(t.shape) == 4]
            if not images:
                raise PluginError("--channels-first needs a 4-dimensional input; the model's are %s" % ", ".join(
                    "%s %s" % (t.name, t.shown()) for t in self.inputs))
            self.channels_first = [t.name for t in images]
            self.notes.append("channels-first input")
        nchw = [n for n, t in zip(names, self.inputs) if t.name in self.channels_first] or None
        with seeded(o.get("seed", 0)):
            model, _ = tf2onnx.convert.from_graph_def(graph, input_names=names, output_names=outputs,
                                                      opset=o["opset"], inputs_as_nchw=nchw)
        # the graph's placeholders are the source's inputs, in the source's order
        _rename(model, dict(zip(names, source.signature.input_names())), dict(zip(outputs, wanted.output_names())))
        canonical_names(model)
        run_source = source.runner(wanted)
        self.runner = run_source
        if self.channels_first:
            self.wanted = wanted = wanted.replaced(inputs=[
                t.replaced(shape=[t.shape[0], t.shape[3], t.shape[1], t.shape[2]], layout=CHANNELS_FIRST)
                if t.name in self.channels_first else t for t in wanted.inputs])
            np = self.np
            self.runner = lambda feed: run_source({k: np.transpose(v, (0, 2, 3, 1)) if k in self.channels_first
                                                   else v for k, v in feed.items()})
        apply_signature(model, wanted)  # the inputs in the order asked for, the graph's name
        self.onnx.save(model, float_path)

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
        if self.external:  # weights too large for one file stay beside the model
            options.add_session_config_entry("session.optimized_model_external_initializers_file_name",
                                             "optimised.onnx.data")
            options.add_session_config_entry("session.optimized_model_external_initializers_min_size_in_bytes",
                                             "1024")
        self.progress.stage("optimising (%s)" % level)
        ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        self.notes.append("graph optimised (%s)" % level)
        return optimised

    def _quantize(self, path: str) -> str:
        o = self.options
        out = os.path.join(self.workdir, "quantized.onnx")
        granularity = "per-tensor" if o.get("quant-tensor") else "per-channel"
        if self.mode == "float16":
            from onnxruntime.transformers.float16 import convert_float_to_float16
            keep = not o.get("float16-io")
            self.onnx.save(convert_float_to_float16(self.onnx.load(path), keep_io_types=keep), out)
            self.notes.append("float16 weights (%s inputs and outputs)" % ("float32" if keep else "float16"))
            self.quantization = {"mode": "float16", "io": "float32" if keep else "float16"}
            return out
        quantization = self.onnx_quantization
        if self.mode == "dynamic":
            quantization.quantize(path, out, "", [], self.num_samples, self.workdir, self.progress, self.warnings)
            self.quantization = {"mode": "dynamic", "granularity": granularity, "weights": "int8"}
            return out
        if len(self.inputs) == 1 and image_layout(self.inputs[0]) is not None:
            tensor = self.inputs[0]
            shape = self.wanted.feed_shape(tensor)
            quantization.quantize(path, out, tensor.name, shape, self.num_samples, self.workdir, self.progress,
                                  self.warnings)
        else:
            quantization.quantize(path, out, "", [], self.num_samples, self.workdir, self.progress, self.warnings,
                                  feeds=calibration_feeds(self.wanted, o, self.num_samples, self.workdir,
                                                          self.progress))
        self.sources, self.used_text = quantization.sources, quantization.used_text
        self.quantization = {"mode": quantization.activation, "granularity": granularity,
                             "format": o.get("quant-format") or "qdq",
                             "calibration": o.get("calibration-method") or "minmax"}
        return out

    quantization: Dict[str, Any] = {"mode": "none"}

    def _describe(self, result: Signature, ops: Set[str]) -> str:
        quantized = sorted(ops & set(QUANTIZED_OPS))
        return result.shown() + ("; quantized operators: " + ", ".join(quantized) if quantized else "")

    def _verify(self, session: Any, result: Signature) -> Any:
        self.progress.stage("verifying")
        np = self.np
        types = {t.name: t.dtype for t in result.inputs}
        names = result.output_names()

        def run(feed: Any) -> Any:
            return session.run(names, {k: np.asarray(v).astype(types.get(k, v.dtype)) for k, v in feed.items()})
        return verify(self.runner, run, self.wanted, self.options, precision=self.mode if self.mode != "none"
                      else "float32", sources=self.sources, workdir=self.workdir, warnings=self.warnings)


def _unnamed_dimensions(model: Any, wanted: Signature) -> None:
    """tf2onnx and ONNX Runtime's float16 converter name a dynamic dimension
    they cannot place "unk__N", from a counter: where the source named none,
    neither does the result."""
    graph = model.graph
    names = {t.name: t.dims for t in wanted.inputs + wanted.outputs}
    for value in [*graph.input, *graph.output]:
        given = names.get(value.name, [])
        for i, dim in enumerate(value.type.tensor_type.shape.dim):
            if dim.HasField("dim_param") and dim.dim_param.startswith("unk__") and (
                    i >= len(given) or given[i] != dim.dim_param):
                dim.Clear()


def _rename(model: Any, inputs: Dict[str, str], outputs: Dict[str, str]) -> None:
    """Give the graph's inputs and outputs the source's names."""
    names = dict(inputs)
    names.update(outputs)
    graph = model.graph
    for value in list(graph.input) + list(graph.output):
        value.name = names.get(value.name, value.name)
    for node in graph.node:
        node.input[:] = [names.get(n, n) for n in node.input]
        node.output[:] = [names.get(n, n) for n in node.output]
