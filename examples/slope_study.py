#!/usr/bin/env python3
"""A site, not one field: a slope of clay over sand, each layer with its own
statistics, bedding and cross-correlated properties, drawn from a study file.

    python examples/slope_study.py                  # slope.msh, study.toml, slope.xdmf, slope.png
    python examples/slope_study.py -k 20 --size 1.5

Writes, in the working folder, the Gmsh mesh of the slope (physical groups
"clay" and "sand"), the study file of the README's section "A site: layers,
bedding and correlated properties", runs it (random-field study.toml), and
draws the first realisation's cohesion and friction angle side by side.
Needs gmsh, meshio and h5py (the mesh extra), and matplotlib for the picture.
"""

from __future__ import annotations

import argparse
import sys

STUDY = """\
mesh = "slope.msh"
at = "cells"
realisations = 500
seed = 2026
output = "slope.xdmf"

[[region]]
name = "clay"
model = "exponential"
theta_x = 10.0
theta_z = 2.0
angle = 10.0
correlation = { "cohesion,friction" = -0.5 }
[region.properties.cohesion]
distribution = "lognormal"
mean = 20.0
sd = 6.0
[region.properties.friction]
distribution = "normal"
mean = 25.0
sd = 3.0

[[region]]
name = "sand"
model = "gaussian"
theta_x = 20.0
theta_z = 4.0
[region.properties.cohesion]
distribution = "lognormal"
mean = 2.0
sd = 0.5
[region.properties.friction]
distribution = "truncnormal"
mean = 34.0
sd = 3.0
lower = 25.0
upper = 42.0
"""


def write_mesh(path: str, size: float) -> None:
    """The slope: sand below z = 6, clay above, rising from 10 m at the toe
    to 18 m behind the crest; the layers are physical groups."""
    import gmsh
    gmsh.initialize(["-noenv"], readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("slope")
        occ = gmsh.model.occ

        def polygon(points):
            p = [occ.addPoint(x, z, 0) for x, z in points]
            lines = [occ.addLine(p[i], p[(i + 1) % len(p)]) for i in range(len(p))]
            return occ.addPlaneSurface([occ.addCurveLoop(lines)])

        sand = polygon([(0, 0), (40, 0), (40, 6), (0, 6)])
        clay = polygon([(0, 6), (40, 6), (40, 18), (26, 18), (14, 10), (0, 10)])
        occ.fragment([(2, sand)], [(2, clay)])
        occ.synchronize()
        low, high = sorted(gmsh.model.getEntities(2), key=lambda e: occ.getCenterOfMass(*e)[1])
        gmsh.model.addPhysicalGroup(2, [low[1]], 1, name="sand")
        gmsh.model.addPhysicalGroup(2, [high[1]], 2, name="clay")
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(2)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def picture(path: str) -> None:
    """The first realisation's cohesion and friction angle, side by side."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    from random_field_sampler import load_study
    from random_field_sampler.io import mesh as fe

    study = load_study("study.toml")
    first = study.realisation(0, seed=study.file.seed)   # row 0 of slope.xdmf, bit for bit
    tri, owner = fe.triangles(study.mesh)
    xy = study.mesh.nodes
    fig, axes = plt.subplots(1, 2, figsize=(12, 3.6), sharey=True)
    for ax, (name, label) in zip(axes, (("cohesion", "cohesion (kPa)"),
                                        ("friction", "friction angle (degrees)"))):
        shown = ax.tripcolor(xy[:, 0], xy[:, 1], tri, facecolors=first[name][owner],
                             cmap="viridis")
        ax.set_aspect("equal")
        ax.set_xlabel("x (m)")
        ax.set_title(label)
        fig.colorbar(shown, ax=ax, shrink=0.8)
        ax.axhline(6.0, color="w", lw=0.8)
    axes[0].set_ylabel("z (m)")
    fig.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(fig)
    print(f"{path}: realisation 1 (clay: cohesion-friction correlation -0.5; "
          f"{len(study.members[0])} clay elements)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-k", "--realisations", type=int, default=None,
                    help="realisations (default: the study file's 500)")
    ap.add_argument("--size", type=float, default=1.0, help="largest element size in m (default 1)")
    ap.add_argument("--picture", default="slope.png", help="the picture (default slope.png; '' for none)")
    args = ap.parse_args()
    try:
        write_mesh("slope.msh", args.size)
    except ImportError:
        print("slope_study.py: needs gmsh (pip install gmsh)", file=sys.stderr)
        return 1
    with open("study.toml", "w") as f:
        f.write(STUDY)
    from random_field_sampler.cli import main as random_field
    argv = ["study.toml"] + (["-k", str(args.realisations)] if args.realisations else [])
    status = random_field(argv)
    if status == 0 and args.picture:
        try:
            picture(args.picture)
        except ImportError:
            print("slope_study.py: the picture needs matplotlib", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
