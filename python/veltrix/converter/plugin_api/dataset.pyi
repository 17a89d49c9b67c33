import os as os
from typing import Any, Callable, Generator, Sequence

import numpy as np
import tensorflow as tf
from PIL import Image as Image

Sample = list[Any]  # one array or tensor shaped like the model's input

class Dataset:
    samples: tuple[str, Any] | Sequence[Any]
    input_shape: Sequence[int]
    quant_norm: str
    annotations_list: list[Any]
    num_samples: int
    input_type: Any
    def __init__(self, samples: tuple[str, Any] | Sequence[Any], input_shape: Sequence[int], quant_norm: str,
                 num_samples: int = ..., input_type: Any = ...) -> None: ...
    def generator(self) -> Callable[[], Generator[Sample, None, None]]: ...
