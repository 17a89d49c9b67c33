"""ONNX model files: their signature (inputs and outputs, named dynamic
dimensions, the range of token inputs), weights kept beside a model
(external data) found where they lie, results too large for one protobuf
message written with their weights beside them, and the names a converter makes up numbered so
that the same graph gives the same bytes. Imports ONNX only when called."""

import os
import re
from typing import Any, Dict, Iterator, Optional, Set

from veltrix.converter.plugin_api.helpers.files import safe_outputs
from veltrix.converter.plugin_api.helpers.signature import Signature, Tensor, image_tensor

# Protobuf cannot hold a model of 2 GB or more in one message: results with
# more weight data than this are written with their weights beside them
# (`out.onnx` + `out.onnx.data`), with room left for the graph itself.
EXTERNAL_DATA_LIMIT = 2**31 - 2**26


def has_external_data(path: str) -> bool:
    """Whether any weight of the ONNX model at `path` lies in a file beside it."""
    import onnx
    from onnx.external_data_helper import _get_all_tensors, uses_external_data
    return any(uses_external_data(t) for t in _get_all_tensors(onnx.load(path, load_external_data=False)))


def write_onnx(model: Any, dst: str, limit: Optional[int] = None) -> str:
    """Write the ONNX model `model` (a ModelProto) to `dst` as one complete
    model: its weights in `dst` + ".data" when they take more than `limit`
    bytes (EXTERNAL_DATA_LIMIT by default), else one file. Says what was
    written, with sizes."""
    from onnx.external_data_helper import _get_all_tensors
    data = dst + ".data"
    with safe_outputs([dst, data], optional=[data]) as (partial, partial_data):
        if sum(t.ByteSize() for t in _get_all_tensors(model)) > (EXTERNAL_DATA_LIMIT if limit is None else limit):
            import onnx
            onnx.save_model(model, partial, save_as_external_data=True, all_tensors_to_one_file=True,
                            location=os.path.basename(partial_data), size_threshold=1024)
        else:
            with open(partial, "wb") as f:
                f.write(model.SerializeToString())
        written = "%s (%d bytes)" % (dst, os.path.getsize(partial))
        if os.path.exists(partial_data):
            written += " with its weights in %s (%d bytes)" % (data, os.path.getsize(partial_data))
    return written


# A converter's made-up name, "name__17", from a counter whose numbers vary
# from run to run (tf2onnx's); the graph is the same.
_GENERATED = re.compile(r"^(.*)__(\d+)(:\d+)?$")


def _subgraphs(node: Any) -> Iterator[Any]:
    for attr in node.attribute:
        if attr.HasField("g"):
            yield attr.g
        yield from attr.graphs


def canonical_names(model: Any) -> None:
    """Give the names a converter generated (`name__17`) numbers in the
    order the graph uses them, and the weights that order, so that the
    same graph gives the same bytes whichever run made it. A generated
    constant is named `const__N` (which of two equal constants the
    converter kept, and so its name, also varies). The model's inputs and
    outputs keep their names; the dynamic dimensions the converter named
    are numbered the same way."""
    graph = model.graph
    kept = {v.name for v in list(graph.input) + list(graph.output)}
    order: Dict[str, int] = {}
    constants: Set[str] = set()

    def see(g: Any) -> None:
        for node in g.node:
            for name in [node.name, *node.input, *node.output]:
                order.setdefault(name, len(order))
            for sub in _subgraphs(node):
                see(sub)
        for item in [*g.input, *g.output, *g.initializer, *g.value_info]:
            order.setdefault(item.name, len(order))
        constants.update(t.name for t in g.initializer)
    see(graph)
    renamed = [n for n in order if _GENERATED.match(n) and n not in kept]
    fixed = set(order) - set(renamed)
    mapping: Dict[str, str] = {}
    counter = 0
    for name in renamed:
        generated = _GENERATED.match(name)
        if generated:
            base = "const" if name in constants else generated.group(1)
            counter += 1
            while "%s__%d%s" % (base, counter, generated.group(3) or "") in fixed:
                counter += 1
            mapping[name] = "%s__%d%s" % (base, counter, generated.group(3) or "")

    def rename(g: Any) -> None:
        weights = sorted(g.initializer, key=lambda t: order[t.name])
        del g.initializer[:]
        g.initializer.extend(weights)
        for node in g.node:
            node.name = mapping.get(node.name, node.name)
            for field in (node.input, node.output):
                field[:] = [mapping.get(n, n) for n in field]
            for sub in _subgraphs(node):
                rename(sub)
        for item in [*g.input, *g.output, *g.initializer, *g.value_info]:
            item.name = mapping.get(item.name, item.name)
    rename(graph)
    _canonical_dimensions(graph)


# What tf2onnx calls a dynamic dimension it has no name for.
_UNNAMED_DIMENSION = re.compile(r"^unk__\d+$")


def _canonical_dimensions(graph: Any) -> None:
    """Number the dynamic dimensions a converter named (`unk__24`, from a
    counter of its process, so a second conversion in one process would
    name them otherwise) in the order the graph's tensors show them."""
    dimensions: Dict[str, str] = {}

    def tensors(g: Any) -> Iterator[Any]:
        yield from [*g.input, *g.output, *g.value_info]
        for node in g.node:
            for sub in _subgraphs(node):
                yield from tensors(sub)

    found = [d for t in tensors(graph) if t.type.HasField("tensor_type")
             for d in t.type.tensor_type.shape.dim if d.HasField("dim_param")]
    taken = {d.dim_param for d in found if not _UNNAMED_DIMENSION.match(d.dim_param)}
    for dim in found:
        if _UNNAMED_DIMENSION.match(dim.dim_param):
            if dim.dim_param not in dimensions:
                number = len(dimensions) + 1
                while "unk__%d" % number in taken:
                    number += 1
                dimensions[dim.dim_param] = "unk__%d" % number
                taken.add(dimensions[dim.dim_param])
            dim.dim_param = dimensions[dim.dim_param]


# ONNX operators an integer input passes through on its way to an
# embedding's Gather: {operator: the inputs that carry the values}. Add and
# Mul are there because converters lower the wrapping of negative ids
# (Keras' where(ids < 0, ids + rows, ids)) to arithmetic.
_PASSING = {"Cast": (0,), "Identity": (0,), "Where": (1, 2), "Reshape": (0,), "Unsqueeze": (0,), "Squeeze": (0,),
            "Flatten": (0,), "Add": (0, 1), "Mul": (0, 1)}


def onnx_signature(model: Any) -> Signature:
    """The signature of an ONNX model (a path, or a ModelProto): its graph's
    inputs (initializers left out) and outputs, in order, with NumPy type
    names, shapes (None where dynamic) and the names of dynamic dimensions
    (`dim_param`); an integer input that indexes a Gather from a constant
    table along axis 0 (an embedding) has the range [0, rows); the graph's
    name. Weights kept beside the model are not read."""
    import onnx
    from onnx import helper
    if not isinstance(model, onnx.ModelProto):
        model = onnx.load(model, load_external_data=False)
    graph = model.graph
    tables = {t.name: (list(t.dims) or [0])[0] for t in graph.initializer}
    for node in graph.node:  # a table may be a Constant node too
        if node.op_type == "Constant" and node.output:
            for attr in node.attribute:
                if attr.name == "value" and attr.t.dims:
                    tables[node.output[0]] = attr.t.dims[0]

    def tensor(value: Any, make: Any) -> Any:
        kind = value.type.tensor_type
        try:
            dtype = helper.tensor_dtype_to_np_dtype(kind.elem_type).name
        except (KeyError, ValueError, TypeError):
            dtype = "unknown"
        dims = list(kind.shape.dim) if kind.HasField("shape") else []
        shape = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else None for d in dims]
        names = [d.dim_param if d.HasField("dim_param") else None for d in dims]
        return make(value.name, dtype, shape, dims=names)
    inputs = [tensor(v, image_tensor) for v in graph.input if v.name not in tables]
    outputs = [tensor(v, Tensor) for v in graph.output]
    ranges = _embedding_ranges(graph, {t.name for t in inputs}, tables)
    for t in inputs:
        if t.name in ranges and t.dtype.startswith(("int", "uint")):
            t.low, t.high = 0, ranges[t.name]
    return Signature(inputs, outputs, name=graph.name or None)


def _embedding_ranges(graph: Any, inputs: Set[str], tables: Dict[str, int]) -> Dict[str, int]:
    made = {out: node for node in graph.node for out in node.output}

    def source(name: str, depth: int = 0) -> Optional[str]:
        if name in inputs:
            return name
        node = made.get(name)
        if node is None or depth > 12:
            return None
        for i in _PASSING.get(node.op_type, ()):
            if i < len(node.input):
                found = source(node.input[i], depth + 1)
                if found:
                    return found
        return None
    ranges: Dict[str, int] = {}
    for node in graph.node:
        if node.op_type != "Gather" or len(node.input) < 2 or node.input[0] not in tables:
            continue
        if any(a.name == "axis" and a.i != 0 for a in node.attribute):
            continue
        name, rows = source(node.input[1]), tables[node.input[0]]
        if name and rows > 0:
            ranges[name] = min(rows, ranges.get(name, rows))
    return ranges


def apply_signature(model: Any, wanted: Signature) -> bool:
    """Make the ONNX model (a ModelProto, changed in place) have the
    signature the user asked for, as far as its graph allows: inputs with
    the shapes `wanted` fixes and in its order, only the outputs it names (in
    its order; nodes and weights nothing needs any more are dropped), the
    graph named `wanted.name` when it has one. Whether anything changed."""
    graph = model.graph
    changed = False
    by_name = {v.name: v for v in graph.input}
    wanted_inputs = {t.name: t for t in wanted.inputs}
    fixed: Dict[str, int] = {}  # a named dimension fixed on an input is that size wherever the graph names it
    for value in graph.input:
        tensor = wanted_inputs.get(value.name)
        if tensor is None:
            continue
        dims = value.type.tensor_type.shape.dim
        for dim, size in zip(dims, tensor.shape):
            if size is not None and not (dim.HasField("dim_value") and dim.dim_value == size):
                if dim.HasField("dim_param") and dim.dim_param:
                    fixed[dim.dim_param] = size
                dim.Clear()
                dim.dim_value = size
                changed = True
    for value in [*graph.input, *graph.output, *graph.value_info]:
        for dim in value.type.tensor_type.shape.dim:
            if dim.HasField("dim_param") and dim.dim_param in fixed:
                size = fixed[dim.dim_param]
                dim.Clear()
                dim.dim_value = size
    order = [n for n in wanted.input_names() if n in by_name]
    current = [v.name for v in graph.input if v.name in wanted_inputs]
    if order != current:
        rest = [v for v in graph.input if v.name not in wanted_inputs]
        values = [by_name[n] for n in order] + rest
        copies = [type(v)() for v in values]
        for copy, value in zip(copies, values):
            copy.CopyFrom(value)
        del graph.input[:]
        graph.input.extend(copies)
        changed = True
    outputs = {v.name: v for v in graph.output}
    if [v.name for v in graph.output] != wanted.output_names() and all(n in outputs for n in wanted.output_names()):
        values = [outputs[n] for n in wanted.output_names()]
        copies = [type(v)() for v in values]
        for copy, value in zip(copies, values):
            copy.CopyFrom(value)
        del graph.output[:]
        graph.output.extend(copies)
        _prune(graph)
        changed = True
    if wanted.name and graph.name != wanted.name:
        graph.name = wanted.name
        changed = True
    return changed


def _prune(graph: Any) -> None:
    """Drop the nodes and weights of the main graph that no output needs
    (a subgraph's use of an outer name counts as a use)."""
    needed = {v.name for v in graph.output}
    kept = []
    for node in reversed(list(graph.node)):
        if any(o in needed for o in node.output if o):
            kept.append(node)
            needed.update(n for n in node.input if n)
            for sub in _subgraphs(node):
                needed.update(_outer_names(sub))
    kept.reverse()
    if len(kept) != len(graph.node):
        del graph.node[:]
        graph.node.extend(kept)
    weights = [t for t in graph.initializer if t.name in needed]
    if len(weights) != len(graph.initializer):
        del graph.initializer[:]
        graph.initializer.extend(weights)
    values = [v for v in graph.value_info if v.name in needed]
    del graph.value_info[:]
    graph.value_info.extend(values)


def _outer_names(graph: Any) -> Set[str]:
    """Every name a subgraph's nodes read (some from the graph around it)."""
    names: Set[str] = set()
    for node in graph.node:
        names.update(n for n in node.input if n)
        for sub in _subgraphs(node):
            names.update(_outer_names(sub))
    return names
