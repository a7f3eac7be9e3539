"""The command's entry point: its exit codes (0; 1 for a failure, in one
line; 2 for a wrong command line; 130 after Ctrl-C, 128 + the signal after
SIGTERM or SIGHUP) and the signals that unwind it."""

from __future__ import annotations

import signal
import sys
from typing import Callable, Dict, List, Optional, Sequence, Union

from ..io.atomic import OutputError
from .arguments import parse_args
from .errors import PROG, Failure, Terminated, one_line
from .run import run
from .study import is_study, parse_study_args, run_study


def catch_termination() -> Callable[[], None]:
    """SIGTERM and SIGHUP raise Terminated, once; the returned function puts
    the previous handlers back. A signal that the caller ignores (nohup)
    stays ignored."""
    stopping: List[int] = []

    def stop(signum, frame):
        if not stopping:  # later signals would cut the clean-up short
            stopping.append(signum)
            raise Terminated(signum)

    saved: Dict[int, Union[Callable, int, None]] = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            if signal.getsignal(signum) == signal.SIG_DFL:
                saved[signum] = signal.signal(signum, stop)
        except ValueError:  # not the main thread: leave the handlers alone
            pass

    def restore() -> None:
        for signum, handler in saved.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)

    return restore


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    work: Callable[..., None] = run
    if is_study(argv):   # a study file: regions and properties
        args, work = parse_study_args(argv), run_study
    else:
        args = parse_args(argv)
    restore = catch_termination()
    try:
        work(args)
    except (Failure, OutputError) as e:
        print(f"{PROG}: error: {one_line(e)}", file=sys.stderr)
        return 1
    except MemoryError as e:  # the sampler's plan says what it needs, in one line
        print(f"{PROG}: error: {one_line(e) if str(e) else 'not enough memory for this mesh'}",
              file=sys.stderr)
        return 1
    except OSError as e:  # a disk that fills up while writing, for instance
        print(f"{PROG}: error: {e.filename or 'output'}: {e.strerror or one_line(e)}",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated as e:
        print(f"{PROG}: terminated by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum
    except Exception as e:  # a fault of this program: still one line
        print(f"{PROG}: error: {type(e).__name__}: {one_line(e)}", file=sys.stderr)
        return 1
    finally:
        restore()
    return 0
