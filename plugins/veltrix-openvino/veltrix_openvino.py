"""veltrix-openvino: converts Keras models (.h5, .keras), SavedModel folders
("pb"), ONNX models and exported PyTorch programs (.pt2) into OpenVINO IR
(model.xml with its weights in model.bin), float, fp16-compressed or int8
quantized with NNCF, calibrated from the same samples as every
veltrix-converter plug-in.

It works on the model's signature as the kit reads it: every input and
output, keeping their names, types and dynamic dimensions (unless the user
fixes a shape), in the order and selection the naming options ask for. It
checks its options before any heavy work, reads the written IR back and
compares its signature with the source's, verifies every output of the IR on
the CPU against the source model, gives the same bytes for the same command
(`--seed`), writes the two files as one (both or neither) and keeps
OpenVINO's telemetry from sending anything. A .pt2 program is read and run
only inside the kit's containment. It imports nothing heavy at load time.
"""

import os
import shutil
from typing import Any, Callable, Dict, List, Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    CHANNELS_FIRST, CHANNELS_LAST, INPUT_ORDER, MODEL_NAME, OUTPUT_SELECTION, PROGRAM_TYPES, REFUSED_TYPES,
    PluginError, SampleSource, Signature, TensorFlowSource, Verified, calibration_feeds, channels_of,
    check_destination, check_naming_options, check_options, check_quantization_options, check_source,
    choose_layout, compile_on_cpu, contained, conversion_report, conversion_run, image_layout, import_nncf,
    import_openvino, infer_layout, ir_signature, is_integer, load_program, onnx_signature, parse_shapes,
    plugin_convert, program_runner, program_signature, query_answer, refuse_unexported, safe_outputs, save_ir,
    seeded, shape_parameters, stable_names, trust_parameters, verify)

NAME = "veltrix-openvino"
FROM_TENSORFLOW = ["h5", "keras", "pb"]
# .pt/.pth are taken only to be refused with how to make a .pt2
SUPPORTED_INPUTS = FROM_TENSORFLOW + ["onnx"] + list(PROGRAM_TYPES) + list(REFUSED_TYPES)
SUPPORTED_OUTPUTS = ["xml"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
QUANTIZED_OPS = ("FakeQuantize", "FakeConvert")
# An IR can take its inputs in any order, give any of the outputs, and holds
# a name of its own (the friendly name).
NAMING = (INPUT_ORDER, OUTPUT_SELECTION, MODEL_NAME)


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
    table.update(shape_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> Any:
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
        self.sources: Optional[SampleSource] = None
        self.used_text: Optional[Callable[[], str]] = None

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        refuse_unexported(NAME, self.src, self.src_type)
        self.num_samples = check_quantization_options(o)
        check_naming_options(o, NAMING)
        if o.get("shape"):
            parse_shapes(o["shape"])
        for key in ("input-type", "output-type"):
            if o.get(key) not in (None, "none", "float32"):
                raise PluginError("--%s %s: OpenVINO IR keeps the source's input and output types (int8 IR "
                                  "quantizes inside the model); leave it out" % (key, o[key]))
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
        self.precision = "int8" if self.quantize else "float16" if o.get("compress-to-fp16") else "float32"

    def run(self) -> Any:
        self.check()
        check_destination(self.dst, self.src, self.src_type)  # the .bin beside the .xml too
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            if self.src_type in PROGRAM_TYPES:  # a program is read and run only where a miss is contained
                done = contained(run, self._work, source=self.src)
            else:
                done = self._work()
            saved = done["files"]
            with safe_outputs([self.dst, weights_path(self.dst)]) as partials:
                for made, partial in zip(saved, partials):
                    shutil.copyfile(made, partial)
        size = sum(os.path.getsize(p) for p in (self.dst, weights_path(self.dst)))
        message = "Wrote %s and %s (%d bytes): %s" % (self.dst, os.path.basename(weights_path(self.dst)), size,
                                                     "; ".join(done["parts"]))
        verified = Verified(done["verified"][0], done["verified"][1]) if done["verified"] else None
        return conversion_report(message, NAME, self.src, self.dst, Signature.from_dict(done["source"]),
                                 Signature.from_dict(done["result"]), size, done["quantization"], done["samples"],
                                 verified, files=[weights_path(self.dst)])

    # -------------------------------------------------------------- work

    def _work(self) -> Dict[str, Any]:
        """Everything that reads or runs the source: the IR written into the
        work folder, and what the answer says, as JSON."""
        import numpy as np
        self.np = np
        try:
            self.ov = import_openvino()
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-openvino" % (NAME, exc.name))
        self.progress.stage("loading %s" % self.src)
        convert_source = self._load()
        self.wanted = self._with_layouts(self.source.with_options(self.options, NAMING))
        self.progress.stage("converting to OpenVINO IR")
        model = self._arranged(convert_source(self.wanted))
        quantization: Dict[str, Any] = {"mode": "none"}
        if self.quantize:
            model, quantization = self._quantize(model)
        elif self.options.get("compress-to-fp16"):
            quantization = {"mode": "float16", "io": "float32"}
        ops = {op.get_type_name() for op in model.get_ops()}
        if self.quantize and not ops & set(QUANTIZED_OPS):
            raise PluginError("NNCF quantized no operation of this model; nothing was written")
        saved = os.path.join(self.workdir, "ir", "model.xml")
        self.progress.stage("saving")
        save_ir(model, saved, bool(self.options.get("compress-to-fp16")))
        written = self.ov.Core().read_model(saved)  # what the destination will hold, read as a user reads it
        result = ir_signature(written)
        self.wanted.check_result(result)
        parts = [self._describe(result, ops)] + self.notes
        verified = None
        if self.options.get("verify"):
            verified = self._verify(compile_on_cpu(written))
            parts.append(verified.text)
        return {"files": [saved, weights_path(saved)], "parts": parts, "source": self.source.as_dict(),
                "result": result.as_dict(), "quantization": quantization,
                "samples": self.used_text() if self.used_text else None,
                "verified": [verified.text, verified.figures] if verified else None}

    def _load(self) -> Callable[[Signature], Any]:
        """Read the source: `self.source` (its signature), `self.run_source`
        (a feed to the outputs a signature names, in its order); the function
        giving the OpenVINO model of a wanted signature."""
        ov = self.ov
        if self.src_type in FROM_TENSORFLOW:
            tf_source = self._tensorflow()
            self.source = tf_source.signature
            self.run_source = tf_source.runner

            def convert_function(wanted: Signature) -> Any:
                # a function of the wanted shapes and outputs, keyed by the outputs' names, which
                # OpenVINO gives the outputs (beside the function's own tensor names)
                function = tf_source.function(wanted, keyed=True)
                made = function.structured_outputs
                pairs = made.items() if isinstance(made, dict) else zip(wanted.output_names(), made)
                self.inner_names = {name: tensor.name for name, tensor in pairs}
                return ov.convert_model(function)
            return convert_function
        if self.src_type == "onnx":
            import onnxruntime
            self.source = onnx_signature(self.src)
            session = onnxruntime.InferenceSession(self.src, providers=["CPUExecutionProvider"])
            self.run_source = lambda wanted: lambda feed: session.run(wanted.output_names(), feed)
            # OpenVINO reads the shapes the file holds; it is given only those the user fixed
            return lambda wanted: ov.convert_model(self.src, **self._shapes(wanted, every=False))
        program = load_program(NAME, self.src, self.src_type)
        self.source = program_signature(program)
        run_program = program_runner(program)

        def run_source(wanted: Signature) -> Callable[[Any], List[Any]]:
            chosen = [self.source.output_names().index(n) for n in wanted.output_names()]
            return lambda feed: [outputs[i] for outputs in [run_program(feed)] for i in chosen]
        self.run_source = run_source
        # OpenVINO is given every input's shape (it would otherwise make every dimension
        # dynamic) and names a program's outputs its own way: they are the program's, in order
        self.output_order = self.source.output_names()
        return lambda wanted: ov.convert_model(program, **self._shapes(wanted, every=True))

    # how the converted model's outputs are told apart: a program's are in its
    # order; a TensorFlow function's carry the names of its own tensors
    output_order: Optional[List[str]] = None
    inner_names: Dict[str, str] = {}

    def _shapes(self, wanted: Signature, every: bool) -> Dict[str, Any]:
        """convert_model's `input`: the inputs of the source, in its order, by
        name with the shape wanted (-1 where dynamic): `every` one, or those
        whose shape the user fixed (an input of unknown rank is left as the
        file has it)."""
        shapes = {t.name: t.shape for t in wanted.inputs}
        given = [(t.name, self.ov.PartialShape([-1 if d is None else d for d in shapes[t.name]]))
                 for t in self.source.inputs if every or shapes[t.name] != t.shape]
        return {"input": given} if given else {}

    def _tensorflow(self) -> Any:
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        try:
            import tensorflow  # noqa: F401
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s to read TensorFlow models: pip install 'veltrix-openvino[tensorflow]'"
                              % (NAME, exc.name))
        return TensorFlowSource(self.src, self.src_type, self.workdir)

    def _with_layouts(self, wanted: Signature) -> Signature:
        """The layout of each 4-D float input that takes images: channels-last
        for TensorFlow sources, else the user's choice or the shape's
        (channels-first when the shape does not say)."""
        asked = self.options.get("channels-first") if self.src_type not in FROM_TENSORFLOW else None
        default = CHANNELS_LAST if self.src_type in FROM_TENSORFLOW else CHANNELS_FIRST
        four = [len(t.shape) == 4 and not is_integer(t.dtype) for t in wanted.inputs]
        if asked is not None and not any(four):
            raise PluginError("--channels-first applies to a 4-dimensional image input; the model's inputs are %s"
                              % wanted.inputs_shown())
        inputs = []
        for tensor, candidate in zip(wanted.inputs, four):
            if candidate:
                layout, how = choose_layout(tensor.shape, asked, default)
                if asked is not None or infer_layout(tensor.shape) is not None or channels_of(
                        tensor.shape, layout) in (1, 3):
                    self.notes.append("input %s%s" % (tensor.name + " " if len(wanted.inputs) > 1 else "", how))
                    tensor = tensor.replaced(layout=layout)
            inputs.append(tensor)
        return wanted.replaced(inputs=inputs)

    def _arranged(self, model: Any) -> Any:
        """The converted model as the wanted signature has it: its inputs in
        that order and its outputs in that selection and order, each tensor
        named as the source names it (and no other tensor so), image inputs
        with their layout, and the model's name."""
        ov, wanted = self.ov, self.wanted
        ports = list(model.outputs)
        found: Dict[str, Any] = {}
        if self.output_order is not None and len(self.output_order) == len(ports):
            found = dict(zip(self.output_order, ports))
        inner = {tensor: name for name, tensor in self.inner_names.items()}
        for port in ports:
            for name in port.get_names():
                found.setdefault(inner.get(name, name), port)
        parameters = {name: p for p in model.get_parameters() for name in p.output(0).get_names()}
        by_position = dict(zip(self.source.input_names(), model.get_parameters()))
        missing = [t.name for t in wanted.outputs if t.name not in found]
        missing += [t.name for t in wanted.inputs if t.name not in parameters and t.name not in by_position]
        if missing:
            raise PluginError("OpenVINO's conversion of %s has no tensor %s (it made %s); nothing was written" % (
                self.src, ", ".join(missing), ir_signature(model).shown()))
        results = [found[t.name].get_node() for t in wanted.outputs]
        inputs = [parameters.get(t.name) or by_position[t.name] for t in wanted.inputs]
        # the converters' own names count conversions in the process ("Model6"): the
        # source's name, else its file's, gives the same bytes for the same command
        name = wanted.name or os.path.splitext(os.path.basename(os.path.normpath(self.src)))[0]
        arranged = ov.Model(results, inputs, name)
        stable_names(arranged)  # before NNCF, which names what it adds after its neighbours
        names = {t.name for t in wanted.inputs + wanted.outputs}
        for op in arranged.get_ops():  # a source's name held by an inner tensor is taken from it
            for output in op.outputs():
                if output.get_names() & names:
                    output.get_tensor().set_names(output.get_names() - names)
        for tensor, parameter in zip(wanted.inputs, inputs):
            parameter.output(0).get_tensor().set_names({tensor.name})
            parameter.set_friendly_name(tensor.name)
            if tensor.layout is not None:
                ov.layout_helpers.set_layout(parameter.output(0), ov.Layout(tensor.layout))
        for tensor, port in zip(wanted.outputs, arranged.outputs):
            port.get_tensor().set_names({tensor.name})
        return arranged

    def _quantize(self, model: Any) -> Any:
        """The model with int8 FakeQuantize operations NNCF placed and
        calibrated on feeds of every input: images of the sample folder for a
        model taking one image, the kit's calibration feeds otherwise."""
        o, np, wanted = self.options, self.np, self.wanted
        nncf = import_nncf()
        images = [t for t in wanted.inputs if image_layout(t) is not None]
        if len(wanted.inputs) == 1 and images:
            tensor = images[0]
            shape = wanted.feed_shape(tensor)
            layout = image_layout(tensor)
            sample_shape = [shape[0], shape[2], shape[3], shape[1]] if layout == CHANNELS_FIRST else shape
            self.sources = SampleSource(o, sample_shape, self.num_samples, self.workdir, arrays=True)
            calibration = self.sources.calibrate(np.float32, self.progress)
            self.warnings.extend(self.sources.warnings)
            self.used_text = self.sources.used_text

            def feed(item: Any) -> Dict[str, Any]:
                x = np.asarray(item[0], dtype=np.float32)
                if layout == CHANNELS_FIRST:
                    x = np.ascontiguousarray(x.transpose(0, 3, 1, 2))
                return {tensor.name: x.astype(tensor.dtype, copy=False)}
            with seeded(self.sources.seed):  # the sample modules draw images in NumPy's random order
                samples = [feed(item) for item in calibration()]  # NNCF reads the data set more than once
        else:
            calibration, self.used_text = calibration_feeds(wanted, o, self.num_samples, self.workdir, self.progress)
            samples = list(calibration())
        if calibration.used == 0:
            raise PluginError("No sample reached calibration; nothing to quantize with")
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
        granularity = "per-channel" if per_channel else "per-tensor"
        bias = "fast" if o.get("fast-bias-correction") else "full"
        self.notes.append("quantized int8, %s weights, %s preset, %s bias correction, statistics from %d of %s" % (
            granularity, preset.value, bias, subset, self.used_text()))
        return quantized, {"mode": "int8", "granularity": granularity, "preset": preset.value,
                           "bias_correction": bias, "statistics_samples": subset}

    def _describe(self, result: Signature, ops: Any) -> str:
        quantized = sorted(ops & set(QUANTIZED_OPS))
        compressed = self.options.get("compress-to-fp16")
        return "%s, %s%s" % (result.shown(), "weights compressed to float16" if compressed else "float32 weights",
                             "; quantized operations: " + ", ".join(quantized) if quantized else "")

    def _verify(self, compiled: Any) -> Verified:
        """Every output of the compiled IR against the source's, on the kit's
        feeds of every input."""
        self.progress.stage("verifying")
        request = compiled.create_infer_request()
        ports = list(compiled.outputs)

        def run_result(feed: Any) -> List[Any]:
            answer = request.infer(feed)
            return [answer[port] for port in ports]
        return verify(self.run_source(self.wanted), run_result, self.wanted, self.options, precision=self.precision,
                      sources=self.sources, workdir=self.workdir, warnings=self.warnings)


