#!/usr/bin/env python3
"""Benchmarks of the random_field module.

    python benchmarks/bench.py            # full run (a few minutes on 2 cores)
    python benchmarks/bench.py --quick    # short run, smaller sizes, fewer repetitions

Prints Markdown tables: medians over repetitions, and ratios of timings taken
in the same run, interleaved so that a slow phase of the machine affects every
contender alike. The references are

* a straightforward single-threaded C++ loop (benchmarks/bench_helper.cpp,
  compiled here with g++ -O2 -ffp-contract=off and loaded through ctypes),
  which must give the module's covariances bit for bit and its partition;
* the numpy way a user would write it (scipy's cdist and np.exp on the whole
  matrix);
* the machine's limit for a covariance fill: one exp call per evaluated
  element, shared among the threads, plus making and writing the result array.

The module is imported from the usual path: build it with
``scripts/dev-build.sh NAME`` and run with ``PYTHONPATH=build/NAME``, or install
the package. Set RANDOM_FIELD_NUM_THREADS to choose the module's thread count.
The exit status is 1 when a cross-check (bits, partition, ordering) fails.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence

import numpy as np

try:
    import random_field
except ImportError as exc:  # pragma: no cover - depends on the environment
    sys.exit(
        f"bench.py: cannot import random_field ({exc}).\n"
        "Build it with scripts/dev-build.sh NAME and run with PYTHONPATH=build/NAME,\n"
        "or install the package with pip install '.[bench]'."
    )

try:
    from scipy.spatial.distance import cdist
except ImportError:  # pragma: no cover - depends on the environment
    cdist = None

HERE = Path(__file__).resolve().parent
HELPER_SRC = HERE / "bench_helper.cpp"
MINUS_PI = -3.141592653589793
THETA = 5.0  # correlation length of the covariance rows
DOMAIN = (100.0, 30.0)  # random nodes in [0, 100) x [0, 30)
MODEL_NAMES = {0: "Gaussian", 1: "exponential"}

failures: List[str] = []


# ---------------------------------------------------------------- helpers ---

def module_threads() -> str:
    """The thread count the covariance fills use, as the module reads it."""
    env = os.environ.get("RANDOM_FIELD_NUM_THREADS")
    if env is not None:
        return env
    return str(len(os.sched_getaffinity(0)))


def threads_used() -> int:
    try:
        return max(1, int(module_threads()))
    except ValueError:
        return len(os.sched_getaffinity(0))


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def fmt_ms(seconds: float) -> str:
    ms = seconds * 1e3
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    if ms >= 1:
        return f"{ms:.2f}"
    return f"{ms:.3f}"


def fmt_ratio(r: float) -> str:
    return f"{r:.0f}x" if r >= 100 else f"{r:.1f}x" if r >= 10 else f"{r:.2f}x"


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
    print()


def check(ok: bool, what: str) -> str:
    if not ok:
        failures.append(what)
    return "yes" if ok else "**NO**"


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and np.array_equal(
        np.ascontiguousarray(a).view(np.uint64), np.ascontiguousarray(b).view(np.uint64)
    )


def interleaved(fns: Dict[str, Callable[[], object]], reps: int, warmup: int = 1) -> Dict[str, float]:
    """Median wall time of each callable, the repetitions taken in turn."""
    for _ in range(warmup):
        for fn in fns.values():
            fn()
    times: Dict[str, List[float]] = {k: [] for k in fns}
    for _ in range(reps):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in times.items()}


def random_nodes(n: int, seed: int):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, DOMAIN[0], n)
    z = rng.uniform(0.0, DOMAIN[1], n)
    sigma = rng.uniform(0.5, 2.0, n)
    return x, z, sigma


def mesh(nx: int, nz: int, h: float):
    """Nodes of a regular nx by nz mesh of spacing h, x running fastest."""
    X, Z = np.meshgrid(np.arange(nx) * h, np.arange(nz) * h)
    return X.ravel().copy(), Z.ravel().copy()


def exponents(model: int, dist: np.ndarray, theta: float) -> np.ndarray:
    """The arguments of exp for the given distances, in the module's order."""
    if model == 0:
        q = dist / theta
        return (q * q) * MINUS_PI
    return (np.abs(dist) * -2.0) / theta


# ------------------------------------------------------------ C++ helper ---

class Helper:
    """The reference loops of bench_helper.cpp, compiled for this run."""

    def __init__(self, workdir: str):
        cxx = os.environ.get("CXX", "g++")
        if shutil.which(cxx) is None:
            sys.exit(f"bench.py: the C++ compiler {cxx!r} is needed for the reference loops")
        so = os.path.join(workdir, "bench_helper.so")
        cmd = [cxx, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", so, str(HELPER_SRC)]
        subprocess.run(cmd, check=True)
        self.compiler = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
        lib = ctypes.CDLL(so)
        vp, sz, dbl, i32 = ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_double, ctypes.c_int
        lib.naive_COV.argtypes = [vp, vp, vp, sz, dbl, i32, vp]
        lib.naive_COV.restype = None
        lib.naive_C_chol_krig.argtypes = [vp, vp, sz, vp, vp, sz, dbl, i32, vp, vp, vp]
        lib.naive_C_chol_krig.restype = None
        lib.naive_chol_krig_nodes.argtypes = [vp, vp, sz, dbl, vp]
        lib.naive_chol_krig_nodes.restype = sz
        lib.exp_pass.argtypes = [vp, sz, vp, i32]
        lib.exp_pass.restype = dbl
        self.lib = lib

    @staticmethod
    def _p(a: np.ndarray) -> int:
        assert a.dtype == np.float64 and a.flags.c_contiguous
        return a.ctypes.data

    def COV(self, x, z, theta, model, sigma) -> np.ndarray:
        n = len(x)
        C = np.zeros((n, n))
        self.lib.naive_COV(self._p(x), self._p(z), self._p(sigma), n, theta, model, self._p(C))
        return C

    def C_chol_krig(self, xc, zc, xk, zk, theta, model, sc, sk) -> np.ndarray:
        C = np.zeros((len(xc), len(xk)))
        self.lib.naive_C_chol_krig(self._p(xc), self._p(zc), len(xc), self._p(xk), self._p(zk), len(xk),
                                   theta, model, self._p(sc), self._p(sk), self._p(C))
        return C

    def chol_krig_nodes(self, x, z, dist_max) -> np.ndarray:
        """Indices of the Cholesky nodes found by the plain scan."""
        is_chol = np.zeros(len(x), dtype=np.uint8)
        self.lib.naive_chol_krig_nodes(self._p(x), self._p(z), len(x), dist_max, is_chol.ctypes.data)
        return np.flatnonzero(is_chol)

    def exp_seconds(self, args: np.ndarray, passes: int) -> float:
        args = np.ascontiguousarray(args, dtype=np.float64)
        out = np.empty_like(args)
        return self.lib.exp_pass(self._p(args), len(args), self._p(out), passes)


def exp_cost_rows(helper: Helper, xr, zr, xc, zc, model: int, symmetric: bool, passes: int,
                  target: int = 1 << 17, seed: int = 7) -> float:
    """Seconds per exp call on the arguments of whole rows of a covariance fill.

    Rows are picked at random and kept in the fill's order (j from i, or from
    0), so the arguments come in the same pattern as in the real loop.
    """
    rng = np.random.default_rng(seed)
    parts, total = [], 0
    while total < target:
        i = int(rng.integers(len(xr)))
        j0 = i if symmetric else 0
        dx = xr[i] - xc[j0:]
        dz = zr[i] - zc[j0:]
        parts.append(exponents(model, np.sqrt(dx * dx + dz * dz), THETA))
        total += len(parts[-1])
    return helper.exp_seconds(np.concatenate(parts)[:target], passes)


def numpy_COV(x, z, theta, model, sigma):
    P = np.column_stack((x, z))
    D = cdist(P, P)
    R = np.exp(-np.pi * (D / theta) ** 2) if model == 0 else np.exp(-2.0 * D / theta)
    return R * np.outer(sigma, sigma)


def numpy_C_chol_krig(xc, zc, xk, zk, theta, model, sc, sk):
    D = cdist(np.column_stack((xc, zc)), np.column_stack((xk, zk)))
    R = np.exp(-np.pi * (D / theta) ** 2) if model == 0 else np.exp(-2.0 * D / theta)
    return R * np.outer(sc, sk)


def zeros_and_fill(shape):
    a = np.zeros(shape)
    a.fill(1.0)
    return a


# -------------------------------------------------------------- sections ---

def bench_cov(helper: Helper, quick: bool) -> None:
    print("## `get_COV`: covariance matrix of N random nodes\n")
    sizes = [1000, 2000] if quick else [1000, 2000, 4000]
    models = [0] if quick else [0, 1]
    reps = 3 if quick else 7
    nthreads = threads_used()
    rows = []
    for model in models:
        for n in sizes:
            x, z, sigma = random_nodes(n, seed=n)
            C = random_field.get_COV(x, z, THETA, model, sigma)
            bits = same_bits(C, helper.COV(x, z, THETA, model, sigma))
            del C
            fns = {
                "module": lambda: random_field.get_COV(x, z, THETA, model, sigma),
                "loop": lambda: helper.COV(x, z, THETA, model, sigma),
                "alloc": lambda: zeros_and_fill((n, n)),
            }
            if cdist is not None:
                fns["numpy"] = lambda: numpy_COV(x, z, THETA, model, sigma)
            t = interleaved(fns, reps)
            t_exp = exp_cost_rows(helper, x, z, x, z, model, True, passes=15 if quick else 31)
            limit = n * (n + 1) / 2 * t_exp / nthreads + t["alloc"]
            numpy_cells = ([fmt_ms(t["numpy"]), fmt_ratio(t["numpy"] / t["module"])]
                           if "numpy" in t else ["n/a", "n/a"])
            rows.append([
                MODEL_NAMES[model], n, nthreads, fmt_ms(t["module"]), fmt_ms(t["loop"]), numpy_cells[0],
                f"{t_exp * 1e9:.2f}", fmt_ms(t["alloc"]), fmt_ms(limit),
                fmt_ratio(t["loop"] / t["module"]), numpy_cells[1], fmt_ratio(t["module"] / limit),
                check(bits, f"get_COV bits, model {model}, N {n}"),
            ])
    table(["model", "N", "threads", "module ms", "C++ loop ms (1 thread)", "cdist+exp ms",
           "exp ns/call", "zeros+fill ms", "limit ms", "loop / module", "cdist+exp / module",
           "module / limit", "same bits as loop"], rows)


def bench_cross(helper: Helper, quick: bool) -> None:
    print("## `get_C_chol_krig`: cross covariance, Gaussian model\n")
    Nchol, Nkrig = (1000, 10000) if quick else (1000, 50000)
    reps = 3 if quick else 5
    nthreads = threads_used()
    xc, zc, sc = random_nodes(Nchol, seed=11)
    xk, zk, sk = random_nodes(Nkrig, seed=12)
    args = (xc, zc, xk, zk, THETA, 0, sc, sk)
    C = random_field.get_C_chol_krig(*args)
    bits = same_bits(C, helper.C_chol_krig(*args))
    del C
    fns = {
        "module": lambda: random_field.get_C_chol_krig(*args),
        "loop": lambda: helper.C_chol_krig(*args),
        "alloc": lambda: zeros_and_fill((Nchol, Nkrig)),
    }
    if cdist is not None:
        fns["numpy"] = lambda: numpy_C_chol_krig(*args)
    t = interleaved(fns, reps)
    t_exp = exp_cost_rows(helper, xc, zc, xk, zk, 0, False, passes=15 if quick else 31)
    limit = Nchol * Nkrig * t_exp / nthreads + t["alloc"]
    numpy_cells = ([fmt_ms(t["numpy"]), fmt_ratio(t["numpy"] / t["module"])] if "numpy" in t else ["n/a", "n/a"])
    table(["Nchol", "Nkrig", "threads", "module ms", "C++ loop ms (1 thread)", "cdist+exp ms",
           "exp ns/call", "zeros+fill ms", "limit ms", "loop / module", "cdist+exp / module",
           "module / limit", "same bits as loop"],
          [[Nchol, Nkrig, nthreads, fmt_ms(t["module"]), fmt_ms(t["loop"]), numpy_cells[0],
            f"{t_exp * 1e9:.2f}", fmt_ms(t["alloc"]), fmt_ms(limit), fmt_ratio(t["loop"] / t["module"]),
            numpy_cells[1], fmt_ratio(t["module"] / limit),
            check(bits, "get_C_chol_krig bits")]])


# The start of the scripts that measure a child's peak resident memory.
HWM = textwrap.dedent("""
    import sys
    import numpy as np
    import random_field

    def hwm():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmHWM in /proc/self/status")
""")


PEAK_SCRIPT = HWM + textwrap.dedent("""

    n, how = int(sys.argv[1]), sys.argv[2]
    rng = np.random.default_rng(n)
    x = rng.uniform(0.0, 100.0, n)
    z = rng.uniform(0.0, 30.0, n)
    sigma = rng.uniform(0.5, 2.0, n)
    if how == "module":
        call = lambda: random_field.get_COV(x, z, 5.0, 0, sigma)
    else:
        from scipy.spatial.distance import cdist
        def call():
            P = np.column_stack((x, z))
            return np.exp(-np.pi * (cdist(P, P) / 5.0) ** 2) * np.outer(sigma, sigma)
    # A small call first, so that lazy imports and allocator pools are in place.
    k = 10
    random_field.get_COV(x[:k].copy(), z[:k].copy(), 5.0, 0, sigma[:k].copy())
    try:  # reset the high-water mark to the current size where the kernel allows it
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = hwm()
    C = call()
    after = hwm()
    print(after - before, C.nbytes)
""")


def bench_peak(quick: bool) -> None:
    n = 2000 if quick else 4000
    print(f"## Peak memory of a covariance matrix, N = {n}\n")
    rows = []
    hows = ["module"] + (["cdist+exp"] if cdist is not None else [])
    for how in hows:
        out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(n), how],
                             capture_output=True, text=True, env=os.environ.copy())
        if out.returncode != 0:
            rows.append([how, n, "failed: " + out.stderr.strip().splitlines()[-1], "", ""])
            failures.append(f"peak memory run ({how})")
            continue
        grew, nbytes = (int(v) for v in out.stdout.split())
        rows.append([how if how != "module" else "`get_COV`", n, f"{grew / 2**20:.1f}",
                     f"{nbytes / 2**20:.1f}", f"{grew / nbytes:.2f}"])
    table(["call", "N", "peak increase MiB", "result MiB", "increase / result"], rows)


def bench_call_overhead(quick: bool) -> None:
    print("## Per-call cost on a two-node set\n")
    x2, z2, s2 = np.array([0.0, 1.0]), np.array([0.0, 0.5]), np.array([1.0, 2.0])
    number = 20000 if quick else 200000
    repeat = 5 if quick else 9
    stmts = {
        "`get_COV(x, z, 5.0, 0, sigma)`": timeit.Timer("f(x, z, 5.0, 0, s)", globals={
            "f": random_field.get_COV, "x": x2, "z": z2, "s": s2}),
        "`np.zeros((2, 2))`": timeit.Timer("f((2, 2))", globals={"f": np.zeros}),
    }
    res = {k: [t / number for t in tm.repeat(repeat=repeat, number=number)] for k, tm in stmts.items()}
    base = statistics.median(res["`np.zeros((2, 2))`"])
    rows = [[k, f"{min(v) * 1e6:.3f}", f"{statistics.median(v) * 1e6:.3f}",
             fmt_ratio(statistics.median(v) / base)] for k, v in res.items()]
    table(["call", "best µs", "median µs", f"median / np.zeros ({number} loops x {repeat})"], rows)


def conversion_floor(parts: Sequence[np.ndarray], reps: int) -> float:
    """Time to make the partition's six results from Python sequences.

    The partition hands its results over as sequences of Python ints and
    floats converted by np.asarray; making those objects and converting them
    is a cost that no scan can avoid, measured here on the same contents.
    """
    return interleaved({"floor": lambda: [np.asarray(a.tolist()) for a in parts]}, reps, warmup=0)["floor"]


def bench_partition(helper: Helper, quick: bool) -> None:
    print("## `get_chol_krig_nodes`: node partition of regular meshes, spacing 0.1, dist_max 0.627\n")
    dist_max = 0.627
    meshes = [(200, 50, 5), (1000, 100, 3), (2000, 500, 1)]
    if quick:
        meshes = [(200, 50, 3), (1000, 100, 1), (2000, 500, 1)]
    rows = []
    for nx, nz, reps in meshes:
        x, z = mesh(nx, nz, 0.1)
        res = random_field.get_chol_krig_nodes(x, z, dist_max)
        t = interleaved({"module": lambda: random_field.get_chol_krig_nodes(x, z, dist_max)}, reps,
                        warmup=0)["module"]
        floor = conversion_floor(res, reps)
        rows.append([f"{nx} x {nz}", len(x), len(res[0]), len(res[3]), fmt_ms(t),
                     f"{t / len(x) * 1e9:.0f}", fmt_ms(floor)])
        del res
    table(["mesh", "N", "Nchol", "Nkrig", "module ms", "ns per node", "result lists ms (floor)"],
          rows)

    nx, nz = (500, 100) if quick else (1000, 200)
    x, z = mesh(nx, nz, 0.1)
    res = random_field.get_chol_krig_nodes(x, z, dist_max)
    t0 = time.perf_counter()
    naive_ind = helper.chol_krig_nodes(x, z, dist_max)
    t_naive = time.perf_counter() - t0
    same = np.array_equal(np.asarray(res[0], dtype=np.int64), naive_ind)
    reps = 1 if quick else 3
    t_mod = interleaved({"module": lambda: random_field.get_chol_krig_nodes(x, z, dist_max)},
                        reps, warmup=0)["module"]
    floor = conversion_floor(res, reps)
    print(f"Against the plain O(N·Nchol) scan (C++, timed once), mesh {nx} x {nz}:\n")
    table(["N", "Nchol", "module ms", "result lists ms", "plain scan ms", "scan / module",
           "scan / (module - result lists)", "same partition"],
          [[len(x), len(res[0]), fmt_ms(t_mod), fmt_ms(floor), fmt_ms(t_naive), fmt_ratio(t_naive / t_mod),
            fmt_ratio(t_naive / (t_mod - floor)) if t_mod > floor else "n/a",
            check(same, "partition against the plain scan")]])

    # One node far away: the extent of the nodes grows by 10^13, the work of
    # the partition should not. Peak memory in a fresh process per row.
    nx, nz = (500, 500) if quick else (1000, 1000)
    x, z = mesh(nx, nz, 0.5)
    xo, zo = np.append(x, 1e16), np.append(z, 0.0)
    reps = 1 if quick else 3
    t = interleaved({"mesh": lambda: random_field.get_chol_krig_nodes(x, z, 1.25),
                     "outlier": lambda: random_field.get_chol_krig_nodes(xo, zo, 1.25)}, reps,
                    warmup=0)
    res, reso = (random_field.get_chol_krig_nodes(a, b, 1.25) for a, b in ((x, z), (xo, zo)))
    same = (np.array_equal(reso[0][:-1], res[0]) and reso[0][-1] == len(x)
            and np.array_equal(reso[3], res[3]))
    floor = conversion_floor(res, reps)
    print(f"One node far away, mesh {nx} x {nz} of spacing 0.5, dist_max 1.25:\n")
    rows = []
    for label, key, a, b, r in (("mesh", "mesh", x, z, res),
                                ("mesh + one node at x = 1e16", "outlier", xo, zo, reso)):
        peak = partition_peak(a, b, 1.25)
        rows.append([label, len(a), len(r[0]), fmt_ms(t[key]), fmt_ms(floor),
                     fmt_ratio(t[key] / t["mesh"]), peak])
    rows[-1].append(check(same, "partition with an outlier"))
    rows[0].append("")
    table(["nodes", "N", "Nchol", "module ms", "result lists ms", "/ mesh",
           "peak increase / inputs", "same partition plus the outlier"], rows)


PARTITION_PEAK_SCRIPT = HWM + textwrap.dedent("""

    data = np.load(sys.argv[1])
    x, z = data["x"], data["z"]
    before = hwm()
    random_field.get_chol_krig_nodes(x, z, float(sys.argv[2]))
    print(hwm() - before, x.nbytes + z.nbytes)
""")


def partition_peak(x: np.ndarray, z: np.ndarray, dist_max: float) -> str:
    """Rise of VmHWM over one partition call in a fresh process, as a
    multiple of the two coordinate arrays' size."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "nodes.npz")
        np.savez(path, x=x, z=z)
        out = subprocess.run([sys.executable, "-c", PARTITION_PEAK_SCRIPT, path, repr(dist_max)],
                             capture_output=True, text=True, env=os.environ.copy())
    if out.returncode != 0:
        failures.append("partition peak memory run")
        return "failed: " + (out.stderr.strip().splitlines() or ["?"])[-1]
    grew, nbytes = (int(v) for v in out.stdout.split())
    return f"{grew / nbytes:.1f}x ({grew / 2**20:.0f} MiB)"


STAGES = ["get_chol_krig_nodes", "get_COV", "get_chol_field", "get_C_chol_krig", "get_krig_field"]


def bench_driver(quick: bool) -> None:
    theta_z, theta_x, h = 1.0, 4.0, 0.25
    print(f"## `get_random_field` by stage: regular mesh of spacing {h}, theta_z = {theta_z}, "
          f"theta_x = {theta_x}, Gaussian model\n")
    cases = [(100, 50, 3)] if quick else [(100, 50, 5), (200, 100, 3)]
    rows = []
    for nx, nz, reps in cases:
        x, z = mesh(nx, nz, h)
        spent = dict.fromkeys(STAGES, 0.0)
        calls = dict.fromkeys(STAGES, 0)
        sizes = {}
        originals = {name: getattr(random_field, name) for name in STAGES}

        def timed(name, fn):
            def wrapper(*args, **kwargs):
                t0 = time.perf_counter()
                try:
                    return fn(*args, **kwargs)
                finally:
                    spent[name] += time.perf_counter() - t0
                    calls[name] += 1
            return wrapper

        totals, per_stage = [], {name: [] for name in STAGES}
        try:
            for name, fn in originals.items():
                setattr(random_field, name, timed(name, fn))
            for _ in range(reps + 1):  # the first run warms up and is not counted
                for name in STAGES:
                    spent[name] = 0.0
                np.random.seed(1)
                t0 = time.perf_counter()
                rf = random_field.get_random_field(x=x, z=z, theta_z=theta_z, theta_x=theta_x,
                                                   mu=20.0, sigma=4.0, model=0)
                totals.append(time.perf_counter() - t0)
                for name in STAGES:
                    per_stage[name].append(spent[name])
            parts = originals["get_chol_krig_nodes"](x * theta_z / theta_x, z,
                                                      np.sqrt(2.0 * np.pi) * theta_z / 4.0)
            sizes = (len(parts[0]), len(parts[3]))
        finally:
            for name, fn in originals.items():
                setattr(random_field, name, fn)
        ok = rf is not None and len(rf) == len(x) and all(c == reps + 1 for c in calls.values())
        check(ok, f"driver stage timing, N {len(x)}")
        totals = totals[1:]
        med = {name: statistics.median(v[1:]) for name, v in per_stage.items()}
        total = statistics.median(totals)
        own = statistics.median([t - sum(per_stage[n][k + 1] for n in STAGES) for k, t in enumerate(totals)])
        rows.append([len(x), sizes[0], sizes[1], fmt_ms(total)] + [fmt_ms(med[n]) for n in STAGES]
                    + [fmt_ms(own), f"{100.0 * own / total:.2f} %"])
    table(["N", "Nchol", "Nkrig", "total ms"] + [f"`{n}` ms" for n in STAGES]
          + ["driver's own ms", "driver's own share"], rows)


def bench_sort(quick: bool) -> None:
    n = 10**6
    reps = 1 if quick else 3
    print(f"## `sort_nodes`, N = {n} random nodes\n")
    x, z, _ = random_nodes(n, seed=5)

    def numpy_sort():
        d = np.sqrt((z - z[0]) ** 2 + (x - x[0]) ** 2)
        idx = np.argsort(d, kind="stable")
        return x[idx], z[idx]

    d = np.sqrt((z - z[0]) ** 2 + (x - x[0]) ** 2)
    xs, zs = random_field.sort_nodes(x, z)
    ref = numpy_sort()
    same = np.array_equal(xs, ref[0]) and np.array_equal(zs, ref[1])
    del xs, zs, ref
    t = interleaved({
        "module": lambda: random_field.sort_nodes(x, z),
        "numpy": numpy_sort,
        "argsort": lambda: np.argsort(d),
    }, reps)
    table(["call", "ms", "/ np.argsort"], [
        ["`sort_nodes(x, z)`", fmt_ms(t["module"]), fmt_ratio(t["module"] / t["argsort"])],
        ["distances, stable `np.argsort`, gather x and z", fmt_ms(t["numpy"]),
         fmt_ratio(t["numpy"] / t["argsort"])],
        ["`np.argsort(d)` alone", fmt_ms(t["argsort"]), "1.00x"],
    ])
    print(f"Same order as the stable numpy sort: {check(same, 'sort_nodes order')}\n")


def bench_sampler(quick: bool) -> None:
    nx, nz, h, theta_z = 100, 50, 0.75, 2.0
    K = 10 if quick else 100
    reps = 3
    print(f"## `Sampler` against repeated `get_random_field` calls: {K} realisations over a "
          f"{nx} x {nz} mesh of spacing {h}, theta_z = {theta_z}, default Dhchol, Gaussian model\n")
    try:
        from random_field_sampler import Sampler
    except ImportError as exc:  # pragma: no cover - depends on the environment
        print(f"random_field_sampler cannot be imported ({exc}): section skipped\n")
        failures.append("sampler import")
        return
    x, z = mesh(nx, nz, h)
    kw = dict(x=x, z=z, theta_z=theta_z, mu=0.0, sigma=1.0)

    # The driver is timed once: K calls take minutes, and each call repeats the
    # same work, so the K calls are their own repetitions.
    np.random.seed(7)
    t0 = time.perf_counter()
    want = [random_field.get_random_field(**kw) for _ in range(K)]
    t_driver = time.perf_counter() - t0
    want_state = np.random.get_state()
    want = np.array(want)

    builds, draws = [], []
    for _ in range(reps):
        np.random.seed(7)
        t0 = time.perf_counter()
        sampler = Sampler(**kw, fill="kriging")   # the driver's field, up to rounding
        t1 = time.perf_counter()
        got = sampler.draw(K)
        t2 = time.perf_counter()
        builds.append(t1 - t0)
        draws.append(t2 - t1)
    state = np.random.get_state()
    totals = [b + d for b, d in zip(builds, draws)]
    t_total, t_build, t_draw = (statistics.median(v) for v in (totals, builds, draws))

    diff = float(np.abs(got - want).max())
    same_state = (state[0] == want_state[0] and np.array_equal(state[1], want_state[1])
                  and state[2:] == want_state[2:])
    ok = got.shape == want.shape and diff <= 1e-12 * float(np.abs(want).max()) and same_state
    once, med = "once", f"median of {reps}"
    print(f"N = {len(x)} nodes: Nchol = {sampler.Nchol}, Nkrig = {sampler.Nkrig}.\n")
    table(["call", "timed", "ms", "ms per realisation", "driver / row"], [
        [f"{K} x `get_random_field(**kw)`", once, fmt_ms(t_driver), fmt_ms(t_driver / K), "1.00x"],
        [f"`Sampler(**kw)` + `draw({K})`", med, fmt_ms(t_total), fmt_ms(t_total / K),
         fmt_ratio(t_driver / t_total)],
        ["`Sampler(**kw)` alone", med, fmt_ms(t_build), "", fmt_ratio(t_driver / t_build)],
        [f"`draw({K})` alone", med, fmt_ms(t_draw), fmt_ms(t_draw / K), fmt_ratio(t_driver / t_draw)],
    ])
    print(f"Sampler draws equal the driver's results after the same seed (largest difference "
          f"{diff:.2g}, field scale {float(np.abs(want).max()):.2g}) and leave the generator in the "
          f"same state: {check(ok, 'sampler against the driver')}\n")


SECTIONS = {
    "cov": lambda h, q: bench_cov(h, q),
    "cross": lambda h, q: bench_cross(h, q),
    "peak": lambda h, q: bench_peak(q),
    "call": lambda h, q: bench_call_overhead(q),
    "partition": lambda h, q: bench_partition(h, q),
    "driver": lambda h, q: bench_driver(q),
    "sort": lambda h, q: bench_sort(q),
    "sampler": lambda h, q: bench_sampler(q),
}


BLAS_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_CORETYPE")


def load_text() -> str:
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg()) + " (1, 5, 15 min)"
    except OSError:
        return "unknown"


def header(helper: Helper, quick: bool) -> None:
    scipy_version = "not installed (cdist columns skipped)"
    if cdist is not None:
        import scipy
        scipy_version = scipy.__version__
    print(f"# random_field benchmark{' (--quick)' if quick else ''}\n")
    table(["", ""], [
        ["date", time.strftime("%Y-%m-%d %H:%M:%S")],
        ["machine", f"{cpu_model()}, {platform.machine()}, {platform.system()} {platform.release()}"],
        ["cores", f"{os.cpu_count()} online, {len(os.sched_getaffinity(0))} usable"],
        ["load average at start", load_text()],
        ["module threads", f"{threads_used()} (RANDOM_FIELD_NUM_THREADS="
                           f"{os.environ.get('RANDOM_FIELD_NUM_THREADS', 'unset')})"],
        ["Python", platform.python_version()],
        ["numpy", np.__version__],
        ["BLAS threads", ", ".join(f"{v}={os.environ[v]}" for v in BLAS_VARS if v in os.environ)
                         or "library default (OPENBLAS_NUM_THREADS unset)"],
        ["scipy", scipy_version],
        ["random_field", getattr(random_field, "__file__", "?")],
        ["C++ loop compiler", f"{helper.compiler}, -O2 -ffp-contract=off"],
    ])
    busy = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
    if busy > 0.5:
        print(f"**Note: the machine is busy (load {busy:.2f}): multi-threaded timings, the module's and "
              "the BLAS's, suffer most. Run on an idle machine for representative numbers.**\n")


NOTES = """\
## Reading the tables

* Times are medians over repetitions; the contenders of one row run in turn
  within each repetition. Ratios are taken between timings of the same run.
* *C++ loop*: bench_helper.cpp, the obvious single-threaded double loop with
  the module's formulas and order of operations; *same bits* compares its
  matrix with the module's bit for bit.
* *cdist+exp*: `exp(-pi*(cdist(P, P)/theta)**2) * outer(sigma, sigma)`, the way
  one would write it with numpy and scipy (equal to the module's result only
  to rounding).
* *limit*: evaluated elements x (time of one exp call on the arguments of
  whole rows of this fill) / threads + time of `np.zeros(shape)` then
  `fill(1.0)`. It is the cost of the exp calls and of making the result
  alone. With the Gaussian model the module skips exp for arguments below
  -746 (where exp gives +0.0), so it can finish below this limit.
* Peak memory: rise of VmHWM of a fresh process over the call; 1.00 means the
  call needs no memory beyond its result.
* Partition: *result lists* is the time to turn the result into Python
  lists and back with np.asarray, the form in which the partition builds
  its six results; no scan can go below it. The plain scan tests each node
  against the Cholesky nodes in the order they were chosen.
* Driver by stage: the five functions are replaced on the module by timing
  wrappers (the driver looks them up by name at each call); the driver's own
  share is the total minus the five stages. `get_chol_field` and
  `get_krig_field` are numpy/BLAS work (Cholesky factor, solve with Nkrig
  right-hand sides); a multi-threaded BLAS is slow when the other core is
  busy (try OPENBLAS_NUM_THREADS=1 then).
* Sampler: the K driver calls run once (their sum is the time); the sampler
  is built and drawn from three times after the same seed. *driver / row*
  is the time of the K driver calls over that row's. The draws must equal
  the driver's results to rounding (1e-12 of the field's scale) and leave
  numpy's generator in the same state.
"""


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short run: smaller sizes, fewer repetitions")
    ap.add_argument("--only", metavar="SECTIONS",
                    help="comma-separated subset of: " + ", ".join(SECTIONS))
    args = ap.parse_args(argv)
    chosen = list(SECTIONS)
    if args.only:
        chosen = [s.strip() for s in args.only.split(",") if s.strip()]
        unknown = [s for s in chosen if s not in SECTIONS]
        if unknown:
            ap.error(f"unknown section(s): {', '.join(unknown)}")
    t_start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="rf-bench-") as workdir:
        helper = Helper(workdir)
        header(helper, args.quick)
        for name in chosen:
            SECTIONS[name](helper, args.quick)
            sys.stdout.flush()
    print(NOTES)
    print(f"Load average at the end: {load_text()}")
    print(f"Total benchmark time: {time.perf_counter() - t_start:.0f} s")
    if failures:
        print("\nFAILED CHECKS: " + "; ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
