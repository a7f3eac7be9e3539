"""What a sampler asks of a fill: the protocol of the kriged nodes' values.

A fill comes in two parts. Its *options* (``KrigingFill()``,
``ConditionalFill(neighbours=60, ...)``: small frozen values, what a user
passes as ``Sampler(fill=...)``) say how much memory it will take and build
it from the sampler's ``Base``. The *built* fill holds the read-only arrays
from which the kriged values of every batch are computed: a sampler and its
fill are shared by threads, so nothing a built fill holds changes once it is
built, and every call into a library that may write its arguments gets
arrays of its own.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Optional, Protocol, Tuple

import numpy as np

__all__ = ["Base", "Fill", "FillOptions", "ProgressCallback", "frozen"]

ProgressCallback = Callable[[str, int, int], None]


def frozen(a: Any) -> np.ndarray:
    """A read-only view of `a`, made read-only itself (the flag of a view
    cannot be turned back on while its base is read-only); a view into a
    writable array is copied first, since its owner could still write it."""
    a = np.asarray(a)
    root = a
    while isinstance(root.base, np.ndarray):
        root = root.base
    if root is not a and root.flags.writeable:
        a = a.copy()
    a.flags.writeable = False
    return a.view()


@dataclasses.dataclass
class Base:
    """What every fill builds from: the nodes, the model and the Cholesky part."""
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
    Dhchol: float          # the Cholesky nodes' spacing
    max_memory: int
    progress: Optional[ProgressCallback] = None
    COV: Optional[np.ndarray] = None   # unjittered, released once the fill is built
    # measured data (conditioning.Data), or None
    data: Any = None


class Fill(Protocol):
    """A built fill."""

    name: str
    # standard normal variates per realisation beyond the Nchol of the
    # Cholesky nodes
    n_variates: int
    # whether each batch pays a pass over data the fill could not keep: then
    # batches are as large as the budget allows
    large_batches: bool
    # the temporaries of one batch are kept near this many bytes
    batch_cap_bytes: int
    # whether ``fill`` spreads a batch over the cores itself (else the
    # sampler calls it on one group of rows at a time, side by side)
    threaded: bool

    def fill(self, out: np.ndarray, eps: Optional[np.ndarray]) -> None:
        """Write the kriged columns of the rows `out` (rows, N), whose
        Cholesky columns hold their values, from the variates `eps`
        (rows, n_variates), or None when n_variates is 0."""

    def variance(self) -> np.ndarray:
        """The exact variance at the kriged nodes, in krig_ind order."""

    def covariance(self, nodes: np.ndarray) -> np.ndarray:
        """The exact covariance between the given node indices."""

    def held_bytes(self, cache: Optional[bool] = None) -> int:
        """What the built fill holds (with its optional cache, or without
        it, or as built when `cache` is None)."""

    def batch_bytes(self, rows: int, cache: Optional[bool] = None) -> int:
        """The temporaries of one batch of `rows` rows, beyond the output."""

    def cache_bytes(self) -> int:
        """The fill's optional cache, kept when it fits the budget (0 when it has none)."""


class FillOptions(Protocol):
    """A fill's options, before it is built."""

    name: str

    def plan(self, N: int, Nchol: int, Nkrig: int, model: int) -> Tuple[int, int]:
        """(peak bytes while building, bytes held once built) of the
        smallest plan, before anything is built."""

    def build(self, base: Base) -> Fill:
        """The built fill."""

    def resolved(self, model: int) -> Any:
        """The options with every default made explicit for `model`."""
