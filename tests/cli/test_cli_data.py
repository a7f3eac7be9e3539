"""--data: fields conditioned on measured values, the data file read with
the node files' rules and never overwritten."""

import numpy as np
import pytest

from random_field_sampler import Sampler

from cli_helpers import N, X, Z, cli, files, same_bits, write_csv
from support import alias_of


def data_csv(tmp_path, rows, header="x,z,value", name="cpt.csv"):
    return write_csv(tmp_path / name, rows, header)


BAD_DATA = {
    "no value column": ("x,z,su", ["1,1,20"], "cpt.csv: no column named 'value' in the header"),
    "short row": ("x,z,value", ["1,1,20", "1,2"], "cpt.csv, line 3: no value value"),
    "not a number": ("x;z;value", ["1;1;20", "1;2;n/a"], "cpt.csv, line 3: the value value 'n/a' "
                                                         "is not a number"),
    "not finite, blank lines": ("x z value", ["1 1 20", "", "1 2 inf"],
                                "cpt.csv, line 4: the value value 'inf' is not finite"),
    "negative error": ("x,z,value,error", ["1,1,20,0", "1,2,21,-0.5"],
                       "cpt.csv, line 3: the error -0.5 is negative"),
    "empty error cell": ("x,z,value,error", ["1,1,20,0", "1,2,21,"], "cpt.csv, line 3: no error value"),
    "no data": ("x,z,value", [], "cpt.csv: no data"),
    "two values at a point": ("x,z,value", ["1,1,20", "2,1,22", "3,1,19", "2,1.0,21"],
                              "cpt.csv, line 3 and line 5: the point (2, 1) is measured twice "
                              "without error, as 22 and 21"),
}


@pytest.mark.parametrize("case", BAD_DATA)
def test_bad_data_files_are_refused_in_one_line(tmp_path, mesh_csv, capsys, case):
    header, rows, message = BAD_DATA[case]
    data = data_csv(tmp_path, rows, header)
    before = files(tmp_path)
    assert cli(mesh_csv, "--theta-z", 2, "--data", data, "-o", tmp_path / "out.npy") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert files(tmp_path) == before


@pytest.mark.parametrize("name, message", [
    ("nowhere.csv", "nowhere.csv: No such file or directory"),
    ("cpt.xlsx", "cpt.xlsx: unknown data file type '.xlsx'"),
])
def test_a_data_file_that_cannot_be_read_is_one_line(tmp_path, mesh_csv, capsys, name, message):
    if name.endswith(".xlsx"):
        (tmp_path / name).write_bytes(b"PK")
    assert cli(mesh_csv, "--theta-z", 2, "--data", tmp_path / name, "-o", tmp_path / "o.npy") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize("extra, value, message", [
    (["--distribution", "lognormal", "--mean", "20", "--sd", "5"], "-3",
     "cpt.csv, line 3: the value -3 is outside the range of a lognormal field"),
    (["--distribution", "lognormal", "--mean", "20", "--sd", "5"], "0",
     "cpt.csv, line 3: the value 0 is outside the range"),
])
def test_a_value_outside_the_distribution_is_refused(tmp_path, mesh_csv, capsys, extra, value, message):
    data = data_csv(tmp_path, ["1,1,20", f"2,1,{value}"])
    assert cli(mesh_csv, "--theta-z", 2, *extra, "--data", data, "-o", tmp_path / "o.npy") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err


def test_data_and_averages_are_a_wrong_command_line(tmp_path, capsys):
    data = data_csv(tmp_path, ["1,1,20"])
    with pytest.raises(SystemExit) as exit:
        cli(tmp_path / "m.vtu", "--theta-z", 2, "--at", "cells", "--average", "--data", data,
            "-o", tmp_path / "o.npy")
    assert exit.value.code == 2
    assert "--data conditions the field's point values" in capsys.readouterr().err


@pytest.mark.parametrize("how", ["same path", "relative path", "symbolic link", "hard link"])
def test_the_data_file_is_never_overwritten(tmp_path, mesh_csv, monkeypatch, capsys, how):
    data = data_csv(tmp_path, ["1,1,0.5", "3,2,-0.5"], name="cpt.csv")
    output = alias_of(data, how, monkeypatch, "out.csv")
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    for args in (["-o", output], ["-o", tmp_path / "fine.npy", "--plot", output]):
        assert cli(mesh_csv, "--theta-z", 2, "--data", data, *args) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "is the data file" in err, err
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    assert not (tmp_path / "fine.npy").exists()


# three data at nodes (one repeated with its value), one off the nodes and
# outside their extent
AT = [5, 40, 77]
XD = [float(X[i]) for i in AT] + [float(X[40]), 20.0]
ZD = [float(Z[i]) for i in AT] + [float(Z[40]), -3.0]


@pytest.mark.parametrize("distribution, values", [
    ("normal", [1.5, -0.7, 0.2, -0.7, 2.0]),
    ("lognormal", [30.0, 12.5, 20.0, 12.5, 41.0]),
])
def test_a_conditioned_run_passes_through_the_data_with_the_seed_rules(tmp_path, mesh_csv, capsys,
                                                                        distribution, values):
    data = data_csv(tmp_path, [f"{a!r},{b!r},{v!r}" for a, b, v in zip(XD, ZD, values)])
    extra = ["--distribution", "lognormal", "--mean", "20", "--sd", "5"] if distribution == "lognormal" else []
    out = tmp_path / "out.npy"
    assert cli(mesh_csv, "--theta-z", 1.5, "--model", "exponential", *extra, "--data", data,
               "-k", 5, "--seed", 3, "-o", out) == 0
    err = capsys.readouterr().err
    assert f"conditioned on 5 data from {data}" in err and "% of the unconditioned variance" in err
    rows = np.load(out)
    assert np.allclose(rows[:, AT], np.array(values[:3]), rtol=1e-9, atol=1e-9)
    assert not np.allclose(rows[0], rows[1])
    if distribution == "normal":
        s = Sampler(x=X, z=Z, theta_z=1.5, model=1, mu=0.0, sigma=1.0, data=(XD, ZD, values))
    else:
        s = Sampler(x=X, z=Z, theta_z=1.5, model=1, mu=20.0, sigma=5.0, distribution="lognormal",
                    data=(XD, ZD, values))
    for i in (0, 4):
        want = s.realisation(i, seed=3)
        assert same_bits(rows[i], want) if distribution == "normal" else np.allclose(rows[i], want, rtol=1e-12)


def test_measurement_errors_loosen_the_data(tmp_path, mesh_csv):
    rows = {}
    for name, error in (("exact", None), ("noisy", 0.25)):
        lines = [f"{a!r},{b!r},{v!r}" + ("" if error is None else f",{error!r}")
                 for a, b, v in zip(XD[:3], ZD[:3], (1.5, -0.7, 0.2))]
        data = data_csv(tmp_path, lines, "x,z,value" + ("" if error is None else ",error"), f"{name}.csv")
        out = tmp_path / f"{name}.npy"
        assert cli(mesh_csv, "--theta-z", 1.5, "--data", data, "-k", 200, "--seed", 1, "-q", "-o", out) == 0
        rows[name] = np.load(out)[:, AT]
    assert np.allclose(rows["exact"], [1.5, -0.7, 0.2], atol=1e-9)
    spread = rows["noisy"].std(axis=0)
    assert (spread > 0.2).all() and (spread < 0.6).all()   # the conditional sd: about 0.45 at most


def test_a_mesh_with_a_trend_passes_through_data_at_its_centroids_in_every_output(tmp_path):
    meshio = pytest.importorskip("meshio")
    from test_cli_averages import mixed_mesh
    from random_field_sampler.io import mesh as fe

    path = mixed_mesh(tmp_path)
    centres = fe.read(str(path)).centroids
    pick = [0, 9, 30]
    values = [21.0, 18.5, 26.0]
    rows = [f"{float(centres[i, 0])!r},{float(centres[i, 1])!r},{v!r}" for i, v in zip(pick, values)]
    data = data_csv(tmp_path, rows + ["-5.0,7.0,30.0"])     # and one beyond the mesh
    argv = [path, "--at", "cells", "--theta-z", 1.5, "--theta-x", 3, "--mean", 20, "--sd", 4,
            "--mean-gradient", 1.5, "--distribution", "lognormal", "--data", data, "-k", 3,
            "--seed", 8, "-q"]
    assert cli(*argv, "-o", tmp_path / "a.npy") == 0
    assert cli(*argv, "-o", tmp_path / "a.vtu") == 0
    got = np.load(tmp_path / "a.npy")
    assert np.allclose(got[:, pick], values, rtol=1e-9)
    vtu = meshio.read(tmp_path / "a.vtu")
    quads = len(vtu.cells[0].data)
    first = np.concatenate([vtu.cell_data["realisation_0000"][0],
                            vtu.cell_data["realisation_0000"][1]])
    assert quads > 0 and np.array_equal(first, got[0])


def test_a_zarr_store_of_a_conditioned_field_has_the_rows_of_the_npy(tmp_path, mesh_csv):
    pytest.importorskip("zarr")
    pytest.importorskip("distributed")
    import zarr
    data = data_csv(tmp_path, [f"{a!r},{b!r},{v!r}" for a, b, v in zip(XD, ZD, [1.5, -0.7, 0.2, -0.7, 2.0])])
    argv = [mesh_csv, "--theta-z", 1.5, "--data", data, "-k", 6, "--seed", 4, "-q"]
    assert cli(*argv, "-o", tmp_path / "a.npy") == 0
    assert cli(*argv, "-o", tmp_path / "a.zarr", "--chunk-rows", 2) == 0
    store = zarr.open_group(str(tmp_path / "a.zarr"), mode="r")
    assert np.array_equal(np.asarray(store["fields"]), np.load(tmp_path / "a.npy"))
    assert store.attrs["data"] == "cpt.csv"


def test_the_note_on_a_large_mesh_estimates_the_variance_left(tmp_path, mesh_csv, capsys, monkeypatch):
    import re
    from random_field_sampler.cli import run as command
    data = data_csv(tmp_path, [f"{a!r},{b!r},{v!r}" for a, b, v in zip(XD, ZD, [1.5, -0.7, 0.2, -0.7, 2.0])])
    shares = []
    for exact in (True, False):
        if not exact:
            monkeypatch.setattr(command, "EXACT_VARIANCE_NODES", 10)
        assert cli(mesh_csv, "--theta-z", 1.5, "--data", data, "--seed", 2, "-o", tmp_path / "o.npy") == 0
        err = capsys.readouterr().err
        assert ("estimated from 16 realisations" in err) != exact, err
        shares.append(int(re.search(r"(\d+) % of the unconditioned variance on average", err).group(1)))
    assert shares[0] < 90 and abs(shares[0] - shares[1]) <= 15
