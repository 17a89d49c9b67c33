"""The same command gives the same model: NumPy's random state seeded for a
block and given back after, and a private seeded stream that a plug-in's
calibration draws from wherever the quantizer runs it. The rule every
plug-in follows through the kit: calibration draws from `--seed`,
verification from `--seed` + 1."""

import contextlib
from typing import Any, Iterator


class RandomStream:
    """A NumPy random state of its own, seeded once: `active()` puts it in
    place of NumPy's global state for a block and takes it back (advanced)
    after, so draws made across many blocks are the same on every run
    whatever else uses NumPy's global state in between."""

    def __init__(self, seed: int) -> None:
        import numpy as np
        self.state: Any = np.random.RandomState(seed).get_state()

    @contextlib.contextmanager
    def active(self) -> Iterator[None]:
        import numpy as np
        saved = np.random.get_state()
        np.random.set_state(self.state)
        try:
            yield
        finally:
            self.state = np.random.get_state()
            np.random.set_state(saved)


@contextlib.contextmanager
def seeded(seed: int) -> Iterator[None]:
    """NumPy's global random state seeded for the block and restored after,
    so sampling is the same on every run and the caller's state is kept."""
    with RandomStream(seed).active():
        yield
