"""The standard normal variates as an interface: ``field(xi)`` is the map
that every way of drawing applies to its variates (bit for bit), affine in
xi for the normal marginal, and refuses what is not one realisation's
variates or a stack of them."""
import numpy as np
import pytest

from random_field_sampler import Sampler, streams

X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(17) * 0.5, np.arange(11) * 0.5))
N = len(X)
MU = np.linspace(-3.0, 7.0, N)

SAMPLERS = {
    "kriging": dict(fill="kriging"),
    "conditional": dict(fill="conditional"),
    "lognormal": dict(fill="conditional", distribution="lognormal", mu=20.0, sigma=5.0),
    "bedding": dict(fill="kriging", angle=25.0),
}


@pytest.fixture(scope="module", params=list(SAMPLERS))
def sampler(request):
    kw = dict(x=X, z=Z, theta_z=1.0, theta_x=2.5, mu=MU, sigma=2.0)
    kw.update(SAMPLERS[request.param])
    return Sampler(**kw)


def test_variates_per_realisation(sampler):
    n = sampler.n_variates
    assert n == sampler.Nchol + (sampler.Nkrig if sampler.fill == "conditional" else 0)
    xi = np.random.default_rng(0).standard_normal((3, n))
    rows = sampler.field(xi)
    assert rows.shape == (3, N) and rows.dtype == np.float64
    assert sampler.field(xi[1]).tobytes() == rows[1].tobytes()


@pytest.mark.parametrize("k", [1, 5, 8, 19])
def test_draw_is_field_of_the_generators_variates(sampler, k):
    n = sampler.n_variates
    got = sampler.draw(k, rng=7)
    assert got.tobytes() == sampler.field(np.random.default_rng(7).standard_normal((k, n))).tobytes()
    # numpy's global stream: the variates row by row
    np.random.seed(3)
    got = sampler.draw(k)
    np.random.seed(3)
    xi = np.random.normal(size=(k, n))
    assert got.tobytes() == sampler.field(xi).tobytes()


def test_a_study_row_is_field_of_its_variates(sampler):
    n = sampler.n_variates
    rows = sampler.draw(11, seed=2026, start=5)
    for i in (0, 3, 10):
        xi = streams.study_variates(2026, 5 + i, 1, n)[0]
        assert sampler.field(xi).tobytes() == rows[i].tobytes()
        assert sampler.realisation(5 + i, seed=2026).tobytes() == rows[i].tobytes()


@pytest.mark.parametrize("fill, mu, mean", [
    ("kriging", 5.0, True), ("conditional", MU, True),
    ("kriging", MU, False),   # the kriged nodes do not carry a trend in mu
])
def test_field_is_linear_plus_the_mean_in_the_variates(fill, mu, mean):
    s = Sampler(x=X, z=Z, theta_z=1.0, theta_x=2.5, mu=mu, sigma=2.0, fill=fill, angle=-40.0)
    rng = np.random.default_rng(11)
    x, y = rng.standard_normal((2, s.n_variates))
    a, b = 0.7, -1.9
    at_zero = s.field(np.zeros(s.n_variates))
    if mean:
        assert np.abs(at_zero - mu).max() <= 1e-13 * np.abs(MU).max()
    else:
        assert np.array_equal(at_zero[s.chol_ind], MU[s.chol_ind])
    left = s.field(a * x + b * y) - at_zero
    right = a * (s.field(x) - at_zero) + b * (s.field(y) - at_zero)
    assert np.abs(left - right).max() <= 1e-12 * np.abs(right).max()


def test_the_variates_are_not_changed_and_may_be_read_only():
    s = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    xi = np.random.default_rng(2).standard_normal((4, s.n_variates))
    keep = xi.copy()
    xi.flags.writeable = False
    first = s.field(xi)
    assert np.array_equal(xi, keep)
    # integers are real numbers too; Fortran order gives the same rows
    assert s.field(np.asfortranarray(xi)).tobytes() == first.tobytes()
    assert np.array_equal(s.field(np.ones((2, s.n_variates), dtype=np.int32)),
                          s.field(np.ones((2, s.n_variates))))


def _bad(n):
    nan_row = np.zeros((3, n))
    nan_row[2, 4] = np.nan
    inf = np.zeros(n)
    inf[0] = -np.inf
    return [
        (np.zeros(n + 1), ValueError, "shape"), (np.zeros((2, n - 1)), ValueError, "shape"),
        (np.zeros((2, 2, n)), ValueError, "shape"), (np.float64(0.0), ValueError, "shape"),
        (np.zeros((n, 1)), ValueError, "shape"),
        (nan_row, ValueError, r"variate \(2, 4\) is nan"), (inf, ValueError, "variate 0 is -inf"),
        (np.zeros(n, dtype=bool), TypeError, "bool"), (["a"] * n, TypeError, "real"),
        (np.zeros(n, dtype=complex), TypeError, "real"),
    ]


@pytest.mark.parametrize("case", range(10))
def test_wrong_variates_are_refused(case):
    s = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, fill="kriging")
    xi, exc, match = _bad(s.n_variates)[case]
    with pytest.raises(exc, match=match):
        s.field(xi)


def test_no_nodes_take_no_variates():
    s = Sampler(x=[], z=[], theta_z=1.0, mu=0.0, sigma=1.0)
    assert s.n_variates == 0
    assert s.field(np.zeros(0)).shape == (0,)
    assert s.field(np.zeros((3, 0))).shape == (3, 0)


def test_many_rows_beyond_the_budget_are_refused_before_any_work():
    s = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, fill="kriging", max_memory=2_000_000)
    with pytest.raises(MemoryError, match="field"):
        s.field(np.zeros((2000, s.n_variates)))
