"""Robustness: fuzzed calls of every function, reference counts and memory
over repeated calls, concurrent calls from Python threads, Ctrl-C during a
long covariance fill or partition, a fork from a signal handler during a
threaded fill, and argument conversions that free an array already acquired.

The fuzz tests try RANDOM_FIELD_FUZZ_EXAMPLES examples per function (150 by
default). The long profile (about a quarter of an hour on two cores):

    RANDOM_FIELD_FUZZ_EXAMPLES=20000 python -m pytest tests/extension/test_robustness.py -s -k fuzz

With -s (or -rP) every test prints its figures: examples tried per function,
calls repeated and memory before/after, threads x calls, Ctrl-C latency.
"""
import array
import collections
import contextlib
import gc
import io
import os
import signal
import subprocess
import sys
import threading
import time
import tracemalloc
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import random_field as rf
from support import interrupt_child

try:
    import psutil
except ImportError:
    psutil = None

SANITIZED = bool(os.environ.get("RANDOM_FIELD_SANITIZED"))
FUZZ = settings(max_examples=int(os.environ.get("RANDOM_FIELD_FUZZ_EXAMPLES", "150")),
                deadline=None, suppress_health_check=list(HealthCheck))
TRIED = collections.Counter()


class FuzzError(Exception):
    """Raised by the fuzzer's own objects; must reach the caller unchanged."""


def _raise(self):
    raise FuzzError("conversion")


RaisesFloat = type("RaisesFloat", (), {"__float__": _raise})
RaisesInt = type("RaisesInt", (), {"__int__": _raise})
RaisesIndex = type("RaisesIndex", (), {"__index__": _raise})
ALLOWED = (TypeError, ValueError, OverflowError, ZeroDivisionError, IndexError, AttributeError,
           BufferError, KeyError, NameError, np.linalg.LinAlgError, FuzzError)


IMMUTABLE = [None, 2**70, -2**64, 2**31, True, -1, float("nan"), float("inf"), -1.0, 0.0,
             "", "1.5", b"", b"abcdefgh", np.float32(0.5), np.int64(7)]
MUTABLE = [  # factories, so that every example gets fresh objects
    list, lambda: [1.0, 2.0], lambda: [None, "a"], lambda: [[1.0, 0.5], [0.5, 1.0]],
    lambda: np.frombuffer(bytes(24)), lambda: np.broadcast_to(1.0, (3,)),  # read-only
    lambda: np.array(1.5), lambda: np.ones((2, 2)), lambda: np.eye(3) + 0.5,
    lambda: np.arange(3.0).astype(">f8"), lambda: np.ones(3, np.float16),
    lambda: np.ones(3, np.float32), lambda: np.ones(3, complex), lambda: np.ones(3, bool),
    lambda: np.array([1.0, None], object), lambda: np.arange(9.0)[::3],
    lambda: np.arange(9.0)[::-2], lambda: np.arange(6.0).reshape(3, 2)[:, 1],
    lambda: array.array("d", [1.0, 2.0, 3.0]), lambda: array.array("f", [1.0]),
    lambda: array.array("l", [1, 2, 3]), lambda: array.array("b", [1]),
    RaisesFloat, RaisesInt, RaisesIndex,
]
junk = st.sampled_from(IMMUTABLE) | st.sampled_from(MUTABLE).map(lambda make: make())
reals = st.floats(allow_nan=True, allow_infinity=True)
ints = st.integers(-2**31, 2**31 - 1) | st.integers(-3, 3)


def arrays(n):
    return hnp.arrays(np.float64, n, elements=reals)


VALID = {  # arguments of the right kind, with n nodes where lengths matter
    "A": arrays, "R": lambda n: reals | st.floats(0.1, 10.0), "I": lambda n: ints,
    "COV": lambda n: st.just(np.eye(n) + 0.1),
    "C": lambda n: st.integers(0, 3).flatmap(
        lambda m: hnp.arrays(np.float64, (n, m), elements=reals)),
    "O": lambda n: st.one_of(arrays(n), reals, ints),  # driver keys of any type
}


SIGNATURES = {
    "get_COV": [("x", "A"), ("z", "A"), ("theta", "R"), ("model", "I"), ("sigma", "A")],
    "get_C_chol_krig": [("xchol", "A"), ("zchol", "A"), ("xkrig", "A"), ("zkrig", "A"),
                        ("theta", "R"), ("model", "I"), ("sigma_chol", "A"), ("sigma_krig", "A")],
    "get_chol_krig_nodes": [("x", "A"), ("z", "A"), ("dist_max", "R")],
    "get_chol_field": [("COV", "COV"), ("mu", "A")],
    "get_krig_field": [("COV", "COV"), ("C_chol_krig", "C"), ("chol_field", "A")],
    "sort_nodes": [("x", "A"), ("z", "A")],
    "get_random_field": [("x", "A"), ("z", "A"), ("theta_z", "R"), ("mu", "O"), ("sigma", "O"),
                         ("model", "I"), ("theta_x", "R"), ("Dhchol", "R")],
}
STRAY_KEYS = ["bogus", "X", "theta_x", "COV", "sigma_krig", 1]


def is_f64(a, ndim):
    return isinstance(a, np.ndarray) and a.dtype == np.float64 and a.ndim == ndim


RESULTS = {
    "get_COV": lambda r: is_f64(r, 2) and r.shape[0] == r.shape[1],
    "get_C_chol_krig": lambda r: is_f64(r, 2),
    "get_chol_krig_nodes": lambda r: type(r) is list and len(r) == 6,
    "sort_nodes": lambda r: type(r) is list and len(r) == 2 and all(is_f64(a, 1) for a in r),
    "get_random_field": lambda r: r is None or is_f64(r, 1),
}


def fingerprint(obj):
    """Everything of `obj` that a call must leave as it was (bitwise for numbers)."""
    if isinstance(obj, list):
        return [id(v) for v in obj]
    if isinstance(obj, array.array):
        return obj.tobytes()
    if isinstance(obj, np.ndarray):
        root = obj
        while isinstance(root.base, np.ndarray):  # gaps of a strided view included
            root = root.base
        if obj.dtype == object:
            return [id(v) for v in root.ravel()]
        return obj.tobytes(), root.tobytes()
    return None


def call_checked(name, args, kwargs):
    """Call, allowing only the exceptions the module may raise; nothing changes."""
    kept = [(obj, fingerprint(obj)) for obj in (*args, *kwargs.values())]
    mapping = [(k, id(v)) for k, v in kwargs.items()]  # the driver gets this dict itself
    state = np.random.get_state()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            result = getattr(rf, name)(*args, **kwargs)
        assert RESULTS.get(name, lambda r: True)(result), result
    except ALLOWED:
        pass
    finally:
        np.random.set_state(state)
    TRIED[name] += 1
    assert [(k, id(v)) for k, v in kwargs.items()] == mapping
    for obj, before in kept:
        assert fingerprint(obj) == before, (name, obj)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_fuzz_calling_conventions(name):
    params = SIGNATURES[name]
    driver = name == "get_random_field"
    start = TRIED[name]

    @FUZZ
    @given(data=st.data())
    def run(data):
        n = data.draw(st.integers(0, 6), "n")

        def value(kind):  # mostly right, often wrong
            return data.draw(junk if data.draw(st.integers(0, 4)) == 4 else VALID[kind](n))

        mode = data.draw(st.sampled_from(["positional", "keyword", "mixed", "mixed"]))
        npos = {"positional": 0 if driver else len(params), "keyword": 0}.get(
            mode, data.draw(st.integers(0, 1 if driver else len(params) + 1)))
        args = [value(params[i][1] if i < len(params) else "O") for i in range(npos)]
        kwargs = {}
        for key, kind in params[0 if driver else npos:]:
            if mode != "mixed" or data.draw(st.integers(0, 5)) > 0:
                kwargs[key] = value(kind)
        if mode == "mixed":
            for key in data.draw(st.lists(st.sampled_from(STRAY_KEYS), max_size=2)):
                kwargs[key] = value("O")
        keys = data.draw(st.permutations(list(kwargs)))
        call_checked(name, args, {k: kwargs[k] for k in keys})

    run()
    print(f"fuzz {name}: {TRIED[name] - start} examples tried")


def test_fuzz_exceptions_from_user_objects_pass_through():
    for call in (lambda: rf.get_COV(None, None, RaisesFloat(), 0, None),
                 lambda: rf.get_COV(None, None, RaisesIndex(), 0, None),
                 lambda: rf.get_COV(None, None, 1.0, RaisesInt(), None),
                 lambda: rf.get_random_field(x=[1.0], z=[1.0], theta_z=1.0, mu=0.0,
                                             sigma=[RaisesFloat()])):
        with pytest.raises(FuzzError):
            call()


def leak_calls():
    g = np.random.default_rng(1)
    x, z, s = g.random(20) * 5, g.random(20) * 5, np.ones(20)
    cov = rf.get_COV(x, z, 1.0, 0, s)
    ok = [(rf.get_COV, (x, z, 1.0, 1, s), {}),
          (rf.get_C_chol_krig, (x[:8], z[:8], x, z),
           dict(theta=1.0, model=0, sigma_chol=s[:8], sigma_krig=s)),
          (rf.get_chol_krig_nodes, (x, z, 0.8), {}),
          (rf.get_chol_field, (cov, s), {}),
          (rf.get_krig_field, (cov[:8, :8], cov[:8], s[:8]), {}),
          (rf.sort_nodes, (), dict(x=x, z=z)),
          (rf.get_random_field, (), dict(x=x, z=z, theta_z=1.0, mu=0.0, sigma=s))]
    bad = [(rf.get_COV, (x, z, 1.0, 2**40, s), {}),
           (rf.get_COV, (x, z[:3], 1.0, 0, s), {}),
           (rf.get_C_chol_krig, (x, z, x, z, "t", 0, s, s), {}),
           (rf.get_chol_krig_nodes, (x, np.ones(20, np.float32), 1.0), {}),
           (rf.get_chol_field, (cov - 5.0, s), {}),
           (rf.get_krig_field, (cov, [1.0], s), {}),
           (rf.sort_nodes, (x,), dict(x=x)),
           (rf.get_random_field, (), {"x": x, "z": z, 1: 2}),
           (rf.get_random_field, (), dict(x=x, z=z[:3], theta_z=1.0, mu=0.0, sigma=s))]
    return ok + bad


def rss():
    if psutil is not None:
        return psutil.Process().memory_info().rss
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(calls, times):
    for func, args, kwargs in calls:
        for _ in range(times):
            try:
                func(*args, **kwargs)
            except ALLOWED:
                pass


def test_no_leaks_over_repeated_calls():
    calls = leak_calls()
    objs = [o for _, a, k in calls for o in (*a, *k.values()) if isinstance(o, np.ndarray)]
    state = np.random.get_state()
    tracemalloc.start()
    try:  # the driver's lines go to a file that keeps nothing in memory
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            repeat(calls, 200)
            gc.collect()
            refs = [sys.getrefcount(o) for o in objs]
            traced0, rss0 = tracemalloc.get_traced_memory()[0], rss()
            t0 = time.perf_counter()
            times = 2000
            repeat(calls, times)
            elapsed = time.perf_counter() - t0
            gc.collect()
            traced1, rss1 = tracemalloc.get_traced_memory()[0], rss()
    finally:
        tracemalloc.stop()
        np.random.set_state(state)
    print(f"leaks: {len(calls)} calls x {times} = {len(calls) * times} calls in {elapsed:.1f} s; "
          f"traced {traced0} -> {traced1} B; RSS {rss0 / 2**20:.1f} -> {rss1 / 2**20:.1f} MiB")
    assert [sys.getrefcount(o) for o in objs] == refs
    assert traced1 - traced0 < 2**20 // 8
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory
        assert rss1 - rss0 < 2**20


@pytest.mark.parametrize("fill_threads", [None, "3"])
def test_threads_give_serial_results(monkeypatch, fill_threads):
    if fill_threads:
        monkeypatch.setenv("RANDOM_FIELD_NUM_THREADS", fill_threads)
    g = np.random.default_rng(7)
    x, z, s = g.random(600) * 40, g.random(600) * 40, g.random(600) + 0.5
    work = [lambda: rf.get_COV(x[:300], z[:300], 2.0, 0, s[:300]),
            lambda: rf.get_C_chol_krig(x[:200], z[:200], x[::-1], z[::-1], 3.0, 1, s[:200], s),
            lambda: rf.get_chol_krig_nodes(x, z, 1.5),
            lambda: rf.sort_nodes(x[::2], z[::2])]

    def flat(r):
        return [(a.dtype, a.shape, a.tobytes()) for a in (r if isinstance(r, list) else [r])]

    serial = [flat(f()) for f in work]
    nthreads, rounds = 8, 5
    start = threading.Barrier(nthreads)
    results, errors = [[] for _ in range(nthreads)], []

    def worker(k):
        try:
            start.wait()
            for r in range(rounds):
                for j in range(len(work)):
                    i = (j + k + r) % len(work)  # threads start on different functions
                    results[k].append((i, flat(work[i]())))
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(got == serial[i] for res in results for i, got in res)
    print(f"threads: {nthreads} threads x {rounds * len(work)} calls, all equal to serial results")


CHILD = """
import numpy as np, random_field
n, m = {n}, {m}
g = np.random.default_rng(0)
x, z, s = g.random(n) * 1e3, g.random(n) * 1e3, np.ones(n)
xk, zk, sk = g.random(m) * 1e3, g.random(m) * 1e3, np.ones(m)
call = {call}
print("READY", flush=True)
r = call()
print("RESULT", r.shape, flush=True)
"""


@pytest.mark.parametrize("n, m, call", [
    (12000, 0, "lambda: random_field.get_COV(x, z, 10.0, 1, s)"),               # 1.15 GB
    (1000, 150000, "lambda: random_field.get_C_chol_krig(x, z, xk, zk, 10.0, 1, s, sk)"),
])
def test_ctrl_c_interrupts_long_fill(n, m, call):
    out, err, latency = interrupt_child(CHILD.format(n=n, m=m, call=call), 0.5, 60)
    print(f"Ctrl-C latency of {call.split('.')[1].split('(')[0]}: {latency * 1000:.0f} ms")
    assert "RESULT" not in out, "the fill ended before the signal, or ignored it"
    assert "KeyboardInterrupt" in err.strip().splitlines()[-1]
    assert latency < (6.0 if SANITIZED else 2.0)


PARTITION_CHILD = """
import resource, sys
if not {sanitized}:  # the sanitizer reserves more address space than any limit
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
import numpy as np, random_field
x, z = np.meshgrid(np.arange(0, 1000, 0.5), np.arange(0, 1000, 0.5))
x, z = np.append(x.ravel(), 1e16), np.append(z.ravel(), 0.0)  # 4e6 nodes and an outlier
print("READY", flush=True)
r = random_field.get_chol_krig_nodes(x, z, 1.25)
print("RESULT", len(r[0]), flush=True)
"""


def test_ctrl_c_interrupts_long_partition():
    out, err, latency = interrupt_child(PARTITION_CHILD.format(sanitized=SANITIZED), 0.3, 120)
    print(f"Ctrl-C latency of get_chol_krig_nodes: {latency * 1000:.0f} ms")
    assert "RESULT" not in out, "the partition ended before the signal, or ignored it"
    assert "KeyboardInterrupt" in err.strip().splitlines()[-1]
    assert latency < (6.0 if SANITIZED else 2.0)


FORK_CHILD = """
import os, signal, numpy as np, random_field as rf
n = 3000
g = np.random.default_rng(3)
x, z, s = g.random(n) * 100, g.random(n) * 100, g.random(n) + 0.5
os.environ["RANDOM_FIELD_NUM_THREADS"] = "1"
serial = rf.get_COV(x, z, 5.0, {model}, s)
os.environ["RANDOM_FIELD_NUM_THREADS"] = "4"
forked = []
signal.signal(signal.SIGALRM, lambda signum, frame: forked.append(os.fork()))
signal.setitimer(signal.ITIMER_REAL, 0.002)  # well inside the fill, at one of its checks
try:
    status = 0 if rf.get_COV(x, z, 5.0, {model}, s).tobytes() == serial.tobytes() else 1
except Exception:
    status = 2
if forked == [0]:
    os._exit(status)
child = os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1])
print("parent", status, "child", child)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
@pytest.mark.parametrize("model", [0, 1])
def test_fork_in_a_signal_handler_during_a_threaded_fill(model):
    # The child has none of the worker threads: it must finish the matrix
    # itself (or raise), never hand back the workers' tiles half written.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", FORK_CHILD.format(model=model)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["parent", "0", "child", "0"], done.stderr


class Frees:
    """A real or integer argument whose conversion resizes `arr` in place
    with numpy's unchecked resize: to `n` elements, or (n=None) to twice its
    length and back, which moves its memory and keeps its values."""

    def __init__(self, arr, n, value):
        self.arr, self.n, self.value = arr, n, value

    def _resize(self):
        if self.n is None:
            m = len(self.arr)
            self.arr.resize(2 * m + 4096, refcheck=False)
            self.arr.resize(m, refcheck=False)
        else:
            self.arr.resize(self.n, refcheck=False)

    def __float__(self):
        self._resize()
        return float(self.value)

    def __int__(self):
        self._resize()
        return int(self.value)


@pytest.mark.parametrize("how", ["shrinks", "moves"])
@pytest.mark.parametrize("call, scalar, target", [
    ("get_COV", 2, 0), ("get_COV", 2, 1), ("get_COV", 3, 4),
    ("get_C_chol_krig", 4, 0), ("get_C_chol_krig", 5, 3), ("get_C_chol_krig", 4, 7),
    ("get_chol_krig_nodes", 2, 0), ("get_chol_krig_nodes", 2, 1),
])
def test_a_conversion_that_frees_an_acquired_array(how, call, scalar, target):
    # The arrays are read where the exporter holds them after every
    # conversion: the call computes on the values as they are then, or
    # refuses an array whose length changed; it never reads freed memory.
    g = np.random.default_rng(5)
    n = 300
    args = {"get_COV": [g.random(n) * 30, g.random(n) * 30, 1.5, 1, g.random(n) + 0.5],
            "get_C_chol_krig": [g.random(n) * 30, g.random(n) * 30, g.random(n) * 30,
                                g.random(n) * 30, 2.0, 0, g.random(n) + 0.5, g.random(n) + 0.5],
            "get_chol_krig_nodes": [g.random(n) * 30, g.random(n) * 30, 1.5]}[call]
    expected = getattr(rf, call)(*[a.copy() if isinstance(a, np.ndarray) else a for a in args])
    args[scalar] = Frees(args[target], None if how == "moves" else 7, args[scalar])
    f = getattr(rf, call)
    if how == "shrinks":  # an array converted before the scalar, or after it
        message = (rf"an array argument changed its length \(from {n} to 7\)" if target < scalar
                   else ".* must have the same length")
        with pytest.raises(ValueError, match=rf"^{call}\(\): {message}"):
            f(*args)
        return
    got = f(*args)
    for a, b in zip(got if isinstance(got, list) else [got], expected if isinstance(got, list) else [expected]):
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes()


def test_a_replaced_np_zeros_that_frees_an_acquired_array(monkeypatch):
    g = np.random.default_rng(6)
    x, z, s = g.random(200), g.random(200), g.random(200) + 0.5
    expected = rf.get_COV(x, z, 0.3, 1, s)

    def zeros(shape, dtype):
        Frees(s, None, 0)._resize()
        return np.zeros(shape, dtype)

    monkeypatch.setattr(rf, "np", types.SimpleNamespace(zeros=zeros, asarray=np.asarray))
    assert rf.get_COV(x, z, 0.3, 1, s).tobytes() == expected.tobytes()


def test_conditional_kernels_read_a_buffer_without_strides():
    # The sampler's draw kernel takes its variates as a 2-D buffer; one
    # exported without strides (ctypes) is C-contiguous, read as such.
    import ctypes

    from random_field_sampler import _kernels
    i32 = lambda *v: np.array(v, np.int32)  # noqa: E731
    # Two realisations over two nodes: node 0 is the Cholesky node (its
    # values given), node 1 is drawn from it with weight 0.5 and scale 2.
    rest = (np.array([1.0, 3.0]), i32(0), i32(0), i32(1), np.array([0, 1], np.int64), i32(0),
            np.array([0.5]), i32(1), np.array([2.0]))
    want = np.array([[5.0, 0.0], [-1.0, 0.0]])
    _kernels.draw(want, np.array([[0.25], [-0.5]]), *rest)
    eps = ((ctypes.c_double * 1) * 2)()
    eps[0][0], eps[1][0] = 0.25, -0.5
    got = np.array([[5.0, 0.0], [-1.0, 0.0]])
    _kernels.draw(got, eps, *rest)
    assert got.tobytes() == want.tobytes() and got[0, 1] != got[1, 1]
