"""A slope of clay over sand, meshed by gmsh with its layers as physical
groups."""

import pytest


def write_slope(path, size=1.5):
    """A two-layer slope: sand below z = 4, clay above, up to a crest at
    z = 12; physical groups "clay" and "sand" (surfaces) and "base" (the
    bottom line)."""
    gmsh = pytest.importorskip("gmsh", reason="gmsh is not installed (it is in the test extra)")
    gmsh.initialize(["-noenv"], readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("slope")
        occ = gmsh.model.occ

        def polygon(points):
            p = [occ.addPoint(x, z, 0) for x, z in points]
            lines = [occ.addLine(p[i], p[(i + 1) % len(p)]) for i in range(len(p))]
            return occ.addPlaneSurface([occ.addCurveLoop(lines)])

        sand = polygon([(0, 0), (30, 0), (30, 4), (0, 4)])
        clay = polygon([(0, 4), (30, 4), (30, 8), (18, 8), (8, 12), (0, 12)])
        occ.fragment([(2, sand)], [(2, clay)])
        occ.synchronize()
        surfaces = sorted(gmsh.model.getEntities(2),
                          key=lambda e: gmsh.model.occ.getCenterOfMass(*e)[1])
        gmsh.model.addPhysicalGroup(2, [surfaces[0][1]], 1, name="sand")
        gmsh.model.addPhysicalGroup(2, [surfaces[1][1]], 2, name="clay")
        base = [c for _, c in gmsh.model.getEntities(1)
                if abs(gmsh.model.occ.getCenterOfMass(1, c)[1]) < 1e-9]
        gmsh.model.addPhysicalGroup(1, base, 3, name="base")
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(2)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path


@pytest.fixture(scope="session")
def slope(tmp_path_factory):
    return write_slope(tmp_path_factory.mktemp("slope") / "slope.msh")
