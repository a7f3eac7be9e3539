"""What the command reports and how it ends: a failure in one line, a
signal that unwinds like Ctrl-C."""

from __future__ import annotations

PROG = "random-field"


class Failure(Exception):
    """An error to report in one line, with exit status 1."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwind like KeyboardInterrupt, removing
    what was started, and exit with 128 + the signal's number."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def one_line(e: BaseException) -> str:
    """The first line of an exception's message, for a one-line report."""
    lines = [line.strip() for line in str(e).splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__
