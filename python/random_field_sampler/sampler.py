"""Many realisations of one random field for the cost of one.

``get_random_field`` does everything anew at each call: the node partition,
both covariance matrices, the Cholesky factorisation and the kriging solve.
In a Monte Carlo analysis over a fixed mesh only the standard normal variates
change from one realisation to the next, so ``Sampler`` does the expensive
part once and then draws realisations in batches::

    import numpy as np
    from random_field_sampler import Sampler

    x, z = (a.ravel() for a in np.meshgrid(np.arange(41) * 0.5, np.arange(21) * 0.5))
    s = Sampler(x=x, z=z, theta_z=2.0, theta_x=8.0, mu=20.0, sigma=4.0)
    fields = s.draw(1000, seed=1)   # (1000, N) float64, one realisation per row

Randomness has one vocabulary in every method: ``seed=`` (an int or a
``SeedSequence``) names a study, row i drawn from child i of
``SeedSequence(seed)``, the same bits whatever the batch, the chunking or the
number of workers; ``rng=`` (anything ``np.random.default_rng`` takes) is one
stream for the whole call; neither takes numpy's global generator, the
driver's stream: with ``fill="kriging"`` the realisations are then, up to
rounding, those that successive ``get_random_field`` calls with the same
keyword arguments would return after the same ``np.random.seed``, and the
generator ends in the same state.

A built sampler is read-only: threads, dask tasks and workers may share it.
The sampler never changes numpy's global generator except by drawing from
it, and draws nothing while it is built.
"""

from __future__ import annotations

import dataclasses
import uuid
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import numpy as np

import random_field

from . import budget, conditioning, fills, streams
from .anisotropy import check_angle, rotate
from ._checks import check_sampler_arguments, indices, integer, refuse_bool, variates
from .fills.protocol import Base, Fill, ProgressCallback, frozen
from .transform import IDENTITY, Transform, parameters

__all__ = ["Sampler", "ACCEPTED_KEYWORDS"]

# The keys get_random_field requires, in the order in which it tests them.
_REQUIRED = ("x", "z", "theta_z", "mu", "sigma")
# Every keyword the sampler takes: the driver's, then its own; any other is
# refused as a misspelling.
ACCEPTED_KEYWORDS = _REQUIRED + ("model", "theta_x", "Dhchol",
                                 "fill", "neighbours", "max_memory", "progress", "distribution",
                                 "angle", "data", "data_error")

class _Required:
    """The default of a required argument: its absence is reported as the
    driver reports it (the printed line, then ValueError)."""

    def __repr__(self) -> str:
        return "<required>"


REQUIRED: Any = _Required()


class Sampler:
    """Draws realisations of one random field over one set of nodes.

    ``x``, ``z``, ``theta_z``, ``mu``, ``sigma``, ``model``, ``theta_x``
    and ``Dhchol`` are the keyword arguments of
    ``random_field.get_random_field``: the required nodes, correlation length
    in z, mean and sd, and the optional model (0, the Gaussian model, or 1,
    exponential), correlation length in x (default ``theta_z``) and spacing of
    the Cholesky nodes (default sqrt(2 pi) theta_z / 4). Scalars ``mu`` and
    ``sigma`` are spread over the nodes, and x is stretched by
    theta_z / theta_x, as the driver does.

    ``angle``
        inclined bedding: the direction of ``theta_x`` at ``angle`` degrees
        anticlockwise from the x axis (default 0). The coordinates are
        rotated into the bedding frame (u = x cos a + z sin a, w = -x sin a
        + z cos a), u is stretched by theta_z / theta_x, and everything
        proceeds as without an angle (both fills); 0 gives exactly the bits
        of a sampler without it. A bool or an angle that is not finite is
        refused.

    ``fill``
        how the kriged nodes (those not among the Cholesky nodes) get their
        values. ``"conditional"`` (default), or ``ConditionalFill(...)`` for
        its options: each kriged node is drawn from its conditional
        distribution given its nearest already drawn nodes, with the model's
        variance and mean. ``"kriging"``: the driver's realisations, up to
        rounding; the kriged nodes carry less than the requested variance
        (and, under a trend in mu, not its mean); see ``variance``.
    ``neighbours``
        shortcut for ``ConditionalFill(neighbours=...)``.
    ``max_memory``
        the memory budget in bytes (None: half of what the process could get,
        ``budget.default_budget``).
    ``progress``
        None, or ``progress(stage, done, total)``, called as the build
        advances (not kept: it never travels with a pickled sampler).
    ``distribution``
        ``"normal"`` (default) or ``"lognormal"``: then ``mu`` and ``sigma``
        are the mean and sd of the values in their own units, and each value
        is ``exp(mu_ln + sigma_ln g)`` with ``g`` the fill's standard field
        (see ``random_field_sampler.transform``). The correlation lengths are
        those of ``g``; ``variance`` and ``covariance`` are those of the
        values.
    ``data``
        None, or ``(xd, zd, values)``: measured values at the points (xd,
        zd) (anywhere, nodes or not, inside the nodes' bounding box or not).
        The realisations are drawn from the field conditioned on them: the
        Cholesky nodes from their exact distribution given the data nearest
        to them (at most ``conditioning.CHOL_DATA``), every kriged node given
        its nearest earlier nodes and data (see ``conditioning``). Under a
        transformed marginal the values are in the property's units; the
        mean, sd and marginal at a datum are those of its nearest node. A
        datum outside the marginal's support (a lognormal value <= 0), a
        value or point that is not finite, or two exact data at one point
        with different values (both indices named) are refused. A node at
        the place of an exact datum equals it in every realisation. Only
        the conditional fill conditions: with ``fill="kriging"`` data are
        refused.
    ``data_error``
        the variance of each datum's measurement error, a scalar or one per
        datum, >= 0 (default 0: the data are honoured exactly), in the
        property's units; under a transformed marginal it is carried to the
        drawn field linearised at the datum (``error * (dg/dvalue)**2``).

    Where the driver prints a diagnostic and returns None (a missing key,
    arrays of different lengths), the constructor prints the same line and
    raises ValueError with it. What the driver would take and mishandle
    silently is refused before any work: a keyword it does not know
    (TypeError naming the closest accepted one), coordinates that are not
    real numbers or not finite, ``theta_z`` or ``theta_x`` not positive and
    finite, ``sigma`` negative or not finite, ``mu`` not finite, and a
    stretch or covariances that overflow (ValueError naming the argument).
    Counts, seeds and sizes refuse bools. Everything else the module's
    functions or numpy raise (a failed factorisation, an unusable ``model``)
    passes through unchanged.

    Attributes (read-only arrays): ``chol_ind``, ``krig_ind`` (node indices of
    the Cholesky and the kriged nodes, increasing), ``Nchol``, ``Nkrig``,
    ``N``, ``mu_chol``, ``L_chol``, ``fill`` (the fill's name),
    ``fill_options`` (its options, defaults made explicit), ``transform``,
    ``max_memory``, ``angle``, ``n_variates``; ``W``, ``variance``, ``covariance(nodes)`` and
    ``plan(rows)`` are computed on request.
    """

    def __init__(self, /, *, x: Any = REQUIRED, z: Any = REQUIRED, theta_z: Any = REQUIRED,
                 mu: Any = REQUIRED, sigma: Any = REQUIRED, model: Any = 0,
                 theta_x: Optional[float] = None, Dhchol: Optional[float] = None,
                 fill: Any = fills.DEFAULT_FILL, neighbours: Optional[int] = None,
                 max_memory: Optional[int] = None, progress: Optional[ProgressCallback] = None,
                 distribution: str = "normal", angle: float = 0.0, data: Any = None,
                 data_error: Any = 0.0, **unknown: Any) -> None:
        # The driver's diagnostics, then the checks of what it would mishandle
        # (a misspelt keyword first), and the conversion of x, z, mu and sigma
        # to float64 arrays.
        given: Dict[str, Any] = {k: v for k, v in
                                 (("x", x), ("z", z), ("theta_z", theta_z), ("mu", mu),
                                  ("sigma", sigma)) if v is not REQUIRED}
        if theta_x is not None:
            given["theta_x"] = theta_x
        kwargs = check_sampler_arguments(dict(given, **unknown), ACCEPTED_KEYWORDS)
        options = fills.options(fill, neighbours)
        raw = None
        if data is not None:
            raw = conditioning.check_data(data, data_error)
            if len(raw[0]) == 0:
                raw = None
            elif options.name != "conditional":
                raise ValueError(f"Sampler: the {options.name} fill does not condition on data; "
                                 f"use fill='conditional'")
        self.n_data = 0 if raw is None else len(raw[0])
        self.angle = check_angle(angle)
        self.max_memory = (budget.default_budget() if max_memory is None
                           else integer("max_memory", max_memory, 1))
        x, z = kwargs["x"], kwargs["z"]
        theta_z, mu, sigma = kwargs["theta_z"], kwargs["mu"], kwargs["sigma"]
        theta_x = kwargs.get("theta_x", theta_z)
        N = len(x)
        # The mean and the marginal distribution: a lognormal field is drawn
        # standard and transformed node by node.
        mu_g, sigma_g, self.transform = parameters(distribution, mu, sigma)
        mu = np.broadcast_to(np.asarray(mu_g, dtype=np.float64), (N,)).copy()
        sigma = np.broadcast_to(np.asarray(sigma_g, dtype=np.float64), (N,)).copy()
        if Dhchol is None:
            Dhchol = np.sqrt(2.0 * np.pi) * theta_z / 4.0
        x, z = self._frame(x, z, theta_z, theta_x)
        if raw is not None:
            xd, zd = self._frame(raw[0], raw[1], theta_z, theta_x)

        self.fill = options.name
        self.fill_options = options.resolved(model) if isinstance(model, (int, np.integer)) \
            else options
        self.N = N
        self._id = uuid.uuid4().hex
        self._fill: Optional[Fill] = None
        self._mean: Optional[np.ndarray] = None
        if N == 0:
            # No nodes: empty realisations, and no random numbers drawn.
            empty = np.zeros(0, dtype=np.intp)
            self._base = Base(0, 0, 0, empty, empty, np.zeros(0), np.zeros(0), float(theta_z),
                              0, np.zeros(0), np.zeros(0), np.zeros((0, 0)), np.zeros(0),
                              0.0, self.max_memory)
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
        self._check_plan(options, model, N, Nchol, Nkrig, _extent(x, z, theta_z))
        placed = None
        if raw is not None:
            placed = conditioning.place(xd, zd, raw[2], raw[3], x, z, mu, sigma, self.transform)
        step("covariance", 0, 1)
        COV = random_field.get_COV(xvchol, zvchol, theta_z, model, sigma_chol)
        step("covariance", 1, 1)

        # The factor get_chol_field makes: COV with 0.0001 times its smallest
        # element added on the diagonal.
        step("factorisation", 0, 1)
        if placed is not None:
            # the Cholesky nodes given the data
            ci = np.asarray(chol_ind, dtype=np.intp)
            resolved = options.resolved(model) if isinstance(model, (int, np.integer)) \
                else options
            mu_chol, L_chol = conditioning.chol_block(
                x[ci], z[ci], sigma_chol, np.asarray(mu_chol, dtype=np.float64), COV,
                0.0001 * np.min(COV), placed, float(theta_z), 0 if model == 0 else 1,
                min(float(resolved.tol or 0.0), conditioning.DATA_TOL))
            placed.freeze()
        else:
            try:
                A = COV.copy()
                A.flat[::Nchol + 1] += 0.0001 * np.min(COV)
                L_chol = np.linalg.cholesky(A)
                del A
            except np.linalg.LinAlgError as exc:
                raise np.linalg.LinAlgError(
                    f"{exc}: the covariance of the {Nchol} Cholesky nodes ({Nchol} x {Nchol}, "
                    f"with 0.0001 times its smallest element on the diagonal) is not positive "
                    f"definite; check that sigma is positive at every node, or use a larger "
                    f"Dhchol") from None
        step("factorisation", 1, 1)

        self._base = Base(N, Nchol, Nkrig, frozen(np.asarray(chol_ind, dtype=np.intp)),
                          frozen(np.asarray(krig_ind, dtype=np.intp)),
                          frozen(np.asarray(x, dtype=np.float64)),
                          frozen(np.asarray(z, dtype=np.float64)), theta_z, model,
                          frozen(sigma), frozen(mu), frozen(L_chol),
                          frozen(np.asarray(mu_chol, dtype=np.float64)), float(Dhchol),
                          self.max_memory, progress, COV, placed)
        del COV
        try:
            self._fill = options.build(self._base)
        finally:
            # Neither the covariance nor the callback outlives the build.
            self._base.COV = None
            self._base.progress = None
        self._publish()

    def _frame(self, x: np.ndarray, z: np.ndarray, theta_z: float,
               theta_x: float) -> Tuple[np.ndarray, np.ndarray]:
        """Coordinates in the covariance model's frame: rotated into the
        bedding, the first axis stretched by theta_z / theta_x."""
        if self.angle:
            # into the bedding frame, where theta_x lies along the first axis
            x, z = rotate(x, z, self.angle)
            with np.errstate(over="ignore"):
                x = x * theta_z / theta_x
            if not np.isfinite(x).all():
                raise ValueError("theta_x: the stretched coordinates u * theta_z / theta_x "
                                 "are beyond the range of 64-bit floats")
        else:
            x = x * theta_z / theta_x
        return x, z

    def _check_plan(self, options: Any, model: Any, N: int, Nchol: int, Nkrig: int,
                    extent: Optional[Tuple[float, float]]) -> None:
        """MemoryError, before any large allocation, when even the smallest
        plan (the build, then one batch of the fewest rows) cannot fit."""
        peak, _ = options.plan(N, Nchol, Nkrig, model if isinstance(model, (int, np.integer)) else 0,
                               extent=extent)
        need = budget.build_bytes(N, Nchol) + peak + conditioning.data_bytes(N, Nchol,
                                                                             self.n_data)[0]
        if need > self.max_memory:
            raise budget.memory_error(f"Sampler: the {options.name} fill", need, self.max_memory,
                                      N, Nchol, Nkrig, "raise max_memory or use a larger Dhchol")

    def _publish(self) -> None:
        b = self._base
        self.chol_ind = frozen(b.chol_ind)
        self.krig_ind = frozen(b.krig_ind)
        self.Nchol = b.Nchol
        self.Nkrig = b.Nkrig
        self.mu_chol = frozen(b.mu_chol)
        self.L_chol = frozen(b.L_chol)
        self._variance: Optional[np.ndarray] = None

    # ------------------------------------------------------------------
    # Pickling and dask

    def __getstate__(self) -> Dict[str, Any]:
        state = dict(self.__dict__)
        state["_variance"] = None
        state["_mean"] = None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        # Arrays that arrived as views of received frames are copied into
        # memory of their own, and every array is made read-only again.
        self.__dict__.update(state)
        seen: Dict[int, Any] = {}
        for holder in (self, self._base, self._fill):
            if holder is not None:
                for name, value in vars(holder).items():
                    setattr(holder, name, _owned(value, seen))

    def __dask_tokenize__(self) -> Tuple[str, str]:
        # A built sampler never changes: its identity names its data, and
        # survives pickling.
        return ("random_field_sampler.Sampler", self._id)

    def __repr__(self) -> str:
        return f"<Sampler: N={self.N}, Nchol={self.Nchol}, Nkrig={self.Nkrig}, fill={self.fill!r}>"

    # ------------------------------------------------------------------
    # Memory

    @property
    def large_batches(self) -> bool:
        """Whether each batch of realisations pays a pass over data the fill
        could not keep (the cross covariance): then draw as many rows at a
        time as possible (``blocks(k)`` without ``rows`` does)."""
        return bool(self._fill is not None and self._fill.large_batches)

    def plan(self, rows: int = streams.GROUP, *, cache: Optional[bool] = None) -> budget.Plan:
        """The memory plan of drawing batches of `rows` rows: what the
        sampler holds (with the fill's optional cache, without it, or as
        built when `cache` is None), one batch's temporaries and output, and
        the smallest peak of the build."""
        rows = integer("rows", rows, 1)
        N, Nchol, Nkrig = self.N, self.Nchol, self.Nkrig
        if self._fill is None:
            return budget.Plan(rows, 0, 0, 8 * rows * N, 0, self.max_memory)
        b = self._base
        peak, _ = self.fill_options.plan(N, Nchol, Nkrig, int(b.model),
                                         extent=_extent(b.x, b.z, b.theta_z))
        data_build, data_held = conditioning.data_bytes(N, Nchol, self.n_data)
        return budget.Plan(
            rows=rows, build=budget.build_bytes(N, Nchol) + peak + data_build,
            held=budget.sampler_bytes(N, Nchol) + self._fill.held_bytes(cache) + data_held,
            batch=budget.batch_bytes(N, Nchol, self._variates(), rows)
            + self._fill.batch_bytes(rows, cache),
            cache=self._fill.cache_bytes(), budget=self.max_memory)

    def batch_rows(self, k: int) -> int:
        """The number of realisations ``blocks(k)`` computes together: as many
        as the memory budget allows, beside what the sampler holds."""
        return self._batch_rows(integer("k", k, 0))

    def _batch_rows(self, k: int, fixed: int = 0) -> int:
        """Rows computed together: as many as the memory budget allows beside
        the `fixed` bytes already taken (draw's output), in whole groups,
        bounded by the fill's batch_cap_bytes unless it pays a pass over its
        data per batch."""
        if self._fill is None or k <= 1:
            return max(1, k)
        fill = self._fill
        held = self._held()
        free = self.max_memory - held - fixed

        def cost(rows: int) -> int:
            return budget.batch_bytes(self.N, self.Nchol, self._variates(), rows) \
                + fill.batch_bytes(rows)

        if cost(1) > free:
            raise budget.memory_error(
                f"Sampler: one batch of realisations (the {self.fill} fill)",
                held + fixed + cost(1), self.max_memory, self.N, self.Nchol, self.Nkrig,
                "raise max_memory, or draw fewer realisations at a time with blocks()")
        g = streams.GROUP
        hi = k
        if not fill.large_batches:
            hi = min(k, max(g, fill.batch_cap_bytes // max(cost(g) // g, 1)))
        lo = 1
        while lo < hi:  # the most rows whose batch fits
            mid = (lo + hi + 1) // 2
            if cost(mid) <= free:
                lo = mid
            else:
                hi = mid - 1
        if lo >= g:   # whole groups: no padded rows wasted
            lo -= lo % g
        return lo

    # ------------------------------------------------------------------
    # What the fill gives

    @property
    def W(self) -> np.ndarray:
        """The kriging weights (Nchol x Nkrig) of the kriging fill, read-only,
        computed at each access in column blocks: MemoryError when they do not
        fit the memory budget beside what the sampler holds."""
        if self._fill is None:
            return frozen(np.zeros((0, 0)))
        W = getattr(self._fill, "W", None)
        if W is None:
            raise AttributeError(f"the {self.fill} fill has no kriging weights W")
        return W

    @property
    def variance(self) -> np.ndarray:
        """The exact variance of the realisations at every node (N,), in node
        order: the jittered sigma**2 at the Cholesky nodes, and at the kriged
        nodes what the fill gives them."""
        if self._variance is None:
            v = np.zeros(self.N)
            if self.N and self._fill is not None:
                v[self.chol_ind] = np.einsum("ij,ij->i", self.L_chol, self.L_chol)
                if self.Nkrig:
                    v[self.krig_ind] = self._fill.variance()
            data = self._base.data
            if data is not None and len(data.pinned):
                v[data.pinned] = 0.0
            if not self.transform.identity:
                v = self.transform.variance(v, m=self._data_mean())
            self._variance = frozen(v)
        return self._variance

    def covariance(self, nodes: Any) -> np.ndarray:
        """The exact covariance matrix that the fill implies between the
        given node indices (not sampled)."""
        nodes = indices("node", nodes, self.N)
        if len(nodes) == 0 or self._fill is None:
            return np.zeros((len(nodes), len(nodes)))
        C = np.array(self._fill.covariance(nodes))
        data = self._base.data
        if data is not None and len(data.pinned):
            held = np.isin(nodes, data.pinned)
            C[held, :] = 0.0
            C[:, held] = 0.0
        if not self.transform.identity:
            m = self._data_mean()
            C = self.transform.covariance(C, nodes, None if m is None else m[nodes])
        return C

    def _data_mean(self) -> Optional[np.ndarray]:
        """The drawn field's conditional mean given the data (None without
        data, where a transformed field's drawn mean is zero): the shift a
        transform's moments must take."""
        if self._base.data is None or self._fill is None or self.N == 0:
            return None
        return self._gaussian_mean()

    # ------------------------------------------------------------------
    # Measured data

    def _gaussian_mean(self, fixed: Optional[np.ndarray] = None,
                       mean_chol: Optional[np.ndarray] = None) -> np.ndarray:
        """The drawn field's mean at every node given the data's deviations
        `fixed` (default the sampler's own): the fill with zero variates."""
        out = np.zeros((1, self.N))
        if self._fill is None or self.N == 0:
            return out[0]
        out[0, self.chol_ind] = self.mu_chol if mean_chol is None else mean_chol
        if self._fill.n_variates:
            eps = np.zeros((1, self._fill.n_variates))
            if fixed is None:
                self._fill.fill(out, eps)
            else:
                getattr(self._fill, "fill")(out, eps, fixed=fixed)
        else:
            self._fill.fill(out, None)
        return out[0]

    @property
    def mean(self) -> np.ndarray:
        """The mean of the realisations at every node (N,), read-only: with
        data, the conditional mean given them (at a node where an exact
        datum sits, the datum); without, the model's mean (under a trend in
        mu, the kriging fill's kriged nodes carry the kriged mean). Under a
        transformed marginal, the mean of the values, from the drawn field's
        mean and ``variance`` (so within the same memory budget)."""
        if self._mean is None:
            m = self._gaussian_mean()
            if not self.transform.identity:
                v = np.zeros(self.N)
                if self.N and self._fill is not None:
                    v[self.chol_ind] = np.einsum("ij,ij->i", self.L_chol, self.L_chol)
                    if self.Nkrig:
                        v[self.krig_ind] = self._fill.variance()
                m = self.transform.mean(m, v)
            data = self._base.data
            if data is not None and len(data.pinned):
                m[data.pinned] = data.pinned_values
            self._mean = frozen(m)
        return self._mean

    def conditional_mean(self, values: Any) -> np.ndarray:
        """The mean of the drawn (Gaussian) field at every node (N,) given
        `values` at the sampler's data points, one per datum, in the drawn
        field's units (the property's units under the normal marginal; the
        standard field's under a transform), with the sampler's data errors.
        Linear in the values: a realisation is ``conditional_mean(y) +
        fluctuation(xi)`` for any values y at the same points, so one
        sampler serves every field that shares its nodes, model and data
        points (the independent standard fields of a study). ValueError
        unless one finite value per datum."""
        v = np.array(values, dtype=np.float64).reshape(-1)
        if v.shape != (self.n_data,):
            raise ValueError(f"Sampler.conditional_mean: one value per datum is needed "
                             f"({self.n_data}), got {v.size}")
        bad = np.flatnonzero(~np.isfinite(v))
        if bad.size:
            raise ValueError(f"Sampler.conditional_mean: value {bad[0]} is {v[bad[0]]!r}, "
                             f"not finite")
        data = self._base.data
        if data is None:
            return self._gaussian_mean(None, np.asarray(self._base.mu)[self.chol_ind]
                                       if self.N else None)
        dev = v - data.mu
        mean_chol = data.chol_mean(np.asarray(self._base.mu)[self.chol_ind], dev)
        return self._gaussian_mean(dev, mean_chol)

    def fluctuation(self, xi: Any) -> np.ndarray:
        """The drawn (Gaussian) field less its conditional mean, from the
        variates ``xi`` as ``field`` takes them: (N,) or (k, N); it does not
        depend on the data's values. ``conditional_mean(y) +
        fluctuation(xi)`` is the drawn field given the values y."""
        V, one = variates(xi, self._variates())
        k = len(V)
        if self._fill is None or k == 0:
            out = np.zeros((k, self.N))
        else:
            self._check_output(k, f"Sampler.fluctuation({k} rows)",
                               "pass fewer rows of variates at a time")
            out = np.empty((k, self.N))
            batch = self._batch_rows(k, out.nbytes)
            for lo in range(0, k, batch):
                self._compute(V[lo:lo + batch], out[lo:lo + batch], centred=True)
        return out[0] if one else out

    # ------------------------------------------------------------------
    # Drawing

    def _held(self) -> int:
        """What the built sampler holds (its fill as built)."""
        assert self._fill is not None
        return budget.sampler_bytes(self.N, self.Nchol) + self._fill.held_bytes() + \
            conditioning.data_bytes(self.N, self.Nchol, self.n_data)[1]

    def _variates(self) -> int:
        return self.Nchol + (self._fill.n_variates if self._fill is not None else 0)

    def _check_output(self, k: int, what: str, hint: str) -> None:
        """MemoryError when k realisations do not fit the budget beside what
        the sampler holds."""
        assert self._fill is not None
        need = self._held() + 8 * k * self.N
        if need > self.max_memory:
            raise budget.memory_error(what, need, self.max_memory, self.N, self.Nchol, self.Nkrig,
                                      hint)

    @property
    def n_variates(self) -> int:
        """The standard normal variates one realisation takes: first the
        Nchol of the Cholesky nodes (in ``chol_ind`` order), then the fill's
        own (the conditional fill's, one per kriged node it draws; none for
        the kriging fill). ``field`` maps them to the realisation."""
        return self._variates()

    def field(self, xi: Any) -> np.ndarray:
        """The realisation that the standard normal variates ``xi`` produce:
        a vector (n_variates,) gives one realisation (N,), an array
        (k, n_variates) gives k, one per row (k, N). This is the map that
        ``draw``, ``blocks`` and ``realisation`` apply to the variates of
        their streams, so that ``field`` of the same variates gives the same
        bits; methods that move the variates themselves (subset simulation,
        importance sampling, FORM) ask it for the field. With the normal
        marginal it is affine: ``field(xi) - field(0)`` is linear in xi, and
        ``field(0)`` is mu (except, under a trend in mu, at the kriging
        fill's kriged nodes, which do not carry it).

        ``xi`` is not changed. TypeError for anything but real numbers (bools
        included), ValueError for a shape other than those or a variate that
        is not finite, MemoryError when the k realisations do not fit the
        budget."""
        V, one = variates(xi, self._variates())
        k = len(V)
        if self._fill is None or k == 0:
            out = np.zeros((k, self.N))
        else:
            self._check_output(k, f"Sampler.field({k} rows)", "pass fewer rows of variates at a time")
            out = np.empty((k, self.N))
            batch = self._batch_rows(k, out.nbytes)
            for lo in range(0, k, batch):
                self._compute(V[lo:lo + batch], out[lo:lo + batch])
        return out[0] if one else out

    def _compute(self, V: np.ndarray, out: Optional[np.ndarray] = None,
                 variates: Optional[Callable[[int, int], None]] = None,
                 first: int = 0, centred: bool = False) -> np.ndarray:
        """Realisations from their variates V (rows x variates), into `out`
        when given; `variates(a, b)`, when given, fills rows a .. b-1 of V
        first, on the thread that computes them. The rows are rows first ..
        first + len(V) - 1 of their study (or of their batch), computed one
        aligned group at a time (``streams.run_groups``), each product padded
        with zeros to a whole group: a product's rounding of one row depends
        on how many rows it multiplies, never on what the other rows hold,
        so a row's values depend neither on its batch nor on the threads.
        ``centred``: the drawn field less its mean (no marginal, no data's
        values)."""
        rows = len(V)
        if out is None:
            out = np.empty((rows, self.N))
        fill = self._fill
        assert fill is not None
        Nchol, L, chol_ind, mu_chol = self.Nchol, self.L_chol, self.chol_ind, self.mu_chol
        if centred:
            mu_chol = np.zeros(Nchol)
        eps = V[:, Nchol:] if fill.n_variates else None
        data = self._base.data

        def kriged(o: np.ndarray, e: Optional[np.ndarray]) -> None:
            if centred:
                getattr(fill, "fill")(o, e, centred=True)
            else:
                fill.fill(o, e)

        def work(a: int, b: int) -> None:
            if variates is not None:
                variates(a, b)
            rv = np.zeros((streams.GROUP, Nchol))
            rv[:b - a] = V[a:b, :Nchol]
            out[a:b, chol_ind] = mu_chol + (rv @ np.transpose(L))[:b - a]
            if not fill.threaded:
                kriged(out[a:b], None if eps is None else eps[a:b])

        streams.run_groups(rows, work, first)
        if fill.threaded:
            kriged(out, eps)
        if centred:
            return out
        if not self.transform.identity:
            self.transform(out)
        if data is not None and len(data.pinned):
            # nodes at the place of an exact datum: the datum itself
            out[:, data.pinned] = data.pinned_values
        return out

    def blocks(self, k: int, *, rows: Optional[int] = None, seed: Any = None, rng: Any = None,
               start: int = 0) -> Iterator[Tuple[int, np.ndarray]]:
        """Yield ``(offset, array)``: k realisations in batches of consecutive
        rows, ``array`` holding rows offset .. offset + len(array) - 1 of what
        ``draw(k, ...)`` returns, so that k x N never has to be held at once.

        ``rows`` bounds the batch (default: what the memory budget allows).
        ``seed``: realisations start .. start + k - 1 of the study (see
        ``realisation``); ``rng``: one stream for the whole call; neither:
        numpy's global generator.
        """
        k = integer("k", k, 0)
        start = integer("start", start, 0)
        if rows is not None:
            rows = integer("rows", rows, 1)
        refuse_bool("rng", rng)
        if rng is not None and seed is not None:
            raise TypeError("give either rng or seed, not both")
        if start and seed is None:
            raise TypeError("start is the first realisation of a seeded study: it needs seed")
        if seed is not None:
            return self._study_blocks(k, rows, streams.study_seed(seed), start)
        gen = np.random.default_rng(rng) if rng is not None else None
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

    def _study_blocks(self, k: int, rows: Optional[int], ss: np.random.SeedSequence,
                      start: int) -> Iterator[Tuple[int, np.ndarray]]:
        if k == 0:
            return
        if self.N == 0:
            yield 0, np.zeros((k, 0))
            return
        g = streams.GROUP
        batch = self._batch_rows(max(k, g)) if rows is None else rows
        per = max(1, batch // g) * g          # whole groups per batch
        n = self._variates()
        a = start
        while a < start + k:
            # up to the end of the batch's last group, aligned in the study
            b = min(start + k, (a // g) * g + per)
            V = np.empty((b - a, n))

            def variates(lo: int, hi: int, V: np.ndarray = V, at: int = a) -> None:
                V[lo:hi] = streams.study_variates(ss, at + lo, hi - lo, n)

            yield a - start, self._compute(V, variates=variates, first=a)
            a = b

    def draw(self, k: int = 1, *, seed: Any = None, rng: Any = None, start: int = 0) -> np.ndarray:
        """Return k realisations as a new (k, N) float64 array, one per row.

        ``seed`` (an int or a SeedSequence): realisations start .. start + k - 1
        of the study it names, each from its own stream (see ``realisation``).
        ``rng`` (anything ``np.random.default_rng`` takes): one stream for the
        call. Neither: k times (Nchol + the fill's variates) standard normal
        variates from numpy's global generator (``np.random.normal``),
        realisation by realisation: with the kriging fill, after the same
        seed, the rows equal k successive ``get_random_field`` calls up to
        rounding and the generator ends in the same state.

        Every row is ``field`` of its variates, bit for bit: with ``rng=``
        (or the global stream) the (k, n_variates) block that
        ``standard_normal((k, n_variates))`` (``np.random.normal(size=...)``)
        gives, row by row; with ``seed=``, row i's
        ``streams.study_variates(seed, start + i, 1, n_variates)``.
        """
        k = integer("k", k, 0)
        start = integer("start", start, 0)
        refuse_bool("rng", rng)
        if rng is not None and seed is not None:
            raise TypeError("give either rng or seed, not both")
        if self._fill is not None and k:
            self._check_output(k, f"Sampler.draw({k})", "stream the realisations with blocks() instead")
        out = np.empty((k, self.N))
        if seed is None and start == 0 and self.N:
            gen = np.random.default_rng(rng) if rng is not None else None
            for _ in self._stream_blocks(k, None, gen, dest=out):
                pass
            return out
        for offset, block in self.blocks(k, rng=rng, seed=seed, start=start):
            out[offset:offset + len(block)] = block
        return out

    def realisation(self, i: int, *, seed: Any) -> np.ndarray:
        """Realisation i of the study seeded by ``seed`` (an int or a
        SeedSequence), alone: bit for bit row i of ``draw(k, seed=seed)``, of
        ``to_dask(k, seed=seed)`` and of ``random-field --seed``, whatever the
        batches or chunks. Its variates come from child i of
        ``SeedSequence(seed)``."""
        i = integer("i", i, 0)
        if seed is None:
            raise TypeError("realisation() needs seed=: the study it is a realisation of")
        for _, block in self.blocks(1, seed=seed, start=i):
            return block[0].copy()
        raise AssertionError("unreachable")

    def to_dask(self, k: int, *, chunks: Any = "auto", seed: Any = None,
                client: Any = None) -> Any:
        """A dask array (k, N) of the realisations of the study seeded by
        ``seed`` (required: a dask array is a study; pass
        ``np.random.SeedSequence()`` for fresh entropy and keep its
        ``.entropy``), chunked by realisations, row i equal to
        ``realisation(i, seed=seed)``. Needs the ``dask`` extra; see
        ``random_field_sampler.distributed.to_dask``."""
        from .distributed import to_dask
        return to_dask(self, k, chunks=chunks, seed=seed, client=client)


def _owned(value: Any, seen: Dict[int, Any]) -> Any:
    """`value` with every array in memory of its own, read-only (arrays in
    tuples and lists too); the same object for the same array."""
    if isinstance(value, np.ndarray):
        got = seen.get(id(value))
        if got is None:
            a = value if value.base is None else np.array(value, copy=True, order="K")
            got = seen[id(value)] = frozen(a)
        return got
    if isinstance(value, tuple):
        return tuple(_owned(v, seen) for v in value)
    if isinstance(value, list):
        return [_owned(v, seen) for v in value]
    if isinstance(value, conditioning.Data):
        return dataclasses.replace(value, **{f.name: _owned(getattr(value, f.name), seen)
                                            for f in dataclasses.fields(value)})
    if isinstance(value, Transform):
        return dataclasses.replace(value) if value is not IDENTITY else value
    return value


def _extent(x: Any, z: Any, theta: float) -> Optional[Tuple[float, float]]:
    """Width and height of the nodes' bounding box (stretched) in theta, or
    None when there is none (no nodes, or coordinates that are not finite)."""
    xs = np.asarray(x, dtype=np.float64)
    zs = np.asarray(z, dtype=np.float64)
    if xs.size == 0 or not theta > 0:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        w = (float(xs.max()) - float(xs.min())) / theta
        h = (float(zs.max()) - float(zs.min())) / theta
    if not (np.isfinite(w) and np.isfinite(h)):
        return None
    return w, h
