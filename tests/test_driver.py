"""The random-field driver get_random_field."""
import numpy as np
import pytest

import random_field as rf

RNG = np.random.default_rng(3)
N = 40
X, Z = RNG.uniform(0, 4, N), RNG.uniform(0, 3, N)
SIGMA, MU = RNG.uniform(0.5, 2, N), RNG.uniform(-1, 1, N)


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


def seeded(fn, seed=17, **kw):
    np.random.seed(seed)
    return fn(**kw)


@pytest.fixture
def spy(monkeypatch):
    """Records the arguments the driver hands to the node partition."""
    calls, real = [], rf.get_chol_krig_nodes

    def wrapper(*args):
        calls.append(args)
        return real(*args)
    monkeypatch.setattr(rf, "get_chol_krig_nodes", wrapper)
    return calls


def msg(key):
    return key + ' must be included like this "' + key + '= value"'


@pytest.mark.parametrize("kw, line", [
    ({}, msg("x")),
    ({"z": [0.0], "theta_z": 1.0, "mu": 0.0, "sigma": 1.0}, msg("x")),
    ({"x": [0.0], "z": [0.0]}, msg("theta_z")),
    ({"x": [0.0], "z": [0.0], "theta_z": 1.0, "sigma": 1.0}, msg("mu")),
    ({"x": [0.0], "z": [0.0], "theta_z": 1.0, "mu": 1.0}, msg("sigma")),
    ({"x": [0.0] * 5, "z": [0.0] * 4, "theta_z": None, "mu": [0] * 9, "sigma": [1] * 7},
     "x and z arrays must have the same number of elements"),
    ({"x": [0.0, 1.0], "z": [0.0, 1.0], "theta_z": 1.0, "mu": [0.0] * 5, "sigma": [1.0] * 3},
     "sigma array must be same length as x- ans z- arrays"),
    ({"x": [0.0, 1.0], "z": [0.0, 1.0], "theta_z": 1.0, "mu": [0.0] * 3, "sigma": 1.0},
     "mu array must be same length as x- and z- arrays"),
    ({"x": [0.0, 1.0], "z": [0.0, 1.0], "theta_z": 1.0, "mu": np.zeros(1), "sigma": [1.0, 2.0]},
     "mu array must be same length as x- and z- arrays"),
])
def test_diagnostics(capsys, kw, line):
    assert rf.get_random_field(**kw) is None
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("kw", [
    dict(theta_z=1.0, mu=MU, sigma=SIGMA),
    dict(theta_z=0.8, mu=0.5, sigma=1.5, model=1),
    dict(theta_z=1.0, mu=list(MU), sigma=list(SIGMA), theta_x=2.5),
    dict(theta_z=1.2, mu=np.arange(N), sigma=SIGMA, Dhchol=0.3, model=3),
    dict(theta_z=2, mu=0, sigma=2, theta_X=9.0),  # unknown key is ignored
])
def test_matches_stage_by_stage_pipeline(kw):
    kw, args = dict(kw), [a.copy() for a in (X, Z, SIGMA, MU)]
    got = seeded(rf.get_random_field, x=X, z=Z, **kw)
    kw.pop("theta_X", None)
    assert got.dtype == np.float64 and got.shape == (N,)
    assert got.tobytes() == seeded(pipeline, x=X, z=Z, **kw).tobytes()
    assert got.tobytes() == seeded(rf.get_random_field, x=X, z=Z, **kw).tobytes()
    for a, b in zip(args, (X, Z, SIGMA, MU)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("mu, sigma", [
    (np.float64(0.25), np.float64(1.5)), ([0.25] * N, [1.5] * N),
    (np.full(N, 0.25), np.full(N, 1.5)), (0.25, (1.5,) * N),
])
def test_scalar_and_list_parameters(mu, sigma):
    want = seeded(rf.get_random_field, x=X, z=Z, theta_z=1.0, mu=0.25, sigma=1.5)
    got = seeded(rf.get_random_field, x=X, z=Z, theta_z=1.0, mu=mu, sigma=sigma)
    assert got.tobytes() == want.tobytes()


def test_mu_at_kriged_nodes_is_unused():
    krig = rf.get_chol_krig_nodes(X.copy(), Z, np.sqrt(2.0 * np.pi) / 4.0)[3]
    assert len(krig) > 3
    mu = MU.copy()
    mu[krig.astype(int)] += 100.0
    a = seeded(rf.get_random_field, x=X, z=Z, theta_z=1.0, mu=MU, sigma=SIGMA)
    b = seeded(rf.get_random_field, x=X, z=Z, theta_z=1.0, mu=mu, sigma=SIGMA)
    assert a.tobytes() == b.tobytes()


def test_anisotropy_and_default_bound(spy):
    rf.get_random_field(x=X, z=Z, theta_z=0.7, theta_x=1.4, mu=0.0, sigma=1.0)
    (x, z, dist_max), = spy
    assert x.tobytes() == (X * 0.7 / 1.4).tobytes() and z is Z
    np.testing.assert_allclose(x, X / 2.0, rtol=1e-15)
    assert dist_max == np.sqrt(2.0 * np.pi) * 0.7 / 4.0


def test_explicit_bound_and_integer_x(spy):
    xi = np.arange(6)
    rf.get_random_field(x=xi, z=np.zeros(6), theta_z=1.0, mu=0.0, sigma=1.0, Dhchol=1.5)
    (x, _, dist_max), = spy
    assert x.dtype == np.float64 and x.tolist() == xi.tolist() and dist_max == 1.5


@pytest.mark.parametrize("Dhchol", [0.0, -2.0])
def test_nonpositive_bound_makes_all_nodes_cholesky(Dhchol):
    got = seeded(rf.get_random_field, x=X, z=Z, theta_z=1.0, mu=MU, sigma=SIGMA, Dhchol=Dhchol)
    COV = rf.get_COV(X.copy(), Z, 1.0, 0, SIGMA)
    assert got.tobytes() == seeded(rf.get_chol_field, COV=COV, mu=MU).tobytes()


def test_rebinding_stages(monkeypatch):
    seen, real = [], rf.get_COV
    monkeypatch.setattr(rf, "get_COV", lambda *a: seen.append(a) or real(*a))
    rf.get_random_field(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    assert len(seen) == 1 and seen[0][2:4] == (1.0, 0)
    monkeypatch.setattr(rf, "np", None)
    with pytest.raises(AttributeError):
        rf.get_random_field(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)


@pytest.mark.parametrize("k, text", [
    (5, "need more than 5 values to unpack"),
    (1, "need more than 1 value to unpack"),
    (7, "too many values to unpack (expected 6)"),
])
def test_partition_result_must_have_six_items(monkeypatch, k, text):
    monkeypatch.setattr(rf, "get_chol_krig_nodes", lambda *a: [np.zeros(1)] * k)
    with pytest.raises(ValueError) as info:
        rf.get_random_field(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    assert str(info.value) == text


@pytest.mark.parametrize("x", [[], np.zeros(0)])
def test_no_nodes(x):
    np.random.seed(5)
    got = rf.get_random_field(x=x, z=[], theta_z=1.0, mu=0.0, sigma=1.0)
    after = np.random.random()
    np.random.seed(5)
    assert after == np.random.random()
    assert got.dtype == np.float64 and got.shape == (0,)


def test_zero_theta_z(capsys):
    with np.errstate(all="ignore"), pytest.raises(ZeroDivisionError, match="^float division$"):
        rf.get_random_field(x=X, z=Z, theta_z=0.0, mu=0.0, sigma=1.0)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("z, exc, text", [
    (np.arange(N), ValueError, "^Buffer dtype mismatch, expected 'double' but got 'long'$"),
    (np.broadcast_to(0.0, N), (ValueError, BufferError), None),
])
def test_z_reaches_the_partition_unconverted(z, exc, text):
    with pytest.raises(exc, match=text):
        rf.get_random_field(x=X, z=z, theta_z=1.0, mu=0.0, sigma=1.0)


def test_statistics():
    x, z = np.array([0.0, 0.3, 0.6, 0.0, 0.3, 0.6]), np.array([0.0, 0.0, 0.0, 0.3, 0.3, 0.3])
    sigma, mu = np.array([1.0, 2.0, 0.5, 1.5, 1.0, 0.8]), np.array([0.0, 1.0, -2.0, 0.5, 3.0, 0.0])
    n = 2000
    np.random.seed(99)
    draws = np.array([rf.get_random_field(x=x, z=z, theta_z=1.0, mu=mu, sigma=sigma,
                                          Dhchol=0.2) for _ in range(n)])
    COV = rf.get_COV(x, z, 1.0, 0, sigma)
    d = np.diag(COV)
    assert np.all(np.abs(draws.mean(axis=0) - mu) < 5 * np.sqrt(d / n))
    se = np.sqrt((np.outer(d, d) + COV * COV) / n)
    assert np.all(np.abs(np.cov(draws, rowvar=False) - COV) < 5 * se)
