"""random-field --at cells --average: element averages in every output,
the same rows as CellAverages, point values unchanged without it, and the
option refused where it does nothing."""
import numpy as np
import pytest

meshio = pytest.importorskip("meshio")

from random_field_sampler import Sampler  # noqa: E402
from random_field_sampler.averages import CellAverages, Cells  # noqa: E402
from random_field_sampler.io import mesh as fe  # noqa: E402
from random_field_sampler.transform import parameters  # noqa: E402

from cli_helpers import cli, run_ok, same_bits  # noqa: E402

FIELD = ["--theta-z", "1.5", "--theta-x", "3", "--model", "exponential", "--seed", "5"]


def mixed_mesh(tmp_path, name="mesh.vtu"):
    """Quadrilaterals left, second-order triangles right, boundary lines."""
    nx, nz, h = 8, 4, 0.5
    I, J = np.meshgrid(np.arange(nx + 1), np.arange(nz + 1))
    pts = np.column_stack([I.ravel() * h, J.ravel() * h])
    node = lambda i, j: j * (nx + 1) + i  # noqa: E731
    quads, tris = [], []
    for j in range(nz):
        for i in range(nx):
            q = [node(i, j), node(i + 1, j), node(i + 1, j + 1), node(i, j + 1)]
            if i < nx // 2:
                quads.append(q)
            else:
                tris += [[q[0], q[1], q[2]], [q[0], q[2], q[3]]]
    m = meshio.Mesh(pts, [("quad", np.array(quads)), ("triangle", np.array(tris)),
                          ("line", np.array([[node(i, 0), node(i + 1, 0)] for i in range(nx)]))])
    path = tmp_path / name
    meshio.write(path, m)
    return path


@pytest.mark.parametrize("distribution", ["normal", "lognormal"])
def test_rows_are_cell_averages(tmp_path, distribution):
    path = mixed_mesh(tmp_path)
    argv = [*FIELD, "--mean", "20", "--sd", "4", "--distribution", distribution]
    run_ok(path, *argv, "--at", "cells", "--average", "-k", 9, "-o", tmp_path / "a.npy")
    run_ok(path, *argv, "--at", "cells", "--average", "-k", 9, "-o", tmp_path / "a.vtu")
    got = np.load(tmp_path / "a.npy")
    cells = Cells.of_mesh(fe.read(str(path)))
    want = CellAverages(cells=cells, theta_z=1.5, theta_x=3.0, model=1, mu=20.0, sigma=4.0,
                        distribution=distribution).draw(9, seed=5)
    if distribution == "normal":
        assert same_bits(got, want)
    else:   # the command's transform of the standard field: the same up to rounding
        np.testing.assert_allclose(got, want, rtol=1e-13)
    out = meshio.read(tmp_path / "a.vtu")
    np.testing.assert_array_equal(
        np.concatenate([out.cell_data["realisation_0003"][k] for k in (0, 1)]), got[3])
    # the averages vary less than the centroid values
    run_ok(path, *argv, "--at", "cells", "-k", 9, "-o", tmp_path / "c.npy")
    assert not np.array_equal(np.load(tmp_path / "c.npy"), got)


def test_point_values_unchanged_without_average(tmp_path):
    path = mixed_mesh(tmp_path)
    run_ok(path, *FIELD, "--at", "cells", "-k", 10, "-o", tmp_path / "c.npy")
    x, z = fe.read(str(path)).coordinates("cells")
    want = Sampler(x=x, z=z, theta_z=1.5, theta_x=3.0, model=1, mu=0.0, sigma=1.0).draw(10, seed=5)
    assert same_bits(np.load(tmp_path / "c.npy"), want)


def test_mean_gradient_shifts_each_average_by_its_centroid(tmp_path):
    path = mixed_mesh(tmp_path)
    run_ok(path, *FIELD, "--mean", "3", "--mean-gradient", "2", "--sd", "0.5", "--at", "cells",
           "--average", "-k", 4, "-o", tmp_path / "g.npy")
    m = fe.read(str(path))
    _, z = m.coordinates("cells")
    _, _, t = parameters("normal", 3 + 2 * z, 0.5, standard=True)
    a = CellAverages(cells=Cells.of_mesh(m), theta_z=1.5, theta_x=3.0, model=1, mu=0.0,
                     sigma=1.0).draw(4, seed=5)
    np.testing.assert_allclose(np.load(tmp_path / "g.npy"), t(a), rtol=1e-14)


@pytest.mark.parametrize("at", [None, "nodes", "both"])
def test_average_without_cells_is_refused(tmp_path, capsys, at):
    path = tmp_path / "mesh.vtu"    # never read: the command line is refused first
    argv = [path, *FIELD, "--average", "-o", tmp_path / "f.npy"] + (["--at", at] if at else [])
    with pytest.raises(SystemExit) as exit:
        cli(*argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "--average is for --at cells" in err[-1]
    assert not (tmp_path / "f.npy").exists()


def test_average_of_solid_elements_is_one_line(tmp_path, capsys):
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], float)
    meshio.write(tmp_path / "t.vtu", meshio.Mesh(pts, [("tetra", np.array([[0, 1, 2, 3]]))]))
    assert cli(tmp_path / "t.vtu", *FIELD, "--plane", "xy", "--at", "cells", "--average",
               "-o", tmp_path / "f.npy") == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "triangles and quadrilaterals" in err[0]
    assert not (tmp_path / "f.npy").exists()
