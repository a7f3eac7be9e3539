"""Studies conditioned on measured data: a data file per property of a
region, its values in the property's units, correlated properties
conditioned together."""
import math
import os
import pathlib
import shutil

import numpy as np
import pytest

from random_field_sampler import Property, Region, Study, load_study
from random_field_sampler.cli import main
from random_field_sampler.io.mesh import read as read_mesh

FILE = (pathlib.Path(__file__).parent / "slope_study.toml").read_text()


def clay(**kwargs):
    return Region("clay", model="exponential", theta_z=2.0, theta_x=6.0,
                  properties={"cohesion": Property("lognormal", mean=20.0, sd=6.0),
                              "friction": Property("normal", mean=25.0, sd=3.0)},
                  **kwargs)


@pytest.fixture
def site(tmp_path, slope):
    shutil.copy(slope, tmp_path / "slope.msh")
    return tmp_path


def centroids_in(site, name, k):
    """k element centroids of the physical group `name`, spread over it."""
    mesh = read_mesh(str(site / "slope.msh"))
    from random_field_sampler.study import mesh_regions, Region as R
    label = mesh_regions(mesh, [R("clay", theta_z=1.0, properties={"a": Property("normal", mean=0.0, sd=1.0)}),
                                R("sand", theta_z=1.0, properties={"a": Property("normal", mean=0.0, sd=1.0)})])
    which = np.flatnonzero(label == (0 if name == "clay" else 1))
    pick = which[np.linspace(0, len(which) - 1, k).astype(int)]
    return pick, mesh.centroids[pick, 0], mesh.centroids[pick, 1]


def with_data(text, region, prop, path, error=False):
    """The study file with `data = path` in a property's table."""
    head = f"[region.properties.{prop}]\n"
    blocks = text.split("[[region]]")
    i = 1 + (0 if region == "clay" else 1)
    assert head in blocks[i]
    blocks[i] = blocks[i].replace(head, head + f'data = "{path}"\n', 1)
    return "[[region]]".join(blocks)


def write_table(path, x, z, values, error=None):
    cols = "x,z,value" + (",error" if error is not None else "")
    rows = [f"{float(a)!r},{float(b)!r},{float(c)!r}" + (f",{float(e)!r}" if error is not None else "")
            for a, b, c, e in zip(x, z, values, error if error is not None else x)]
    path.write_text(cols + "\n" + "\n".join(rows) + "\n")
    return path


@pytest.mark.parametrize("table, words", [
    ("x,z,value\n5,10,20\n6,10,-3\n", "cpt.csv, line 3: the value -3 is outside the range of "
                                      "cohesion's lognormal distribution"),
    ("x,z,value\n5,10,20\n5,10,21\n", "cpt.csv, line 2 and line 3: the point (5, 10) is measured twice"),
    ("x,z,val\n5,10,20\n", "no column named 'value'"),
])
def test_data_mistakes_name_the_study_file_key_and_data_line(site, capsys, table, words):
    (site / "cpt.csv").write_text(table)
    (site / "study.toml").write_text(with_data(FILE, "clay", "cohesion", "cpt.csv"))
    before = sorted(os.listdir(site))
    assert main([str(site / "study.toml"), "-k", "2"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "line 15: region[0].properties.cohesion.data:" in err, err
    assert words in err, err
    assert sorted(os.listdir(site)) == before


def test_data_and_element_averages_are_refused(site, capsys):
    write_table(site / "c.csv", [5.0], [10.0], [20.0])
    text = with_data(FILE.replace('at = "cells"', 'at = "cells"\naverage = true'), "clay", "cohesion", "c.csv")
    (site / "study.toml").write_text(text)
    assert main([str(site / "study.toml"), "-k", "2", "-o", str(site / "o.npz")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "data condition the field's point values" in err, err
    assert not (site / "o.npz").exists()


def test_a_misspelt_data_key_is_refused(site, capsys):
    (site / "study.toml").write_text(FILE.replace("sd = 6.0", 'sd = 6.0\ndatta = "cpt.csv"', 1))
    assert main([str(site / "study.toml"), "-k", "2"]) == 1
    assert "unknown key 'datta'; did you mean 'data'?" in capsys.readouterr().err


@pytest.mark.parametrize("how", ["same path", "symbolic link"])
def test_the_data_file_is_never_an_output(site, capsys, how):
    np.savez(site / "cpt.npz", x=[5.0], z=[10.0], value=[20.0])
    (site / "study.toml").write_text(with_data(FILE, "clay", "cohesion", "cpt.npz"))
    output = site / "cpt.npz"
    if how == "symbolic link":
        output = site / "link.npz"
        output.symlink_to("cpt.npz")
    before = (site / "cpt.npz").read_bytes()
    assert main([str(site / "study.toml"), "-k", "2", "-o", str(output)]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "data file" in err, err
    assert (site / "cpt.npz").read_bytes() == before


@pytest.mark.parametrize("data, error, words", [
    ({"cohesion": ([1.0, 2.0], [3.0, 3.0], [20.0, 21.0]),
      "friction": ([1.0, 2.5], [3.0, 3.0], [25.0, 24.0])}, None, "measured at different points"),
    ({"cohesion": ([1.0, 2.0], [3.0, 3.0], [20.0, 21.0]),
      "friction": ([2.0, 1.0], [3.0, 3.0], [25.0, 24.0])}, {"friction": 0.1}, "with an error (friction)"),
    ({"cohesion": ([1.0], [3.0], [0.0])}, None, "data of 'cohesion': datum 0 is 0.0, outside the support of a lognormal"),
    ({"density": ([1.0], [3.0], [0.0])}, None, "data names 'density', which is not one of"),
    ({"cohesion": ([1.0, 2.0], [3.0], [1.0, 2.0])}, None, "xd, zd and values differ in length (2, 1, 2)"),
])
def test_region_data_that_cannot_be_conditioned_exactly_are_refused(data, error, words):
    with pytest.raises(ValueError, match="region 'clay'") as e:
        clay(correlation={"cohesion,friction": -0.5}, data=data, data_error=error)
    assert words in str(e.value)


def test_correlated_properties_measured_at_the_same_points_in_any_order_are_accepted():
    r = clay(correlation={"cohesion,friction": -0.5},
             data={"cohesion": ([1.0, 2.0], [3.0, 3.0], [20.0, 21.0]),
                   "friction": ([2.0, 1.0], [3.0, 3.0], [24.0, 25.0])})
    assert set(r.data) == {"cohesion", "friction"}


def standard_lognormal(values, mean, sd):
    s2 = math.log1p((sd / mean) ** 2)
    return (np.log(values) - (math.log(mean) - s2 / 2)) / math.sqrt(s2)


def test_a_study_passes_through_its_data_in_every_realisation(site, capsys):
    pick, xd, zd = centroids_in(site, "clay", 6)
    cohesion, friction = [15.0, 22.0, 30.0, 18.0, 25.0, 20.0], [24.0, 26.0, 23.0, 27.0, 25.0, 22.0]
    write_table(site / "c.csv", xd, zd, cohesion)
    # the correlated friction at the same points, listed in another order
    write_table(site / "f.csv", xd[::-1], zd[::-1], friction[::-1])
    # sand: uncorrelated properties, each at points of its own
    spick, sx, sz = centroids_in(site, "sand", 5)
    write_table(site / "sc.csv", sx[:3], sz[:3], [1.5, 2.5, 2.0])
    write_table(site / "sf.csv", sx[3:], sz[3:], [30.0, 36.0])
    text = with_data(with_data(FILE, "clay", "cohesion", "c.csv"), "clay", "friction", "f.csv")
    text = with_data(with_data(text, "sand", "cohesion", "sc.csv"), "sand", "friction", "sf.csv")
    (site / "study.toml").write_text(text)
    assert main([str(site / "study.toml"), "-o", str(site / "s.npz"), "-k", "4", "--seed", "5"]) == 0
    err = capsys.readouterr().err
    assert "friction in region 'clay' conditioned on 6 data" in err
    assert "cohesion in region 'sand' conditioned on 3 data" in err
    got = np.load(site / "s.npz")
    assert np.allclose(got["cohesion"][:, pick], cohesion, rtol=1e-9)
    assert np.allclose(got["friction"][:, pick], friction, rtol=1e-9)
    assert np.allclose(got["cohesion"][:, spick[:3]], [1.5, 2.5, 2.0], rtol=1e-9)
    assert np.allclose(got["friction"][:, spick[3:]], [30.0, 36.0], rtol=1e-9)
    assert not np.allclose(got["cohesion"][0], got["cohesion"][1])
    study = load_study(str(site / "study.toml"))
    row = study.realisation(3, seed=5)
    for name in ("cohesion", "friction"):
        assert np.array_equal(row[name], got[name][3])


def test_an_unmeasured_property_follows_its_measured_partner(site):
    pick, xd, zd = centroids_in(site, "clay", 3)
    cohesion = np.array([12.0, 30.0, 20.0])
    write_table(site / "c.csv", xd, zd, cohesion)
    (site / "study.toml").write_text(with_data(FILE, "clay", "cohesion", "c.csv"))
    study = load_study(str(site / "study.toml"))
    values = study.draw(600, seed=11)
    assert np.allclose(values["cohesion"][:, pick], cohesion, rtol=1e-9)
    # friction = 25 + 3 (-0.5 g + sqrt(0.75) Z), g the cohesion's standard value there
    g = standard_lognormal(cohesion, 20.0, 6.0)
    f = values["friction"][:, pick]
    assert np.all(np.abs(f.mean(axis=0) - (25.0 - 1.5 * g)) < 0.45)
    assert np.all(np.abs(f.std(axis=0) / (3.0 * math.sqrt(0.75)) - 1.0) < 0.15)


def test_the_conditioned_slope_example_runs_in_its_working_folder(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("gmsh")
    import subprocess
    import sys
    root = pathlib.Path(__file__).parents[2]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(root / "examples" / "conditioned_slope.py"), "--size", "2",
                           "--output", "c.png"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["c.png", "cpt.csv", "slope.msh"]
    assert "92 data" in done.stdout
    # the soundings as written are read back by the command line
    assert main([str(tmp_path / "slope.msh"), "--data", str(tmp_path / "cpt.csv"), "--theta-z", "1.5",
                 "-o", str(tmp_path / "f.npy"), "-q", "--seed", "1"]) == 0
