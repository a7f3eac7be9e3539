"""Seeded studies beyond one process: a dask array of realisations, a zarr
store written chunk by chunk, and the cluster that computes them.

Row i of a study seeded by ``seed`` is drawn from its own stream, child i of
``SeedSequence(seed)`` (see ``Sampler.realisation``), and rows are always
computed in the sampler's aligned groups of eight. A chunk of rows a .. b-1
is therefore the same array whichever worker draws it, in whatever order,
with whatever chunking, and after however many retries: the values depend on
the seed alone, and ``Sampler.realisation(i, seed=seed)`` redraws any row. The
rows are computed with BLAS on one thread wherever they are computed (see
``one_blas_thread``), since a threaded BLAS rounds differently.

The sampler (its factor and its fill) is one key of the graph that every
chunk task depends on; dask moves it to each worker once and the tasks
themselves carry only the seed and their row range (``task_bytes`` measures
them). With ``client=`` it is scattered to every worker of that cluster
beforehand instead, so that it never passes through the scheduler.

This module never draws from numpy's global generator, never gathers a
whole study into one process, never embeds the sampler in each task, and
never lets a store appear under its name before every chunk is in it.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import pickle
import shutil
import uuid
import weakref
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ._checks import check_finite, integer
from .io.atomic import Staged
from .streams import GROUP, SeedState, cores, one_blas_thread, seed_from_state, seed_state, study_seed

__all__ = ["to_dask", "write_zarr", "read_zarr_attrs", "local_cluster", "connect",
           "task_bytes", "sampler_bytes", "study_seed", "row_chunks", "one_blas_thread",
           "MissingExtra", "EXTRA"]

EXTRA = "pip install 'random_field[dask]'"

# A zarr chunk holds at most about this many bytes (8 MiB), as near to it as
# the dask chunks allow: small enough for a reader that wants one
# realisation, large enough for few files.
ZARR_CHUNK_BYTES = 1 << 23

ProgressCallback = Callable[[str, int, int], None]


class MissingExtra(ImportError):
    """A feature needs the optional dask extra, which is not installed."""


def need(what: str) -> None:
    """Import dask.array, distributed and zarr, or refuse `what` in one line."""
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        import threadpoolctl  # noqa: F401
        import zarr  # noqa: F401
    except ImportError:
        raise MissingExtra(f"{what} needs dask, distributed and zarr ({EXTRA})") from None


# ---------------------------------------------------------------------------
# Seeds and chunks


def row_chunks(k: int, N: int, chunks: Any = "auto") -> Tuple[int, ...]:
    """The rows of each chunk: ``"auto"`` (multiples of 8 rows of about dask's
    ``array.chunk-size``, 128 MiB by default), an int (rows per chunk, the
    last one shorter), or a sequence of row counts that add up to k."""
    k = integer("k", k, 0)
    if isinstance(chunks, str):
        if chunks != "auto":
            raise ValueError(f"chunks must be 'auto', a number of rows or a sequence of them, "
                             f"got {chunks!r}")
        import dask
        from dask.utils import parse_bytes
        limit = parse_bytes(dask.config.get("array.chunk-size"))
        rows = max(GROUP, limit // max(8 * N, 1) // GROUP * GROUP)
    elif isinstance(chunks, (Sequence, np.ndarray)):
        sizes = tuple(integer("chunks", c) for c in chunks)
        if any(c < 1 for c in sizes) or sum(sizes) != k:
            raise ValueError(f"chunks must be row counts >= 1 that add up to {k}, got {sizes}")
        return sizes
    else:
        rows = integer("chunks", chunks, 1)
    if k == 0:
        return (0,)
    return (rows,) * (k // rows) + ((k % rows,) if k % rows else ())


def sampler_bytes(sampler: Any) -> int:
    """The bytes of the sampler as it is sent to a worker (pickle protocol 5,
    arrays included)."""
    return len(pickle.dumps(sampler, protocol=5))


# ---------------------------------------------------------------------------
# What a task does


def draw_rows(sampler: Any, seed: SeedState, a: int, b: int) -> np.ndarray:
    """Rows a .. b-1 of the study: a (b - a, N) float64 array, computed with
    BLAS on one thread."""
    return sampler.draw(b - a, seed=seed_from_state(seed), start=a)


def write_rows(sampler: Any, seed: SeedState, a: int, b: int, array_path: str,
               transform: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> int:
    """Draw rows a .. b-1, pass them through `transform` (if any), and write
    them into the zarr array at `array_path` (which must exist: a store that
    was removed is not brought back). Rows that are not finite are refused."""
    import zarr
    rows = draw_rows(sampler, seed, a, b)
    if transform is not None:
        rows = transform(rows)
    bad = ~np.isfinite(rows)
    if bad.any():  # never stored as if it were a field
        r, c = (int(i) for i in np.argwhere(bad)[0])
        raise FloatingPointError(f"realisation {a + r} is not finite at node {c} "
                                 f"({float(rows[r, c])!r})")
    target = zarr.open_array(array_path, mode="r+")
    target[a:b] = rows
    return b - a


def write_study_rows(study: Any, seed: SeedState, a: int, b: int, store: str) -> int:
    """Draw rows a .. b-1 of a study and write each property's into the
    array ``<property>/fields`` of the zarr store at `store`."""
    import zarr
    rows: Dict[str, np.ndarray] = study.draw(b - a, seed=seed_from_state(seed), start=a)
    check_finite(rows, a)
    for name, values in rows.items():
        zarr.open_array(os.path.join(store, name, "fields"), mode="r+")[a:b] = values
    return b - a


# ---------------------------------------------------------------------------
# The graph


def _graph(sampler: Any, k: int, chunks: Any, seed: Any, client: Any,
           task: Callable[..., Any], extra: Tuple[Any, ...], prefix: str,
           data: Optional[Dict[str, Any]] = None
           ) -> Tuple[Dict[Any, Any], str, Tuple[int, ...], np.random.SeedSequence]:
    """The graph of one task per chunk, ``(task, sampler, seed, a, b, *extra)``,
    with the sampler (and `data`, other objects the tasks name by key) as
    keys of their own, or scattered to `client`'s workers."""
    from dask.base import tokenize

    ss = study_seed(seed)
    state = seed_state(ss)
    sizes = row_chunks(k, sampler.N, chunks)
    token = tokenize(sampler)
    skey = f"random-field-sampler-{token}"
    name = f"{prefix}-" + tokenize(token, k, sizes, state, extra)
    dsk: Dict[Any, Any] = {skey: _scatter(client, sampler, skey) if client is not None
                           else sampler}
    for key, value in (data or {}).items():
        dsk[key] = (client.scatter({key: value}, broadcast=True, hash=False)[key]
                    if client is not None else value)
    a = 0
    for c, r in enumerate(sizes):
        dsk[(name, c, 0)] = (task, skey, state, a, a + r) + extra
        a += r
    return dsk, name, sizes, ss


_scattered: "weakref.WeakKeyDictionary[Any, Dict[str, Any]]" = weakref.WeakKeyDictionary()


def _scatter(client: Any, sampler: Any, skey: str) -> Any:
    """The sampler on every worker of `client`'s cluster, under `skey`: sent
    once per sampler and cluster, and kept there while the sampler lives."""
    held = _scattered.setdefault(sampler, {})
    future = held.get(client.id)
    if future is None or future.status != "finished":
        future = held[client.id] = client.scatter(
            {skey: sampler}, broadcast=True, hash=False)[skey]
    return future


def to_dask(sampler: Any, k: int, *, chunks: Any = "auto", seed: Any = None,
            client: Any = None) -> Any:
    """Realisations 0 .. k-1 of the study seeded by `seed` as a lazy
    ``dask.array.Array`` of shape (k, N), float64, chunked by realisations
    (every chunk holds whole realisations; see ``row_chunks`` for `chunks`).

    Row i equals ``sampler.realisation(i, seed=seed)`` bit for bit, whatever
    the chunks, the scheduler, the number of workers or the order of the
    tasks. `seed` is required (an int or a SeedSequence; TypeError without
    one): a dask array is a study, and a study is named by its seed. For
    fresh entropy pass ``np.random.SeedSequence()`` and keep its ``.entropy``.

    Without `client` the sampler is one key of the graph, moved to each
    worker once by whatever scheduler computes the array. With a
    ``distributed.Client`` it is scattered to all its workers now, and the
    array can only be computed on that cluster.
    """
    need("to_dask()")
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    dsk, name, sizes, _ = _graph(sampler, k, chunks, seed, client, draw_rows, (), "random-field")
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=())
    return da.Array(graph, name, chunks=(sizes, (sampler.N,)), dtype=np.float64,
                    meta=np.empty((0, 0), dtype=np.float64))


def task_bytes(array: Any) -> List[int]:
    """The pickled size of every chunk task of an array from ``to_dask``, as
    the scheduler sends it to a worker (the sampler key excluded: it is data,
    sent once per worker)."""
    dsk = dict(array.__dask_graph__())
    try:
        from dask._task_spec import convert_legacy_graph
        tasks = convert_legacy_graph(dsk)
    except ImportError:  # older dask: the tuples are what travels
        tasks = dsk
    return [len(pickle.dumps(tasks[key], protocol=5))
            for key in dsk if isinstance(key, tuple)]


# ---------------------------------------------------------------------------
# Clusters


def local_cluster(n_workers: Optional[int] = None) -> Any:
    """A LocalCluster of this machine's cores: one worker process per core,
    one thread each (dask sets the BLAS threads of each worker to one), no
    dashboard, and nothing logged: failures reach the caller as exceptions."""
    need("a local cluster")
    from distributed import LocalCluster
    return LocalCluster(n_workers=n_workers or cores(), threads_per_worker=1, processes=True,
                        dashboard_address=None, silence_logs=logging.CRITICAL,
                        # the scheduler's HTTP routes on a free port, not on 8787
                        scheduler_kwargs={"dashboard": False, "dashboard_address": ":0"})


@contextlib.contextmanager
def connect(address: Optional[str] = None, timeout: float = 30.0) -> Iterator[Any]:
    """A Client of the scheduler at `address`, or of a local cluster started
    (and stopped on leaving) for the purpose when `address` is None.

    The scheduler is asked who it is before the Client is made, under a
    deadline of `timeout` seconds: an address that cannot be parsed raises
    ValueError; no answer in time (a server that accepts and never answers,
    a host that cannot be reached), a scheme without its configuration
    (tls:// without dask's TLS settings) or a server that is not a scheduler
    raise OSError, each with a one-line message. Leaving closes the Client
    within the same deadline."""
    need("--scheduler" if address else "a local cluster")
    from distributed import Client
    if address:
        import asyncio
        import concurrent.futures

        from distributed.comm import connect as open_comm
        from distributed.security import Security

        async def identity() -> Any:
            comm = await open_comm(address, timeout=timeout,
                                   **Security().get_connection_args("client"))
            try:
                await comm.write({"op": "identity", "reply": True})
                return await comm.read()
            finally:
                comm.abort()

        async def bounded() -> Any:
            return await asyncio.wait_for(identity(), timeout)

        try:
            # A loop of its own, in a thread of its own: the caller may be
            # running a loop already.
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                reply = pool.submit(asyncio.run, bounded()).result()
        except (asyncio.TimeoutError, TimeoutError):
            raise OSError(f"no answer from {address} within {timeout:g} s") from None
        except TypeError as e:  # tls:// without a TLS configuration
            if "ssl" in str(e).lower():
                raise OSError(f"{address}: tls:// needs the certificates of dask's "
                              f"distributed.comm.tls configuration") from None
            raise
        except ValueError as e:
            raise ValueError(f"not a scheduler address: {' '.join(str(e).split())}") from None
        except OSError as e:
            raise OSError(" ".join(str(e).split()) or type(e).__name__) from None
        kind = reply.get("type") if isinstance(reply, dict) else None
        if kind != "Scheduler":
            raise OSError(f"{address} is not a dask scheduler (it answered as {kind or 'something else'})")
        client = Client(address, timeout=timeout, set_as_default=False)
        try:
            yield client
        finally:
            try:
                client.close(timeout=timeout)
            except Exception:  # a scheduler gone by now: nothing is left to close
                pass
        return
    with local_cluster() as cluster, Client(cluster, set_as_default=False) as client:
        yield client


# ---------------------------------------------------------------------------
# The zarr store


def _zarr_chunks(sizes: Tuple[int, ...], N: int) -> Tuple[int, int]:
    """Zarr chunks (rows, columns) that never straddle two dask chunks (their
    rows divide where every dask chunk starts): whole realisations, at most
    about ZARR_CHUNK_BYTES, the most rows that divide the dask chunks; when
    fewer than a group of rows of N nodes fit, a group of rows cut into
    column blocks of about ZARR_CHUNK_BYTES."""
    step = 0
    for s in sizes[:-1]:
        step = math.gcd(step, s)
    if not step:   # one dask chunk: any rows divide it
        step = max(sizes[0] if sizes else 1, 1)
    fit = ZARR_CHUNK_BYTES // max(8 * N, 1)
    if fit < GROUP:
        rows = math.gcd(step, GROUP)
        return rows, max(1, min(N, ZARR_CHUNK_BYTES // (8 * rows)))
    rows = max(d for d in _divisors(step) if d <= fit)
    return rows, max(N, 1)


def _divisors(n: int) -> List[int]:
    small = [d for d in range(1, math.isqrt(n) + 1) if n % d == 0]
    return small + [n // d for d in small]


def _is_store(path: str) -> bool:
    return os.path.isdir(path) and any(
        os.path.exists(os.path.join(path, f)) for f in ("zarr.json", ".zgroup", ".zarray"))


def _json(value: Any) -> Any:
    """Attributes as JSON holds them: numpy scalars and arrays as Python
    numbers and lists."""
    if isinstance(value, dict):
        return {str(k): _json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json(v) for v in value]
    if isinstance(value, np.ndarray):
        return _json(value.tolist())
    if isinstance(value, np.generic):
        return value.item()
    return value


def study_to_dask(study: Any, k: int, *, chunks: Any = "auto", seed: Any = None,
                  client: Any = None) -> Dict[str, Any]:
    """Realisations 0 .. k-1 of a ``Study`` seeded by `seed`: property ->
    lazy ``dask.array.Array`` (k, N), float64, chunked by realisations as
    ``to_dask`` chunks a sampler's. Each chunk's task draws every property
    once (the arrays share it); row i equals ``study.realisation(i,
    seed=seed)[property]`` bit for bit."""
    need("to_dask()")
    import operator

    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    dsk, name, sizes, _ = _graph(study, k, chunks, seed, client, draw_rows, (), "random-field-study")
    out = {}
    for p in study.names:
        pname = f"{name}-{p}"
        layer: Dict[Any, Any] = {(pname, c, 0): (operator.getitem, (name, c, 0), p)
                                 for c in range(len(sizes))}
        graph = HighLevelGraph.from_collections(pname, {**dsk, **layer}, dependencies=())
        out[p] = da.Array(graph, pname, chunks=(sizes, (study.N,)), dtype=np.float64,
                          meta=np.empty((0, 0), dtype=np.float64))
    return out


def write_zarr(sampler: Any, path: str, k: int, *, chunks: Any = "auto", seed: Any = None,
               x: Any = None, z: Any = None, attrs: Optional[Dict[str, Any]] = None,
               transform: Optional[Callable[[np.ndarray], np.ndarray]] = None,
               client: Any = None, progress: Optional[ProgressCallback] = None,
               protect: Iterable[str] = ()) -> None:
    """Write realisations 0 .. k-1 of the study seeded by `seed` (required:
    an int or a SeedSequence, as for ``to_dask``) into a zarr store (a
    directory) at `path`, chunk by chunk, each chunk drawn and written by
    the worker that computes it.

    The store is a group: ``fields`` (k x N float64, realisations x nodes,
    uncompressed), ``x`` and ``z`` (the node coordinates, when given) and
    attributes: `attrs` (the options), and ``seed_entropy``,
    ``seed_spawn_key``, ``seed_pool_size``, ``N``, ``Nchol``, ``Nkrig``,
    ``fill``, ``realisations`` (so that any row can be redrawn with
    ``Sampler.realisation(i, seed=SeedSequence(entropy, spawn_key=...))``).
    `transform(rows) -> rows` (a lognormal, say) is applied to every chunk
    by its worker before it is written; like the sampler it is sent to each
    worker once.

    The chunks run on `client`'s cluster (whose workers must see `path`), or
    in this process when `client` is None. The store is built under a
    temporary name beside `path` and renamed into place when every chunk is
    in it; an existing store at `path` is replaced then, anything else there
    is refused, and so is a store that holds one of the files `protect`
    (the inputs). On any failure or interrupt the temporary store is removed.
    `progress("realisations", done, k)` is called as chunks complete.

    `sampler` may be a ``Study``: then the store holds a group per property
    with its array ``fields`` (``<property>/fields``), each chunk's task
    drawing every property once, and the attributes name the properties and
    the regions (no `transform`: a study's properties carry their own).
    """
    need("a .zarr store")
    import zarr

    target = os.path.realpath(path)  # a link: the store it leads to
    if os.path.lexists(target) and not _is_store(target):
        raise FileExistsError(f"{path}: exists and is not a zarr store; not replaced")
    staged = Staged(list(protect))  # a link is written through to the store it leads to
    temp = staged.directory(path)
    futures: List[Any] = []
    tname = ""
    study = hasattr(sampler, "names")    # a Study: a group per property
    try:
        array_path = os.path.join(temp, "fields")
        extra: Tuple[Any, ...] = (array_path,)
        data = None
        writer: Callable[..., int] = write_rows
        if study:
            if transform is not None:
                raise TypeError("a study transforms its properties itself: no transform")
            extra, writer = (temp,), write_study_rows
        elif transform is not None:
            tkey = f"random-field-transform-{uuid.uuid4().hex}"
            extra, data = (array_path, tkey), {tkey: transform}
        dsk, tname, sizes, ss = _graph(sampler, k, chunks, seed, client, writer,
                                       extra, "random-field-write", data)
        group = zarr.open_group(temp, mode="w", zarr_format=3)
        meta = dict(_json(attrs or {}))
        meta.update(realisations=int(k), N=int(sampler.N),
                    seed_entropy=_json(ss.entropy), seed_spawn_key=list(ss.spawn_key),
                    seed_pool_size=int(ss.pool_size))
        if study:
            meta.update(properties=list(sampler.names),
                        regions=[r.name for r in sampler.regions])
        else:
            meta.update(Nchol=int(sampler.Nchol), Nkrig=int(sampler.Nkrig), fill=str(sampler.fill))
        group.attrs.update(meta)
        for where in ([f"{p}/fields" for p in sampler.names] if study else ["fields"]):
            fields = group.create_array(where, shape=(k, sampler.N), dtype="float64",
                                        chunks=_zarr_chunks(sizes, sampler.N), compressors=None,
                                        fill_value=np.nan, dimension_names=("realisation", "node"))
            fields.attrs.update(meta)
        for label, values in (("x", x), ("z", z)):
            if values is not None:
                v = np.ascontiguousarray(values, dtype=np.float64)
                coords = group.create_array(label, shape=v.shape, dtype="float64",
                                            dimension_names=("node",))
                coords[...] = v
        keys = [key for key in dsk if isinstance(key, tuple)]
        done = 0
        if progress is not None:
            progress("realisations", 0, k)
        if client is None:
            # In this process, chunk after chunk; BLAS uses the cores.
            for key in sorted(keys):
                task = dsk[key]
                done += task[0](dsk[task[1]], *task[2:])
                if progress is not None:
                    progress("realisations", done, k)
        else:
            from distributed import as_completed
            futures = client.get(dsk, keys, sync=False)
            for future in as_completed(futures, loop=client.loop):
                done += future.result()
                if progress is not None:
                    progress("realisations", done, k)
        staged.commit()
    except BaseException:
        if futures:
            client.cancel(futures)
            # A task that is running goes on after its cancellation, and a
            # write could bring back a directory of the store once it is
            # removed: wait for them (they fail at once on a removed store).
            shutil.rmtree(temp, ignore_errors=True)
            _wait_for_running(client, tname)
        staged.discard()
        raise


def _running(name: str, dask_worker: Any = None) -> int:
    """The tasks of the graph `name` that this worker is executing."""
    executing = getattr(getattr(dask_worker, "state", None), "executing", ())
    return sum(1 for ts in executing if isinstance(ts.key, tuple) and ts.key[0] == name)


def _wait_for_running(client: Any, name: str, timeout: float = 120.0) -> None:
    import time
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            counts = client.run(_running, name, on_error="ignore")
        except Exception:  # the cluster is gone: nothing runs there any more
            return
        if not sum(v for v in counts.values() if isinstance(v, int)):
            return
        time.sleep(0.05)


def read_zarr_attrs(path: str) -> Dict[str, Any]:
    """The attributes of a store written by ``write_zarr``, and the study's
    seed rebuilt under ``"seed"`` (a SeedSequence)."""
    need("a .zarr store")
    import zarr
    attrs: Dict[str, Any] = dict(zarr.open_group(path, mode="r").attrs)
    attrs["seed"] = np.random.SeedSequence(attrs["seed_entropy"],
                                           spawn_key=tuple(attrs["seed_spawn_key"]),
                                           pool_size=attrs["seed_pool_size"])
    return attrs
