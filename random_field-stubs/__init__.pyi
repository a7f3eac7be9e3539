"""Type stub of the random_field extension module."""
import array
from typing import Any, Optional, SupportsFloat, SupportsIndex, SupportsInt, Union

import numpy
from numpy.typing import NDArray

# The module binds numpy to `np` when it is imported.
np = numpy

# A float64 array parameter: any writable one-dimensional buffer of native
# doubles (a float64 array of any stride, array.array("d")), or None for an
# empty array.
_Float64Array = Union[NDArray[np.float64], array.array[float], None]
# A real parameter: whatever converts to a float, by __float__ or __index__.
_Real = Union[SupportsFloat, SupportsIndex]

__test__: dict[Any, Any]

def get_COV(
    x: _Float64Array,
    z: _Float64Array,
    theta: _Real,
    model: SupportsInt,
    sigma: _Float64Array,
) -> NDArray[np.float64]: ...
def get_C_chol_krig(
    xchol: _Float64Array,
    zchol: _Float64Array,
    xkrig: _Float64Array,
    zkrig: _Float64Array,
    theta: _Real,
    model: SupportsInt,
    sigma_chol: _Float64Array,
    sigma_krig: _Float64Array,
) -> NDArray[np.float64]: ...
def get_chol_krig_nodes(
    x: _Float64Array, z: _Float64Array, dist_max: _Real
) -> list[NDArray[Any]]: ...
def get_chol_field(COV: Any, mu: Any) -> NDArray[Any]: ...
def get_krig_field(COV: Any, C_chol_krig: Any, chol_field: Any) -> NDArray[Any]: ...
def sort_nodes(x: _Float64Array, z: _Float64Array) -> list[NDArray[np.float64]]: ...
def get_random_field(**kwargs: Any) -> Optional[NDArray[np.float64]]: ...
