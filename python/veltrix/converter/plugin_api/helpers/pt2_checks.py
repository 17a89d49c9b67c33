"""The checks of a .pt2 file (a program saved with `torch.export.save`)
before PyTorch turns any of it into code, and the program built from exactly
the bytes that were checked.

`torch.export.load` alone trusts the file: some of its parts are unpickled,
its shape expressions are parsed by SymPy (which evaluates Python), its
operator names are looked up as attributes of modules, the names and
structures it holds are written into Python source that is compiled when the
graph module is built, and it may carry compiled native code. So the archive
is read once into memory, through PyTorch's own archive reader, and checked:
only raw tensor payloads, shape expressions made of SymPy terms, operators
of PyTorch's own registry and the archive's known members pass. The program
is then built from the checked records with PyTorch's deserializer, never
through `torch.export.load` (whose fallback reads the file again with
another zip reader and unpickles what it finds); tensor loads are
weights-only and the program's guards (Python text) are dropped.

Nothing here imports PyTorch at import time; the functions that need it are
given the module.
"""

import io
import json
import re
import tokenize
from typing import Any, Callable, Dict, Iterator, List, Optional

from veltrix.converter.plugin_api.helpers.answers import PluginError, first_line

EXPORT_RECIPE = ('import torch; '
                 'program = torch.export.export(model.eval(), (torch.rand(1, 3, 224, 224),)); '
                 'torch.export.save(program, "model.pt2")')

# the members of a torch.export.save archive, as PyTorch's reader names them
# (below the archive's one root folder)
_KNOWN_MEMBERS = re.compile(r"(archive_format|archive_version|byteorder|\.data/version|\.data/serialization_id"
                            r"|\.format_version|\.storage_alignment"
                            r"|models/model\.json|data/sample_inputs/model\.pt"
                            r"|data/weights/(weight_\d+|model_weights_config\.json)"
                            r"|data/constants/(tensor_\d+|model_constants_config\.json)|extra/[^/]+)\Z")
_COMPILED = ("data/aotinductor/", "data/executorch/", "data/mtia")
_SYMBOL_TEXT = re.compile(r"""(['"])[A-Za-z_]\w*\1\Z""")
_EXPRESSION_OPS = {"(", ")", ",", "=", "+", "-", "*", "/", "**", "%", "<", ">", "<=", ">=", "==", "!=", "&", "|", "~"}
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# Namespaces of PyTorch's registry whose operators reach beyond the tensors
# of one process (collective communication, shared memory, profiling), exist
# for PyTorch's own tests, or handle raw storage for its compilers; a saved
# program of a model never calls them.
_FOREIGN_NAMESPACES = {"c10d", "_c10d_functional", "_c10d_functional_autograd", "symm_mem", "_dtensor", "profiler",
                       "_test", "debug_mode_ops", "debugprims", "static_runtime", "inductor", "inductor_prims",
                       "export"}
# registered ATen operators that read files or write to the standard streams
_FOREIGN_OPERATORS = {"aten::from_file", "aten::from_file.out", "aten::_print"}
# Higher-order operators (graphs as arguments) that run only the graphs and
# operators they are given: control flow, grad and autocast regions,
# functionalised custom operators. The others load compiled code, call
# methods of script objects or Python functions, or print.
_STRUCTURAL_HOPS = {"cond", "while_loop", "scan", "map_impl", "associative_scan", "wrap_with_set_grad_enabled",
                    "wrap_with_autocast", "auto_functionalized", "auto_functionalized_v2", "with_effects",
                    "invoke_subgraph", "flex_attention", "out_dtype"}

# structures of inputs and outputs read as they are; any other (a library's
# output class, a named tuple) is read as the dict or tuple of its fields
_PLAIN_STRUCTURES = {"builtins.tuple", "builtins.list", "builtins.dict", "collections.OrderedDict",
                     "torch.fx.immutable_collections.immutable_list", "torch.fx.immutable_collections.immutable_dict"}
_KEYED_STRUCTURES = {"builtins.dict", "collections.OrderedDict", "torch.fx.immutable_collections.immutable_dict"}


def refusal(src: str, why: str) -> PluginError:
    """The PluginError of a .pt2 file that is not loaded, saying why and how
    to make one that is."""
    return PluginError("%s is not loaded: %s. Only programs saved with torch.export.save are taken; make one in "
                       "Python: %s" % (src, why, EXPORT_RECIPE))


class _Operators:
    """Which operator names a program may call, from PyTorch's own registry:
    `torch.ops.NS.OP.OVERLOAD` of a registered operator (not of the foreign
    namespaces above), the structural higher-order operators, and the shape
    arithmetic the serializer writes for symbolic sizes (its own list)."""

    _known: Optional["_Operators"] = None

    def __init__(self, torch: Any) -> None:
        from torch._export.serde.serialize import _SYM_OPS, GraphModuleSerializer
        self.registered = set(torch._C._dispatch_get_all_op_names())
        self.hops = _STRUCTURAL_HOPS & set(torch._ops._higher_order_ops)
        self.shape_arithmetic = {GraphModuleSerializer.serialize_operator(None, op) for op in _SYM_OPS}

    @classmethod
    def of(cls, torch: Any) -> "_Operators":
        if cls._known is None:
            cls._known = cls(torch)
        return cls._known

    def allows(self, target: str) -> bool:
        if target in self.shape_arithmetic:
            return True
        parts = target.split(".")
        if parts[:2] != ["torch", "ops"] or not all(_IDENTIFIER.match(p) for p in parts[2:]):
            return False
        if len(parts) == 4 and parts[2] == "higher_order":
            return parts[3] in self.hops
        if len(parts) != 5 or parts[2] in _FOREIGN_NAMESPACES:
            return False
        name = "%s::%s%s" % (parts[2], parts[3], "" if parts[4] == "default" else "." + parts[4])
        return name in self.registered and name not in _FOREIGN_OPERATORS


def _check_expression(text: Any, names: Callable[[str], bool]) -> Optional[str]:
    """None for a shape expression made of SymPy terms only, else the token
    that is not one."""
    if not isinstance(text, str):
        return repr(text)
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError, IndentationError):
        return text
    for i, token in enumerate(tokens):
        kind, string = token.type, token.string
        if kind in (tokenize.NEWLINE, tokenize.NL, tokenize.ENDMARKER, tokenize.NUMBER):
            continue
        if kind == tokenize.STRING and _SYMBOL_TEXT.match(string):
            continue
        if kind == tokenize.OP and string in _EXPRESSION_OPS:
            continue
        if kind == tokenize.NAME:
            keyword = i + 1 < len(tokens) and tokens[i + 1].string == "="
            if (keyword and re.match(r"[a-z]\w*\Z", string)) or (not keyword and names(string)):
                continue
        return string
    return None


def _sympy_names(torch: Any) -> Callable[[str], bool]:
    import sympy
    from torch.utils._sympy import functions

    def allowed(name: str) -> bool:
        if name in ("True", "False", "None"):
            return True
        if name.startswith("_"):
            return False
        value = getattr(sympy, name, getattr(functions, name, None))
        return isinstance(value, sympy.Basic) or (isinstance(value, type) and issubclass(value, sympy.Basic))
    return allowed


def _walk(value: Any) -> Iterator[Dict[str, Any]]:
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            yield item
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)


def plain_structure(text: Any, src: str) -> str:
    """A serialized input or output structure (a pytree spec) checked and
    rewritten so that reading it imports and calls nothing: containers of
    the plain kinds stay, any other kind with named fields (a library's
    output class) becomes a dict of those fields and one without (a named
    tuple) a tuple; dict keys are names or numbers."""
    try:
        protocol, spec = json.loads(text)
    except (TypeError, ValueError):
        raise refusal(src, "an input or output structure is not a saved structure") from None
    if protocol != 1:
        raise refusal(src, "an input or output structure is of format %r, not 1" % (protocol,))

    def plain(node: Any) -> Dict[str, Any]:
        if not isinstance(node, dict) or set(node) != {"type", "context", "children_spec"}:
            raise refusal(src, "an input or output structure is not a saved structure")
        kind, context, children = node["type"], node["context"], node["children_spec"]
        if not isinstance(children, list):
            raise refusal(src, "an input or output structure is not a saved structure")
        if kind is None and context is None and not children:
            return node
        try:
            fields = json.loads(context) if isinstance(context, str) else context
        except ValueError:
            raise refusal(src, "an input or output structure has a context that is not JSON") from None
        if kind in _KEYED_STRUCTURES or (kind not in _PLAIN_STRUCTURES and isinstance(fields, list)):
            if not isinstance(fields, list) or len(fields) != len(children) or not all(
                    (isinstance(k, str) and _IDENTIFIER.match(k)) or (type(k) is int) for k in fields):
                raise refusal(src, "an input or output structure has keys that are not names (%s)"
                              % str(fields)[:80])
            kind = kind if kind in _KEYED_STRUCTURES else "builtins.dict"
            context = json.dumps(fields)
        elif kind in _PLAIN_STRUCTURES:
            if fields is not None:
                raise refusal(src, "an input or output structure of kind %s has a context" % kind)
        else:
            kind, context = "builtins.tuple", "null"
        return {"type": kind, "context": context, "children_spec": [plain(child) for child in children]}
    return json.dumps([1, plain(spec)])


def check_program_document(document: Any, src: str, torch: Any) -> None:
    """PluginError unless the program's document (models/model.json) calls
    only allowed operators and its shape expressions are SymPy terms; its
    input and output structures are made plain (see `plain_structure`)."""
    operators = _Operators.of(torch)
    names = _sympy_names(torch)
    if not isinstance(document, dict):
        raise refusal(src, "its program is not a saved program")
    for entry in _walk(document):
        target = entry.get("target")
        if isinstance(target, str) and "inputs" in entry and not operators.allows(target):
            raise refusal(src, "it calls %s, which is not a PyTorch operator" % target[:80])
        if "expr_str" in entry:
            bad = _check_expression(entry["expr_str"], names)
            if bad is not None:
                raise refusal(src, "a shape expression holds %s, which is not a SymPy term" % bad[:80])
        if "in_spec" in entry and "out_spec" in entry:
            entry["in_spec"] = plain_structure(entry["in_spec"], src)
            entry["out_spec"] = plain_structure(entry["out_spec"], src)
            arguments = entry.get("forward_arg_names") or []
            if not isinstance(arguments, list) or not all(isinstance(a, str) and _IDENTIFIER.match(a)
                                                          for a in arguments):
                raise refusal(src, "its argument names are not names")


class _Archive:
    """The archive as PyTorch's own reader (`torch._C.PyTorchFileReader`)
    sees it, over the bytes read once from the file."""

    def __init__(self, data: bytes, src: str, torch: Any) -> None:
        self.src = src
        try:
            self.reader = torch._C.PyTorchFileReader(io.BytesIO(data))
            self.names = list(self.reader.get_all_records())
        except Exception:  # whatever the reader raises about a file it cannot read
            raise refusal(src, "it is not a zip archive PyTorch can read (a .pt2 file is one)") from None

    def has(self, name: str) -> bool:
        return name in self.names

    def read(self, name: str) -> bytes:
        try:
            return bytes(self.reader.get_record(name))
        except Exception:
            raise refusal(self.src, "its member %s cannot be read" % name) from None

    def json(self, name: str) -> Any:
        try:
            return json.loads(self.read(name))
        except (ValueError, RecursionError):
            raise refusal(self.src, "its member %s is not JSON" % name) from None


def _check_members(archive: _Archive) -> None:
    src = archive.src
    if not archive.has("archive_format") or archive.read("archive_format").strip() != b"pt2":
        raise refusal(src, "it is %s" % ("an AOTInductor package or another kind of zip archive"
                                          if not archive.has("archive_format") else "not a pt2 archive"))
    unknown = sorted(n for n in archive.names if not _KNOWN_MEMBERS.match(n))
    if unknown:
        compiled = [n for n in unknown if n.startswith(_COMPILED)]
        raise refusal(src, "it holds %s" % ("compiled native code (%s), which loading would run" % compiled[0]
                                             if compiled else "members torch.export.save does not write (%s)"
                                             % ", ".join(unknown[:3])))
    if not archive.has("models/model.json"):
        raise refusal(src, "it holds no program")
    from torch.export.pt2_archive.constants import ARCHIVE_VERSION_VALUE
    version = archive.read("archive_version").decode("ascii", "replace") if archive.has("archive_version") else None
    if version != ARCHIVE_VERSION_VALUE:
        raise refusal(src, "its archive version is %s, not %s (the version this PyTorch reads)" % (
            "missing" if version is None else repr(version[:20]), ARCHIVE_VERSION_VALUE))


_CONFIGS = {"weights": ("data/weights/model_weights_config.json", "data/weights/", "weight_"),
            "constants": ("data/constants/model_constants_config.json", "data/constants/", "tensor_")}


class _Checked:
    """An archive that passed, with its checked program document and the
    payload entries of its weights and constants."""

    def __init__(self, data: bytes, src: str, torch: Any) -> None:
        self.archive = archive = _Archive(data, src, torch)
        _check_members(archive)
        self.document = archive.json("models/model.json")
        check_program_document(self.document, src, torch)
        self.payloads: Dict[str, Dict[str, Any]] = {}
        for kind, (config_name, folder, prefix) in _CONFIGS.items():
            if not archive.has(config_name):
                raise refusal(src, "it lacks its member %s" % config_name)
            document = archive.json(config_name)
            config = document.get("config") if isinstance(document, dict) else None
            if not isinstance(config, dict):
                raise refusal(src, "its member %s is not a list of payloads" % config_name)
            for key, entry in config.items():
                if not isinstance(entry, dict) or entry.get("use_pickle") or not re.match(
                        re.escape(prefix) + r"\d+\Z", str(entry.get("path_name", ""))):
                    raise refusal(src, "its entry %s is a pickled object or custom class, which loading would run"
                                  % key)
                if not archive.has(folder + entry["path_name"]):
                    raise refusal(src, "its entry %s names a member it does not hold (%s)" % (
                        key, folder + entry["path_name"]))
            self.payloads[kind] = config

    def tensors(self, kind: str, torch: Any) -> Dict[str, Any]:
        """The weights or constants, each a view of the raw bytes of its
        member as PyTorch's reader gives them; weights marked as parameters
        become parameters."""
        from torch._export.serde import schema
        from torch._export.serde.serialize import (
            _dict_to_dataclass, deserialize_scalar_type, deserialize_size, deserialize_storage_offset,
            deserialize_stride)
        reader, folder = self.archive.reader, _CONFIGS[kind][1]
        flat: Dict[str, Any] = {}
        tensors: Dict[str, Any] = {}
        for key, entry in self.payloads[kind].items():
            meta = _dict_to_dataclass(schema.PayloadMeta, entry)
            record = folder + meta.path_name
            dtype = deserialize_scalar_type(meta.tensor_meta.dtype)
            if record not in flat:
                size, element = reader.get_record_size(record), torch._utils._element_size(dtype)
                if size % element:
                    raise refusal(self.archive.src, "its member %s does not hold whole %s values" % (record, dtype))
                storage = reader.get_storage_from_record(record, size // element, dtype)
                flat[record] = torch.empty(0, dtype=dtype).set_(storage.untyped_storage(), 0, (size // element,), (1,))
            tensor = torch.as_strided(flat[record], deserialize_size(meta.tensor_meta.sizes),
                                      deserialize_stride(meta.tensor_meta.strides),
                                      deserialize_storage_offset(meta.tensor_meta.storage_offset))
            if kind == "weights" and meta.is_param:
                tensor = torch.nn.Parameter(tensor, requires_grad=meta.tensor_meta.requires_grad)
            tensors[key] = tensor
        return tensors


def check_program_archive(data: bytes, src: str, torch: Any) -> None:
    """PluginError unless `data` is a torch.export.save archive holding
    nothing that loading it would run: no pickled payload, custom object or
    compiled code, no shape expression beyond SymPy terms, no operator that
    is not PyTorch's."""
    _Checked(data, src, torch)


def read_program(data: bytes, src: str, torch: Any) -> Any:
    """The ExportedProgram in `data` (the bytes of a .pt2 file), checked
    (`check_program_archive`) and built from exactly the records that were
    checked, without its guards; PluginError when it does not pass."""
    from torch._export.serde import schema
    from torch._export.serde.serialize import ExportedProgramDeserializer, _dict_to_dataclass
    checked = _Checked(data, src, torch)
    try:
        state_dict, constants = checked.tensors("weights", torch), checked.tensors("constants", torch)
        example_inputs = None
        if checked.archive.has("data/sample_inputs/model.pt"):
            example_inputs = torch.load(io.BytesIO(checked.archive.read("data/sample_inputs/model.pt")),
                                        weights_only=True)
        program = ExportedProgramDeserializer().deserialize(
            _dict_to_dataclass(schema.ExportedProgram, checked.document), state_dict, constants, example_inputs)
    except PluginError:
        raise
    except Exception as exc:  # whatever PyTorch raises about the file
        raise PluginError("PyTorch cannot load the program in %s: %s" % (
            src, first_line(exc) or type(exc).__name__)) from exc
    program._guards_code = []  # Python compiled from the file when the program is run
    return program


def load_checked(src: str, torch: Any) -> Any:
    """`read_program` of the file `src`, read once into memory."""
    try:
        with open(src, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise PluginError("Cannot read %s: %s" % (src, exc.strerror or exc)) from exc
    return read_program(data, src, torch)


__all__: List[str] = ["EXPORT_RECIPE", "check_program_archive", "check_program_document", "load_checked",
                      "plain_structure", "read_program", "refusal"]
