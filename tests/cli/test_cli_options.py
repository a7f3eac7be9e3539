"""Options: the fills and their report, the version and the help, and the
refusal of an option that does nothing for the given input or output."""

import os
import sys

import numpy as np
import pytest

from random_field_sampler import Sampler
from random_field_sampler.cli.run import VARIANCE_SUBSET, kriged_variance_share

from cli_helpers import X, Z, cli, files, same_bits


def test_version_and_help(capsys):
    with pytest.raises(SystemExit) as exit:
        cli("--version")
    assert exit.value.code == 0
    pyproject = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "pyproject.toml")
    if sys.version_info >= (3, 11) and os.path.exists(pyproject):
        import tomllib
        with open(pyproject, "rb") as f:
            assert capsys.readouterr().out == f"random-field {tomllib.load(f)['project']['version']}\n"
    with pytest.raises(SystemExit):
        cli("--help")
    text = " ".join(capsys.readouterr().out.split())
    assert "up to rounding" in text
    # the input's and the output's help name every format
    for suffix in (".csv", ".npy", ".npz", ".msh", ".vtu", ".vtk", ".xdmf", ".zarr"):
        assert text.count(suffix) >= 2 or suffix in (".msh", ".npz"), suffix
    for suffix in (".csv", ".npy", ".npz", ".msh", ".vtu", ".vtk", ".xdmf", ".zarr"):
        assert suffix in text


WEAK = "of the requested variance; --fill conditional gives them all of it"


@pytest.mark.parametrize("fill, extra, warned", [
    ("kriging", [], True),                    # about 45 % at the kriged nodes
    ("kriging", ["-q"], False),               # quiet: no warning either
    ("kriging", ["--dhchol", "0.4"], False),  # every node a Cholesky node
    ("conditional", [], False),
    ("conditional", ["--neighbours", "5"], False),
    (None, [], False),                        # the default
])
@pytest.mark.parametrize("suffix", [".npy", ".csv"])
def test_fill_option_and_the_variance_warning(tmp_path, mesh_csv, capsys, fill, extra, warned, suffix):
    args = [mesh_csv, "--theta-z", 2, "--model", "exponential", "--sd", 3, "--mean", 1,
            "-k", 3, "--seed", 4, *extra] + (["--fill", fill] if fill else [])
    assert cli(*args, "-o", tmp_path / f"a{suffix}") == 0
    err = capsys.readouterr().err
    assert (WEAK in err) == warned
    if warned:
        line = next(l for l in err.splitlines() if WEAK in l)
        s = Sampler(x=X, z=Z, theta_z=2.0, mu=1.0, sigma=3.0, model=1, fill="kriging")
        share = np.mean(s.variance[s.krig_ind]) / 9.0
        assert f"carry on average {100 * share:.0f} %" in line and "about" not in line
    a = (np.load(tmp_path / "a.npy") if suffix == ".npy"
         else np.loadtxt(tmp_path / "a.csv", delimiter=",", ndmin=2))
    kw = dict(x=X, z=Z, theta_z=2.0, mu=1.0, sigma=3.0, model=1, fill=fill or "conditional")
    if "--dhchol" in extra:
        kw["Dhchol"] = 0.4
    if "--neighbours" in extra:
        kw["neighbours"] = 5
    s = Sampler(**kw)
    assert same_bits(a, np.array([s.realisation(i, seed=4) for i in range(3)]))


def test_variance_share_of_a_large_mesh_is_estimated_on_a_fixed_subset():
    x, z = (a.ravel() for a in np.meshgrid(np.arange(60) * 0.25, np.arange(30) * 0.25))
    s = Sampler(x=x, z=z, theta_z=2.0, mu=0.0, sigma=2.0, model=1, fill="kriging")
    share, estimated = kriged_variance_share(s, 2.0)
    assert estimated and s.Nkrig > VARIANCE_SUBSET
    exact = np.mean(s.variance[s.krig_ind]) / 4.0
    assert abs(share - exact) < 0.02
    assert kriged_variance_share(s, 2.0) == (share, True)


# An option that does nothing for the given input or output is refused,
# naming why; {tmp} is the test's folder, the input a node file unless the
# case names a mesh.
USELESS = {
    "--neighbours, kriging": (["--fill", "kriging", "--neighbours", "5"], "--neighbours is for --fill conditional"),
    "--neighbours 0": (["--neighbours", "0"], "--neighbours"),
    "unknown fill": (["--fill", "vecchia"], "--fill"),
    "--chunk-rows, .npy": (["--chunk-rows", "8"], "--chunk-rows is for a zarr store"),
    "--scheduler, .npy": (["--scheduler", "tcp://127.0.0.1:1"], "--scheduler is for a zarr store"),
    "--connect-timeout alone": (["-o", "{tmp}/a.zarr", "--connect-timeout", "3"],
                                "--connect-timeout is for --scheduler"),
    "--connect-timeout 0": (["-o", "{tmp}/a.zarr", "--scheduler", "tcp://127.0.0.1:1",
                             "--connect-timeout", "0"], "--connect-timeout: must be a positive number"),
    "--x-column on a mesh": (["--mesh", "--x-column", "x"], "--x-column is for node files"),
    "--z-column on a mesh": (["--mesh", "--z-column", "1"], "--z-column is for node files"),
    "--plane on nodes": (["--plane", "xy"], "--plane needs a mesh file"),
    "--at on nodes": (["--at", "nodes"], "--at needs a mesh file"),
    "--layout nodes, .npy": (["--layout", "nodes"], "--layout nodes is for CSV output"),
    "--layout rows, .npy": (["--layout", "rows"], "--layout rows is for CSV output"),
    "--depth-down without --plot": (["--depth-down"], "--depth-down turns the picture of --plot"),
    "seed too large": (["--seed", str(2**63)], "--seed: must be in 0 .. 2**63 - 1"),
    "negative seed": (["--seed", "-1"], "--seed: must be in 0 .. 2**63 - 1"),
}


@pytest.mark.parametrize("case", USELESS)
def test_options_that_do_nothing_are_refused(tmp_path, mesh_csv, capsys, case):
    argv = [a.format(tmp=tmp_path) for a in USELESS[case][0]]
    source = mesh_csv
    if "--mesh" in argv:
        argv.remove("--mesh")
        source = tmp_path / "slope.vtu"  # never read: the command line is refused first
    if "-o" not in argv:
        argv += ["-o", tmp_path / "a.npy"]
    before = files(tmp_path)
    with pytest.raises(SystemExit) as exit:
        cli(source, "--theta-z", 2, *argv)
    assert exit.value.code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and USELESS[case][1] in err[0], err
    assert files(tmp_path) == before
