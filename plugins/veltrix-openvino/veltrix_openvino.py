"""veltrix-openvino: converts Keras models (.h5, .keras), SavedModel folders
("pb"), ONNX models and exported PyTorch programs (.pt2) into OpenVINO IR
(model.xml with its weights in model.bin), float, fp16-compressed or int8
quantized with NNCF, calibrated from the same samples as every
veltrix-converter plug-in.

It checks its options before any heavy work, feeds samples in the layout of
the model's input, verifies the IR on the CPU against the source model,
gives the same bytes for the same command (`--seed`), writes the two files
as one (both or neither) and keeps OpenVINO's telemetry from sending
anything. It imports nothing heavy at load time.
"""

import os
import shutil
from typing import Any, Callable, List, Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    CHANNELS_FIRST, CHANNELS_LAST, PROGRAM_TYPES, REFUSED_TYPES, PluginError, SampleSource, Tensor,
    check_destination, check_options, check_quantization_options, check_source, choose_layout, compile_on_cpu,
    conversion_run, given_input_shape, import_nncf, import_openvino, input_dims, load_keras_model, load_program,
    plugin_convert, program_input, program_runner, query_answer, refuse_unexported, safe_outputs, save_ir, seeded,
    stable_names, tensor_text, trust_parameters, verify)

NAME = "veltrix-openvino"
FROM_TENSORFLOW = ["h5", "keras", "pb"]
# .pt/.pth are taken only to be refused with how to make a .pt2
SUPPORTED_INPUTS = FROM_TENSORFLOW + ["onnx"] + list(PROGRAM_TYPES) + list(REFUSED_TYPES)
SUPPORTED_OUTPUTS = ["xml"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
QUANTIZED_OPS = ("FakeQuantize", "FakeConvert")


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair (types compared without regard to case); None otherwise."""
    answer = query_answer(src_type, dst_type, SUPPORTED_INPUTS, SUPPORTED_OUTPUTS)
    if not isinstance(answer, tuple):
        return answer
    table: ParameterTable = {}
    if answer[0] not in FROM_TENSORFLOW:
        table["channels-first"] = {
            "type": "boolean", "default": None, "name": "Channels First",
            "help": "The model takes images channels-first (N, C, H, W): true or false; "
                    "read from the input shape when not given, else channels-first"}
    table.update({
        "compress-to-fp16": {"type": "boolean", "default": True, "name": "Compress to FP16",
                             "help": "Store float weights as float16 (half the size; the CPU computes in float32); "
                                     "false keeps float32"},
        "preset": {"type": "string", "default": "performance", "choices": ["performance", "mixed"], "name": "Preset",
                   "help": "int8 scheme: performance (symmetric) or mixed (asymmetric activations)"},
        "subset-size": {"type": "int", "default": 0, "name": "Subset Size",
                        "help": "Samples NNCF collects statistics from (0: every calibration sample)"},
        "fast-bias-correction": {"type": "boolean", "default": True, "name": "Fast Bias Correction",
                                 "help": "Correct the bias shift of quantized layers the fast way (false: the "
                                         "slower, more thorough way)"},
    })
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Convert `src` into the OpenVINO IR `dst` (.xml, with its .bin beside it); a conversion response."""
    return _Run(src, dst, params).run()


def weights_path(xml: str) -> str:
    """The .bin that OpenVINO reads beside an .xml."""
    return os.path.splitext(xml)[0] + ".bin"


class _Run:
    """One conversion: the checked options, then the work."""

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        self.src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(self.src_type, str(params.get("output-model-type") or "xml"))
        self.options = check_options(params, table or {}, extra_choices={"quant-normalization": NORMALISATIONS})
        self.notes: List[str] = []
        self.warnings: List[str] = []
        self.runner: Optional[Callable[[Any], Any]] = None
        self.sources: Optional[SampleSource] = None
        self.layout: Optional[str] = None

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        refuse_unexported(NAME, self.src, self.src_type)
        self.num_samples = check_quantization_options(o)
        for key in ("input-type", "output-type"):
            if o.get(key) not in (None, "none", "float32"):
                raise PluginError("--%s %s: OpenVINO IR keeps float32 inputs and outputs (int8 IR quantizes "
                                  "inside the model); leave it out" % (key, o[key]))
        fmt = o.get("quantize-format") or "none"
        if fmt == "uint8":
            raise PluginError("--quantize-format uint8: NNCF quantizes to int8; for unsigned (asymmetric) "
                              "activations use --preset mixed")
        self.quantize = bool(o.get("quantize"))
        if fmt == "int8" and not self.quantize:
            self.quantize = True
            self.notes.append("--quantize-format int8 implies --quantize")
        if o.get("subset-size", 0) < 0:
            raise PluginError("--subset-size must be 0 (every calibration sample) or more, not %d" % o["subset-size"])
        if not self.quantize:
            for key, default in (("preset", "performance"), ("subset-size", 0), ("fast-bias-correction", True)):
                if o.get(key, default) != default:
                    raise PluginError("--%s applies to int8 quantization: add --quantize" % key)
        if self.quantize:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()
        if not self.dst.lower().endswith(".xml"):
            raise PluginError("An OpenVINO IR is written as NAME.xml (with NAME.bin beside it), not %s" % self.dst)

    def run(self) -> str:
        self.check()
        check_destination(self.dst, self.src, self.src_type)  # the .bin beside the .xml too
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            return self._work()

    # -------------------------------------------------------------- work

    def _work(self) -> str:
        import numpy as np
        self.np = np
        try:
            self.ov = import_openvino()
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-openvino" % (NAME, exc.name))
        self.progress.stage("loading %s" % self.src)
        model = self._load()
        self.dims = input_dims(model)
        self._choose_layout()
        # the converters' own model names count conversions in the process ("Model6"): the
        # source file's name gives the same bytes for the same command
        model.set_friendly_name(os.path.splitext(os.path.basename(os.path.normpath(self.src)))[0])
        if self.quantize:
            stable_names(model)  # before NNCF, which names what it adds after its neighbours
            model = self._quantize(model)
        ops = {op.get_type_name() for op in model.get_ops()}
        if self.quantize and not ops & set(QUANTIZED_OPS):
            raise PluginError("NNCF quantized no operation of this model; nothing was written")
        saved = os.path.join(self.workdir, "ir", "model.xml")
        compress = bool(self.options.get("compress-to-fp16"))
        self.progress.stage("saving")
        save_ir(model, saved, compress)
        compiled = compile_on_cpu(saved)
        parts = [self._describe(compiled, ops, compress)] + self.notes
        if self.options.get("verify"):
            parts.append(self._verify(compiled))
        with safe_outputs([self.dst, weights_path(self.dst)]) as partials:
            for source, partial in zip([saved, weights_path(saved)], partials):
                shutil.copyfile(source, partial)
        size = sum(os.path.getsize(p) for p in (self.dst, weights_path(self.dst)))
        return "Wrote %s and %s (%d bytes): %s" % (self.dst, os.path.basename(weights_path(self.dst)), size,
                                                  "; ".join(parts))

    def _load(self) -> Any:
        """The source as an OpenVINO model (its input shape fixed when asked),
        and `self.runner` set to run the source itself."""
        shape = given_input_shape(self.options)
        if self.src_type in FROM_TENSORFLOW:
            source = self._tensorflow()
        elif self.src_type == "onnx":
            source = self.src
            import onnxruntime
            session = onnxruntime.InferenceSession(self.src, providers=["CPUExecutionProvider"])
            name = session.get_inputs()[0].name
            if len(session.get_inputs()) != 1:
                raise PluginError("%s converts models with one input; %s has %d" % (
                    NAME, self.src, len(session.get_inputs())))
            self.runner = lambda x: session.run(None, {name: x})[0]
        else:
            source = self._exported_program()
        self.progress.stage("converting to OpenVINO IR")
        extra = {"input": [shape or self.program_shape]} if shape or self.src_type in PROGRAM_TYPES else {}
        model = self.ov.convert_model(source, **extra)
        if len(model.inputs) != 1:
            raise PluginError("%s converts models with one input; %s has %d" % (NAME, self.src, len(model.inputs)))
        if shape:
            self.notes.append("input shape fixed to %s" % ",".join(map(str, shape)))
        return model

    def _tensorflow(self) -> Any:
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        try:
            import tensorflow as tf
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s to read TensorFlow models: pip install 'veltrix-openvino[tensorflow]'"
                              % (NAME, exc.name))
        if self.src_type == "pb":
            loaded = tf.saved_model.load(self.src)
            try:
                signature = loaded.signatures["serving_default"]
                input_name = list(signature.structured_input_signature[1])[0]
            except (KeyError, IndexError, AttributeError) as exc:
                raise PluginError("The SavedModel %s has no callable serving_default signature" % self.src) from exc
            self.runner = lambda x: self.np.asarray(list(signature(**{input_name: tf.constant(x)}).values())[0])
            return self.src
        model = load_keras_model(self.src, self.src_type, self.workdir)
        if len(model.inputs) != 1:
            raise PluginError("%s converts models with one input; %s has %d" % (NAME, self.src, len(model.inputs)))
        self.runner = lambda x: self.np.asarray(model(x, training=False))
        return model

    def _exported_program(self) -> Any:
        """The program, checked before PyTorch loads it; OpenVINO is given its
        input shape, since it would otherwise make every dimension dynamic."""
        program = load_program(NAME, self.src, self.src_type)
        run_program = program_runner(program)
        input_name, shape = program_input(NAME, program)
        self.runner = lambda x: run_program({input_name: x})[0]
        self.program_shape = self.ov.PartialShape([-1 if d is None else d for d in shape])
        return program

    def _choose_layout(self) -> None:
        """The layout of a 4-D image input: channels-last for TensorFlow
        sources, else the user's choice or the shape's (channels-first when
        the shape does not say)."""
        if len(self.dims) != 4:
            return
        asked = self.options.get("channels-first")
        default = CHANNELS_LAST if self.src_type in FROM_TENSORFLOW else CHANNELS_FIRST
        self.layout, how = choose_layout(self.dims, asked if self.src_type not in FROM_TENSORFLOW else None, default)
        self.notes.append("input %s" % how)

    def _sample_shape(self) -> List[int]:
        """The shape of one sample as the sample modules make it (channels
        last for images), from the user's --input-shape or the model's."""
        dims = list(self.dims)
        if not dims or any(d is None for d in dims[1:]):
            raise PluginError("The model's input shape %s is not fixed: give --input-shape" %
                              ",".join("?" if d is None else str(d) for d in dims))
        dims[0] = 1
        if self.layout == CHANNELS_FIRST:
            return [dims[0], dims[2], dims[3], dims[1]]
        return dims

    def _to_model(self, sample: Any) -> Any:
        x = self.np.asarray(sample, dtype=self.np.float32)
        return self.np.ascontiguousarray(x.transpose(0, 3, 1, 2)) if self.layout == CHANNELS_FIRST else x

    def _quantize(self, model: Any) -> Any:
        o = self.options
        nncf = import_nncf()
        self.sources = SampleSource(o, self._sample_shape(), self.num_samples, self.workdir, arrays=True)
        calibration = self.sources.calibrate(self.np.float32, self.progress)
        self.warnings.extend(self.sources.warnings)
        with seeded(self.sources.seed):  # the sample modules draw images in NumPy's random order
            samples = [self._to_model(item[0]) for item in calibration()]  # NNCF reads the data set more than once
        if calibration.used == 0:
            raise PluginError("No sample reached calibration from %s; nothing to quantize with" % self.sources.name)
        subset = o.get("subset-size") or len(samples)
        if subset > len(samples):
            raise PluginError("--subset-size %d is more than the %d calibration samples (--num-samples)" % (
                subset, len(samples)))
        per_channel = not o.get("quant-tensor")
        from nncf.quantization.advanced_parameters import AdvancedQuantizationParameters, QuantizationParameters
        advanced = AdvancedQuantizationParameters(weights_quantization_params=QuantizationParameters(
            per_channel=per_channel))
        preset = nncf.QuantizationPreset.MIXED if o.get("preset") == "mixed" else nncf.QuantizationPreset.PERFORMANCE
        self.progress.stage("quantizing (NNCF, %s preset)" % preset.value)
        quantized = nncf.quantize(model, nncf.Dataset(samples), preset=preset, subset_size=subset,
                                  fast_bias_correction=bool(o.get("fast-bias-correction")),
                                  advanced_parameters=advanced)
        self.notes.append("quantized int8, %s weights, %s preset, %s bias correction, statistics from %d of %s" % (
            "per-channel" if per_channel else "per-tensor", preset.value,
            "fast" if o.get("fast-bias-correction") else "full", subset, self.sources.used_text()))
        return quantized

    def _describe(self, compiled: Any, ops: Any, compress: bool) -> str:
        quantized = sorted(ops & set(QUANTIZED_OPS))
        return "input %s, output %s, %s%s" % (
            ", ".join(tensor_text(p) for p in compiled.inputs), ", ".join(tensor_text(p) for p in compiled.outputs),
            "weights compressed to float16" if compress else "float32 weights",
            "; quantized operations: " + ", ".join(quantized) if quantized else "")

    def _verify(self, compiled: Any) -> str:
        """The compiled IR against the source model, on samples in the layout
        of the model's input."""
        runner = self.runner
        if runner is None:
            return "not verified (the source model cannot be run)"
        self.progress.stage("verifying")
        self._sample_shape()  # a dynamic input dimension fails here, as for calibration
        shape: List[Optional[int]] = [1] + [int(d) for d in self.dims[1:]]
        names = compiled.inputs[0].get_names()
        name = sorted(names)[0] if names else "input"
        precision = "int8" if self.quantize else "float16" if self.options.get("compress-to-fp16") else "float32"
        return verify(lambda f: [runner(f[name])], lambda f: [compiled(f[name])[0]],
                      [Tensor(name, "float32", shape, layout=self.layout)], self.options, precision=precision,
                      sources=self.sources, workdir=self.workdir, warnings=self.warnings).text
