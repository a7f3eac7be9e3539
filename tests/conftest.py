"""Shared helpers: the same float64 values behind differently strided buffers,
bit-for-bit comparison, and a pure-Python covariance oracle."""
import array
import functools
import math

import numpy as np
import pytest

# Fills the gaps around strided views; a kernel that steps wrongly reads it.
JUNK = -7.25e300
PACKED = np.dtype([("a", "i4"), ("v", "<f8")], align=False)
VIEW_KINDS = ("contiguous", "reversed", "every_third", "column", "packed_record", "array_d")


def make_view(kind, values):
    """Return a writable 1-D buffer of `kind` holding `values` as float64."""
    vals = np.array(values, dtype=np.float64).reshape(-1)
    n = len(vals)
    if kind == "contiguous":
        return vals
    if kind == "reversed":
        return vals[::-1].copy()[::-1]
    if kind == "every_third":
        big = np.full(3 * n, JUNK)
        big[::3] = vals
        return big[::3]
    if kind == "column":
        m = np.full((n, 3), JUNK)
        m[:, 0] = vals
        return m[:, 0]
    if kind == "packed_record":
        rec = np.zeros(n, PACKED)
        rec["a"] = -1
        rec["v"] = vals
        v = rec["v"]
        assert n == 0 or (v.strides == (12,) and v.ctypes.data % 8 == 4)
        return v
    if kind == "array_d":
        return array.array("d", vals.tolist())
    raise AssertionError(kind)


def views(values):
    """Yield (kind, buffer) for every view kind over the same values."""
    for kind in VIEW_KINDS:
        yield kind, make_view(kind, values)


@pytest.fixture(params=VIEW_KINDS)
def view(request):
    """A function values -> buffer of one view kind (the test runs for each)."""
    return functools.partial(make_view, request.param)


def bits(a):
    a = np.ascontiguousarray(a, dtype=np.float64)
    return a.view(np.uint64)


def assert_same_bits(got, expected):
    assert isinstance(got, np.ndarray) and got.dtype == np.float64
    expected = np.asarray(expected, dtype=np.float64)
    assert got.shape == expected.shape
    assert np.array_equal(bits(got), bits(expected))


NEG_PI = -3.141592653589793


def corr_oracle(dist, theta, model):
    try:
        if model == 0:
            q = dist / theta
            s = q * q
            return math.exp(s * NEG_PI)
        return math.exp((abs(dist) * -2.0) / theta)
    except OverflowError:  # libm's exp gives +inf there
        return math.inf


def cov_oracle(xa, za, sa, xb, zb, sb, theta, model, symmetric):
    """Covariance of nodes a (rows) and b (columns) in the module's order of
    operations; with `symmetric`, only j >= i is evaluated and mirrored."""
    xa, za, sa, xb, zb, sb = ([float(v) for v in arr] for arr in (xa, za, sa, xb, zb, sb))
    out = [[0.0] * len(xb) for _ in xa]
    for i in range(len(xa)):
        for j in range(i if symmetric else 0, len(xb)):
            dx = xa[i] - xb[j]
            dz = za[i] - zb[j]
            c = (corr_oracle(math.sqrt(dx * dx + dz * dz), theta, model) * sa[i]) * sb[j]
            out[i][j] = c
            if symmetric:
                out[j][i] = c
    return np.array(out, dtype=np.float64).reshape(len(xa), len(xb))
