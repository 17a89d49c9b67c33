"""A model's signature: its inputs and outputs in order, each with a name, a
type, a shape whose dynamic dimensions may carry names, the range of an
integer input and the layout of an image input. One description for every
plug-in: read from the source by the kit's module for its format
(`keras_models`, `onnx_files`, `torch_programs`, `openvino_models`), changed
only by the user's shape and naming options, used to feed samples and
verification, read back from the result and compared with the source's,
and shown in the SUCCESS line and the conversion report.

    source = onnx_signature(src)                      # or program_signature, ir_signature, ...
    wanted = source.with_options(options)             # --shape / --input-shape, --input-names / --output-names
    ...convert with wanted...
    wanted.check_result(onnx_signature(result), quantized=False)   # PluginError on a mismatch
    text = "input %s, output %s" % (result.inputs_shown(), result.outputs_shown())

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


@dataclass
class Signature:
    """The inputs and outputs of a model, in the model's order."""
    inputs: List[Tensor]
    outputs: List[Tensor]

    def input_names(self) -> List[str]:
        return [t.name for t in self.inputs]

    def output_names(self) -> List[str]:
        return [t.name for t in self.outputs]

    def inputs_shown(self) -> str:
        return ", ".join(t.named() for t in self.inputs) or "none"

    def outputs_shown(self) -> str:
        return ", ".join(t.named() for t in self.outputs) or "none"

    def shown(self) -> str:
        return "input %s, output %s" % (self.inputs_shown(), self.outputs_shown())

    def as_dict(self) -> Dict[str, Any]:
        return {"inputs": [t.as_dict() for t in self.inputs], "outputs": [t.as_dict() for t in self.outputs]}

    def with_shapes(self, options: Mapping[str, Any]) -> "Signature":
        """The signature with the shapes the user fixed (`--shape`, any rank,
        one shape per input; the reserved `--input-shape` for a model with one
        input); PluginError when a given shape conflicts with the model's."""
        return Signature(shaped_inputs(self.inputs, options), list(self.outputs))


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
