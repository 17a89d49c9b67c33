"""Work on a model file from a stranger, done where a miss of the kit's
checks is contained.

    with conversion_run(NAME) as run:
        result = contained(run, self._work, source=self.src)   # files written in run.workdir
        ...install them with safe_outputs...

`work()` does everything that reads or runs the untrusted file (loading,
exporting, quantizing, verifying) and writes its results into the run's
work folder only; it returns a JSON value (dict, list, text, number, None),
which is what `contained` returns. A PluginError raised by `work` is raised
again with its message; the run's warnings are kept.

(This first version runs `work` in the calling process and only holds it to
the JSON rule; the child process with limits follows.)
"""

import json
from typing import Any, Callable

from veltrix.converter.plugin_api.helpers.run import ConversionRun


def contained(run: ConversionRun, work: Callable[[], Any], source: str = "") -> Any:
    """`work()`'s JSON result, the work done where a miss is contained."""
    return json.loads(json.dumps(work()))
