from typing import Any, Callable, Generator, Iterable, Sequence

import numpy as np

get_cached_dataset: Callable[..., Any]

class BaseDatasetGenerator:
    datastore_path: str
    input_shape: Sequence[int]
    dataset: Iterable[Any] | None
    def __init__(self, source: str, input_shape: Sequence[int]) -> None: ...
    def get_samples(self) -> Generator[np.ndarray, None, None]: ...

class DatastoreGeneratorClassification(BaseDatasetGenerator): ...
class DatastoreGeneratorDetection(BaseDatasetGenerator): ...
