"""Comparing a converted model with its source: the agreement figures that
the SUCCESS line reports, and the minimum a user can ask for."""

from typing import Any, Sequence, Tuple

from veltrix.converter.plugin_api.helpers.answers import PluginError

def largest_difference(pairs: Sequence[Tuple[Any, Any]]) -> float:
    """The largest absolute difference between expected and got, over every
    (expected, got) output pair (expected reshaped to got's shape); 0.0 for
    no pairs or empty outputs."""
    import numpy as np
    largest = 0.0
    for expected, got in pairs:
        got = np.asarray(got, dtype=np.float32)
        expected = np.asarray(expected, dtype=np.float32).reshape(got.shape)
        if got.size:
            largest = max(largest, float(np.abs(got - expected).max()))
    return largest


def agreement(pairs: Sequence[Tuple[Any, Any]], what: str, min_agreement: int = 0) -> str:
    """"verified on N samples (what): largest difference D, top-1 agreement
    a/n (p%)" for (expected, got) output pairs; PluginError when the
    agreement is below `min_agreement` percent (0: never). The difference as
    a number: `largest_difference(pairs)`."""
    import numpy as np
    agree, scored = 0, 0
    for expected, got in pairs:
        expected = np.asarray(expected, dtype=np.float32).reshape(np.shape(got))
        got = np.asarray(got, dtype=np.float32)
        if got.ndim == 2 and got.shape[-1] > 1:  # class scores
            scored += 1
            agree += int(got.argmax(-1)[0] == expected.argmax(-1)[0])
    text = "verified on %d sample%s (%s): largest difference %.4g" % (
        len(pairs), "" if len(pairs) == 1 else "s", what, largest_difference(pairs))
    if scored:
        percent = 100.0 * agree / scored
        text += ", top-1 agreement %d/%d (%.0f%%)" % (agree, scored, percent)
        if min_agreement and percent < min_agreement:
            raise PluginError("Verification failed: top-1 agreement %.0f%% is below --verify-min-agreement %d (%s); "
                              "nothing was written" % (percent, min_agreement, text))
    return text
