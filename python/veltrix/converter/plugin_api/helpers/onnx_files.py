"""ONNX model files: weights kept beside a model (external data) found
where they lie, results too large for one protobuf message written with
their weights beside them, and the names a converter makes up numbered so
that the same graph gives the same bytes. Imports ONNX only when called."""

import os
import re
from typing import Any, Dict, Iterator, Optional, Set

from veltrix.converter.plugin_api.helpers.files import safe_outputs

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
