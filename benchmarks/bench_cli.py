#!/usr/bin/env python3
"""The command line against the library: random-field on 76,800 nodes, K = 100.

    PYTHONPATH=build/dev python benchmarks/bench_cli.py [--reps 3] [--k 100]

Nodes: a 80 m x 60 m grid at 0.25 m (320 x 240 = 76,800 nodes), theta 2,
the Gaussian model. For each fill, every contender runs in a child process
of its own (so that its time and its peak memory are its own):

- ``random-field nodes.npy ... -k K -q -o fields.npy --seed 1``: the wall
  time of the whole command, the interpreter's start and the writing of the
  file included;
- in-process, timed from before the ``Sampler`` build to after the draw
  (the interpreter's start and the imports left out): ``draw(K)`` from
  numpy's global generator, ``draw(K, seed=1)`` (the study the command
  draws), and ``draw(K)`` with ``OPENBLAS_NUM_THREADS=1``. The fastest of
  them is the reference.

Each is measured --reps times (the median is shown) on the machine as it
is, then again beside one competing busy process (a Python loop on one
core). Prints a Markdown table: medians, the ratio of the command to the
fastest in-process contender, and each child's peak resident memory.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

IN_PROCESS = r"""
import json, resource, sys, time
import numpy as np
from random_field_sampler import Sampler
nodes, fill, k, seeded = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
xz = np.load(nodes)
t = time.perf_counter()
s = Sampler(x=xz[:, 0], z=xz[:, 1], theta_z=2.0, mu=20.0, sigma=4.0, model=0, fill=fill)
fields = s.draw(k, seed=1) if seeded else s.draw(k)
elapsed = time.perf_counter() - t
print(json.dumps(dict(seconds=elapsed, N=s.N, Nchol=s.Nchol,
                      peak=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)))
"""


def peak_of(argv, env=None):
    """(wall seconds, peak resident bytes, standard output) of a child, read
    through os.wait4 so that the peak is its own."""
    t = time.perf_counter()
    with open(os.devnull, "w") as null:
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=null, text=True, env=env)
        out = p.stdout.read()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - t
    if p.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, argv))} failed with status {p.returncode}")
    return wall, usage.ru_maxrss * 1024, out


def contenders(folder, fill, k):
    nodes = os.path.join(folder, "nodes.npy")
    out = os.path.join(folder, "fields.npy")
    base = dict(os.environ)
    one = dict(base, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    cmd = [sys.executable, "-m", "random_field_sampler", nodes, "--theta-z", "2", "--mean", "20",
           "--sd", "4", "--fill", fill, "-k", str(k), "-q", "--seed", "1", "-o", out]
    lib = [sys.executable, "-c", IN_PROCESS, nodes, fill, str(k)]
    return [("random-field -o .npy", "cli", cmd, base),
            ("Sampler + draw(K)", "lib", lib + ["0"], base),
            ("Sampler + draw(K, seed=1)", "lib", lib + ["1"], base),
            ("Sampler + draw(K), OPENBLAS_NUM_THREADS=1", "lib", lib + ["0"], one)]


def measure(folder, fill, k, reps):
    rows = []
    for name, kind, argv, env in contenders(folder, fill, k):
        times, peaks = [], []
        for _ in range(reps):
            wall, peak, out = peak_of(argv, env)
            times.append(wall if kind == "cli" else json.loads(out)["seconds"])
            peaks.append(peak)
        rows.append((name, kind, statistics.median(times), max(peaks)))
    return rows


def busy():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--k", type=int, default=100)
    ap.add_argument("--fills", default="conditional,kriging")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        x, z = np.meshgrid(np.arange(320) * 0.25, np.arange(240) * 0.25)
        np.save(os.path.join(folder, "nodes.npy"), np.column_stack([x.ravel(), z.ravel()]))
        print(f"76,800 nodes, K = {a.k}, medians of {a.reps}, {os.cpu_count()} cores\n")
        print("| fill | machine | contender | median s | ratio to the fastest in-process | peak RSS MiB |")
        print("|---|---|---|---|---|---|")
        for fill in a.fills.split(","):
            for machine in ("as it is", "one busy process"):
                hog = busy() if machine != "as it is" else None
                try:
                    rows = measure(folder, fill, a.k, a.reps)
                finally:
                    if hog is not None:
                        hog.kill()
                        hog.wait()
                fastest = min(t for _, kind, t, _ in rows if kind == "lib")
                for name, kind, t, peak in rows:
                    print(f"| {fill} | {machine} | {name} | {t:.2f} | {t / fastest:.2f} | "
                          f"{peak / 2**20:.0f} |", flush=True)


if __name__ == "__main__":
    main()
