"""get_COV and get_C_chol_krig against the pure-Python oracle, bit for bit."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import random_field as rf
from support import NEG_PI, assert_same_bits, bits, cov_oracle

E = math.exp


def nodes(n, seed, scale=3.0):
    g = np.random.default_rng(seed)
    x, z = g.uniform(-scale, scale, n), g.uniform(-scale, scale, n)
    if n > 2:  # two distinct nodes at one position
        x[-1], z[-1] = x[0], z[0]
    return x, z, g.uniform(0.5, 2.0, n)


@pytest.mark.parametrize("model", [0, 1])
def test_both_builders_match_oracle_on_strided_views(view, model):
    (x, z, s), (xk, zk, sk) = nodes(13, model), nodes(5, 20 + model)
    args = [view(x), view(z), view(xk), view(zk), 1.3, model, view(s), view(sk)]
    C, K = rf.get_COV(*args[:2], 1.3, model, args[6]), rf.get_C_chol_krig(*args)
    assert C.flags.c_contiguous and K.flags.c_contiguous
    assert_same_bits(C, cov_oracle(x, z, s, x, z, s, 1.3, model, True))
    assert_same_bits(K, cov_oracle(x, z, s, xk, zk, sk, 1.3, model, False))
    for a, v in zip(args[:4] + args[6:], (x, z, xk, zk, s, sk)):  # inputs untouched
        assert np.array_equal(np.asarray(a), v)


coord = st.floats(-1e3, 1e3)
node = st.tuples(coord, coord, st.floats(-5.0, 5.0))


@settings(max_examples=60, deadline=None)
@given(st.lists(node, max_size=8), st.lists(node, max_size=8),
       st.floats(1e-3, 1e3) | st.floats(-1e3, -1e-3) | st.just(math.inf), st.integers(0, 1))
def test_oracle_agreement_property(a, b, theta, model):
    xa, za, sa = (np.array(c, dtype=np.float64) for c in zip(*a)) if a else [np.empty(0)] * 3
    xb, zb, sb = (np.array(c, dtype=np.float64) for c in zip(*b)) if b else [np.empty(0)] * 3
    assert_same_bits(rf.get_COV(xa, za, theta, model, sa),
                     cov_oracle(xa, za, sa, xa, za, sa, theta, model, True))
    assert_same_bits(rf.get_C_chol_krig(xa, za, xb, zb, theta, model, sa, sb),
                     cov_oracle(xa, za, sa, xb, zb, sb, theta, model, False))


@pytest.mark.parametrize("model, r", [(0, E(NEG_PI)), (1, E(-2.0))])
def test_two_node_example(model, r):
    C = rf.get_COV(np.array([0.0, 1.0]), np.zeros(2), 1.0, model, np.array([1.0, 2.0]))
    assert_same_bits(C, [[1.0, (r * 1.0) * 2.0], [(r * 1.0) * 2.0, 4.0]])


@pytest.mark.parametrize("model, r1, r2", [(0, E(NEG_PI), E(4.0 * NEG_PI)), (1, E(-2.0), E(-4.0))])
def test_cross_covariance_example(model, r1, r2):
    C = rf.get_C_chol_krig(np.zeros(2), np.array([0.0, 3.0]), np.zeros(1), np.ones(1),
                           1.0, model, np.ones(2), np.array([2.0]))
    assert_same_bits(C, [[(r1 * 1.0) * 2.0], [(r2 * 1.0) * 2.0]])


@pytest.mark.parametrize("model", [0, 1])
@pytest.mark.parametrize("theta", [0.7, -0.7, 1e-300, math.inf])
def test_symmetry_and_diagonal(model, theta):
    x, z, s = nodes(30, 5)
    C = rf.get_COV(x, z, theta, model, s)
    assert np.array_equal(bits(C), bits(C.T))
    assert np.array_equal(bits(np.diag(C)), bits(s * s))


@pytest.mark.parametrize("theta", [1.0, 0.0, -0.0, math.nan])
def test_empty_node_sets(theta):
    e, two = np.empty(0), np.array([0.0, 1.0])
    for C, shape in [(rf.get_COV(e, e, theta, 0, e), (0, 0)),
                     (rf.get_COV(None, None, theta, 1, None), (0, 0)),
                     (rf.get_C_chol_krig(two, two, e, e, theta, 0, two, e), (2, 0)),
                     (rf.get_C_chol_krig(two, two, None, None, theta, 1, two, None), (2, 0)),
                     (rf.get_C_chol_krig(None, None, two, two, theta, 0, None, two), (0, 2))]:
        assert C.dtype == np.float64 and C.shape == shape


@pytest.mark.parametrize("model", [0, 1])
@pytest.mark.parametrize("theta", [0.0, -0.0, 0, False])
def test_zero_theta_with_nodes(model, theta):
    one = np.ones(1)
    with pytest.raises(ZeroDivisionError) as e1:
        rf.get_COV(one, one, theta, model, one)
    with pytest.raises(ZeroDivisionError) as e2:
        rf.get_C_chol_krig(one, one, one, one, theta, model, one, one)
    assert str(e1.value) == str(e2.value) == "float division"


@pytest.mark.parametrize("model", [0, 1])
def test_nan_theta_gives_all_nan(model):
    x, z, s = nodes(6, 1)
    assert np.isnan(rf.get_COV(x, z, math.nan, model, s)).all()
    assert np.isnan(rf.get_C_chol_krig(x, z, x[:4], z[:4], math.nan, model, s, s[:4])).all()


@pytest.mark.parametrize("theta, model, same_theta, same_model", [
    (-0.8, 0, 0.8, 0),  # the Gaussian model ignores the sign of theta
    (1.0, 2, 1.0, 1), (1.0, -5, 1.0, 1), (1.0, 1.5, 1.0, 1), (1.0, 0.5, 1.0, 0),
    (1.0, -0.5, 1.0, 0),
])
def test_equivalent_parameters(theta, model, same_theta, same_model):
    x, z, s = nodes(15, 3)
    assert not np.array_equal(rf.get_COV(x, z, 1.0, 0, s), rf.get_COV(x, z, 1.0, 1, s))
    assert_same_bits(rf.get_COV(x, z, theta, model, s), rf.get_COV(x, z, same_theta, same_model, s))
    assert_same_bits(rf.get_C_chol_krig(x, z, z, x, theta, model, s, s),
                     rf.get_C_chol_krig(x, z, z, x, same_theta, same_model, s, s))


@pytest.mark.parametrize("model", [0, 1])
def test_cross_covariance_equals_COV_on_and_above_the_diagonal(model):
    x, z, s = nodes(40, 4)
    upper = np.triu(np.ones((40, 40), dtype=bool))
    C, K = rf.get_COV(x, z, 0.6, model, s), rf.get_C_chol_krig(x, z, x, z, 0.6, model, s, s)
    assert np.array_equal(bits(C)[upper], bits(K)[upper])


o = np.ones
MISMATCHED = [
    ("get_COV", (o(3), o(2), 1.0, 0, o(3))), ("get_COV", (o(3), o(3), 1.0, 0, o(2))),
    ("get_COV", (o(3), o(3), 0.0, 0, o(2))), ("get_COV", (o(3), o(3), 1.0, 0, None)),
    ("get_COV", (None, o(3), 1.0, 0, o(3))),
    ("get_C_chol_krig", (o(3), o(2), o(2), o(2), 1.0, 0, o(3), o(2))),
    ("get_C_chol_krig", (o(3), o(3), o(2), o(1), 1.0, 1, o(3), o(2))),
    ("get_C_chol_krig", (o(3), o(3), o(2), o(2), 0.0, 1, o(3), None)),
    ("get_C_chol_krig", (None, o(3), None, None, 1.0, 0, None, None)),
]


@pytest.mark.parametrize("name, args", MISMATCHED)
def test_mismatched_lengths(name, args):
    with pytest.raises(ValueError, match=name):
        getattr(rf, name)(*args)


@pytest.mark.parametrize("model", [0, 1])
def test_thread_count_does_not_change_bits(monkeypatch, model):
    x, z, s = nodes(420, 6, scale=2.0)
    k = slice(0, 300)
    ref = (cov_oracle(x, z, s, x, z, s, 0.7, model, True),
           cov_oracle(x[k], z[k], s[k], x, z, s, 0.7, model, False))
    # Values that are not a positive count fall back to the usable cores.
    for n in ("1", "2", "7", "0", "-3", "two", ""):
        monkeypatch.setenv("RANDOM_FIELD_NUM_THREADS", n)
        assert_same_bits(rf.get_COV(x, z, 0.7, model, s), ref[0])
        assert_same_bits(rf.get_C_chol_krig(x[k], z[k], x, z, 0.7, model, s[k], s), ref[1])


def test_exp_is_zero_below_the_cutoff():
    # The kernels skip exp below -746: libm gives +0.0 there anyway.
    t = -745.1332191019411  # last argument whose exp is not zero
    assert E(t) > 0.0 and E(np.nextafter(t, -np.inf)) == 0.0
    below = np.concatenate([np.linspace(-746.0000001, -1e5, 2001),
                            np.nextafter(-746.0, -np.inf) - np.arange(50) * 2.0 ** -42])
    assert all(bits([E(v) for v in below]) == 0)


def scan(d0, n=40):
    """Distances within a few ulps of d0, on both sides."""
    return d0 + np.arange(-n, n + 1) * np.spacing(d0)


@pytest.mark.parametrize("model", [0, 1])
def test_underflow_boundary_matches_oracle(model):
    if model == 0:  # exponent s * -pi: d = sqrt(-t / pi)
        d = np.concatenate([scan(math.sqrt(-t / -NEG_PI)) for t in
                            (-745.0, -745.1332191019411, -745.9999999, -746.0, -746.0000001)])
        expo = [(q * q) * NEG_PI for q in (math.sqrt(v * v) / 1.0 for v in d)]
    else:  # exponent (d * -2) / theta
        d = np.concatenate([scan(-t / 2.0) for t in (-745.1332191019411, -746.0, -746.0000001)])
        expo = [(math.sqrt(v * v) * -2.0) / 1.0 for v in d]
    expo = np.array(expo)
    assert ((expo > -746.0) & (expo < -745.99)).any() and (expo < -746.0).any()
    assert (expo == -746.0).any() or model == 0
    assert ((expo < -745.1332191019411) & (expo > -745.14)).any()
    sc, sk = np.array([3.0, -1.0]), np.linspace(0.5, 2.0, len(d))
    xc, zc, xk, zk = np.zeros(2), np.array([0.0, -1e9]), d, np.zeros(len(d))
    C = rf.get_C_chol_krig(xc, zc, xk, zk, 1.0, model, sc, sk)
    assert_same_bits(C, cov_oracle(xc, zc, sc, xk, zk, sk, 1.0, model, False))
    zero = C[0] == 0  # positive sigma: +0.0; nodes 1e9 apart with sigma -1: -0.0
    assert zero.any() and not zero.all() and not np.signbit(C[0][zero]).any()
    assert (C[1] == 0).all() and np.signbit(C[1]).all()
    x = np.concatenate([[0.0], d])
    s = np.ones(len(x))
    assert_same_bits(rf.get_COV(x, np.zeros(len(x)), 1.0, model, s),
                     cov_oracle(x, 0 * x, s, x, 0 * x, s, 1.0, model, True))
