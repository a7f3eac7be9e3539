#!/usr/bin/env python3
"""The sampler at the sizes of real meshes: build, per-realisation time and
peak memory of the kriging fill, against the method of solving the kriging
system for every kriged node (the driver's solve, kept once).

    python benchmarks/bench_scale.py            # N = 5000, 80,601 and about 10^6
    python benchmarks/bench_scale.py --quick    # N = 5000 and 80,601 only

Every measurement runs in its own child process with an address-space limit
(RLIMIT_AS), so that an oversized plan ends in MemoryError, not in the
kernel's out-of-memory killer; peak memory is the child's ru_maxrss. The
domain is 100 m x 50 m with theta = 2 (Gaussian model, default Dhchol),
unit sigma, zero mean. Times are medians over the repetitions of one run.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import sys
import time

import numpy as np

from child import run_child

GiB = 2**30
K = 100            # realisations per draw


def mesh(case: str):
    if case == "5000":      # 100 x 50 nodes, 0.75 m apart
        x, z = np.meshgrid(np.arange(100) * 0.75, np.arange(50) * 0.75)
    else:
        h = {"80601": 0.25, "1e6": 0.07}[case]
        x, z = np.meshgrid(np.arange(0.0, 100.0 + 1e-9, h), np.arange(0.0, 50.0 + 1e-9, h))
    return x.ravel().copy(), z.ravel().copy()


def child_new(case: str, max_memory: int) -> dict:
    from random_field_sampler import Sampler
    x, z = mesh(case)
    t0 = time.perf_counter()
    s = Sampler(x=x, z=z, theta_z=2.0, mu=0.0, sigma=1.0, max_memory=max_memory, fill="kriging")
    build = time.perf_counter() - t0
    np.random.seed(1)
    t0 = time.perf_counter()
    f = s.draw(K)
    draws = time.perf_counter() - t0
    t0 = time.perf_counter()
    np.random.normal(loc=0, scale=1, size=(K, s.N))
    normals = time.perf_counter() - t0
    res = dict(N=s.N, Nchol=s.Nchol, Nkrig=s.Nkrig, build=build, draws=draws, normals=normals,
               kept=s._fill.B is not None)
    if case != "1e6":   # the kriged values against W^T c with the solved weights
        np.save(f"/tmp/bench_scale_{os.getpid()}.npy", f[:4])
        res["sample"] = f"/tmp/bench_scale_{os.getpid()}.npy"
    return res


def child_old(case: str) -> dict:
    """The method of solving for every kriged node: what the sampler did
    before, step for step."""
    import random_field
    x, z = mesh(case)
    sigma = np.ones(len(x))
    t0 = time.perf_counter()
    ci, xc, zc, ki, xk, zk = random_field.get_chol_krig_nodes(x, z, np.sqrt(2 * np.pi) * 2.0 / 4)
    COV = random_field.get_COV(xc, zc, 2.0, 0, sigma[list(ci)])
    Nchol = len(COV)
    L = np.linalg.cholesky(COV + 0.0001 * np.min(COV) * np.identity(Nchol))
    C = random_field.get_C_chol_krig(xc, zc, xk, zk, 2.0, 0, sigma[list(ci)], sigma[list(ki)])
    Nkrig = C.shape[1]
    rhs = np.vstack((C, np.ones(Nkrig)))
    del C
    A = np.hstack((COV, np.transpose([np.ones(Nchol)])))
    A = np.vstack((A, np.ones(Nchol + 1)))
    A[Nchol, Nchol] = 0.0
    krig = np.linalg.solve(A, rhs)
    del A, rhs
    W = krig[:Nchol]
    build = time.perf_counter() - t0
    np.random.seed(1)
    t0 = time.perf_counter()
    rv = np.random.normal(loc=0, scale=1, size=(K, Nchol))
    chol = rv @ L.T
    out = np.empty((K, len(x)))
    out[:, ci] = chol
    out[:, ki] = chol @ W
    draws = time.perf_counter() - t0
    np.save(f"/tmp/bench_scale_{os.getpid()}.npy", out[:4])
    return dict(N=len(x), Nchol=Nchol, Nkrig=Nkrig, build=build, draws=draws,
                sample=f"/tmp/bench_scale_{os.getpid()}.npy")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--child", nargs="+")
    a = ap.parse_args()
    if a.child:
        kind, case = a.child[0], a.child[1]
        res = child_new(case, int(a.child[2])) if kind == "new" else child_old(case)
        res["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(json.dumps(res))
        return 0

    cases = ["5000", "80601"] + ([] if a.quick else ["1e6"])
    # budgets and address-space limits: the sampler's budget well inside the limit
    plan = {"5000": (1 * GiB, 3 * GiB), "80601": (int(1.3 * GiB), 3 * GiB),
            "1e6": (int(4.5 * GiB), 7 * GiB)}
    rows = []
    for case in cases:
        budget, limit = plan[case]
        new, old = [], []
        for _ in range(a.reps if case != "1e6" else 1):
            new.append(run_child(__file__, ["new", case, str(budget)], limit))
            if case != "1e6":
                old.append(run_child(__file__, ["old", case], 12 * GiB))
        bad = [r for r in new + old if "error" in r]
        if bad:
            print(f"case {case}: {bad[0]['error']}")
            continue
        med = lambda rs, key: statistics.median(r[key] for r in rs)  # noqa: E731
        r = dict(case=case, N=new[0]["N"], Nchol=new[0]["Nchol"], Nkrig=new[0]["Nkrig"],
                 build=med(new, "build"), draw=med(new, "draws") / K,
                 normals=med(new, "normals") / K, peak=max(x["maxrss"] for x in new),
                 kept=new[0]["kept"])
        if old:
            r.update(old_build=med(old, "build"), old_draw=med(old, "draws") / K,
                     old_peak=max(x["maxrss"] for x in old))
            a1, a2 = np.load(new[0]["sample"]), np.load(old[0]["sample"])
            r["agree"] = float(np.abs(a1 - a2).max() / np.abs(a2).max())
        for x in new + old:
            if "sample" in x and os.path.exists(x["sample"]):
                os.unlink(x["sample"])
        rows.append(r)
        print(json.dumps(r), flush=True)

    print()
    print("| N | Nchol | Nkrig | build | per realisation | ÷ N normal variates | peak memory "
          "| solving for every kriged node: build, per realisation, peak | build speed-up |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        old = (f"{r['old_build']:.2f} s, {r['old_draw'] * 1e3:.2f} ms, {r['old_peak'] / GiB:.2f} GiB"
               if "old_build" in r else f"not run: the cross covariance alone is {8 * r['Nchol'] * r['Nkrig'] / 1e9:.1f} GB")
        ratio = f"{r['old_build'] / r['build']:.1f}×" if "old_build" in r else "—"
        print(f"| {r['N']:,} | {r['Nchol']:,} | {r['Nkrig']:,} | {r['build']:.2f} s "
              f"| {r['draw'] * 1e3:.2f} ms | {r['draw'] / r['normals']:.1f}× "
              f"| {r['peak'] / GiB:.2f} GiB | {old} | {ratio} |")
    for r in rows:
        if "agree" in r:
            print(f"N = {r['N']}: max |new - old| / max |old| over 4 realisations = {r['agree']:.1e}")
        if r["case"] == "1e6":
            print(f"N = {r['N']}: build + {K} realisations = {r['build'] + r['draw'] * K:.1f} s, "
                  f"peak {r['peak'] / GiB:.2f} GiB; cross covariance kept: {r['kept']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
