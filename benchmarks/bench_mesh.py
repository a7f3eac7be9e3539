#!/usr/bin/env python3
"""Benchmarks of the mesh files: reading a Gmsh mesh with its centroids, and
writing K realisations onto it as .vtu and as an .xdmf time series.

    PYTHONPATH=build/dev python benchmarks/bench_mesh.py            # K = 100
    PYTHONPATH=build/dev python benchmarks/bench_mesh.py --quick    # fewer repetitions

The meshes are the slope with a tunnel of examples/slope_mesh.py (6-node
triangles), made with gmsh at two element sizes. Prints a Markdown table:
the median over repetitions of each step, and the peak of the memory that
Python and numpy allocate during it (tracemalloc), beside the size of the
realisations themselves (K x values x 8 bytes).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np

from random_field_sampler.io import mesh as fe

HERE = Path(__file__).resolve().parent


def measure(fn, repeats):
    times, peaks = [], []
    for _ in range(repeats):
        tracemalloc.start()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
    return statistics.median(times), max(peaks)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("-k", type=int, default=100)
    args = ap.parse_args()
    repeats = 3 if args.quick else 7
    rows = ["| mesh | step | values per realisation | median time [s] | peak memory [MiB] | realisations [MiB] |",
            "|---|---|---:|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as d:
        for size in (0.6, 0.3):
            msh = os.path.join(d, f"slope{size}.msh")
            subprocess.run([sys.executable, str(HERE.parent / "examples" / "slope_mesh.py"), msh,
                            "--size", str(size)], check=True, stdout=subprocess.DEVNULL)
            m = fe.read(msh)
            name = f"{m.n_nodes} nodes, {m.n_cells} triangles"
            t, peak = measure(lambda: fe.read(msh), repeats)
            rows.append(f"| {name} | read + centroids | | {t:.3f} | {peak / 2**20:.1f} | |")
            for at in ("nodes", "cells"):
                values = np.random.default_rng(1).standard_normal((args.k, m.size(at)))
                for suffix in (".vtu", ".xdmf"):
                    out = os.path.join(d, "fields" + suffix)
                    t, peak = measure(lambda: fe.write(out, m, values, at), repeats)
                    rows.append(f"| {name} | write {args.k} at {at}, {suffix} | {m.size(at)} | {t:.3f} "
                                f"| {peak / 2**20:.1f} | {values.nbytes / 2**20:.1f} |")
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
