"""veltrix-torch: converts PyTorch programs captured with `torch.export` and
saved with `torch.export.save` (.pt2) into ONNX with PyTorch's own exporter,
float or int8 (ONNX Runtime's quantization, calibrated from the same samples
as every veltrix-converter plug-in).

The program's signature (the kit's `program_signature`: every input and
output with its name, type and dynamic dimensions) is what the ONNX model
keeps: the same names, dynamic dimensions still dynamic unless `--shape`
fixes them, integer and bool inputs as they are; `--input-names`,
`--output-names` and `--name` reorder the inputs, choose the outputs and name
the graph. Samples, calibration and verification feed each input its own
data, and every output is compared with the program's.

The program is checked before PyTorch reads it (see the kit's
`torch_programs`), and everything that reads or runs it is one function run
through the kit's `contained`, which writes only into the run's work folder;
the result is installed afterwards. .pt and .pth files (TorchScript archives,
pickled modules and state dicts) are refused with how to make a .pt2. It
imports PyTorch only inside that function.
"""

import os
import shutil
from typing import Any, Callable, Dict, List, Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    CHANNELS_FIRST, INPUT_ORDER, MODEL_NAME, OUTPUT_SELECTION, PROGRAM_TYPES, REFUSED_TYPES, OnnxQuantization,
    PluginError, SampleSource, Signature, apply_signature, calibration_feeds, check_destination,
    check_naming_options, check_options, check_quantization_options, check_source, choose_layout, contained,
    conversion_report, conversion_run, describe, image_layout, load_program, onnx_quantization_parameters,
    onnx_signature, parse_shapes, plugin_convert, program_runner, program_signature, query_answer,
    refuse_unexported, safe_outputs, sample_layout, session_of, shape_parameters, trust_parameters, Verified, verify,
    write_onnx)

NAME = "veltrix-torch"
# .pt and .pth are accepted only to be refused with how to make a .pt2
SUPPORTED_INPUTS = list(PROGRAM_TYPES + REFUSED_TYPES)
SUPPORTED_OUTPUTS = ["onnx"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
OPSETS = range(18, 24)
LAYOUTS = {"auto": None, "channels-first": True, "channels-last": False}
# the ONNX graph can take its inputs in any order, keep any of its outputs and hold a name
NAMING = [INPUT_ORDER, OUTPUT_SELECTION, MODEL_NAME]
RESULT = "model.onnx"


def query_convert(src_type: Optional[str], dst_type: Optional[str]) -> Union[ParameterTable, SupportedTypes, None]:
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair (types compared without regard to case); None otherwise."""
    answer = query_answer(src_type, dst_type, SUPPORTED_INPUTS, SUPPORTED_OUTPUTS)
    if not isinstance(answer, tuple):
        return answer
    table: ParameterTable = {
        "opset": {"type": "int", "default": 18, "name": "Opset",
                  "help": "ONNX operator set of the converted model (%d to %d)" % (OPSETS[0], OPSETS[-1])},
        "sample-layout": {"type": "string", "default": "auto", "choices": list(LAYOUTS), "name": "Sample Layout",
                          "help": "Layout of the images fed to an image input: read from its shape (auto), or "
                                  "channels-first (NCHW) or channels-last (NHWC) where the shape does not say"},
    }
    table.update(onnx_quantization_parameters())
    table.update(shape_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> Any:
    """Convert the program `src` into the ONNX model `dst`; a conversion response."""
    return _Run(src, dst, params).run()


class _Run:
    """One conversion: the checked options, the contained work, the
    installation of its result and the report."""

    def __init__(self, src: str, dst: str, params: Params) -> None:
        self.src, self.dst = src, dst
        self.src_type = str(params.get("input-model-type") or "").lower()
        table = query_convert(self.src_type, str(params.get("output-model-type") or "onnx"))
        self.options = check_options(params, table or {}, extra_choices={"quant-normalization": NORMALISATIONS})
        self.notes: List[str] = []

    def check(self) -> None:
        o = self.options
        check_source(NAME, self.src, self.src_type, SUPPORTED_INPUTS)
        refuse_unexported(NAME, self.src, self.src_type)
        self.num_samples = check_quantization_options(o)
        if o["opset"] not in OPSETS:
            raise PluginError("--opset must be %d to %d, not %d" % (OPSETS[0], OPSETS[-1], o["opset"]))
        self.quantization = OnnxQuantization(o, self.notes)
        if self.quantization.static:
            SampleSource(o, CATALOGUE_SHAPE, self.num_samples, "").check()
        if o.get("shape"):
            parse_shapes(o["shape"])
        check_naming_options(o, NAMING)

    def run(self) -> Any:
        self.check()
        check_destination(self.dst, self.src, self.src_type)
        with conversion_run(NAME) as run:
            done = contained(run, lambda: _Work(self, run).run(), source=self.src)
            made = os.path.join(run.workdir, "result", os.path.basename(self.dst))
            data = self.dst + ".data"
            with safe_outputs([self.dst, data], optional=[data]) as (partial, partial_data):
                shutil.move(made, partial)
                if os.path.exists(made + ".data"):
                    shutil.move(made + ".data", partial_data)
        return conversion_report(done["message"], NAME, self.src, self.dst,
                                 Signature.from_dict(done["source"]), Signature.from_dict(done["result"]),
                                 quantization=done["quantization"], samples=done["samples"],
                                 verified=Verified("", done["verified"]) if done["verified"] is not None else None)


class _Work:
    """Everything that reads or runs the program, in the run's work folder;
    its result is JSON (the messages, both signatures, the figures)."""

    def __init__(self, conversion: _Run, run: Any) -> None:
        self.c, self.options = conversion, conversion.options
        self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
        self.notes = conversion.notes
        self.quantization = conversion.quantization

    def run(self) -> Dict[str, Any]:
        try:
            import onnx  # noqa: F401 - the exporter and the quantizer need both
            import onnxscript  # noqa: F401
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-torch" % (NAME, exc.name))
        self.progress.stage("loading %s" % self.c.src)
        program = load_program(NAME, self.c.src, self.c.src_type)
        self.source = program_signature(program)
        self.wanted = self._laid_out(self.source.with_options(self.options, NAMING))
        model = self._export(program)
        apply_signature(model, self.wanted)
        folder = os.path.join(self.workdir, "result")
        os.makedirs(folder)
        made = os.path.join(folder, os.path.basename(self.c.dst))
        if self.quantization.wanted:
            float_path = os.path.join(self.workdir, "float.onnx")
            write_onnx(model, float_path)
            model = onnx.load(self._quantize(float_path))
        written = write_onnx(model, made).replace(made, self.c.dst)
        self.quantization.check_result({n.op_type for n in model.graph.node})
        result = onnx_signature(model)
        self.wanted.check_result(result)
        parts = [result.shown()] + self.notes
        verified = None
        if self.options.get("verify"):
            verified = self._verify(program, made, result)
            parts.append(verified.text)
        return {"message": "Wrote %s: %s" % (written, "; ".join(parts)),
                "source": self.source.as_dict(), "result": result.as_dict(), "quantization": self._quantized(),
                "samples": self.used_text() if self.used_text else None,
                "verified": verified.figures if verified is not None else None}

    used_text: Optional[Callable[[], str]] = None

    def _laid_out(self, signature: Signature) -> Signature:
        """The signature with each image input's layout as the user asked
        (`--sample-layout`), the shape's where it says, else channels first
        as PyTorch lays images out; PluginError when the two disagree."""
        asked = LAYOUTS[self.options.get("sample-layout") or "auto"]
        inputs = []
        for tensor in signature.inputs:
            if image_layout(tensor) is not None or (len(tensor.shape) == 4 and asked is not None
                                                    and tensor.dtype.startswith("float")):
                layout, how = choose_layout(tensor.shape, asked, tensor.layout or CHANNELS_FIRST)
                self.notes.append("samples fed %s" % how)
                tensor = tensor.replaced(layout=layout)
            inputs.append(tensor)
        return signature.replaced(inputs=inputs)

    def _export(self, program: Any) -> Any:
        """PyTorch's ONNX model of the program (a ModelProto), with the
        program's input and output names and its dynamic dimensions named as
        the signature names them."""
        import torch
        opset = self.options["opset"]
        self.progress.stage("converting to ONNX (opset %d)" % opset)
        names = tuple({i: n for i, n in enumerate(t.dims) if n} for t in self.source.inputs)
        exported = torch.onnx.export(program, (), None, dynamo=True, opset_version=opset, verbose=False,
                                     optimize=True, dynamic_shapes=names if any(names) else None,
                                     output_names=self.source.output_names())
        if exported is None:
            raise PluginError("PyTorch's exporter gave no model")
        model = exported.model_proto
        found = {o.domain: o.version for o in model.opset_import}.get("", 0)
        if found != opset:
            raise PluginError("PyTorch's exporter could not give opset %d (it gave %d); try --opset %d"
                              % (opset, found, found))
        self.notes.append("exported by PyTorch %s (opset %d)" % (torch.__version__.split("+")[0], opset))
        return model

    def _quantize(self, path: str) -> str:
        """The quantized model's path: one image input from the sample
        source in its layout, any other signature from the kit's
        calibration feeds, or dynamic (no samples)."""
        q = self.quantization
        out = os.path.join(self.workdir, "quantized.onnx")
        images = [t for t in self.wanted.inputs if image_layout(t) is not None]
        if q.static and len(self.wanted.inputs) == 1 and images:
            shape, to_model = self._sample_request(images[0])
            q.quantize(path, out, images[0].name, shape, self.c.num_samples, self.workdir, self.progress,
                       self.warnings, to_model)
        elif q.static:
            q.quantize(path, out, "", [], self.c.num_samples, self.workdir, self.progress, self.warnings,
                       feeds=calibration_feeds(self.wanted, self.options, self.c.num_samples, self.workdir,
                                               self.progress))
        else:
            q.quantize(path, out, "", [], self.c.num_samples, self.workdir, self.progress, self.warnings)
        self.used_text = getattr(q, "used_text", None)
        return out

    def _sample_request(self, tensor: Any) -> Any:
        """The shape the sample modules are asked for, and the function that
        turns each of their samples into the input's layout (asked the other
        way round and transposed where they would read the shape otherwise)."""
        import numpy as np
        shape = self.wanted.feed_shape(tensor)
        if sample_layout(shape) == tensor.layout:
            return shape, lambda x: x
        n, a, b, c = shape
        request, order = (([n, b, c, a], (0, 3, 1, 2)) if tensor.layout == CHANNELS_FIRST
                          else ([n, c, a, b], (0, 2, 3, 1)))
        if sample_layout(request) == sample_layout(shape):
            raise PluginError("Samples cannot be fed %s for the input shape %s" % (describe(tensor.layout), shape))
        return request, lambda x: np.ascontiguousarray(np.transpose(x, order))

    def _quantized(self) -> Dict[str, Any]:
        q, o = self.quantization, self.options
        if not q.wanted:
            return {"mode": "none"}
        granularity = "per-tensor" if o.get("quant-tensor") else "per-channel"
        if q.dynamic:
            return {"mode": "dynamic", "granularity": granularity, "weights": "int8"}
        return {"mode": q.activation, "granularity": granularity, "format": o.get("quant-format") or "qdq",
                "calibration": o.get("calibration-method") or "minmax"}

    def _verify(self, program: Any, path: str, result: Signature) -> Any:
        """The result run in ONNX Runtime against the program run in PyTorch,
        every input fed its own data, every output compared."""
        import numpy as np
        self.progress.stage("verifying")
        run_program = program_runner(program)
        chosen = [self.source.output_names().index(n) for n in self.wanted.output_names()]
        session = session_of(path)
        names = result.output_names()
        types = {t.name: t.dtype for t in result.inputs}

        def run_source(feed: Dict[str, Any]) -> List[Any]:
            outputs = run_program(feed)
            return [outputs[i] for i in chosen]

        def run_result(feed: Dict[str, Any]) -> List[Any]:
            return list(session.run(names, {k: np.asarray(v).astype(types.get(k, v.dtype), copy=False)
                                            for k, v in feed.items()}))
        q = self.quantization
        precision = "dynamic" if q.dynamic else q.activation if q.static else "float32"
        return verify(run_source, run_result, self.wanted, self.options, precision=precision,
                      sources=q.sources, workdir=self.workdir, warnings=self.warnings)
