"""The process around the runner: the `veltrix-converter` console script.

`run` listens for Ctrl-C and SIGTERM from its first line, mends and wraps
the standard streams, runs the command line through the runner, and leaves
with its status in a way no signal can overtake (see `signals.leave`).
"""

from veltrix.converter.console import EXIT_FAILED, runner, signals, streams


def run():
    """`veltrix-converter` with the process's command line; ends the process
    with the command's exit status (it never returns)."""
    listener = signals.Listener()
    status = EXIT_FAILED
    try:
        listener.listen()
        streams.protect_standard_streams()
        status = runner.execute(listener=listener)
        listener.raising = False  # inside the guard: a signal until here is caught below
    except BaseException as exc:  # noqa: B036 - whatever ended the run, the process ends as the interpreter would end it
        status = signals.ended_by(exc, listener)
    signals.leave(status, listener)
