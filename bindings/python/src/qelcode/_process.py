"""What a command-line filter sets up in its process before it starts: the
standard descriptors and the signals that end it."""

from __future__ import annotations

import os
import signal
import sys


def fill_closed_standard_descriptors() -> None:
    """As the tool does: /dev/null on each of descriptors 0-2 that is closed,
    opened the wrong way round (write-only for 0, read-only for 1 and 2) so
    that no file takes its number and using it still fails with "Bad file
    descriptor"; and sys.stdin, sys.stdout and sys.stderr on them where
    Python, finding them closed, left None."""
    for fd in range(3):
        try:
            os.fstat(fd)
            continue
        except OSError:
            pass
        got = os.open(os.devnull, os.O_WRONLY if fd == 0 else os.O_RDONLY)
        if got != fd:
            os.dup2(got, fd)
            os.close(got)
    if sys.stdin is None:
        sys.stdin = open(0, "r", closefd=False)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)


def take_default_signal_actions() -> None:
    """As a filter: end quietly on an interrupt and on a closed pipe, as the
    tool does. An interrupt ignored by the parent (nohup, a shell's
    background job) stays ignored. Python itself ignores SIGPIPE at start
    and keeps no record of what it inherited, so that one is always reset."""
    if hasattr(signal, "SIGINT") and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
