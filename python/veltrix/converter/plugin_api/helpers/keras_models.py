"""Keras models and SavedModels as sources: loading a model file safely,
the inputs and outputs of either kind, the shapes a user fixes, and the
frozen graph converters take. The one framework-specific piece of the kit;
it imports Keras and TensorFlow only when called."""

import os
import re
from typing import Any, List, Mapping, Optional, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError, first_line
from veltrix.converter.plugin_api.helpers.signature import Tensor, parse_shapes, shaped_inputs  # noqa: F401

def load_keras_model(src: str, src_type: str, workdir: str) -> Any:
    """A Keras model file, loaded with Keras' safe mode stated (a file never
    runs code it carries) and without regard to the case of its extension."""
    import keras
    _check_keras_file(src, src_type)
    path = src
    extension = "." + src_type
    if not path.endswith(extension):  # Keras reads a file by its lower-case extension
        path = os.path.join(workdir, "model" + extension)
        os.symlink(os.path.abspath(src), path)
    try:
        return keras.models.load_model(path, compile=False, safe_mode=True)
    except Exception as exc:  # whatever Keras raises about the file
        raise PluginError("Cannot read Keras model %s: %s" % (src, first_line(exc) or type(exc).__name__)) from exc


# What a Keras file starts with: a .keras file is a zip archive, a .h5 file HDF5.
SIGNATURES = {"keras": (b"PK\x03\x04", "a zip archive"), "h5": (b"\x89HDF\r\n\x1a\n", "an HDF5 file")}


def _check_keras_file(src: str, src_type: str) -> None:
    magic, what = SIGNATURES.get(src_type, (b"", ""))
    if not magic or os.path.isdir(src):
        return
    try:
        with open(src, "rb") as f:
            start = f.read(len(magic))
    except OSError as exc:
        raise PluginError("Cannot read Keras model %s: %s" % (src, exc.strerror or exc)) from exc
    if start != magic:
        raise PluginError("Cannot read Keras model %s: it is not a .%s model (a .%s file is %s)" % (
            src, src_type, src_type, what))


def _natural(name: str) -> Tuple[Any, ...]:
    return tuple(int(p) if p.isdigit() else p for p in re.split(r"(\d+)", name))


class TensorFlowSource:
    """A Keras model file or a SavedModel folder as a source to convert and
    to verify against: its inputs (`Tensor`s, integer ones with the range an
    embedding they feed accepts), its output names, and `run(feed)`, the
    outputs for {input name: array} in output-name order. Imports TensorFlow
    when made."""

    def __init__(self, src: str, src_type: str, workdir: str) -> None:
        import tensorflow as tf
        self.tf, self.src, self.src_type = tf, src, src_type
        self.model: Any = None
        self.signature: Any = None
        if src_type == "pb":
            self.loaded = tf.saved_model.load(src)
            try:
                self.signature = self.loaded.signatures["serving_default"]
                specs = self.signature.structured_input_signature[1]
            except (KeyError, IndexError, AttributeError, TypeError) as exc:
                raise PluginError("The SavedModel %s has no callable serving_default signature" % src) from exc
            self.inputs = [Tensor(name, spec.dtype.name, list(spec.shape)) for name, spec in specs.items()]
            self.output_names = sorted(self.signature.structured_outputs, key=_natural)
        else:
            self.model = load_keras_model(src, src_type, workdir)
            self.inputs = [Tensor(t.name, str(t.dtype), list(t.shape), *_range_of(self.model, t.name))
                           for t in self.model.inputs]
            self.output_names = ["output_%d" % i for i in range(len(self.model.outputs))]

    def run(self, feed: Mapping[str, Any]) -> List[Any]:
        import numpy as np
        if self.signature is not None:
            answer = self.signature(**{k: self.tf.constant(v) for k, v in feed.items()})
            return [np.asarray(answer[name]) for name in self.output_names]
        args = [feed[t.name] for t in self.inputs]
        answer = self.model(args if len(args) > 1 else args[0], training=False)
        if isinstance(answer, dict):
            answer = [answer[k] for k in sorted(answer, key=_natural)]
        elif not isinstance(answer, (list, tuple)):
            answer = [answer]
        return [np.asarray(a) for a in answer]

    def keras_with_shapes(self, inputs: Sequence[Tensor]) -> Any:
        """The Keras model taking inputs of these (fixed) shapes."""
        import keras
        if [t.shape for t in inputs] == [t.shape for t in self.inputs]:
            return self.model
        new = [keras.Input(batch_shape=tuple(t.shape), dtype=t.dtype, name=t.name) for t in inputs]
        return keras.Model(new, self.model(new if len(new) > 1 else new[0]))

    def frozen_graph(self, inputs: Sequence[Tensor]) -> Tuple[Any, List[str], List[str]]:
        """(graph_def, input tensor names, output tensor names) of the model
        with these input shapes, every variable and captured constant folded
        in, so the graph's only inputs are the model's."""
        from tensorflow.python.framework.convert_to_constants import convert_variables_to_constants_v2
        tf = self.tf
        specs = [tf.TensorSpec(t.shape, t.dtype, name=t.name) for t in inputs]

        def call(*args: Any) -> Any:
            return dict(zip(self.output_names, self.run_symbolic(args)))
        concrete = tf.function(call).get_concrete_function(*specs)
        # loops stay loops (lowering them leaves placeholders behind)
        frozen = convert_variables_to_constants_v2(concrete, lower_control_flow=False, aggressive_inlining=True)
        names = [t.name for t in frozen.inputs if t.dtype != tf.resource]
        outputs = [t.name for t in frozen.outputs]
        return frozen.graph.as_graph_def(add_shapes=True), names, outputs

    def run_symbolic(self, args: Sequence[Any]) -> List[Any]:
        if self.signature is not None:
            answer = self.signature(**{t.name: a for t, a in zip(self.inputs, args)})
            return [answer[name] for name in self.output_names]
        answer = self.model(list(args) if len(args) > 1 else args[0], training=False)
        if isinstance(answer, dict):
            return [answer[k] for k in sorted(answer, key=_natural)]
        return list(answer) if isinstance(answer, (list, tuple)) else [answer]


def _range_of(model: Any, name: str) -> Tuple[Optional[int], Optional[int]]:
    """[0, vocabulary) of an embedding fed directly by the input `name`."""
    import keras
    for layer in getattr(model, "layers", []):
        if isinstance(layer, keras.layers.Embedding):
            try:
                fed = [t.name for t in keras.tree.flatten(layer.input)]
            except (AttributeError, ValueError):
                continue
            if name in fed:
                return 0, int(layer.input_dim)
    return None, None
