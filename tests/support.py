"""Helpers shared by the layers of tests: the same float64 values behind
differently strided buffers, the buffer exporters that plain Python offers, bit-for-bit comparison, and a
pure-Python covariance oracle."""
import array
import ctypes
import math
import mmap
import os
import pickle
import signal
import subprocess
import sys
import time

import numpy as np

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


# Buffers that plain Python exports over float64 values, without numpy. Some
# export no strides (ctypes arrays, and PickleBuffer of them): such a buffer
# is C-contiguous.
def _mapped(shape):
    """A writable anonymous mmap of 8 KiB, cast to doubles of `shape`."""
    size = 8 * math.prod(shape)
    assert size <= 8192
    mv = memoryview(mmap.mmap(-1, 8192)).cast("d")[: size // 8]
    return mv.cast("B").cast("d", shape) if len(shape) == 2 else mv


def _strided_slice(vals):
    big = np.full(2 * len(vals) + 1, JUNK)
    big[1::2] = vals
    return memoryview(bytearray(big.tobytes())).cast("d")[1::2]


def _reversed_slice(vals):
    return memoryview(array.array("d", vals[::-1].tolist()))[::-1]


VECTOR_EXPORTERS = {
    "ctypes": lambda v: (ctypes.c_double * len(v))(*v.tolist()),
    "PickleBuffer(ctypes)": lambda v: pickle.PickleBuffer((ctypes.c_double * len(v))(*v.tolist())),
    "PickleBuffer(ndarray)": lambda v: pickle.PickleBuffer(v.copy()),
    "memoryview cast": lambda v: memoryview(bytearray(v.tobytes())).cast("d"),
    "memoryview strided slice": _strided_slice,
    "memoryview reversed slice": _reversed_slice,
    "array.array": lambda v: array.array("d", v.tolist()),
    "mmap cast": lambda v: _fill_vector(_mapped((len(v),)), v),
}


def _fill_vector(mv, vals):
    for i, x in enumerate(vals.tolist()):
        mv[i] = x
    return mv


def export(kind, values):
    """A writable 1-D float64 buffer of exporter `kind` holding `values`."""
    return VECTOR_EXPORTERS[kind](np.array(values, dtype=np.float64).reshape(-1))


# Writable zero matrices of a shape, as a replaced np.zeros could return them.
MATRIX_EXPORTERS = {
    "ctypes 2-D": lambda r, c: ((ctypes.c_double * c) * r)(),
    "PickleBuffer(ctypes 2-D)": lambda r, c: pickle.PickleBuffer(((ctypes.c_double * c) * r)()),
    "memoryview cast 2-D": lambda r, c: memoryview(bytearray(8 * r * c)).cast("d", (r, c)),
    "mmap cast 2-D": lambda r, c: _mapped((r, c)),
}


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


def interrupt_child(code, delay, timeout):
    """Runs `code` in a child interpreter that sees this one's modules; once it
    prints READY, waits `delay` seconds and sends SIGINT. Returns its standard
    output, its standard error and the seconds from the signal to its end."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    p = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "READY", p.stderr.read()
        time.sleep(delay)
        sent = time.monotonic()
        os.kill(p.pid, signal.SIGINT)
        out, err = p.communicate(timeout=timeout)
        return out, err, time.monotonic() - sent
    finally:
        p.kill()
        p.wait()


def alias_of(target, how, monkeypatch, name):
    """The file `target` named as `how` says: "same path", "relative path"
    (down a new folder and back up, from the file's folder as the working
    folder), "symbolic link" or "hard link" (`name`, a new name beside it)."""
    folder = target.parent
    if how == "same path":
        return target
    if how == "relative path":
        monkeypatch.chdir(folder)
        (folder / "sub").mkdir()
        return f"./sub/../{target.name}"
    alias = folder / name
    if how == "symbolic link":
        alias.symlink_to(target.name)
    else:
        os.link(target, alias)
    return alias


def outputs_by_thread_count(code, counts=("1", "2", "3")):
    """The distinct standard outputs of `code`, run in a child interpreter
    once per thread count of the kernels (RANDOM_FIELD_NUM_THREADS)."""
    outs = set()
    for n in counts:
        env = dict(os.environ, RANDOM_FIELD_NUM_THREADS=n)
        r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                           text=True, timeout=600, check=True)
        outs.add(r.stdout)
    return outs


# Meshes of the classes the conditional fill is held to (grids, scattered
# nodes, tight clusters, graded rings, borehole lines, coincident nodes),
# shared with benchmarks/fill_meshes.py: the tests take small ones, the
# benchmark larger ones, from the same builders.

def grid_nodes(nx, nz, h):
    """An nx x nz grid at spacing h, x fastest."""
    X, Z = np.meshgrid(np.arange(nx) * h, np.arange(nz) * h)
    return X.ravel(), Z.ravel()


def scattered_nodes(n, w, h, seed):
    """n nodes uniformly scattered over w x h."""
    g = np.random.default_rng(seed)
    return g.uniform(0, w, n), g.uniform(0, h, n)


def cluster_nodes(nc, per, nbg, w, h, r, seed):
    """nc tight clusters of `per` nodes (normal spread r) among nbg nodes
    scattered over w x h."""
    g = np.random.default_rng(seed)
    xs, zs = [g.uniform(0, w, nbg)], [g.uniform(0, h, nbg)]
    for _ in range(nc):
        cx, cz = g.uniform(1, w - 1), g.uniform(1, h - 1)
        xs.append(cx + r * g.standard_normal(per))
        zs.append(cz + r * g.standard_normal(per))
    return np.concatenate(xs), np.concatenate(zs)


def ring_nodes(w, h, r0, fine, coarse, dist):
    """Rings around a hole of radius r0 at the centre of w x h, their
    spacing growing from `fine` at the hole to `coarse` at `dist` from it."""
    xs, zs, r = [], [], r0
    while r < np.hypot(w, h):
        step = fine + (coarse - fine) * min((r - r0) / dist, 1.0)
        n = max(int(np.ceil(2 * np.pi * r / step)), 3)
        a = np.arange(n) * 2 * np.pi / n + 0.37 * r
        x, z = w / 2 + r * np.cos(a), h / 2 + r * np.sin(a)
        keep = (x >= 0) & (x <= w) & (z >= 0) & (z <= h)
        xs.append(x[keep])
        zs.append(z[keep])
        r += step
    return np.concatenate(xs), np.concatenate(zs)


def borehole_nodes(n, spacing, dz, depth):
    """n vertical lines `spacing` apart, nodes every dz from 0 to depth."""
    zs = np.arange(0, depth + 1e-9, dz)
    return np.repeat(np.arange(n) * spacing, len(zs)), np.tile(zs, n)


def with_near_duplicates(x, z, eps, seed):
    """The nodes and every third one given again, moved by about eps
    (coincident mesh nodes written with rounding)."""
    g = np.random.default_rng(seed)
    k = np.arange(0, len(x), 3)
    return (np.concatenate([x, x[k] + eps * g.standard_normal(len(k))]),
            np.concatenate([z, z[k] + eps * g.standard_normal(len(k))]))
