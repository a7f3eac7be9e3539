"""The conditional fill: kriged nodes drawn from their conditional distributions.

The Cholesky nodes are sampled exactly, as by the kriging fill. Every kriged
node is then drawn, in max-min order (each node the farthest from all nodes
drawn before it, so coarse nodes come first and condition on far
neighbours, fine nodes on near ones), from its distribution given
its ``neighbours`` nearest nodes among those already drawn, or its
``coarse_neighbours`` nearest when its scale (its distance to the nearest
node drawn before it) is at least ``COARSE_SCALE`` theta (a
nearest-neighbour, Vecchia-type conditional simulation)::

    value_j = mu_j + b_j . (values of the neighbours - their mu) + d_j eps_j

with b_j the simple-kriging weights of the neighbourhood and d_j^2 its
conditional variance, both from the covariance model, with the module's own
formulas in the stretched coordinates. Each realisation takes Nkrig standard
normal variates beyond the Nchol of the Cholesky nodes: eps[:, k] belongs to
the kriged node ``krig_ind[k]`` (node order, whatever the drawing order).

Exact distance ties in the max-min order go tile by tile over the mesh, in a
fixed pseudo-random order of the node indices within a tile (on a grid, the
index order would draw a level row by row and leave its last nodes with
neighbours on one side only; a pseudo-random order over the whole mesh
would scatter the draw over memory).

Memory O(N m) (the greedy selection's unused slots given back once built),
build O(N m^3) spread over all cores, one realisation O(N m)
(batched: each weight is read once per group of up to 32 realisations).

Close neighbours make the Gaussian model's neighbourhood matrices nearly
singular. They are factorised neighbour by neighbour, nearest first, and a
neighbour whose variance given those kept before it is below ``tol`` times
its own is dropped: every kept pivot is at least ``tol`` sigma^2, so the
weights stay bounded, and d_j^2 is the exact conditional variance given the
kept neighbours, so no neighbourhood can inflate the variance. For the
Gaussian model the weights are solved with a relative nugget on the
neighbours' variances, b = (K + nugget diag K)^-1 k, and d^2 = c - b^T K b:
the weights stay bounded (errors do not grow from node to node) and the
model's variance is kept. The nugget (1e-4) and the neighbours (50, 100
for coarse nodes, for the Gaussian model; for the exponential up to 30
picked greedily from the 100 nearest, stopping when a pick would add less
than 2e-6 of the variance) are chosen by measurement (benchmarks/fills.py):
see the README. A node within
``TWIN_DISTANCE`` theta of an earlier one is drawn from its exact
distribution given that node alone (at the same place: a copy), so
coincident mesh nodes agree.

Measured data (``Base.data``) come before every node: a kriged node's
neighbours are its earlier nodes and nearby data together (the greedy
selection picks among both), each datum with its measurement error's
variance on its own diagonal, and the draw reads the data's deviations from
the mean as fixed values (``conditioning``).

This module never draws random numbers (the sampler hands it the variates),
never writes the Cholesky columns of a realisation, and never allocates an
N x N matrix unless ``covariance`` or ``variance`` is asked for and it fits
the budget.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Callable, Optional, Tuple

import numpy as np

from .. import _kernels
from .._checks import integer, refuse_bool
from .protocol import Base, frozen

__all__ = ["ConditionalFill", "ConditionalValues", "DEFAULT_NEIGHBOURS",
           "DEFAULT_COARSE_NEIGHBOURS", "COARSE_SCALE", "TWIN_DISTANCE", "DEFAULT_TOL",
           "DEFAULT_NUGGET", "DEFAULT_CHOL_NEIGHBOURS", "DEFAULT_CANDIDATES", "DEFAULT_GAIN",
           "DEFAULT_SELECTION", "ORDERS",
           "SELECTIONS"]

# Neighbours per kriged node, by model (0 Gaussian, 1 exponential), chosen by
# measurement (benchmarks/fills.py): see the README's section on the fills.
DEFAULT_NEIGHBOURS = {0: 50, 1: 30}
# Neighbours of a coarse node (its scale at least COARSE_SCALE theta), by
# model: the Gaussian model's coarse nodes need a wider neighbourhood.
DEFAULT_COARSE_NEIGHBOURS = {0: 100, 1: 30}
COARSE_SCALE = 0.15
# A node this close (in theta, stretched) to an earlier one is drawn from
# that node alone (the kernel's twin_distance).
TWIN_DISTANCE = 1e-5
# Smallest relative conditional variance of a kept neighbour, by model.
DEFAULT_TOL = {0: 1e-8, 1: 1e-10}
# Of which at least this many are the nearest Cholesky nodes.
DEFAULT_CHOL_NEIGHBOURS = {0: 0, 1: 0}
# Relative nugget added to the neighbours' variances when the weights are
# solved for (the Gaussian model's regularisation), by model.
DEFAULT_NUGGET = {0: 1e-4, 1: 0.0}
ORDERS = ("maxmin", "coarse-to-fine", "random", "node")
# How a node's neighbours are chosen: its nearest earlier nodes, or, of its
# `candidates` nearest, those a greedy conditional selection picks.
SELECTIONS = ("nearest", "greedy")
# The selection by model: the Gaussian model's nearest 50 / 100 hold it
# within 1 %; the exponential model's nearest 30 do not where nodes cluster
# or are graded, its greedy 30 (stopping early) do, in about its build time.
DEFAULT_SELECTION = {0: "nearest", 1: "greedy"}
# Candidates of the greedy selection, by model: a tight cluster of more
# nodes than this hides the nodes around it from its own.
DEFAULT_CANDIDATES = {0: 75, 1: 100}
# The greedy selection stops when its best pick would take less than this
# fraction of the node's variance off its conditional variance, by model
# (0: no early stop, every candidate looked at).
DEFAULT_GAIN = {0: 0.0, 1: 2e-6}
# How far (in multiples of the radius that holds a node's neighbours) data
# earn a node extra slots.
DATA_REACH = 1.5


def _model_key(model: int) -> int:
    return 0 if model == 0 else 1


def _bytes_of(slots: int, Nkrig: int) -> int:
    # neighbours (int32) and weights (float64) per slot; per kriged node its
    # start (int64), count (int32), scale (float64), drawing order (int32)
    # and variate slot (int32)
    return 12 * slots + 28 * Nkrig + (8 if Nkrig else 0)


def _data_slots(x: np.ndarray, z: np.ndarray, scale: np.ndarray, width: np.ndarray,
                data: Any) -> np.ndarray:
    """The data slots of the drawn nodes (at x, z, each `scale` from the
    nearest node drawn before it), beside their `width` nodes: as many as
    the data within DATA_REACH sqrt(width / pi) scale, the radius that holds
    about DATA_REACH**2 times its `width` nearest earlier nodes, at most
    twice `width` (the kernel picks them from four times as many nearest
    data by what they add). A node far from the data has none: its nodes
    screen them."""
    from scipy.spatial import cKDTree
    extra = np.zeros(len(x), dtype=np.int64)
    if data.n == 0 or len(x) == 0:
        return extra
    reach = DATA_REACH * np.sqrt(width / np.pi) * scale
    tree = cKDTree(np.column_stack((data.x, data.z)))
    d, _ = tree.query(np.column_stack((x, z)), k=1)
    close = np.flatnonzero(d < reach)
    if close.size:
        pts = np.column_stack((x[close], z[close]))
        counts = tree.query_ball_point(pts, r=reach[close], return_length=True)
        extra[close] = np.minimum(np.asarray(counts, dtype=np.int64), 2 * width[close])
    return extra


def _packed(start: np.ndarray, count: np.ndarray, nbr: np.ndarray,
            weight: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The factors without their unused slots: each node's used slots moved
    down to follow the previous node's, in place, and the arrays shrunk to
    what is used. (start, nbr, weight) packed."""
    used = int(_kernels.pack(start, count, nbr, weight))
    nbr.resize(used, refcheck=False)
    weight.resize(used, refcheck=False)
    return start, nbr, weight


@dataclasses.dataclass(frozen=True)
class ConditionalFill:
    """The conditional (nearest-neighbour) fill's options; None takes the
    model's default (``resolved(model)`` makes them explicit).

    ``neighbours``
        kriged and Cholesky nodes each kriged node is conditioned on
        (``DEFAULT_NEIGHBOURS``: 50 for the Gaussian model, 30 for the
        exponential).
    ``coarse_neighbours``
        the same for a node whose distance to the nearest node drawn before
        it is at least ``COARSE_SCALE`` theta (``DEFAULT_COARSE_NEIGHBOURS``:
        100 for the Gaussian model, 30 for the exponential; when
        ``neighbours`` is given and this is not, ``neighbours``).
    ``order``
        the drawing order of the kriged nodes: ``"maxmin"`` (each the
        farthest from all before it), ``"coarse-to-fine"`` (levels, each
        level's nodes farther from all nodes before them than half the
        previous level's distance, starting from the Cholesky spacing
        Dhchol), ``"random"`` (a fixed permutation) or ``"node"``.
    ``tol``
        the smallest relative conditional variance of a kept neighbour.
    ``nugget``
        the relative nugget on the neighbours' variances when the weights
        are solved for.
    ``chol_neighbours``
        of the neighbours, at least this many are the nearest Cholesky nodes.
    ``selection``
        ``"nearest"`` (the nearest earlier nodes) or ``"greedy"``: of the
        ``candidates`` nearest earlier nodes, at most ``neighbours`` are
        picked one by one, each the candidate that explains most of what is
        left of the node's variance given those picked before (its
        remaining covariance with the node squared over its remaining
        variance; a pivoted partial Cholesky factorisation), so that a
        cluster does not fill the neighbourhood with nodes that add nothing
        (``DEFAULT_SELECTION``: nearest for the Gaussian model, greedy for
        the exponential, where the nearest 30 miss 1 % on clustered and
        graded meshes). Without ``chol_neighbours`` (given alone, it takes
        the nearest).
    ``candidates``
        the nearest earlier nodes the greedy selection picks from
        (``DEFAULT_CANDIDATES``: 100 for the exponential model, 75 for the
        Gaussian). With an early stop it looks first at
        the nearest 1.2 ``neighbours`` only, and at all of them where those
        were not enough (every slot or candidate taken, or the candidates
        lopsided around the node: edges of clusters, of refined regions, of
        the mesh).
    ``gain``
        the greedy selection stops when its best pick would take less than
        this fraction of the node's variance off its conditional variance
        (``DEFAULT_GAIN``: 2e-6 for the exponential model; 0, no early stop,
        for the Gaussian), so that uniform regions take fewer neighbours
        than clusters.
    """

    neighbours: Optional[int] = None
    order: str = "maxmin"
    tol: Optional[float] = None
    nugget: Optional[float] = None
    chol_neighbours: Optional[int] = None
    coarse_neighbours: Optional[int] = None
    selection: Optional[str] = None
    candidates: Optional[int] = None
    gain: Optional[float] = None

    name = "conditional"

    def __post_init__(self) -> None:
        if self.neighbours is not None:
            integer("neighbours", self.neighbours, 1)
        if self.chol_neighbours is not None:
            integer("chol_neighbours", self.chol_neighbours, 0)
        if self.coarse_neighbours is not None:
            integer("coarse_neighbours", self.coarse_neighbours, 1)
        if self.candidates is not None:
            integer("candidates", self.candidates, 1)
            if self.candidates > 4096:
                raise ValueError(f"candidates must be at most 4096, got {self.candidates}")
        if self.selection is not None and self.selection not in SELECTIONS:
            raise ValueError(f"selection must be one of {', '.join(SELECTIONS)}, "
                             f"got {self.selection!r}")
        if self.selection == "greedy" and self.chol_neighbours:
            raise ValueError("chol_neighbours needs selection='nearest'")
        if self.order not in ORDERS:
            raise ValueError(f"order must be one of {', '.join(ORDERS)}, got {self.order!r}")
        for name, lo, hi in (("tol", 0.0, 1.0), ("nugget", 0.0, math.inf), ("gain", 0.0, 1.0)):
            v = getattr(self, name)
            if v is None:
                continue
            refuse_bool(name, v)
            try:
                f = float(v)
            except (TypeError, ValueError):
                raise TypeError(f"{name} must be a real number, not {type(v).__name__}") from None
            if not (lo <= f < hi):
                raise ValueError(f"{name} must be in [{lo:g}, {hi:g}), got {v!r}")

    def resolved(self, model: int) -> "ConditionalFill":
        """These options with the defaults of `model` filled in."""
        key = _model_key(model)
        if self.coarse_neighbours is not None:
            coarse = self.coarse_neighbours
        elif self.neighbours is not None:
            coarse = self.neighbours
        else:
            coarse = DEFAULT_COARSE_NEIGHBOURS[key]
        if self.selection is not None:
            selection = self.selection
        elif self.chol_neighbours:
            selection = "nearest"
        else:
            selection = DEFAULT_SELECTION[key]
        return ConditionalFill(
            neighbours=int(DEFAULT_NEIGHBOURS[key] if self.neighbours is None else self.neighbours),
            order=self.order,
            tol=float(DEFAULT_TOL[key] if self.tol is None else self.tol),
            nugget=float(DEFAULT_NUGGET[key] if self.nugget is None else self.nugget),
            chol_neighbours=int(DEFAULT_CHOL_NEIGHBOURS[key] if self.chol_neighbours is None
                                else self.chol_neighbours),
            coarse_neighbours=int(coarse),
            selection=selection,
            candidates=None if selection == "nearest" else int(
                DEFAULT_CANDIDATES[key] if self.candidates is None else self.candidates),
            gain=None if selection == "nearest" else float(
                DEFAULT_GAIN[key] if self.gain is None else self.gain))

    def plan(self, N: int, Nchol: int, Nkrig: int, model: int = 0,
             extent: Optional[Tuple[float, float]] = None) -> Tuple[int, int]:
        """(peak bytes while building, bytes held once built): the most the
        fill may take. A node takes the coarse width only when its nearest
        earlier node is at least ``COARSE_SCALE`` theta away, so the coarse
        nodes are that far apart from one another: given the ``extent``
        (width, height) of the nodes in theta (stretched), disjoint disks of
        half that diameter around them bound their number by area. Without
        it, every node at the wider width. ``held_bytes`` of the built fill
        is exact."""
        r = self.resolved(model)
        m = min(int(r.neighbours or 1), max(N - 1, 1))
        mw = min(int(r.coarse_neighbours or m), max(N - 1, 1))
        coarse = Nkrig
        if extent is not None and mw > m:
            w, h = (float(v) for v in extent)
            d = COARSE_SCALE
            bound = (w + d) * (h + d) / (math.pi * d * d / 4.0) + 1.0
            if math.isfinite(bound):
                coarse = min(Nkrig, int(bound))
        slots = coarse * max(m, mw) + (Nkrig - coarse) * m
        held = _bytes_of(slots, Nkrig)
        # drawing order and its grids, contiguous copies, the nearest earlier
        # node of every node and its distance (80 bytes a node); the ranked
        # cell grid's coarser levels over the first ranks and the ranks and
        # coordinates of every level in cell order (up to 64 more, and 8 KiB
        # for each of at most 16 levels)
        build = 144 * N + 4096 + 16 * 8192
        return held + build, held

    def build(self, base: Base) -> "ConditionalValues":
        return ConditionalValues(base, self.resolved(base.model))


class ConditionalValues:
    """The built conditional fill: each kriged node's neighbours, weights and
    conditional sd, in drawing order. Read-only once built."""

    name = "conditional"
    # The kernel draws its rows on the cores itself.
    threaded = True
    large_batches = False
    # Each weight is read once per batch: batches of up to 512 MiB of
    # temporaries keep the draw near its memory-bound floor at mesh scale.
    batch_cap_bytes = 1 << 29

    def __init__(self, base: Base, options: ConditionalFill) -> None:
        self._base = base
        self.options = options
        model = int(base.model)
        m = int(options.neighbours or 1)
        tol = float(options.tol or 0.0)
        order = options.order
        N, Nchol, Nkrig = int(base.N), int(base.Nchol), int(base.Nkrig)
        if N > 2**31 - 1:
            raise ValueError(f"the conditional fill takes at most 2**31 - 1 nodes, got N={N}")
        self.neighbours = m = min(m, max(N - 1, 1))
        self.coarse_neighbours = mw = min(int(options.coarse_neighbours or m), max(N - 1, 1))
        self.tol = tol
        self.order = order
        self.n_variates = Nkrig
        self._N, self._Nchol, self._Nkrig = N, Nchol, Nkrig
        progress: Optional[Callable[[str, int, int], None]] = base.progress

        x = np.ascontiguousarray(base.x, dtype=np.float64)
        z = np.ascontiguousarray(base.z, dtype=np.float64)
        sigma = np.ascontiguousarray(base.sigma, dtype=np.float64)
        self._mu = np.ascontiguousarray(base.mu, dtype=np.float64)
        chol = np.ascontiguousarray(base.chol_ind, dtype=np.int32)
        krig = np.ascontiguousarray(base.krig_ind, dtype=np.int32)
        self._chol = chol

        # The drawing order of the kriged nodes.
        if progress is not None:
            progress("neighbours", 0, 1)
        if order == "maxmin":
            drawn = np.empty(Nkrig, dtype=np.int32)
            _kernels.maxmin(x, z, chol, krig, drawn)
        elif order == "coarse-to-fine":
            drawn = np.empty(Nkrig, dtype=np.int32)
            _kernels.order(x, z, chol, krig, drawn, float(base.Dhchol))
        elif order == "random":
            drawn = krig[np.random.default_rng(0x5eed).permutation(Nkrig)]
        else:
            drawn = krig.copy()
        if progress is not None:
            progress("neighbours", 1, 1)
        node_of_rank = np.concatenate((chol, drawn)).astype(np.int32, copy=False)
        del drawn

        # The width of each drawn node: coarse_neighbours when the nearest
        # node drawn before it is at least COARSE_SCALE theta away.
        width = np.full(Nkrig, m, dtype=np.int64)
        data = base.data
        data_slots = np.zeros(Nkrig, dtype=np.int32)
        if (mw != m or data is not None) and Nkrig:
            first = np.empty((N, 1), dtype=np.int32)
            _kernels.neighbours(x, z, node_of_rank, first)
            near = first[Nchol:, 0]
            drawn = node_of_rank[Nchol:]
            prev = node_of_rank[np.maximum(near, 0)]
            with np.errstate(invalid="ignore", over="ignore"):
                scale = np.sqrt((x[drawn] - x[prev]) ** 2 + (z[drawn] - z[prev]) ** 2)
            coarse = (near < 0) | ~(scale < COARSE_SCALE * float(base.theta_z))
            width[coarse] = mw
            if data is not None:
                data_slots[:] = _data_slots(x[drawn], z[drawn],
                                            np.where(near < 0, np.inf, scale), width, data)
                width += data_slots
            del first, near, drawn, prev, scale, coarse
        self._start = np.zeros(Nkrig + 1, dtype=np.int64)
        np.cumsum(width, out=self._start[1:])
        del width
        slots = int(self._start[-1])
        self._nbr = np.zeros(slots, dtype=np.int32)
        self._weight = np.zeros(slots, dtype=np.float64)
        self._count = np.zeros(Nkrig, dtype=np.int32)
        self._scale = np.zeros(Nkrig, dtype=np.float64)
        mc = int(options.chol_neighbours or 0)
        self.chol_neighbours = mc
        self.nugget = float(options.nugget or 0.0)
        self.selection = options.selection
        self.candidates = int(options.candidates or 0) if options.selection == "greedy" else 0
        self.gain = float(options.gain or 0.0) if options.selection == "greedy" else 0.0
        data = base.data
        self._nd = nd = 0 if data is None else int(data.n)
        self._fixed = np.zeros(0) if data is None else np.ascontiguousarray(data.dev)
        if nd:
            # The data, nodes N .. N + nd - 1, come first.
            ranks = np.concatenate((np.arange(N, N + nd, dtype=np.int32), node_of_rank))
            _kernels.build(np.concatenate((x, data.x)), np.concatenate((z, data.z)),
                           np.concatenate((sigma, data.sigma)), ranks, float(base.theta_z), model,
                           tol, self.nugget, mc, self._start, self._nbr, self._weight, self._count,
                           self._scale, progress, self.candidates, self.gain,
                           np.concatenate((np.zeros(N), data.noise)), N, data_slots)
            del ranks
        else:
            _kernels.build(x, z, sigma, node_of_rank, float(base.theta_z), model, tol, self.nugget,
                           mc, self._start, self._nbr, self._weight, self._count, self._scale,
                           progress, self.candidates, self.gain)
        if self.selection == "greedy" or nd:
            # The greedy selection and the data (dropped where they add
            # nothing) leave slots unused: packed, in place.
            self._start, self._nbr, self._weight = _packed(self._start, self._count, self._nbr,
                                                           self._weight)
        self._node = np.ascontiguousarray(node_of_rank[Nchol:])
        # Variate slot of each drawn node: its position in krig_ind.
        place = np.empty(N, dtype=np.int32)
        place[krig] = np.arange(Nkrig, dtype=np.int32)
        self._slot = place[self._node]
        del place
        for name in ("_mu", "_chol", "_node", "_slot", "_start", "_nbr", "_weight", "_count",
                     "_scale", "_fixed"):
            setattr(self, name, frozen(getattr(self, name)))

    def held_bytes(self, cache: Optional[bool] = None) -> int:
        return _bytes_of(int(self._nbr.size), self._Nkrig) + 8 * self._nd

    def cache_bytes(self) -> int:
        return 0

    def batch_bytes(self, rows: int, cache: Optional[bool] = None) -> int:
        """Scratch of one batch of ``rows`` realisations, beyond the output."""
        return int(_kernels.draw_scratch_bytes(self._N + self._nd, int(rows)))

    def fill(self, out: np.ndarray, eps: Optional[np.ndarray], *,
             fixed: Optional[np.ndarray] = None, centred: bool = False) -> None:
        """Writes the kriged columns of ``out`` (rows x N, C-contiguous, its
        Cholesky columns holding their values) from the variates ``eps``
        (rows x Nkrig), given the data's deviations from the mean `fixed`
        (default: the sampler's own). ``centred``: the field less its mean,
        mean and data's deviations zero."""
        rows = out.shape[0]
        if self._Nkrig == 0:
            return
        if eps is None or eps.shape != (rows, self._Nkrig):
            raise ValueError(f"the conditional fill needs ({rows}, {self._Nkrig}) variates")
        if eps.dtype != np.float64 or (rows > 1 and eps.strides[0] % 8) or \
                (self._Nkrig > 1 and eps.strides[1] != 8):
            eps = np.ascontiguousarray(eps, dtype=np.float64)
        mu = self._mu
        if fixed is None:
            fixed = self._fixed
        if centred:
            mu, fixed = np.zeros(self._N), np.zeros(self._nd)
        _kernels.draw(out, eps, mu, self._chol, self._slot, self._node, self._start,
                      self._nbr, self._weight, self._count, self._scale,
                      np.ascontiguousarray(fixed, dtype=np.float64) if self._nd else None)

    # -- exact moments -------------------------------------------------------

    def _dense_covariance(self) -> np.ndarray:
        """The N x N covariance of the fill, by the recursion over the drawing
        order: rows of the Cholesky nodes from L_chol L_chol^T, then for each
        drawn node j, Sigma[j, :] = b_j^T Sigma[nbrs, :] and
        Sigma[j, j] = b_j^T Sigma[nbrs, nbrs] b_j + d_j^2. O(N^2 m)."""
        N, m = self._N, max(self.neighbours, self.coarse_neighbours)
        need = 8 * N * N + 8 * N * (m + 2)
        budget = int(self._base.max_memory)
        if need > budget:
            raise MemoryError(
                f"the exact covariance of the conditional fill needs an N x N matrix: "
                f"N={N}, Nchol={self._Nchol}, Nkrig={self._Nkrig}, {need} bytes needed, "
                f"budget {budget} bytes")
        S = np.zeros((N, N))
        L = np.asarray(self._base.L_chol, dtype=np.float64)
        chol = self._chol.astype(np.intp)
        S[np.ix_(chol, chol)] = L @ L.T
        for j in range(self._Nkrig):
            p = int(self._count[j])
            i = int(self._node[j])
            s0 = int(self._start[j])
            nb = self._nbr[s0:s0 + p].astype(np.intp)
            b = self._weight[s0:s0 + p]
            if self._nd:   # data are fixed values: they add no covariance
                keep = nb < N
                nb, b = nb[keep], b[keep]
            row = b @ S[nb, :]
            S[i, :] = row
            S[:, i] = row
            S[i, i] = row[nb] @ b + self._scale[j] ** 2
        return S

    def variance(self) -> np.ndarray:
        """Exact variance of the realisations at the kriged nodes, in krig_ind
        order (from the dense recursion: MemoryError above the budget)."""
        if self._Nkrig == 0:
            return np.zeros(0)
        S = self._dense_covariance()
        krig = np.asarray(self._base.krig_ind, dtype=np.intp)
        return S[krig, krig].copy()

    def covariance(self, nodes: np.ndarray) -> np.ndarray:
        """Exact covariance between the given node indices (Cholesky or kriged)."""
        idx = np.asarray(nodes, dtype=np.intp).reshape(-1)
        if idx.size and (idx.min() < -self._N or idx.max() >= self._N):
            raise IndexError(f"node indices must be in [0, {self._N}), got {idx.min()}..{idx.max()}")
        S = self._dense_covariance()
        return S[np.ix_(idx, idx)]

    def neighbour_counts(self) -> np.ndarray:
        """Neighbours kept per kriged node (drawing order) after dropping the
        nearly dependent ones."""
        return self._count.copy()
