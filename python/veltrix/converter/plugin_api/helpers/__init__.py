"""What every converter plug-in needs beyond the two-function contract, in one
place: a failure type and a decorator that keep answers well-formed, strict
checks of the parameter dictionary against the plug-in's table, calibration
that is accounted for, deterministic sampling, safe writing of the
destination, quiet native libraries, and progress for people.

A plug-in written with them::

    from veltrix.converter.plugin_api.helpers import PluginError, check_options, plugin_convert, safe_output

    def query_convert(src_type, dst_type):
        ...

    @plugin_convert
    def convert(src, dst, params):
        options = check_options(params, query_convert(params["input-model-type"], params["output-model-type"]))
        if options["level"] > 9:
            raise PluginError("--level must be 0 to 9, not %d" % options["level"])
        with safe_output(dst) as partial:
            write_model(partial)
        return "Wrote %s" % dst

Plug-in authors import everything from here; the modules of this package
hold one concern each: `answers`, `options`, `progress`, `determinism`,
`samples`, `arrays` (samples as NumPy arrays, without TensorFlow), `layout`,
`signature` (a model's inputs and outputs), `verification`, `report`,
`files`, `privacy`, `run`, `containment`, and the framework-specific pieces
`keras_models` (Keras models and SavedModels), `onnx_files`,
`onnx_quantization`, `torch_programs` (with `pt2_checks`, the checks of a .pt2
file, and its pure-Python readers `strict_zip` and `shape_expressions`) and
`openvino_models`, which import their framework only when called.

Nothing here imports NumPy, Pillow or TensorFlow at import time. Importing
the kit first turns the libraries' telemetry off (`privacy`).
"""

from veltrix.converter.plugin_api.helpers.privacy import quiet_libraries

quiet_libraries()  # before anything below, or a plug-in, imports a library

from veltrix.converter.plugin_api.helpers.answers import (
    ConvertFunction, PluginError, failure, first_line, plugin_convert, query_answer, success)
from veltrix.converter.plugin_api.helpers.arrays import ArrayDataset, image_sample, normalize_array, sample_layout
from veltrix.converter.plugin_api.helpers.determinism import RandomStream, seeded
from veltrix.converter.plugin_api.helpers.files import (
    check_destination, check_source, resolve_destination, result_files, safe_output, safe_outputs, source_files,
    work_copy)
from veltrix.converter.plugin_api.helpers.containment import contained
from veltrix.converter.plugin_api.helpers.keras_models import TensorFlowSource, load_keras_model, tflite_signature
from veltrix.converter.plugin_api.helpers.layout import (
    CHANNELS_FIRST, CHANNELS_LAST, channels_of, choose_layout, describe, infer_layout)
from veltrix.converter.plugin_api.helpers.onnx_files import (
    EXTERNAL_DATA_LIMIT, apply_signature, canonical_names, has_external_data, onnx_signature, write_onnx)
from veltrix.converter.plugin_api.helpers.onnx_quantization import (
    QUANTIZED_OPS, OnnxQuantization, describe_onnx, onnx_quantization_parameters, operators_of,
    session_of)
from veltrix.converter.plugin_api.helpers.openvino_models import (
    compile_on_cpu, import_nncf, import_openvino, ir_signature, save_ir, stable_names)
from veltrix.converter.plugin_api.helpers.options import (
    FALSE_WORDS, FORMATS, FRONT_END_KEYS, TRUE_WORDS, check_options, check_quantization_options, given_input_shape,
    positive_int, quantization_mode, shape_parameters, trust_parameters)
from veltrix.converter.plugin_api.helpers.progress import Progress, is_terminal, warn
from veltrix.converter.plugin_api.helpers.run import (
    ConversionRun, NativeOutput, captured_native_output, cause_line, conversion_run, last_meaningful_line)
from veltrix.converter.plugin_api.helpers.samples import (
    IMAGE_SUFFIXES, MAX_VERIFY_IMAGES, MODE_NAMES, UNDECODABLE, VERIFY_SAMPLES, Calibration, SampleSource, find_images,
    is_datastore, summary_of_skipped, survey_images)
from veltrix.converter.plugin_api.helpers.pt2_checks import EXPORT_RECIPE, check_program_archive
from veltrix.converter.plugin_api.helpers.torch_programs import (
    PROGRAM_TYPES, REFUSED_TYPES, load_program, program_runner, program_signature, refuse_unexported,
    torch_module)
from veltrix.converter.plugin_api.helpers.report import conversion_report
from veltrix.converter.plugin_api.helpers.signature import (
    DYNAMIC_SIZE, INPUT_ORDER, MODEL_NAME, OUTPUT_SELECTION, Signature, Tensor, check_naming_options, image_tensor,
    is_integer, parse_shapes, shaped_inputs)
from veltrix.converter.plugin_api.helpers.verification import (
    TOLERANCES, WARN_AGREEMENT, Verified, agreement, as_signature, calibration_feeds, compare, feeds, image_layout,
    is_mask, largest_difference, verify)

__all__ = [
    "PluginError", "success", "failure", "first_line", "plugin_convert", "ConvertFunction", "query_answer",
    "check_options", "check_quantization_options", "given_input_shape", "positive_int", "trust_parameters",
    "FRONT_END_KEYS", "TRUE_WORDS", "FALSE_WORDS",
    "Progress", "is_terminal", "warn", "seeded", "RandomStream",
    "IMAGE_SUFFIXES", "MODE_NAMES", "UNDECODABLE", "VERIFY_SAMPLES", "Calibration", "SampleSource",
    "find_images", "is_datastore", "summary_of_skipped", "survey_images",
    "agreement", "largest_difference", "Tensor", "Verified", "verify", "compare", "feeds", "TOLERANCES",
    "WARN_AGREEMENT", "check_source", "check_destination", "resolve_destination", "safe_output", "safe_outputs",
    "source_files", "result_files", "work_copy",
    "NativeOutput", "ConversionRun", "captured_native_output", "conversion_run", "last_meaningful_line",
    "load_keras_model", "TensorFlowSource", "parse_shapes", "shaped_inputs",
    "FORMATS", "quantization_mode", "shape_parameters", "conversion_report", "calibration_feeds", "image_layout",
    "import_openvino", "import_nncf", "compile_on_cpu", "ir_signature", "save_ir",
    "stable_names",
    "CHANNELS_FIRST", "CHANNELS_LAST", "infer_layout", "choose_layout", "describe", "channels_of",
    "EXTERNAL_DATA_LIMIT", "canonical_names", "has_external_data", "write_onnx",
    "QUANTIZED_OPS", "OnnxQuantization", "describe_onnx", "onnx_quantization_parameters",
    "operators_of", "session_of",
    "EXPORT_RECIPE", "PROGRAM_TYPES", "REFUSED_TYPES", "check_program_archive", "load_program",
    "program_runner", "program_signature", "refuse_unexported", "torch_module",
    "ArrayDataset", "image_sample", "normalize_array", "sample_layout",
    "Signature", "image_tensor", "is_integer", "contained",
    "DYNAMIC_SIZE", "INPUT_ORDER", "MODEL_NAME", "OUTPUT_SELECTION", "check_naming_options", "onnx_signature",
    "tflite_signature", "apply_signature", "as_signature", "is_mask", "cause_line", "MAX_VERIFY_IMAGES",
]
