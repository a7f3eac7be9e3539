#!/usr/bin/env python3
"""Benchmark of element averages against centroid values on a mesh of about
10^5 triangles: the build, one realisation (the median over K = 100 drawn
together, seeded), and the peak memory of each, for both models.

    PYTHONPATH=build/dev python benchmarks/bench_averages.py           # K = 100
    PYTHONPATH=build/dev python benchmarks/bench_averages.py --quick   # K = 16

The mesh: a 317 x 158 grid of squares over 100 m x 50 m, each split into
two triangles, its inner nodes moved by up to 20 % of the spacing
(100,172 triangles of sides 0.2 to 0.5 m); theta_z = theta_x = 4 m, so an
element's longest side is 0.05 to 0.13 theta. Each case runs in a child
process of its own, whose peak resident memory is reported. Prints a
Markdown table.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np

NX, NZ, LX, LZ, THETA = 317, 158, 100.0, 50.0, 4.0


def mesh_cells() -> np.ndarray:
    x = np.linspace(0, LX, NX + 1)
    z = np.linspace(0, LZ, NZ + 1)
    X, Z = np.meshgrid(x, z, indexing="ij")
    rng = np.random.default_rng(0)
    inner = (slice(1, -1), slice(1, -1))
    X[inner] += rng.uniform(-0.2, 0.2, X[inner].shape) * (LX / NX)
    Z[inner] += rng.uniform(-0.2, 0.2, Z[inner].shape) * (LZ / NZ)
    p = np.stack([X, Z], axis=-1)
    a, b, c, d = p[:-1, :-1], p[1:, :-1], p[1:, 1:], p[:-1, 1:]
    lower = np.stack([a, b, c], axis=2).reshape(-1, 3, 2)
    upper = np.stack([a, c, d], axis=2).reshape(-1, 3, 2)
    return np.concatenate([lower, upper])


def case(kind: str, model: int, k: int) -> dict:
    from random_field_sampler import Sampler
    from random_field_sampler.averages import CellAverages, Cells

    cells = Cells(mesh_cells())
    t0 = time.perf_counter()
    if kind == "centroid":
        x, z = np.asarray(cells.centroid).T
        s = Sampler(x=x.copy(), z=z.copy(), theta_z=THETA, mu=0.0, sigma=1.0, model=model)
        points = s.N
    else:
        s = CellAverages(cells=cells, theta_z=THETA, mu=0.0, sigma=1.0, model=model)
        points = s.n_points
    build = time.perf_counter() - t0
    s.draw(8, seed=2)                    # warm
    t0 = time.perf_counter()
    s.draw(k, seed=1)
    per = (time.perf_counter() - t0) / k
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    return dict(elements=len(cells), points=points, build=build, per=per, peak=peak)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--case", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    k = 16 if args.quick else 100
    if args.case:
        print(json.dumps(case(args.case[0], int(args.case[1]), int(args.case[2]))))
        return 0
    print("| model | values | elements | points drawn | build [s] | per realisation [ms] "
          "| peak memory [MiB] |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for model, name in ((0, "Gaussian"), (1, "exponential")):
        got = {}
        for kind in ("centroid", "average"):
            out = subprocess.run([sys.executable, __file__, "--case", kind, str(model), str(k)],
                                 check=True, capture_output=True, text=True).stdout
            r = got[kind] = json.loads(out.strip().splitlines()[-1])
            print(f"| {name} | {kind} | {r['elements']:,} | {r['points']:,} | {r['build']:.2f} "
                  f"| {1000 * r['per']:.2f} | {r['peak']:.0f} |", flush=True)
        ratio = got["average"]["per"] / got["centroid"]["per"]
        print(f"| {name} | averages / centroids | | | "
              f"{got['average']['build'] / got['centroid']['build']:.2f}x | {ratio:.2f}x | |",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
