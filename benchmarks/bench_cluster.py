#!/usr/bin/env python3
"""A seeded study on a local dask cluster against one process.

    python benchmarks/bench_cluster.py             # K = 1000, N = 10^5 (a few minutes)
    python benchmarks/bench_cluster.py --quick     # K = 200, N = 2 10^4

One sampler over a 125 m x 50 m grid at 0.25 m (N = 100,000; theta = 4, so
Nchol = 1058 and the kriging weights are 0.8 GB) draws K realisations:

* one process: ``Sampler.blocks(K, seed=...)`` into a memory-mapped .npy,
  BLAS on the process's threads (what the command line does for .npy), and
  the same with BLAS on one thread (the bits a cluster gives);
* a LocalCluster of two worker processes of one thread each, the sampler
  scattered to both once: ``write_zarr`` (every chunk drawn and written by
  its worker) and ``to_dask(...).compute()`` (the chunks gathered here).

Prints Markdown tables of medians over the repetitions (contenders
interleaved, so that a slow phase of a shared machine hits every one), the
overhead per chunk (the wall time of the workers beyond what their tasks
computed, per chunk), the bytes sent per task and once per worker, and peak
memory (resident set) of this process and of the workers. Every cluster
result is checked bit for bit against the one-thread single-process run.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

try:
    from random_field_sampler import Sampler
    from random_field_sampler import distributed as rfd
    rfd.need("bench_cluster.py")
    from distributed import Client
except ImportError as exc:  # pragma: no cover - depends on the environment
    sys.exit(f"bench_cluster.py: {exc}\nBuild with scripts/dev-build.sh NAME and run with "
             f"PYTHONPATH=build/NAME, with the dask extra installed.")


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def single_process(s, K, seed, path, one_thread):
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(K, s.N))
    t = time.perf_counter()
    if one_thread:
        with rfd.one_blas_thread():
            for offset, block in s.blocks(K, seed=seed):
                out[offset:offset + len(block)] = block
    else:
        for offset, block in s.blocks(K, seed=seed):
            out[offset:offset + len(block)] = block
    out.flush()
    elapsed = time.perf_counter() - t
    del out
    return elapsed


def on_cluster(client, s, K, seed, chunks, how, folder):
    """(wall seconds, seconds the tasks computed, number of tasks, result)."""
    from distributed import get_task_stream
    with get_task_stream(client) as ts:
        t = time.perf_counter()
        if how == "zarr":
            target = os.path.join(folder, "fields.zarr")
            rfd.write_zarr(s, target, K, chunks=chunks, seed=seed, client=client)
            wall = time.perf_counter() - t
            import zarr
            result = zarr.open_array(os.path.join(target, "fields"), mode="r")
        else:
            result = client.compute(rfd.to_dask(s, K, chunks=chunks, seed=seed,
                                                client=client)).result()
            wall = time.perf_counter() - t
    tasks = [d for d in ts.data if "random-field" in str(d["key"]) and "sampler" not in str(d["key"])]
    busy = sum(ss["stop"] - ss["start"] for d in tasks for ss in d["startstops"]
               if ss["action"] == "compute")
    return wall, busy, len(tasks), result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--chunks", default="40,160", help="rows per chunk, comma-separated")
    args = ap.parse_args()
    nx, nz, K = (200, 100, 200) if args.quick else (500, 200, 1000)
    x, z = (a.ravel().copy() for a in np.meshgrid(np.arange(nx) * 0.25, np.arange(nz) * 0.25))
    seed = 2026
    chunk_sizes = [int(c) for c in args.chunks.split(",")]

    t = time.perf_counter()
    s = Sampler(x=x, z=z, theta_z=4.0, mu=20.0, sigma=4.0, fill="kriging")
    build = time.perf_counter() - t
    print(f"N = {s.N}, Nchol = {s.Nchol}, Nkrig = {s.Nkrig}, K = {K}; sampler built in "
          f"{build:.1f} s; {os.cpu_count()} cores; the machine was shared with other work\n")

    folder = tempfile.mkdtemp(prefix="bench_cluster.")
    times = {}
    worker_peak = []
    chunk_info = {}
    failures = 0
    try:
        npy = os.path.join(folder, "fields.npy")
        with rfd.local_cluster(n_workers=2) as cluster, Client(cluster, set_as_default=False) as client:
            t = time.perf_counter()
            # scattered once; the arrays below find it there
            client.compute(rfd.to_dask(s, 8, chunks=8, seed=seed, client=client)).result()
            scatter = time.perf_counter() - t
            reference = None
            for rep in range(args.repeats):
                for one in (False, True):
                    name = "one process, blocks -> .npy" + (", BLAS 1 thread" if one else "")
                    times.setdefault(name, []).append(single_process(s, K, seed, npy, one))
                    if one and reference is None:
                        reference = np.load(npy, mmap_mode="r")
                for c in chunk_sizes:
                    for how in ("zarr", "compute"):
                        name = (f"2 workers, {'write_zarr' if how == 'zarr' else 'to_dask().compute()'}"
                                f", chunks of {c}")
                        shutil.rmtree(os.path.join(folder, "fields.zarr"), ignore_errors=True)
                        wall, busy, ntasks, result = on_cluster(
                            client, s, K, seed, c, how, folder)
                        times.setdefault(name, []).append(wall)
                        chunk_info.setdefault(name, []).append((wall * 2 - busy) / max(ntasks, 1))
                        if not np.array_equal(np.asarray(result[...]).view(np.uint64),
                                              np.asarray(reference).view(np.uint64)):
                            print(f"MISMATCH: {name} differs from the one-process run")
                            failures += 1
                        del result
            worker_peak = list(client.run(peak_rss_mib).values())
            sizes = rfd.task_bytes(rfd.to_dask(s, K, chunks=chunk_sizes[0], seed=seed))
        base = statistics.median(times["one process, blocks -> .npy"])
        print("| contender | median s | per realisation ms | ratio to one process | overhead per chunk ms |")
        print("|---|---|---|---|---|")
        for name, ts in times.items():
            m = statistics.median(ts)
            over = (f"{1000 * statistics.median(chunk_info[name]):.0f}" if name in chunk_info else "—")
            print(f"| {name} | {m:.2f} | {1000 * m / K:.2f} | {m / base:.2f} | {over} |")
        print()
        print("| what is sent | bytes |")
        print("|---|---|")
        print(f"| per task (median of {len(sizes)}) | {int(statistics.median(sizes))} |")
        print(f"| the sampler, once per worker | {rfd.sampler_bytes(s):,} |")
        print(f"| scattering it to 2 workers (s) | {scatter:.2f} |")
        print()
        print(f"Peak resident memory: this process {peak_rss_mib():.0f} MiB, workers "
              + ", ".join(f"{w:.0f}" for w in worker_peak) + " MiB.")
        print(f"Overhead per chunk: (2 x wall time - time the tasks computed) / chunks, "
              f"so it includes idle workers at the end.")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
