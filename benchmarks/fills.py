#!/usr/bin/env python3
"""What the two fills give, exactly (no sampling): the variance fraction at
the kriged nodes and the largest covariance error against the model.

    PYTHONPATH=build/dev python benchmarks/fills.py [--neighbours M]

For each fill (kriging, conditional), model (Gaussian, exponential) and
distance bound (the default Dhchol = 0.627 theta, and 0.3 theta), on a
41 x 21 grid at 0.25 (theta = 2, sigma = 4, mu = 20): the exact covariance
of the fill from ``Sampler.covariance`` over all nodes, against the model's
sigma_i sigma_j rho(d_ij) from ``random_field.get_COV``. Prints the
Markdown table of the README.
"""

from __future__ import annotations

import argparse

import numpy as np

import random_field
from random_field_sampler import Sampler


def measure(fill: str, model: int, dh: float, neighbours: int | None,
            aniso: float = 1.0) -> tuple[float, float, float, int]:
    theta = 2.0
    X, Z = np.meshgrid(np.arange(41) * 0.25, np.arange(21) * 0.25)
    x, z = X.ravel(), Z.ravel()
    s = Sampler(x=x, z=z, theta_z=theta, theta_x=aniso * theta, mu=20.0, sigma=4.0,
                model=model, Dhchol=dh * theta, fill=fill, neighbours=neighbours)
    C = random_field.get_COV(x / aniso, z, theta, model, np.full(len(x), 4.0))
    S = s.covariance(np.arange(s.N))
    frac = np.diag(S)[s.krig_ind] / 16.0
    return float(frac.mean()), float(frac.min()), float(np.abs(S - C).max() / 16.0), s.Nchol


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--neighbours", type=int, default=None)
    a = p.parse_args()
    default = float(np.sqrt(2 * np.pi) / 4)
    print("| fill | model | Dhchol | Nchol | variance fraction, mean | min | "
          "largest covariance error / sigma^2 |")
    print("|---|---|---|---|---|---|---|")
    for fill in ("kriging", "conditional"):
        for model, name in ((0, "Gaussian"), (1, "exponential")):
            for dh, label in ((default, "0.627 theta (default)"), (0.3, "0.3 theta")):
                mean, lo, err, nchol = measure(fill, model, dh, a.neighbours)
                print(f"| {fill} | {name} | {label} | {nchol} | {mean:.3f} | {lo:.3f} | "
                      f"{err:.3f} |")


if __name__ == "__main__":
    main()
