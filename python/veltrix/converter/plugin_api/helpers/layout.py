"""The layout of an image input: channels first (NCHW, as PyTorch and many
ONNX models take images) or channels last (NHWC, as Keras does), read from
the input's shape where that is unambiguous, so samples are fed the way the
model takes them."""

from typing import Any, Optional, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError

CHANNELS_FIRST = "NCHW"
CHANNELS_LAST = "NHWC"
IMAGE_CHANNELS = (1, 3)


def _size(dim: Any) -> Optional[int]:
    """A fixed dimension as a number; None for a dynamic one (None, -1, 0 or a name)."""
    if isinstance(dim, bool) or not isinstance(dim, int) or dim <= 0:
        return None
    return dim


def _beside_two_larger(channels: Any, spatial: Sequence[Any]) -> bool:
    size = _size(channels)
    if size not in IMAGE_CHANNELS:
        return False
    # a dynamic height or width is taken as larger: images are never 1 or 3 pixels
    return all(_size(d) is None or _size(d) > size for d in spatial)  # type: ignore[operator]


def infer_layout(shape: Sequence[Any]) -> Optional[str]:
    """CHANNELS_FIRST or CHANNELS_LAST for a 4-D image input whose channel
    dimension (1 or 3) stands beside two larger ones on one side only; None
    when the shape does not say (not 4-D, or both or neither side fit)."""
    if len(shape) != 4:
        return None
    first = _beside_two_larger(shape[1], shape[2:])
    last = _beside_two_larger(shape[3], shape[1:3])
    if first != last:
        return CHANNELS_FIRST if first else CHANNELS_LAST
    return None


def choose_layout(shape: Sequence[Any], asked: Optional[bool] = None,
                  default: str = CHANNELS_LAST) -> Tuple[str, str]:
    """(layout, how it was chosen) for an image input: the user's choice
    (`asked`: True for channels first, False for last) when given, else the
    shape's when unambiguous, else `default`. The second item is a phrase for
    the SUCCESS line, such as "channels-first (NCHW), read from the input
    shape [1, 3, 32, 32]"."""
    shown = "[%s]" % ", ".join("?" if _size(d) is None else str(d) for d in shape)
    inferred = infer_layout(shape)
    if asked is not None:
        layout = CHANNELS_FIRST if asked else CHANNELS_LAST
        if inferred is not None and inferred != layout:
            raise PluginError("The input shape %s is %s, but %s was asked for" % (
                shown, describe(inferred), describe(layout)))
        return layout, "%s, as asked" % describe(layout)
    if inferred is not None:
        return inferred, "%s, read from the input shape %s" % (describe(inferred), shown)
    return default, "%s, the default (the input shape %s does not say)" % (describe(default), shown)


def describe(layout: str) -> str:
    return "channels-first (NCHW)" if layout == CHANNELS_FIRST else "channels-last (NHWC)"


def channels_of(shape: Sequence[Any], layout: str) -> Optional[int]:
    """The number of channels of a 4-D image input in `layout` (None if dynamic)."""
    return _size(shape[1] if layout == CHANNELS_FIRST else shape[-1])
