"""Randomness, in one place: study seeds, the stream of each realisation,
the aligned groups in which rows are computed, and BLAS on one thread.

A *study* is named by a seed (an int or a ``SeedSequence``): realisation i
is drawn from its own stream, child i of ``SeedSequence(seed)`` (as
``spawn`` makes it), so any row can be redrawn alone, by any process, in any
order. Rows are computed in aligned groups of ``GROUP``: a matrix product's
result for one row depends on the other rows of its product, so each row of a
study is always computed in the same company (rows 8g .. 8g + 7), and a row's
bits do not depend on the batch, the chunking or the number of workers.

OpenBLAS also rounds a product differently when it runs it on several
threads, so rows are computed with BLAS on one thread (``one_blas_thread``)
and the cores are used by running row groups side by side
(``run_groups``): the same bits in every process, dask workers included.

This module never draws from numpy's global generator.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import sys
import threading
from typing import Any, Callable, Iterator, List, Optional, Tuple

import numpy as np

from ._checks import refuse_bool

__all__ = ["GROUP", "study_seed", "study_stream", "study_variates", "seed_state",
           "seed_from_state", "one_blas_thread", "groups", "run_groups", "cores", "round_up"]

# Rows are computed in aligned groups of this many.
GROUP = 8

SeedState = Tuple[Any, Tuple[int, ...], int]


def round_up(rows: int) -> int:
    """Rows rounded up to whole groups."""
    return -(-rows // GROUP) * GROUP


def study_seed(seed: Any) -> np.random.SeedSequence:
    """The SeedSequence of a study: an int (>= 0) or a sequence of them, or a
    SeedSequence as it is (``np.random.SeedSequence()`` takes fresh entropy:
    read it back from ``.entropy`` to repeat the study). None, bools, floats
    and generators are refused: a generator's state cannot name a stream per
    realisation."""
    if isinstance(seed, np.random.SeedSequence):
        return seed
    refuse_bool("seed", seed)
    if seed is None:
        raise TypeError("a study needs a seed: an int or a SeedSequence "
                        "(np.random.SeedSequence() for fresh entropy, kept in its .entropy)")
    if isinstance(seed, (np.random.Generator, np.random.BitGenerator, np.random.RandomState)):
        raise TypeError("a study's seed must be an int or a SeedSequence, not a generator: "
                        "each realisation gets its own stream spawned from the seed")
    if isinstance(seed, (float, np.floating, str, bytes)):
        raise TypeError(f"a study's seed must be an int or a SeedSequence, not {type(seed).__name__}")
    return np.random.SeedSequence(seed)


def study_stream(seed: Any, i: int) -> np.random.Generator:
    """The generator of realisation i of the study seeded by `seed`: child i
    of ``SeedSequence(seed)``, as ``spawn`` makes it."""
    ss = study_seed(seed)
    child = np.random.SeedSequence(ss.entropy, spawn_key=tuple(ss.spawn_key) + (i,),
                                   pool_size=ss.pool_size)
    return np.random.default_rng(child)


def study_variates(seed: Any, first: int, rows: int, n: int) -> np.ndarray:
    """The (rows, n) standard normal variates of realisations first ..
    first + rows - 1 of the study."""
    ss = study_seed(seed)
    V = np.empty((rows, n))
    for j in range(rows):
        V[j] = study_stream(ss, first + j).standard_normal(n)
    return V


def seed_state(ss: np.random.SeedSequence) -> SeedState:
    """A SeedSequence as plain values (for a dask key, a token, attributes)."""
    return (ss.entropy, tuple(int(v) for v in ss.spawn_key), int(ss.pool_size))


def seed_from_state(state: SeedState) -> np.random.SeedSequence:
    entropy, spawn_key, pool_size = state
    return np.random.SeedSequence(entropy, spawn_key=tuple(spawn_key), pool_size=pool_size)


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# ---------------------------------------------------------------------------
# BLAS on one thread
#
# The limit is process-wide, so overlapping users (dask's threaded scheduler,
# the row groups of run_groups) share one, and the last to finish lifts it.
# threadpoolctl lets only the thread that first set a limit change it again,
# and silently ignores the others; any thread may be first or last here, so
# that ownership is released each time.
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
    changes without threadpoolctl). Never changes a limit it has not set,
    and restores the original limits when the last user is done."""
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


# ---------------------------------------------------------------------------
# Row groups side by side

_pool_lock = threading.Lock()
_pool: Optional[concurrent.futures.ThreadPoolExecutor] = None
_pool_pid = 0


def _executor() -> concurrent.futures.ThreadPoolExecutor:
    global _pool, _pool_pid
    with _pool_lock:
        if _pool is None or _pool_pid != os.getpid():   # a forked child has no threads
            _pool = concurrent.futures.ThreadPoolExecutor(
                max_workers=cores(), thread_name_prefix="random-field-rows")
            _pool_pid = os.getpid()
        return _pool


_inside = threading.local()


def _default_threads() -> int:
    """The cores, or one inside a dask worker: its cluster already runs a
    task on each of its threads."""
    worker = sys.modules.get("distributed")
    if worker is not None:
        try:
            worker.get_worker()
            return 1
        except (ValueError, AttributeError):
            pass
    return cores()


def groups(rows: int, first: int = 0) -> List[Tuple[int, int]]:
    """The aligned groups of rows first .. first + rows - 1, as (a, b) slices
    of 0 .. rows: a group is cut where an absolute row index is a multiple
    of GROUP, so the first and the last group may be partial."""
    cuts = [0] + list(range(-first % GROUP or GROUP, rows, GROUP)) + [rows]
    return [(a, b) for a, b in zip(cuts, cuts[1:]) if b > a]


def run_groups(rows: int, work: Callable[[int, int], None], first: int = 0,
               threads: Optional[int] = None) -> None:
    """Call ``work(a, b)`` once for each aligned group of rows (see
    ``groups``), consecutive groups on each of up to `threads` threads
    (default: the cores; one in a dask worker), side by side, with BLAS on
    one thread. Each group
    is computed by the same code whichever thread takes it, so the results
    do not depend on the number of threads. The first failure is raised once
    every thread has ended."""
    todo = groups(rows, first)
    if not todo:
        return
    n = max(1, min(len(todo), _default_threads() if threads is None else threads))
    if getattr(_inside, "active", False):   # already on a pool thread: no nesting
        n = 1
    per = -(-len(todo) // n)
    shares = [todo[i:i + per] for i in range(0, len(todo), per)]

    def each(share: List[Tuple[int, int]]) -> None:
        for a, b in share:
            work(a, b)

    with one_blas_thread():
        if len(shares) == 1:
            each(shares[0])
            return

        def run(share: List[Tuple[int, int]]) -> None:
            _inside.active = True
            try:
                each(share)
            finally:
                _inside.active = False

        futures = [_executor().submit(run, share) for share in shares[1:]]
        error: Optional[BaseException] = None
        try:
            each(shares[0])
        except BaseException as exc:   # the others still run to their end
            error = exc
        for f in futures:
            try:
                f.result()
            except BaseException as exc:
                error = error or exc
        if error is not None:
            raise error
