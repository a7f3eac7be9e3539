"""The kriging fill: the kriged nodes take their ordinary-kriging estimate
from the values at the Cholesky nodes, as ``get_random_field`` does, at the
sizes of real meshes.

The driver solves the ordinary-kriging system for all Nkrig right-hand sides
at once and multiplies the weights W onto the Cholesky values c. Since the
augmented matrix A = [[COV, 1], [1, 0]] is symmetric, the kriged values
W^T c are also B^T y with y = A^-1 [c; 0] and B = [C_chol_krig; 1] the
augmented cross covariance. So the fill factors A once (LU with partial
pivoting) and, for each batch of realisations, solves for that batch's
right-hand sides and multiplies by B^T, in column blocks of B computed by the
module's own ``get_C_chol_krig`` (bit for bit the driver's elements). The
realisations equal the driver's up to rounding.

The kriged nodes are ordered along a Morton curve and cut into blocks of
consecutive nodes; for each block, the Cholesky nodes too far from its
bounding box for the covariance to be anything but exactly +0.0 are left out
of that block's product (they would only add zeros). The blocks, and so the
rounding, do not depend on the batch or on the memory budget: the blocks of
B are kept when they fit the budget and computed anew for every batch when
they do not, with the same values either way. Rows are solved and multiplied
in whole groups of eight (padded with zeros), so that a row's result does not
depend on how many rows share its batch.

The kriged values are conditional means, not samples: they carry less than
the requested variance. ``variance()`` and ``covariance()`` say exactly how
much. This module never draws random numbers, never allocates more than the
budget it is given allows (it raises MemoryError first), and never changes
the arrays it is given.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any, List, Optional, Tuple

import numpy as np

import random_field

from ..budget import memory_error, sampler_bytes
from ..streams import GROUP, round_up
from .protocol import Base, frozen

__all__ = ["KrigingFill", "KrigedValues", "BLOCK"]

# Kriged nodes per column block of the cross covariance.
BLOCK = 1024

# Beyond this correlation argument the module's covariance is exactly +0.0
# (it gives +0.0 below -746 without calling exp; exp(-750) is 0 in double
# precision anyway): the Gaussian model's pi (d / theta)^2, the exponential
# model's 2 d / theta.
_ZERO_ARGUMENT = 750.0


def _zero_distance(theta: float, model: int) -> Optional[float]:
    """The distance from which the module's covariance is exactly +0.0, or
    None where no such bound is safe (theta not a positive number)."""
    try:
        theta = float(theta)
    except (TypeError, ValueError):
        return None
    if not (math.isfinite(theta) and theta > 0.0):
        return None
    if model == 0:
        return theta * math.sqrt(_ZERO_ARGUMENT / math.pi) * (1.0 + 1e-9)
    return theta * (_ZERO_ARGUMENT / 2.0) * (1.0 + 1e-9)


def _morton_order(x: np.ndarray, z: np.ndarray) -> np.ndarray:
    """A stable permutation of the nodes along a Morton (Z-order) curve."""
    n = len(x)
    if n == 0 or not (np.isfinite(x).all() and np.isfinite(z).all()):
        return np.arange(n, dtype=np.intp)
    # halved, so that no difference overflows whatever the extent
    x, z = 0.5 * x, 0.5 * z
    x0, z0 = x.min(), z.min()
    ext = max(x.max() - x0, z.max() - z0)
    if not ext > 0.0:
        return np.arange(n, dtype=np.intp)
    scale = 65535.0 / ext

    def spread(v: np.ndarray) -> np.ndarray:
        v = np.minimum((v * scale).astype(np.uint64), np.uint64(65535))
        v = (v | (v << np.uint64(8))) & np.uint64(0x00FF00FF)
        v = (v | (v << np.uint64(4))) & np.uint64(0x0F0F0F0F)
        v = (v | (v << np.uint64(2))) & np.uint64(0x33333333)
        v = (v | (v << np.uint64(1))) & np.uint64(0x55555555)
        return v

    key = spread(x - x0) | (spread(z - z0) << np.uint64(1))
    return np.argsort(key, kind="stable").astype(np.intp)


@dataclasses.dataclass(frozen=True)
class KrigingFill:
    """The kriging fill's options (it has none): the kriged nodes take their
    ordinary-kriging estimate from the Cholesky nodes, as the driver does.
    The realisations are the driver's, up to rounding; the kriged nodes carry
    less than the requested variance (and, under a trend in mu, not its
    mean)."""

    name = "kriging"

    def resolved(self, model: int) -> "KrigingFill":
        return self

    @staticmethod
    def plan(N: int, Nchol: int, Nkrig: int, model: int = 0,
             extent: Optional[Tuple[float, float]] = None) -> Tuple[int, int]:
        """(peak bytes while building, bytes held) of the smallest plan: the
        factored kriging matrix and the block tables, no cross covariance kept
        (whatever the nodes' extent)."""
        n1 = Nchol + 1
        nblocks = -(-Nkrig // BLOCK)
        held = 8 * (n1 * n1 + n1 + 3 * Nchol + 4 * Nkrig + nblocks * Nchol)
        # the Morton keys and their sort; the smallest batch: a group of rows
        # of output and its temporaries, one block of the cross covariance
        width = min(BLOCK, Nkrig)
        rp = GROUP
        batch = 8 * (rp * N + 3 * rp * n1 + n1 * width + 2 * rp * width) if Nkrig else 0
        peak = held + max(8 * 4 * Nkrig, batch)
        return peak, held

    def build(self, base: Base) -> "KrigedValues":
        return KrigedValues(base)


class KrigedValues:
    """The built kriging fill: kriged values ``W.T @ chol`` with the driver's
    ordinary-kriging weights, computed as ``B.T @ solve(A, [chol; 0])`` from
    one factorisation of A. Read-only once built: every solve gets pivots of
    its own (LAPACK's wrapper adjusts them in place while the interpreter
    lock is released)."""

    name = "kriging"
    n_variates = 0
    threaded = False
    # Rows drawn together are bounded so that the temporaries of one batch
    # stay near 64 MiB, whatever the memory budget allows.
    batch_cap_bytes = 1 << 26

    def __init__(self, base: Base) -> None:
        self.base = base
        N, Nchol, Nkrig = base.N, base.Nchol, base.Nkrig
        step = base.progress if base.progress is not None else (lambda s, d, t: None)
        ci, ki = base.chol_ind, base.krig_ind
        self.theta = base.theta_z
        self.model = base.model
        self.xc = frozen(np.ascontiguousarray(base.x[ci], dtype=np.float64))
        self.zc = frozen(np.ascontiguousarray(base.z[ci], dtype=np.float64))
        self.sc = frozen(np.ascontiguousarray(base.sigma[ci], dtype=np.float64))

        # The augmented ordinary-kriging matrix, as get_krig_field builds it
        # from the unjittered COV, factored once.
        step("kriging factorisation", 0, 1)
        if base.COV is None:
            raise ValueError("the kriging fill is built from the covariance of the Cholesky nodes")
        n1 = Nchol + 1
        A = np.empty((n1, n1), order="F")
        A[:Nchol, :Nchol] = base.COV
        A[:Nchol, Nchol] = 1.0
        A[Nchol, :Nchol] = 1.0
        A[Nchol, Nchol] = 0.0
        lu, piv = _factor(A)
        del A
        self._lu, self._piv = frozen(lu), frozen(piv)
        step("kriging factorisation", 1, 1)

        # Column blocks of kriged nodes along a Morton curve, and for each the
        # Cholesky nodes it cannot do without.
        xk_all = np.asarray(base.x[ki], dtype=np.float64)
        zk_all = np.asarray(base.z[ki], dtype=np.float64)
        sk_all = np.asarray(base.sigma[ki], dtype=np.float64)
        order = _morton_order(xk_all, zk_all)
        for s in range(0, Nkrig, BLOCK):
            # within a block, in node order: the writes of a row go forward
            order[s:s + BLOCK] = np.sort(order[s:s + BLOCK])
        self.xk = frozen(np.ascontiguousarray(xk_all[order]))
        self.zk = frozen(np.ascontiguousarray(zk_all[order]))
        self.sk = frozen(np.ascontiguousarray(sk_all[order]))
        del xk_all, zk_all, sk_all
        self.out_cols = frozen(np.ascontiguousarray(ki[order]))
        self.starts = tuple(range(0, Nkrig, BLOCK))
        dcut = _zero_distance(self.theta, self.model)
        finite = bool(np.isfinite(self.xc).all() and np.isfinite(self.zc).all()
                      and np.isfinite(self.sc).all() and np.isfinite(self.xk).all()
                      and np.isfinite(self.zk).all() and np.isfinite(self.sk).all())
        rows: List[Optional[np.ndarray]] = []
        nnz = 0
        for s in self.starts:
            e = min(s + BLOCK, Nkrig)
            r: Optional[np.ndarray] = None
            if dcut is not None and finite:
                bx0, bx1 = self.xk[s:e].min(), self.xk[s:e].max()
                bz0, bz1 = self.zk[s:e].min(), self.zk[s:e].max()
                with np.errstate(over="ignore"):   # far nodes are far, inf or not
                    dx = np.maximum(np.maximum(bx0 - self.xc, self.xc - bx1), 0.0)
                    dz = np.maximum(np.maximum(bz0 - self.zc, self.zc - bz1), 0.0)
                    near = np.flatnonzero(np.hypot(dx, dz) < dcut)
                if len(near) < Nchol:
                    r = frozen(near.astype(np.intp))
            rows.append(r)
            nnz += (Nchol if r is None else len(r)) * (e - s)
        self.rows = tuple(rows)
        self._cache_bytes = 8 * nnz

        # Keep the blocks when they fit beside the sampler's own arrays, what
        # the fill holds anyway, and one batch of a group of rows.
        reserve = sampler_bytes(N, Nchol) + self.held_bytes(cache=False)
        smallest = reserve + self._batch_bytes(GROUP, kept=False) + 8 * GROUP * N
        if smallest > base.max_memory:
            raise memory_error("one batch of the kriging fill", smallest, base.max_memory,
                               N, Nchol, Nkrig, "raise max_memory or use a larger Dhchol")
        keep = self._keep(reserve + self._cache_bytes + self._batch_bytes(GROUP, kept=True)
                          + 8 * GROUP * N)
        self.B: Optional[Tuple[np.ndarray, ...]] = None
        if keep:
            blocks = []
            for b in range(len(self.starts)):
                step("cross covariance", b, len(self.starts))
                blocks.append(frozen(self._block(b)))
            step("cross covariance", len(self.starts), len(self.starts))
            self.B = tuple(blocks)
        # Every batch costs a pass over the cross covariance when its blocks
        # are not kept: batches should then be as large as the budget allows.
        self.large_batches = self.B is None and Nkrig > 0

    # ------------------------------------------------------------------

    def _keep(self, need: int) -> bool:
        """Whether the blocks of the cross covariance are kept: when `need`,
        the bytes with them and one batch, fits the budget."""
        return need <= self.base.max_memory

    def cache_bytes(self) -> int:
        """The blocks of the cross covariance, kept when they fit."""
        return self._cache_bytes

    def held_bytes(self, cache: Optional[bool] = None) -> int:
        _, held = KrigingFill.plan(self.base.N, self.base.Nchol, self.base.Nkrig)
        if cache is None:
            cache = self.B is not None
        return held + (self._cache_bytes if cache else 0)

    def _block(self, b: int, full: bool = False) -> np.ndarray:
        """Block b of the cross covariance: its Cholesky rows (all of them
        with `full`, zeros included) by its kriged columns, by get_C_chol_krig."""
        s = self.starts[b]
        e = min(s + BLOCK, self.base.Nkrig)
        r = None if full else self.rows[b]
        pick: Any = slice(None) if r is None else r
        # The module's functions take writable buffers: private copies (they
        # write nothing; the fill's own arrays stay read-only).
        return random_field.get_C_chol_krig(
            np.array(self.xc[pick]), np.array(self.zc[pick]), np.array(self.xk[s:e]),
            np.array(self.zk[s:e]), self.theta, self.model, np.array(self.sc[pick]),
            np.array(self.sk[s:e]))

    def _batch_bytes(self, rows: int, kept: bool) -> int:
        rp = round_up(max(rows, 1))
        n1 = self.base.Nchol + 1
        width = min(BLOCK, self.base.Nkrig)
        # the right-hand sides and the solution, the gathered solution rows of
        # one block, one block of B when it is not kept, the block's product
        return 8 * (2 * rp * n1 + rp * n1 + (0 if kept else n1 * width) + 2 * rp * width)

    def batch_bytes(self, rows: int, cache: Optional[bool] = None) -> int:
        """Temporaries of one batch of `rows` realisations, beyond the output."""
        if self.base.Nkrig == 0:
            return 0
        return self._batch_bytes(rows, kept=self.B is not None if cache is None else cache)

    def _solve(self, rhs: np.ndarray) -> np.ndarray:
        """A^-1 rhs for rhs (Nchol + 1, m), Fortran-ordered, overwritten. The
        pivots are a private copy: the wrapper adjusts them in place."""
        from scipy.linalg import lapack
        x, info = lapack.dgetrs(self._lu, np.array(self._piv), rhs, trans=0, overwrite_b=1)
        if info != 0:  # pragma: no cover - only for arguments this module never passes
            raise ValueError(f"dgetrs: illegal argument {-info}")
        return x

    def fill(self, out: np.ndarray, eps: Optional[np.ndarray]) -> None:
        """Write the kriged values of the realisations in `out` (rows, N),
        whose Cholesky-node values are in place."""
        base = self.base
        if base.Nkrig == 0 or len(out) == 0:
            return
        rows, Nchol = len(out), base.Nchol
        rp = round_up(rows)
        # [c; 0] for every row, as the columns of a Fortran-ordered matrix
        # (its transpose is C-ordered rows of Nchol + 1)
        Y = np.zeros((rp, Nchol + 1))
        Y[:rows, :Nchol] = out[:, base.chol_ind]
        Y = self._solve(Y.T).T                      # (rp, Nchol + 1), C-ordered
        lam = Y[:, Nchol:Nchol + 1]
        Yc = np.ascontiguousarray(Y[:, :Nchol])
        del Y
        for b, s in enumerate(self.starts):
            e = min(s + BLOCK, base.Nkrig)
            B = self.B[b] if self.B is not None else self._block(b)
            r = self.rows[b]
            Yb = Yc if r is None else Yc[:, r]
            R = Yb @ B
            del B, Yb
            R += lam
            cols = self.out_cols[s:e]
            for i in range(rows):   # one row at a time: numpy's fast 1-D scatter
                out[i, cols] = R[i]

    # ------------------------------------------------------------------
    # The weights and what they imply, in column blocks

    def _free(self) -> int:
        b = self.base
        return b.max_memory - self.held_bytes() - sampler_bytes(b.N, b.Nchol)

    def _weights(self, cols: np.ndarray) -> np.ndarray:
        """The weights (Nchol, len(cols)) of the kriged nodes at the given
        positions of krig_ind: the first Nchol rows of A^-1 [C; 1]."""
        base = self.base
        ki = base.krig_ind[cols]
        rhs = np.empty((base.Nchol + 1, len(cols)), order="F")
        rhs[:base.Nchol] = random_field.get_C_chol_krig(
            np.array(self.xc), np.array(self.zc), np.array(base.x[ki], dtype=np.float64),
            np.array(base.z[ki], dtype=np.float64), self.theta, self.model,
            np.array(self.sc), np.array(base.sigma[ki], dtype=np.float64))
        rhs[base.Nchol] = 1.0
        return self._solve(rhs)[:base.Nchol]

    def _columns(self, n: int, what: str, fixed: int) -> int:
        """Columns per block for a computation that holds `fixed` bytes and
        about 3 (Nchol + 1) doubles per column of a block."""
        base = self.base
        per = 8 * 3 * (base.Nchol + 1)
        room = self._free() - fixed
        if room < per * min(n, GROUP):
            raise memory_error(what, self.base.max_memory - self._free() + fixed
                               + per * min(n, GROUP), base.max_memory,
                               base.N, base.Nchol, base.Nkrig)
        return int(max(1, min(n, BLOCK, room // per)))

    def weights(self) -> np.ndarray:
        """W (Nchol x Nkrig), in krig_ind order; MemoryError when it does not fit."""
        base = self.base
        W = 8 * base.Nchol * base.Nkrig
        width = self._columns(base.Nkrig, "the kriging weights W", W)
        out = np.empty((base.Nchol, base.Nkrig))
        for s in range(0, base.Nkrig, width):
            cols = np.arange(s, min(s + width, base.Nkrig))
            out[:, cols] = self._weights(cols)
        return out

    @property
    def W(self) -> np.ndarray:
        """The weights, read-only (computed at each access)."""
        W = self.weights()
        W.flags.writeable = False
        return W.view()

    def variance(self) -> np.ndarray:
        """(Nkrig,) diag(W^T Sigma W), Sigma = L_chol L_chol^T the jittered
        covariance of the Cholesky nodes, in krig_ind order."""
        base = self.base
        L = base.L_chol
        width = self._columns(base.Nkrig, "the variance of the kriging fill", 8 * base.Nkrig)
        v = np.empty(base.Nkrig)
        step = base.progress if base.progress is not None else (lambda s, d, t: None)
        for s in range(0, base.Nkrig, width):
            step("variance", s, base.Nkrig)
            cols = np.arange(s, min(s + width, base.Nkrig))
            G = np.transpose(L) @ self._weights(cols)
            v[cols] = np.einsum("ij,ij->j", G, G)
        step("variance", base.Nkrig, base.Nkrig)
        return v

    def covariance(self, nodes: np.ndarray) -> np.ndarray:
        """The covariance of the realisations between the given node indices:
        G^T G with G = L_chol^T M, M holding a unit column for a Cholesky node
        and the weights of a kriged node."""
        base = self.base
        m = len(nodes)
        fixed = 8 * (m * m + 2 * base.Nchol * m)
        width = self._columns(m, f"the covariance of {m} nodes", fixed)
        pos_c = np.searchsorted(base.chol_ind, nodes)
        is_c = (pos_c < base.Nchol) & (base.chol_ind[np.minimum(pos_c, base.Nchol - 1)] == nodes)
        pos_k = np.searchsorted(base.krig_ind, nodes)
        LT = np.transpose(base.L_chol)
        G = np.empty((base.Nchol, m))
        for s in range(0, m, width):
            sel = np.arange(s, min(s + width, m))
            M = np.zeros((base.Nchol, len(sel)))
            c = sel[is_c[sel]]
            M[pos_c[c], c - s] = 1.0
            k = sel[~is_c[sel]]
            if len(k):
                M[:, k - s] = self._weights(pos_k[k])
            G[:, sel] = LT @ M
        C = np.transpose(G) @ G
        del G
        C += np.transpose(C)
        C *= 0.5
        return C


def _factor(A: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """LU with partial pivoting of the augmented kriging matrix, in place;
    numpy's LinAlgError, saying what to change, when it is singular."""
    from scipy.linalg import lapack
    n = len(A)
    lu, piv, info = lapack.dgetrf(A, overwrite_a=1)
    if info > 0:
        raise np.linalg.LinAlgError(
            f"Singular matrix: the ordinary-kriging matrix of the {n - 1} Cholesky nodes "
            f"({n} x {n}, their covariance with a row and a column of ones) has an exactly zero "
            f"pivot ({info}); two Cholesky nodes coincide or are too alike for double precision: "
            f"use a larger Dhchol, or remove duplicate nodes")
    if info < 0:  # pragma: no cover - only for arguments this module never passes
        raise ValueError(f"dgetrf: illegal argument {-info}")
    return lu, piv
