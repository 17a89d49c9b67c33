"""Ctrl-C (SIGINT) and SIGTERM, from the first line of the console's own code
to the process's last instruction.

* While the console's modules load (`listen_while_starting`), nothing has
  started: a signal ends the process at once with the one line and status
  of an interrupted run.
* While the work runs (`Listener`), a signal raises KeyboardInterrupt
  (`Terminated` for SIGTERM), so every `finally` runs and work folders and
  partial files are removed; it is also remembered, so a run whose
  interrupt some library swallowed still ends as interrupted.
* Once the outcome is decided (`leave`), a signal ends the process at once,
  with its line and status: the exit functions run under our handlers, the
  signals are blocked for the final look at what arrived, and the process
  leaves without the interpreter's teardown, during which the handlers are
  gone and libraries can take seconds to unload.

A signal the command inherited as ignored (`nohup`, background jobs) stays
ignored throughout.
"""

import os
import signal
import sys

from veltrix.converter.console import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_TERMINATED

ENDINGS = {signal.SIGINT: (EXIT_INTERRUPTED, "Interrupted"), signal.SIGTERM: (EXIT_TERMINATED, "Terminated")}


# ------------------------------------------------------------ start-up

def _ended_while_starting(signum, frame):
    """Ctrl-C or SIGTERM while the console's own modules are still being
    imported: nothing has started, so there is nothing to unwind; the one
    line and the status of an interrupted run, without a traceback."""
    status, text = ENDINGS[signum]
    try:
        os.write(2, text.encode() + b"\n")
    except OSError:
        pass
    os._exit(status)


def listen_while_starting():
    """Take SIGINT and SIGTERM while the console's modules load; the handlers
    they replaced, for `started`."""
    saved = {}
    for signum in ENDINGS:
        try:
            previous = signal.getsignal(signum)
            if previous is not signal.SIG_IGN:
                signal.signal(signum, _ended_while_starting)
                saved[signum] = previous
        except ValueError:  # imported outside the main thread: signals are not ours to take
            break
    return saved


def started(saved):
    """Put back what `listen_while_starting` replaced (the console's `run`
    then listens for itself; a module that merely imports the console keeps
    its own handlers)."""
    for signum, previous in saved.items():
        signal.signal(signum, previous if previous is not None else signal.SIG_DFL)


# ------------------------------------------------------------ the work

class Terminated(KeyboardInterrupt):
    """SIGTERM, unwinding the work exactly as Ctrl-C does."""


def interrupted(signum):
    """The one line of an interrupted run, after what standard output holds;
    its status."""
    status, text = ENDINGS[signum]
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):
        pass
    try:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
    return status


def signal_of(exc):
    """The signal a KeyboardInterrupt stands for."""
    return signal.SIGTERM if isinstance(exc, Terminated) else signal.SIGINT


class Listener:
    """SIGINT and SIGTERM for one run of the console.

    While `raising`, each raises KeyboardInterrupt (`Terminated` for
    SIGTERM); every signal is remembered in `received`. After `end(status)`
    a signal ends the process at once: with its line and status when the
    run was not already interrupted."""

    def __init__(self):
        self.received = []
        self.raising = True
        self.taken = []  # the signals listened to (not those inherited as ignored)
        self.ending = None  # the status the process leaves with, once decided

    def listen(self):
        for signum in ENDINGS:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                signal.signal(signum, self)
                self.taken.append(signum)

    def end(self, status):
        """The outcome is decided: from now on a signal ends the process.
        The handlers are taken again, in case a library replaced them."""
        self.raising = False
        self.ending = status
        for signum in self.taken:
            signal.signal(signum, self)

    def __call__(self, signum, frame):
        self.received.append(signum)
        if self.ending is not None:
            first = self.ending not in (EXIT_INTERRUPTED, EXIT_TERMINATED)
            if first:
                self.ending = ENDINGS[signum][0]  # first, so that a signal arriving meanwhile only leaves
            _flush()
            if first:
                interrupted(signum)
            os._exit(self.ending)
        if self.raising:
            raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()


def ended_by(exc, listener):
    """The status of a run that `exc` ended outside the runner's own guard,
    reported as the interpreter would have reported it."""
    listener.raising = False
    if isinstance(exc, KeyboardInterrupt):
        return interrupted(signal_of(exc))
    if isinstance(exc, SystemExit):
        code = exc.code
        if code is None:
            return EXIT_OK
        if isinstance(code, int):
            return code & 0xFF
        try:
            sys.stderr.write("%s\n" % (code,))
        except Exception:
            pass
        return EXIT_FAILED
    try:
        sys.excepthook(type(exc), exc, exc.__traceback__)
    except Exception:
        pass
    return EXIT_FAILED


# ------------------------------------------------------------ the exit

def _flush():
    """Python's standard streams, then what native code left in the C
    library's buffers (the teardown that would flush them is skipped)."""
    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        try:
            stream.flush()
        except Exception:  # a stream that fails now has nothing left to say
            pass
    try:
        import ctypes
        ctypes.CDLL(None).fflush(None)
    except Exception:  # no C library to ask: nothing of it to flush
        pass


def _shut_down():
    """What the interpreter does at exit before its teardown: wait for the
    threads that are not daemons, then run the exit functions."""
    import atexit
    threading = sys.modules.get("threading")
    shutdown = getattr(threading, "_shutdown", None)
    if shutdown is not None:
        try:
            shutdown()
        except Exception:
            pass
    atexit._run_exitfuncs()


def leave(status, listener):
    """End the process with `status`; never returns.

    A signal from here on (Ctrl-C in the second after SUCCESS, while the
    exit functions run) ends the process with "Interrupted" and 130 (or
    "Terminated" and 143); so does one that arrived during the work but was
    swallowed. The interpreter's teardown is skipped: its handlers would be
    gone, and nothing of ours is left for it to do."""
    listener.end(status)
    if listener.received and status not in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        # An interrupt that something swallowed: the user still asked to stop.
        listener.end(interrupted(listener.received[0]))
    _flush()
    _shut_down()
    _flush()
    try:
        # Handlers of signals delivered before the block run inside this call;
        # one delivered to us since waits, pending, and is seen below.
        signal.pthread_sigmask(signal.SIG_BLOCK, set(ENDINGS))
        pending = signal.sigpending()
    except (AttributeError, OSError):  # a platform without thread signal masks
        pending = set()
    arrived = [signum for signum in listener.taken if signum in pending]
    ending = listener.ending
    if arrived and ending not in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        ending = interrupted(arrived[0])
        _flush()
    os._exit(ending)
