#!/usr/bin/env python3
"""What the conditional fill gives, exactly (no sampling), on every mesh
class: the largest covariance error over all pairs and the range of the
node variances, against the model.

    PYTHONPATH=build/dev python benchmarks/fills.py [--nearest] [--grid] [names...]

For each mesh of fill_meshes.py (or those whose names contain one of
`names`) and each model at the default options: the exact covariance of the
fill (it is linear in its variates: the recursion over the drawing order of
``Sampler.covariance``) against sigma_i sigma_j rho(d_ij), the largest error
in units of sigma_i sigma_j, the smallest and largest variance / sigma^2,
and the largest sd of the difference of two nodes closer than 1e-6 theta
(in sigma). ``--nearest`` adds the exponential model with
``ConditionalFill(selection="nearest")`` (its 30 nearest earlier nodes, the
former default), ``--full-greedy`` with the greedy selection that never
stops early (``gain=0``). ``--grid`` prints instead the
former comparison of the two fills on a 41 x 21 grid at 0.25. Prints
Markdown tables and the worst case.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Dict, Optional

import numpy as np

import random_field
from random_field_sampler import ConditionalFill, Sampler

import fill_meshes


def model_covariance(case: Dict[str, Any], model: int) -> np.ndarray:
    x = case["x"] * case["theta_z"] / case["theta_x"]
    return random_field.get_COV(x, case["z"], case["theta_z"], model, case["sigma"].copy())


def exact(case: Dict[str, Any], model: int, options: Optional[ConditionalFill] = None):
    kw = dict(x=case["x"], z=case["z"], theta_z=case["theta_z"], theta_x=case["theta_x"],
              mu=0.0, sigma=case["sigma"], model=model, fill=options or "conditional")
    if case["Dhchol"] is not None:
        kw["Dhchol"] = case["Dhchol"]
    t = time.perf_counter()
    s = Sampler(**kw)
    t = time.perf_counter() - t
    S = s.covariance(np.arange(s.N))
    C = model_covariance(case, model)
    sig = case["sigma"]
    err = float((np.abs(S - C) / np.outer(sig, sig)).max())
    v = np.diag(S) / sig ** 2
    xs = case["x"] * case["theta_z"] / case["theta_x"]
    d = np.hypot(xs[:, None] - xs[None, :], case["z"][:, None] - case["z"][None, :])
    i, j = np.nonzero(np.triu(d < 1e-6 * case["theta_z"], 1))
    dup = None
    if len(i):
        var = S[i, i] / sig[i] ** 2 + S[j, j] / sig[j] ** 2 - 2 * S[i, j] / (sig[i] * sig[j])
        dup = float(np.sqrt(np.maximum(var, 0)).max())
    return dict(err=err, vmin=float(v.min()), vmax=float(v.max()), dup=dup, N=s.N,
                Nchol=s.Nchol, build=t)


def mesh_table(names: list, nearest: bool, full_greedy: bool) -> None:
    runs = [(0, "Gaussian", None), (1, "exponential", None)]
    if nearest:
        runs.append((1, "exponential, nearest 30", ConditionalFill(selection="nearest")))
    if full_greedy:
        runs.append((1, "exponential, greedy without early stop",
                     ConditionalFill(selection="greedy", gain=0.0)))
    print("| mesh | N | Nchol | model | largest covariance error / σiσj | variance / σ² | "
          "coincident nodes, sd of the difference / σ |")
    print("|---|---|---|---|---|---|---|")
    worst: Dict[str, tuple] = {}
    for case in fill_meshes.cases(names or None):
        for model, label, options in runs:
            r = exact(case, model, options)
            dup = "—" if r["dup"] is None else f"{r['dup']:.1e}"
            print(f"| {case['name']} | {r['N']} | {r['Nchol']} | {label} | {r['err']:.4f} | "
                  f"{r['vmin']:.4f}–{r['vmax']:.4f} | {dup} |", flush=True)
            bad = max(r["err"], abs(r["vmin"] - 1), abs(r["vmax"] - 1))
            if bad >= worst.get(label, (-1.0,))[0]:
                worst[label] = (bad, case["name"], r)
    for label, (_, name, r) in worst.items():
        print(f"\nworst, {label}: {name}: covariance error {r['err']:.4f}, "
              f"variance {r['vmin']:.4f}–{r['vmax']:.4f}")


def grid_table(neighbours: Optional[int]) -> None:
    theta = 2.0
    X, Z = np.meshgrid(np.arange(41) * 0.25, np.arange(21) * 0.25)
    x, z = X.ravel(), Z.ravel()
    default = float(np.sqrt(2 * np.pi) / 4)
    print("| fill | model | Dhchol | Nchol | variance fraction, mean | min | "
          "largest covariance error / sigma^2 |")
    print("|---|---|---|---|---|---|---|")
    for fill in ("kriging", "conditional"):
        for model, name in ((0, "Gaussian"), (1, "exponential")):
            for dh, label in ((default, "0.627 theta (default)"), (0.3, "0.3 theta")):
                s = Sampler(x=x, z=z, theta_z=theta, mu=20.0, sigma=4.0, model=model,
                            Dhchol=dh * theta, fill=fill,
                            neighbours=neighbours if fill == "conditional" else None)
                C = random_field.get_COV(x, z, theta, model, np.full(len(x), 4.0))
                S = s.covariance(np.arange(s.N))
                frac = np.diag(S)[s.krig_ind] / 16.0
                print(f"| {fill} | {name} | {label} | {s.Nchol} | {frac.mean():.3f} | "
                      f"{frac.min():.3f} | {np.abs(S - C).max() / 16.0:.3f} |", flush=True)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("names", nargs="*", help="meshes whose names contain one of these")
    p.add_argument("--nearest", action="store_true")
    p.add_argument("--full-greedy", action="store_true")
    p.add_argument("--grid", action="store_true")
    p.add_argument("--neighbours", type=int, default=None, help="with --grid")
    a = p.parse_args()
    if a.grid:
        grid_table(a.neighbours)
    else:
        mesh_table(a.names, a.nearest, a.full_greedy)


if __name__ == "__main__":
    main()
