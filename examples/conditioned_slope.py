#!/usr/bin/env python3
"""A field that honours a site investigation: the undrained strength of a
slope, unconditioned and conditioned on two cone penetration tests, with the
same seed, and the conditional standard deviation.

    python examples/conditioned_slope.py                  # conditioned_slope.png
    python examples/conditioned_slope.py --size 0.5 --output picture.png

Writes, in the working folder, the Gmsh mesh of the slope of
``slope_study.py`` (slope.msh, unless it is there), the two soundings
(cpt.csv: x, z, value) and the picture. The soundings are a realisation of
the field itself read every 0.25 m along two vertical lines, one at the
toe and one behind the crest, so that the conditioned field can be judged
against the field the data came from. Needs gmsh, meshio and h5py (the mesh
extra) and matplotlib.
"""

from __future__ import annotations

import argparse
import os
import sys

# the field: undrained strength, lognormal, exponential model
FIELD = dict(theta_z=1.5, theta_x=8.0, model=1, mu=40.0, sigma=12.0, distribution="lognormal")
# the soundings: x, top and bottom of each
SOUNDINGS = ((8.0, 10.0, 1.0), (31.0, 18.0, 4.0))
STEP = 0.25


def soundings(seed: int):
    """x, z and value of the two soundings: one realisation of the field
    over their points."""
    import numpy as np

    from random_field_sampler import Sampler

    xd, zd = [], []
    for x, top, bottom in SOUNDINGS:
        z = np.arange(top - STEP, bottom - 1e-9, -STEP)
        xd.append(np.full(len(z), x))
        zd.append(z)
    xd, zd = np.concatenate(xd), np.concatenate(zd)
    truth = Sampler(x=xd, z=zd, **FIELD).realisation(0, seed=seed)
    return xd, zd, truth


def conditional_sd(x, z, xd, zd, vd):
    """The sd of the strength given the soundings at every node: that of a
    lognormal value whose logarithm has the conditional mean m and variance
    v of the log-strength field given the logarithms of the data."""
    import numpy as np

    from random_field_sampler import Sampler
    from random_field_sampler.distributions import lognormal_parameters

    mu_ln, sigma_ln = lognormal_parameters(FIELD["mu"], FIELD["sigma"])
    log_field = dict(FIELD, mu=float(mu_ln), sigma=float(sigma_ln), distribution="normal")
    g = Sampler(x=x, z=z, **log_field, data=(xd, zd, np.log(vd)))
    m, v = g.mean, g.variance
    return np.sqrt(np.exp(2.0 * m + v) * np.expm1(v))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=float, default=0.4, help="largest element size in m (default 0.4)")
    ap.add_argument("--seed", type=int, default=2026, help="the realisation's seed (default 2026)")
    ap.add_argument("--output", default="conditioned_slope.png", help="the picture")
    args = ap.parse_args()
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
        from matplotlib.tri import Triangulation

        from random_field_sampler import Sampler
        from random_field_sampler.io import mesh as fe
    except ImportError as e:
        print(f"conditioned_slope.py: needs {e.name} (pip install 'random_field[mesh,plot]' gmsh)",
              file=sys.stderr)
        return 1
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from slope_study import write_mesh

    if not os.path.exists("slope.msh"):
        write_mesh("slope.msh", args.size)
    mesh = fe.read("slope.msh")
    x, z = mesh.coordinates("nodes")
    xd, zd, vd = soundings(seed=1)
    with open("cpt.csv", "w") as f:
        f.write("x,z,value\n")
        for row in zip(xd, zd, vd):
            f.write(",".join(repr(float(v)) for v in row) + "\n")

    free = Sampler(x=x, z=z, **FIELD)
    held = Sampler(x=x, z=z, **FIELD, data=(xd, zd, vd))
    sd = conditional_sd(x, z, xd, zd, vd)
    panels = [(free.realisation(0, seed=args.seed), "unconditioned, seed %d" % args.seed),
              (held.realisation(0, seed=args.seed), f"conditioned on {len(xd)} data, same seed"),
              (sd, "conditional sd")]
    tri, _ = fe.triangles(mesh)
    grid = Triangulation(mesh.nodes[:, 0], mesh.nodes[:, 1], tri)
    fig, axes = plt.subplots(1, 3, figsize=(16, 3.4), sharey=True)
    top = max(float(np.quantile(p[0], 0.99)) for p in panels[:2])
    for i, (ax, (values, title)) in enumerate(zip(axes, panels)):
        shown = ax.tripcolor(grid, values, shading="gouraud", cmap="magma" if i == 2 else "viridis",
                             vmin=0.0, vmax=top if i < 2 else float(np.max(values)))
        ax.plot(xd, zd, "w." if i == 2 else "k.", markersize=1.5)
        ax.set_aspect("equal")
        ax.set_xlabel("x (m)")
        ax.set_title(title)
        fig.colorbar(shown, ax=ax, shrink=0.75, label="kPa")
    axes[0].set_ylabel("z (m)")
    fig.savefig(args.output, dpi=110, bbox_inches="tight")
    plt.close(fig)
    near = np.min(np.hypot(x[:, None] - xd[None, :], z[:, None] - zd[None, :]), axis=1)
    far = int(np.argmax(near))
    print(f"{args.output}: {len(x)} nodes, {len(xd)} data; conditional sd {sd[near < 0.1].mean():.2f} kPa "
          f"within 0.1 m of a sounding, {sd[far]:.2f} kPa at the farthest node, {near[far]:.1f} m "
          f"away (unconditioned {FIELD['sigma']:g} kPa)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
