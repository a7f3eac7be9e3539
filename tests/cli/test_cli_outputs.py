"""The command line's outputs: shapes, pictures, the installed command, and
the file rules (never the input, the umask, links written through)."""

import os
import shutil
import stat
import subprocess
import sys

import numpy as np
import pytest

from random_field_sampler import Sampler, cli as random_field_cli

from cli_helpers import N, X, Z, cli, files, run_ok, same_bits, write_csv
from support import alias_of


def test_output_shape_and_reproducibility(tmp_path, mesh_csv, capsys):
    args = [mesh_csv, "--theta-z", 2, "--theta-x", 3, "--sd", 2, "--mean", 5, "-k", 4, "--seed", 7]
    assert cli(*args, "-o", tmp_path / "a.npy") == 0
    assert cli(*args, "-o", tmp_path / "b.npy", "-q") == 0
    assert cli(*args, "-o", tmp_path / "c.csv", "-q") == 0
    assert "4 realisations of 84 nodes" in capsys.readouterr().out
    a, b = np.load(tmp_path / "a.npy"), np.load(tmp_path / "b.npy")
    assert a.shape == (4, N) and a.dtype == np.float64
    assert same_bits(a, b)
    # the CSV holds the same values, exactly
    assert same_bits(np.loadtxt(tmp_path / "c.csv", delimiter=",", ndmin=2), a)
    # and they are the realisations of the study seeded by 7
    s = Sampler(x=X, z=Z, theta_z=2.0, theta_x=3.0, mu=5.0, sigma=2.0, model=0, fill="conditional")
    assert same_bits(a, np.array([s.realisation(i, seed=7) for i in range(4)]))
    assert files(tmp_path) == ["a.npy", "b.npy", "c.csv", "mesh.csv"]


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


@pytest.mark.parametrize("how", ["same path", "relative path", "symbolic link", "hard link"])
@pytest.mark.parametrize("suffix", [".csv", ".npy"])
def test_the_node_file_is_never_overwritten(tmp_path, monkeypatch, capsys, how, suffix):
    mesh = tmp_path / f"mesh{suffix}"
    if suffix == ".csv":
        write_csv(mesh, ["0,1", "1,1"], "x,z")
    else:
        np.save(mesh, np.array([[0.0, 1.0], [1.0, 1.0]]))
    output = alias_of(mesh, how, monkeypatch, f"out{suffix}")
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
