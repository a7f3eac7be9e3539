"""Node partition (Cholesky / kriged nodes) and node ordering."""
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import random_field

INF, NAN = math.inf, math.nan


def scan(x, z, dist_max):
    """The greedy partition, written as plainly as possible."""
    x, z = [float(v) for v in x], [float(v) for v in z]
    chol, krig = [0], []
    for i in range(1, len(x)):
        for k in chol:
            dx, dz = x[i] - x[k], z[i] - z[k]
            if math.sqrt(dx * dx + dz * dz) < dist_max:
                krig.append(i)
                break
        else:
            chol.append(i)
    return [np.asarray(s) for s in (chol, [x[k] for k in chol], [z[k] for k in chol],
                                     krig, [x[k] for k in krig], [z[k] for k in krig])]


def assert_same(got, want):
    assert type(got) is list and len(got) == 6
    for g, w in zip(got, want):
        assert (g.dtype, g.shape) == (w.dtype, w.shape)
        assert g.tobytes() == w.tobytes()


def check(x, z, dist_max):
    x, z = np.asarray(x, float), np.asarray(z, float)
    saved = x.tobytes(), z.tobytes()
    got = random_field.get_chol_krig_nodes(x, z, dist_max)
    assert (x.tobytes(), z.tobytes()) == saved
    assert_same(got, scan(x, z, dist_max))
    return got


SCALES = [1.0, 3.7, 1e-5, 1e5, 1e-160, 1e-200, 1e160, 1e200]
ODD_DIST = [0.0, -0.0, -1.0, NAN, INF, -INF, 1e-300, 5e-324, 1e300, 2.0**512,
            np.nextafter(2.0**512, 0.0), 2.0**513, 1e308]
# Coordinates of outliers, far beyond every scale (the same value drawn twice
# makes nodes that share that coordinate exactly).
HUGE = [1e16, -1e16, 2.0**53, 2.0**62, -2.0**63, 2.0**70 + 2.0**18, 1e300, -1.7976931348623157e308]


@st.composite
def node_sets(draw):
    n = draw(st.integers(1, 70))
    scale, step = draw(st.sampled_from(SCALES)), draw(st.sampled_from([1.0, 0.5, 0.1, 0.3]))
    offset = draw(st.sampled_from([0.0, 1e6, -3.3e3])) * scale
    width = draw(st.integers(1, 12))  # small width: dense, many duplicates
    lattice = st.integers(-width, width).map(lambda k: offset + k * step * scale)
    free = st.floats(-width, width).map(lambda v: offset + v * scale)
    coord = st.one_of(lattice, lattice, free)
    x = draw(st.lists(coord, min_size=n, max_size=n))
    z = draw(st.lists(coord, min_size=n, max_size=n))
    for a, b in draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)),
                              max_size=4)):
        x[b], z[b] = x[a], z[a]
    far = draw(st.sampled_from([0.0, 0.0, 1e9, 1e12, 2.0**60, 1e16, 1e30, 1e300])) * step * scale
    shifted = draw(st.sampled_from([(x,), (z,), (x, z)]))
    for i in range(draw(st.integers(0, n)), n):  # a second cluster far away
        for c in shifted:
            c[i] += far
    for i, v, axes in draw(st.lists(st.tuples(st.integers(0, n - 1), st.sampled_from(HUGE),
                                              st.sampled_from(["x", "z", "xz"])), max_size=3)):
        if "x" in axes:  # outliers, on one axis or both
            x[i] = v
        if "z" in axes:
            z[i] = v
    for i, v in draw(st.lists(st.tuples(st.integers(0, 2 * n - 1),
                                        st.sampled_from([NAN, INF, -INF])), max_size=2)):
        (x if i < n else z)[i % n] = v
    kind = draw(st.sampled_from(["pair", "pair", "free", "odd"]))
    if kind == "odd":
        return x, z, draw(st.sampled_from(ODD_DIST))
    if kind == "free":
        return x, z, draw(st.floats(0, 3 * width)) * step * scale
    i, j = draw(st.integers(0, n - 1)), draw(st.integers(0, n - 1))
    dx, dz = x[i] - x[j], z[i] - z[j]
    d = math.sqrt(dx * dx + dz * dz)  # a distance that occurs, or one ulp either side
    return x, z, np.nextafter(d, draw(st.sampled_from([-INF, d, INF])))


@settings(max_examples=int(os.environ.get("RANDOM_FIELD_PARTITION_EXAMPLES", "300")), deadline=None)
@given(node_sets())
def test_partition_matches_plain_scan(case):
    check(*case)


@pytest.mark.parametrize("layout", ["uniform", "clustered", "sparse", "far apart", "outlier",
                                    "huge extent"])
def test_partition_many_nodes(layout):
    rng = np.random.default_rng(11)
    x, z = rng.uniform(-5, 5, 1200), rng.uniform(0, 10, 1200)
    if layout == "clustered":
        x[::2], z[::2] = rng.normal(1.0, 1e-3, 600), rng.normal(2.0, 1e-3, 600)
    elif layout == "sparse":  # small groups of nodes, far apart from each other
        x = x / 10.0 + rng.integers(0, 10**6, 240).repeat(5) * 20.0
        z = z / 10.0
    elif layout == "far apart":  # clouds 1.5 * 2**39 and 2**45 bounds away
        x[400:800] += 0.7 * 1.5 * 2.0**39
        x[800:] += 0.7 * 2.0**45
    elif layout == "outlier":  # one node far away makes the extent huge
        x[-1] = 1e16
    elif layout == "huge extent":  # clouds near both ends of the doubles, and one at 0
        x[:400] = x[:400] * 1e292 - 1.7e308
        z[400:800] = z[400:800] * 1e292 + 1.7e308 - 1e294
    check(x, z, 0.7)


def test_worked_example():
    ci, xc, zc, ki, xk, zk = check([0.0, 0.5, 1.0, 1.5, 3.0], [0.0] * 5, 1.0)
    assert ci.tolist() == [0, 2, 4] and xc.tolist() == [0.0, 1.0, 3.0]
    assert ki.tolist() == [1, 3] and xk.tolist() == [0.5, 1.5] and ci.dtype == np.int64


@pytest.mark.parametrize("x, dist_max, nchol", [
    ([0.0, 1.0], 1.0, 2), ([0.0, 1.0], np.nextafter(1.0, 2.0), 1), ([0.0, 1.0], 1, 2),
    ([0.0, 1.0], True, 2), ([0.0, 1.0], INF, 1), ([0.0, 1.0], 0.0, 2), ([0.0, 1.0], NAN, 2),
    ([2.5], 3.0, 1),  # one node: chol_ind [0] and three empty float64 arrays
])
def test_bound_and_sizes(x, dist_max, nchol):
    assert len(check(x, [0.0] * len(x), dist_max)[0]) == nchol


def test_strided_inputs_read_in_view_order(view):
    x, z = [0.0, 0.3, 2.0, 2.2, 5.0, 0.1, 4.9], [0.0, 0.1, 0.0, 1.0, 0.5, 0.2, 0.0]
    assert_same(random_field.get_chol_krig_nodes(view(x), view(z), 0.5), scan(x, z, 0.5))
    xs, zs = random_field.sort_nodes(view(x), view(z))
    assert xs.tolist() == [0.0, 0.1, 0.3, 2.0, 2.2, 4.9, 5.0]
    assert zs.tolist() == [0.0, 0.2, 0.1, 0.0, 1.0, 0.0, 0.5]


@pytest.mark.parametrize("fn", ["get_chol_krig_nodes", "sort_nodes"])
@pytest.mark.parametrize("nx, nz", [(3, 2), (2, 3), (0, 2)])
def test_length_mismatch(fn, nx, nz):
    args = (np.zeros(nx), np.zeros(nz)) + ((1.0,) if fn == "get_chol_krig_nodes" else ())
    with pytest.raises(ValueError, match=fn):
        getattr(random_field, fn)(*args)


@pytest.mark.parametrize("x, z", [(np.zeros(0), np.zeros(0)), (None, None)])
def test_partition_needs_a_node(x, z):
    with pytest.raises(ValueError):
        random_field.get_chol_krig_nodes(x, z, 1.0)


# ------------------------------------------------------------------ node ordering

@pytest.mark.parametrize("x, z, want_x, want_z", [
    ([0.0, 3.0, 1.0, -2.0], [0.0, 4.0, 0.0, 0.0], [0.0, 1.0, -2.0, 3.0], [0.0, 0.0, 0.0, 4.0]),
    ([0.0, 1.0, -1.0, 0.0], [0.0, 0.0, 0.0, 1.0], [0.0, 1.0, -1.0, 0.0], [0.0, 0.0, 0.0, 1.0]),
    ([5.0, 7.0, 5.0, 5.0], [1.0, 1.0, 1.0, 1.0], [5.0, 5.0, 5.0, 7.0], [1.0, 1.0, 1.0, 1.0]),
    ([NAN, 1.0, 2.0, 0.0], [0.0, 3.0, 1.0, 2.0], [NAN, 1.0, 2.0, 0.0], [0.0, 3.0, 1.0, 2.0]),
    ([1.0, 9.0, 8.0], [NAN, 0.0, 1.0], [1.0, 9.0, 8.0], [NAN, 0.0, 1.0]),
    ([0.0, NAN, 3.0, 1.0, INF, 2.0], [0.0, 0.0, 0.0, NAN, 0.0, 0.0],
     [0.0, 2.0, 3.0, INF, NAN, 1.0], [0.0, 0.0, 0.0, 0.0, 0.0, NAN]),
    ([2.5], [-1.0], [2.5], [-1.0]),
])
def test_sort_nodes_order(x, z, want_x, want_z):
    x, z = np.array(x), np.array(z)
    saved = x.copy(), z.copy()
    got = random_field.sort_nodes(x, z)
    assert type(got) is list and len(got) == 2
    np.testing.assert_array_equal(got[0], want_x)
    np.testing.assert_array_equal(got[1], want_z)
    for a, b in zip(got, (x, z)):
        assert a.dtype == np.float64 and a.strides == (32,) and a.flags.writeable
        assert not np.shares_memory(a, b)
    got[0][:] = -7.0
    got[1][:] = -7.0
    np.testing.assert_array_equal(x, saved[0])
    np.testing.assert_array_equal(z, saved[1])


@pytest.mark.parametrize("x, z", [(np.zeros(0), np.zeros(0)), (None, None)])
def test_sort_nodes_empty(x, z):
    got = random_field.sort_nodes(x, z)
    assert type(got) is list and [(a.dtype, a.shape) for a in got] == [(np.float64, (0,))] * 2
