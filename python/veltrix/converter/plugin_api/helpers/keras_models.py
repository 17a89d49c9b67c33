"""Keras models and SavedModels as sources: loading a model file safely,
the signature of either kind (inputs and outputs with the source's own
names, integer inputs with the range of the embedding they feed), running
it, the function or frozen graph converters take with the shapes and
outputs the user chose; and the signature of a TensorFlow Lite result.
It imports Keras and TensorFlow only when called."""

import os
import re
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError, first_line
from veltrix.converter.plugin_api.helpers.signature import Signature, Tensor, image_tensor, is_integer

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
    to verify against: its `signature` (inputs in the model's order, integer
    ones with the range of the embedding they feed; outputs with the
    source's own names: a Keras model's `output_names`, a SavedModel's
    output keys; a Keras model's name), and `run(feed)`, its outputs for
    {input name: array}.
    Imports TensorFlow when made."""

    def __init__(self, src: str, src_type: str, workdir: str) -> None:
        import tensorflow as tf
        self.tf, self.src, self.src_type = tf, src, src_type
        self.model: Any = None
        self.serving: Any = None
        if src_type == "pb":
            self.loaded = tf.saved_model.load(src)
            try:
                self.serving = self.loaded.signatures["serving_default"]
                specs = self.serving.structured_input_signature[1]
                outputs = self.serving.structured_outputs
            except (KeyError, IndexError, AttributeError, TypeError) as exc:
                raise PluginError("The SavedModel %s has no callable serving_default signature" % src) from exc
            # the function's own argument order; the specs are keyed by name
            order = [t.name.split(":")[0] for t in self.serving.inputs if t.dtype != tf.resource]
            names = [n for n in order if n in specs] + [n for n in specs if n not in order]
            inputs = [image_tensor(n, specs[n].dtype.name, _shape(specs[n].shape)) for n in names]
            outputs_named = sorted(outputs, key=_natural)
            result = [Tensor(n, outputs[n].dtype.name, _shape(outputs[n].shape)) for n in outputs_named]
            self.signature = Signature(inputs, result)
            if any(is_integer(t.dtype) for t in inputs):
                self._saved_model_ranges()
        else:
            self.model = load_keras_model(src, src_type, workdir)
            inputs = [image_tensor(t.name, str(t.dtype), _shape(t.shape)) for t in self.model.inputs]
            for tensor in inputs:
                tensor.low, tensor.high = _range_of(self.model, tensor.name)
            names, outputs_made = _outputs_of(self.model)
            self.signature = Signature(inputs, [Tensor(n, str(t.dtype), _shape(t.shape))
                                                for n, t in zip(names, outputs_made)],
                                       name=getattr(self.model, "name", None) or None)

    @property
    def inputs(self) -> List[Tensor]:
        return self.signature.inputs

    @property
    def output_names(self) -> List[str]:
        return self.signature.output_names()

    def run(self, feed: Mapping[str, Any], outputs: Optional[Sequence[str]] = None) -> List[Any]:
        """The outputs named `outputs` (all, in the model's order, by
        default) for the feed {input name: array}, as NumPy arrays."""
        import numpy as np
        return [np.asarray(a) for a in self.run_symbolic([feed[t.name] for t in self.inputs], outputs)]

    def runner(self, signature: Signature) -> Any:
        """run(feed) giving the outputs of `signature` (a selection), in its order."""
        names = signature.output_names()
        return lambda feed: self.run(feed, names)

    def run_symbolic(self, args: Sequence[Any], outputs: Optional[Sequence[str]] = None) -> List[Any]:
        """The outputs named `outputs` (all by default) for the inputs `args`
        in the model's order (tensors or arrays)."""
        names = list(outputs) if outputs is not None else self.output_names
        if self.serving is not None:
            answer = self.serving(**{t.name: self.tf.convert_to_tensor(a) for t, a in zip(self.inputs, args)})
            return [answer[name] for name in names]
        answer = self.model(list(args) if len(args) > 1 else args[0], training=False)
        if isinstance(answer, dict):
            made = dict(answer)
        else:
            made = dict(zip(self.output_names, answer if isinstance(answer, (list, tuple)) else [answer]))
        return [made[name] for name in names]

    def function(self, signature: Signature, keyed: bool = False) -> Any:
        """A concrete TensorFlow function of the model as `signature` has it:
        inputs of its shapes, named as the model's (taken in the model's
        order), returning the list of its outputs in its order (a dict
        would come out in the order of its keys), or with `keyed` the dict
        {output name: tensor} (OpenVINO converts a Keras LSTM's loop only
        from a function of that form)."""
        tf = self.tf
        by_name = {t.name: t for t in signature.inputs}
        specs = [tf.TensorSpec(by_name[t.name].shape, t.dtype, name=t.name) for t in self.inputs]
        names = signature.output_names()

        def call(*args: Any) -> Any:
            made = self.run_symbolic(args, names)
            return dict(zip(names, made)) if keyed else made
        return tf.function(call).get_concrete_function(*specs)

    def frozen_graph(self, inputs: Any, outputs: Optional[Sequence[str]] = None) -> Tuple[Any, List[str], List[str]]:
        """(graph_def, input tensor names, output tensor names) of the model
        with these input shapes (a Signature, or its input Tensors) and
        outputs (the signature's, or all), every variable and captured
        constant folded in, so the graph's only inputs are the model's."""
        from tensorflow.python.framework.convert_to_constants import convert_variables_to_constants_v2
        tf = self.tf
        signature = inputs if isinstance(inputs, Signature) else self.signature.replaced(inputs=list(inputs))
        if outputs is not None:
            signature = signature.replaced(outputs=[t for n in outputs for t in self.signature.outputs if t.name == n])
        concrete = self.function(signature)
        # loops stay loops (lowering them leaves placeholders behind)
        frozen = convert_variables_to_constants_v2(concrete, lower_control_flow=False, aggressive_inlining=True)
        names = [t.name for t in frozen.inputs if t.dtype != tf.resource]
        made = [t.name for t in frozen.outputs]
        return frozen.graph.as_graph_def(add_shapes=True), names, made

    def _saved_model_ranges(self) -> None:
        """The range of each integer input that feeds an embedding (a gather
        from a table of weights) in the SavedModel's frozen graph."""
        graph, names, _ = self.frozen_graph(self.signature)
        placeholders = {n.split(":")[0]: t.name for n, t in zip(names, self.inputs)}
        for name, size in graph_ranges(graph, placeholders).items():
            for tensor in self.inputs:
                if tensor.name == name and is_integer(tensor.dtype):
                    tensor.low, tensor.high = 0, size


def _shape(shape: Any) -> List[Optional[int]]:
    """A TensorFlow or Keras shape as a list (None where dynamic; [] for a scalar)."""
    try:
        return [None if d is None else int(d) for d in (shape.as_list() if hasattr(shape, "as_list") else shape)]
    except (TypeError, ValueError):  # an unknown rank
        return []


def _outputs_of(model: Any) -> Tuple[List[str], List[Any]]:
    """The names and tensors of a Keras model's outputs: a dict's keys (in
    the order Keras flattens it), else its `output_names` (a functional
    model's output layers), made unique ("lstm", "lstm_1" for a layer with
    several outputs); "output_N" where it has none."""
    structure = getattr(model, "output", None) if hasattr(model, "_outputs_struct") else None
    if isinstance(structure, dict) and all(isinstance(k, str) for k in structure):
        keys = sorted(structure)
        return keys, [structure[k] for k in keys]
    tensors = list(model.outputs)
    given = list(getattr(model, "output_names", None) or [])
    if len(given) != len(tensors) or not all(isinstance(n, str) and n for n in given):
        return ["output_%d" % i for i in range(len(tensors))], tensors
    names: List[str] = []
    for name in given:
        unique, i = name, 0
        while unique in names or (unique != name and unique in given):
            i += 1
            unique = "%s_%d" % (name, i)
        names.append(unique)
    return names, tensors


# TensorFlow operations an integer input passes through unchanged on its way
# to an embedding's gather (Keras wraps negative indices with a SelectV2).
_PASSING = {"Identity": (0,), "Cast": (0,), "SelectV2": (1, 2), "Select": (1, 2), "Reshape": (0,),
            "ExpandDims": (0,), "Squeeze": (0,), "StopGradient": (0,)}


def graph_ranges(graph: Any, placeholders: Mapping[str, str]) -> Dict[str, int]:
    """{input name: table size} for the inputs (`placeholders` {placeholder
    node: input name}) of a frozen TensorFlow graph that index a gather from
    a constant table along its first axis: the range [0, size) of valid ids."""
    nodes = {n.name: n for n in graph.node}

    def source(name: str, depth: int = 0) -> Optional[str]:
        node = nodes.get(name.split(":")[0].lstrip("^"))
        if node is None or depth > 8:
            return None
        if node.name in placeholders:
            return placeholders[node.name]
        for i in _PASSING.get(node.op, ()):
            if i < len(node.input):
                found = source(node.input[i], depth + 1)
                if found:
                    return found
        return None

    def table_rows(name: str, depth: int = 0) -> Optional[int]:
        node = nodes.get(name.split(":")[0].lstrip("^"))
        if node is None or depth > 4:
            return None
        if node.op == "Const":
            dims = node.attr["value"].tensor.tensor_shape.dim
            return int(dims[0].size) if dims else None
        return table_rows(node.input[0], depth + 1) if node.op == "Identity" and node.input else None

    ranges: Dict[str, int] = {}
    for node in graph.node:
        if node.op in ("GatherV2", "ResourceGather", "Gather") and len(node.input) >= 2:
            if node.op == "GatherV2" and len(node.input) > 2 and _constant_value(nodes, node.input[2]) not in (0, None):
                continue
            name, rows = source(node.input[1]), table_rows(node.input[0])
            if name and rows:
                ranges[name] = min(rows, ranges.get(name, rows))
    return ranges


def _constant_value(nodes: Mapping[str, Any], name: str) -> Optional[int]:
    node = nodes.get(name.split(":")[0])
    if node is None or node.op != "Const":
        return None
    tensor = node.attr["value"].tensor
    values = list(tensor.int_val) or list(tensor.int64_val)
    return int(values[0]) if values else None


def _range_of(model: Any, name: str) -> Tuple[Optional[int], Optional[int]]:
    """[0, vocabulary) of the smallest embedding fed directly by the input `name`."""
    import keras
    sizes = []
    for layer in getattr(model, "layers", []):
        if isinstance(layer, keras.layers.Embedding):
            try:
                fed = [t.name for t in keras.tree.flatten(layer.input)]
            except (AttributeError, ValueError):
                continue
            if name in fed:
                sizes.append(int(layer.input_dim))
    return (0, min(sizes)) if sizes else (None, None)


def tflite_signature(interpreter: Any, key: Optional[str] = None) -> Signature:
    """The signature of a TensorFlow Lite model (its interpreter; the
    signature `key`, the only one by default): inputs and outputs by their
    signature names, in the order the model lists them, with their types
    and shapes (-1 in the shape signature is dynamic)."""
    listed = interpreter.get_signature_list()
    if key is None:
        if len(listed) != 1:
            raise PluginError("The TensorFlow Lite model has %d signatures, not one" % len(listed))
        key = list(listed)[0]
    runner = interpreter.get_signature_runner(key)
    details = (runner.get_input_details(), runner.get_output_details())

    def tensors(names: Sequence[str], found: Mapping[str, Any], make: Any) -> List[Tensor]:
        return [make(n, found[n]["dtype"].__name__,
                     [int(d) if d > 0 else None for d in found[n].get("shape_signature", found[n]["shape"])])
                for n in names]
    return Signature(tensors(listed[key]["inputs"], details[0], image_tensor),
                     tensors(listed[key]["outputs"], details[1], Tensor))
