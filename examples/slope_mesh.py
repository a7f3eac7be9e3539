#!/usr/bin/env python3
"""A Gmsh mesh of a soil slope with a tunnel, for trying random-field on a mesh.

    python examples/slope_mesh.py slope.msh                 # 6-node triangles of 0.6 m at most
    python examples/slope_mesh.py slope.msh --size 1 --order 1

The slope is 40 m long: 10 m of ground at its foot, rising over 12 m to 18 m
behind its crest; a 4 m wide circular tunnel runs 6 m below the foot's level
surface. x is horizontal and y vertical, upward, as Gmsh draws it. Needs the
gmsh Python package (pip install gmsh).
"""

from __future__ import annotations

import argparse
import sys


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("output", help="mesh file to write (.msh, or any format Gmsh writes)")
    ap.add_argument("--size", type=float, default=0.6, help="largest element size in m (default 0.6)")
    ap.add_argument("--order", type=int, choices=(1, 2), default=2,
                    help="element order: 1 for 3-node, 2 for 6-node triangles (default 2)")
    args = ap.parse_args()
    try:
        import gmsh
    except ImportError:
        print("slope_mesh.py: needs gmsh (pip install gmsh)", file=sys.stderr)
        return 1
    gmsh.initialize(["-noenv"], readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("slope")
        occ = gmsh.model.occ
        outline = ((0, 0), (40, 0), (40, 18), (26, 18), (14, 10), (0, 10))
        points = [occ.addPoint(x, y, 0) for x, y in outline]
        lines = [occ.addLine(points[i], points[(i + 1) % len(points)]) for i in range(len(points))]
        soil = occ.addPlaneSurface([occ.addCurveLoop(lines)])
        tunnel = occ.addDisk(9, 4, 0, 2, 2)
        occ.cut([(2, soil)], [(2, tunnel)])
        occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", args.size)
        gmsh.model.mesh.generate(2)
        gmsh.model.mesh.setOrder(args.order)
        gmsh.write(args.output)
        nodes = len(gmsh.model.mesh.getNodes()[0])
    finally:
        gmsh.finalize()
    print(f"{args.output}: {nodes} nodes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
