"""A study whose element values are element averages: each region's
standard field over its elements a CellAverages of them, from a study file
to a mesh output, with the variate interface of point values."""
import pathlib
import shutil

import meshio
import numpy as np
import pytest

from random_field_sampler import Property, Region, Study, load_study, streams
from random_field_sampler.averages import CellAverages, Cells
from random_field_sampler.cli import main
from random_field_sampler.io import mesh as fe

FILE = (pathlib.Path(__file__).parent / "slope_study.toml").read_text()
PROPS = {"a": Property("normal", mean=3.0, sd=2.0), "b": Property("normal", mean=-1.0, sd=0.5)}


def cells(blocks, data):
    """An array of meshio's per-block cell data, over the elements."""
    return np.concatenate([np.asarray(d) for d, b in zip(data, blocks) if b.dim == 2])


def layers():
    return [Region("clay", properties=PROPS, model="exponential", theta_z=2.0, theta_x=6.0,
                   angle=10.0, correlation={"a,b": 0.6}),
            Region("sand", properties=PROPS, model="gaussian", theta_z=3.0, theta_x=9.0)]


@pytest.fixture(scope="module")
def m(slope):
    return fe.read(str(slope))


@pytest.fixture(scope="module")
def averaged(m):
    return Study.on_mesh(m, layers(), at="cells", average=True)


def test_each_cells_variance_is_that_of_its_regions_averages(m, averaged):
    # implied: the values of normal properties are affine in the variates
    xi = np.vstack([np.zeros(averaged.n_variates), np.eye(averaged.n_variates)])
    out = averaged.field(xi)
    everything = Cells.of_mesh(m)
    for region, members in zip(averaged.regions, averaged.members):
        own = CellAverages(cells=everything.subset(members), theta_z=region.theta_z,
                           theta_x=region.theta_x, angle=region.angle, model=region.model,
                           mu=0.0, sigma=1.0)
        for name, prop in PROPS.items():
            sd = prop.marginal.std()
            J = (out[name][1:, members] - out[name][0, members]) / sd
            assert np.allclose(out[name][0, members], prop.marginal.mean(), rtol=0, atol=1e-12)
            np.testing.assert_allclose((J * J).sum(axis=0), own.variance, rtol=1e-9)
        # averaging took place: the large elements vary less than a point
        assert own.variance.min() < 0.95
    point = Study.on_mesh(m, layers(), at="cells")
    assert point.N == averaged.N and not point.average and averaged.average
    assert all(isinstance(s, CellAverages) for s in averaged.samplers)


def test_draw_is_field_of_the_study_variates_bit_for_bit(averaged):
    k = 7
    got = averaged.draw(k, seed=5, rows=3)
    want = averaged.field(streams.study_variates(5, 0, k, averaged.n_variates))
    for name in averaged.names:
        assert got[name].tobytes() == want[name].tobytes()
    one = averaged.realisation(4, seed=5)
    assert all(one[name].tobytes() == got[name][4].tobytes() for name in averaged.names)


def test_cell_averages_field_is_its_draw(averaged):
    s = averaged.samplers[0]
    xi = np.random.default_rng(1).standard_normal((3, s.n_variates))
    rows = s.field(xi)
    assert rows.shape == (3, s.N) and s.field(xi[1]).tobytes() == rows[1].tobytes()
    assert np.array_equal(s._average(s.points.field(xi)), rows)
    with pytest.raises(ValueError, match="variates per realisation"):
        s.field(xi[:, 1:])


def test_a_study_file_of_averages_to_vtu(tmp_path, slope):
    shutil.copy(slope, tmp_path / "slope.msh")
    text = FILE.replace('at = "cells"', 'at = "cells"\naverage = true', 1)
    (tmp_path / "study.toml").write_text(text)
    assert main([str(tmp_path / "study.toml"), "-o", str(tmp_path / "a.vtu"), "-k", "2",
                 "--seed", "3", "-q"]) == 0
    study = load_study(str(tmp_path / "study.toml"))
    assert study.file.average and study.average
    want = study.draw(2, seed=3)
    vtu = meshio.read(tmp_path / "a.vtu")
    for name in ("cohesion", "friction"):
        for i in range(2):
            assert np.array_equal(cells(vtu.cells, vtu.cell_data[f"{name}_{i:04d}"]), want[name][i])
    # the same file without the key: centroid values, another field
    (tmp_path / "plain.toml").write_text(FILE)
    plain = load_study(str(tmp_path / "plain.toml"))
    assert not plain.average
    assert not np.array_equal(plain.draw(2, seed=3)["friction"], want["friction"])


def test_averages_need_cells(m):
    with pytest.raises(ValueError, match="average=True .* needs at='cells', not at='nodes'"):
        Study.on_mesh(m, layers(), at="nodes", average=True)
