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


def gauss_cov(x, z, sigma=1.0):
    """Gaussian-model covariance (theta 1) built with numpy alone."""
    x, z, s = np.asarray(x, float), np.asarray(z, float), np.broadcast_to(sigma, len(x))
    d = np.hypot(x[:, None] - x[None, :], z[:, None] - z[None, :])
    return np.exp(-np.pi * d * d) * np.outer(s, s)


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


RNG = np.random.default_rng(7)
XS, ZS = RNG.uniform(0, 2, 8), RNG.uniform(0, 2, 8)
SIG = RNG.uniform(0.5, 2, 8)


# ---------------------------------------------------------------- Cholesky field

@pytest.mark.parametrize("n", [1, 3, 8])
@pytest.mark.parametrize("seed", [0, 12345])
@pytest.mark.parametrize("scalar_mu", [True, False])
def test_chol_field_follows_numpy_steps(n, seed, scalar_mu):
    COV = gauss_cov(XS[:n], ZS[:n], SIG[:n])
    mu = 1.25 if scalar_mu else np.linspace(-1.0, 3.0, n)
    saved = COV.copy()
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


def test_one_node_jitter():
    np.random.seed(3)
    r = np.random.normal()
    np.random.seed(3)
    got = random_field.get_chol_field(np.array([[2.5]]), 0.5)
    assert got[0] == 0.5 + math.sqrt(2.5 + 0.0001 * 2.5) * r


def test_zero_minimum_gives_no_jitter():
    COV = np.diag([4.0, 9.0])  # sqrt(4.0004) would not be 2
    np.random.seed(5)
    r = np.random.normal(size=2)
    np.random.seed(5)
    got = random_field.get_chol_field(COV, np.array([1.0, -1.0]))
    assert got.tolist() == [1.0 + 2.0 * r[0], -1.0 + 3.0 * r[1]]


def test_jitter_rescues_singular_matrix_and_leaves_it_alone():
    COV = np.ones((2, 2))  # two coincident nodes: singular without the jitter
    saved = COV.copy()
    assert random_field.get_chol_field(COV, 0.0).shape == (2,)
    np.testing.assert_array_equal(COV, saved)


def test_numpy_call_order_chol(np_log):
    random_field.get_chol_field(gauss_cov(XS[:3], ZS[:3]), 0.0)
    assert np_log == ["random.normal", "linalg.cholesky", "min", "identity"]


def test_numpy_call_order_krig(np_log):
    random_field.get_krig_field(gauss_cov(XS[:3], ZS[:3]), np.ones((3, 2)), np.zeros(3))
    assert np_log == ["vstack", "ones", "hstack", "transpose", "ones", "vstack",
                      "ones", "linalg.solve", "transpose"]


def test_empty_matrix_fails_after_the_draw(np_log):
    with pytest.raises(ValueError):
        random_field.get_chol_field(np.zeros((0, 0)), 0.0)
    assert np_log[:3] == ["random.normal", "linalg.cholesky", "min"]


def test_failed_factorisation_still_advanced_the_generator():
    np.random.seed(9)
    with pytest.raises(np.linalg.LinAlgError):
        random_field.get_chol_field(np.array([[1.0, 2.0], [2.0, 1.0]]), 0.0)
    after = np.random.normal(size=3)
    np.random.seed(9)
    np.random.normal(loc=0, scale=1, size=2)
    np.testing.assert_array_equal(after, np.random.normal(size=3))


@pytest.mark.parametrize("COV, mu, exc", [
    (None, 0.0, TypeError),
    (2.0, 0.0, TypeError),
    (np.zeros((0, 0)), 0.0, ValueError),
    (np.eye(3), np.zeros(2), ValueError),
    (np.ones((3, 2)), 0.0, ValueError),
])
def test_chol_field_failures_pass_through(COV, mu, exc):
    with pytest.raises(exc):
        random_field.get_chol_field(COV, mu)


def test_chol_field_statistics():
    x, z = [0, 0.4, 0.9, 0.2, 1.3], [0, 0.3, 0.1, 0.8, 0.6]
    sigma, mu = np.array([1, 2, 0.5, 1.5, 1.0]), np.array([0.0, 1.0, -2.0, 0.5, 3.0])
    COV = random_field.get_COV(np.array(x, float), np.array(z, float), 1.0, 0, sigma)
    n = 4000
    np.random.seed(2024)
    draws = np.array([random_field.get_chol_field(COV, mu) for _ in range(n)])
    d = np.diag(COV)
    assert np.all(np.abs(draws.mean(axis=0) - mu) < 5 * np.sqrt(d / n))
    se = np.sqrt((np.outer(d, d) + COV * COV) / n)
    assert np.all(np.abs(np.cov(draws, rowvar=False) - COV) < 5 * se)


# ------------------------------------------------------------------ kriged field

@pytest.mark.parametrize("nchol, nkrig", [(1, 3), (4, 5), (8, 1), (3, 0)])
def test_krig_field_follows_numpy_steps(nchol, nkrig):
    COV = gauss_cov(XS[:nchol], ZS[:nchol], SIG[:nchol])
    rng = np.random.default_rng(10 * nchol + nkrig)
    C, f = rng.uniform(0, 1, (nchol, nkrig)), rng.normal(size=nchol)
    saved = [a.copy() for a in (COV, C, f)]
    got = random_field.get_krig_field(COV, C, f)
    assert got.dtype == np.float64 and got.shape == (nkrig,)
    assert got.tobytes() == krig_field_ref(COV, C, f).tobytes()
    for a, b in zip((COV, C, f), saved):
        assert a.shape == b.shape
        np.testing.assert_array_equal(a, b)


def full_cov(nchol, nkrig):
    """COV of the first nchol nodes and their cross covariance with the rest."""
    full = gauss_cov(XS[:nchol + nkrig], ZS[:nchol + nkrig], SIG[:nchol + nkrig])
    return full[:nchol, :nchol], full[:nchol, nchol:]


@pytest.mark.parametrize("nchol", [1, 2, 5])
def test_weights_sum_to_one(nchol):
    COV, C = full_cov(nchol, 3)
    got = random_field.get_krig_field(COV, C, np.full(nchol, -3.5))
    np.testing.assert_allclose(got, -3.5, rtol=1e-9)


def test_one_cholesky_node_spreads_its_value():
    got = random_field.get_krig_field(np.array([[2.0]]), np.array([[0.3, 1.9, 0.0]]),
                                      np.array([4.0]))
    np.testing.assert_allclose(got, 4.0, rtol=1e-12)


def test_kriged_node_on_a_cholesky_node():
    COV, _ = full_cov(5, 0)
    f = np.array([1.0, -2.0, 0.5, 3.0, 7.0])
    got = random_field.get_krig_field(COV, COV[:, [3, 1]], f)
    np.testing.assert_allclose(got, [3.0, -2.0], rtol=1e-7)


@pytest.mark.parametrize("COV, C, f, exc", [
    (1.0, np.ones((1, 2)), np.ones(1), TypeError),
    (np.eye(2), [[1.0], [1.0]], np.ones(2), AttributeError),
    (np.eye(2), np.ones(2), np.ones(2), IndexError),
    (np.ones((2, 2)), np.ones((2, 3)), np.ones(2), np.linalg.LinAlgError),
    (np.zeros((0, 0)), np.zeros((0, 2)), np.zeros(0), np.linalg.LinAlgError),
    (np.eye(2), np.ones((2, 3)), np.ones(3), ValueError),
])
def test_krig_field_failures_pass_through(COV, C, f, exc):
    with pytest.raises(exc):
        random_field.get_krig_field(COV, C, f)
