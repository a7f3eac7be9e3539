"""--angle: the bedding's direction reaches the sampler, and is refused when
it is not a finite number of degrees."""
import numpy as np
import pytest

from random_field_sampler import Sampler

from cli_helpers import X, Z, cli, files, same_bits


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_angle_reaches_the_sampler(tmp_path, mesh_csv, fill):
    out = tmp_path / "f.npy"
    assert cli(mesh_csv, "--theta-z", 1.0, "--theta-x", 3.0, "--angle", 30, "--fill", fill,
               "--seed", 5, "-k", 3, "-o", out, "-q") == 0
    s = Sampler(x=X, z=Z, theta_z=1.0, theta_x=3.0, mu=0.0, sigma=1.0, angle=30.0, fill=fill)
    assert same_bits(np.load(out), s.draw(3, seed=5))


@pytest.mark.parametrize("value", ["nan", "inf", "thirty"])
def test_angle_that_is_not_a_finite_number_is_a_wrong_command_line(tmp_path, mesh_csv, capsys, value):
    with pytest.raises(SystemExit) as exit:
        cli(mesh_csv, "--theta-z", 1.0, "--angle", value, "-o", tmp_path / "f.npy", "-q")
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert "--angle" in err and len(err.strip().splitlines()) == 1
    assert files(tmp_path) == ["mesh.csv"]


def test_angle_in_the_help(capsys):
    with pytest.raises(SystemExit):
        cli("--help")
    assert "--angle DEG" in capsys.readouterr().out
