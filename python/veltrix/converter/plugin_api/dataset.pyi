"""Representative samples for quantization: a folder of images, a datastore or white noise."""
import os as os
from typing import Any, Callable, Generator, Sequence, Tuple, Type, Union

import numpy as np
from PIL import Image as Image

from veltrix.converter.plugin_api.contract import Normalization

# One item a pass yields: a list of exactly one sample shaped like the model
# input. float32 samples are TensorFlow tensors (normalised); uint8, int8 and
# white-noise samples are NumPy arrays.
Sample = list[Any]
SampleType = Union[Type[np.float32], Type[np.int8], Type[np.uint8]]

np: Any
tf: Any

class Dataset:
    """Dataset((source, crop), input_shape, quant_norm, num_samples=10, input_type=np.float32)."""
    samples: Tuple[str, Union[bool, int]]
    input_shape: Sequence[int]
    quant_norm: Normalization
    annotations_list: list[Any]
    num_samples: int
    input_type: SampleType
    def __init__(self, samples: Tuple[str, Union[bool, int]], input_shape: Sequence[int], quant_norm: Normalization,
                 num_samples: int = ..., input_type: SampleType = ...) -> None: ...
    def generator(self) -> Callable[[], Generator[Sample, None, None]]: ...
