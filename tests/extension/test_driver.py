"""The random-field driver get_random_field."""
import numpy as np
import pytest

import random_field as rf
from diagnostic_cases import DIAGNOSTICS

RNG = np.random.default_rng(3)
N = 40
X, Z = RNG.uniform(0, 4, N), RNG.uniform(0, 3, N)
SIGMA, MU = RNG.uniform(0.5, 2, N), RNG.uniform(-1, 1, N)
BASE = dict(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)


def pipeline(x, z, theta_z, mu, sigma, model=0, theta_x=None, Dhchol=None):
    """One realisation assembled from the module's own stages."""
    x, z = np.asarray(x), np.asarray(z)
    sigma = np.full(len(x), sigma, float) if np.isscalar(sigma) else np.asarray(sigma, float)
    mu = np.full(len(x), mu, float) if np.isscalar(mu) else mu
    mu = np.asarray(mu, float) if isinstance(mu, list) else mu
    theta_x = theta_z if theta_x is None else theta_x
    Dhchol = np.sqrt(2.0 * np.pi) * theta_z / 4.0 if Dhchol is None else Dhchol
    x = x * theta_z / theta_x
    ci, xc, zc, ki, xk, zk = rf.get_chol_krig_nodes(x, z, Dhchol)
    sc, sk, mc = sigma[list(ci)], sigma[list(ki)], mu[list(ci)]
    COV = rf.get_COV(xc, zc, theta_z, model, sc)
    chol = rf.get_chol_field(COV, mc)
    krig = rf.get_krig_field(COV, rf.get_C_chol_krig(xc, zc, xk, zk, theta_z, model, sc, sk), chol)
    out = np.zeros(len(x))
    for i, ind in enumerate(ci):
        out[ind] = chol[i]
    for i, ind in enumerate(ki):
        out[ind] = krig[i]
    return out


def seeded(fn=rf.get_random_field, seed=17, **kw):
    np.random.seed(seed)
    return fn(**kw)


@pytest.fixture
def spy(monkeypatch):
    """Records the arguments the driver hands to the node partition."""
    calls, real = [], rf.get_chol_krig_nodes
    monkeypatch.setattr(rf, "get_chol_krig_nodes", lambda *a: calls.append(a) or real(*a))
    return calls


@pytest.mark.parametrize("kw, line", DIAGNOSTICS)
def test_diagnostics(capsys, kw, line):
    assert rf.get_random_field(**kw) is None
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("kw", [
    dict(theta_z=1.0, mu=MU, sigma=SIGMA),
    dict(theta_z=0.8, mu=0.5, sigma=1.5, model=1),
    dict(theta_z=1.0, mu=list(MU), sigma=list(SIGMA), theta_x=2.5),
    dict(theta_z=1.2, mu=np.arange(N), sigma=SIGMA, Dhchol=0.3, model=3),
    dict(theta_z=2, mu=0, sigma=2, theta_X=9.0),  # an unknown key is ignored
    dict(theta_z=1.0, mu=np.float64(0.25), sigma=(1.5,) * N),
])
def test_matches_stage_by_stage_pipeline(kw):
    kw, saved = dict(kw), [a.copy() for a in (X, Z, SIGMA, MU)]
    got = seeded(x=X, z=Z, **kw)
    kw.pop("theta_X", None)
    assert got.dtype == np.float64 and got.shape == (N,)
    assert got.tobytes() == seeded(pipeline, x=X, z=Z, **kw).tobytes()
    assert got.tobytes() == seeded(x=X, z=Z, **kw).tobytes()
    for a, b in zip(saved, (X, Z, SIGMA, MU)):
        np.testing.assert_array_equal(a, b)


def test_mu_at_kriged_nodes_is_unused():
    krig = rf.get_chol_krig_nodes(X.copy(), Z, np.sqrt(2.0 * np.pi) / 4.0)[3]
    assert len(krig) > 3
    mu = MU.copy()
    mu[krig.astype(int)] += 100.0
    assert seeded(**dict(BASE, mu=MU)).tobytes() == seeded(**dict(BASE, mu=mu)).tobytes()


def test_anisotropy_and_default_bound(spy):
    rf.get_random_field(**dict(BASE, theta_z=0.7, theta_x=1.4))
    (x, z, dist_max), = spy
    assert x.tobytes() == (X * 0.7 / 1.4).tobytes() and z is Z
    np.testing.assert_allclose(x, X / 2.0, rtol=1e-15)
    assert dist_max == np.sqrt(2.0 * np.pi) * 0.7 / 4.0


def test_explicit_bound_and_integer_x(spy):
    rf.get_random_field(**dict(BASE, x=np.arange(6), z=np.zeros(6), Dhchol=1.5))
    (x, _, dist_max), = spy
    assert x.dtype == np.float64 and x.tolist() == list(range(6)) and dist_max == 1.5


@pytest.mark.parametrize("Dhchol", [0.0, -2.0])
def test_nonpositive_bound_makes_all_nodes_cholesky(Dhchol):
    got = seeded(**dict(BASE, mu=MU, sigma=SIGMA, Dhchol=Dhchol))
    COV = rf.get_COV(X, Z, 1.0, 0, SIGMA)
    assert got.tobytes() == seeded(rf.get_chol_field, COV=COV, mu=MU).tobytes()


def test_stages_are_looked_up_at_each_call(monkeypatch):
    seen, real = [], rf.get_COV
    monkeypatch.setattr(rf, "get_COV", lambda *a: seen.append(a) or real(*a))
    rf.get_random_field(**BASE)
    assert len(seen) == 1 and seen[0][2:4] == (1.0, 0)
    monkeypatch.setattr(rf, "np", None)
    with pytest.raises(AttributeError):
        rf.get_random_field(**BASE)


@pytest.mark.parametrize("k, text", [
    (5, "need more than 5 values to unpack"),
    (1, "need more than 1 value to unpack"),
    (7, "too many values to unpack (expected 6)"),
])
def test_partition_result_must_have_six_items(monkeypatch, k, text):
    monkeypatch.setattr(rf, "get_chol_krig_nodes", lambda *a: [np.zeros(1)] * k)
    with pytest.raises(ValueError) as info:
        rf.get_random_field(**BASE)
    assert str(info.value) == text


@pytest.mark.parametrize("x", [[], np.zeros(0)])
def test_no_nodes(x):
    np.random.seed(5)
    got = rf.get_random_field(**dict(BASE, x=x, z=[]))
    after = np.random.random()
    np.random.seed(5)
    assert after == np.random.random()
    assert got.dtype == np.float64 and got.shape == (0,)


@pytest.mark.parametrize("change, exc, text", [
    (dict(theta_z=0.0), ZeroDivisionError, "^float division$"),
    # z reaches the partition as given: integers and read-only arrays are refused there
    (dict(z=np.arange(N)), ValueError, "^Buffer dtype mismatch, expected 'double' but got 'long'$"),
    (dict(z=np.broadcast_to(0.0, N)), (ValueError, BufferError), None),
])
def test_failures_pass_through(capsys, change, exc, text):
    with np.errstate(all="ignore"), pytest.raises(exc, match=text):
        rf.get_random_field(**dict(BASE, **change))
    assert capsys.readouterr().out == ""


def test_statistics():
    x, z = np.array([0.0, 0.3, 0.6, 0.0, 0.3, 0.6]), np.array([0.0, 0.0, 0.0, 0.3, 0.3, 0.3])
    sigma, mu = np.array([1.0, 2.0, 0.5, 1.5, 1.0, 0.8]), np.array([0.0, 1.0, -2.0, 0.5, 3.0, 0.0])
    np.random.seed(99)
    draws = np.array([rf.get_random_field(x=x, z=z, theta_z=1.0, mu=mu, sigma=sigma, Dhchol=0.2)
                      for _ in range(2000)])
    COV, n, d = rf.get_COV(x, z, 1.0, 0, sigma), len(draws), sigma * sigma
    assert np.all(np.abs(draws.mean(axis=0) - mu) < 5 * np.sqrt(d / n))
    se = np.sqrt((np.outer(d, d) + COV * COV) / n)
    assert np.all(np.abs(np.cov(draws, rowvar=False) - COV) < 5 * se)
