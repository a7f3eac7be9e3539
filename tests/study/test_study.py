"""Studies: regions of several cross-correlated properties, each with its
own marginal; their statistics over seeded realisations, the independence of
regions, and ``draw`` as ``field`` of the study's variates."""
import os

import numpy as np
import pytest
from scipy import stats

from random_field_sampler import Property, Region, Study, streams

X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(8) * 1.0, np.arange(6) * 1.0))
N = len(X)
K = 3000

MARGINALS = {
    "normal": Property("normal", mean=25.0, sd=3.0),
    "lognormal": Property("lognormal", mean=20.0, sd=6.0),
    "truncnormal": Property("truncnormal", mean=34.0, sd=3.0, lower=30.0, upper=42.0),
    "beta": Property("beta", mean=30.0, sd=4.0, lower=20.0, upper=45.0),
    "gamma": Property(stats.gamma(3.0, scale=2.0)),
}


def region(name, properties, **kw):
    kw.setdefault("theta_z", 2.0)
    kw.setdefault("theta_x", 6.0)
    kw.setdefault("model", "exponential")
    return Region(name, properties=properties, **kw)


@pytest.fixture(scope="module")
def marginals():
    study = Study([region("all", MARGINALS, angle=15.0)], x=X, z=Z)
    return study.draw(K, seed=7)


@pytest.mark.parametrize("name", list(MARGINALS))
def test_each_marginal_has_its_mean_and_sd_at_every_node(marginals, name):
    v = marginals[name]
    law = MARGINALS[name].marginal
    m, s = law.mean(), law.std()
    # per node, within five standard errors
    assert np.all(np.abs(v.mean(axis=0) - m) < 5 * s / np.sqrt(K))
    kurtosis = float(law.stats(moments="k"))   # excess
    assert np.all(np.abs(v.std(axis=0) / s - 1.0) < 5 * np.sqrt((kurtosis + 2) / (4 * K)) + 0.02)
    lo, hi = law.support()
    assert v.min() >= lo and v.max() <= hi


@pytest.mark.parametrize("of, a, b", [("gaussian", "normal", "normal2"),
                                      ("values", "lognormal", "beta")])
def test_cross_correlation_at_every_node(of, a, b):
    props = {"normal": MARGINALS["normal"], "normal2": Property("normal", mean=0.0, sd=1.0),
             "lognormal": Property("lognormal", mean=20.0, sd=9.0), "beta": MARGINALS["beta"]}
    props = {a: props[a], b: props[b]}
    reg = region("r", props, correlation={f"{a},{b}": -0.5}, correlation_of=of)
    got = Study([reg], x=X, z=Z).draw(K, seed=3)
    r = np.array([np.corrcoef(got[a][:, j], got[b][:, j])[0, 1] for j in range(N)])
    assert np.all(np.abs(r + 0.5) < 5 * (1 - 0.25) / np.sqrt(K))
    asked = reg.gaussian_correlation if of == "gaussian" else reg.value_correlation
    assert asked[0, 1] == -0.5
    if of == "values":
        # the Gaussian correlation solved for is stronger for skewed marginals
        assert reg.gaussian_correlation[0, 1] < -0.5


def test_spatial_structure_is_the_regions_model():
    reg = region("r", {"a": Property("normal", mean=1.0, sd=2.0),
                       "b": Property("normal", mean=0.0, sd=1.0)},
                 correlation=[[1.0, 0.6], [0.6, 1.0]])
    study = Study([reg], x=X, z=Z)
    got = study.draw(K, seed=11)
    C = study.samplers[0].covariance(np.arange(N))
    for name, sd in (("a", 2.0), ("b", 1.0)):
        emp = np.cov(got[name], rowvar=False) / sd ** 2
        assert np.abs(emp - C).max() < 6 / np.sqrt(K)
    # the cross covariance between nodes is the Gaussian correlation times the model's
    cross = ((got["a"] - 1.0) / 2.0).T @ got["b"] / K
    assert np.abs(cross - 0.6 * C).max() < 6 / np.sqrt(K)


@pytest.fixture(scope="module")
def layered():
    props = lambda m: {"c": Property("lognormal", mean=m, sd=m / 4),            # noqa: E731
                       "f": Property("truncnormal", mean=30.0, sd=3.0, lower=25.0, upper=40.0)}
    top = region("top", props(20.0), correlation={"c,f": -0.5}, angle=10.0)
    bottom = region("bottom", dict(reversed(props(2.0).items())), model="gaussian",
                    fill="kriging", theta_x=8.0, theta_z=3.0)
    return Study([top, bottom], x=X, z=Z, region=(Z < 2.5).astype(int))


def test_regions_draw_from_variates_of_their_own(layered):
    n = layered.n_variates
    assert n == sum(len(r.names) * s.n_variates for r, s in zip(layered.regions, layered.samplers))
    xi = np.random.default_rng(1).standard_normal(n)
    base = layered.field(xi)
    top, bottom = layered.members
    n_top = 2 * layered.samplers[0].n_variates
    moved = xi.copy()
    moved[:n_top] += 1.0          # only the top region's variates
    after = layered.field(moved)
    for name in layered.names:
        assert np.array_equal(after[name][bottom], base[name][bottom])
        assert not np.any(after[name][top] == base[name][top])
    moved = xi.copy()
    moved[n_top:] -= 1.0          # only the bottom region's
    after = layered.field(moved)
    for name in layered.names:
        assert np.array_equal(after[name][top], base[name][top])


def test_draw_is_field_of_the_study_variates_bit_for_bit(layered):
    k = 11
    got = layered.draw(k, seed=5, rows=4)
    V = streams.study_variates(5, 0, k, layered.n_variates)
    want = layered.field(V)
    for name in layered.names:
        assert got[name].tobytes() == want[name].tobytes()
    one = layered.realisation(9, seed=5)
    assert all(one[name].tobytes() == got[name][9].tobytes() for name in layered.names)
    tail = layered.draw(3, seed=5, start=8)
    assert all(tail[name].tobytes() == got[name][8:11].tobytes() for name in layered.names)


def test_field_is_affine_in_xi_for_normal_marginals():
    reg = region("r", {"a": Property("normal", mean=3.0, sd=2.0),
                       "b": Property("normal", mean=-1.0, sd=0.5)},
                 correlation={"a,b": 0.7})
    study = Study([reg], x=X, z=Z)
    rng = np.random.default_rng(2)
    u, v = rng.standard_normal((2, study.n_variates))
    f0, fu, fv, fuv = (study.field(w) for w in (0 * u, u, v, 2 * u - 3 * v))
    assert np.allclose(f0["a"], 3.0) and np.allclose(f0["b"], -1.0)
    for name in ("a", "b"):
        assert np.allclose(fuv[name] - f0[name], 2 * (fu[name] - f0[name]) - 3 * (fv[name] - f0[name]))


def _study(**kw):
    args = dict(properties={"c": Property("normal", mean=1.0, sd=1.0),
                            "f": Property("normal", mean=1.0, sd=1.0)})
    args.update(kw)
    return Study([region("clay", **args)], x=X, z=Z)


@pytest.mark.parametrize("make, error, words", [
    (lambda: _study(correlation=[[1, 0.9, 0.9], [0.9, 1, -0.9], [0.9, -0.9, 1]],
                    properties={k: Property("normal", mean=0.0, sd=1.0) for k in "abc"}),
     ValueError, "region 'clay': the Gaussian correlation matrix of a, b, c is not positive definite"),
    (lambda: _study(correlation={"c,f": -0.95}, correlation_of="values",
                    properties={"c": Property("lognormal", mean=1.0, sd=2.0),
                                "f": Property("lognormal", mean=1.0, sd=2.0)}),
     ValueError, "value correlation -0.95 of region 'clay': c,f cannot be reached"),
    (lambda: _study(correlation={"c,g": 0.1}), ValueError, "correlation key 'c,g'"),
    (lambda: _study(correlation={"c,f": 1.5}), ValueError, "correlation c,f = 1.5 is outside"),
    (lambda: _study(correlation=[[1, 0.2], [0.3, 1]]), ValueError, "must be symmetric"),
    (lambda: Property("lognormall", mean=1.0, sd=1.0), ValueError, "did you mean 'lognormal'"),
    (lambda: Property("beta", mean=30.0, sd=20.0, lower=20.0, upper=45.0), ValueError, "sd 20 must be"),
    (lambda: Property("beta", mean=50.0, sd=2.0, lower=20.0, upper=45.0), ValueError, "not inside"),
    (lambda: Property("normal", mean=1.0, sd=0.0), ValueError, "needs sd > 0"),
    (lambda: Property("lognormal", mean=-1.0, sd=1.0), ValueError, "needs mean > 0"),
    (lambda: Property("lognormal", mean=1e-200, sd=1e200), ValueError, "beyond the range of 64-bit floats"),
    (lambda: Property("normal", mean=1.0, sd=1.0, lower=0.0), TypeError, "not lower"),
    (lambda: Property("normal", mean=True, sd=1.0), TypeError, "mean must be a number"),
    (lambda: Property(stats.poisson(3.0)), TypeError, "frozen continuous"),
    (lambda: Study([region("a", {"c": MARGINALS["normal"]}), region("b", {"d": MARGINALS["normal"]})],
                   x=X, z=Z, region=np.zeros(N, dtype=int)),
     ValueError, "region 'b' has properties d"),
    (lambda: Study([region("a", {"c": MARGINALS["normal"]}), region("b", {"c": MARGINALS["normal"]})],
                   x=X, z=Z, region=np.where(np.arange(N) < 5, 2, 0)),
     ValueError, "5 points are in no region; the first, point 0, is at (0, 0)"),
])
def test_bad_inputs_are_refused_in_one_line(make, error, words):
    with pytest.raises(error) as got:
        make()
    assert words in str(got.value) and "\n" not in str(got.value)


def test_threads_share_a_study_bit_for_bit(layered):
    import concurrent.futures
    serial = layered.draw(12, seed=8)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        rows = list(pool.map(lambda i: layered.realisation(i, seed=8), range(12)))
    for i, row in enumerate(rows):
        assert all(row[n].tobytes() == serial[n][i].tobytes() for n in layered.names)


def test_to_dask_gives_the_rows_of_draw(layered):
    pytest.importorskip("dask")
    import pickle
    arrays = layered.to_dask(11, chunks=4, seed=5)
    assert sorted(arrays) == sorted(layered.names)
    want = layered.draw(11, seed=5)
    for name, a in arrays.items():
        assert a.shape == (11, N) and a.chunks[0] == (4, 4, 3)
        assert a.compute(scheduler="threads").tobytes() == want[name].tobytes()
    again = pickle.loads(pickle.dumps(layered))
    assert again.realisation(3, seed=5)["c"].tobytes() == want["c"][3].tobytes()


def test_a_zarr_store_holds_a_group_per_property(layered, tmp_path):
    zarr = pytest.importorskip("zarr")
    pytest.importorskip("dask")
    layered.write_zarr(str(tmp_path / "s.zarr"), 11, chunks=4, seed=5, x=X, z=Z)
    want = layered.draw(11, seed=5)
    group = zarr.open_group(str(tmp_path / "s.zarr"), mode="r")
    assert group.attrs["properties"] == list(layered.names)
    for name in layered.names:
        assert np.asarray(group[f"{name}/fields"]).tobytes() == want[name].tobytes()
    assert sorted(os.listdir(tmp_path)) == ["s.zarr"]
