"""A worker's process tree (the worker and whatever it started, such as a
child that runs untrusted work): its memory, and ending all of it."""

import os
import signal
import subprocess
import sys
from typing import Dict, List


def _children_linux(pid: int) -> List[int]:
    found: List[int] = []
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                found += [int(p) for p in f.read().split()]
        except (OSError, ValueError):
            pass
    return found


def _table_ps() -> Dict[int, List[int]]:
    """{pid: [ppid, rss KiB]} of every process, from ps (where there is no /proc)."""
    try:
        text = subprocess.run(["ps", "-A", "-o", "pid=,ppid=,rss="], capture_output=True, text=True,
                              timeout=10).stdout
    except (OSError, subprocess.SubprocessError):
        return {}
    table = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and all(p.isdigit() for p in parts):
            table[int(parts[0])] = [int(parts[1]), int(parts[2])]
    return table


LINUX = sys.platform.startswith("linux") and os.path.isdir("/proc/self/task")


def tree(pid: int) -> List[int]:
    """`pid` and its descendants."""
    if LINUX:
        found, pending = [], [pid]
        while pending:
            current = pending.pop()
            if current not in found:
                found.append(current)
                pending += _children_linux(current)
        return found
    table = _table_ps()
    found = [pid]
    for current in found:
        found += [p for p, (parent, _) in table.items() if parent == current and p not in found]
    return found


def _rss_linux(pid: int) -> int:
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return 0


def tree_memory(pid: int) -> int:
    """The resident memory of `pid` and its descendants, in bytes."""
    if LINUX:
        return sum(_rss_linux(p) for p in tree(pid))
    table = _table_ps()
    return sum(table.get(p, [0, 0])[1] * 1024 for p in tree(pid))


def kill_tree(pid: int) -> None:
    """SIGKILL to `pid` and every descendant (found first, so none is
    orphaned out of reach)."""
    for process in reversed(tree(pid)):
        try:
            os.kill(process, signal.SIGKILL)
        except OSError:
            pass


def available_memory() -> int:
    """The memory this machine can still give, in bytes (0 when unknown)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return 0


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1
