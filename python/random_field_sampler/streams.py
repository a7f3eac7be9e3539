"""BLAS on one thread while the rows of a seeded study are computed.

OpenBLAS gives a product a different rounding when it runs it on several
threads, so the rows of a study are always computed with BLAS on one thread:
in the calling process and in dask's workers (which have one) alike, so that
``realisation(i, seed)`` and every path of a study give the same bits. The
limit needs threadpoolctl (in the dask extra); without it the rows are
computed with whatever BLAS threads the process has, which are the same for
every path within one process. This module never changes a limit it has not
set, and restores the original limits when the last user is done.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Any, Iterator

__all__ = ["one_blas_thread"]

# OpenBLAS gives a product a different rounding when it runs it on several
# threads (it blocks the inner dimension differently; seen from Nchol = 540
# on this kind of CPU): the same rows drawn in a process with two BLAS
# threads and in a dask worker, which has one, differ in the last bits. Rows
# are therefore always computed with BLAS on one thread. The limit is
# process-wide, so overlapping tasks (dask's threaded scheduler) share one,
# and the last to finish lifts it. threadpoolctl lets only the thread that
# first set a limit change it again, and silently ignores the others; any
# thread may be first or last here, so that ownership is released each time.
_blas_lock = threading.Lock()
_blas_users = 0
_blas_limit: Any = None


def _release_blas_ownership() -> None:
    import threadpoolctl
    release = getattr(getattr(threadpoolctl, "OpenBLASController", None),
                      "clear_controlling_thread", None)
    if release is not None:
        release(force=True)


@contextlib.contextmanager
def one_blas_thread() -> Iterator[None]:
    """BLAS on one thread in this process while the block runs (nothing
    changes without threadpoolctl)."""
    global _blas_users, _blas_limit
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        yield
        return
    with _blas_lock:
        if _blas_users == 0:
            _release_blas_ownership()
            _blas_limit = threadpool_limits(1, user_api="blas")
            _release_blas_ownership()
        _blas_users += 1
    try:
        yield
    finally:
        with _blas_lock:
            _blas_users -= 1
            if _blas_users == 0:
                _release_blas_ownership()
                _blas_limit.restore_original_limits()
                _release_blas_ownership()
                _blas_limit = None
