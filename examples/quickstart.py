#!/usr/bin/env python3
"""Quick start: one realisation of an anisotropic random field over a soil layer.

    python examples/quickstart.py                    # 60 m x 20 m layer, 0.5 m spacing
    python examples/quickstart.py --theta-x 20 --seed 7 --output field.png
    python examples/quickstart.py --fill kriging     # the driver's field beside it
    python examples/quickstart.py --help

The nodes are those of a finite-element-like mesh of a soil layer: x runs
horizontally, z is the depth below the top of the layer. The field has a
constant mean and standard deviation, read here as an undrained shear
strength in kPa, and correlation lengths theta_x along x and theta_z along z.

The nodes are split into Cholesky nodes (sampled exactly) and kriged nodes.
By default (--fill conditional, random_field_sampler.Sampler's default) every
kriged node is drawn from its distribution given its nearest nodes drawn
before it, so that every node has the requested variance. --fill kriging
also calls get_random_field, the driver, whose kriged nodes take their
kriging estimates (conditional means, which carry less than the requested
variance), and draws its field beside the conditional one, from the same
seed. The script prints the exact share of the variance that the kriged
nodes carry under each fill drawn (Sampler.variance). The picture
(matplotlib, optional) is written to random_field.png unless --output says
otherwise.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import random_field
from random_field_sampler import Sampler

MODELS = {"gaussian": 0, "exponential": 1}


def positive(text: str) -> float:
    value = float(text)
    if not value > 0.0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def parse_args(argv=None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(
        description="Draw one realisation of an anisotropic Gaussian random field over the "
                    "nodes of a soil layer and save a picture of it.")
    ap.add_argument("--length", type=positive, default=60.0, help="length of the layer along x in m (default 60)")
    ap.add_argument("--depth", type=positive, default=20.0, help="depth of the layer along z in m (default 20)")
    ap.add_argument("--spacing", type=positive, default=0.5, help="node spacing in m (default 0.5)")
    ap.add_argument("--theta-x", type=positive, default=8.0, help="correlation length along x in m (default 8)")
    ap.add_argument("--theta-z", type=positive, default=2.0, help="correlation length along z in m (default 2)")
    ap.add_argument("--model", choices=sorted(MODELS), default="gaussian",
                    help="covariance model (default gaussian)")
    ap.add_argument("--mean", type=float, default=20.0, help="mean of the field in kPa (default 20)")
    ap.add_argument("--sd", type=positive, default=4.0, help="standard deviation of the field in kPa (default 4)")
    ap.add_argument("--fill", choices=("kriging", "conditional"), default="conditional",
                    help="conditional (default): every kriged node drawn from its conditional "
                         "distribution, the requested variance everywhere; kriging: also the "
                         "driver's field (get_random_field: the kriged nodes carry less than the "
                         "requested variance), drawn beside it")
    ap.add_argument("--seed", type=int, default=1, help="seed for np.random.seed (default 1)")
    ap.add_argument("--output", default="random_field.png", help="picture file (default random_field.png)")
    return ap.parse_args(argv)


def layer_mesh(length: float, depth: float, spacing: float):
    """Nodes of a regular mesh over the layer; x runs fastest, row by row in depth."""
    xs = np.linspace(0.0, length, int(round(length / spacing)) + 1)
    zs = np.linspace(0.0, depth, int(round(depth / spacing)) + 1)
    X, Z = np.meshgrid(xs, zs)
    return xs, zs, X.ravel().copy(), Z.ravel().copy()


def save_picture(path: str, xs, zs, panels, title: str) -> bool:
    """One picture of the layer per (field, caption) in `panels`, one above
    the other, on one colour scale."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("Note: matplotlib is not installed, so no picture was saved "
              "(pip install matplotlib to get one).")
        return False
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    length, depth = xs[-1] - xs[0], zs[-1] - zs[0]
    # About 10 inches across a wide layer, about 7 inches high for a deep one.
    aspect = depth / length
    width, height = (10.0, 10.0 * aspect + 0.8) if aspect <= 0.6 else (7.0 / aspect + 1.6, 7.0)
    fig, axes = plt.subplots(len(panels), 1, figsize=(width, height * len(panels) + 0.4),
                             squeeze=False, layout="constrained")
    lo = min(float(field.min()) for field, _ in panels)
    hi = max(float(field.max()) for field, _ in panels)
    for ax, (field, caption) in zip(axes[:, 0], panels):
        # One cell per node, centred on it; rows are depths, so z grows downward.
        mesh = ax.pcolormesh(xs, zs, field.reshape(len(zs), len(xs)), shading="nearest",
                             cmap="viridis", vmin=lo, vmax=hi)
        ax.set_xlim(xs[0], xs[-1])
        ax.set_ylim(zs[-1], zs[0])
        ax.set_aspect("equal")
        ax.set_xlabel("x [m]")
        ax.set_ylabel("depth z [m]")
        ax.set_title(caption, fontsize=9)
        # A colour bar as tall as the layer, whatever its aspect.
        cax = make_axes_locatable(ax).append_axes("right", size=0.18, pad=0.15)
        fig.colorbar(mesh, cax=cax).set_label("field value [kPa]")
    fig.suptitle(title, fontsize=10)
    fig.savefig(path, dpi=150, bbox_inches="tight")
    plt.close(fig)
    return True


def main(argv=None) -> int:
    args = parse_args(argv)
    model = MODELS[args.model]
    xs, zs, x, z = layer_mesh(args.length, args.depth, args.spacing)

    # The partition the driver makes: the same stretched x and its default Dhchol.
    Dhchol = np.sqrt(2.0 * np.pi) * args.theta_z / 4.0
    parts = random_field.get_chol_krig_nodes(x * args.theta_z / args.theta_x, z, Dhchol)
    Nchol, Nkrig = len(parts[0]), len(parts[3])

    kw = dict(x=x, z=z, theta_x=args.theta_x, theta_z=args.theta_z, model=model, mu=args.mean,
              sigma=args.sd)
    fields = []  # (fill, field, how, seconds, exact variance share at the kriged nodes)
    if args.fill == "kriging":
        np.random.seed(args.seed)
        t0 = time.perf_counter()
        rf = random_field.get_random_field(**kw)
        elapsed = time.perf_counter() - t0
        if rf is None:  # the driver has printed what was wrong
            return 1
        exact = Sampler(fill="kriging", **kw)  # the driver's fill, for its exact variance
        fields.append(("kriging", rf, "get_random_field", elapsed,
                       exact.variance[exact.krig_ind] / args.sd ** 2))
    np.random.seed(args.seed)
    t0 = time.perf_counter()
    sampler = Sampler(fill="conditional", **kw)
    rf = sampler.draw(1)[0]
    elapsed = time.perf_counter() - t0
    fields.append(("conditional", rf, "Sampler(fill='conditional') and one draw", elapsed,
                   sampler.variance[sampler.krig_ind] / args.sd ** 2))

    print(f"Soil layer {args.length:g} m x {args.depth:g} m, node spacing {args.spacing:g} m")
    print(f"Nodes:           {len(x)} ({len(xs)} along x, {len(zs)} along z)")
    print(f"Cholesky nodes:  {Nchol} (sampled exactly, Dhchol = {Dhchol:.3f} m in stretched coordinates)")
    print(f"Kriged nodes:    {Nkrig}")
    print(f"Model:           {args.model}, theta_x = {args.theta_x:g} m, theta_z = {args.theta_z:g} m, "
          f"seed {args.seed}")
    for fill, rf, how, elapsed, share in fields:
        print(f"Fill:            {fill}: the kriged nodes carry on average {100 * share.mean():.1f} % "
              f"of the requested variance (at least {100 * share.min():.1f} %)")
        print(f"Time:            {elapsed * 1e3:.1f} ms for {how}")
        print(f"Field:           mean {rf.mean():.3f} kPa, standard deviation {rf.std():.3f} kPa "
              f"(asked for {args.mean:g} and {args.sd:g})")

    title = (f"{args.model.capitalize()} random field, θx = {args.theta_x:g} m, θz = {args.theta_z:g} m, "
             f"mean {args.mean:g} kPa, sd {args.sd:g} kPa, seed {args.seed}\n"
             f"{len(x)} nodes at {args.spacing:g} m: {Nchol} Cholesky, {Nkrig} kriged")
    captions = {"kriging": "kriging fill (get_random_field): the kriged nodes carry "
                           f"{100 * fields[0][4].mean():.0f} % of the variance on average",
                "conditional": "conditional fill (the default): every node carries the variance"}
    panels = [(rf, captions[fill]) for fill, rf, *_ in fields]
    if save_picture(args.output, xs, zs, panels, title):
        print(f"Picture:         {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
