"""Field synthesis: the Cholesky field and the kriged field."""
import math

import numpy as np
import pytest

import random_field


class Recorder:
    """Stands in for numpy as the module's `np`: records every attribute looked
    up (as "min", "random.normal", "linalg.solve") and forwards it."""

    def __init__(self, mod, log, prefix=""):
        self._mod, self._log, self._prefix = mod, log, prefix

    def __getattr__(self, name):
        value = getattr(self._mod, name)
        if name in ("random", "linalg"):
            return Recorder(value, self._log, name + ".")
        self._log.append(self._prefix + name)
        return value


@pytest.fixture
def np_log(monkeypatch):
    log = []
    monkeypatch.setattr(random_field, "np", Recorder(np, log))
    return log


RNG = np.random.default_rng(7)
XS, ZS, SIG = RNG.uniform(0, 2, 8), RNG.uniform(0, 2, 8), RNG.uniform(0.5, 2, 8)


def cov(n, m=0):
    """COV of the first n nodes, and their cross covariance with the next m."""
    full = random_field.get_COV(XS[:n + m], ZS[:n + m], 1.0, 0, SIG[:n + m])
    return full[:n, :n], full[:n, n:]


COV3 = cov(3)[0]


def chol_field_ref(COV, mu, seed):
    np.random.seed(seed)
    n = len(COV)
    rv = np.random.normal(loc=0, scale=1, size=n)
    A = COV + (0.0001 * np.min(COV)) * np.identity(n)
    return mu + np.linalg.cholesky(A) @ rv


def krig_field_ref(COV, C, f):
    n, m = len(COV), C.shape[1]
    C = np.vstack((C, np.ones(m)))
    COV = np.vstack((np.hstack((COV, np.transpose([np.ones(n)]))), np.ones(n + 1)))
    COV[n, n] = 0.0
    return np.transpose(np.linalg.solve(COV, C)[0:n, 0:m]) @ f


def assert_moments(draws, mu, COV):
    """Sample mean and covariance within five standard errors."""
    n, d = len(draws), np.diag(COV)
    assert np.all(np.abs(draws.mean(axis=0) - mu) < 5 * np.sqrt(d / n))
    se = np.sqrt((np.outer(d, d) + COV * COV) / n)
    assert np.all(np.abs(np.cov(draws, rowvar=False) - COV) < 5 * se)


# ---------------------------------------------------------------- Cholesky field

@pytest.mark.parametrize("COV", [cov(1)[0], cov(3)[0], cov(8)[0], np.ones((2, 2))],
                         ids=["1", "3", "8", "singular-but-jittered"])
@pytest.mark.parametrize("seed", [0, 12345])
@pytest.mark.parametrize("scalar_mu", [True, False])
def test_chol_field_follows_numpy_steps(COV, seed, scalar_mu):
    n, saved = len(COV), COV.copy()
    mu = 1.25 if scalar_mu else np.linspace(-1.0, 3.0, n)
    np.random.seed(seed)
    got = random_field.get_chol_field(COV, mu)
    again = random_field.get_chol_field(COV, mu)  # no reseed: a fresh draw
    assert got.dtype == np.float64 and got.shape == (n,)
    assert got.tobytes() == chol_field_ref(COV, mu, seed).tobytes()
    assert not np.array_equal(got, again)
    np.testing.assert_array_equal(COV, saved)
    if scalar_mu:  # a scalar mean is the same as an array full of it
        np.random.seed(seed)
        assert random_field.get_chol_field(COV, np.full(n, mu)).tobytes() == got.tobytes()


@pytest.mark.parametrize("COV, mu, want", [
    (np.array([[2.5]]), 0.5, lambda r: [0.5 + math.sqrt(2.5 + 0.0001 * 2.5) * r[0]]),
    # smallest element 0: no jitter, else sqrt(4.0004) would replace 2
    (np.diag([4.0, 9.0]), np.array([1.0, -1.0]), lambda r: [1.0 + 2.0 * r[0], -1.0 + 3.0 * r[1]]),
])
def test_jitter(COV, mu, want):
    np.random.seed(3)
    r = np.random.normal(size=len(COV))
    np.random.seed(3)
    assert random_field.get_chol_field(COV, mu).tolist() == want(r)


def test_numpy_call_order(np_log):
    random_field.get_chol_field(COV3, 0.0)
    assert np_log == ["random.normal", "linalg.cholesky", "min", "identity"]
    del np_log[:]
    random_field.get_krig_field(COV3, np.ones((3, 2)), np.zeros(3))
    assert np_log == ["vstack", "ones", "hstack", "transpose", "ones", "vstack",
                      "ones", "linalg.solve", "transpose"]
    del np_log[:]
    with pytest.raises(ValueError):  # the empty matrix fails at the minimum, after the draw
        random_field.get_chol_field(np.zeros((0, 0)), 0.0)
    assert np_log == ["random.normal", "linalg.cholesky", "min"]


def test_failed_factorisation_still_advanced_the_generator():
    np.random.seed(9)
    with pytest.raises(np.linalg.LinAlgError):
        random_field.get_chol_field(np.array([[1.0, 2.0], [2.0, 1.0]]), 0.0)
    after = np.random.normal(size=3)
    np.random.seed(9)
    np.random.normal(loc=0, scale=1, size=2)
    np.testing.assert_array_equal(after, np.random.normal(size=3))


def test_chol_field_statistics():
    x, z = np.array([0, 0.4, 0.9, 0.2, 1.3]), np.array([0, 0.3, 0.1, 0.8, 0.6])
    sigma, mu = np.array([1, 2, 0.5, 1.5, 1.0]), np.array([0.0, 1.0, -2.0, 0.5, 3.0])
    COV = random_field.get_COV(x, z, 1.0, 0, sigma)
    np.random.seed(2024)
    assert_moments(np.array([random_field.get_chol_field(COV, mu) for _ in range(4000)]), mu, COV)


# ------------------------------------------------------------------ kriged field

@pytest.mark.parametrize("nchol, nkrig", [(1, 3), (4, 4), (7, 1), (3, 0)])
def test_krig_field_follows_numpy_steps(nchol, nkrig):
    COV, C = cov(nchol, nkrig)
    f = np.random.default_rng(nchol).normal(size=nchol)
    saved = [a.copy() for a in (COV, C, f)]
    got = random_field.get_krig_field(COV, C, f)
    assert got.dtype == np.float64 and got.shape == (nkrig,)
    assert got.tobytes() == krig_field_ref(COV, C, f).tobytes()
    for a, b in zip((COV, C, f), saved):
        assert a.shape == b.shape
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("COV, C, f, want", [
    # the weights sum to one: a constant field is kriged to that constant
    (*cov(1, 3), [-3.5], -3.5), (*cov(2, 3), [-3.5] * 2, -3.5), (*cov(5, 3), [-3.5] * 5, -3.5),
    # a kriged node on Cholesky nodes 3 and 1 takes their values
    (cov(5)[0], cov(5)[0][:, [3, 1]], [1.0, -2.0, 0.5, 3.0, 7.0], [3.0, -2.0]),
    # one Cholesky node: its value everywhere, whatever the covariances
    (np.array([[2.0]]), np.array([[0.3, 1.9, 0.0]]), [4.0], 4.0),
])
def test_kriging_properties(COV, C, f, want):
    np.testing.assert_allclose(random_field.get_krig_field(COV, C, np.array(f)), want, rtol=1e-9)


@pytest.mark.parametrize("fn, args, exc", [
    ("get_chol_field", (None, 0.0), TypeError),
    ("get_chol_field", (2.0, 0.0), TypeError),
    ("get_chol_field", (np.zeros((0, 0)), 0.0), ValueError),
    ("get_chol_field", (np.eye(3), np.zeros(2)), ValueError),
    ("get_chol_field", (np.ones((3, 2)), 0.0), ValueError),
    ("get_krig_field", (1.0, np.ones((1, 2)), np.ones(1)), TypeError),
    ("get_krig_field", (np.eye(2), [[1.0], [1.0]], np.ones(2)), AttributeError),
    ("get_krig_field", (np.eye(2), np.ones(2), np.ones(2)), IndexError),
    ("get_krig_field", (np.ones((2, 2)), np.ones((2, 3)), np.ones(2)),  # coincident nodes
     np.linalg.LinAlgError),
    ("get_krig_field", (np.zeros((0, 0)), np.zeros((0, 2)), np.zeros(0)), np.linalg.LinAlgError),
    ("get_krig_field", (np.eye(2), np.ones((2, 3)), np.ones(3)), ValueError),
])
def test_failures_pass_through(fn, args, exc):
    with pytest.raises(exc):
        getattr(random_field, fn)(*args)
