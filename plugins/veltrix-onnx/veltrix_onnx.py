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
from typing import Any, Callable, List, Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    OnnxQuantization, PluginError, SampleSource, agreement, check_destination, check_options,
    canonical_names, check_quantization_options, check_source, conversion_run, describe_onnx, has_external_data,
    load_keras_model, onnx_input, onnx_quantization_parameters, plugin_convert, query_answer, sample_shape,
    session_of, trust_parameters, write_onnx)

NAME = "veltrix-onnx"
FROM_TENSORFLOW = ["h5", "keras", "pb"]
SUPPORTED_INPUTS = FROM_TENSORFLOW + ["onnx"]
SUPPORTED_OUTPUTS = ["onnx"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]


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
    })
    table.update(onnx_quantization_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Convert `src` into the ONNX model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


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
        self.to_source_layout: Callable[[Any], Any] = lambda x: x

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        self.num_samples = check_quantization_options(o)
        if "opset" in o and not 9 <= o["opset"] <= 21:
            raise PluginError("--opset must be 9 to 21, not %d" % o["opset"])
        self.quantization = OnnxQuantization(o, self.notes)
        if self.quantization.static:
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
        self.progress.stage("loading %s" % self.src)
        if self.src_type in FROM_TENSORFLOW:
            float_path = os.path.join(self.workdir, "float.onnx")
            self._from_tensorflow(float_path)
        else:  # read where it is, so that weights kept beside it (external data) are found
            float_path = self.src
            source = onnxruntime.InferenceSession(self.src, providers=["CPUExecutionProvider"])
            source_input = source.get_inputs()[0].name
            self.runner = lambda x: source.run(None, {source_input: x})[0]
        self.external = has_external_data(float_path)
        path = self._optimise(float_path)
        quantization = self.quantization
        if quantization.wanted:
            name, shape = "", []
            if quantization.static:
                name, dims = onnx_input(NAME, path)
                shape = sample_shape(dims, self.options)
            quantized = os.path.join(self.workdir, "quantized.onnx")
            quantization.quantize(path, quantized, name, shape, self.num_samples, self.workdir, self.progress,
                                  self.warnings)
            path = quantized
        model = onnx.load(path)
        ops = {n.op_type for n in model.graph.node}
        quantization.check_result(ops)
        session = session_of(path)
        parts = [describe_onnx(session, ops)] + self.notes
        if self.options.get("verify"):
            parts.append(self._verify(path, session))
        return "Wrote %s: %s" % (write_onnx(model, self.dst), "; ".join(parts))

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
        converted, _ = tf2onnx.convert.from_function(tf.function(call), input_signature=spec, opset=o["opset"],
                                                     inputs_as_nchw=nchw)
        canonical_names(converted)
        self.onnx.save_model(converted, float_path)

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

    def _verify(self, path: str, session: Any) -> str:
        if self.runner is None:
            return "not verified (the source model cannot be run)"
        self.progress.stage("verifying")
        sources = self.quantization.sources
        if sources is None:  # not calibrated: samples of the model's own input shape
            shape = sample_shape(onnx_input(NAME, path)[1], self.options)
            sources = SampleSource(self.options, shape, self.num_samples, self.workdir)
        samples, what = sources.verification()
        if not samples:
            return "not verified (%s)" % what
        name = session.get_inputs()[0].name
        pairs = [(self.runner(self.to_source_layout(x)), session.run(None, {name: x})[0]) for x in samples]
        return agreement(pairs, what, self.options.get("verify-min-agreement", 0))
