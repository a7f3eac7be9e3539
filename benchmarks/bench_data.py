#!/usr/bin/env python3
"""Conditioning on measured data at the sizes of real meshes: build, time per
realisation and peak memory of the conditional fill with 0, 10^2, 10^3 and
10^4 data on vertical lines (cone penetration tests), in one run.

    python benchmarks/bench_data.py                       # N = 10^5 and 10^6
    python benchmarks/bench_data.py --sizes 1e5 --data 0,100,1000
    python benchmarks/bench_data.py --model 1             # the exponential model

The domain is 100 m x 50 m with theta = 2 (default Dhchol), mu = 10,
sigma = 2, on a grid of about N nodes. The data lie on vertical lines that
miss the grid's columns, the lines 100 / (lines + 1) m apart, the points on
a line evenly spread over the depth: 2 lines for 10^2 data, 5 for 10^3, 10
for 10^4 (1000 points a line, 5 cm apart). Every measurement runs in its own
child process with an address-space limit; peak memory is the child's
ru_maxrss. Times are medians over the repetitions.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import sys
import time

import numpy as np

from child import run_child

GiB = 2**30
K = 64            # realisations per draw
LINES = {100: 2, 1000: 5, 10000: 10}


def mesh(size: float):
    h = float(np.sqrt(100.0 * 50.0 / size))
    x, z = np.meshgrid(np.arange(0.0, 100.0 + 1e-9, h), np.arange(0.0, 50.0 + 1e-9, h))
    return x.ravel().copy(), z.ravel().copy(), h


def cpts(nd: int, h: float):
    lines = LINES.get(nd, max(1, nd // 1000))
    per = nd // lines
    xs = np.linspace(0.0, 100.0, lines + 2)[1:-1] + 0.37 * h
    zd = np.tile(np.linspace(0.3, 49.7, per), lines)
    xd = np.repeat(xs, per)
    values = 10.0 + np.sin(xd / 7.0) + np.cos(zd / 3.0)
    return xd, zd, values


def child(size: float, nd: int, model: int, budget: int) -> dict:
    from random_field_sampler import Sampler
    x, z, h = mesh(size)
    kw = {}
    if nd:
        kw["data"] = cpts(nd, h)
    t0 = time.perf_counter()
    s = Sampler(x=x, z=z, theta_z=2.0, mu=10.0, sigma=2.0, model=model, max_memory=budget, **kw)
    build = time.perf_counter() - t0
    s.draw(2, seed=0)   # warm
    t0 = time.perf_counter()
    s.draw(K, seed=1)
    draws = time.perf_counter() - t0
    return dict(N=s.N, Nchol=s.Nchol, nd=nd, build=build, draw=draws / K,
                plan=s.plan(K).build)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1e5,1e6")
    ap.add_argument("--data", default="0,100,1000,10000")
    ap.add_argument("--model", type=int, default=0)
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--child", nargs="+")
    a = ap.parse_args()
    if a.child:
        res = child(float(a.child[0]), int(a.child[1]), int(a.child[2]), int(a.child[3]))
        res["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(json.dumps(res))
        return 0
    rows = []
    for size in (float(v) for v in a.sizes.split(",")):
        budget, limit = (int(4.5 * GiB), 7 * GiB) if size > 3e5 else (2 * GiB, 4 * GiB)
        for nd in (int(v) for v in a.data.split(",")):
            got = [run_child(__file__, [str(size), str(nd), str(a.model), str(budget)], limit)
                   for _ in range(a.reps)]
            bad = [r for r in got if "error" in r]
            if bad:
                print(f"N ~ {size:g}, {nd} data: {bad[0]['error']}", flush=True)
                continue
            r = dict(got[0], build=statistics.median(g["build"] for g in got),
                     draw=statistics.median(g["draw"] for g in got),
                     maxrss=max(g["maxrss"] for g in got))
            rows.append(r)
            print(json.dumps(r), flush=True)
    base = {r["N"]: r for r in rows if r["nd"] == 0}
    print()
    print(f"model {a.model}, {K} realisations a draw")
    print()
    print("| N | Nchol | data | build | ÷ no data | per realisation | ÷ no data | peak memory |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        b = base.get(r["N"])
        rb = f"{r['build'] / b['build']:.2f}×" if b else "—"
        rd = f"{r['draw'] / b['draw']:.2f}×" if b else "—"
        print(f"| {r['N']:,} | {r['Nchol']:,} | {r['nd']:,} | {r['build']:.2f} s | {rb} "
              f"| {r['draw'] * 1e3:.1f} ms | {rd} | {r['maxrss'] / GiB:.2f} GiB |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
