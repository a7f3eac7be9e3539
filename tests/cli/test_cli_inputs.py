"""The command line's inputs: node files of every kind, and the one-line
refusal of bad ones."""

import numpy as np
import pytest

from random_field_sampler import Sampler

from cli_helpers import N, X, Z, cli, files, run_ok, same_bits, write_csv


def test_numpy_mesh_files_give_the_same_field(tmp_path, mesh_csv):
    np.save(tmp_path / "pairs.npy", np.column_stack([X, Z]))
    rec = np.zeros(N, dtype=[("z", "f4"), ("x", "f8")])
    rec["x"], rec["z"] = X, Z  # the coordinates are exact in float32 too
    np.save(tmp_path / "records.npy", rec)
    np.savez(tmp_path / "arrays.npz", x=X, z=Z)
    results = []
    for mesh in (mesh_csv, tmp_path / "pairs.npy", tmp_path / "records.npy", tmp_path / "arrays.npz"):
        out = tmp_path / f"out-{mesh.stem}.npy"
        assert cli(mesh, "--theta-z", 1.5, "--model", "exponential", "--seed", 1, "-q", "-o", out) == 0
        results.append(np.load(out))
    for r in results[1:]:
        assert same_bits(r, results[0])
    s = Sampler(x=X, z=Z, theta_z=1.5, model=1, mu=0.0, sigma=1.0, fill="conditional")
    assert same_bits(results[0][0], s.realisation(0, seed=1))


BAD_INPUT = {
    "missing column": ("id,x,depth", ["0,1,2", "1,2,3"], [], 1, "no column named 'z'"),
    "unequal lengths": ("x,z", ["0,1", "1,2", "2"], [], 1, "line 4: no z value"),
    "empty cell": ("x,z", ["0,1", ",2"], [], 1, "line 3: no x value"),
    "non-numeric": ("x,z", ["0,1", "1,one"], [], 1, "the z value 'one' is not a number"),
    "not finite": ("x,z", ["0,1", "nan,2"], [], 1, "line 3: the x value 'nan' is not finite"),
    "infinite z, blanks": ("x z", ["0 1", "", "1 -inf"], [], 1, "line 4: the z value '-inf' is not finite"),
    "semicolons, no column": ("x;y", ["0;1"], [], 1, "no column named 'z' in the header ('x', 'y', "
                                                     "separated by semicolons)"),
    "unknown separator": ("x|z", ["0|1"], [], 1, "header ('x|z', separated by blanks)"),
    "stretch overflows": ("x,z", ["3,1"], ["--theta-z", "1e300", "--theta-x", "1e-300"], 1,
                          "--theta-z 1e+300 with --theta-x 1e-300: the stretched x coordinates"),
    "covariances overflow": ("x,z", ["0,1"], ["--sd", "1e200"], 1, "--sd 1e+200: the covariances"),
    "2**62 realisations": ("x,z", ["0,1"], ["-k", str(2**62)], 1,
                           f"-k {2**62}: {2**62} realisations of 1 node need "
                           f"{2**62 * 8:,} bytes"),
    "1e21 realisations to csv": ("x,z", ["0,1", "1,1"], ["-k", str(10**21), "-o", "{tmp}/o.csv"], 1,
                                 f"need at least {10**21 * 16:,} bytes"),
    "output is the mesh": ("x,z", ["0,1"], ["-o", "{tmp}/mesh.csv"], 1,
                           "the output is the node file"),
    "picture is the mesh": ("x,z", ["0,1"], ["--plot", "{tmp}/mesh.csv"], 1,
                            "the picture is the node file"),
    "no nodes": ("x,z", [], [], 1, "no nodes"),
    "zero theta-z": ("x,z", ["0,1"], ["--theta-z", "0"], 2, "--theta-z: must be a positive number"),
    "negative theta-x": ("x,z", ["0,1"], ["--theta-x", "-2"], 2, "--theta-x: must be a positive number"),
    "infinite theta-z": ("x,z", ["0,1"], ["--theta-z", "inf"], 2, "--theta-z: must be a positive number"),
    "zero sd": ("x,z", ["0,1"], ["--sd", "0"], 2, "--sd: must be a positive number"),
    "no realisations": ("x,z", ["0,1"], ["-k", "0"], 2, "must be at least 1"),
    "unknown model": ("x,z", ["0,1"], ["--model", "spherical"], 2, "invalid choice"),
    "unwritable output": ("x,z", ["0,1"], ["-o", "{tmp}/no/such/dir/out.npy"], 1, "cannot write"),
    "output is a folder": ("x,z", ["0,1"], ["-o", "{tmp}/taken.npy"], 1, "it is a directory"),
    "unknown output type": ("x,z", ["0,1"], ["-o", "{tmp}/out.txt"], 1, "unknown output file type"),
    "unwritable picture": ("x,z", ["0,1"], ["--plot", "{tmp}/no/dir/p.png"], 1, "cannot write"),
}


@pytest.mark.parametrize("case", BAD_INPUT)
def test_bad_input_ends_with_one_line_and_no_output(tmp_path, capsys, case):
    header, rows, extra, status, message = BAD_INPUT[case]
    write_csv(tmp_path / "mesh.csv", rows, header)
    (tmp_path / "taken.npy").mkdir()
    before = files(tmp_path)
    argv = [tmp_path / "mesh.csv", "--theta-z", "2", "-o", tmp_path / "out.npy"]
    argv += [a.format(tmp=tmp_path) for a in extra]
    if status == 2:  # the command line itself: argparse's exit
        with pytest.raises(SystemExit) as exit:
            cli(*argv)
        got = exit.value.code
    else:
        got = cli(*argv)
    err = capsys.readouterr().err
    assert got == status
    assert err.count("\n") == 1 and err.startswith("random-field: error: ") and message in err, err
    assert files(tmp_path) == before


def corrupt_crc(path):
    """An .npz whose data no longer matches its CRC."""
    np.savez(path, x=np.arange(5.0), z=np.arange(5.0))
    data = bytearray(path.read_bytes())
    data[data.index(b"\x93NUMPY") + 140] ^= 0xFF
    path.write_bytes(bytes(data))


NPZ = {"unequal lengths", "no z array", "corrupt archive", "bad CRC archive"}
NUMPY_BAD = {
    "garbage": (lambda p: p.write_bytes(b"\x93NUMPY garbage"), "not a readable numpy file"),
    "missing": (lambda p: None, "No such file"),
    "unequal lengths": (lambda p: np.savez(p, x=np.zeros(3), z=np.zeros(2)),
                        "'x' and 'z' must have the same length, got 3 and 2"),
    "no z array": (lambda p: np.savez(p, x=np.zeros(3), y=np.zeros(3)), "no array named 'z'"),
    "four columns": (lambda p: np.save(p, np.zeros((4, 4))), "expected an (N, 2) array of x and z or an (N, 3)"),
    "one dimension": (lambda p: np.save(p, np.zeros(4)), "got shape (4,)"),
    "corrupt archive": (lambda p: p.write_bytes(b"PK\x03\x04garbage"), "not a readable numpy file"),
    "bad CRC archive": (lambda p: corrupt_crc(p), "Bad CRC-32"),
    "sub-array fields": (lambda p: np.save(p, np.zeros(3, [("x", "f8", (2,)), ("z", "f8", (2,))])),
                         "the field 'x' holds arrays of shape (2,), not one number per node"),
    "oversized header": (lambda p: np.save(p, np.zeros(2, [(f"f{i}", "f8") for i in range(3000)])),
                         "not a readable numpy file (Header info length"),
    "complex": (lambda p: np.save(p, np.zeros((4, 2), complex)), "must hold real numbers"),
    "objects": (lambda p: np.save(p, np.array([[1, None]], dtype=object)), "not a readable numpy file"),
}


@pytest.mark.parametrize("case", NUMPY_BAD)
def test_unreadable_mesh_files(tmp_path, capsys, case):
    write, message = NUMPY_BAD[case]
    mesh = tmp_path / ("mesh.npz" if case in NPZ else "mesh.npy")
    write(mesh)
    before = files(tmp_path)
    assert cli(mesh, "--theta-z", 2, "-o", tmp_path / "out.npy") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert files(tmp_path) == before


SEPARATED = {
    "semicolons": ("x;z", ";"),
    "tabs": ("x\tz", "\t"),
    "blanks": ("  x   z", "   "),
    "quoted, commas": ('"x","z"', ","),
}


@pytest.mark.parametrize("case", SEPARATED)
def test_common_separators(tmp_path, mesh_csv, case):
    header, sep = SEPARATED[case]
    mesh = write_csv(tmp_path / "m.txt", [f"{float(x)!r}{sep}{float(z)!r}" for x, z in zip(X, Z)], header)
    run_ok(mesh_csv, "--theta-z", 2, "--seed", 3, "-o", tmp_path / "want.npy")
    run_ok(mesh, "--theta-z", 2, "--seed", 3, "-o", tmp_path / "got.npy")
    assert np.load(tmp_path / "got.npy").tobytes() == np.load(tmp_path / "want.npy").tobytes()


def test_columns_by_name_and_by_index(tmp_path, mesh_csv):
    run_ok(mesh_csv, "--theta-z", 2, "--seed", 3, "-o", tmp_path / "want.npy")
    want = np.load(tmp_path / "want.npy")
    write_csv(tmp_path / "named.csv", [f"{float(z)!r},{float(x)!r}" for x, z in zip(X, Z)], "depth,east")
    np.save(tmp_path / "xyz.npy", np.column_stack([X, np.zeros(N), Z]))   # points in the x-z plane
    np.save(tmp_path / "xz0.npy", np.column_stack([X, Z, np.zeros(N)]))   # what mesh tools write
    for mesh, cols in [("named.csv", ["--x-column", "east", "--z-column", "depth"]),
                       ("xyz.npy", ["--z-column", "2"]), ("xz0.npy", []),
                       ("xz0.npy", ["--x-column", "0", "--z-column", "1"])]:
        run_ok(tmp_path / mesh, "--theta-z", 2, "--seed", 3, "-o", tmp_path / "got.npy", *cols)
        assert np.load(tmp_path / "got.npy").tobytes() == want.tobytes(), mesh


@pytest.mark.parametrize("cols, message", [
    (["--x-column", "x"], "without named columns: --x-column takes a column index 0 .. 2 there, not 'x'"),
    (["--z-column", "3"], "--z-column 3 is not a column of the (84, 3) array (0 .. 2)"),
    (["--x-column", "-1"], "--x-column -1 is not a column"),
])
def test_column_options_for_a_plain_array(tmp_path, capsys, cols, message):
    np.save(tmp_path / "xyz.npy", np.column_stack([X, Z, Z]))
    assert cli(tmp_path / "xyz.npy", "--theta-z", 2, "-o", tmp_path / "f.npy", *cols) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
