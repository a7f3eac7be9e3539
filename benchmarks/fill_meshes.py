"""The meshes of benchmarks/fills.py, one or more per class (theta = 2
unless the case says otherwise): grids, uniformly scattered nodes, tight
clusters, a gmsh mesh graded 20:1 around a hole (the `mesh` extra; rings of
the same grading without gmsh), borehole lines, anisotropic stretches,
per-node sigma varying 10x, coincident nodes.

Each case is a dict: name, x, z (unstretched), theta_z, theta_x, sigma
(array), Dhchol (None = the sampler's default). N is kept around 800-2500
so that the dense exact covariance is cheap.
"""

from __future__ import annotations

import functools
import os
import sys

import numpy as np

# The builders are the tests' own (tests/support.py): one implementation.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from support import (borehole_nodes, cluster_nodes, grid_nodes, ring_nodes,  # noqa: E402
                     scattered_nodes, with_near_duplicates)

THETA = 2.0


def _case(name, x, z, *, theta_x=THETA, sigma=None, Dhchol=None):
    x = np.asarray(x, float)
    z = np.asarray(z, float)
    if sigma is None:
        sigma = np.ones(len(x))
    return dict(name=name, x=x, z=z, theta_z=THETA, theta_x=theta_x,
                sigma=np.asarray(sigma, float), Dhchol=Dhchol)


def grid(nx=41, nz=21, h=0.25):
    return grid_nodes(nx, nz, h)


def scattered(n=2000, w=20.0, h=10.0, seed=1):
    return scattered_nodes(n, w, h, seed)


def clusters(nc=10, per=150, nbg=500, w=20.0, h=10.0, r=0.1, seed=2):
    """nc tight clusters (per nodes, normal spread r) in nbg scattered nodes."""
    return cluster_nodes(nc, per, nbg, w, h, r, seed)


@functools.lru_cache(maxsize=None)
def graded(w=20.0, h=10.0, r=0.5, fine=0.06, coarse=1.2, dist=4.0):
    """gmsh triangle mesh of a w x h rectangle with a circular hole of radius r
    at its centre, element size fine at the hole growing linearly to coarse
    at `dist` from it (20:1)."""
    try:
        import gmsh
    except ImportError:
        return rings(w, h, r, fine, coarse, dist)
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("graded")
        occ = gmsh.model.occ
        rect = occ.addRectangle(0, 0, 0, w, h)
        hole = occ.addDisk(w / 2, h / 2, 0, r, r)
        occ.cut([(2, rect)], [(2, hole)])
        occ.synchronize()
        curves = [c[1] for c in gmsh.model.getEntities(1)]
        # the hole's curve: the one whose bounding box is small
        hole_curves = []
        for c in curves:
            b = gmsh.model.getBoundingBox(1, c)
            if b[3] - b[0] < 2.5 * r:
                hole_curves.append(c)
        f = gmsh.model.mesh.field
        d = f.add("Distance")
        f.setNumbers(d, "CurvesList", hole_curves)
        f.setNumber(d, "Sampling", 200)
        t = f.add("Threshold")
        f.setNumber(t, "InField", d)
        f.setNumber(t, "SizeMin", fine)
        f.setNumber(t, "SizeMax", coarse)
        f.setNumber(t, "DistMin", 0.0)
        f.setNumber(t, "DistMax", dist)
        f.setAsBackgroundMesh(t)
        gmsh.option.setNumber("Mesh.MeshSizeExtendFromBoundary", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromCurvature", 0)
        gmsh.model.mesh.generate(2)
        _, coords, _ = gmsh.model.mesh.getNodes()
        c = np.asarray(coords).reshape(-1, 3)
    finally:
        gmsh.finalize()
    return tuple(c[:, 0]), tuple(c[:, 1])


def rings(w=20.0, h=10.0, r0=0.5, fine=0.06, coarse=1.2, dist=4.0):
    """Rings around a hole of radius r0, their spacing growing from `fine`
    at the hole to `coarse` at `dist` from it."""
    x, z = ring_nodes(w, h, r0, fine, coarse, dist)
    return tuple(x), tuple(z)


def boreholes(n=5, spacing=1.0, dz=0.05, depth=10.0):
    """n vertical lines `spacing` apart (0.5 theta), nodes every dz (0.025 theta)."""
    return borehole_nodes(n, spacing, dz, depth)


def near_duplicates(seed=3, eps=1e-9):
    """41 x 21 grid at 0.25 with every third node given again, moved by eps
    (coincident mesh nodes written with rounding)."""
    return with_near_duplicates(*grid(), eps, seed)


def cases(which=None):
    """The list of test cases (all, or those whose names are in `which`)."""
    out = []
    x, z = grid()
    out.append(_case("grid 41x21 h=0.25", x, z))
    out.append(_case("grid 41x21 Dhchol=3theta", x, z, Dhchol=3 * THETA))
    out.append(_case("grid 41x21 Dhchol=0.15theta", x, z, Dhchol=0.15 * THETA))
    x, z = scattered()
    out.append(_case("scattered 2000", x, z))
    out.append(_case("scattered 2000 Dhchol=3theta", x, z, Dhchol=3 * THETA))
    x, z = clusters()
    out.append(_case("10 clusters x150 + 500", x, z))
    x, z = clusters(r=0.3)
    out.append(_case("10 clusters r=0.15theta", x, z))
    gx, gz = graded()
    out.append(_case("graded hole 20:1 (gmsh)", np.array(gx), np.array(gz)))
    x, z = boreholes()
    out.append(_case("5 boreholes 0.5theta, dz=0.025theta", x, z))
    out.append(_case("5 boreholes Dhchol=3theta", x, z, Dhchol=3 * THETA))
    x, z = boreholes(depth=5.0)
    out.append(_case("5 boreholes 5 m deep, Dhchol=3theta", x, z, Dhchol=3 * THETA))
    # anisotropic: theta_x = 20 theta_z on a 200 m x 10 m grid, 5 m x 0.5 m
    X, Z = np.meshgrid(np.arange(41) * 5.0, np.arange(21) * 0.5)
    out.append(_case("aniso 20:1, 41x21 5mx0.5m", X.ravel(), Z.ravel(), theta_x=20 * THETA))
    # anisotropic on a fine square grid: nodes nearly coincident along x once stretched
    X, Z = np.meshgrid(np.arange(61) * 0.5, np.arange(21) * 0.25)
    out.append(_case("aniso 20:1, 61x21 0.5x0.25", X.ravel(), Z.ravel(), theta_x=20 * THETA))
    # per-node sigma varying 10x (smoothly and at random)
    x, z = scattered(1500, seed=4)
    sig = 1.0 + 9.0 * (0.5 + 0.5 * np.sin(x / 3.0) * np.cos(z / 2.0))
    out.append(_case("scattered 1500, sigma 1..10", x, z, sigma=sig))
    x, z = near_duplicates()
    out.append(_case("grid + near-duplicates 1e-9", x, z))
    if which is not None:
        out = [c for c in out if any(w in c["name"] for w in which)]
    return out


if __name__ == "__main__":
    for c in cases():
        print(f"{c['name']:40s} N={len(c['x'])}")
