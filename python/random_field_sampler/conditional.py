"""The conditional fill: kriged nodes drawn from their conditional distributions.

The Cholesky nodes are sampled exactly, as by the kriging fill. Every kriged
node is then drawn, in max-min order (each node the farthest from all nodes
drawn before it, so coarse nodes come first and condition on far
neighbours, fine nodes on near ones), from its distribution given
its ``neighbours`` nearest nodes among those already drawn (a
nearest-neighbour, Vecchia-type conditional simulation)::

    value_j = mu_j + b_j . (values of the neighbours - their mu) + d_j eps_j

with b_j the simple-kriging weights of the neighbourhood and d_j^2 its
conditional variance, both from the covariance model, with the module's own
formulas in the stretched coordinates. Each realisation takes Nkrig standard
normal variates beyond the Nchol of the Cholesky nodes: eps[:, k] belongs to
the kriged node ``krig_ind[k]`` (node order, whatever the drawing order).

Memory O(N m), build O(N m^3) spread over all cores, one realisation O(N m)
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
model's variance is kept. The nugget (0.003) and the neighbours (60 for the
Gaussian model, 30 for the exponential) are chosen by measurement: see the
README. A node at the place of an earlier one copies it.

This module never draws random numbers (the sampler hands it the variates),
never writes the Cholesky columns of a realisation, and never allocates an
N x N matrix unless ``covariance`` or ``variance`` is asked for and it fits
the budget.
"""

from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np

from . import _kernels

__all__ = ["ConditionalFill", "DEFAULT_NEIGHBOURS", "DEFAULT_TOL"]

# Neighbours per kriged node, by model (0 Gaussian, 1 exponential), chosen by
# measurement (benchmarks/fills.py): see the README's section on the fills.
DEFAULT_NEIGHBOURS = {0: 60, 1: 30}
# Smallest relative conditional variance of a kept neighbour, by model.
DEFAULT_TOL = {0: 1e-8, 1: 1e-10}
# Of which at least this many are the nearest Cholesky nodes.
DEFAULT_CHOL_NEIGHBOURS = {0: 0, 1: 0}
# Relative nugget added to the neighbours' variances when the weights are
# solved for (the Gaussian model's regularisation), by model.
DEFAULT_NUGGET = {0: 3e-3, 1: 0.0}
ORDERS = ("maxmin", "coarse-to-fine", "random", "node")


def _model_key(model: int) -> int:
    return 0 if model == 0 else 1


def _bytes_per_kriged(m: int) -> int:
    # neighbours (int32) and weights (float64), count (int32), scale (float64),
    # drawing order (int32) and variate slot (int32)
    return 12 * m + 20


class ConditionalFill:
    """The conditional (nearest-neighbour) fill of the kriged nodes.

    ``ConditionalFill(base, neighbours=None, order="maxmin", tol=None)``
    builds the neighbourhoods and factors from the sampler's ``base``.
    ``neighbours`` defaults by model to ``DEFAULT_NEIGHBOURS``, ``tol`` to
    ``DEFAULT_TOL``. ``order`` is the drawing order of the kriged nodes:
    max-min (each the farthest from all before it), coarse to fine (each level's nodes farther from all nodes before them
    than half the previous level's distance), a fixed random permutation, or
    node order.
    """

    name = "conditional"
    # Each weight is read once per batch: batches of up to 512 MiB of
    # temporaries keep the draw near its memory-bound floor at mesh scale.
    batch_cap_bytes = 1 << 29

    @staticmethod
    def default_neighbours(model: int) -> int:
        return DEFAULT_NEIGHBOURS[_model_key(model)]

    @staticmethod
    def plan(N: int, Nchol: int, Nkrig: int, *, neighbours: Optional[int] = None,
             model: Optional[int] = None, **options: Any) -> tuple[int, int]:
        """(peak bytes while building, bytes held once built)."""
        if neighbours is not None:
            m = int(neighbours)
        elif model is not None:
            m = ConditionalFill.default_neighbours(model)
        else:
            m = max(DEFAULT_NEIGHBOURS.values())
        held = Nkrig * _bytes_per_kriged(m)
        # drawing order and its grids, the ranked cell grid, contiguous copies
        build = 64 * N + 4096
        return held + build, held

    def __init__(self, base: Any, *, neighbours: Optional[int] = None,
                 order: str = "maxmin", tol: Optional[float] = None,
                 chol_neighbours: Optional[int] = None, nugget: Optional[float] = None) -> None:
        self._base = base
        model = int(base.model)
        key = _model_key(model)
        m = DEFAULT_NEIGHBOURS[key] if neighbours is None else neighbours
        if isinstance(m, bool) or not isinstance(m, (int, np.integer)) or m < 1:
            raise ValueError(f"neighbours must be an integer >= 1, got {neighbours!r}")
        m = int(m)
        tol = DEFAULT_TOL[key] if tol is None else float(tol)
        if not (0.0 <= tol < 1.0):
            raise ValueError(f"tol must be in [0, 1), got {tol!r}")
        if order not in ORDERS:
            raise ValueError(f"order must be one of {', '.join(ORDERS)}, got {order!r}")
        N, Nchol, Nkrig = int(base.N), int(base.Nchol), int(base.Nkrig)
        if N > 2**31 - 1:
            raise ValueError(f"the conditional fill takes at most 2**31 - 1 nodes, got N={N}")
        self.neighbours = m = min(m, max(N - 1, 1))
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
            _kernels.order(x, z, chol, krig, drawn, float(base.Dhchol)
                           if hasattr(base, "Dhchol") else np.inf)
        elif order == "random":
            drawn = krig[np.random.default_rng(0x5eed).permutation(Nkrig)]
        else:
            drawn = krig.copy()
        if progress is not None:
            progress("neighbours", 1, 1)
        node_of_rank = np.concatenate((chol, drawn)).astype(np.int32, copy=False)
        del drawn

        self._nbr = np.zeros((Nkrig, m), dtype=np.int32)
        self._weight = np.zeros((Nkrig, m), dtype=np.float64)
        self._count = np.zeros(Nkrig, dtype=np.int32)
        self._scale = np.zeros(Nkrig, dtype=np.float64)
        mc = DEFAULT_CHOL_NEIGHBOURS[key] if chol_neighbours is None else int(chol_neighbours)
        self.chol_neighbours = mc
        self.nugget = DEFAULT_NUGGET[key] if nugget is None else float(nugget)
        if not (0.0 <= self.nugget < np.inf):
            raise ValueError(f"nugget must be >= 0 and finite, got {nugget!r}")
        _kernels.build(x, z, sigma, node_of_rank, float(base.theta_z), model, tol, self.nugget, mc,
                       self._nbr, self._weight, self._count, self._scale, progress)
        self._node = np.ascontiguousarray(node_of_rank[Nchol:])
        # Variate slot of each drawn node: its position in krig_ind.
        self._slot = np.searchsorted(krig, self._node).astype(np.int32)
        self.held_bytes = Nkrig * _bytes_per_kriged(m)

    def batch_bytes(self, rows: int) -> int:
        """Scratch of one batch of ``rows`` realisations, beyond the output."""
        return int(_kernels.draw_scratch_bytes(self._N, int(rows)))

    def fill(self, out: np.ndarray, eps: Optional[np.ndarray]) -> None:
        """Writes the kriged columns of ``out`` (rows x N, C-contiguous, its
        Cholesky columns holding their values) from the variates ``eps``
        (rows x Nkrig)."""
        rows = out.shape[0]
        if self._Nkrig == 0:
            return
        if eps is None or eps.shape != (rows, self._Nkrig):
            raise ValueError(f"the conditional fill needs ({rows}, {self._Nkrig}) variates")
        if eps.dtype != np.float64 or (rows > 1 and eps.strides[0] % 8) or \
                (self._Nkrig > 1 and eps.strides[1] != 8):
            eps = np.ascontiguousarray(eps, dtype=np.float64)
        _kernels.draw(out, eps, self._mu, self._chol, self._slot, self._node, self._nbr,
                      self._weight, self._count, self._scale)

    # -- exact moments -------------------------------------------------------

    def _dense_covariance(self) -> np.ndarray:
        """The N x N covariance of the fill, by the recursion over the drawing
        order: rows of the Cholesky nodes from L_chol L_chol^T, then for each
        drawn node j, Sigma[j, :] = b_j^T Sigma[nbrs, :] and
        Sigma[j, j] = b_j^T Sigma[nbrs, nbrs] b_j + d_j^2. O(N^2 m)."""
        N, m = self._N, self.neighbours
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
            nb = self._nbr[j, :p].astype(np.intp)
            b = self._weight[j, :p]
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
