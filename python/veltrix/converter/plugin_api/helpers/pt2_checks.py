"""The checks of a .pt2 file (a program saved with `torch.export.save`)
before PyTorch turns any of it into code, and the program built from exactly
the bytes that were checked.

`torch.export.load` alone trusts the file: some of its parts are unpickled,
its shape expressions are evaluated by SymPy, its operator names are looked
up as attributes of modules, the names it holds (of nodes, inputs, keyword
arguments, parameters, modules) are written into Python source that is
compiled when the program is built or run, its input and output structures
may name modules to import, its declared sizes are allocated as they stand,
and it may carry compiled native code. So:

- the file is read once into memory and its zip structure read strictly
  (`strict_zip`: one reading any two readers agree on, nothing compressed);
  PyTorch's own reader (`torch._C.PyTorchFileReader`) must then find every
  member exactly there, and every record below is read through it;
- the program document is walked against PyTorch's own schema of it
  (`torch._export.serde.schema`), every field of the type the schema gives,
  and every string by what PyTorch makes of it: names that become code are
  plain identifiers (dotted for attribute paths), operators are those of
  PyTorch's own registry, shape expressions pass a bounded grammar of our
  own (`shape_expressions`) and are written back canonically, input and
  output structures are plain containers, free text stays text;
- weights and constants are raw tensors whose declared shapes fit in the
  bytes the archive holds for them; the example inputs are a pickle of the
  few opcodes and globals `torch.save` writes for tensors, each storage the
  size of its record, loaded weights-only;
- the program is then built from those records by PyTorch's deserializer
  (never through `torch.export.load`, whose fallback rereads the file with
  another zip reader and unpickles it), and its guards (Python text) are
  dropped.

Nothing here imports PyTorch at import time; the functions that need it are
given the module.
"""

import dataclasses
import io
import json
import keyword
import pickletools
import re
import sys
import typing
import warnings
import types
from typing import Any, Dict, List, Optional, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError, first_line
from veltrix.converter.plugin_api.helpers.shape_expressions import (
    SYMBOL_NAME, ExpressionRefused, canonical_expression)
from veltrix.converter.plugin_api.helpers.strict_zip import Member, ZipRefused, read_zip

EXPORT_RECIPE = ('import torch; '
                 'program = torch.export.export(model.eval(), (torch.rand(1, 3, 224, 224),)); '
                 'torch.export.save(program, "model.pt2")')

# the members of a torch.export.save archive, below its one root folder
_KNOWN_MEMBERS = re.compile(r"(archive_format|archive_version|byteorder|\.data/version|\.data/serialization_id"
                            r"|\.format_version|\.storage_alignment"
                            r"|models/model\.json|data/sample_inputs/model\.pt"
                            r"|data/weights/(weight_\d+|model_weights_config\.json)"
                            r"|data/constants/(tensor_\d+|model_constants_config\.json)|extra/[^/]+)\Z")
# the members of the example inputs, a torch.save archive inside it
_SAVED_MEMBERS = re.compile(r"(data\.pkl|byteorder|version|\.data/version|\.data/serialization_id|\.format_version"
                            r"|\.storage_alignment|data/\d+)\Z")
_COMPILED = ("data/aotinductor/", "data/executorch/", "data/mtia")
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_PATH_PART = re.compile(r"([A-Za-z_][A-Za-z0-9_]*|[0-9]+)\Z")
_MODULE_TEXT = re.compile(r"[\w.<>@]*\Z")  # the parts of a module stack entry: names, dots, <locals>, @calls
_DEVICE = re.compile(r"[a-z_]{1,32}\Z")
_LONGEST_NAME = 1000
_INT64 = (-2 ** 63, 2 ** 63)

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

# What PyTorch makes of each string field of its program schema, by
# (class, field), and of the keys of its dict fields by (class, field, "keys"):
NAME = "name"            # a Python variable, argument or attribute name in generated code
KEYWORD = "keyword"      # a keyword argument name in generated code, or "" for a positional one
PATH = "path"            # an attribute path (dotted names; numbers for module list entries)
MODULE = "module"        # a module's path in the program, "" for the root
OPERATOR = "operator"    # looked up as an attribute chain from torch, operator or math
EXPRESSION = "expression"  # evaluated by SymPy
STRUCTURE = "structure"  # an input or output structure (a serialized pytree TreeSpec)
RANGE_KEY = "range key"   # a shape expression as SymPy prints it, compared as text (never evaluated)
DEVICE = "device"
VERIFIER = "verifier"
GUARDS = "guards"        # Python text; dropped before the program is built
METADATA = "metadata"    # a node's metadata (see _metadata)
TEXT = "text"            # kept as text, never turned into code
CUSTOM_OBJECT = "custom object"  # a script object's class: never loaded here

STRING_FIELDS: Dict[Tuple[str, ...], str] = {
    ("Device", "type"): DEVICE,
    ("SymExpr", "expr_str"): EXPRESSION,
    ("SymIntArgument", "as_name"): NAME, ("SymFloatArgument", "as_name"): NAME, ("SymBoolArgument", "as_name"): NAME,
    ("TensorArgument", "name"): NAME, ("TokenArgument", "name"): NAME, ("GraphArgument", "name"): NAME,
    ("CustomObjArgument", "name"): NAME, ("CustomObjArgument", "class_fqn"): CUSTOM_OBJECT,
    ("Argument", "as_string"): TEXT, ("Argument", "as_strings"): TEXT, ("Argument", "as_operator"): OPERATOR,
    ("Argument", "as_string_to_argument", "keys"): TEXT,
    ("NamedArgument", "name"): KEYWORD,
    ("Node", "target"): OPERATOR, ("Node", "name"): NAME,
    ("Node", "metadata"): METADATA, ("Node", "metadata", "keys"): TEXT,
    ("Graph", "tensor_values", "keys"): NAME, ("Graph", "sym_int_values", "keys"): NAME,
    ("Graph", "sym_bool_values", "keys"): NAME, ("Graph", "sym_float_values", "keys"): NAME,
    ("Graph", "custom_obj_values", "keys"): NAME,
    ("ConstantValue", "as_string"): TEXT,
    ("InputToConstantInputSpec", "name"): NAME,
    ("InputToParameterSpec", "parameter_name"): PATH, ("InputToBufferSpec", "buffer_name"): PATH,
    ("InputToTensorConstantSpec", "tensor_constant_name"): PATH, ("InputToCustomObjSpec", "custom_obj_name"): PATH,
    ("BufferMutationSpec", "buffer_name"): PATH, ("ParameterMutationSpec", "parameter_name"): PATH,
    ("GradientToParameterSpec", "parameter_name"): PATH,
    ("GradientToUserInputSpec", "user_input_name"): NAME, ("UserInputMutationSpec", "user_input_name"): NAME,
    ("ModuleCallSignature", "in_spec"): STRUCTURE, ("ModuleCallSignature", "out_spec"): STRUCTURE,
    ("ModuleCallSignature", "forward_arg_names"): NAME,
    ("ModuleCallEntry", "fqn"): MODULE,
    ("NamedTupleDef", "field_names"): NAME,
    ("GraphModule", "metadata", "keys"): TEXT, ("GraphModule", "metadata"): TEXT,
    ("GraphModule", "treespec_namedtuple_fields", "keys"): TEXT,
    ("ExportedProgram", "opset_version", "keys"): TEXT, ("ExportedProgram", "range_constraints", "keys"): RANGE_KEY,
    ("ExportedProgram", "verifiers"): VERIFIER, ("ExportedProgram", "torch_version"): TEXT,
    ("ExportedProgram", "guards_code"): GUARDS,
    ("PayloadConfig", "config", "keys"): PATH, ("PayloadMeta", "path_name"): TEXT,
}


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


def is_name(text: Any) -> bool:
    """A plain identifier, not a keyword nor a double-underscore name (the
    way to special attributes)."""
    return (isinstance(text, str) and len(text) <= _LONGEST_NAME and bool(_IDENTIFIER.match(text))
            and not keyword.iskeyword(text) and not text.startswith("__"))


def is_path(text: Any) -> bool:
    """Names (or numbers, for module list entries) joined by dots."""
    return (isinstance(text, str) and 0 < len(text) <= _LONGEST_NAME
            and all(_PATH_PART.match(p) and not keyword.iskeyword(p) and not p.startswith("__")
                    for p in text.split(".")))


def plain_structure(text: Any, src: str) -> str:
    """A serialized input or output structure (a pytree TreeSpec) checked and
    rewritten so that reading it imports and calls nothing: containers of
    the plain kinds stay, any other kind with named fields (a library's
    output class) becomes a dict of those fields and one without (a named
    tuple) a tuple; dict keys are names or numbers."""
    try:
        protocol, spec = json.loads(text)
    except (TypeError, ValueError, RecursionError):
        raise refusal(src, "an input or output structure is not a saved structure") from None
    if protocol != 1:
        raise refusal(src, "an input or output structure is of format %r, not 1" % (protocol,))

    def plain(node: Any, depth: int) -> Dict[str, Any]:
        if not isinstance(node, dict) or set(node) != {"type", "context", "children_spec"} or depth > 100:
            raise refusal(src, "an input or output structure is not a saved structure")
        kind, context, children = node["type"], node["context"], node["children_spec"]
        if not isinstance(children, list) or not isinstance(kind, (str, type(None))):
            raise refusal(src, "an input or output structure is not a saved structure")
        if kind is None and context is None and not children:
            return node
        try:
            fields = json.loads(context) if isinstance(context, str) else context
        except (ValueError, RecursionError):
            fields = None  # a named tuple's context is its class's name, not JSON
        if kind in _KEYED_STRUCTURES or (kind not in _PLAIN_STRUCTURES and isinstance(fields, list)):
            if not isinstance(fields, list) or len(fields) != len(children) or not all(
                    is_name(k) or (type(k) is int) for k in fields):
                raise refusal(src, "an input or output structure has keys that are not names (%s)"
                              % str(fields)[:80])
            kind = kind if kind in _KEYED_STRUCTURES else "builtins.dict"
            context = json.dumps(fields)
        elif kind in _PLAIN_STRUCTURES:
            if context != "null":
                raise refusal(src, "an input or output structure of kind %s has a context" % kind)
        else:
            kind, context = "builtins.tuple", "null"
        return {"type": kind, "context": context, "children_spec": [plain(child, depth + 1) for child in children]}
    return json.dumps([1, plain(spec, 0)])


class _Archive:
    """A zip archive read strictly (`strict_zip`) and, over the same bytes,
    by PyTorch's own reader, which must find every member exactly where the
    strict reading did; records are read through PyTorch's reader."""

    def __init__(self, data: bytes, src: str, torch: Any, what: str = "it") -> None:
        self.src, self.what = src, what
        try:
            members = read_zip(data)
        except ZipRefused as exc:
            raise refusal(src, "%s is not a zip archive that can be read one way only: %s" % (what, exc)) from None
        roots = {m.name.split("/", 1)[0] for m in members}
        if len(roots) != 1 or not all("/" in m.name for m in members):
            raise refusal(src, "%s does not hold its members in one folder, as PyTorch writes them" % what)
        self.members: Dict[str, Member] = {m.name.split("/", 1)[1]: m for m in members}
        try:
            self.reader = torch._C.PyTorchFileReader(io.BytesIO(data))
            names = list(self.reader.get_all_records())
            places = {n: (self.reader.get_record_header_offset(n), self.reader.get_record_offset(n),
                          self.reader.get_record_size(n)) for n in names}
        except Exception:  # whatever the reader raises about an archive it cannot read
            raise refusal(src, "%s is not an archive PyTorch can read" % what) from None
        owner = "its" if what == "it" else what + "'"
        for name, member in self.members.items():
            if places.pop(name, None) != (member.header_offset, member.data_offset, member.size):
                raise refusal(src, "PyTorch's reader finds %s member %s elsewhere than where it lies" % (owner, name))
        if places:
            raise refusal(src, "PyTorch's reader finds a member that %s does not hold (%s)" % (what, sorted(places)[0]))

    def has(self, name: str) -> bool:
        return name in self.members

    def size(self, name: str) -> int:
        return self.members[name].size

    def read(self, name: str) -> bytes:
        return bytes(self.reader.get_record(name))

    def json(self, name: str) -> Any:
        try:
            return json.loads(self.read(name))
        except (ValueError, RecursionError):
            raise refusal(self.src, "its member %s is not JSON" % name) from None


def _range_key(text: str) -> bool:
    """A range's key: a symbol or an expression of symbols as SymPy prints
    them. The deserializer counts up to the number of a key that names a
    symbol of unbacked sizes (u12, zuf3), so such a key is a bare symbol
    with a small number."""
    if len(text) > 1000 or not re.match(r"[A-Za-z0-9_ +*/()-]+\Z", text):
        return False
    return not text.startswith(("u", "zuf")) or bool(SYMBOL_NAME.match(text))


class _Document:
    """A JSON document walked against one class of PyTorch's program schema:
    each field of the type the schema gives it, no field the schema does not
    know, and each string by what PyTorch makes of it (`STRING_FIELDS`).
    Shape expressions and structures are rewritten in place to what was
    checked."""

    def __init__(self, src: str, torch: Any) -> None:
        from torch._export.serde import schema
        from torch._export.serde.union import _Union
        from torch._export.verifier import _VerifierMeta
        self.src, self.schema, self.union = src, schema, _Union
        self.operators = _Operators.of(torch)
        self.functions = list(torch.utils._sympy.functions.__all__)
        self.verifiers = set(_VerifierMeta._registry) | {""}
        self.hints: Dict[type, Dict[str, Any]] = {}

    def refuse(self, where: str, why: str) -> PluginError:
        return refusal(self.src, "%s %s" % (where, why))

    def check(self, document: Any, cls_name: str) -> Any:
        try:
            return self.value(document, getattr(self.schema, cls_name), (cls_name,), "its %s" % cls_name)
        except RecursionError:
            raise refusal(self.src, "its program is nested too deeply") from None

    def fields(self, cls: type) -> Dict[str, Any]:
        if cls not in self.hints:
            self.hints[cls] = typing.get_type_hints(cls, globalns=vars(self.schema))
        return self.hints[cls]

    def value(self, value: Any, kind: Any, owner: Tuple[str, ...], where: str) -> Any:
        origin, arguments = typing.get_origin(kind), typing.get_args(kind)
        if origin in (typing.Union, types.UnionType):
            if value is None and type(None) in arguments:
                return None
            kind = next(a for a in arguments if a is not type(None))
            origin, arguments = typing.get_origin(kind), typing.get_args(kind)
        if kind is str:
            return self.string(value, owner, where)
        if kind is bool:
            if type(value) is not bool:
                raise self.refuse(where, "is not true or false")
            return value
        if kind is int:
            if type(value) is not int or not _INT64[0] <= value < _INT64[1]:
                raise self.refuse(where, "is not a 64-bit integer")
            return value
        if kind is float:
            if type(value) not in (int, float) and value not in ("Infinity", "-Infinity", "NaN"):
                raise self.refuse(where, "is not a number")
            return value
        if isinstance(kind, type) and issubclass(kind, int):  # the schema's enumerations
            if type(value) is not int or value not in {int(m) for m in kind}:  # type: ignore[attr-defined]
                raise self.refuse(where, "is not one of the values of %s" % kind.__name__)
            return value
        if origin is list:
            if not isinstance(value, list):
                raise self.refuse(where, "is not a list")
            return [self.value(v, arguments[0], owner, where) for v in value]
        if origin is dict:
            if not isinstance(value, dict):
                raise self.refuse(where, "is not a mapping")
            if owner == ("Node", "metadata"):
                return self.metadata(value, where)
            return {self.string(k, owner + ("keys",), where + " key"): self.value(v, arguments[1], owner, where)
                    for k, v in value.items()}
        if isinstance(kind, type) and issubclass(kind, self.union):
            if not isinstance(value, dict) or len(value) != 1:
                raise self.refuse(where, "is not one of the forms of %s" % kind.__name__)
            (form, inner), = value.items()
            hints = self.fields(kind)
            if form not in hints:
                raise self.refuse(where, "has a form %s does not have (%s)" % (kind.__name__, str(form)[:40]))
            return {form: self.value(inner, hints[form], (kind.__name__, form), "%s.%s" % (where, form))}
        if dataclasses.is_dataclass(kind):
            if not isinstance(value, dict):
                raise self.refuse(where, "is not a %s" % kind.__name__)
            hints = self.fields(kind)
            unknown = [k for k in value if k not in hints]
            if unknown:
                raise self.refuse(where, "has a field PyTorch's %s does not have (%s)" % (
                    kind.__name__, str(unknown[0])[:40]))
            for f in dataclasses.fields(kind):
                if f.name in value:
                    value[f.name] = self.value(value[f.name], hints[f.name], (kind.__name__, f.name),
                                               "%s.%s" % (where, f.name))
                elif f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
                    raise self.refuse(where, "lacks its field %s" % f.name)
            return value
        raise self.refuse(where, "is of a kind this loader does not know")  # a schema newer than this code

    def string(self, text: Any, owner: Tuple[str, ...], where: str) -> str:
        if not isinstance(text, str):
            raise self.refuse(where, "is not text")
        category = STRING_FIELDS.get(owner)
        if category is None:
            raise self.refuse(where, "is a field this loader does not know")
        if category == NAME and not is_name(text):
            raise self.refuse(where, "is %r, not a plain name" % text[:80])
        if category == KEYWORD and text and not is_name(text):
            raise self.refuse(where, "is %r, not a plain keyword name" % text[:80])
        if category == PATH and not is_path(text):
            raise self.refuse(where, "is %r, not a plain attribute path" % text[:80])
        if category == MODULE and text and not is_path(text):
            raise self.refuse(where, "is %r, not a plain module path" % text[:80])
        if category == OPERATOR and not self.operators.allows(text):
            raise refusal(self.src, "it calls %s, which is not a PyTorch operator" % text[:80])
        if category == RANGE_KEY and not _range_key(text):
            raise self.refuse(where, "is %r, not a shape symbol or expression" % text[:80])
        if category == DEVICE and not _DEVICE.match(text):
            raise self.refuse(where, "is %r, not a device" % text[:80])
        if category == VERIFIER and text not in self.verifiers:
            raise self.refuse(where, "names %r, not one of PyTorch's program dialects" % text[:80])
        if category == CUSTOM_OBJECT:
            raise refusal(self.src, "it holds a custom class object (%s), which loading would run" % text[:80])
        if category == EXPRESSION:
            try:
                return canonical_expression(text, self.functions)
            except ExpressionRefused as exc:
                raise refusal(self.src, "a shape expression is not one PyTorch writes: %s" % exc) from None
        if category == STRUCTURE:
            return plain_structure(text, self.src)
        return text

    def metadata(self, metadata: Dict[str, Any], where: str) -> Dict[str, Any]:
        """A node's metadata: debugging text, and the entries the
        deserializer parses or resolves, each checked for what it becomes."""
        for key, text in metadata.items():
            if not isinstance(key, str) or not isinstance(text, str):
                raise self.refuse(where, "is not text")
            if key == "nn_module_stack":
                for item in text.split(";"):
                    if item.count(",") != 2 or not all(_MODULE_TEXT.match(p) for p in item.split(",")):
                        raise self.refuse(where, "holds a module stack entry %r that is not a module's "
                                                 "name, path and class" % item[:80])
            elif key == "source_fn_stack":
                for item in text.split(";"):
                    name, _, target = item.partition(",")
                    if not is_name(name) or not (self.operators.allows(target) or (
                            target.startswith("torch.nn.") and is_path(target))):
                        raise self.refuse(where, "holds a source function %r that is not a name and an operator "
                                                 "or torch.nn class" % item[:80])
            elif key in ("custom", "from_node"):
                try:
                    json.loads(text)
                except (ValueError, RecursionError):
                    raise self.refuse(where, "holds %s that is not JSON" % key) from None
        return metadata


class _StorageCheck:
    """The pickle of the example inputs (`torch.save` of a tuple of
    arguments and a dict of keyword arguments) read opcode by opcode without
    building anything: only the opcodes and globals `torch.save` writes for
    tensors, and each storage exactly the size of its record."""

    OPCODES = {"PROTO", "FRAME", "STOP", "MARK", "EMPTY_TUPLE", "EMPTY_DICT", "EMPTY_LIST", "TUPLE", "TUPLE1",
               "TUPLE2", "TUPLE3", "BINUNICODE", "SHORT_BINUNICODE", "BININT", "BININT1", "BININT2", "LONG1",
               "BINFLOAT", "NEWTRUE", "NEWFALSE", "NONE", "BINPUT", "LONG_BINPUT", "BINGET", "LONG_BINGET",
               "MEMOIZE", "GLOBAL", "REDUCE", "BINPERSID", "SETITEM", "SETITEMS", "APPEND", "APPENDS"}
    FUNCTIONS = {"torch._utils _rebuild_tensor_v2", "collections OrderedDict"}

    def __init__(self, archive: _Archive, torch: Any) -> None:
        self.archive, self.torch = archive, torch
        self.held: Dict[str, int] = {}  # the bytes of each storage read so far
        self.declared = 0  # the bytes of the tensors built on them so far
        with warnings.catch_warnings():  # the typed storage classes are deprecated, and what the pickle names
            warnings.simplefilter("ignore")
            self.storages = {"torch %s" % name: getattr(torch, name).dtype for name in dir(torch) if name.endswith(
                "Storage") and name[0].isupper() and hasattr(getattr(torch, name), "dtype")}

    def refuse(self, why: str) -> PluginError:
        return refusal(self.archive.src, "its example inputs %s" % why)

    def check(self, pickle: bytes) -> None:
        stack: List[Any] = []
        marks: List[int] = []
        memo: Dict[int, Any] = {}
        try:
            for opcode, argument, _ in pickletools.genops(pickle):
                name = opcode.name
                if name not in self.OPCODES:
                    raise self.refuse("hold a pickle opcode torch.save does not write for tensors (%s)" % name)
                if name == "MARK":
                    marks.append(len(stack))
                elif name in ("TUPLE", "APPENDS", "SETITEMS"):
                    start = marks.pop()
                    items, stack[start:] = stack[start:], []
                    if name == "TUPLE":
                        stack.append(tuple(items))
                elif name in ("TUPLE1", "TUPLE2", "TUPLE3"):
                    count = int(name[-1])
                    items, stack[-count:] = stack[-count:], []
                    stack.append(tuple(items))
                elif name in ("EMPTY_TUPLE", "EMPTY_DICT", "EMPTY_LIST"):
                    stack.append(() if name == "EMPTY_TUPLE" else {} if name == "EMPTY_DICT" else [])
                elif name in ("SETITEM", "APPEND"):
                    del stack[-(2 if name == "SETITEM" else 1):]
                elif name in ("BINPUT", "LONG_BINPUT"):
                    memo[argument] = stack[-1]
                elif name == "MEMOIZE":
                    memo[len(memo)] = stack[-1]
                elif name in ("BINGET", "LONG_BINGET"):
                    stack.append(memo[argument])
                elif name == "GLOBAL":
                    if argument not in self.FUNCTIONS and argument not in self.storages:
                        raise self.refuse("name %s, which torch.save does not write for tensors" % argument[:80])
                    stack.append(("global", argument))
                elif name == "BINPERSID":
                    stack.append(self.storage(stack.pop()))
                elif name == "REDUCE":
                    arguments, function = stack.pop(), stack.pop()
                    stack.append(self.reduce(function, arguments))
                elif name in ("PROTO", "FRAME", "STOP"):
                    pass
                else:  # a plain value
                    stack.append(argument if name not in ("NEWTRUE", "NEWFALSE", "NONE")
                                 else {"NEWTRUE": True, "NEWFALSE": False, "NONE": None}[name])
        except (ValueError, IndexError, KeyError, TypeError):  # a pickle cut short or built against its opcodes
            raise self.refuse("are not a pickle of tensors torch.save writes") from None

    def storage(self, key: Any) -> Tuple[str, Any, int]:
        if not (isinstance(key, tuple) and len(key) == 5 and key[0] == "storage" and isinstance(key[1], tuple)
                and key[1][1] in self.storages and isinstance(key[2], str) and key[3] == "cpu"
                and type(key[4]) is int):
            raise self.refuse("name a storage torch.save does not write (%s)" % str(key)[:80])
        dtype, record, count = self.storages[key[1][1]], "data/" + key[2], key[4]
        if not self.archive.has(record):
            raise self.refuse("name a storage they do not hold (%s)" % record)
        if count * self.torch._utils._element_size(dtype) != self.archive.size(record):
            raise self.refuse("declare a storage of %d values where %s holds %d bytes" % (
                count, record, self.archive.size(record)))
        self.held[record] = self.archive.size(record)
        return ("storage", dtype, count)

    def reduce(self, function: Any, arguments: Any) -> Any:
        if function == ("global", "collections OrderedDict") and arguments == ():
            return {}
        if function == ("global", "torch._utils _rebuild_tensor_v2") and isinstance(arguments, tuple) \
                and len(arguments) == 6 and isinstance(arguments[0], tuple) and arguments[0][:1] == ("storage",):
            (_, _, count), offset, sizes, strides = arguments[:4]
            if not (type(offset) is int and offset >= 0 and isinstance(sizes, tuple) and isinstance(strides, tuple)
                    and len(sizes) == len(strides) and all(type(n) is int and n >= 0 for n in sizes + strides)):
                raise self.refuse("hold a tensor of malformed shape")
            if all(sizes) and offset + sum((n - 1) * s for n, s in zip(sizes, strides)) >= count:
                raise self.refuse("declare a tensor of %s beyond the %d values of its storage" % (
                    list(sizes), count))
            numel = 1
            for n in sizes:
                numel *= n
            self.declared += numel * self.torch._utils._element_size(arguments[0][1])
            if self.declared > sum(self.held.values()) + EXPANSION_ALLOWANCE:
                raise self.refuse("declare a tensor of %s, more than the %d bytes they hold and %d MiB of expanded "
                                  "views" % (list(sizes), sum(self.held.values()), EXPANSION_ALLOWANCE >> 20))
            return ("tensor",)
        raise self.refuse("call %s, which torch.save does not write for tensors" % str(function)[:80])


# how many bytes the weights and constants may take, once each is a tensor of
# its own, beyond what the archive holds for them: expanded buffers (a view
# repeating a few values, such as a mask or position table broadcast to a
# size) of a legitimate program take a few MiB at most
EXPANSION_ALLOWANCE = 16 << 20

_CONFIGS = {"weights": ("data/weights/model_weights_config.json", "data/weights/", "weight_"),
            "constants": ("data/constants/model_constants_config.json", "data/constants/", "tensor_")}


class _Checked:
    """An archive that passed: its checked program document, the checked
    payload entries of its weights and constants, and the record of its
    example inputs when it holds one."""

    def __init__(self, data: bytes, src: str, torch: Any) -> None:
        self.src, self.torch = src, torch
        self.archive = archive = _Archive(data, src, torch)
        self.members()
        self.document = _Document(src, torch).check(archive.json("models/model.json"), "ExportedProgram")
        self.document["guards_code"] = []  # Python text compiled when the program is run
        self.views: Dict[str, Tuple[Any, ...]] = {}
        self.payloads = {kind: self.payload_config(kind) for kind in _CONFIGS}
        self.check_materialised()
        self.example_inputs = self.check_example_inputs() if archive.has("data/sample_inputs/model.pt") else None

    def members(self) -> None:
        archive, src = self.archive, self.src
        if not archive.has("archive_format") or archive.read("archive_format").strip() != b"pt2":
            raise refusal(src, "it is %s" % ("an AOTInductor package or another kind of zip archive"
                                              if not archive.has("archive_format") else "not a pt2 archive"))
        unknown = sorted(n for n in archive.members if not _KNOWN_MEMBERS.match(n))
        if unknown:
            compiled = [n for n in unknown if n.startswith(_COMPILED)]
            raise refusal(src, "it holds %s" % ("compiled native code (%s), which loading would run" % compiled[0]
                                                 if compiled else "members torch.export.save does not write (%s)"
                                                 % ", ".join(unknown[:3])))
        for required in ("models/model.json",) + tuple(config for config, _, _ in _CONFIGS.values()):
            if not archive.has(required):
                raise refusal(src, "it holds no program" if required.startswith("models/")
                              else "it lacks its member %s" % required)
        from torch.export.pt2_archive.constants import ARCHIVE_VERSION_VALUE
        version = archive.read("archive_version").decode("ascii", "replace") if archive.has("archive_version") \
            else None
        if version != ARCHIVE_VERSION_VALUE:
            raise refusal(src, "its archive version is %s, not %s (the version this PyTorch reads)" % (
                "missing" if version is None else repr(version[:20]), ARCHIVE_VERSION_VALUE))
        if archive.has("byteorder") and archive.read("byteorder").decode("ascii", "replace") != sys.byteorder:
            raise refusal(src, "its tensors are stored in another byte order than this machine's")

    def payload_config(self, kind: str) -> Dict[str, Any]:
        """The weights' or constants' entries, each a raw tensor (never a
        pickle or custom object) whose declared shape fits in the bytes its
        member holds."""
        from torch._export.serde.schema import Layout
        from torch._export.serde.serialize import _SERIALIZE_TO_TORCH_DTYPE
        config_name, folder, prefix = _CONFIGS[kind]
        document = _Document(self.src, self.torch).check(self.archive.json(config_name), "PayloadConfig")
        for key, entry in document["config"].items():
            meta = entry.get("tensor_meta")
            if entry["use_pickle"] or not meta or not re.match(re.escape(prefix) + r"\d+\Z", entry["path_name"]):
                raise refusal(self.src, "its entry %s is a pickled object or custom class, which loading would run"
                              % key)
            record = folder + entry["path_name"]
            if not self.archive.has(record):
                raise refusal(self.src, "its entry %s names a member it does not hold (%s)" % (key, record))
            fixed = [d.get("as_int") for d in meta["sizes"] + meta["strides"] + [meta["storage_offset"]]]
            if any(v is None or v < 0 for v in fixed) or meta["layout"] != Layout.Strided:
                raise refusal(self.src, "its entry %s is not a plain tensor of fixed size" % key)
            element = self.torch._utils._element_size(_SERIALIZE_TO_TORCH_DTYPE[meta["dtype"]])
            rank = len(meta["sizes"])
            sizes, strides, offset = fixed[:rank], fixed[rank:2 * rank], fixed[-1]
            held = self.archive.size(record)
            if held % element or (all(sizes) and (offset + sum((n - 1) * s for n, s in zip(sizes, strides)) + 1)
                                  * element > held):
                raise refusal(self.src, "its entry %s declares a tensor of %s, more than the %d bytes of %s" % (
                    key, sizes, held, record))
            numel = 1
            for n in sizes:
                numel *= n
            self.views["%s %s" % (kind, key)] = (record, offset, tuple(sizes), tuple(strides), meta["dtype"],
                                                numel * element)
        return document["config"]

    def check_materialised(self) -> None:
        """The weights and constants hold, once each becomes a tensor of its
        own (as a conversion writes them), at most EXPANSION_ALLOWANCE more
        than the bytes the archive holds for them: a view whose strides
        repeat elements (an expanded buffer) declares more than it holds.
        Counted are the tensors the program's signature takes, and the
        other entries that are not the same view of the same bytes as one
        counted already (a tied weight)."""
        held = sum(self.archive.size(record) for record in {view[0] for view in self.views.values()})
        taken = []
        for spec in self.document["graph_module"]["signature"]["input_specs"]:
            (form, inner), = spec.items()
            name = {"parameter": "parameter_name", "buffer": "buffer_name",
                    "tensor_constant": "tensor_constant_name"}.get(form)
            if name:
                key = inner[name]
                taken.append(next((kind + " " + key for kind in _CONFIGS if kind + " " + key in self.views), None))
        counted = set()
        total, largest = 0, None
        taken = [n for n in taken if n]
        for name in taken + sorted(set(self.views) - set(taken)):
            view = self.views[name]
            if name not in taken and view in counted:
                continue
            counted.add(view)
            total += view[5]
            if largest is None or view[5] > self.views[largest][5]:
                largest = name
        if total > held + EXPANSION_ALLOWANCE:
            record, _, sizes, _, _, size = self.views[largest]
            raise refusal(self.src, "its entry %s declares a tensor of %s (%d bytes) over the %d bytes of %s: its "
                                    "weights and constants would take %d bytes, more than the %d the archive holds "
                                    "for them and %d MiB of expanded views" % (
                                        largest.split(" ", 1)[1], list(sizes), size, self.archive.size(record), record,
                                        total, held, EXPANSION_ALLOWANCE >> 20))

    def check_example_inputs(self) -> bytes:
        record = self.archive.read("data/sample_inputs/model.pt")
        inner = _Archive(record, self.src, self.torch, what="its example inputs")
        unknown = sorted(n for n in inner.members if not _SAVED_MEMBERS.match(n))
        if unknown or not inner.has("data.pkl"):
            raise refusal(self.src, "its example inputs hold members torch.save does not write (%s)" % (
                (unknown or ["no data.pkl"])[0]))
        _StorageCheck(inner, self.torch).check(inner.read("data.pkl"))
        return record

    def tensors(self, kind: str) -> Dict[str, Any]:
        """The weights or constants, each a view of the raw bytes of its
        member as PyTorch's reader gives them; weights marked as parameters
        become parameters."""
        torch = self.torch
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
                count = self.archive.size(record) // torch._utils._element_size(dtype)
                storage = reader.get_storage_from_record(record, count, dtype)
                flat[record] = torch.empty(0, dtype=dtype).set_(storage.untyped_storage(), 0, (count,), (1,))
            tensor = torch.as_strided(flat[record], deserialize_size(meta.tensor_meta.sizes),
                                      deserialize_stride(meta.tensor_meta.strides),
                                      deserialize_storage_offset(meta.tensor_meta.storage_offset))
            if kind == "weights" and meta.is_param:
                tensor = torch.nn.Parameter(tensor, requires_grad=meta.tensor_meta.requires_grad)
            tensors[key] = tensor
        return tensors


def check_program_archive(data: bytes, src: str, torch: Any) -> None:
    """PluginError unless `data` is a torch.export.save archive holding
    nothing that loading it would run or that could ask for more than it
    holds (see the module's text)."""
    _Checked(data, src, torch)


def read_program(data: bytes, src: str, torch: Any) -> Any:
    """The ExportedProgram in `data` (the bytes of a .pt2 file), checked
    (`check_program_archive`) and built from exactly the records that were
    checked, without its guards; PluginError when it does not pass or
    PyTorch cannot build it."""
    from torch._export.serde import schema
    from torch._export.serde.serialize import ExportedProgramDeserializer, _dict_to_dataclass
    checked = _Checked(data, src, torch)
    try:
        state_dict, constants = checked.tensors("weights"), checked.tensors("constants")
        example_inputs = None
        if checked.example_inputs is not None:
            example_inputs = torch.load(io.BytesIO(checked.example_inputs), weights_only=True)
        program = ExportedProgramDeserializer().deserialize(
            _dict_to_dataclass(schema.ExportedProgram, checked.document), state_dict, constants, example_inputs)
    except PluginError:
        raise
    except Exception as exc:  # whatever PyTorch raises about the file
        raise PluginError("PyTorch cannot load the program in %s: %s" % (
            src, first_line(exc) or type(exc).__name__)) from exc
    program._guards_code = []
    return program


def load_checked(src: str, torch: Any) -> Any:
    """`read_program` of the file `src`, read once into memory."""
    try:
        with open(src, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise PluginError("Cannot read %s: %s" % (src, exc.strerror or exc)) from exc
    return read_program(data, src, torch)


__all__: List[str] = ["EXPORT_RECIPE", "STRING_FIELDS", "check_program_archive", "is_name", "is_path",
                      "load_checked", "plain_structure", "read_program", "refusal"]
