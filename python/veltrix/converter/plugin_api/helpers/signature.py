"""A model's signature: its inputs and outputs in order, each with a name, a
type, a shape whose dynamic dimensions may carry names, the range of an
integer input and the layout of an image input. One description for every
plug-in: read from the source by the kit's module for its format
(`keras_models`, `onnx_files`, `torch_programs`, `openvino_models`), changed
only by the user's shape and naming options, used to feed samples and
verification, read back from the result and compared with the source's,
and shown in the SUCCESS line and the conversion report.

    check_naming_options(options, supports)           # early: --name where the result holds none
    source = onnx_signature(src)                      # or TensorFlowSource(...).signature, program_signature, ...
    wanted = source.with_options(options, supports)   # --shape / --input-shape, --input-names / --output-names / --name
    ...convert with wanted...
    wanted.check_result(onnx_signature(result))       # PluginError on a difference: nothing is written
    text = result.shown()                             # "input x float32[batch, 3], output y float32[batch, 2]"

Nothing here imports NumPy or a framework.
"""

from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence

from veltrix.converter.plugin_api.helpers.answers import PluginError
from veltrix.converter.plugin_api.helpers.layout import infer_layout

INTEGER_TYPES = ("int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64")


def is_integer(dtype: str) -> bool:
    """Whether a NumPy type name is an integer or boolean type."""
    return dtype in INTEGER_TYPES or dtype == "bool"


def _dimension(d: Any) -> Optional[int]:
    return d if isinstance(d, int) and not isinstance(d, bool) and d > 0 else None


@dataclass
class Tensor:
    """One input or output of a model.

    - `name`: as the model calls it;
    - `dtype`: a NumPy type name ("float32", "int64", "bool", ...);
    - `shape`: one entry per dimension, a number or None where dynamic;
    - `low`, `high`: for an integer input, the range [low, high) of valid
      values (an embedding's vocabulary) when the model says; None otherwise;
    - `layout`: CHANNELS_FIRST or CHANNELS_LAST for an image input (float,
      4-D); readers set it from the shape where it is unambiguous;
    - `dims`: the name of each dynamic dimension ("batch", "sequence", or a
      framework's own "s77") where the format keeps one, else None; one entry
      per dimension, None for a fixed one.
    """
    name: str
    dtype: str
    shape: List[Optional[int]]
    low: Optional[int] = None
    high: Optional[int] = None
    layout: Optional[str] = None
    dims: List[Optional[str]] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.shape = [_dimension(d) for d in self.shape]
        names = list(self.dims or [])[:len(self.shape)]
        names += [None] * (len(self.shape) - len(names))
        self.dims = [n if (d is None and isinstance(n, str) and n) else None for d, n in zip(self.shape, names)]

    @property
    def dynamic(self) -> bool:
        return any(d is None for d in self.shape)

    def dim_text(self, index: int) -> str:
        d = self.shape[index]
        return str(d) if d is not None else (self.dims[index] or "?")

    def shown(self) -> str:
        """"float32[batch, 3, 224, 224]": the type and shape, a dynamic
        dimension by its name or "?"."""
        return "%s[%s]" % (self.dtype, ", ".join(self.dim_text(i) for i in range(len(self.shape))))

    def named(self) -> str:
        """"image float32[?, 224, 224, 3]"."""
        return "%s %s" % (self.name, self.shown())

    def as_dict(self) -> Dict[str, Any]:
        """The report's form: name, type, shape (None for a dynamic
        dimension), and "dims" (the dynamic dimensions' names) when any has one."""
        out: Dict[str, Any] = {"name": self.name, "type": self.dtype, "shape": list(self.shape)}
        if any(self.dims):
            out["dims"] = list(self.dims)
        return out

    def replaced(self, **changes: Any) -> "Tensor":
        values = dict(name=self.name, dtype=self.dtype, shape=list(self.shape), low=self.low, high=self.high,
                      layout=self.layout, dims=list(self.dims))
        values.update(changes)
        return Tensor(**values)


def image_tensor(name: str, dtype: str, shape: Sequence[Any], **more: Any) -> Tensor:
    """A Tensor whose layout is read from its shape when it is a float image input."""
    tensor = Tensor(name, dtype, list(shape), **more)
    if tensor.layout is None and not is_integer(dtype) and len(tensor.shape) == 4:
        tensor.layout = infer_layout(tensor.shape)
    return tensor


# Each of a conversion's naming capabilities: the result's inputs in the
# order --input-names gives, a subset or another order of its outputs
# (--output-names), a model name (--name).
INPUT_ORDER, OUTPUT_SELECTION, MODEL_NAME = "input-order", "output-selection", "name"
NAMING_OPTIONS = {"input-names": INPUT_ORDER, "output-names": OUTPUT_SELECTION, "name": MODEL_NAME}

# A dynamic dimension is fed at this size (the batch at 1) unless the
# signature says otherwise (`Signature.sizes`).
DYNAMIC_SIZE = 64


@dataclass
class Signature:
    """The inputs and outputs of a model, in the model's order; `name` the
    model's own name where its format holds one; `sizes` the size to feed a
    named dynamic dimension at where the model limits it (a program's
    "sequence" at most 32), else it is fed at 1 (the first dimension) or
    `DYNAMIC_SIZE`."""
    inputs: List[Tensor]
    outputs: List[Tensor]
    name: Optional[str] = None
    sizes: Dict[str, int] = field(default_factory=dict)
    # the user fixed input shapes: a dynamic output dimension may come out fixed
    settled: bool = False

    def input_names(self) -> List[str]:
        return [t.name for t in self.inputs]

    def output_names(self) -> List[str]:
        return [t.name for t in self.outputs]

    def inputs_shown(self) -> str:
        return ", ".join(t.named() for t in self.inputs) or "none"

    def outputs_shown(self) -> str:
        return ", ".join(t.named() for t in self.outputs) or "none"

    def shown(self) -> str:
        """"input x float32[?, 3], output y float32[?, 2]"."""
        return "input %s, output %s" % (self.inputs_shown(), self.outputs_shown())

    def as_dict(self) -> Dict[str, Any]:
        out: Dict[str, Any] = {"inputs": [t.as_dict() for t in self.inputs],
                               "outputs": [t.as_dict() for t in self.outputs]}
        if self.name:
            out["name"] = self.name
        return out

    @classmethod
    def from_dict(cls, document: Mapping[str, Any]) -> "Signature":
        """The signature of `as_dict`'s form (as work done in another
        process returns it): names, types, shapes, dimension names, model name."""
        def tensor(d: Mapping[str, Any]) -> Tensor:
            return Tensor(d["name"], d["type"], list(d["shape"]), dims=list(d.get("dims") or []))
        return cls([tensor(d) for d in document.get("inputs", [])], [tensor(d) for d in document.get("outputs", [])],
                   name=document.get("name"))

    def replaced(self, **changes: Any) -> "Signature":
        values = dict(inputs=list(self.inputs), outputs=list(self.outputs), name=self.name, sizes=dict(self.sizes),
                      settled=self.settled)
        values.update(changes)
        return Signature(**values)

    def with_shapes(self, options: Mapping[str, Any]) -> "Signature":
        """The signature with the shapes the user fixed (`--shape`, any rank,
        one shape per input; the reserved `--input-shape` for a model with one
        input); PluginError when a given shape conflicts with the model's."""
        inputs = shaped_inputs(self.inputs, options)
        return self.replaced(inputs=inputs, settled=self.settled or [t.shape for t in inputs] != [
            t.shape for t in self.inputs])

    def with_options(self, options: Mapping[str, Any], supports: Sequence[str] = (),
                     why: Optional[Mapping[str, str]] = None) -> "Signature":
        """The signature the user asked for: the shapes fixed (`with_shapes`)
        and the naming options honoured (`selected`)."""
        return self.with_shapes(options).selected(options, supports, why)

    # ------------------------------------------------------------ feeding

    def feed_shape(self, tensor: Tensor) -> List[int]:
        """The concrete shape `tensor` is fed at: its fixed dimensions, a
        named dynamic one at `sizes[name]` when given, the first at 1, any
        other at `DYNAMIC_SIZE`. Inputs sharing a dimension's name share its size."""
        shape = []
        for i, d in enumerate(tensor.shape):
            name = tensor.dims[i] if i < len(tensor.dims) else None
            if d is not None:
                shape.append(int(d))
            elif name and name in self.sizes:
                shape.append(int(self.sizes[name]))
            else:
                shape.append(1 if i == 0 else DYNAMIC_SIZE)
        return shape

    def feed_shapes(self) -> Dict[str, List[int]]:
        return {t.name: self.feed_shape(t) for t in self.inputs}

    def fed_at(self) -> str:
        """"at shape 1,64,64,3" (or "at shapes image 1,64,64,3, tokens 1,64")
        when an input has a dynamic dimension: the sizes samples and
        verification use, for the SUCCESS line; "" when every input is fixed."""
        if not any(t.dynamic for t in self.inputs):
            return ""
        shapes = [",".join(map(str, self.feed_shape(t))) for t in self.inputs]
        if len(shapes) == 1:
            return "at shape " + shapes[0]
        return "at shapes " + ", ".join("%s %s" % (t.name, s) for t, s in zip(self.inputs, shapes))

    # ------------------------------------------------------------- naming

    def selected(self, options: Mapping[str, Any], supports: Sequence[str] = (),
                 why: Optional[Mapping[str, str]] = None) -> "Signature":
        """The signature with the reserved naming options honoured: the
        inputs in the order `--input-names` gives (every input, once), the
        outputs `--output-names` names in its order, the model's name from
        `--name`. `supports` holds what the conversion can do (INPUT_ORDER,
        OUTPUT_SELECTION, MODEL_NAME); anything else the user asked for is a
        PluginError saying why (`why` {option: reason}, the plug-in's words),
        as are names the model does not have."""
        check_naming_options(options, supports, why)
        out = self.replaced()
        asked = _names(options, "input-names")
        if asked is not None:
            out.inputs = _chosen("input", asked, self.inputs)
            if len(out.inputs) != len(self.inputs):
                raise PluginError("--input-names names %d of the model's %d inputs (%s): a subset of the inputs would "
                                  "cut the graph, which this conversion cannot do; name every input" % (
                                      len(out.inputs), len(self.inputs), ", ".join(self.input_names())))
            if out.input_names() != self.input_names() and INPUT_ORDER not in supports:
                raise PluginError("--input-names %s: %s; give the inputs in the model's order (%s) or leave the "
                                  "option out" % (",".join(asked), (why or {}).get(
                                      "input-names", "this conversion keeps the inputs in the model's order"),
                                                  ",".join(self.input_names())))
        asked = _names(options, "output-names")
        if asked is not None:
            out.outputs = _chosen("output", asked, self.outputs)
            if out.output_names() != self.output_names() and OUTPUT_SELECTION not in supports:
                raise PluginError("--output-names %s: %s; give every output in the model's order (%s) or leave the "
                                  "option out" % (",".join(asked), (why or {}).get(
                                      "output-names", "this conversion keeps every output in the model's order"),
                                                  ",".join(self.output_names())))
        if options.get("name"):
            out.name = str(options["name"])
        return out

    # ----------------------------------------------------------- checking

    def check_result(self, result: "Signature", input_types: Sequence[str] = (), output_types: Sequence[str] = (),
                     by_name: bool = False) -> None:
        """PluginError ("...; nothing was written") when the converted model
        `result` does not have this signature: the same input and output
        names in the same order (`by_name`: in any order, for a format whose
        tensors are found by name), the same types (a float tensor may have
        become one of `input_types`/`output_types`, the quantized types asked
        for; an integer one stays as it is), the same number of dimensions,
        fixed dimensions the same and dynamic ones still dynamic (an output's
        may come out fixed where the user fixed input shapes)."""
        for what, wanted, made, types in (("input", self.inputs, result.inputs, input_types),
                                          ("output", self.outputs, result.outputs, output_types)):
            names, got = [t.name for t in wanted], [t.name for t in made]
            if (sorted(names) != sorted(got)) if by_name else (names != got):
                raise PluginError("The converted model's %ss are %s, not the source's %s; nothing was written" % (
                    what, ", ".join(got) or "none", ", ".join(names) or "none"))
            found = {t.name: t for t in made}
            for tensor in wanted:
                _check_tensor(what, tensor, found[tensor.name], types, what == "output" and self.settled)

def parse_shapes(text: str) -> List[List[Optional[int]]]:
    """`--shape` as shapes in input order: "1,20" for one input, "1,8,8,3;1,5"
    for two; "?" (or -1) keeps a dimension dynamic."""
    shapes: List[List[Optional[int]]] = []
    for part in str(text).split(";"):
        dims: List[Optional[int]] = []
        for word in part.split(","):
            word = word.strip()
            if word in ("?", "-1"):
                dims.append(None)
            elif word.isdigit() and int(word) > 0:
                dims.append(int(word))
            else:
                raise PluginError("--shape takes shapes of positive whole numbers (or ?), one per input separated "
                                  "by ';', such as 1,20 or 1,8,8,3;1,5; not %r" % text)
        shapes.append(dims)
    return shapes


def shaped_inputs(inputs: Sequence[Tensor], options: Mapping[str, Any]) -> List[Tensor]:
    """The model's inputs with the shapes the user fixed: `--shape` (any
    rank, one per input) or the reserved `--input-shape` (four values, for a
    model with one 4-D input; its default means "not given"). PluginError
    when a given shape conflicts with a fixed dimension of the model's."""
    from veltrix.converter.plugin_api.helpers.options import given_input_shape
    given: List[Optional[List[Optional[int]]]] = [None] * len(inputs)
    if options.get("shape"):
        shapes = parse_shapes(options["shape"])
        if len(shapes) != len(inputs):
            raise PluginError("--shape gives %d shape%s; the model has %d input%s (%s)" % (
                len(shapes), "" if len(shapes) == 1 else "s", len(inputs), "" if len(inputs) == 1 else "s",
                ", ".join(t.named() for t in inputs)))
        given = list(shapes)
        option = "--shape"
    elif given_input_shape(options) is not None:
        shape = given_input_shape(options) or []
        if any(not isinstance(d, int) or d < 1 for d in shape):
            raise PluginError("--input-shape takes positive whole numbers, not %s" % ",".join(map(str, shape)))
        if len(inputs) != 1:
            raise PluginError("--input-shape sets the shape of a model with one input; this one has %d: give "
                              "--shape with one shape per input" % len(inputs))
        given, option = [list(shape)], "--input-shape"
    out = []
    for tensor, shape in zip(inputs, given):
        if shape is None:
            out.append(tensor)
            continue
        if len(shape) != len(tensor.shape) or any(
                g is not None and m is not None and g != m for g, m in zip(shape, tensor.shape)):
            raise PluginError("%s %s conflicts with the model's input %s (%d dimensions, fixed ones kept)" % (
                option, ",".join("?" if d is None else str(d) for d in shape), tensor.named(), len(tensor.shape)))
        fixed = [g if g is not None else m for g, m in zip(shape, tensor.shape)]
        out.append(tensor.replaced(shape=fixed))
    return out


def _check_tensor(what: str, wanted: Tensor, made: Tensor, types: Sequence[str], settled: bool) -> None:
    if made.dtype != wanted.dtype and (is_integer(wanted.dtype) or made.dtype not in types):
        allowed = [wanted.dtype] + ([t for t in types if t != wanted.dtype] if not is_integer(wanted.dtype) else [])
        raise PluginError("The converted model's %s %s is %s, not %s; nothing was written" % (
            what, wanted.name, made.dtype, " or ".join(allowed)))
    if not made.shape and not wanted.shape:
        return
    if len(made.shape) != len(wanted.shape):
        raise PluginError("The converted model's %s %s has %d dimensions (%s), the source's %d (%s); nothing was "
                          "written" % (what, wanted.name, len(made.shape), made.shown(), len(wanted.shape),
                                       wanted.shown()))
    for i, (w, m) in enumerate(zip(wanted.shape, made.shape)):
        if w is None and m is not None and not settled:
            raise PluginError("The converted model's %s %s is %s: dimension %d is fixed to %d where the source's is "
                              "dynamic (%s); fix it with --shape if that is what you want; nothing was written" % (
                                  what, wanted.name, made.shown(), i, m, wanted.shown()))
        if w is not None and m is not None and w != m:
            raise PluginError("The converted model's %s %s is %s, the source's %s; nothing was written" % (
                what, wanted.name, made.shown(), wanted.shown()))


def _names(options: Mapping[str, Any], key: str) -> Optional[List[str]]:
    """A naming option's names (a list, or text separated by ","), None when
    not given; PluginError for an empty or repeated name."""
    value = options.get(key)
    if value is None or value is False or value == "" or value == []:
        return None
    if value is True:
        raise PluginError("--%s needs names separated by ',' (it was given as a bare flag)" % key)
    names = [str(n).strip() for n in (value if isinstance(value, (list, tuple)) else str(value).split(","))]
    if any(not n for n in names):
        raise PluginError("--%s has an empty name: %r" % (key, ",".join(names)))
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise PluginError("--%s names %s more than once" % (key, ", ".join(repeated)))
    return names


def _chosen(what: str, asked: Sequence[str], tensors: Sequence[Tensor]) -> List[Tensor]:
    by_name = {t.name: t for t in tensors}
    unknown = [n for n in asked if n not in by_name]
    if unknown:
        raise PluginError("--%s-names: the model has no %s %s; its %ss are %s" % (
            what, what, ", ".join(repr(n) for n in unknown), what, ", ".join(by_name) or "none"))
    return [by_name[n] for n in asked]


def check_naming_options(options: Mapping[str, Any], supports: Sequence[str] = (),
                         why: Optional[Mapping[str, str]] = None) -> None:
    """Fail early (PluginError) on a naming option the conversion can never
    honour: `--name` where the result holds no name, and the form of
    `--input-names`/`--output-names` (empty or repeated names). Whether a
    given order or subset can be honoured is `Signature.selected`'s to say,
    once the model's names are known. `why` {option: reason} words the refusal."""
    _names(options, "input-names")
    _names(options, "output-names")
    if options.get("name") is True:
        raise PluginError("--name needs a name (it was given as a bare flag)")
    if options.get("name") and MODEL_NAME not in supports:
        raise PluginError("--name %s: %s; leave the option out" % (
            options["name"], (why or {}).get("name", "the converted model holds no name to set")))
