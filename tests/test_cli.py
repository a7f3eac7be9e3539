"""The random-field command line, end to end on small mesh files."""

import os
import signal
import stat
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import random_field
from random_field_sampler import cli as random_field_cli
from random_field_sampler import Sampler

X, Z = (a.ravel() for a in np.meshgrid(np.arange(14) * 0.5, np.arange(6) * 0.5))
N = len(X)


def write_csv(path, rows, header="id,x,z"):
    path.write_text(header + "\n" + "".join(r + "\n" for r in rows))
    return path


@pytest.fixture
def mesh_csv(tmp_path):
    return write_csv(tmp_path / "mesh.csv", [f"{i},{float(x)!r},{float(z)!r}" for i, (x, z) in enumerate(zip(X, Z))])


def cli(*argv):
    """Run the command in this process: (exit status, lines on standard error)."""
    return random_field_cli.main([str(a) for a in argv])


def files(folder):
    return sorted(os.listdir(folder))


def test_output_shape_and_reproducibility(tmp_path, mesh_csv, capsys):
    args = [mesh_csv, "--theta-z", 2, "--theta-x", 3, "--sd", 2, "--mean", 5, "-k", 4, "--seed", 7]
    assert cli(*args, "-o", tmp_path / "a.npy") == 0
    assert cli(*args, "-o", tmp_path / "b.npy", "-q") == 0
    assert cli(*args, "-o", tmp_path / "c.csv", "-q") == 0
    assert "4 realisations of 84 nodes" in capsys.readouterr().out
    a, b = np.load(tmp_path / "a.npy"), np.load(tmp_path / "b.npy")
    assert a.shape == (4, N) and a.dtype == np.float64
    np.testing.assert_array_equal(a, b)
    # the CSV holds the same values, exactly
    np.testing.assert_array_equal(np.loadtxt(tmp_path / "c.csv", delimiter=",", ndmin=2), a)
    # and they are the realisations the module draws after the same seed
    np.random.seed(7)
    kw = dict(x=X, z=Z, theta_z=2.0, theta_x=3.0, mu=5.0, sigma=2.0, model=0)
    expected = Sampler(**kw).draw(4)
    np.testing.assert_allclose(a, expected, rtol=0, atol=1e-12)
    assert files(tmp_path) == ["a.npy", "b.npy", "c.csv", "mesh.csv"]


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
        np.testing.assert_array_equal(r, results[0])
    np.random.seed(1)
    direct = random_field.get_random_field(x=X, z=Z, theta_z=1.5, model=1, mu=0.0, sigma=1.0)
    # the driver's realisation up to rounding
    np.testing.assert_allclose(results[0][0], direct, rtol=0, atol=1e-12 * np.abs(direct).max())


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


@pytest.mark.parametrize("failure, status", [(KeyboardInterrupt, 130), (MemoryError, 1)])
@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_a_failure_while_drawing_leaves_no_partial_file(tmp_path, mesh_csv, monkeypatch, capsys,
                                                        failure, status, suffix):
    calls = []
    real_draw = Sampler.draw

    def draw(self, k=1):
        calls.append(k)
        if len(calls) == 3:
            raise failure()
        return real_draw(self, k)

    monkeypatch.setattr(Sampler, "draw", draw)
    before = files(tmp_path)
    assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / f"out{suffix}",
               "--plot", tmp_path / "p.png") == status
    assert len(calls) == 3
    assert files(tmp_path) == before
    assert capsys.readouterr().err.startswith("random-field: ")


def test_plot_draws_the_first_realisation(tmp_path, mesh_csv):
    pytest.importorskip("matplotlib")
    assert cli(mesh_csv, "--theta-z", 2, "-k", 3, "-q", "-o", tmp_path / "f.npy",
               "--plot", tmp_path / "first.png") == 0
    assert (tmp_path / "first.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_is_refused_before_any_work(tmp_path, mesh_csv, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import fails
    before = files(tmp_path)
    assert cli(mesh_csv, "--theta-z", 2, "-o", tmp_path / "f.npy", "--plot", tmp_path / "p.png") == 1
    assert "--plot needs matplotlib" in capsys.readouterr().err
    assert files(tmp_path) == before


def test_installed_command(tmp_path, mesh_csv):
    """The console script, or the module when only a build tree is on the path."""
    script = shutil.which("random-field", path=os.path.dirname(sys.executable))
    if "site-packages" in random_field_cli.__file__:  # installed: the script comes with it
        assert script, "the random-field script was not installed beside the interpreter"
    command = [script] if script else [sys.executable, "-m", "random_field_sampler"]
    run = lambda *a: subprocess.run(command + [str(x) for x in a], capture_output=True, text=True)
    ok = run(mesh_csv, "--theta-z", 2, "-k", 2, "--seed", 5, "-o", tmp_path / "f.npy")
    assert ok.returncode == 0, ok.stderr
    assert np.load(tmp_path / "f.npy").shape == (2, N)
    bad = run(mesh_csv, "--theta-z", -1, "-o", tmp_path / "g.npy")
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1
    assert not (tmp_path / "g.npy").exists()


def run_ok(*argv):
    assert cli(*argv, "-q") == 0


@pytest.mark.parametrize("how", ["same path", "relative path", "symbolic link", "hard link"])
@pytest.mark.parametrize("suffix", [".csv", ".npy"])
def test_the_node_file_is_never_overwritten(tmp_path, monkeypatch, capsys, how, suffix):
    mesh = tmp_path / f"mesh{suffix}"
    if suffix == ".csv":
        write_csv(mesh, ["0,1", "1,1"], "x,z")
    else:
        np.save(mesh, np.array([[0.0, 1.0], [1.0, 1.0]]))
    output = tmp_path / f"out{suffix}"
    if how == "same path":
        output = mesh
    elif how == "relative path":
        monkeypatch.chdir(tmp_path)
        output = f"./sub/../{mesh.name}"
        (tmp_path / "sub").mkdir()
    elif how == "symbolic link":
        output.symlink_to(mesh.name)
    else:
        os.link(mesh, output)
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    for args in (["-o", output], ["-o", tmp_path / "fine.npy", "--plot", output]):
        assert cli(mesh, "--theta-z", 2, *args) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "is the node file" in err, err
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    assert not (tmp_path / "fine.npy").exists()


def test_picture_and_output_must_differ(tmp_path, mesh_csv, capsys):
    (tmp_path / "p.png").symlink_to("out.npy")
    assert cli(mesh_csv, "--theta-z", 2, "-o", tmp_path / "out.npy", "--plot", tmp_path / "p.png") == 1
    assert "are one file" in capsys.readouterr().err
    assert files(tmp_path) == ["mesh.csv", "p.png"]


@pytest.fixture
def umask():
    saved = os.umask(0o022)
    os.umask(saved)

    def set_mask(mask):
        os.umask(mask)
    yield set_mask
    os.umask(saved)


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_new_outputs_get_the_mode_the_umask_allows(tmp_path, mesh_csv, umask, mask, suffix):
    umask(mask)
    out = tmp_path / f"f{suffix}"
    run_ok(mesh_csv, "--theta-z", 2, "-o", out)
    assert stat.S_IMODE(out.stat().st_mode) == 0o666 & ~mask
    out.chmod(0o640)  # a file that is replaced keeps its mode
    run_ok(mesh_csv, "--theta-z", 2, "-o", out)
    assert stat.S_IMODE(out.stat().st_mode) == 0o640


@pytest.mark.parametrize("exists", [True, False])
def test_a_link_is_written_through_to_its_target(tmp_path, mesh_csv, exists):
    (tmp_path / "store").mkdir()
    target = tmp_path / "store" / "fields.npy"
    if exists:
        target.write_bytes(b"old")
    link = tmp_path / "latest.npy"
    link.symlink_to(target)
    run_ok(mesh_csv, "--theta-z", 2, "-k", 2, "-o", link)
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert np.load(target).shape == (2, N)
    assert files(tmp_path / "store") == ["fields.npy"]
    assert files(tmp_path) == ["latest.npy", "mesh.csv", "store"]


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_sigterm_removes_what_was_started(tmp_path, mesh_csv, monkeypatch, capsys, signum, status):
    real_draw = Sampler.draw
    calls = []

    def draw(self, k=1):
        calls.append(k)
        if len(calls) == 2:
            os.kill(os.getpid(), signum)
        return real_draw(self, k)

    monkeypatch.setattr(Sampler, "draw", draw)
    saved = signal.signal(signum, signal.SIG_DFL)  # as a shell leaves it
    try:
        assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / "f.npy",
                   "--plot", tmp_path / "p.png") == status
        assert signal.getsignal(signum) == signal.SIG_DFL  # put back for the caller
    finally:
        signal.signal(signum, saved)
    assert len(calls) == 2
    assert capsys.readouterr().err == f"random-field: terminated by {signal.Signals(signum).name}\n"
    assert files(tmp_path) == ["mesh.csv"]


def test_an_ignored_sigterm_stays_ignored(tmp_path, mesh_csv, monkeypatch):
    old = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    try:
        real_draw = Sampler.draw

        def draw(self, k=1):
            os.kill(os.getpid(), signal.SIGTERM)
            return real_draw(self, k)

        monkeypatch.setattr(Sampler, "draw", draw)
        run_ok(mesh_csv, "--theta-z", 2, "-o", tmp_path / "f.npy")
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_IGN
    finally:
        signal.signal(signal.SIGTERM, old)


def test_sigterm_to_the_running_command(tmp_path):
    """A real process, stopped while its output is half written."""
    x, z = (a.ravel() for a in np.meshgrid(np.arange(60.0), np.arange(40.0)))
    np.save(tmp_path / "mesh.npy", np.column_stack([x, z]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "random_field_sampler", tmp_path / "mesh.npy",
                             "--theta-z", "3", "-k", "100000", "-q", "-o", tmp_path / "f.csv"],
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        deadline = time.monotonic() + 60
        part = []
        while not part and time.monotonic() < deadline and proc.poll() is None:
            part = [p for p in tmp_path.iterdir() if p.name.endswith(".part") and p.stat().st_size]
            time.sleep(0.02)
        assert part, "the command never started writing"
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 143, err
    assert err == "random-field: terminated by SIGTERM\n"
    assert files(tmp_path) == ["mesh.npy"]


@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_a_value_that_is_not_finite_is_never_written(tmp_path, mesh_csv, monkeypatch, capsys, suffix):
    real_draw = Sampler.draw
    calls = []

    def draw(self, k=1):
        rows = real_draw(self, k)
        calls.append(k)
        if len(calls) == 3:
            rows[-1, 5] = np.inf
        return rows

    monkeypatch.setattr(Sampler, "draw", draw)
    assert cli(mesh_csv, "--theta-z", 2, "-k", 200, "-o", tmp_path / f"f{suffix}") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"realisation {sum(calls)} is not finite at node 5 (inf)" in err
    assert files(tmp_path) == ["mesh.csv"]


@pytest.mark.parametrize("failure", [RuntimeError("one\ntwo"), ValueError("bad value")])
def test_unexpected_errors_are_one_line(tmp_path, mesh_csv, monkeypatch, capsys, failure):
    def broken(self, k=1):
        raise failure
    monkeypatch.setattr(Sampler, "draw", broken)
    assert cli(mesh_csv, "--theta-z", 2, "-o", tmp_path / "f.npy") == 1
    err = capsys.readouterr().err
    assert err == f"random-field: error: {type(failure).__name__}: {str(failure).splitlines()[0]}\n"
    assert files(tmp_path) == ["mesh.csv"]


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


def test_version_and_help(capsys):
    with pytest.raises(SystemExit) as exit:
        cli("--version")
    assert exit.value.code == 0
    pyproject = os.path.join(os.path.dirname(__file__), os.pardir, "pyproject.toml")
    if sys.version_info >= (3, 11) and os.path.exists(pyproject):
        import tomllib
        with open(pyproject, "rb") as f:
            assert capsys.readouterr().out == f"random-field {tomllib.load(f)['project']['version']}\n"
    with pytest.raises(SystemExit):
        cli("--help")
    assert "up to rounding" in " ".join(capsys.readouterr().out.split())


WEAK = "of the requested variance; --fill conditional gives them all of it"


@pytest.mark.parametrize("fill, extra, warned", [
    ("kriging", [], True),                    # about 45 % at the kriged nodes
    ("kriging", ["-q"], False),               # quiet: no warning either
    ("kriging", ["--dhchol", "0.4"], False),  # every node a Cholesky node
    ("conditional", [], False),
    ("conditional", ["--neighbours", "5"], False),
])
def test_fill_option_and_the_variance_warning(tmp_path, mesh_csv, capsys, fill, extra, warned):
    args = [mesh_csv, "--theta-z", 2, "--model", "exponential", "--sd", 3, "--mean", 1,
            "-k", 3, "--seed", 4, "--fill", fill, *extra]
    assert cli(*args, "-o", tmp_path / "a.npy") == 0
    err = capsys.readouterr().err
    assert (WEAK in err) == warned
    if warned:
        line = next(l for l in err.splitlines() if WEAK in l)
        s = Sampler(x=X, z=Z, theta_z=2.0, mu=1.0, sigma=3.0, model=1)
        share = np.mean(s.variance[s.krig_ind]) / 9.0
        assert f"carry on average {100 * share:.0f} %" in line and "about" not in line
    a = np.load(tmp_path / "a.npy")
    np.random.seed(4)
    kw = dict(x=X, z=Z, theta_z=2.0, mu=1.0, sigma=3.0, model=1)
    if "--dhchol" in extra:
        kw["Dhchol"] = 0.4
    if fill == "conditional":
        kw.update(fill="conditional", neighbours=5 if "--neighbours" in extra else None)
    np.testing.assert_allclose(a, Sampler(**kw).draw(3), rtol=0, atol=1e-12)


def test_variance_share_of_a_large_mesh_is_estimated_on_a_fixed_subset():
    x, z = (a.ravel() for a in np.meshgrid(np.arange(60) * 0.25, np.arange(30) * 0.25))
    s = Sampler(x=x, z=z, theta_z=2.0, mu=0.0, sigma=2.0, model=1)
    share, estimated = random_field_cli.kriged_variance_share(s, 2.0)
    assert estimated and s.Nkrig > random_field_cli.VARIANCE_SUBSET
    exact = np.mean(s.variance[s.krig_ind]) / 4.0
    assert abs(share - exact) < 0.02
    assert random_field_cli.kriged_variance_share(s, 2.0) == (share, True)


@pytest.mark.parametrize("argv, message", [
    (["--neighbours", "5"], "--neighbours is for --fill conditional"),
    (["--fill", "conditional", "--neighbours", "0"], "--neighbours"),
    (["--fill", "vecchia"], "--fill"),
])
def test_fill_options_refused(tmp_path, mesh_csv, capsys, argv, message):
    with pytest.raises(SystemExit) as exit:
        cli(mesh_csv, "--theta-z", 2, "-o", tmp_path / "a.npy", *argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]
    assert files(tmp_path) == ["mesh.csv"]
