"""The kriging fill at scale: one factorisation, the cross covariance in
column blocks (kept or recomputed), the memory budget and the build's progress."""
import tracemalloc

import numpy as np
import pytest

import random_field as rf
from random_field_sampler import Sampler
from random_field_sampler.fills import kriging

# 41 x 25 nodes 0.25 m apart: with theta 0.5 the covariance is exactly zero
# beyond 7.7 m, so small column blocks leave Cholesky rows out.
X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(41) * 0.25, np.arange(25) * 0.25))
N = len(X)
RNG = np.random.default_rng(3)
SIGMA = RNG.uniform(0.5, 2.0, N)
MU = RNG.uniform(-1.0, 1.0, N)

OPTIONS = {
    "gaussian": dict(theta_z=0.5, mu=1.5, sigma=2.0),
    "anisotropic": dict(theta_z=0.5, theta_x=1.5, mu=MU, sigma=SIGMA),
    "exponential": dict(theta_z=0.7, model=1, mu=MU, sigma=SIGMA),
    "Dhchol": dict(theta_z=0.5, Dhchol=0.45, mu=list(MU), sigma=list(SIGMA)),
    "no kriged nodes": dict(theta_z=0.3, Dhchol=0.0, mu=MU, sigma=SIGMA),
}
options = pytest.mark.parametrize("kw", [dict(OPTIONS[k], x=X, z=Z) for k in OPTIONS], ids=list(OPTIONS))

# Agreement with get_random_field, relative to the largest |value| of the field.
BOUND = 1e-12


@pytest.fixture
def small_blocks(monkeypatch):
    monkeypatch.setattr(kriging, "BLOCK", 48)


def same_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


# A denser mesh, where the cross covariance outweighs the factors.
XD, ZD = (a.ravel().copy() for a in np.meshgrid(np.arange(61) * 0.1, np.arange(41) * 0.1))
ND = len(XD)
DENSE = {
    "gaussian": dict(theta_z=0.5, mu=1.5, sigma=2.0),
    "exponential": dict(theta_z=0.4, theta_x=0.8, model=1, mu=MU[0], sigma=np.linspace(1, 2, ND)),
}
dense = pytest.mark.parametrize("kw", [dict(DENSE[k], x=XD, z=ZD) for k in DENSE], ids=list(DENSE))


def budget_without_blocks(kw, rows=24):
    """A budget that builds the fill and draws batches of `rows`, but cannot
    keep the cross covariance."""
    plan = Sampler(fill="kriging", **kw).plan(rows, cache=False)
    budget = max(plan.build, plan.total)
    assert budget < plan.held + plan.cache
    return int(budget)


@options
def test_driver_stream_within_the_bound(small_blocks, monkeypatch, kw):
    np.random.seed(17)
    want = np.array([rf.get_random_field(**kw) for _ in range(5)])
    state = np.random.get_state()
    for keep in (True, False):
        monkeypatch.setattr(kriging.KrigedValues, "_keep", lambda self, need: keep)
        s = Sampler(fill="kriging", **kw)
        np.random.seed(17)
        got = s.draw(5)
        assert same_state(np.random.get_state(), state)
        assert np.abs(got - want).max() <= BOUND * np.abs(want).max()


@dense
def test_same_values_for_every_batch_and_budget(small_blocks, kw):
    kept = Sampler(fill="kriging", **kw)
    streamed = Sampler(fill="kriging", max_memory=budget_without_blocks(kw), **kw)
    if kept.Nkrig:
        assert kept._fill.B is not None and streamed._fill.B is None
    np.random.seed(5)
    whole = kept.draw(19)
    state = np.random.get_state()
    for s in (kept, streamed):
        for rows in (1, 3, 8, 13, None):
            np.random.seed(5)
            parts = list(s.blocks(19, rows=rows))
            assert [o for o, _ in parts] == sorted({o for o, _ in parts})
            assert np.vstack([b for _, b in parts]).tobytes() == whole.tobytes()
            assert same_state(np.random.get_state(), state)
    for seed in (2, np.random.SeedSequence(2, spawn_key=(1,))):
        study = kept.draw(11, seed=seed)
        assert streamed.draw(11, seed=seed).tobytes() == study.tobytes()
        assert streamed.realisation(9, seed=seed).tobytes() == study[9].tobytes()


@pytest.mark.parametrize("model", [0, 1])
def test_left_out_rows_are_exact_zeros(small_blocks, model):
    s = Sampler(fill="kriging", x=X, z=Z, theta_z=0.5, model=model, mu=0.0, sigma=SIGMA)
    f = s._fill
    left_out = 0
    for b, rows in enumerate(f.rows):
        full = f._block(b, full=True)
        if rows is None:
            continue
        out = np.setdiff1d(np.arange(s.Nchol), rows)
        assert np.all(full[out] == 0.0) and not np.signbit(full[out]).any()
        assert full[rows].tobytes() == f._block(b).tobytes()
        left_out += len(out)
    assert left_out > 0 if model == 0 else left_out == 0


@pytest.mark.parametrize("model", [0, 1, -3])
@pytest.mark.parametrize("theta", [0.37, 2.0, 1e-3])
def test_the_zero_bound_is_safe(model, theta):
    d = kriging._zero_distance(theta, model)
    xk = np.array([d, d * (1 + 1e-15), 2 * d, 0.0]) * np.array([1, 1, 1, 0])
    zk = np.array([0.0, 0.0, 0.0, d])
    C = rf.get_C_chol_krig(np.zeros(1), np.zeros(1), xk, zk, theta, model, np.full(1, 1e300),
                           np.full(4, 1e300))
    assert C.tobytes() == np.zeros((1, 4)).tobytes()
    for bad in (0.0, -theta, np.nan, np.inf, "a"):
        assert kriging._zero_distance(bad, model) is None


def test_budget_too_small_refused_before_allocating():
    x, z = (a.ravel() for a in np.meshgrid(np.arange(300) * 0.2, np.arange(100) * 0.2))
    kw = dict(x=x, z=z, theta_z=1.0, mu=0.0, sigma=1.0)
    Nchol = len(rf.get_chol_krig_nodes(x, z, np.sqrt(2 * np.pi) / 4)[0])
    budget = 4 * Nchol ** 2      # half of COV alone
    tracemalloc.start()
    try:
        with pytest.raises(MemoryError) as info:
            Sampler(fill="kriging", max_memory=budget, **kw)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < budget          # the partition only: nothing of the plan was made
    msg = str(info.value)
    for part in (f"N = {len(x)}", f"Nchol = {Nchol}", f"Nkrig = {len(x) - Nchol}", f"{budget} bytes"):
        assert part in msg


def test_weights_and_draws_refused_beyond_the_budget(small_blocks):
    kw = dict(DENSE["gaussian"], x=XD, z=ZD)
    s = Sampler(fill="kriging", max_memory=budget_without_blocks(kw), **kw)
    with pytest.raises(MemoryError, match="weights W"):
        s.W
    big = s.max_memory // (8 * ND) + 1
    with pytest.raises(MemoryError, match=r"blocks\(\)"):
        s.draw(big)
    before = np.random.get_state()
    offset, first = next(s.blocks(big))
    assert offset == 0 and 1 <= len(first) < big
    np.testing.assert_allclose(s.variance, Sampler(fill="kriging", **kw).variance, rtol=1e-12)


def test_progress_of_the_build():
    calls = []
    s = Sampler(fill="kriging", x=X, z=Z, theta_z=0.5, mu=0.0, sigma=1.0,
                progress=lambda stage, done, total: calls.append((stage, done, total)))
    stages = list(dict.fromkeys(c[0] for c in calls))
    assert stages == ["partition", "covariance", "factorisation", "kriging factorisation",
                      "cross covariance"]
    for stage in stages:
        mine = [c for c in calls if c[0] == stage]
        assert mine[0][1] == 0 and mine[-1][1] == mine[-1][2] >= 1
        assert all(0 <= d <= t for _, d, t in mine)
    assert s._fill.B is not None


@pytest.mark.parametrize("dup", [0, 5])
def test_singular_kriging_matrix_says_what_to_change(dup):
    x = np.r_[X, X[dup]]
    z = np.r_[Z, Z[dup]]
    with pytest.raises(np.linalg.LinAlgError) as want:
        rf.get_random_field(x=x, z=z, theta_z=0.5, mu=0.0, sigma=1.0, Dhchol=0.0)
    with pytest.raises(np.linalg.LinAlgError) as got:
        Sampler(fill="kriging", x=x, z=z, theta_z=0.5, mu=0.0, sigma=1.0, Dhchol=0.0)
    msg = str(got.value)
    assert msg.startswith(str(want.value)) and "Dhchol" in msg and f"the {N + 1} Cholesky nodes" in msg
