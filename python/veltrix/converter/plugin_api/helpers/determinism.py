"""The same command gives the same model: NumPy's random state seeded for a
block and given back after."""

import contextlib
from typing import Iterator

@contextlib.contextmanager
def seeded(seed: int) -> Iterator[None]:
    """NumPy's global random state seeded for the block and restored after,
    so sampling is the same on every run and the caller's state is kept."""
    import numpy as np
    state = np.random.get_state()
    np.random.seed(seed)
    try:
        yield
    finally:
        np.random.set_state(state)
