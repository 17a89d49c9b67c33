"""Console entry of veltrix-converter (also `python -m veltrix.converter`).

The console itself is the package `veltrix.converter.console`; this entry
takes Ctrl-C and SIGTERM before anything heavier is imported, so a signal
while the console loads ends the command with its one line and status.
"""

from veltrix.converter.console import signals as _signals

_BEFORE_START = _signals.listen_while_starting()

# The imports below run under the start-up handlers.
from veltrix.converter.console import (  # noqa: E402
    EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_TERMINATED, EXIT_USAGE)
from veltrix.converter.console.command import run  # noqa: E402
from veltrix.converter.console.packages import GROUP, canonical_name, installed_plugins  # noqa: E402
from veltrix.converter.console.runner import Outcome, execute, run_command, run_main  # noqa: E402
from veltrix.converter.console.signals import Terminated  # noqa: E402

__all__ = ["run", "execute", "run_main", "run_command", "Outcome", "installed_plugins", "canonical_name", "GROUP",
           "Terminated", "EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_INTERRUPTED", "EXIT_TERMINATED"]

_signals.started(_BEFORE_START)

if __name__ == "__main__":
    run()
