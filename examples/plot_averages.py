#!/usr/bin/env python3
"""The variance of an element's average against the element's size.

    python examples/plot_averages.py                         # averages_variance.png
    python examples/plot_averages.py --output docs/averages_variance.png

For squares and right triangles of side a from 0.02 theta to 5 theta, both
models: the exact variance of the average of a unit-variance field over
the element (``averages.exact_variance``: the variance reduction
function), as curves, and as points the variance that ``CellAverages``
draws, exactly (from the point sampler's covariance), for the centre element
of a 3 x 3 patch of such elements. Prints the points' relative errors and
the points drawn per element. Needs matplotlib.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

from random_field_sampler.averages import CellAverages, Cells, exact_variance

MODELS = {0: "Gaussian", 1: "exponential"}
SIZES = [0.02, 0.05, 0.1, 0.15, 0.25, 0.5, 1.0, 2.0, 4.0]


def patch(a: float, kind: str) -> Cells:
    """3 x 3 squares of side a (the centre one is element 4), or each split
    into two triangles (the centre square's first half is element 8)."""
    quads, tris = [], []
    for i in range(3):
        for j in range(3):
            x0, y0 = i * a, j * a
            p = [[x0, y0], [x0 + a, y0], [x0 + a, y0 + a], [x0, y0 + a]]
            quads.append(p)
            tris += [[p[0], p[1], p[2]], [p[0], p[2], p[3]]]
    return Cells(np.array(quads if kind == "square" else tris, float))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--output", default="averages_variance.png",
                    help="the picture (default: averages_variance.png in the working folder)")
    args = ap.parse_args()
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot_averages.py: the picture needs matplotlib (pip install 'random_field[plot]')",
              file=sys.stderr)
        return 1
    fine = np.geomspace(0.02, 5.0, 60)
    fig, ax = plt.subplots(figsize=(7, 4.5))
    print("| model | element | a / theta | exact | drawn | error | points per element |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for model, name in MODELS.items():
        for kind, marker, style in (("square", "o", "-"), ("triangle", "^", "--")):
            corners = [[[0, 0], [a, 0], [a, a], [0, a]] if kind == "square"
                       else [[0, 0], [a, 0], [a, a]] for a in fine]
            curve = exact_variance(Cells(np.array(corners, float)), theta_z=1.0, model=model)
            line, = ax.plot(fine, curve, style, label=f"{name}, {kind}s (exact)")
            got = []
            for a in SIZES:
                cells = patch(a, kind)
                centre = 4 if kind == "square" else 8
                s = CellAverages(cells=cells, theta_z=1.0, mu=0.0, sigma=1.0, model=model)
                v = float(s.covariance([centre])[0, 0])
                e = float(exact_variance(cells.subset(np.array([centre])), theta_z=1.0,
                                         model=model)[0])
                got.append(v)
                m = int(s.subdivisions[centre])
                pts = {0: f"{'4' if kind == 'square' else '3'} corners + centroid",
                       1: "1 (centroid)"}.get(m, f"{m * m} ({m} x {m})")
                print(f"| {name} | {kind} | {a:g} | {e:.4f} | {v:.4f} | {100 * (v / e - 1):+.2f} % "
                      f"| {pts} |")
            ax.plot(SIZES, got, marker, color=line.get_color(), markerfacecolor="none")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("element side a / theta")
    ax.set_ylabel("variance of the element average / sigma^2")
    ax.set_title("Element averages: exact (lines) and drawn (markers)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.output, dpi=120)
    print(f"wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
