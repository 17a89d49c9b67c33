"""veltrix-tflite: converts Keras models (.h5, .keras) and SavedModel folders
("pb") into TensorFlow Lite models with TensorFlow's own converter, optionally
fully quantized to 8-bit integers from representative samples.

The module imports nothing heavy at load time: the front end loads every
plug-in to list them, and TensorFlow takes seconds to import.
"""

import contextlib
import io
import os
import warnings

SUPPORTED_INPUTS = ["h5", "keras", "pb"]
SUPPORTED_OUTPUTS = ["tflite"]

# The reserved input shape's default; a value equal to it means "not given".
CATALOGUE_SHAPE = [1, 224, 224, 3]
TYPES = ("float32", "int8", "uint8")


def query_convert(src_type, dst_type):
    """The supported types for (None, None); this plug-in's parameters for a
    supported pair; None otherwise. A new table every call: callers write the
    reserved parameters into it."""
    if src_type is None and dst_type is None:
        return {"supported_inputs": list(SUPPORTED_INPUTS), "supported_outputs": list(SUPPORTED_OUTPUTS)}
    if src_type not in SUPPORTED_INPUTS or dst_type not in SUPPORTED_OUTPUTS:
        return None
    return {
        "optimize": {"type": "boolean", "default": False, "name": "Optimize",
                     "help": "Apply TensorFlow Lite's default optimisations (weights in 8 bits) without samples"},
        "select-tf-ops": {"type": "boolean", "default": False, "name": "Select TF Ops",
                          "help": "Allow TensorFlow operations that TensorFlow Lite lacks (needs the Flex delegate)"},
        "allow-custom-ops": {"type": "boolean", "default": False, "name": "Custom Ops",
                             "help": "Keep unknown operations as custom operations"},
    }


class PluginError(Exception):
    """A failure with a message meant for the user."""


def convert(src, dst, params):
    """Convert `src` into the TensorFlow Lite model `dst`; a conversion response."""
    try:
        message = _convert(src, dst, params)
    except PluginError as exc:
        return {"success": "no", "message": str(exc)}
    except Exception as exc:  # whatever TensorFlow raises becomes a failure line
        text = str(exc).strip().splitlines()
        return {"success": "no", "message": "%s: %s" % (type(exc).__name__, text[0] if text else "")}
    return {"success": "yes", "message": message}


def _flag(params, key):
    return params.get(key) is True


def _convert(src, dst, params):
    src_type = params.get("input-model-type", "")
    if not os.path.exists(src):
        raise PluginError("Source model not found: %s" % src)
    if src_type not in SUPPORTED_INPUTS:
        raise PluginError("veltrix-tflite cannot read %r models (supported: %s)" % (src_type, ", ".join(SUPPORTED_INPUTS)))
    if _flag(params, "quant-tensor") and _flag(params, "quant-channel"):
        raise PluginError("Choose one of quant-tensor and quant-channel, not both")

    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    chatter = io.StringIO()
    with contextlib.redirect_stdout(chatter), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import numpy as np
        try:
            import tensorflow as tf
        except ModuleNotFoundError as exc:
            if exc.name != "tensorflow":
                raise
            raise PluginError("veltrix-tflite needs TensorFlow, which is not installed: "
                              "pip install 'veltrix-tflite[cpu]' (or any TensorFlow build)")

        converter, model_shape = _load(tf, src, src_type)
        notes, integer_only = [], False
        if _flag(params, "quantize"):
            note, integer_only = _quantize(tf, np, converter, params, model_shape)
            notes.append(note)
        elif _flag(params, "optimize"):
            converter.optimizations = [tf.lite.Optimize.DEFAULT]
            notes.append("dynamic-range optimised")
        ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8 if integer_only else tf.lite.OpsSet.TFLITE_BUILTINS]
        if _flag(params, "select-tf-ops"):
            ops.append(tf.lite.OpsSet.SELECT_TF_OPS)
        converter.target_spec.supported_ops = ops
        converter.allow_custom_ops = _flag(params, "allow-custom-ops")
        model = converter.convert()
        described = _describe(tf, model)

    folder = os.path.dirname(os.path.abspath(dst))
    os.makedirs(folder, exist_ok=True)
    partial = dst + ".part"
    with open(partial, "wb") as f:
        f.write(model)
    os.replace(partial, dst)  # a failed run never leaves a truncated model under the final name
    return "Wrote %s (%d bytes): %s%s" % (dst, len(model), described, "".join("; " + n for n in notes))


def _load(tf, src, src_type):
    """A converter for the source model and the model's input shape (or None)."""
    if src_type == "pb":
        if not os.path.isdir(src):
            raise PluginError("A SavedModel is a folder holding saved_model.pb: %s" % src)
        converter = tf.lite.TFLiteConverter.from_saved_model(src)
        try:
            loaded = tf.saved_model.load(src)
            first_input = list(loaded.signatures["serving_default"].structured_input_signature[1].values())[0]
            return converter, list(first_input.shape)
        except (KeyError, IndexError, AttributeError, ValueError):
            return converter, None
    import keras
    try:
        model = keras.models.load_model(src, compile=False)
    except Exception as exc:
        raise PluginError("Cannot read Keras model %s: %s" % (src, str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__))
    shape = list(model.inputs[0].shape) if len(model.inputs) == 1 else None
    return tf.lite.TFLiteConverter.from_keras_model(model), shape


def _input_shape(params, model_shape):
    """The sample shape: the user's, else the model's, else the catalogue's."""
    given = params.get("input-shape")
    if given is not None and list(given) != CATALOGUE_SHAPE:
        return list(given)
    if model_shape and all(d is not None for d in model_shape[1:]):
        return [1] + [int(d) for d in model_shape[1:]]
    return list(CATALOGUE_SHAPE)  # a copy: the catalogue's own list is shared


def _is_datastore(source):
    return source.startswith("http://") or source.endswith((".veltrix", ".kelp"))


def _quantize(tf, np, converter, params, model_shape):
    from veltrix.converter.plugin_api.dataset import Dataset

    samples = params.get("samples") or ""
    if samples and not _is_datastore(samples) and not os.path.isdir(samples):
        raise PluginError("Sample source not found: %s (give a folder of images or a datastore reference)" % samples)
    model_input = params.get("model-input-type") or "float32"
    if model_input not in TYPES:
        raise PluginError("model-input-type must be one of %s, not %r" % (", ".join(TYPES), model_input))
    shape = _input_shape(params, model_shape)
    num = params.get("num-samples", 10)
    dataset = Dataset((samples, _flag(params, "crop")), shape, params.get("quant-normalization") or "unsigned", num,
                      getattr(np, model_input))
    representative = dataset.generator()
    if samples and not _is_datastore(samples):
        # Find out now, with a clear message, rather than inside calibration.
        try:
            first = next(representative(), None)
        except ValueError as exc:
            raise PluginError(str(exc))
        if first is None:
            raise PluginError("No image in %s fits the input shape %s" % (samples, shape))
    converter.optimizations = [tf.lite.Optimize.DEFAULT]
    converter.representative_dataset = representative

    fmt = params.get("quantize-format") or "none"
    in_type, out_type = (fmt, fmt) if fmt != "none" else (params.get("input-type"), params.get("output-type"))
    tf_types = {"int8": tf.int8, "uint8": tf.uint8, "float32": tf.float32}
    for name, value in (("input-type", in_type), ("output-type", out_type)):
        if value not in ("none", None) and value not in tf_types:
            raise PluginError("%s must be one of %s, not %r" % (name, ", ".join(TYPES), value))
    if in_type in tf_types:
        converter.inference_input_type = tf_types[in_type]
    if out_type in tf_types:
        converter.inference_output_type = tf_types[out_type]
    if _flag(params, "quant-tensor"):
        converter._experimental_disable_per_channel = True
    source = samples if samples else "white noise"
    note = "quantized from up to %d samples of %s, input shape %s, %s" % (
        num, source, shape, "per-tensor" if _flag(params, "quant-tensor") else "per-channel")
    return note, in_type in ("int8", "uint8") or out_type in ("int8", "uint8")


def _describe(tf, model):
    interpreter = tf.lite.Interpreter(model_content=model)

    def tensors(details):
        return ", ".join("%s%s" % (d["dtype"].__name__, [int(n) for n in d["shape"]]) for d in details)
    return "input %s, output %s" % (tensors(interpreter.get_input_details()), tensors(interpreter.get_output_details()))
