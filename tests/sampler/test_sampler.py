"""The sampler: many realisations over one set of nodes, from the driver's
stream or a seeded study; shared by threads; its signature, its options and
its memory budget."""
import inspect
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import random_field as rf
from diagnostic_cases import DIAGNOSTICS, TWO
from random_field_sampler import ConditionalFill, KrigingFill, Sampler, budget, streams
from random_field_sampler.distributed import row_chunks
from random_field_sampler.sampler import ACCEPTED_KEYWORDS

# 21 x 13 mesh nodes; several of the cases below have an odd Nchol, so that
# numpy's cached second normal variate is carried from one realisation to the next.
X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(21) * 0.5, np.arange(13) * 0.5))
N = len(X)
SIGMA, MU = np.random.default_rng(5).uniform((0.5, -1.0), (2.0, 1.0), (N, 2)).T.copy()

CASES = {
    "default": dict(theta_z=2.0, mu=20.0, sigma=4.0),
    "anisotropic": dict(theta_z=1.0, theta_x=3.0, mu=MU, sigma=SIGMA),
    "exponential": dict(theta_z=1.5, model=1, mu=list(MU), sigma=list(SIGMA)),
    "Dhchol": dict(theta_z=1.0, Dhchol=0.9, mu=np.arange(N), sigma=1.5),
    "all-cholesky": dict(theta_z=0.8, Dhchol=0.0, mu=MU, sigma=SIGMA),
}
case = pytest.mark.parametrize("kw", [dict(CASES[k], x=X, z=Z) for k in CASES], ids=list(CASES))


def same_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


def close(got, want):
    """Equal up to rounding, relative to the scale of the field."""
    assert got.shape == want.shape
    assert np.abs(got - want).max(initial=0.0) <= 1e-12 * np.abs(want).max(initial=1.0)


def untouched(before):
    """The global generator is where it was: no random numbers were drawn."""
    assert same_state(np.random.get_state(), before)


def driver_draws(kw, k, seed):
    np.random.seed(seed)
    return np.array([rf.get_random_field(**kw) for _ in range(k)]), np.random.get_state()


@case
def test_one_draw_is_the_driver(kw):
    saved = [np.array(kw[k]) for k in ("x", "z", "mu", "sigma")]
    want, state = driver_draws(kw, 1, seed=3)
    np.random.seed(3)
    got = Sampler(fill="kriging", **kw).draw(1)
    assert got.dtype == np.float64
    close(got, want)
    assert same_state(np.random.get_state(), state)
    for a, k in zip(saved, ("x", "z", "mu", "sigma")):
        np.testing.assert_array_equal(a, kw[k])


@case
def test_draws_are_successive_driver_calls(kw):
    want, state = driver_draws(kw, 5, seed=8)
    s = Sampler(fill="kriging", **kw)
    np.random.seed(8)
    close(s.draw(5), want)
    assert same_state(np.random.get_state(), state)
    np.random.seed(8)
    close(np.vstack((s.draw(2), s.draw(3))), want)
    assert same_state(np.random.get_state(), state)


@case
@pytest.mark.parametrize("rows", [1, 2, 3, 8, 9])
def test_batches_continue_the_stream(monkeypatch, kw, rows):
    s = Sampler(fill="kriging", **kw)
    np.random.seed(21)
    whole, state = s.draw(17), np.random.get_state()
    np.random.seed(21)
    got = np.vstack([b for _, b in s.blocks(17, rows=rows)])
    assert got.tobytes() == whole.tobytes()
    assert same_state(np.random.get_state(), state)
    monkeypatch.setattr(type(s._fill), "batch_cap_bytes", 8 * rows * (2 * s.Nchol + s.Nkrig))
    np.random.seed(21)
    assert s.draw(17).tobytes() == whole.tobytes()
    assert same_state(np.random.get_state(), state)


def test_moments():
    rng = np.random.default_rng(12)
    x, z = rng.uniform(0.0, 6.0, 30), rng.uniform(0.0, 3.0, 30)
    mu, sigma = np.linspace(-6.0, 6.0, 30), rng.uniform(0.5, 2.0, 30)
    s = Sampler(fill="kriging", x=x, z=z, theta_z=1.0, theta_x=2.0, mu=mu, sigma=sigma)
    assert 10 <= s.Nchol <= 20
    np.random.seed(2024)
    draws = s.draw(4000)
    chol, n = draws[:, s.chol_ind], len(draws)

    parts = rf.get_chol_krig_nodes(x / 2.0, z, np.sqrt(2.0 * np.pi) / 4.0)
    COV = rf.get_COV(parts[1], parts[2], 1.0, 0, sigma[s.chol_ind])
    close(s.L_chol @ s.L_chol.T, COV + 0.0001 * COV.min() * np.identity(s.Nchol))
    d = np.diag(COV)
    assert np.all(np.abs(chol.mean(axis=0) - mu[s.chol_ind]) < 5 * np.sqrt(d / n))
    se = np.sqrt((np.outer(d, d) + COV * COV) / n)
    assert np.all(np.abs(np.cov(chol, rowvar=False) - COV) < 5 * se)
    close(draws[:, s.krig_ind], chol @ s.W)


@case
def test_attributes(kw):
    s = Sampler(fill="kriging", **kw)
    theta_z = kw["theta_z"]
    Dhchol = kw.get("Dhchol", np.sqrt(2.0 * np.pi) * theta_z / 4.0)
    ci, xc, zc, ki, xk, zk = rf.get_chol_krig_nodes(X * theta_z / kw.get("theta_x", theta_z), Z, Dhchol)
    assert (s.N, s.Nchol, s.Nkrig) == (N, len(ci), len(ki))
    np.testing.assert_array_equal(s.chol_ind, ci)
    np.testing.assert_array_equal(s.krig_ind, ki)
    mu = np.broadcast_to(np.asarray(kw["mu"], dtype=float), N)
    np.testing.assert_array_equal(s.mu_chol, mu[ci])
    # W holds the weights get_krig_field applies: kriging the unit vectors gives its rows
    sigma = np.broadcast_to(np.asarray(kw["sigma"], dtype=float), N)
    model = kw.get("model", 0)
    COV = rf.get_COV(xc, zc, theta_z, model, sigma[ci])
    C = rf.get_C_chol_krig(xc, zc, xk, zk, theta_z, model, sigma[ci], sigma[list(ki)])
    close(s.W.T, rf.get_krig_field(COV, C, np.identity(s.Nchol)))
    assert s.L_chol.shape == (s.Nchol, s.Nchol) and s.W.shape == (s.Nchol, s.Nkrig)
    for name in ("chol_ind", "krig_ind", "mu_chol", "L_chol", "W"):
        with pytest.raises(ValueError):
            getattr(s, name)[...] = 0
        with pytest.raises(ValueError):  # and the flag cannot be turned back on
            getattr(s, name).flags.writeable = True


@pytest.mark.parametrize("kw, line", DIAGNOSTICS)
def test_diagnostics(capsys, kw, line):
    assert rf.get_random_field(**kw) is None
    printed = capsys.readouterr().out
    with pytest.raises(ValueError) as info:
        Sampler(fill="kriging", **kw)
    assert capsys.readouterr().out == printed == line + "\n"
    assert str(info.value) == line


def test_positional_arguments_refused():
    with pytest.raises(TypeError):
        Sampler(X, Z, **TWO)


@pytest.mark.parametrize("key", ["theta_X", "self"])
def test_unknown_keys_refused_where_the_driver_ignores_them(capsys, key):
    assert rf.get_random_field(**dict(TWO, **{key: 9.0})) is not None
    before = np.random.get_state()
    with pytest.raises(TypeError, match=f"unexpected keyword argument '{key}'"):
        Sampler(fill="kriging", **dict(TWO, **{key: 9.0}))
    assert capsys.readouterr().out == ""
    untouched(before)


@pytest.mark.parametrize("k, exc", [(0, None), (-1, ValueError), (1.5, TypeError), ("2", TypeError),
                                    (None, TypeError), (True, TypeError), (np.bool_(False), TypeError)])
def test_counts_that_draw_nothing(k, exc):
    s = Sampler(fill="kriging", x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    before = np.random.get_state()
    if exc is None:
        got = s.draw(k)
        assert got.shape == (0, N) and got.dtype == np.float64
    else:
        with pytest.raises(exc):
            s.draw(k)
    untouched(before)


@pytest.mark.parametrize("x", [[], np.zeros(0)])
def test_no_nodes(x):
    before = np.random.get_state()
    s = Sampler(fill="kriging", x=x, z=[], theta_z=1.0, mu=0.0, sigma=1.0)
    got = s.draw(3)
    assert got.shape == (3, 0) and got.dtype == np.float64
    assert (s.N, s.Nchol, s.Nkrig) == (0, 0, 0)
    untouched(before)


@pytest.mark.parametrize("change", [
    dict(model="a"), dict(Dhchol="a"),
    dict(sigma=np.where(np.arange(N) == 0, 0.0, 1.0)),  # failed factorisation
    dict(x=np.zeros(N), z=np.zeros(N), Dhchol=0.0),     # singular kriging system
], ids=lambda c: ",".join(c))
def test_failures_pass_through(capsys, change):
    kw = dict(dict(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0), **change)
    with np.errstate(all="ignore"):
        with pytest.raises(Exception) as want:
            rf.get_random_field(**kw)
        with pytest.raises(type(want.value)) as got:
            Sampler(fill="kriging", **kw)
    # a failed factorisation says more: which matrix, its size, what to change
    assert type(got.value) is type(want.value) and str(got.value).startswith(str(want.value))
    if isinstance(want.value, np.linalg.LinAlgError):
        assert "Dhchol" in str(got.value) and f"the {s_Nchol(kw)} Cholesky nodes" in str(got.value)
    else:
        assert str(got.value) == str(want.value)
    assert capsys.readouterr().out == ""


def s_Nchol(kw):
    x = np.asarray(kw["x"], dtype=float)
    return len(rf.get_chol_krig_nodes(x, np.asarray(kw["z"], dtype=float), kw.get("Dhchol", np.sqrt(2 * np.pi) * kw["theta_z"] / 4))[0])


def linear_map(s):
    """The realisations as a linear map of the variates, read off the draw
    path itself: row j is the response to the j-th unit variate."""
    n = s._variates()
    zero = s._compute(np.zeros((1, n)))
    return np.vstack([s._compute(np.eye(n)[j:j + 1]) - zero for j in range(n)])


@case
def test_covariance_and_variance_are_those_of_the_draws(kw):
    s = Sampler(fill="kriging", **kw)
    F = linear_map(s)
    want = F.T @ F
    got = s.covariance(np.arange(N))
    assert np.abs(got - want).max() <= 1e-12 * np.abs(want).max()
    scale = np.abs(want).max()
    np.testing.assert_allclose(s.variance, np.diag(want), rtol=0, atol=1e-12 * scale)
    pick = np.array([N - 1, 0, 7, 7])
    np.testing.assert_allclose(s.covariance(pick), want[np.ix_(pick, pick)], rtol=0, atol=1e-12 * scale)


@pytest.mark.parametrize("rng", [5, np.random.SeedSequence(5), "generator"])
def test_explicit_generator_leaves_the_global_one_alone(rng):
    s = Sampler(fill="kriging", x=X, z=Z, **CASES["anisotropic"])
    before = np.random.get_state()
    got = s.draw(6, rng=np.random.default_rng(5) if rng == "generator" else rng)
    untouched(before)
    want = np.vstack([b for _, b in s.blocks(6, rows=4, rng=np.random.default_rng(5))])
    close(got, want)


@pytest.mark.parametrize("seed", [11, np.random.SeedSequence(11, spawn_key=(2,))])
def test_study_rows_are_bit_identical_whatever_the_batches(seed):
    s = Sampler(fill="kriging", x=X, z=Z, **CASES["exponential"])
    before = np.random.get_state()
    whole = s.draw(21, seed=seed)
    untouched(before)
    for i in (0, 7, 8, 20):
        assert s.realisation(i, seed=seed).tobytes() == whole[i].tobytes()
    for rows, start in ((1, 0), (3, 5), (9, 13)):
        got = np.vstack([b for _, b in s.blocks(21 - start, rows=rows, seed=seed, start=start)])
        assert got.tobytes() == whole[start:].tobytes()
    assert not np.array_equal(s.realisation(0, seed=12), whole[0])


def test_streams_refused_together():
    s = Sampler(fill="kriging", x=X, z=Z, **CASES["default"])
    with pytest.raises(TypeError):
        s.draw(2, rng=1, seed=1)
    with pytest.raises(TypeError):
        next(s.blocks(2, start=3))


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_lognormal_is_the_exponential_of_the_standard_field(fill):
    mean, sd = np.linspace(10.0, 30.0, N), np.full(N, 4.0)
    common = dict(x=X, z=Z, theta_z=1.0, fill=fill)
    s = Sampler(mu=mean, sigma=sd, distribution="lognormal", **common)
    g = Sampler(mu=0.0, sigma=1.0, **common)
    s2 = np.log1p((sd / mean) ** 2)
    want = np.exp(np.log(mean) - 0.5 * s2 + np.sqrt(s2) * g.draw(5, seed=4))
    np.testing.assert_allclose(s.draw(5, seed=4), want, rtol=1e-14)
    # exact moments of the values from those of g
    v = g.variance * s2
    np.testing.assert_allclose(s.variance, mean ** 2 * np.exp(v - s2) * np.expm1(v), rtol=1e-12)
    nodes = np.arange(0, N, 17)
    np.testing.assert_allclose(np.diag(s.covariance(nodes)), s.variance[nodes], rtol=1e-12)
    if fill == "conditional":   # the values carry the sd asked for
        assert np.all(np.abs(np.sqrt(s.variance) / sd - 1.0) < 0.05)


def test_lognormal_needs_a_positive_mean():
    with pytest.raises(ValueError, match="positive"):
        Sampler(fill="kriging", x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, distribution="lognormal")
    with pytest.raises(ValueError, match="distribution"):
        Sampler(fill="kriging", x=X, z=Z, theta_z=1.0, mu=1.0, sigma=1.0, distribution="gamma")


# A mesh whose kriging system (Nchol = 540) takes long enough to solve for
# concurrent solves to overlap.
XW, ZW = (a.ravel().copy() for a in np.meshgrid(np.arange(160) * 0.25, np.arange(60) * 0.25))
WIDE = dict(x=XW, z=ZW, theta_z=1.0, theta_x=2.0, mu=3.0, sigma=2.0)


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_eight_threads_sharing_one_sampler_get_the_serial_rows(fill):
    s = Sampler(fill=fill, **WIDE)
    want = s.draw(64, seed=7)
    got = [[None] * 4 for _ in range(8)]
    start = threading.Barrier(8)

    def work(j):
        start.wait()
        for rep in range(4):   # whole groups, a lone row, and another thread's groups
            if rep == 1:
                got[j][rep] = s.realisation(8 * j + 3, seed=7)[None]
            else:
                got[j][rep] = s.draw(8, seed=7, start=8 * ((j + rep) % 8))
    threads = [threading.Thread(target=work, args=(j,)) for j in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for j in range(8):
        for rep in (0, 2, 3):
            a = 8 * ((j + rep) % 8)
            assert got[j][rep].tobytes() == want[a:a + 8].tobytes(), (j, rep)
        assert got[j][1].tobytes() == want[8 * j + 3].tobytes()


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_everything_a_sampler_holds_is_read_only(fill):
    s = Sampler(fill=fill, **WIDE)
    s.draw(3, seed=1)
    for holder in (s, s._base, s._fill):
        for name, value in vars(holder).items():
            for a in (value if isinstance(value, tuple) else (value,)):
                if isinstance(a, np.ndarray):
                    assert not a.flags.writeable, name
                    with pytest.raises(ValueError):
                        a.flags.writeable = True


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_rows_do_not_depend_on_the_batch_or_the_threads(monkeypatch, fill):
    s = Sampler(fill=fill, **WIDE)
    want = np.vstack([s.realisation(i, seed=4) for i in range(29)])
    assert s.draw(29, seed=4).tobytes() == want.tobytes()
    for threads in (1, 3):
        monkeypatch.setattr(streams, "cores", lambda: threads)
        assert s.draw(29, seed=4).tobytes() == want.tobytes()
        got = np.vstack([b for _, b in s.blocks(26, rows=9, seed=4, start=3)])
        assert got.tobytes() == want[3:].tobytes()


BOOLS = {
    "draw(True)": lambda s: s.draw(True),
    "draw seed": lambda s: s.draw(2, seed=True),
    "draw start": lambda s: s.draw(2, seed=1, start=True),
    "draw rng": lambda s: s.draw(2, rng=True),
    "realisation i": lambda s: s.realisation(True, seed=1),
    "realisation seed": lambda s: s.realisation(0, seed=np.bool_(True)),
    "blocks k": lambda s: next(s.blocks(True)),
    "blocks rows": lambda s: next(s.blocks(2, rows=True)),
    "blocks start": lambda s: next(s.blocks(2, seed=1, start=True)),
    "batch_rows": lambda s: s.batch_rows(True),
    "plan": lambda s: s.plan(True),
    "max_memory": lambda s: Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, max_memory=True),
    "neighbours": lambda s: ConditionalFill(neighbours=True),
    "study seed": lambda s: streams.study_seed(True),
    "chunk rows": lambda s: row_chunks(16, N, True),
    "chunk sizes": lambda s: row_chunks(2, N, (True, True)),
    "study size": lambda s: row_chunks(True, N, 1),
}


@pytest.mark.parametrize("call", BOOLS)
def test_bools_are_refused_as_counts_seeds_and_sizes(call):
    s = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    before = np.random.get_state()
    with pytest.raises(TypeError, match=r"must be an integer, not a bool \((True|False)\)$"):
        BOOLS[call](s)
    untouched(before)


def test_the_signature_names_every_keyword():
    params = inspect.signature(Sampler).parameters
    assert [p for p in params if p != "unknown"] == list(ACCEPTED_KEYWORDS[:8]) + [
        "fill", "neighbours", "max_memory", "progress", "distribution", "angle", "data",
        "data_error"]
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for n, p in params.items() if n != "unknown")
    assert params["fill"].default == "conditional"


def test_the_conditional_fill_is_the_default_and_its_options_are_reachable():
    s = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)
    assert s.fill == "conditional" and s.fill_options == ConditionalFill(
        neighbours=50, order="maxmin", tol=1e-8, nugget=1e-4, chol_neighbours=0,
        coarse_neighbours=100)
    options = ConditionalFill(neighbours=5, order="node", tol=1e-6, nugget=0.0, chol_neighbours=2,
                              coarse_neighbours=5)
    t = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, model=1, fill=options)
    assert t.fill_options == options and t._fill.neighbours == 5
    counts = t._fill.neighbour_counts()
    assert counts.max() <= 5 and np.array_equal(t._fill._node, t.krig_ind)   # node order
    assert Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, neighbours=5).fill_options.neighbours == 5
    k = Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, fill=KrigingFill())
    assert k.fill == "kriging" and k.fill_options == KrigingFill()
    for bad in (dict(order="spiral"), dict(tol=1.0), dict(nugget=-1.0), dict(chol_neighbours=-1)):
        with pytest.raises(ValueError):
            ConditionalFill(**bad)
    with pytest.raises(TypeError, match="not beside them"):
        Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, fill=options, neighbours=3)


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
def test_the_plan_is_what_the_budget_checks(fill):
    s = Sampler(fill=fill, **WIDE)
    plan = s.plan(16)
    assert plan.rows == 16 and plan.budget == s.max_memory and plan.fits
    assert plan.held == budget.sampler_bytes(s.N, s.Nchol) + s._fill.held_bytes()
    # a budget of what a batch of 16 needs: batches of at least 16 rows, that fit
    tight = Sampler(fill=fill, max_memory=max(plan.build, plan.total), **WIDE)
    rows = tight.batch_rows(1000)
    assert rows >= 16 and tight.plan(rows).fits and not tight.plan(rows + 8).fits
    with pytest.raises(MemoryError, match="max_memory"):
        Sampler(fill=fill, max_memory=plan.build // 4, **WIDE)


def test_far_nodes_build_the_kriging_fill_without_warnings():
    x = np.r_[np.linspace(0.0, 1e300, 40), np.linspace(0.0, 3.0, 60)]
    z = np.r_[np.zeros(40), np.linspace(0.0, 2.0, 60)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = Sampler(x=x, z=z, theta_z=1.0, mu=0.0, sigma=1.0, fill="kriging")
        assert np.isfinite(s.draw(3, seed=1)).all() and np.isfinite(s.variance).all()


def test_the_default_budget_honours_the_address_space_limit():
    # In a child: RLIMIT_AS at what is in use plus 600 MiB.
    code = """
import resource, numpy as np
from random_field_sampler import Sampler, budget
with open("/proc/self/status") as f:
    used = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (600 << 20), resource.RLIM_INFINITY))
print(budget.available_memory() <= 600 << 20, budget.default_budget() <= 300 << 20)
x, z = (a.ravel() for a in np.meshgrid(np.arange(200) * 0.1, np.arange(150) * 0.1))
try:
    Sampler(x=x, z=z, theta_z=0.3, mu=0.0, sigma=1.0)
except MemoryError as e:
    print("max_memory" in str(e) and "Nchol" in str(e))
"""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         timeout=300)
    assert out.stdout.split() == ["True", "True", "True"], out.stderr


@pytest.mark.parametrize("version", ["v2", "v1"])
def test_the_default_budget_honours_a_cgroup_limit(tmp_path, version):
    if version == "v2":
        (tmp_path / "cgroup").write_text("0::/a/b\n")
        root = tmp_path / "fs"
        for folder, limit, usage in (("a", "2000000", "500000"), ("a/b", "max", "400000")):
            (root / folder).mkdir(parents=True)
            (root / folder / "memory.max").write_text(limit + "\n")
            (root / folder / "memory.current").write_text(usage + "\n")
        want = 1_500_000
    else:
        (tmp_path / "cgroup").write_text("5:cpu:/\n4:memory:/a\n")
        root = tmp_path / "fs"
        (root / "memory" / "a").mkdir(parents=True)
        (root / "memory" / "memory.limit_in_bytes").write_text(str(2**63 - 4096))
        (root / "memory" / "a" / "memory.limit_in_bytes").write_text("3000000")
        (root / "memory" / "a" / "memory.usage_in_bytes").write_text("1000000")
        want = 2_000_000
    assert budget.cgroup_room(str(root), str(tmp_path / "cgroup")) == want
    assert budget.cgroup_room(str(root), str(tmp_path / "missing")) is None
