"""Finite-element meshes: reading, centroids, fields written back, and the
command line end to end on meshes made here with meshio (and Gmsh)."""

import os
import sys

import numpy as np
import pytest

meshio = pytest.importorskip("meshio")

from random_field_sampler import Sampler  # noqa: E402
from random_field_sampler import cli as random_field_cli  # noqa: E402
from random_field_sampler.io import mesh as fe  # noqa: E402


def grid_mesh(kind="triangle", nx=12, nz=7, h=0.5, hole=True, order=1):
    """A rectangle of nx x nz squares, less a 2 x 2 hole in the middle:
    triangles, quads, or mixed (quads left, triangles right, boundary lines
    too, as Gmsh writes them). order 2 adds mid-side nodes to the triangles."""
    I, J = np.meshgrid(np.arange(nx + 1), np.arange(nz + 1))
    pts = np.column_stack([I.ravel() * h, J.ravel() * h, np.zeros(I.size)])
    node = lambda i, j: j * (nx + 1) + i  # noqa: E731
    quads, tris = [], []
    for j in range(nz):
        for i in range(nx):
            if hole and nx // 2 - 1 <= i <= nx // 2 and nz // 2 - 1 <= j <= nz // 2:
                continue
            q = [node(i, j), node(i + 1, j), node(i + 1, j + 1), node(i, j + 1)]
            if kind == "quad" or (kind == "mixed" and i < nx // 2):
                quads.append(q)
            else:
                tris += [[q[0], q[1], q[2]], [q[0], q[2], q[3]]]
    cells = [(t, np.array(c)) for t, c in (("quad", quads), ("triangle", tris)) if c]
    if kind == "mixed":
        cells.append(("line", np.array([[node(i, 0), node(i + 1, 0)] for i in range(nx)])))
    used = np.unique(np.concatenate([c.ravel() for _, c in cells]))  # the hole's inner nodes go
    renumber = np.full(len(pts), -1)
    renumber[used] = np.arange(len(used))
    pts = pts[used]
    cells = [(t, renumber[c]) for t, c in cells]
    if order == 2:
        pts_l, mids, tri6 = list(pts), {}, []
        for t in cells[0][1]:
            extra = []
            for a, b in ((t[0], t[1]), (t[1], t[2]), (t[2], t[0])):
                key = (min(a, b), max(a, b))
                if key not in mids:
                    mids[key] = len(pts_l)
                    pts_l.append((pts[a] + pts[b]) / 2)
                extra.append(mids[key])
            tri6.append(list(t) + extra)
        pts, cells = np.array(pts_l), [("triangle6", np.array(tri6))]
    return meshio.Mesh(pts, cells)


def cli(*argv):
    return random_field_cli.main([str(a) for a in argv])


def run_ok(*argv):
    assert cli(*argv, "-q") == 0


def run_fails(capsys, *argv, status=1):
    capsys.readouterr()
    try:
        got = cli(*argv, "-q")
    except SystemExit as e:  # a wrong command line
        got = e.code
    assert got == status
    err = capsys.readouterr().err
    assert err.count("\n") == 1, err
    return err


FIELD = ("--theta-z", 1.5, "--theta-x", 3, "--mean", 10, "--sd", 2, "--seed", 5)


def save(tmp_path, m, name):
    path = tmp_path / name
    fmt = {".msh": "gmsh22"}.get(path.suffix)
    meshio.write(path, m, file_format=fmt)
    return path


# ---------------------------------------------------------------------------
# The mesh's points


def test_centroids_of_triangles_quads_and_curved_orders():
    pts = np.array([[0, 0], [4, 0], [4, 1], [0, 3], [8, 0], [0.0, 0.0]])
    m = fe.from_meshio(meshio.Mesh(pts, [("quad", np.array([[0, 1, 2, 3]])),
                                         ("triangle6", np.array([[1, 4, 2, 5, 5, 5]])),
                                         ("line", np.array([[0, 1]]))]))
    # the area centroid of the trapezoid (not the mean of its corners), and
    # the triangle's by its corners only; lines are not elements
    np.testing.assert_allclose(m.centroids, [[5 / 3, 13 / 12], [16 / 3, 1 / 3]], rtol=1e-14)
    assert m.elements == [0, 1] and m.n_cells == 2 and m.dim == 2
    x, z = m.coordinates("both")
    assert len(x) == 8 and x[6] == m.centroids[0, 0] and z[:6].tolist() == pts[:, 1].tolist()


@pytest.mark.parametrize("plane, expect", [("xz", (0, 2)), ("yz", (1, 2)), ("xy", (0, 1))])
def test_planes(plane, expect):
    # a solid: the field is taken constant along the third coordinate
    pts = np.array([[0, 5, 1], [1, 5, 2], [0, 6, 4.0], [0, 5, 7.0]])
    m = fe.from_meshio(meshio.Mesh(pts, [("tetra", np.array([[0, 1, 2, 3]]))]), plane)
    np.testing.assert_array_equal(m.nodes, pts[:, list(expect)])
    assert m.axis_names() == tuple(plane)


def test_triangles_of_the_picture_keep_the_hole_and_split_quads():
    for kind in ("quad", "mixed", "triangle"):
        m = fe.from_meshio(grid_mesh(kind))
        tris, owner = fe.triangles(m)
        p = m.nodes[tris]
        area = 0.5 * np.abs((p[:, 1, 0] - p[:, 0, 0]) * (p[:, 2, 1] - p[:, 0, 1])
                            - (p[:, 2, 0] - p[:, 0, 0]) * (p[:, 1, 1] - p[:, 0, 1]))
        assert area.sum() == pytest.approx(6.0 * 3.5 - 1.0)  # the hole is 1 m x 1 m
        assert np.bincount(owner).max() == (2 if kind != "triangle" else 1)


# ---------------------------------------------------------------------------
# The command line


@pytest.mark.parametrize("suffix", [".vtu", ".vtk", ".msh", ".inp", ".xdmf"])
@pytest.mark.parametrize("kind", ["triangle", "quad", "mixed"])
def test_every_format_read_through_the_command_line(tmp_path, kind, suffix):
    m = grid_mesh(kind)
    path = save(tmp_path, m, "mesh" + suffix)
    run_ok(path, *FIELD, "-k", 3, "-o", tmp_path / "f.npy")
    nodes = tmp_path / "nodes.npy"
    np.save(nodes, m.points[:, :2])
    run_ok(nodes, *FIELD, "-k", 3, "-o", tmp_path / "g.npy")
    np.testing.assert_array_equal(np.load(tmp_path / "f.npy"), np.load(tmp_path / "g.npy"))


@pytest.mark.parametrize("at, suffix", [("nodes", ".vtu"), ("cells", ".vtu"), ("both", ".vtu"),
                                        ("both", ".vtk")])
def test_realisations_on_a_vtu(tmp_path, at, suffix):
    m = grid_mesh("mixed")
    path = save(tmp_path, m, "mesh.vtu")
    run_ok(path, *FIELD, "-k", 4, "--at", at, "-o", tmp_path / ("f" + suffix))
    run_ok(path, *FIELD, "-k", 4, "--at", at, "-o", tmp_path / "f.npy")
    values = np.load(tmp_path / "f.npy")
    out = meshio.read(tmp_path / ("f" + suffix))
    np.testing.assert_array_equal(out.points, m.points)
    assert [(b.type, b.data.tolist()) for b in out.cells] == [(b.type, b.data.tolist()) for b in m.cells]
    names = [f"realisation_{i:04d}" for i in range(4)]
    n = len(m.points)
    if at != "cells":
        assert sorted(out.point_data) == names
        np.testing.assert_array_equal(np.array([out.point_data[k] for k in names]), values[:, :n])
    else:
        assert out.point_data == {}
    if at != "nodes":
        assert sorted(out.cell_data) == names
        for i, k in enumerate(names):
            quads, tris, lines = out.cell_data[k]
            assert np.isnan(lines).all() and len(lines) == len(m.cells[2].data)
            np.testing.assert_array_equal(np.concatenate([quads, tris]),
                                          values[i, n if at == "both" else 0:])
    # the values are the sampler's realisations of the study seeded 5
    x, z = fe.from_meshio(m).coordinates(at)
    expected = Sampler(x=x, z=z, theta_z=1.5, theta_x=3.0, mu=10.0, sigma=2.0).draw(4, seed=5)
    np.testing.assert_array_equal(values, expected)
    assert sorted(os.listdir(tmp_path)) == sorted(["f.npy", "f" + suffix, "mesh.vtu"])


def test_both_is_one_field_over_nodes_and_centroids(tmp_path):
    m = grid_mesh("mixed")
    path = save(tmp_path, m, "mesh.vtk")
    run_ok(path, *FIELD, "-k", 2, "--at", "both", "-o", tmp_path / "both.npy")
    x, z = fe.read(str(path)).coordinates("both")
    np.savez(tmp_path / "joint.npz", x=x, z=z)
    run_ok(tmp_path / "joint.npz", *FIELD, "-k", 2, "-o", tmp_path / "joint.npy")
    np.testing.assert_array_equal(np.load(tmp_path / "both.npy"), np.load(tmp_path / "joint.npy"))


def test_xdmf_time_series(tmp_path):
    m = grid_mesh("mixed")
    path = save(tmp_path, m, "mesh.vtu")
    run_ok(path, *FIELD, "-k", 3, "--at", "both", "-o", tmp_path / "f.xdmf")
    run_ok(path, *FIELD, "-k", 3, "--at", "both", "-o", tmp_path / "f.npy")
    values = np.load(tmp_path / "f.npy")
    assert sorted(os.listdir(tmp_path)) == ["f.h5", "f.npy", "f.xdmf", "mesh.vtu"]
    n = len(m.points)
    with meshio.xdmf.TimeSeriesReader(str(tmp_path / "f.xdmf")) as r:
        points, cells = r.read_points_cells()
        np.testing.assert_array_equal(points, m.points)
        assert [b.data.tolist() for b in cells] == [b.data.tolist() for b in m.cells]
        assert r.num_steps == 3
        for i in range(3):
            t, pd, cd = r.read_data(i)
            assert t == i
            np.testing.assert_array_equal(pd["realisation"], values[i, :n])
            np.testing.assert_array_equal(np.concatenate(cd["realisation"][:2]), values[i, n:])
    # a second run replaces both files
    run_ok(path, *FIELD, "-k", 1, "-o", tmp_path / "f.xdmf")
    with meshio.xdmf.TimeSeriesReader(str(tmp_path / "f.xdmf")) as r:
        r.read_points_cells()
        assert r.num_steps == 1
    assert sorted(os.listdir(tmp_path)) == ["f.h5", "f.npy", "f.xdmf", "mesh.vtu"]


def test_node_layout_csv(tmp_path, capsys):
    m = grid_mesh("quad")
    path = save(tmp_path, m, "mesh.vtu")
    run_ok(path, *FIELD, "-k", 3, "--at", "cells", "--layout", "nodes", "-o", tmp_path / "f.csv")
    run_ok(path, *FIELD, "-k", 3, "--at", "cells", "-o", tmp_path / "f.npy")
    lines = (tmp_path / "f.csv").read_text().splitlines()
    assert lines[:2] == ["# seed: 5", "x,y,realisation_0000,realisation_0001,realisation_0002"]
    table = np.loadtxt(tmp_path / "f.csv", delimiter=",", skiprows=2)
    np.testing.assert_array_equal(table[:, :2], fe.from_meshio(m).centroids)
    np.testing.assert_array_equal(table[:, 2:].T, np.load(tmp_path / "f.npy"))
    err = run_fails(capsys, path, *FIELD, "-k", 16383, "--layout", "nodes", "-o", tmp_path / "g.csv")
    assert "16,384 columns" in err and "16,383 asked" in err
    assert run_fails(capsys, path, *FIELD, "--layout", "nodes", "-o", tmp_path / "g.npy", status=2)
    assert sorted(os.listdir(tmp_path)) == ["f.csv", "f.npy", "mesh.vtu"]


def test_lognormal_moments_with_a_mean_gradient(tmp_path):
    m = grid_mesh("triangle", nx=4, nz=3, hole=False)
    path = save(tmp_path, m, "mesh.vtu")
    args = (path, "--theta-z", 1, "--mean", 20, "--sd", 4, "--mean-gradient", 2,
            "--distribution", "lognormal", "-k", 4000, "--seed", 11)
    mean = 20 + 2 * m.points[:, 1]
    sd_ln = np.sqrt(np.log1p((4 / mean) ** 2))
    # every node a Cholesky node (--dhchol below the spacing): exact marginals
    run_ok(*args, "--dhchol", 0.4, "-o", tmp_path / "f.npy")
    v = np.load(tmp_path / "f.npy")
    assert v.shape == (4000, 20) and (v > 0).all()
    # within 5 sampling errors of the mean and of the sd (lognormal kurtosis, cv 0.2 at most)
    assert np.abs(v.mean(axis=0) - mean).max() < 5 * 4 / np.sqrt(4000)
    assert np.abs(v.std(axis=0) - 4).max() < 5 * 4 * np.sqrt(2.8 / (4 * 4000))
    # with kriged nodes too, the logarithm's mean follows the gradient at every
    # node, the corners included (a kriged mean would not)
    run_ok(*args, "-o", tmp_path / "g.npy")
    log = np.log(np.load(tmp_path / "g.npy"))
    mu_ln = np.log(mean) - sd_ln ** 2 / 2
    assert np.abs(log.mean(axis=0) - mu_ln).max() < 5 * sd_ln.max() / np.sqrt(4000)
    # the conditional fill gives the kriged nodes the mean and sd asked for too
    # (its variance is within 2 % of the model's: 1 % of the sd)
    run_ok(*args, "--fill", "conditional", "-o", tmp_path / "c.npy")
    v = np.load(tmp_path / "c.npy")
    assert (v > 0).all()
    assert np.abs(v.mean(axis=0) - mean).max() < 5 * 4 / np.sqrt(4000) + 0.01 * 4
    assert np.abs(v.std(axis=0) - 4).max() < 5 * 4 * np.sqrt(2.8 / (4 * 4000)) + 0.01 * 4


def test_picture_on_the_mesh(tmp_path):
    pytest.importorskip("matplotlib")
    path = save(tmp_path, grid_mesh("mixed"), "mesh.vtu")
    for at in ("nodes", "cells"):
        run_ok(path, *FIELD, "--at", at, "--depth-down", "-o", tmp_path / "f.npy",
               "--plot", tmp_path / f"{at}.png")
        assert (tmp_path / f"{at}.png").read_bytes()[:4] == b"\x89PNG"


def flat_mesh():
    return meshio.Mesh(np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0.0]]), [("triangle", np.array([[0, 1, 2]]))])


@pytest.mark.parametrize("case", ["no elements", "3-D", "truncated", "garbage", "not finite",
                                  "bad node index", "lognormal mean", "lognormal gradient",
                                  "output format", "output is input",
                                  "output replaces the input's data", "missing"])
def test_bad_input_one_line_and_no_file(tmp_path, capsys, case):
    extra = []
    out = tmp_path / "out.vtu"
    if case == "no elements":
        path = save(tmp_path, meshio.Mesh(np.random.rand(5, 3) * [1, 1, 0],
                                          [("vertex", np.arange(5)[:, None])]), "m.vtu")
        extra = ["--at", "cells"]
        expect = "no elements"
    elif case == "3-D":
        path = save(tmp_path, meshio.Mesh(np.array([[0, 0, 0], [1, 0, 0], [0, 1, 1.0]]),
                                          [("triangle", np.array([[0, 1, 2]]))]), "m.vtu")
        expect = "3-D"
    elif case == "truncated":
        full = save(tmp_path, grid_mesh(), "full.vtu").read_bytes()
        path = tmp_path / "m.vtu"
        path.write_bytes(full[: len(full) // 2])
        os.unlink(tmp_path / "full.vtu")
        expect = "not a readable mesh file"
    elif case == "garbage":
        path = tmp_path / "m.msh"
        path.write_bytes(b"$MeshFormat\n4.1 0 8\n$EndMeshFormat\n$Nodes\n1 2\x00\xff")
        expect = "not a readable mesh file"
    elif case == "not finite":
        m = flat_mesh()
        m.points[1, 0] = np.nan
        path = save(tmp_path, m, "m.vtk")
        expect = "node 1 has a coordinate that is not finite"
    elif case == "bad node index":
        m = flat_mesh()
        m.cells[0].data[0, 2] = 7
        path = save(tmp_path, m, "m.vtk")
        expect = "refer to nodes that the mesh does not have"
    elif case in ("lognormal mean", "lognormal gradient"):
        path = save(tmp_path, flat_mesh(), "m.vtu")
        extra = ["--distribution", "lognormal", "--sd", 2] + (
            ["--mean", -1] if case == "lognormal mean" else ["--mean", 1, "--mean-gradient", -3])
        expect = "needs a positive mean"
    elif case == "output format":
        path = save(tmp_path, flat_mesh(), "m.vtu")
        out = tmp_path / "out.inp"
        expect = "unknown output file type '.inp'"
    elif case == "output is input":
        path = out = save(tmp_path, flat_mesh(), "m.vtu")
        expect = "it would be overwritten"
    elif case == "output replaces the input's data":
        path = save(tmp_path, flat_mesh(), "m.xdmf")
        out = tmp_path / "m.xmf"
        expect = "m.h5: it holds the data of the input"
    else:
        path = tmp_path / "m.vtu"
        expect = "no such file"
    before = sorted(os.listdir(tmp_path))
    err = run_fails(capsys, path, "--theta-z", 1, *extra, "-o", out)
    assert expect in err
    assert sorted(os.listdir(tmp_path)) == before


def test_3d_mesh_with_a_plane(tmp_path):
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1.0]])
    path = save(tmp_path, meshio.Mesh(pts, [("tetra", np.array([[0, 1, 2, 3]]))]), "m.vtu")
    run_ok(path, "--theta-z", 1, "--plane", "xz", "--at", "both", "-o", tmp_path / "f.vtu")
    out = meshio.read(tmp_path / "f.vtu")
    assert len(out.point_data["realisation_0000"]) == 4 and len(out.cell_data["realisation_0000"][0]) == 1
    assert "--plane xy|xz|yz" in run_fails_text(tmp_path, path)


def run_fails_text(tmp_path, path):
    from io import StringIO
    from contextlib import redirect_stderr
    buf = StringIO()
    with redirect_stderr(buf):
        assert cli(path, "--theta-z", 1, "-q", "-o", tmp_path / "g.npy") == 1
    return buf.getvalue()


def test_mesh_options_on_node_files_are_wrong_command_lines(tmp_path, capsys):
    np.save(tmp_path / "n.npy", np.zeros((3, 2)) + np.arange(3)[:, None])
    for extra in (["--plane", "xz"], ["--at", "cells"]):
        with pytest.raises(SystemExit) as e:
            cli(tmp_path / "n.npy", "--theta-z", 1, *extra, "-o", tmp_path / "f.npy")
        assert e.value.code == 2
    assert "for the mesh with its fields" not in run_fails(
        capsys, tmp_path / "n.npy", "--theta-z", 1, "-o", tmp_path / "f.vtu")
    assert os.listdir(tmp_path) == ["n.npy"]


def test_without_meshio_a_mesh_is_refused_naming_the_extra(tmp_path, capsys, monkeypatch):
    path = save(tmp_path, flat_mesh(), "m.vtu")
    monkeypatch.setitem(sys.modules, "meshio", None)
    err = run_fails(capsys, path, "--theta-z", 1, "-o", tmp_path / "f.npy")
    assert "need meshio (pip install 'random_field[mesh]')" in err
    assert os.listdir(tmp_path) == ["m.vtu"]


@pytest.mark.parametrize("suffix", [".vtu", ".xdmf"])
def test_a_failed_write_leaves_nothing(tmp_path, capsys, monkeypatch, suffix):
    path = save(tmp_path, grid_mesh("mixed"), "m.vtk")
    if suffix == ".vtu":
        def broken(filename, *a, **k):
            open(filename, "w").write("half")
            raise OSError(28, "No space left on device", str(filename))
        monkeypatch.setattr(meshio, "write", broken)
    else:
        import h5py
        real = h5py.Group.create_dataset

        def broken(self, name, *a, **k):
            if name.startswith("nodes/realisation_0001"):
                raise OSError(28, "No space left on device")
            return real(self, name, *a, **k)
        monkeypatch.setattr(h5py.Group, "create_dataset", broken)
    err = run_fails(capsys, path, "--theta-z", 1, "-k", 3, "-o", tmp_path / ("f" + suffix))
    assert "No space left on device" in err
    assert os.listdir(tmp_path) == ["m.vtk"]


def test_written_files_honour_the_umask(tmp_path):
    path = save(tmp_path, flat_mesh(), "m.vtu")
    old = os.umask(0o027)
    try:
        run_ok(path, "--theta-z", 1, "-o", tmp_path / "f.xdmf")
    finally:
        os.umask(old)
    for name in ("f.xdmf", "f.h5"):
        assert os.stat(tmp_path / name).st_mode & 0o777 == 0o640


# ---------------------------------------------------------------------------
# A Gmsh slope with a tunnel, second-order triangles, end to end


def test_gmsh_slope_with_a_tunnel(tmp_path):
    gmsh = pytest.importorskip("gmsh", reason="gmsh is not installed (it is in the test extra)")
    gmsh.initialize(["-noenv"], readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("slope")
        pts = [gmsh.model.occ.addPoint(x, y, 0) for x, y in ((0, 0), (30, 0), (30, 8), (18, 8),
                                                                 (8, 14), (0, 14))]
        lines = [gmsh.model.occ.addLine(pts[i], pts[(i + 1) % 6]) for i in range(6)]
        soil = gmsh.model.occ.addPlaneSurface([gmsh.model.occ.addCurveLoop(lines)])
        tunnel = gmsh.model.occ.addDisk(12, 5, 0, 2, 2)
        gmsh.model.occ.cut([(2, soil)], [(2, tunnel)])
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 1.0)
        gmsh.model.mesh.generate(2)
        gmsh.model.mesh.setOrder(2)
        gmsh.write(str(tmp_path / "slope.msh"))
    finally:
        gmsh.finalize()
    run_ok(tmp_path / "slope.msh", "--theta-z", 2, "--theta-x", 6, "--mean", 20, "--sd", 4,
           "--distribution", "lognormal", "--at", "cells", "-k", 2, "--seed", 1,
           "-o", tmp_path / "slope.vtu")
    m = fe.read(str(tmp_path / "slope.msh"))
    assert [m.mesh.cells[k].type for k in m.elements] == ["triangle6"]
    out = meshio.read(tmp_path / "slope.vtu")
    values = np.concatenate([c for c, b in zip(out.cell_data["realisation_0001"], out.cells)
                             if b.type == "triangle6"])
    assert len(values) == m.n_cells > 100 and (values > 0).all()
    # no element centroid lies in the tunnel
    assert (np.hypot(m.centroids[:, 0] - 12, m.centroids[:, 1] - 5) > 1.9).all()


# ---------------------------------------------------------------------------
# Hostile and unusual inputs, files that belong together


def xdmf_pair(tmp_path, m=None, name="a.xdmf", data="data"):
    """An .xdmf file whose numbers lie in data.h5 (another stem)."""
    meshio.write(tmp_path / f"{data}.xdmf", m if m is not None else grid_mesh("mixed"))
    os.rename(tmp_path / f"{data}.xdmf", tmp_path / name)
    return tmp_path / name


@pytest.mark.parametrize("how", ["xdmf of the data's stem", "picture over the data", "link to the data",
                                 "in Python"])
def test_no_output_replaces_a_file_the_input_refers_to(tmp_path, capsys, how):
    """a.xdmf keeps its numbers in data.h5: no output may replace data.h5."""
    path = xdmf_pair(tmp_path)
    data = tmp_path / "data.h5"
    if how == "link to the data":
        (tmp_path / "out.npy").symlink_to(data)
    elif how == "picture over the data":  # numbers in a file named as a picture
        data = data.rename(tmp_path / "data.png")
        path.write_text(path.read_text().replace("data.h5:", "data.png:"))
    before = {p: p.read_bytes() for p in tmp_path.iterdir()}
    if how == "in Python":
        m = fe.read(str(path))
        with pytest.raises(fe.MeshError, match="data.h5: it holds the data of the input"):
            fe.write(str(tmp_path / "data.xmf"), m, np.zeros(m.n_nodes))
    else:
        argv = {"xdmf of the data's stem": ["-o", tmp_path / "data.xdmf"],
                "picture over the data": ["-o", tmp_path / "f.npy", "--plot", data],
                "link to the data": ["-o", tmp_path / "out.npy"]}[how]
        err = run_fails(capsys, path, "--theta-z", 1, *argv)
        assert "holds the data of the input" in err and (how == "link to the data" or data.name in err)
    assert {p: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("how", ["absolute", "climbs out", "binary", "allowed"])
def test_xdmf_data_outside_its_folder_is_refused(tmp_path, capsys, how):
    (tmp_path / "other").mkdir()
    (tmp_path / "here").mkdir()
    path = xdmf_pair(tmp_path / "other", flat_mesh())
    text = path.read_text()
    os.rename(path, tmp_path / "here" / "a.xdmf")
    path = tmp_path / "here" / "a.xdmf"
    secret = tmp_path / "other" / "data.h5"
    if how in ("absolute", "allowed"):
        text = text.replace("data.h5:", f"{secret}:")
    elif how == "climbs out":
        text = text.replace("data.h5:", "../other/data.h5:")
    else:
        (tmp_path / "secret.bin").write_bytes(np.arange(9.0).tobytes())
        text = text.replace('Format="HDF"', 'Format="Binary"', 1)
        text = text.replace(text[text.index(">", text.index('Format="Binary"')) + 1:].split("<")[0],
                            "/" + str(tmp_path / "secret.bin").lstrip("/"), 1)
    path.write_text(text)
    out = tmp_path / "here" / "f.vtu"
    if how == "allowed":
        run_ok(path, "--theta-z", 1, "--allow-external-data", "-o", out)
        assert meshio.read(out).points.shape == (3, 3)
        return
    err = run_fails(capsys, path, "--theta-z", 1, "-o", out)
    assert "outside the folder of the file; --allow-external-data reads it" in err
    assert ("secret.bin" if how == "binary" else "data.h5") in err
    assert not out.exists()
    # the option is for .xdmf inputs only
    assert "is for an .xdmf input" in run_fails(capsys, save(tmp_path, flat_mesh(), "m.vtu"), "--theta-z", 1,
                                                "--allow-external-data", "-o", out, status=2)


def test_links_to_another_folder_get_their_companions_beside_the_target(tmp_path):
    path = save(tmp_path, grid_mesh("mixed"), "mesh.vtu")
    (tmp_path / "results").mkdir()
    link = tmp_path / "link.xdmf"
    link.symlink_to(tmp_path / "results" / "run.xdmf")
    run_ok(path, *FIELD, "-k", 2, "-o", link)
    assert sorted(os.listdir(tmp_path / "results")) == ["run.h5", "run.xdmf"]
    assert sorted(os.listdir(tmp_path)) == ["link.xdmf", "mesh.vtu", "results"]
    assert "run.h5:/" in link.read_text()
    with meshio.xdmf.TimeSeriesReader(str(link)) as r:
        r.read_points_cells()
        assert r.num_steps == 2


def test_zarr_link_is_written_through(tmp_path):
    pytest.importorskip("zarr")
    rfd = pytest.importorskip("random_field_sampler.distributed")
    (tmp_path / "stores").mkdir()
    link = tmp_path / "link.zarr"
    link.symlink_to(tmp_path / "stores" / "s.zarr")
    s = Sampler(x=np.arange(6.0), z=np.zeros(6), theta_z=1.0, mu=0.0, sigma=1.0)
    for k in (2, 3):  # a new store, then one replaced
        rfd.write_zarr(s, str(link), k, seed=1)
        assert link.is_symlink()
        assert sorted(os.listdir(tmp_path)) == ["link.zarr", "stores"]
        assert os.listdir(tmp_path / "stores") == ["s.zarr"]
    assert rfd.read_zarr_attrs(str(link))["realisations"] == 3


@pytest.mark.parametrize("suffix", [".vtu", ".xdmf"])
def test_an_earlier_study_is_left_out_and_the_mesh_own_data_kept(tmp_path, capsys, suffix):
    m = grid_mesh("mixed")
    m.cell_data["gmsh:physical"] = [np.full(len(b.data), 7 + i, dtype=np.int32) for i, b in enumerate(m.cells)]
    path = save(tmp_path, m, "mesh.vtu")
    run_ok(path, *FIELD, "-k", 5, "--at", "cells", "-o", tmp_path / "old.vtu")
    capsys.readouterr()
    assert cli(tmp_path / "old.vtu", *FIELD, "-k", 2, "--at", "cells", "-o", tmp_path / ("re" + suffix)) == 0
    err = capsys.readouterr().err
    notes = [line for line in err.splitlines() if "left out" in line]
    assert len(notes) == 1 and "5 arrays" in notes[0] and "realisation_0000" in notes[0], err
    if suffix == ".vtu":
        out = meshio.read(tmp_path / "re.vtu")
        assert sorted(out.cell_data) == ["gmsh:physical", "realisation_0000", "realisation_0001"]
        assert out.field_data["seed"].tolist() == [5]
        physical = out.cell_data["gmsh:physical"]
    else:
        with meshio.xdmf.TimeSeriesReader(str(tmp_path / "re.xdmf")) as r:
            _, cells = r.read_points_cells()
            assert r.num_steps == 2
            _, _, cd = r.read_data(1)
        assert sorted(cd) == ["gmsh:physical", "realisation"]
        physical = cd["gmsh:physical"]
    for values, b, i in zip(physical, m.cells, range(3)):
        assert np.asarray(values).ravel().tolist() == [7 + i] * len(b.data)


def tilted(angle_deg, about="x"):
    """The grid mesh turned about the x axis, so that its z = 0 plane tilts."""
    m = grid_mesh("triangle", nx=6, nz=4)
    a = np.radians(angle_deg)
    p = m.points.copy()
    y, z = p[:, 1].copy(), p[:, 2].copy()
    p[:, 1], p[:, 2] = y * np.cos(a) - z * np.sin(a), y * np.sin(a) + z * np.cos(a)
    return meshio.Mesh(p + [0, 0, 3.0], m.cells)


@pytest.mark.parametrize("mesh, plane, expect", [
    ("y = 3", "yz", "keep 0.0 % of their area; it lies in the xz plane: use --plane xz"),
    ("y = 3", None, "it lies in the xz plane: use --plane xz"),
    ("tilted 30", "xy", "keep 86.6 % of their area; it lies in a plane that is not a coordinate plane: "
                        "use --plane auto"),
    ("tilted 30", None, "use --plane auto"),
    ("curved", "auto", "--plane auto needs a mesh in one plane"),
    ("curved", "xy", "it does not lie in one plane"),
])
def test_a_plane_in_which_elements_lose_area_is_refused(mesh, plane, expect):
    if mesh == "y = 3":
        m = grid_mesh("quad")
        m = meshio.Mesh(m.points[:, [0, 2, 1]] + [0, 3, 0], m.cells)
    elif mesh == "tilted 30":
        m = tilted(30)
    else:
        m = grid_mesh("triangle", nx=6, nz=4)
        m.points[:, 2] = 0.3 * m.points[:, 0] ** 2
    with pytest.raises(fe.MeshError) as e:
        fe.from_meshio(m, plane, "m.vtu")
    assert str(e.value).startswith("m.vtu: ") and expect in str(e.value)


def test_plane_auto_keeps_the_distances_of_a_tilted_mesh(tmp_path):
    flat = fe.from_meshio(grid_mesh("triangle", nx=6, nz=4))
    m = fe.from_meshio(tilted(30), "auto")
    assert m.plane == "auto" and m.axis_names() == ("u", "v")
    # a rotation: every distance between nodes, and the centroids', as on the flat mesh
    for a, b in ((flat.nodes, m.nodes), (flat.centroids, m.centroids)):
        da = np.hypot(*(a[:, None, :] - a[None, :, :]).transpose(2, 0, 1))
        db = np.hypot(*(b[:, None, :] - b[None, :, :]).transpose(2, 0, 1))
        np.testing.assert_allclose(db, da, atol=1e-12)
    # u along x (the nearest coordinate plane is xy), v up the slope
    np.testing.assert_allclose(m.basis[0], [1, 0, 0], atol=1e-15)
    np.testing.assert_allclose(m.basis[1], [0, np.cos(np.radians(30)), np.sin(np.radians(30))], atol=1e-15)
    # a mesh in a coordinate plane: auto is that plane
    np.testing.assert_array_equal(fe.from_meshio(grid_mesh("quad"), "auto").nodes,
                                  fe.from_meshio(grid_mesh("quad")).nodes)
    path = save(tmp_path, tilted(30), "t.vtu")
    run_ok(path, "--theta-z", 1, "--plane", "auto", "--at", "both", "--layout", "nodes",
           "-o", tmp_path / "f.csv")
    assert (tmp_path / "f.csv").read_text().splitlines()[1].startswith("u,v,realisation_0000")


def test_no_warning_on_meshes_that_read(recwarn):
    import warnings
    far = grid_mesh("mixed")
    far.points[:] = far.points * 1e150 + 1e300  # products overflow, sums do not
    collapsed = grid_mesh("triangle", nx=3, nz=2)
    collapsed.points[:, 1] = 0.0  # every triangle without area
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for m, plane in ((far, None), (collapsed, None), (tilted(20), "auto")):
            got = fe.from_meshio(m, plane)
            assert np.isfinite(got.centroids).all()


@pytest.mark.skipif(bool(os.environ.get("RANDOM_FIELD_SANITIZED")),
                    reason="the sanitizers' allocator aborts on an allocation it cannot make")
def test_a_mesh_file_that_claims_more_than_memory_is_one_line(tmp_path):
    """A 100-byte .msh claiming 10^8 nodes, read in a child whose address
    space is limited to what it uses plus 1 GiB."""
    import subprocess
    big = tmp_path / "big.msh"
    big.write_text("$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n100000000\n1 0 0 0\n$EndNodes\n")
    script = ("import resource, sys\n"
              "from random_field_sampler import cli\n"
              "used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
              "resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30), resource.RLIM_INFINITY))\n"
              f"sys.exit(cli.main([{str(big)!r}, '--theta-z', '1', '-q', '-o', {str(tmp_path / 'f.npy')!r}]))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=300)
    err = done.stderr.decode()
    assert done.returncode == 1 and err.count("\n") == 1, err
    assert str(big) in err and "declares more data than memory holds" in err
    assert sorted(os.listdir(tmp_path)) == ["big.msh"]


def test_a_vtu_whose_arrays_would_inflate_beyond_any_mesh_is_refused(tmp_path):
    import base64
    import re
    import struct
    # block headers that claim 300 blocks of 4 MiB each
    path = save(tmp_path, grid_mesh("mixed"), "bomb.vtu")
    text = path.read_bytes()
    assert b"vtkZLibDataCompressor" in text
    bomb = base64.b64encode(struct.pack("<III", 300, 4 << 20, 4 << 20))  # the UInt32 header's start
    first = re.search(rb'format="binary"[^>]*>\s*', text)
    text = text[:first.end()] + bomb + text[first.end() + len(bomb):]
    path.write_bytes(text)
    with pytest.raises(fe.MeshError, match=r"bomb.vtu: not a readable mesh file \(its compressed arrays "
                                           r"would inflate to 1,2\d\d,\d\d\d,\d\d\d bytes"):
        fe.read(str(path))


@pytest.mark.parametrize("suffix, k", [(".xdmf", 700), (".vtu", 700), (".npy", 1400), (".csv", 700)])
@pytest.mark.parametrize("room", ["counted", "misreported"])
def test_a_full_disk_is_one_line_and_leaves_nothing(tmp_path, small_disk, capsys, monkeypatch, suffix, k, room):
    """1 MiB of disk: the room check refuses what will not fit (the scratch
    rows and the output both count); when the file system misreports its
    room, the write fails in one line, without a crash, leaving nothing."""
    from random_field_sampler.io import atomic
    path = save(tmp_path, grid_mesh("mixed"), "mesh.vtu")
    if room == "misreported":
        monkeypatch.setattr(atomic, "free_space", lambda folder: (1 << 40, f"free in {folder}"))
    err = run_fails(capsys, path, "--theta-z", 1, "-k", k, "-o", small_disk / ("f" + suffix))
    if room == "counted" and suffix != ".csv":  # CSV text is counted at its least, 8 bytes a value
        assert "bytes free in" in err and f"-k {k}:" in err
    else:
        assert "No space left on device" in err
    if room == "misreported":  # the file that met the full disk is named
        assert ("f.h5" if suffix == ".xdmf" else f"f{suffix}") in err
    assert os.listdir(small_disk) == [] and sorted(os.listdir(tmp_path)) == ["disk", "mesh.vtu"]


def test_a_store_that_holds_the_input_is_refused(tmp_path):
    pytest.importorskip("zarr")
    rfd = pytest.importorskip("random_field_sampler.distributed")
    from random_field_sampler.io.atomic import OutputError
    s = Sampler(x=np.arange(6.0), z=np.zeros(6), theta_z=1.0, mu=0.0, sigma=1.0)
    store = tmp_path / "s.zarr"
    rfd.write_zarr(s, str(store), 2, seed=1)
    (store / "nodes.csv").write_text("x,z\n0,0\n")
    with pytest.raises(OutputError, match="nodes.csv"):
        rfd.write_zarr(s, str(store), 2, seed=1, protect=[str(store / "nodes.csv")])
    assert (store / "nodes.csv").exists() and sorted(os.listdir(tmp_path)) == ["s.zarr"]


def test_the_command_line_keeps_a_store_that_holds_its_input(tmp_path, capsys):
    pytest.importorskip("zarr")
    pytest.importorskip("dask")
    store = tmp_path / "s.zarr"
    store.mkdir()
    (store / "zarr.json").write_text("{}")
    path = save(store, flat_mesh(), "m.vtu")
    err = run_fails(capsys, path, "--theta-z", 1, "-o", store)
    assert "m.vtu" in err and "it would be removed" in err
    assert sorted(os.listdir(store)) == ["m.vtu", "zarr.json"]
