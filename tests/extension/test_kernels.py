"""The conditional fill's kernels (random_field_sampler._kernels): the
neighbour grid and both drawing orders against plain scans (outliers and
extents near the ends of the doubles included), the checks of their
arguments (sizes come from the arrays; hostile shapes and strides are
refused), a fuzzer over all of them, and Ctrl-C during the orderings."""
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from numpy.lib.stride_tricks import as_strided

from support import interrupt_child
from random_field_sampler import _kernels
from test_partition import node_sets

SANITIZED = bool(os.environ.get("RANDOM_FIELD_SANITIZED"))
EXAMPLES = int(os.environ.get("RANDOM_FIELD_FUZZ_EXAMPLES", "150"))
I32 = np.int32


def dist(xa, za, xb, zb):
    dx, dz = xa - xb, za - zb
    return math.sqrt(dx * dx + dz * dz)


def finite(x, z, i):
    return math.isfinite(x[i]) and math.isfinite(z[i])


# -- plain scans ---------------------------------------------------------------

def neighbours_scan(x, z, node_of_rank, m):
    """For every rank r, the m nearest ranks below r (ties to the lower rank)."""
    out = np.full((len(x), m), -1, dtype=I32)
    for r, i in enumerate(node_of_rank):
        if not finite(x, z, i):
            continue
        found = sorted((dist(x[i], z[i], x[j], z[j]), q)
                       for q, j in enumerate(node_of_rank[:r]) if finite(x, z, j))
        out[r, :min(m, len(found))] = [q for _, q in found[:m]]
    return out


def assert_maxmin(x, z, chol, krig, out):
    """out is a max-min order of krig: each next kriged node is one of the
    farthest from all before it (exact ties in any order); nodes without
    finite coordinates last, in node order."""
    left = [i for i in krig if finite(x, z, i)]
    assert sorted(out[:len(left)]) == sorted(left)
    assert list(out[len(left):]) == [i for i in krig if not finite(x, z, i)]
    d = {i: min([dist(x[i], z[i], x[c], z[c]) for c in chol if finite(x, z, c)],
                default=math.inf) for i in left}
    for i in out[:len(left)]:
        assert d[i] == max(d.values()), (i, d[i], max(d.values()))
        del d[i]
        for k in d:
            d[k] = min(d[k], dist(x[k], z[k], x[i], z[i]))


def order_scan(x, z, chol, krig, d):
    """Coarse to fine: at each level, halving d, the nodes (in turn) farther
    than d from every node taken so far."""
    pts = [i for i in range(len(x)) if finite(x, z, i)]
    extent = 0.0
    if pts:
        w = max(x[i] for i in pts) - min(x[i] for i in pts)
        h = max(z[i] for i in pts) - min(z[i] for i in pts)
        extent = float(np.hypot(w, h))
        if not math.isfinite(extent):
            extent = 2.0 * float(np.hypot(max(x[i] for i in pts) / 2 - min(x[i] for i in pts) / 2,
                                          max(z[i] for i in pts) / 2 - min(z[i] for i in pts) / 2))
            extent = extent if math.isfinite(extent) else sys.float_info.max
    d = d if d <= extent else extent
    taken, left, order = list(chol), list(krig), []
    for _ in range(48):
        if not left or not d > 0:
            break
        d *= 0.5
        rest = []
        for i in left:
            if any(dist(x[i], z[i], x[t], z[t]) < d for t in taken):
                rest.append(i)
            else:
                order.append(i)
                taken.append(i)
        left = rest
    return order + left


@st.composite
def ranked_sets(draw):
    x, z, d = draw(node_sets())
    x, z = np.asarray(x, float), np.asarray(z, float)
    n = len(x)
    perm = np.asarray(draw(st.permutations(range(n))), dtype=I32)
    nchol = draw(st.integers(0, n))
    return x, z, perm, nchol, d


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(ranked_sets(), st.integers(1, 9))
def test_neighbours_match_plain_scan(case, m):
    x, z, node_of_rank, _, _ = case
    out = np.zeros((len(x), m), dtype=I32)
    _kernels.neighbours(x, z, node_of_rank, out)
    assert np.array_equal(out, neighbours_scan(x, z, node_of_rank, m))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(ranked_sets())
def test_orders_match_plain_scans(case):
    x, z, perm, nchol, d = case
    chol, krig = np.sort(perm[:nchol]), np.sort(perm[nchol:])
    out = np.zeros(len(krig), dtype=I32)
    _kernels.maxmin(x, z, chol, krig, out)
    assert_maxmin(x, z, chol.tolist(), krig.tolist(), out.tolist())
    _kernels.order(x, z, chol, krig, out, d)
    assert out.tolist() == order_scan(x, z, chol.tolist(), krig.tolist(), d)


def lattice(nx, nz, h):
    X, Z = np.meshgrid(np.arange(nx) * h, np.arange(nz) * h)
    return X.ravel(), Z.ravel()


@pytest.mark.parametrize("layout", ["grid", "scattered", "duplicates", "outlier", "both ends",
                                    "far clusters"])
def test_neighbours_of_many_nodes(layout):
    # Enough nodes for the grid's many cells (and for a table that is hashed,
    # not dense, when the extent is huge), against the plain scan.
    g = np.random.default_rng(4)
    x, z = lattice(23, 17, 0.3) if layout == "grid" else (g.uniform(0, 6, 400), g.uniform(0, 4, 400))
    if layout == "duplicates":
        x, z = np.concatenate((x, x[::3])), np.concatenate((z, z[::3]))
    elif layout == "outlier":
        x[7], z[11] = 1e16, -1e300
    elif layout == "both ends":  # the six nodes, among others
        x[:3], x[3:6] = -1e308, 1e308
        x[6:60] = x[6:60] * 1e290 + 1.7e308 - 1e292
    elif layout == "far clusters":
        x[::3] += 2.0**62
        z[1::3] -= 1e200
    rank = g.permutation(len(x)).astype(I32)
    out = np.zeros((len(x), 7), dtype=I32)
    _kernels.neighbours(x, z, rank, out)
    assert np.array_equal(out, neighbours_scan(x, z, rank, 7))
    chol = np.sort(rank[:len(x) // 10])
    krig = np.setdiff1d(np.arange(len(x)), chol).astype(I32)
    got = np.zeros(len(krig), dtype=I32)
    _kernels.maxmin(x, z, chol, krig, got)
    assert_maxmin(x, z, chol.tolist(), krig.tolist(), got.tolist())



def neighbours_numpy(x, z, node_of_rank, m):
    """The plain scan with numpy's arithmetic (the same roundings), for
    thousands of nodes."""
    out = np.full((len(x), m), -1, dtype=I32)
    xr, zr = x[node_of_rank], z[node_of_rank]
    ok = np.isfinite(xr) & np.isfinite(zr)
    for r in range(len(x)):
        if not ok[r]:
            continue
        dx, dz = xr[r] - xr[:r], zr[r] - zr[:r]
        d = np.sqrt(dx * dx + dz * dz)
        q = np.flatnonzero(ok[:r])
        q = q[np.lexsort((q, d[q]))][:m]
        out[r, :len(q)] = q
    return out


@pytest.mark.parametrize("layout", ["grid", "clusters", "line and outlier", "strays"])
@pytest.mark.parametrize("order", ["maxmin", "random", "rows"])
def test_neighbours_of_thousands_of_nodes(layout, order):
    # The ranks below a small `below` are searched on coarser cells: queries
    # at every stage of a max-min order (spread first ranks), of a random one
    # and of the node order (first ranks on a few rows), up to the widths of
    # the fill (36 and 100 nearest), against the plain scan.
    g = np.random.default_rng(9)
    if layout == "grid":
        x, z = lattice(70, 45, 0.1)
    elif layout == "clusters":
        x, z = g.uniform(0, 8, 1500), g.uniform(0, 4, 1500)
        for c in range(6):
            x[c * 200:(c + 1) * 200] = g.uniform(0, 8) + 0.01 * g.standard_normal(200)
            z[c * 200:(c + 1) * 200] = g.uniform(0, 4) + 0.01 * g.standard_normal(200)
    elif layout == "strays":  # nodes far outside the earlier ones, at the coarse grids' ends
        x, z = lattice(64, 50, 0.1)
        x[len(x) // 4] += 40.0
        x[len(x) // 16] -= 30.0
        z[len(x) // 64] += 20.0
    else:
        x = np.repeat(np.arange(40) * 0.05, 60)
        z = np.tile(np.arange(60) * 0.02, 40)
        x[17], z[5] = 1e12, np.nan
    n = len(x)
    if order == "maxmin":
        chol = np.arange(0, n, n // 7, dtype=I32)
        krig = np.setdiff1d(np.arange(n), chol).astype(I32)
        drawn = np.zeros(len(krig), dtype=I32)
        _kernels.maxmin(x, z, chol, krig, drawn)
        rank = np.concatenate((chol, drawn)).astype(I32)
    elif order == "random":
        rank = g.permutation(n).astype(I32)
    else:
        rank = np.arange(n, dtype=I32)
    expected = neighbours_numpy(x, z, rank, 100)
    for m in (1, 36, 100):
        out = np.zeros((n, m), dtype=I32)
        _kernels.neighbours(x, z, rank, out)
        assert np.array_equal(out, expected[:, :m]), m


# -- arguments -----------------------------------------------------------------

def factors(n=12, m=3, nchol=4):
    """A small consistent set of arrays for build and draw."""
    g = np.random.default_rng(1)
    x, z = g.uniform(0, 3, n), g.uniform(0, 3, n)
    chol = np.arange(nchol, dtype=I32)
    krig = np.arange(nchol, n, dtype=I32)
    drawn = np.zeros(n - nchol, dtype=I32)
    _kernels.maxmin(x, z, chol, krig, drawn)
    rank = np.concatenate((chol, drawn)).astype(I32)
    nk = n - nchol
    start = np.arange(nk + 1, dtype=np.int64) * m
    f = dict(nbr=np.zeros(nk * m, I32), weight=np.zeros(nk * m), count=np.zeros(nk, I32),
             scale=np.zeros(nk))
    _kernels.build(x, z, np.ones(n), rank, 1.5, 1, 1e-10, 0.0, 0, start, f["nbr"], f["weight"],
                   f["count"], f["scale"], None)
    slot = np.searchsorted(krig, drawn).astype(I32)
    build = [x, z, np.ones(n), rank, 1.5, 1, 1e-10, 0.0, 0, start, f["nbr"].copy(),
             f["weight"].copy(), f["count"].copy(), f["scale"].copy(), None]
    draw = [np.zeros((2, n)), g.standard_normal((2, nk)), np.zeros(n), chol, slot, drawn,
            start, f["nbr"], f["weight"], f["count"], f["scale"]]
    order = [x, z, chol, krig, np.zeros(nk, I32)]
    return {"build": build, "draw": draw, "maxmin": order, "order": order + [1.0]}


def call(kernel, args):
    return getattr(_kernels, kernel)(*args)


def huge(a):
    """A view of 2**62 bytes of rows over the memory of one row."""
    shape = (2**62 // (a.itemsize * max(1, math.prod(a.shape[1:]))),) + a.shape[1:]
    return as_strided(a[:1], shape=shape, strides=(0,) * len(shape))


def test_the_consistent_arguments_run():
    for kernel, args in factors().items():
        call(kernel, args)


def test_draw_gives_the_old_rows_for_the_same_variates():
    # A value worked by hand: node 1 from node 0 (weight 0.5, scale 2).
    out = np.array([[5.0, 0.0], [-1.0, 0.0]])
    _kernels.draw(out, np.array([[0.25], [-0.5]]), np.array([1.0, 3.0]), I32([0]), I32([0]),
                  I32([1]), np.array([0, 1], np.int64), I32([0]), np.array([0.5]), I32([1]),
                  np.array([2.0]))
    assert out.tolist() == [[5.0, 3.0 + 0.5 * 4.0 + 2.0 * 0.25], [-1.0, 3.0 - 0.5 * 2.0 - 1.0]]


@pytest.mark.parametrize("kernel, position, make, error", [
    # sizes that disagree
    ("maxmin", 4, lambda a: a[:-1], ValueError),            # out shorter than krig_ind
    ("order", 1, lambda a: a[:-1], ValueError),             # z shorter than x
    ("build", 2, lambda a: a[:-1], ValueError),             # sigma
    ("build", 11, lambda a: a[:-1], ValueError),            # weight shorter than nbr
    ("build", 12, lambda a: np.zeros(20, I32), ValueError),  # more kriged nodes than nodes
    ("build", 9, lambda a: a[:-1], ValueError),             # start without its last node
    ("build", 9, lambda a: a[::-1].copy(), ValueError),     # start falling
    ("draw", 6, lambda a: a - 1, ValueError),               # start not from 0
    ("draw", 6, lambda a: a.astype(I32), TypeError),        # start must be int64
    ("draw", 1, lambda a: a[:, :-1], ValueError),           # eps without a kriged column
    ("draw", 2, lambda a: a[:-1], ValueError),              # mu
    ("draw", 0, lambda a: a.ravel(), TypeError),            # out must be two-dimensional
    # element types, layouts, writability
    ("draw", 0, lambda a: a.astype(np.float32), TypeError),
    ("draw", 7, lambda a: a.astype(np.int64), TypeError),
    ("draw", 0, lambda a: np.asfortranarray(np.zeros((a.shape[0], a.shape[1] + 1)))[:, 1:],
     ValueError),
    ("maxmin", 0, lambda a: np.repeat(a, 2)[::2], ValueError),
    ("draw", 0, lambda a: np.frombuffer(a.tobytes()).reshape(a.shape), TypeError),  # read-only
    ("maxmin", 3, lambda a: np.append(a[:-1], len(a) + 99).astype(I32), ValueError),
    ("order", 3, lambda a: np.append(a[:-1], a[0]).astype(I32), ValueError),   # a node twice
    ("maxmin", 2, lambda a: np.append(a[:-1], 5).astype(I32), ValueError),     # in both lists
    ("build", 3, lambda a: np.where(a == 0, -1, a).astype(I32), ValueError),
    ("draw", 9, lambda a: a + 99, ValueError),              # a count above its slots
    # views of 2**62 bytes over one row: refused, never read (they wrapped
    # the byte counts when sizes were passed apart from the arrays)
    ("maxmin", 0, huge, ValueError), ("order", 2, huge, ValueError),
    ("build", 10, huge, ValueError), ("build", 12, huge, ValueError),
    ("draw", 0, huge, ValueError), ("draw", 7, huge, ValueError), ("draw", 1, huge, ValueError),
])
def test_bad_arguments_are_refused(kernel, position, make, error):
    args = factors()[kernel]
    args[position] = make(args[position])
    with pytest.raises(error):
        call(kernel, args)


@pytest.mark.parametrize("gain", [-1e-9, 1.0, float("nan")])
def test_build_refuses_a_gain_outside_0_1(gain):
    args = factors()["build"]
    with pytest.raises(ValueError, match="gain"):
        _kernels.build(*args, candidates=40, gain=gain)


def test_scratch_sizes_that_overflow_are_refused():
    assert _kernels.draw_scratch_bytes(1000, 3) > 0
    with pytest.raises(OverflowError):
        _kernels.draw_scratch_bytes(2**62, 2**62)
    with pytest.raises(ValueError):
        _kernels.draw_scratch_bytes(-1, 2)


MUTATIONS = ["shorter", "longer", "float32", "int64", "strided", "readonly", "huge", "empty",
             "transposed", "bad index", "none", "scalar"]


def mutate(a, how, g):
    if not isinstance(a, np.ndarray):
        return {"none": None, "scalar": 2**62}.get(how, a)
    if a.nbytes > 1 << 40:  # a huge view stays as it is: a copy would not fit
        return a
    if how == "shorter":
        return a[: max(len(a) - 1, 0)]
    if how == "longer":
        return np.concatenate((a, a[:1]))
    if how == "float32":
        return a.astype(np.float32)
    if how == "int64":
        return a.astype(np.int64)
    if how == "strided":
        return np.repeat(a, 2, axis=0)[::2]
    if how == "readonly":
        b = a.copy()
        b.flags.writeable = False
        return b
    if how == "huge":
        return huge(a) if len(a) else a
    if how == "empty":
        return a[:0]
    if how == "transposed":
        return a.T
    if how == "bad index" and a.dtype == I32 and a.size:
        b = a.copy()
        b.flat[g.integers(b.size)] = g.choice([-1, 2**31 - 1, len(b) + 5])
        return b
    if how == "none":
        return None
    return a


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(["build", "draw", "maxmin", "order"]),
       st.lists(st.tuples(st.integers(0, 13), st.sampled_from(MUTATIONS)), min_size=1, max_size=3),
       st.integers(0, 2**32 - 1))
def test_fuzz_the_kernels(kernel, mutations, seed):
    # Any mix of bad arguments: refused with TypeError, ValueError or
    # OverflowError, or run to completion; never a crash (the sanitizer run
    # checks every access).
    g = np.random.default_rng(seed)
    args = factors()[kernel]
    for position, how in mutations:
        position %= len(args)
        args[position] = mutate(args[position], how, g)
    try:
        call(kernel, args)
    except (TypeError, ValueError, OverflowError):
        pass


# -- Ctrl-C ----------------------------------------------------------------------

CHILD = """
import numpy as np
from random_field_sampler import _kernels
x, z = np.meshgrid(np.arange(700.0), np.arange(700.0))
x, z = np.tile(x.ravel(), 2), np.tile(z.ravel(), 2)  # 980,000 nodes, each twice
chol = np.arange(0, len(x), 97, dtype=np.int32)
krig = np.setdiff1d(np.arange(len(x)), chol).astype(np.int32)
out = np.empty(len(krig), np.int32)
print("READY", flush=True)
_kernels.{call}
print("RESULT", flush=True)
"""


@pytest.mark.parametrize("call", ["maxmin(x, z, chol, krig, out)",
                                  "order(x, z, chol, krig, out, 10.0)"])
def test_ctrl_c_interrupts_an_ordering(call):
    out, err, latency = interrupt_child(CHILD.format(call=call), 0.3, 120)
    print(f"Ctrl-C latency of {call.split('(')[0]}: {latency * 1000:.0f} ms")
    assert "RESULT" not in out, "the ordering ended before the signal, or ignored it"
    assert "KeyboardInterrupt" in err.strip().splitlines()[-1]
    assert latency < (6.0 if SANITIZED else 1.0)


@pytest.mark.parametrize("z", [[0.0, 0.0, 0.0, 0.0, 5.0, 9.0], [0.0] * 6],
                         ids=["spread", "one level"])
def test_a_sampler_over_nodes_at_both_ends_of_the_doubles(z):
    # Six nodes, two of them at -1e308 and 1e308: the grid's extent overflowed
    # (a crash, or a vector larger than max_size() with every node at one z).
    from random_field_sampler import Sampler
    x = np.array([-1e308, 1e308, 0.0, 0.1, 0.2, 0.0])
    s = Sampler(x=x, z=np.array(z), theta_z=1.0, mu=0.0, sigma=1.0, model=1, fill="conditional")
    rows = s.draw(3, seed=1)
    assert rows.shape == (3, 6) and np.isfinite(rows).all()
