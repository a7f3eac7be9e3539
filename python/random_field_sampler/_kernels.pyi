"""Type stub of the conditional fill's kernels (a C++ extension).

Every size is taken from the arrays: int32 index arrays (node indices in
0 .. N-1), float64 coordinate and factor arrays, C-contiguous (eps: rows of
contiguous elements). A mismatch raises ValueError, a wrong type or a
read-only output TypeError.
"""
from typing import Any, Callable, Optional, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]
_I32 = NDArray[np.int32]
_I64 = NDArray[np.int64]
_Progress = Optional[Callable[[str, int, int], Any]]

def maxmin(x: _F64, z: _F64, chol_ind: _I32, krig_ind: _I32, out: _I32) -> None: ...
def order(x: _F64, z: _F64, chol_ind: _I32, krig_ind: _I32, out: _I32,
          dist: SupportsFloat) -> None: ...
def neighbours(x: _F64, z: _F64, node_of_rank: _I32, out: _I32) -> None: ...
def build(x: _F64, z: _F64, sigma: _F64, node_of_rank: _I32, theta: SupportsFloat,
          model: SupportsIndex, tol: SupportsFloat, nugget: SupportsFloat,
          chol_neighbours: SupportsIndex, start: _I64, nbr: _I32, weight: _F64, count: _I32,
          scale: _F64, progress: _Progress = None, candidates: SupportsIndex = 0,
          gain: SupportsFloat = 0.0, noise: Optional[_F64] = None,
          first_datum: SupportsIndex = -1, data_slots: Optional[_I32] = None) -> None: ...
def pack(start: _I64, count: _I32, nbr: _I32, weight: _F64) -> int: ...
def draw(out: _F64, eps: _F64, mu: _F64, chol_ind: _I32, slot: _I32, node: _I32, start: _I64,
         nbr: _I32, weight: _F64, count: _I32, scale: _F64,
         fixed: Optional[_F64] = None) -> None: ...
def draw_scratch_bytes(N: SupportsIndex, rows: SupportsIndex) -> int: ...
def threads() -> int: ...
