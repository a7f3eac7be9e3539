"""Many realisations of one random field for the cost of one.

``get_random_field`` does everything anew at each call: the node partition,
both covariance matrices, the Cholesky factorisation and the kriging solve.
In a Monte Carlo analysis over a fixed mesh only the standard normal variates
change from one realisation to the next, so ``Sampler`` does the expensive
part once and then draws realisations in batches::

    import numpy as np
    from random_field_sampler import Sampler

    np.random.seed(1)
    s = Sampler(x=x, z=z, theta_z=2.0, theta_x=8.0, mu=20.0, sigma=4.0)
    fields = s.draw(1000)          # (1000, N) float64, one realisation per row

With the default kriging fill the realisations are, up to rounding, those
that 1000 successive ``get_random_field`` calls with the same keyword
arguments would return after the same seed: the same variates are taken from
numpy's global generator in the same order, and the generator ends in the
same state.

The sampler never changes numpy's global generator except by drawing from
it, and draws nothing while it is built.
"""

from __future__ import annotations

import dataclasses
import operator
from typing import Any, Callable, Iterator, Optional, Tuple

import numpy as np

import random_field

from ._blas import one_blas_thread
from ._checks import check_sampler_arguments
from ._checks import refuse as _refuse  # the driver's diagnostics: print, then raise
from .distributions import check_distribution, lognormal_parameters, transform
from .kriging import ROW_GROUP, KrigingFill, memory_error

__all__ = ["Sampler", "ACCEPTED_KEYWORDS"]

# The keys get_random_field requires, in the order in which it tests them.
_REQUIRED = ("x", "z", "theta_z", "mu", "sigma")
# Every keyword the sampler takes: the driver's, then its own; any other is
# refused as a misspelling.
ACCEPTED_KEYWORDS = _REQUIRED + ("model", "theta_x", "Dhchol",
                                 "fill", "neighbours", "max_memory", "progress", "distribution")

# Rows drawn together are bounded so that the temporaries of one batch stay
# near 64 MiB, whatever the memory budget allows.
_BATCH_DOUBLES = 1 << 23

# Realisations of a seeded study are computed in aligned groups of this many
# rows: a matrix product's result for one row depends on the other rows of the
# batch, so each row is always computed in the same company.
STUDY_GROUP = 8

ProgressCallback = Callable[[str, int, int], None]


def _frozen(a: Any) -> np.ndarray:
    """A read-only view of a read-only array: the flag of a view cannot be
    turned back on while its base is read-only."""
    a = np.asarray(a)
    a.flags.writeable = False
    return a.view()


def available_memory() -> int:
    """The bytes the system could give this process now: MemAvailable, or the
    physical memory where /proc/meminfo cannot be read."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        import os
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError, AttributeError):
        return 1 << 33


# The default budget, as a fraction of the memory available when the sampler
# is built.
DEFAULT_MEMORY_FRACTION = 0.5


def study_stream(seed: Any, i: int) -> np.random.Generator:
    """The generator of realisation i of the study seeded by `seed` (an int or
    a SeedSequence): child i of ``SeedSequence(seed)``, as ``spawn`` makes it."""
    if isinstance(seed, np.random.SeedSequence):
        ss = np.random.SeedSequence(seed.entropy, spawn_key=tuple(seed.spawn_key) + (i,),
                                    pool_size=seed.pool_size)
    else:
        ss = np.random.SeedSequence(seed, spawn_key=(i,))
    return np.random.default_rng(ss)


@dataclasses.dataclass
class Base:
    """What both fills share: the nodes, the model and the Cholesky part."""
    N: int
    Nchol: int
    Nkrig: int
    chol_ind: np.ndarray
    krig_ind: np.ndarray
    x: np.ndarray          # stretched by theta_z / theta_x
    z: np.ndarray
    theta_z: float
    model: int
    sigma: np.ndarray
    mu: np.ndarray
    L_chol: np.ndarray     # the jittered factor
    mu_chol: np.ndarray
    max_memory: int
    progress: Optional[ProgressCallback]
    COV: Optional[np.ndarray] = None   # unjittered, released once the fill is built


FILLS: "dict[str, Any]" = {"kriging": KrigingFill}


def _fill_class(name: str) -> Any:
    if name == "conditional" and name not in FILLS:
        from .conditional import ConditionalFill
        FILLS[name] = ConditionalFill
    if name not in FILLS:
        raise ValueError(f"fill must be 'kriging' or 'conditional', got {name!r}")
    return FILLS[name]


class Sampler:
    """Draws realisations of one random field over one set of nodes.

    ``Sampler(**kwargs)`` takes the keyword arguments of
    ``random_field.get_random_field``: the required ``x``, ``z``, ``theta_z``,
    ``mu`` and ``sigma``, and the optional ``model`` (default 0, the Gaussian
    model), ``theta_x`` (default ``theta_z``) and ``Dhchol`` (default
    sqrt(2 pi) theta_z / 4). Scalars ``mu`` and ``sigma`` are spread over the
    nodes, and x is stretched by theta_z / theta_x, as the driver does.

    Its own keywords:

    ``fill``
        ``"kriging"`` (default): the kriged nodes take their ordinary-kriging
        estimate from the Cholesky nodes, as the driver does; they carry less
        than the requested variance (see ``variance``).
        ``"conditional"``: each kriged node is drawn from its conditional
        distribution given its nearest already drawn nodes.
    ``neighbours``
        the neighbourhood of the conditional fill (None: its default).
    ``max_memory``
        the memory budget in bytes (None: half of the memory available).
    ``progress``
        None, or ``progress(stage, done, total)``, called as the build advances.
    ``distribution``
        ``"normal"`` (default) or ``"lognormal"``: then ``mu`` and ``sigma``
        are the mean and sd of the values in their own units, and each value
        is ``exp(mu_ln + sigma_ln g)`` with ``g`` the fill's standard field
        (mean 0, sd 1) and ``sigma_ln**2 = ln(1 + (sigma / mu)**2)``,
        ``mu_ln = ln(mu) - sigma_ln**2 / 2`` node by node. The correlation
        lengths are those of ``g``; ``variance`` and ``covariance`` are those
        of the lognormal values.

    Where the driver prints a diagnostic and returns None (a missing key,
    arrays of different lengths), the constructor prints the same line and
    raises ValueError with it. What the driver would take and mishandle
    silently is refused before any work: a keyword it does not know
    (TypeError naming the closest accepted one), coordinates that are not
    real numbers or not finite, ``theta_z`` or ``theta_x`` not positive and
    finite, ``sigma`` negative or not finite, ``mu`` not finite, and a
    stretch or covariances that overflow (ValueError naming the argument).
    Coordinates of any real type, read-only or broadcast, lists and tuples
    are converted to float64 (the driver refuses integer or read-only ``z``),
    and a tuple ``mu`` is taken like a list. Everything else the module's
    functions or numpy raise (a failed factorisation, an unusable ``model``)
    passes through unchanged.

    Attributes (read-only arrays): ``chol_ind``, ``krig_ind`` (node indices of
    the Cholesky and the kriged nodes, increasing), ``Nchol``, ``Nkrig``,
    ``N``, ``mu_chol``, ``L_chol``, ``fill``; ``W``, ``variance`` and
    ``covariance(nodes)`` are computed on request.
    """

    def __init__(self, /, *args: Any, **kwargs: Any) -> None:  # any keyword, 'self' too, is the caller's
        if args:
            raise TypeError(f"Sampler() takes exactly 0 positional arguments ({len(args)} given)")
        kwargs = dict(kwargs)
        fill_name = kwargs.pop("fill", "kriging")
        neighbours = kwargs.pop("neighbours", None)
        max_memory = kwargs.pop("max_memory", None)
        progress = kwargs.pop("progress", None)
        distribution = kwargs.pop("distribution", "normal")

        # The driver's diagnostics, then the checks of what it would mishandle,
        # and the conversion of x, z, mu and sigma to float64 arrays.
        kwargs = check_sampler_arguments(kwargs, ACCEPTED_KEYWORDS)
        fill_cls = _fill_class(fill_name)
        if max_memory is None:
            max_memory = int(DEFAULT_MEMORY_FRACTION * available_memory())
        else:
            max_memory = operator.index(max_memory)
            if max_memory <= 0:
                raise ValueError(f"max_memory must be a positive number of bytes, got {max_memory}")
        self.max_memory = max_memory
        x, z = kwargs["x"], kwargs["z"]
        theta_z, mu, sigma = kwargs["theta_z"], kwargs["mu"], kwargs["sigma"]
        # A lognormal field is the exponential of a standard Gaussian field,
        # shifted and scaled node by node: mu and sigma are the mean and sd of
        # the values, in their own units.
        self.distribution = check_distribution(distribution)
        self._ln: Optional[Tuple[np.ndarray, np.ndarray]] = None
        if distribution == "lognormal":
            self._ln = lognormal_parameters(mu, sigma)
            mu, sigma = np.zeros(len(mu)), np.ones(len(sigma))
        model = kwargs["model"] if "model" in kwargs else 0
        theta_x = kwargs["theta_x"] if "theta_x" in kwargs else theta_z
        if "Dhchol" in kwargs:
            Dhchol = kwargs["Dhchol"]
        else:
            Dhchol = np.sqrt(2.0 * np.pi) * theta_z / 4.0
        x = x * theta_z / theta_x

        self.fill = fill_cls.name
        self.N = N = len(x)
        if N == 0:
            # No nodes: empty realisations, and no random numbers drawn.
            empty = np.zeros(0, dtype=np.intp)
            self._base = Base(0, 0, 0, empty, empty, np.zeros(0), np.zeros(0), float(theta_z),
                              0, np.zeros(0), np.zeros(0), np.zeros((0, 0)), np.zeros(0),
                              max_memory, progress)
            self._fill: Any = None
            self._publish()
            return

        def step(stage: str, done: int, total: int) -> None:
            if progress is not None:
                progress(stage, done, total)

        # The partition and the covariance of the Cholesky nodes, by the
        # module's functions.
        step("partition", 0, 1)
        chol_ind, xvchol, zvchol, krig_ind, xvkrig, zvkrig = \
            random_field.get_chol_krig_nodes(x, z, Dhchol)
        step("partition", 1, 1)
        sigma_chol = sigma[list(chol_ind)]
        mu_chol = mu[list(chol_ind)]
        Nchol, Nkrig = len(chol_ind), len(krig_ind)
        self._check_plan(fill_cls, N, Nchol, Nkrig, neighbours=neighbours)
        step("covariance", 0, 1)
        COV = random_field.get_COV(xvchol, zvchol, theta_z, model, sigma_chol)
        step("covariance", 1, 1)

        # The factor get_chol_field makes: COV with 0.0001 times its smallest
        # element added on the diagonal.
        step("factorisation", 0, 1)
        try:
            L_chol = np.linalg.cholesky(COV + 0.0001 * np.min(COV) * np.identity(Nchol))
        except np.linalg.LinAlgError as exc:
            raise np.linalg.LinAlgError(
                f"{exc}: the covariance of the {Nchol} Cholesky nodes ({Nchol} x {Nchol}, "
                f"with 0.0001 times its smallest element on the diagonal) is not positive "
                f"definite; check that sigma is positive at every node, or use a larger "
                f"Dhchol") from None
        step("factorisation", 1, 1)

        self._base = Base(N, Nchol, Nkrig, np.asarray(chol_ind, dtype=np.intp),
                          np.asarray(krig_ind, dtype=np.intp), np.asarray(x, dtype=np.float64),
                          np.asarray(z, dtype=np.float64), theta_z, model,
                          np.asarray(sigma, dtype=np.float64), np.asarray(mu, dtype=np.float64),
                          _frozen(L_chol), _frozen(np.asarray(mu_chol, dtype=np.float64)),
                          max_memory, progress, COV)
        del COV
        options = {} if neighbours is None else {"neighbours": neighbours}
        self._fill = fill_cls(self._base, **options)
        self._base.COV = None
        self._publish()

    def _check_plan(self, fill_cls: Any, N: int, Nchol: int, Nkrig: int, **options: Any) -> None:
        """MemoryError, before any large allocation, when even the smallest
        plan (the build, then one batch of the fewest rows) cannot fit."""
        peak, held = fill_cls.plan(N, Nchol, Nkrig, **options)
        own = 3 * 8 * Nchol * Nchol + 8 * 8 * N   # COV, its jittered copy, the factor; node arrays
        need = own + peak
        if need > self.max_memory:
            raise memory_error(f"Sampler: the {fill_cls.name} fill", need, self.max_memory,
                               N, Nchol, Nkrig, "raise max_memory or use a larger Dhchol")

    def _publish(self) -> None:
        b = self._base
        self.chol_ind = _frozen(b.chol_ind)
        self.krig_ind = _frozen(b.krig_ind)
        self.Nchol = b.Nchol
        self.Nkrig = b.Nkrig
        self.mu_chol = _frozen(b.mu_chol)
        self.L_chol = _frozen(b.L_chol)
        self._variance: Optional[np.ndarray] = None

    @property
    def large_batches(self) -> bool:
        """Whether each batch of realisations pays a pass over data the fill
        could not keep (the cross covariance): then draw as many rows at a
        time as possible (``blocks(k)`` without ``rows`` does)."""
        return bool(getattr(self._fill, "large_batches", False))

    def batch_rows(self, k: int) -> int:
        """The number of realisations ``blocks(k)`` computes together: as many
        as the memory budget allows, beside what the sampler holds."""
        return self._batch_rows(operator.index(k))

    def __repr__(self) -> str:
        return f"<Sampler: N={self.N}, Nchol={self.Nchol}, Nkrig={self.Nkrig}, fill={self.fill!r}>"

    # ------------------------------------------------------------------
    # What the fill gives

    @property
    def W(self) -> np.ndarray:
        """The kriging weights (Nchol x Nkrig) of the kriging fill, read-only,
        computed at each access in column blocks: MemoryError when they do not
        fit the memory budget beside what the sampler holds."""
        if self._fill is None:
            return _frozen(np.zeros((0, 0)))
        if getattr(type(self._fill), "W", None) is None:
            raise AttributeError(f"the {self.fill} fill has no kriging weights W")
        return self._fill.W

    @property
    def variance(self) -> np.ndarray:
        """The exact variance of the realisations at every node (N,), in node
        order: the jittered sigma**2 at the Cholesky nodes, and at the kriged
        nodes what the fill gives them."""
        if self._variance is None:
            v = np.zeros(self.N)
            if self.N:
                v[self.chol_ind] = np.einsum("ij,ij->i", self.L_chol, self.L_chol)
                if self.Nkrig:
                    v[self.krig_ind] = self._fill.variance()
            if self._ln is not None:   # of exp(mu_ln + sigma_ln g), g of variance v
                mu_ln, sigma_ln = self._ln
                s2v = sigma_ln * sigma_ln * v
                v = np.exp(2.0 * mu_ln + s2v) * np.expm1(s2v)
            self._variance = _frozen(v)
        return self._variance

    def covariance(self, nodes: Any) -> np.ndarray:
        """The exact covariance matrix that the fill implies between the
        given node indices (not sampled)."""
        nodes = np.asarray(nodes)
        if nodes.dtype.kind not in "iu":
            raise TypeError(f"covariance() takes node indices, not {nodes.dtype}")
        nodes = nodes.astype(np.intp).reshape(-1)
        if len(nodes) and (nodes.min() < -self.N or nodes.max() >= self.N):
            raise IndexError(f"covariance(): node indices must be in 0 .. {self.N - 1}")
        nodes = np.where(nodes < 0, nodes + self.N, nodes)
        if len(nodes) == 0 or self._fill is None:
            return np.zeros((len(nodes), len(nodes)))
        C = self._fill.covariance(nodes)
        if self._ln is not None:
            # Cov(exp(a), exp(b)) = E exp(a) E exp(b) (exp(Cov(a, b)) - 1)
            mu_ln, sigma_ln = (p[nodes] for p in self._ln)
            s = sigma_ln * np.sqrt(np.maximum(np.diag(C), 0.0))
            m = np.exp(mu_ln + 0.5 * s * s)
            C = np.outer(m, m) * np.expm1(np.outer(sigma_ln, sigma_ln) * C)
        return C

    # ------------------------------------------------------------------
    # Drawing

    def _variates(self) -> int:
        return self.Nchol + (self._fill.n_variates if self._fill is not None else 0)

    def _batch_rows(self, k: int, fixed: int = 0) -> int:
        """Rows computed together: as many as the memory budget allows beside
        the `fixed` bytes already taken (draw's output), bounded by
        _BATCH_DOUBLES (or the fill's own batch_cap_bytes) unless the fill
        pays a pass over its data per batch."""
        if self._fill is None or k <= 1:
            return max(1, k)
        held = getattr(self._fill, "held_bytes", 0) + 8 * (self.Nchol * self.Nchol + 8 * self.N)
        free = self.max_memory - held - fixed

        def cost(rows: int) -> int:
            rp = -(-rows // ROW_GROUP) * ROW_GROUP
            # the variates, the padded Cholesky product, the output
            return 8 * (rows * self._variates() + 2 * rp * self.Nchol + rows * self.N) \
                + self._fill.batch_bytes(rows)

        if cost(1) > free:
            raise memory_error(f"Sampler: one batch of realisations (the {self.fill} fill)",
                               held + fixed + cost(1), self.max_memory, self.N, self.Nchol,
                               self.Nkrig, "raise max_memory, or draw fewer realisations at "
                               "a time with blocks()")
        hi = k
        if not getattr(self._fill, "large_batches", False):
            cap = getattr(self._fill, "batch_cap_bytes", 8 * _BATCH_DOUBLES)
            hi = min(k, max(ROW_GROUP, cap // max(cost(ROW_GROUP) // ROW_GROUP, 1)))
        lo = 1
        while lo < hi:  # the most rows whose batch fits
            mid = (lo + hi + 1) // 2
            if cost(mid) <= free:
                lo = mid
            else:
                hi = mid - 1
        if lo >= ROW_GROUP:   # whole groups: no padded rows wasted
            lo -= lo % ROW_GROUP
        return lo

    def _compute(self, V: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Realisations from their variates V (rows x variates), into `out`
        when given. The Cholesky product is taken in whole groups of rows
        (padded with zeros), so that a row's values do not depend on the
        other rows of its batch."""
        rows = len(V)
        if out is None:
            out = np.empty((rows, self.N))
        rp = -(-rows // ROW_GROUP) * ROW_GROUP
        rv = np.zeros((rp, self.Nchol))
        rv[:rows] = V[:, :self.Nchol]
        chol = rv @ np.transpose(self.L_chol)
        del rv
        out[:, self.chol_ind] = self.mu_chol + chol[:rows]
        del chol
        self._fill.fill(out, V[:, self.Nchol:] if self._fill.n_variates else None)
        if self._ln is not None:
            mu_ln, sigma_ln = self._ln
            out *= sigma_ln
            out += mu_ln
            transform("lognormal", out, out=out)
        return out

    def blocks(self, k: int, rows: Optional[int] = None, rng: Any = None, *,
               seed: Any = None, start: int = 0) -> Iterator[Tuple[int, np.ndarray]]:
        """Yield ``(offset, array)``: k realisations in batches of consecutive
        rows, ``array`` holding rows offset .. offset + len(array) - 1 of what
        ``draw(k, ...)`` returns, so that k x N never has to be held at once.

        ``rows`` bounds the batch (default: what the memory budget allows).
        The random numbers come from numpy's global generator, or from
        ``rng`` (anything ``np.random.default_rng`` takes), or, with ``seed``,
        from one stream per realisation: realisation ``start + i`` of the
        study seeded by ``seed`` (see ``realisation``).
        """
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"blocks() needs a number of realisations >= 0, got {k}")
        start = operator.index(start)
        if start < 0:
            raise ValueError(f"start must be >= 0, got {start}")
        if rows is not None:
            rows = operator.index(rows)
            if rows < 1:
                raise ValueError(f"rows must be at least 1, got {rows}")
        if rng is not None and seed is not None:
            raise TypeError("give either rng or seed, not both")
        if start and seed is None:
            raise TypeError("start is the first realisation of a seeded study: it needs seed")
        gen = np.random.default_rng(rng) if rng is not None else None
        if seed is not None:
            return self._study_blocks(k, rows, seed, start)
        return self._stream_blocks(k, rows, gen)

    def _stream_blocks(self, k: int, rows: Optional[int], gen: Optional[np.random.Generator],
                       dest: Optional[np.ndarray] = None) -> Iterator[Tuple[int, np.ndarray]]:
        if k == 0:
            return
        if self.N == 0:
            yield 0, np.zeros((k, 0))
            return
        fixed = 0 if dest is None else dest.nbytes
        batch = self._batch_rows(k, fixed) if rows is None else min(rows, k)
        n = self._variates()
        for offset in range(0, k, batch):
            r = min(batch, k - offset)
            # One block of variates in the order successive draws take them:
            # row by row, one realisation to a row.
            if gen is None:
                V = np.random.normal(loc=0, scale=1, size=(r, n))
            else:
                V = gen.standard_normal((r, n))
            yield offset, self._compute(V, None if dest is None else dest[offset:offset + r])

    def _study_blocks(self, k: int, rows: Optional[int], seed: Any,
                      start: int) -> Iterator[Tuple[int, np.ndarray]]:
        if k == 0:
            return
        if self.N == 0:
            yield 0, np.zeros((k, 0))
            return
        g = STUDY_GROUP
        batch = self._batch_rows(max(k, g)) if rows is None else rows
        groups = max(1, batch // g)          # whole groups per batch
        n = self._variates()
        first, stop = start, start + k
        g0 = first // g
        while g0 * g < stop:
            g1 = min(g0 + groups, -(-stop // g))
            V = np.empty(((g1 - g0) * g, n))
            for j, i in enumerate(range(g0 * g, g1 * g)):
                V[j] = study_stream(seed, i).standard_normal(n)
            with one_blas_thread():   # the same bits in every process
                block = self._compute(V)
            lo, hi = max(first, g0 * g), min(stop, g1 * g)
            yield lo - start, block[lo - g0 * g:hi - g0 * g]
            g0 = g1

    def draw(self, k: int = 1, rng: Any = None, *, seed: Any = None) -> np.ndarray:
        """Return k realisations as a new (k, N) float64 array, one per row.

        Without ``rng`` and ``seed``, k times (Nchol + the fill's variates)
        standard normal variates are taken from numpy's global generator
        (``np.random.normal``), realisation by realisation: with the kriging
        fill, after the same seed, the rows equal k successive
        ``get_random_field`` calls up to rounding and the generator ends in
        the same state. ``rng`` takes anything ``np.random.default_rng``
        takes; ``seed`` draws the first k realisations of a seeded study.
        """
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"draw() needs a number of realisations >= 0, got {k}")
        if rng is not None and seed is not None:
            raise TypeError("give either rng or seed, not both")
        if self._fill is not None and k:
            held = getattr(self._fill, "held_bytes", 0) + 8 * (self.Nchol * self.Nchol + 8 * self.N)
            if held + 8 * k * self.N > self.max_memory:
                raise memory_error(f"Sampler.draw({k})", held + 8 * k * self.N, self.max_memory,
                                   self.N, self.Nchol, self.Nkrig,
                                   "stream the realisations with blocks() instead")
        out = np.empty((k, self.N))
        if seed is None and self.N:
            gen = np.random.default_rng(rng) if rng is not None else None
            for _ in self._stream_blocks(k, None, gen, dest=out):
                pass
            return out
        for offset, block in self.blocks(k, rng=rng, seed=seed):
            out[offset:offset + len(block)] = block
        return out

    def realisation(self, i: int, seed: Any) -> np.ndarray:
        """Realisation i of the study seeded by ``seed`` (an int or a
        SeedSequence), alone: bit for bit row i of ``draw(k, seed=seed)`` and
        of ``to_dask(k, seed=seed)``, whatever the chunks. Its variates come
        from child i of ``SeedSequence(seed)``."""
        i = operator.index(i)
        if i < 0:
            raise ValueError(f"realisation() needs an index >= 0, got {i}")
        for _, block in self.blocks(1, seed=seed, start=i):
            return block[0].copy()
        raise AssertionError("unreachable")

    def to_dask(self, k: int, chunks: Any = "auto", seed: Any = None, *,
                client: Any = None) -> Any:
        """A dask array (k, N) of the realisations of a seeded study, chunked
        by realisations, row i equal to ``realisation(i, seed)`` (needs the
        ``dask`` extra; see ``random_field_sampler.distributed.to_dask``)."""
        from .distributed import to_dask
        return to_dask(self, k, chunks=chunks, seed=seed, client=client)
