"""random-field STUDY.toml: the study file of a slope of clay over sand,
end to end to .xdmf, .vtu and .npz, and every mistake in the file one line
naming its key and line, exit 1, nothing written."""
import os
import pathlib
import shutil

import meshio
import numpy as np
import pytest

from random_field_sampler.cli import main
from random_field_sampler import load_study

FILE = (pathlib.Path(__file__).parent / "slope_study.toml").read_text()


@pytest.fixture
def site(tmp_path, slope):
    """A folder with the slope mesh and the study file as the issue writes it."""
    shutil.copy(slope, tmp_path / "slope.msh")
    (tmp_path / "study.toml").write_text(FILE)
    return tmp_path


def cells(blocks, data):
    """An array of meshio's per-block cell data, over the elements."""
    return np.concatenate([np.asarray(d) for d, b in zip(data, blocks) if b.dim == 2])


def test_the_slope_study_as_written(site, monkeypatch, capsys):
    monkeypatch.chdir(site.parent)             # paths are relative to the file's folder
    assert main([str(site / "study.toml"), "-q"]) == 0
    study = load_study(str(site / "study.toml"))
    assert study.at == "cells" and study.file.seed == 2026
    want = study.draw(study.file.realisations, seed=study.file.seed)
    with meshio.xdmf.TimeSeriesReader(str(site / "slope.xdmf")) as reader:
        points, blocks = reader.read_points_cells()
        assert reader.num_steps == 500
        for i in (0, 499):
            _, _, cell_data = reader.read_data(i)
            for name in ("cohesion", "friction"):
                got = cells(blocks, cell_data[name])
                assert np.array_equal(got, want[name][i])
    clay, sand = study.members
    assert abs(want["cohesion"][:, clay].mean() - 20.0) < 0.5
    assert abs(want["cohesion"][:, sand].mean() - 2.0) < 0.05
    assert (want["friction"][:, sand] >= 25.0).all() and (want["friction"][:, sand] <= 42.0).all()
    r = np.corrcoef(np.log(want["cohesion"][:, clay[0]]), want["friction"][:, clay[0]])[0, 1]
    assert abs(r + 0.5) < 0.12


def test_command_line_overrides_and_outputs_agree(site):
    study = site / "study.toml"
    assert main([str(study), "-o", str(site / "a.vtu"), "-k", "3", "--seed", "9", "-q"]) == 0
    assert main([str(study), "-o", str(site / "a.npz"), "--realisations", "3", "--seed", "9", "-q"]) == 0
    assert not (site / "slope.xdmf").exists()
    npz = np.load(site / "a.npz")
    assert sorted(npz.files) == ["cohesion", "friction"] and npz["cohesion"].shape[0] == 3
    vtu = meshio.read(site / "a.vtu")
    for name in ("cohesion", "friction"):
        for i in range(3):
            assert np.array_equal(cells(vtu.cells, vtu.cell_data[f"{name}_{i:04d}"]), npz[name][i])
    assert int(vtu.field_data["seed"][0]) == 9
    assert main([str(study), "-o", str(site / "b.npz"), "-k", "3", "--seed", "10", "-q"]) == 0
    assert not np.array_equal(np.load(site / "b.npz")["cohesion"], npz["cohesion"])


def test_a_zarr_store_of_the_study(site):
    zarr = pytest.importorskip("zarr")
    pytest.importorskip("dask")
    assert main([str(site / "study.toml"), "-o", str(site / "s.zarr"), "-k", "3", "--seed", "9", "-q"]) == 0
    assert main([str(site / "study.toml"), "-o", str(site / "s.npz"), "-k", "3", "--seed", "9", "-q"]) == 0
    group = zarr.open_group(str(site / "s.zarr"), mode="r")
    npz = np.load(site / "s.npz")
    assert group.attrs["seed"] == 9 and group.attrs["properties"] == ["cohesion", "friction"]
    for name in ("cohesion", "friction"):
        assert np.array_equal(np.asarray(group[f"{name}/fields"]), npz[name])


def edit(old, new):
    assert old in FILE
    return FILE.replace(old, new, 1)


@pytest.mark.parametrize("text, words", [
    (edit("theta_z = 2.0", "theta_zz = 2.0"), "line 11: region[0].theta_zz: unknown key 'theta_zz'; did you mean 'theta_z'?"),
    (edit("realisations = 500", "realisation = 500"), "line 3: realisation: unknown key 'realisation'; did you mean 'realisations'?"),
    (edit("sd = 6.0", "sdd = 6.0"), "line 17: region[0].properties.cohesion.sdd: unknown key"),
    (edit('distribution = "truncnormal"', 'distribution = "truncnorm"'), "line 33: region[1].properties.friction.distribution: 'truncnorm' is not one of"),
    (edit("lower = 25.0", "lower = 45.0"), "line 36: region[1].properties.friction.lower: a truncnormal property needs lower < upper"),
    (edit('"cohesion,friction" = -0.5', '"cohesion,friction" = -1.5'), "line 13: region[0].correlation: region 'clay': correlation cohesion,friction = -1.5"),
    (edit('at = "cells"', 'at = "cell"'), "line 2: at: 'cell' is not one of nodes, cells (did you mean 'cells'?)"),
    (edit('at = "cells"', 'at = "nodes"\naverage = true'), 'line 3: average: element averages need at = "cells", not at = "nodes"'),
    (edit('at = "cells"', 'at = "cells"\naverage = 1'), "line 3: average: must be true or false, got 1"),
    (edit("seed = 2026", 'seed = "2026"'), "line 4: seed: must be an integer"),
    (edit('name = "sand"', 'name = "snad"'), "no physical group of its elements named 'snad' (did you mean 'sand'?)"),
    (edit('mesh = "slope.msh"', 'mesh = "nowhere.msh"'), "mesh: no file"),
    (edit("mean = 20.0", "mean = -20.0"), "line 16: region[0].properties.cohesion.mean: a lognormal property needs mean > 0"),
    (edit("theta_x = 20.0", "theta_x = true"), "line 26: region[1].theta_x: must be a number"),
    (FILE + "\n[[region\n", "not valid TOML"),
])
def test_each_mistake_is_one_line_and_nothing_is_written(site, capsys, text, words):
    (site / "study.toml").write_text(text)
    before = sorted(os.listdir(site))
    assert main([str(site / "study.toml"), "-k", "2"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err, err
    assert sorted(os.listdir(site)) == before


@pytest.mark.parametrize("argv, words", [
    (["-o", "out.csv"], "a study is written as .vtu"),
    (["-o", "slope.msh"], "slope.msh"),
])
def test_outputs_that_cannot_be_written_are_refused(site, capsys, argv, words):
    before = sorted(os.listdir(site))
    argv = [a if not a.endswith((".csv", ".toml", ".msh")) else str(site / a) for a in argv]
    assert main([str(site / "study.toml"), "-k", "2"] + argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err, err
    assert sorted(os.listdir(site)) == before


ROOT = pathlib.Path(__file__).parents[2]


def test_the_readme_and_the_example_show_this_file():
    readme = (ROOT / "README.md").read_text()
    assert "```toml\n" + FILE + "```" in readme
    example = (ROOT / "examples" / "slope_study.py").read_text()
    assert 'STUDY = """\\\n' + FILE + '"""' in example


def test_the_example_runs_in_its_working_folder(tmp_path):
    pytest.importorskip("matplotlib")
    import subprocess
    import sys
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "slope_study.py"), "-k", "2",
                           "--size", "3"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["slope.h5", "slope.msh", "slope.png", "slope.xdmf",
                                            "study.toml"]
