"""The kriging fill: the kriged nodes take their ordinary-kriging estimate
from the values at the Cholesky nodes, as ``get_random_field`` does.

The kriged values are conditional means, not samples: they carry less than
the requested variance. ``variance()`` and ``covariance()`` say exactly how
much. This module never draws random numbers: the fill is a linear map of the
Cholesky-node values.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

import random_field

__all__ = ["KrigingFill"]


class KrigingFill:
    """Kriged values ``W.T @ chol`` with the driver's ordinary-kriging weights.

    The weights are the first Nchol rows of the solution of the augmented
    system ``[[COV, 1], [1, 0]] @ krig = [[C_chol_krig], [1]]``, solved the
    way ``get_krig_field`` solves it.
    """

    name = "kriging"
    n_variates = 0

    @staticmethod
    def plan(N: int, Nchol: int, Nkrig: int, **options: Any) -> Tuple[int, int]:
        """(peak bytes while building, bytes held) of the weights."""
        held = 8 * (Nchol + 1) * Nkrig
        # the cross covariance, the augmented right-hand side, numpy's copy
        # of it and the solution, with the augmented matrix
        peak = 4 * held + 2 * 8 * (Nchol + 1) ** 2
        return peak, held

    def __init__(self, base: Any, **options: Any) -> None:
        self.base = base
        Nchol, Nkrig = base.Nchol, base.Nkrig
        ci, ki = base.chol_ind, base.krig_ind
        C_chol_krig = random_field.get_C_chol_krig(
            base.x[ci], base.z[ci], base.x[ki], base.z[ki], base.theta_z, base.model,
            base.sigma[ci], base.sigma[ki])
        rhs = np.vstack((C_chol_krig, np.ones(Nkrig)))
        del C_chol_krig
        A = np.hstack((base.COV, np.transpose([np.ones(Nchol)])))
        A = np.vstack((A, np.ones(Nchol + 1)))
        A[Nchol, Nchol] = 0.0
        krig = np.linalg.solve(A, rhs)
        del A, rhs
        krig.flags.writeable = False
        self._krig = krig
        self.held_bytes = krig.nbytes

    @property
    def W(self) -> np.ndarray:
        """The weights (Nchol x Nkrig), a read-only view of the solution."""
        return self._krig[0:self.base.Nchol, 0:self.base.Nkrig]

    def batch_bytes(self, rows: int) -> int:
        return 8 * rows * (self.base.Nchol + self.base.Nkrig)

    def fill(self, out: np.ndarray, eps: Optional[np.ndarray]) -> None:
        base = self.base
        chol = out[:, base.chol_ind]
        if len(out) == 1:  # the driver's own product
            out[0, base.krig_ind] = np.transpose(self.W) @ chol[0]
        else:
            out[:, base.krig_ind] = chol @ self.W

    def _loadings(self, nodes: np.ndarray) -> np.ndarray:
        """G (Nchol x len(nodes)): each node's value is mu + G[:, i] . (chol - mu_chol)."""
        base = self.base
        G = np.zeros((base.Nchol, len(nodes)))
        pos_c = np.searchsorted(base.chol_ind, nodes)
        is_c = (pos_c < base.Nchol) & (base.chol_ind[np.minimum(pos_c, base.Nchol - 1)] == nodes)
        G[pos_c[is_c], np.flatnonzero(is_c)] = 1.0
        pos_k = np.searchsorted(base.krig_ind, nodes[~is_c])
        G[:, np.flatnonzero(~is_c)] = self.W[:, pos_k]
        return G

    def variance(self) -> np.ndarray:
        LtW = np.transpose(self.base.L_chol) @ self.W
        return np.einsum("ij,ij->j", LtW, LtW)

    def covariance(self, nodes: np.ndarray) -> np.ndarray:
        LtG = np.transpose(self.base.L_chol) @ self._loadings(nodes)
        return np.transpose(LtG) @ LtG
