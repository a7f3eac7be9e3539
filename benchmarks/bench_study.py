#!/usr/bin/env python3
"""A two-region study of three properties against three single-property
samplers per region: the build (one factorisation per region, shared by its
properties, against one per property) and the draws.

    python benchmarks/bench_study.py            # 10^5 nodes, 16 realisations
    python benchmarks/bench_study.py --nodes 20000 -k 8

Prints one Markdown table row per measure (seconds, best of --repeat).
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from random_field_sampler import Property, Region, Sampler, Study

PROPERTIES = {"cohesion": Property("lognormal", mean=20.0, sd=6.0),
              "friction": Property("beta", lower=15.0, upper=40.0, mean=28.0, sd=3.0),
              "weight": Property("normal", mean=19.0, sd=1.0)}
LAYERS = (dict(model="exponential", theta_x=10.0, theta_z=2.0, angle=10.0),
          dict(model="gaussian", theta_x=20.0, theta_z=4.0))


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("-k", type=int, default=16)
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()
    nx = int(round(np.sqrt(args.nodes * 4)))
    nz = args.nodes // nx
    x, z = (a.ravel() for a in np.meshgrid(np.arange(nx) * 0.5, np.arange(nz) * 0.5))
    layer = (z < z.max() / 2).astype(int)
    regions = [Region(f"layer{i}", properties=PROPERTIES,
                      correlation={"cohesion,friction": -0.5}, **kw) for i, kw in enumerate(LAYERS)]
    built = {}

    def build_study():
        built["study"] = Study(regions, x=x, z=z, region=layer)

    def build_separate():
        built["separate"] = [
            [Sampler(x=x[layer == i], z=z[layer == i], mu=0.0, sigma=1.0,
                     model=1 if kw["model"] == "exponential" else 0, theta_x=kw["theta_x"],
                     theta_z=kw["theta_z"], angle=kw["angle"] if "angle" in kw else 0.0)
             for _ in PROPERTIES] for i, kw in enumerate(LAYERS)]

    t_study = best(build_study, args.repeat)
    t_sep = best(build_separate, args.repeat)
    study = built["study"]
    d_study = best(lambda: study.draw(args.k, seed=1), args.repeat)
    d_sep = best(lambda: [s.draw(args.k, seed=1) for per in built["separate"] for s in per],
                 args.repeat)
    N = len(x)
    print(f"| two-region study, {N} nodes, 3 properties, k = {args.k} | build {t_study:.2f} s, "
          f"draw {d_study:.2f} s | 3 samplers per region: build {t_sep:.2f} s, draw "
          f"{d_sep:.2f} s (standard fields only) | build {t_sep / t_study:.2f}× faster |")


if __name__ == "__main__":
    main()
