#!/usr/bin/env python3
"""The conditional fill at scale: 100 m x 50 m at 0.07 m (N ~ 10^6), theta 2.

    PYTHONPATH=build/dev python benchmarks/bench_conditional.py [--h 0.07] [--rows 32] [--reps 3]
        [--build NAME=PATH ...] [--nearest]

For each model, in a child process of its own (so that its peak memory is
its own): the build of ``Sampler(..., fill="conditional")``, the time per
realisation of ``draw(rows, rng=...)`` in one batch (median of --reps), the
time per realisation of the fill alone (the kriged nodes from given
variates), the cost of drawing N standard normal variates with numpy (the
floor: a realisation takes N of them), and the child's peak resident memory.
Prints a Markdown table. ``--build NAME=PATH`` (repeatable) runs each model
with the package found at PATH (e.g. two builds side by side, in the same
run, alternating); ``--nearest`` adds the exponential model with
``ConditionalFill(selection="nearest")`` (its 30 nearest earlier nodes).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, resource, statistics, sys, time
import numpy as np
from random_field_sampler import Sampler
model, h, rows, reps = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
fill = "conditional"
if len(sys.argv) > 5:
    from random_field_sampler import ConditionalFill
    fill = ConditionalFill(**json.loads(sys.argv[5]))
X, Z = np.meshgrid(np.arange(0, 100, h), np.arange(0, 50, h))
x, z = X.ravel(), Z.ravel()
del X, Z
t = time.perf_counter()
s = Sampler(x=x, z=z, theta_z=2.0, mu=20.0, sigma=4.0, model=model, fill=fill)
build = time.perf_counter() - t
draw, fill, normal = [], [], []
g = np.random.default_rng(1)
for _ in range(reps):
    t = time.perf_counter(); r = s.draw(rows, rng=g); draw.append((time.perf_counter() - t) / rows)
    del r
    out = np.zeros((rows, s.N)); eps = g.standard_normal((rows, s.Nkrig))
    t = time.perf_counter(); s._fill.fill(out, eps); fill.append((time.perf_counter() - t) / rows)
    del out, eps
    t = time.perf_counter(); e = g.standard_normal((rows, s.N)); normal.append((time.perf_counter() - t) / rows)
    del e
print(json.dumps(dict(N=s.N, Nchol=s.Nchol, build=build, draw=statistics.median(draw),
                      fill=statistics.median(fill), normal=statistics.median(normal),
                      held=s._fill.held_bytes(),
                      peak=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)))
"""


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--h", type=float, default=0.07)
    p.add_argument("--rows", type=int, default=32)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--build", action="append", default=[],
                   help="NAME=PATH: the package at PATH (PYTHONPATH), repeatable")
    p.add_argument("--nearest", action="store_true")
    a = p.parse_args()
    builds = [b.split("=", 1) for b in a.build] or [["", ""]]
    runs = [(0, "Gaussian", ""), (1, "exponential", "")]
    if a.nearest:
        runs.append((1, "exponential, nearest 30", '{"selection": "nearest"}'))
    print(f"| build | model | N | Nchol | build (s) | per realisation, draw (s) | fill alone (s) | "
          f"N normals (s) | draw / normals | fill held (MiB) | peak RSS (MiB) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for model, name, options in runs:
        for build, path in builds:
            env = dict(os.environ)
            if path:
                env["PYTHONPATH"] = path
            r = subprocess.run([sys.executable, "-c", CHILD, str(model), str(a.h), str(a.rows),
                                str(a.reps)] + ([options] if options else []),
                               capture_output=True, text=True, env=env)
            if r.returncode != 0:
                print(f"| {build} | {name} | failed: {r.stderr.strip().splitlines()[-1]} |",
                      flush=True)
                continue
            d = json.loads(r.stdout.strip().splitlines()[-1])
            print(f"| {build} | {name} | {d['N']} | {d['Nchol']} | {d['build']:.1f} | "
                  f"{d['draw']:.3f} | {d['fill']:.3f} | {d['normal']:.3f} | "
                  f"{d['draw'] / d['normal']:.1f} | {d['held'] / 2**20:.0f} | "
                  f"{d['peak'] / 2**20:.0f} |", flush=True)


if __name__ == "__main__":
    main()
