"""PyTorch programs as sources: a program captured with `torch.export` and
saved with `torch.export.save` (a .pt2 file), loaded so that nothing in the
file runs but the program's own operators (the checks are `pt2_checks`);
TorchScript archives and pickled modules or state dicts (.pt, .pth) refused
with how to make a .pt2.

The one piece of the kit that imports PyTorch, and only when called.
"""

import zipfile
from typing import Any, Callable, Dict, List, Optional, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.pt2_checks import EXPORT_RECIPE, load_checked
from veltrix.converter.plugin_api.helpers.signature import Signature, Tensor

PROGRAM_TYPES = ("pt2",)
REFUSED_TYPES = ("pt", "pth")


def torch_module() -> Any:
    """PyTorch, or a PluginError saying how to install its CPU build."""
    try:
        import torch
    except ModuleNotFoundError as exc:
        raise PluginError("PyTorch is not installed (%s); the CPU build is enough: pip install torch==2.13.0 "
                          "--index-url https://download.pytorch.org/whl/cpu" % exc.name) from exc
    return torch


def refuse_unexported(name: str, src: str, src_type: str) -> None:
    """PluginError for a .pt/.pth file: what it is, why it is not taken, and
    how to make a .pt2 of the model. The file is only looked at, never
    unpickled."""
    if src_type.lower() not in REFUSED_TYPES:
        return
    raise PluginError("%s is %s, not an exported program: %s takes programs captured with torch.export and saved "
                      "with torch.export.save (.pt2). A TorchScript archive or a bare state dict is not a program "
                      "it can take, and unpickling one could run any code, so it is not opened. Make a .pt2 from "
                      "the model in Python: %s" % (src, _what_file(src), name, EXPORT_RECIPE))


def _what_file(path: str) -> str:
    try:
        with zipfile.ZipFile(path) as archive:
            names = [n.split("/", 1)[-1] for n in archive.namelist()]
    except (OSError, zipfile.BadZipFile):
        try:
            with open(path, "rb") as f:
                head = f.read(2)
        except OSError:
            return "a file that cannot be read"
        return "a pickle (torch.save's legacy format)" if head[:1] == b"\x80" else "not a PyTorch archive"
    if "constants.pkl" in names or any(n.startswith("code/") for n in names):
        return "a TorchScript archive (torch.jit.save)"
    if "archive_format" in names:
        return "a .pt2 archive under another name (rename it to .pt2)"
    if "data.pkl" in names:
        return "a pickled object saved with torch.save (a state dict or a whole module)"
    return "a zip archive PyTorch did not write"


def load_program(name: str, src: str, src_type: str = "pt2") -> Any:
    """The ExportedProgram of a .pt2 file, checked before loading (see the
    module's text) and without its guards; PluginError for a .pt/.pth file,
    an archive that does not pass, or one PyTorch cannot read."""
    refuse_unexported(name, src, src_type)
    return load_checked(src, torch_module())


# Where a dynamic dimension stands says what it is: torch.export.save keeps
# no torch.export.Dim name (the program holds symbols such as s77), so these
# names are given by place, and a symbol with no clear place keeps its own.
BATCH, SEQUENCE, HEIGHT, WIDTH = "batch", "sequence", "height", "width"
# operators an input passes through unchanged on its way to an embedding
_PASSING = {"aten._to_copy", "aten.to", "aten.clone", "aten.contiguous", "aten.view", "aten.reshape",
            "aten.unsqueeze", "aten.squeeze", "aten.alias", "aten.lift_fresh_copy", "aten.detach"}


def _dtype_name(dtype: Any) -> str:
    return str(dtype).replace("torch.", "")


def _user_placeholders(program: Any) -> List[Any]:
    """The program's user input nodes, in order; PluginError for an input
    that is not a tensor (a number or object fixed at export)."""
    torch = torch_module()
    nodes = {n.name: n for n in program.graph.nodes if n.op == "placeholder"}
    found = []
    for spec in program.graph_signature.input_specs:
        if spec.kind.name != "USER_INPUT":
            continue
        node = nodes.get(getattr(spec.arg, "name", None)) if hasattr(spec.arg, "name") else None
        if node is None or not isinstance(node.meta.get("val"), torch.Tensor):
            raise PluginError("The program takes an input that is not a tensor (%s); export it with tensors only"
                              % (getattr(spec.arg, "name", None) or getattr(spec.arg, "value", spec.arg)))
        found.append(node)
    return found


def _output_names(program: Any, tensor_names: List[str]) -> List[str]:
    """The names of the program's tensor outputs: the keys it returns them
    under (a dict, a named tuple or a registered output class), else the
    graph's own names."""
    from torch.utils import _pytree
    spec = program.call_spec.out_spec
    if spec is None:
        return tensor_names
    try:
        paths = [path for path, _ in _pytree.tree_flatten_with_path(
            _pytree.tree_unflatten(list(range(spec.num_leaves)), spec))[0]]
    except Exception:  # a structure PyTorch cannot rebuild: the graph's names are as good
        return tensor_names
    if len(paths) != len(tensor_names):
        return tensor_names
    names = []
    for path, own in zip(paths, tensor_names):
        keys = [str(getattr(k, "key", getattr(k, "name", ""))) for k in path
                if isinstance(getattr(k, "key", getattr(k, "name", None)), str)]
        names.append(".".join(keys) if keys and all(keys) else own)
    return names if len(set(names)) == len(names) else tensor_names


def _dimension_names(inputs: List[Any]) -> Dict[Any, str]:
    """Names for the symbols of the inputs' dynamic dimensions (see BATCH):
    the symbol of a first dimension is the batch, of an integer input's
    second the sequence, of an image's last two its height and width; a name
    goes to one symbol only, the first found."""
    from veltrix.converter.plugin_api.helpers.layout import CHANNELS_LAST, infer_layout
    wanted: List[Tuple[Any, str]] = []
    for node in inputs:
        value = node.meta["val"]
        symbols = [_symbol(d) for d in value.shape]
        if symbols and symbols[0] is not None:
            wanted.append((symbols[0], BATCH))
        if len(symbols) in (2, 3) and not value.is_floating_point() and symbols[1] is not None:
            wanted.append((symbols[1], SEQUENCE))
        if len(symbols) == 4 and value.is_floating_point():
            places = (1, 2) if infer_layout(_sizes(value)) == CHANNELS_LAST else (2, 3)
            wanted += [(symbols[i], what) for i, what in zip(places, (HEIGHT, WIDTH)) if symbols[i] is not None]
    names: Dict[Any, str] = {}
    for symbol, what in wanted:
        if symbol not in names and what not in names.values():
            names[symbol] = what
    return names


def _symbol(d: Any) -> Any:
    """The SymPy symbol of a dynamic dimension that is one; None otherwise."""
    expr = getattr(getattr(d, "node", None), "expr", None)
    return expr if getattr(expr, "is_Symbol", False) else None


def _sizes(value: Any) -> List[Optional[int]]:
    return [d if isinstance(d, int) else None for d in value.shape]


def _dims(value: Any, names: Dict[Any, str]) -> List[Optional[str]]:
    """The name of each dynamic dimension: the place's name of its symbol,
    else the program's own text (an expression of symbols written with their
    names)."""
    out: List[Optional[str]] = []
    for d in value.shape:
        expr = getattr(getattr(d, "node", None), "expr", None)
        if isinstance(d, int) or expr is None:
            out.append(None)
        elif expr in names:
            out.append(names[expr])
        else:
            import sympy
            out.append(str(expr.subs({s: sympy.Symbol(n) for s, n in names.items()})))
    return out


def _operator(node: Any) -> str:
    """"aten.embedding" for aten.embedding.default: the operator without its overload."""
    return str(node.target).rsplit(".", 1)[0]


def _embedding_ranges(program: Any, inputs: List[Any]) -> Dict[str, int]:
    """{input name: vocabulary size} for inputs that index an embedding
    (aten.embedding) directly or through operators that pass them unchanged;
    the smallest table when one feeds several."""
    torch = torch_module()
    user = {n.name for n in inputs}
    ranges: Dict[str, int] = {}
    for node in program.graph.nodes:
        if node.op != "call_function" or _operator(node) != "aten.embedding":
            continue
        weight, indices = node.args[0], node.args[1]
        while getattr(indices, "op", None) == "call_function" and _operator(indices) in _PASSING and indices.args:
            indices = indices.args[0]
        table = getattr(weight, "meta", {}).get("val")
        if getattr(indices, "name", None) in user and isinstance(table, torch.Tensor) and table.dim() == 2 \
                and isinstance(table.shape[0], int):
            size = int(table.shape[0])
            ranges[indices.name] = min(size, ranges.get(indices.name, size))
    return ranges


def program_signature(program: Any) -> Signature:
    """The program's user inputs and outputs in order: names (the program's
    own; outputs by the keys it returns them under where it has them), NumPy
    type names, shapes with None for a dynamic dimension and its name
    (`BATCH`, `SEQUENCE`, `HEIGHT`, `WIDTH` by place, else the program's
    symbol), the range of an integer input that indexes an embedding, the
    layout of a float image input (channels first unless the shape says
    otherwise, as PyTorch lays images out). PluginError for an input that is
    not a tensor."""
    from veltrix.converter.plugin_api.helpers.layout import CHANNELS_FIRST, infer_layout
    torch = torch_module()
    inputs = _user_placeholders(program)
    names = _dimension_names(inputs)
    ranges = _embedding_ranges(program, inputs)
    tensors = []
    for node in inputs:
        value = node.meta["val"]
        shape = _sizes(value)
        layout = None
        if len(shape) == 4 and value.is_floating_point():
            layout = infer_layout(shape) or (CHANNELS_FIRST if shape[1] in (1, 3) else None)
        high = ranges.get(node.name)
        tensors.append(Tensor(node.name, _dtype_name(value.dtype), shape, low=0 if high else None, high=high,
                              layout=layout, dims=_dims(value, names)))
    sizes = _feed_sizes(program, inputs, names)
    output_node = next(n for n in program.graph.nodes if n.op == "output")
    flat = list(output_node.args[0]) if isinstance(output_node.args[0], (list, tuple)) else [output_node.args[0]]
    kinds = [spec.kind.name for spec in program.graph_signature.output_specs]
    values = [node for node, kind in zip(flat, kinds) if kind == "USER_OUTPUT"]
    own = [getattr(v, "name", "output_%d" % i) for i, v in enumerate(values)]
    outputs = [Tensor(name, _dtype_name(v.meta["val"].dtype), _sizes(v.meta["val"]), dims=_dims(v.meta["val"], names))
               for v, name in zip(values, _output_names(program, own))
               if isinstance(getattr(v, "meta", {}).get("val"), torch.Tensor)]
    return Signature(tensors, outputs, sizes=sizes)


def _feed_sizes(program: Any, inputs: List[Any], names: Dict[Any, str]) -> Dict[str, int]:
    """{dimension name: size} for each dynamic dimension: its usual feeding
    size where it first stands (1 for a first dimension, DYNAMIC_SIZE for
    another), or the nearest inside the range the program was exported for
    (`torch.export.Dim(min=, max=)`), so that every input having it is fed
    at one size."""
    from veltrix.converter.plugin_api.helpers.signature import DYNAMIC_SIZE
    sizes: Dict[str, int] = {}
    for node in inputs:
        for index, d in enumerate(node.meta["val"].shape):
            symbol = _symbol(d)
            ranges = program.range_constraints.get(symbol) if symbol is not None else None
            if ranges is None:
                continue
            name = names.get(symbol, str(symbol))
            usual = 1 if index == 0 else DYNAMIC_SIZE
            low, high = _bound(ranges.lower, 1), _bound(ranges.upper, usual)
            if name not in sizes:  # one size wherever the dimension stands
                sizes[name] = max(low, min(usual, high))
    return sizes


def _bound(value: Any, otherwise: int) -> int:
    """A range's bound as a number; `otherwise` for an unbounded one."""
    if isinstance(value, int) or getattr(value, "is_Integer", False):  # not PyTorch's integer infinity
        return int(value)
    return otherwise


def program_runner(program: Any) -> Callable[[Dict[str, Any]], List[Any]]:
    """The program as a function of a feed {input name: NumPy array} (the
    names of `program_signature`), giving every tensor output as a NumPy
    array, in the program's output order (float32 for a bfloat16 output,
    which NumPy has no type for). The module is made once, without the
    guards' Python."""
    torch = torch_module()
    from torch.utils import _pytree
    names = [node.name for node in _user_placeholders(program)]
    module = program.module(check_guards=False)
    in_spec = program.call_spec.in_spec

    def run(feed: Dict[str, Any]) -> List[Any]:
        import numpy as np
        flat = [torch.as_tensor(np.ascontiguousarray(feed[name])) for name in names]
        args, kwargs = _pytree.tree_unflatten(flat, in_spec) if in_spec is not None else (flat, {})
        with torch.no_grad():
            out = module(*args, **kwargs)
        leaves = [leaf for leaf in _pytree.tree_leaves(out) if isinstance(leaf, torch.Tensor)]
        return [(leaf.float() if leaf.dtype == torch.bfloat16 else leaf).detach().cpu().numpy() for leaf in leaves]
    return run
