"""One meaning of a seed: row i of every output format is
``Sampler(...).realisation(i, seed=S)`` bit for bit, and a run without
--seed prints and stores the seed it drew, so that it can be repeated."""

import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from random_field_sampler import Sampler

from cli_helpers import X, Z, cli, same_bits

K = 12
OPTIONS = ["--theta-z", "2", "--theta-x", "3", "--mean", "5", "--sd", "2"]


def sampler(fill):
    return Sampler(x=X, z=Z, theta_z=2.0, theta_x=3.0, mu=5.0, sigma=2.0, model=0, fill=fill)


@pytest.fixture
def mesh_vtu(tmp_path):
    """The nodes of mesh_csv as a triangulated .vtu in the x-y plane."""
    meshio = pytest.importorskip("meshio")
    pytest.importorskip("h5py")
    nx, nz = 14, 6
    i = np.arange(nx * nz).reshape(nz, nx)
    a, b, c, d = i[:-1, :-1].ravel(), i[:-1, 1:].ravel(), i[1:, 1:].ravel(), i[1:, :-1].ravel()
    triangles = np.concatenate([np.column_stack([a, b, c]), np.column_stack([a, c, d])])
    points = np.column_stack([X, Z, np.zeros_like(X)])
    path = tmp_path / "grid.vtu"
    meshio.write(str(path), meshio.Mesh(points, [("triangle", triangles)]))
    return path


def read_rows(path, layout="rows"):
    """(rows, the seed stored with them or None) of an output."""
    suffix = path.suffix
    if suffix == ".npy":
        return np.load(path), None
    if suffix == ".csv":
        lines = path.read_text().splitlines()
        comments = [l for l in lines if l.startswith("#")]
        seed = int(re.fullmatch(r"# seed: (\d+)", comments[0]).group(1)) if comments else None
        data = [l for l in lines if not l.startswith("#")][1 if layout == "nodes" else 0:]
        table = np.loadtxt(data, delimiter=",", ndmin=2)
        return (table[:, 2:].T.copy() if layout == "nodes" else table), seed
    if suffix == ".vtu":
        import meshio
        m = meshio.read(str(path))
        rows = np.array([m.point_data[f"realisation_{i:04d}"] for i in range(K)])
        return rows, int(np.asarray(m.field_data["seed"]).ravel()[0])
    if suffix == ".xdmf":
        import h5py
        with h5py.File(path.with_suffix(".h5"), "r") as h5:
            rows = np.array([h5[f"nodes/realisation_{i:04d}"][...] for i in range(K)])
        info = {e.get("Name"): e.get("Value") for e in ET.parse(path).iter("Information")}
        return rows, int(info["seed"])
    if suffix == ".zarr":
        import zarr
        g = zarr.open_group(str(path), mode="r")
        return np.asarray(g["fields"][...]), int(g.attrs["seed_entropy"])
    raise AssertionError(suffix)


FORMATS = {
    "npy": ("nodes.csv", "f.npy", []),
    "csv": ("nodes.csv", "f.csv", []),
    "csv, a node per row": ("nodes.csv", "f.csv", ["--layout", "nodes"]),
    "vtu": ("grid.vtu", "f.vtu", []),
    "xdmf": ("grid.vtu", "f.xdmf", []),
    "zarr": ("nodes.csv", "f.zarr", []),
}


def source(tmp_path, name, mesh_csv, request):
    if name == "grid.vtu":
        return request.getfixturevalue("mesh_vtu")
    return mesh_csv


@pytest.mark.parametrize("fill", ["conditional", "kriging"])
@pytest.mark.parametrize("case", FORMATS)
def test_row_i_of_every_format_is_realisation_i(tmp_path, mesh_csv, request, capsys, case, fill):
    inp, out, extra = FORMATS[case]
    if out.endswith(".zarr"):
        pytest.importorskip("distributed")
        pytest.importorskip("zarr")
    path = source(tmp_path, inp, mesh_csv, request)
    assert cli(path, *OPTIONS, "--fill", fill, "--seed", 5, "-k", K, "-q", *extra,
               "-o", tmp_path / out) == 0
    rows, stored = read_rows(tmp_path / out, "nodes" if extra else "rows")
    s = sampler(fill)
    assert same_bits(rows, np.array([s.realisation(i, seed=5) for i in range(K)]))
    assert stored in (None, 5) and (stored == 5) == (not out.endswith(".npy"))
    assert capsys.readouterr().err == ""  # a seed given is not printed


@pytest.mark.parametrize("case", ["npy", "csv", "csv, a node per row", "vtu", "xdmf"])
def test_a_fresh_seed_is_printed_stored_and_repeats_the_run(tmp_path, mesh_csv, request, capsys, case):
    inp, out, extra = FORMATS[case]
    path = source(tmp_path, inp, mesh_csv, request)
    assert cli(path, *OPTIONS, "-k", K, "-q", *extra, "-o", tmp_path / out) == 0
    err = capsys.readouterr().err
    printed = re.fullmatch(r"random-field: seed (\d+) \(drawn afresh; --seed \1 draws these "
                           r"realisations again\)\n", err)
    assert printed, err
    seed = int(printed.group(1))
    assert 0 <= seed < 2**63
    rows, stored = read_rows(tmp_path / out, "nodes" if extra else "rows")
    assert stored == (None if out.endswith(".npy") else seed)
    assert same_bits(rows, np.array([sampler("conditional").realisation(i, seed=seed)
                                     for i in range(K)]))
    # two runs without a seed draw different studies
    assert cli(path, *OPTIONS, "-k", K, "-q", *extra, "-o", tmp_path / ("again" + out[1:])) == 0
    assert read_rows(tmp_path / ("again" + out[1:]), "nodes" if extra else "rows")[1] != seed or \
        out.endswith(".npy")


@pytest.mark.parametrize("rows", [1, 3, 8, 13, None])
def test_the_batches_change_no_bit(tmp_path, mesh_csv, batches, rows):
    """Whatever batches the sampler is asked for, a seeded run writes the
    same bits (and the progress follows the batches)."""
    if rows is not None:
        calls = batches(rows)
    assert cli(mesh_csv, *OPTIONS, "--seed", 9, "-k", 21, "-q", "-o", tmp_path / "f.npy") == 0
    if rows is not None:
        assert sum(calls) == 21
    s = sampler("conditional")
    assert same_bits(np.load(tmp_path / "f.npy"), np.array([s.realisation(i, seed=9) for i in range(21)]))
