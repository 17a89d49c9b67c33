"""veltrix-torch: converts PyTorch programs captured with `torch.export` and
saved with `torch.export.save` (.pt2) into ONNX with PyTorch's own exporter,
float or int8 (ONNX Runtime's static quantization, calibrated from the same
samples as every veltrix-converter plug-in, fed in the layout of the
program's input).

The program is checked before PyTorch reads it (see the kit's
`torch_programs`); .pt and .pth files (TorchScript archives, pickled modules
and state dicts) are refused with how to make a .pt2. Like the other
plug-ins it checks its options before any heavy work, verifies the result in
ONNX Runtime against the program run in PyTorch, gives the same bytes for
the same command and writes the destination only as a complete model. It
imports PyTorch only inside `convert`.
"""

import os
from typing import Any, Callable, List, Optional, Union

from veltrix.converter.plugin_api.contract import ParameterTable, Params, SupportedTypes
from veltrix.converter.plugin_api.helpers import (
    CHANNELS_FIRST, PROGRAM_TYPES, REFUSED_TYPES, OnnxQuantization, PluginError, SampleSource, Tensor,
    check_destination, check_options, check_quantization_options, check_source, choose_layout, conversion_run,
    describe, describe_onnx, load_program, onnx_input, onnx_quantization_parameters, operators_of, plugin_convert,
    program_runner, query_answer, refuse_unexported, safe_output, sample_layout, sample_shape, session_of, trust_parameters,
    verify)

NAME = "veltrix-torch"
# .pt and .pth are accepted only to be refused with how to make a .pt2
SUPPORTED_INPUTS = list(PROGRAM_TYPES + REFUSED_TYPES)
SUPPORTED_OUTPUTS = ["onnx"]
CATALOGUE_SHAPE = [1, 224, 224, 3]
NORMALISATIONS = ["signed", "unsigned", "imagenet", "raw"]
OPSETS = range(18, 24)
LAYOUTS = {"auto": None, "channels-first": True, "channels-last": False}


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
                          "help": "Layout of the samples fed to the model: read from its input shape (auto), or "
                                  "channels-first (NCHW) or channels-last (NHWC) where the shape does not say"},
    }
    table.update(onnx_quantization_parameters())
    table.update(trust_parameters())
    return table


@plugin_convert
def convert(src: str, dst: str, params: Params) -> str:
    """Convert the program `src` into the ONNX model `dst`; a conversion response."""
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

    def run(self) -> str:
        self.check()
        check_destination(self.dst, self.src, self.src_type)
        with conversion_run(NAME) as run:
            self.progress, self.workdir, self.warnings = run.progress, run.workdir, run.warnings
            return self._work()

    def _work(self) -> str:
        try:
            import onnx  # noqa: F401 - the exporter and the quantizer need both
            import onnxscript  # noqa: F401
        except ModuleNotFoundError as exc:
            raise PluginError("%s needs %s, which is not installed: pip install veltrix-torch" % (NAME, exc.name))
        self.progress.stage("loading %s" % self.src)
        program = load_program(NAME, self.src, self.src_type)
        path = os.path.join(self.workdir, "float.onnx")
        self._export(program, path)
        name, dims = onnx_input(NAME, path)
        quantization = self.quantization
        feed: Optional[Callable[[Any], Any]] = None
        if quantization.static or self.options.get("verify"):
            shape, feed = self._sample_shape(dims)
        if quantization.wanted:
            quantized = os.path.join(self.workdir, "quantized.onnx")
            quantization.quantize(path, quantized, name, shape if quantization.static else [], self.num_samples,
                                  self.workdir, self.progress, self.warnings, feed or (lambda x: x))
            path = quantized
        with open(path, "rb") as f:
            model = f.read()
        ops = operators_of(model)
        quantization.check_result(ops)
        session = session_of(model)
        parts = [describe_onnx(session, ops)] + self.notes
        if self.options.get("verify") and feed is not None:
            parts.append(self._verify(program, session))
        with safe_output(self.dst) as partial:
            with open(partial, "wb") as f:
                f.write(model)
        return "Wrote %s (%d bytes): %s" % (self.dst, len(model), "; ".join(parts))

    def _export(self, program: Any, path: str) -> None:
        import onnx
        import torch
        opset = self.options["opset"]
        self.progress.stage("converting to ONNX (opset %d)" % opset)
        example = program.example_inputs[0] if program.example_inputs else ()
        exported = torch.onnx.export(program, example, None, dynamo=True, opset_version=opset, verbose=False,
                                     optimize=True)
        if exported is None:
            raise PluginError("PyTorch's exporter gave no model")
        exported.save(path)
        found = {o.domain: o.version for o in onnx.load(path, load_external_data=False).opset_import}.get("", 0)
        if found != opset:
            raise PluginError("PyTorch's exporter could not give opset %d (it gave %d); try --opset %d"
                              % (opset, found, found))
        self.notes.append("exported by PyTorch %s (opset %d)" % (torch.__version__.split("+")[0], opset))

    def _sample_shape(self, dims: List[Optional[int]]) -> Any:
        """The shape the sample modules are asked for, and the function that
        turns each of their samples into the layout of the program's input
        (the shape's where it says, else the user's, else channels first as
        PyTorch lays images out)."""
        import numpy as np
        shape = sample_shape(dims, self.options)
        self.input_shape, self.layout = shape, None
        if len(shape) != 4:
            return shape, lambda x: x
        layout, how = choose_layout(shape, LAYOUTS[self.options.get("sample-layout") or "auto"], CHANNELS_FIRST)
        self.layout = layout
        self.notes.append("samples fed %s" % how)
        if sample_layout(shape) == layout:
            return shape, lambda x: x
        n, a, b, c = shape  # the sample modules would read it the other way: ask for it transposed
        request, order = ([n, b, c, a], (0, 3, 1, 2)) if layout == CHANNELS_FIRST else ([n, c, a, b], (0, 2, 3, 1))
        if sample_layout(request) == sample_layout(shape):
            raise PluginError("Samples cannot be fed %s for the input shape %s" % (describe(layout), shape))
        return request, lambda x: np.ascontiguousarray(np.transpose(x, order))

    def _verify(self, program: Any, session: Any) -> str:
        """The result run in ONNX Runtime against the program run in PyTorch,
        on samples in the layout of the program's input."""
        self.progress.stage("verifying")
        run = program_runner(program)
        name = session.get_inputs()[0].name
        q = self.quantization
        precision = "dynamic" if q.dynamic else q.activation if q.static else "float32"
        shape: List[Optional[int]] = list(self.input_shape)
        return verify(run, lambda f: session.run(None, {name: f[name]}),
                      [Tensor(name, "float32", shape, layout=self.layout)], self.options,
                      precision=precision, sources=q.sources, workdir=self.workdir, warnings=self.warnings).text
