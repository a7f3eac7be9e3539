"""Inclined bedding: the rotation of the coordinates into the bedding frame.

A field whose correlation length ``theta_x`` lies along a direction at
``angle`` degrees anticlockwise from the x axis (bedding dipping at that
angle) is drawn as an axis-aligned one in the bedding frame::

    u =  x cos a + z sin a      (along the bedding)
    w = -x sin a + z cos a      (across it)

and u is then stretched by theta_z / theta_x as for any anisotropic field.
Multiples of 90 degrees use exact sines and cosines (0 and +-1), so that a
quarter turn swaps the axes without rounding.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Tuple

import numpy as np

__all__ = ["check_angle", "rotate"]


def check_angle(angle: Any) -> float:
    """`angle` (degrees) as a float: TypeError for a bool or anything not a
    real number, ValueError for one that is not finite."""
    ok = isinstance(angle, numbers.Real) and not isinstance(angle, (bool, np.bool_))
    if isinstance(angle, np.ndarray) and angle.ndim == 0 and angle.dtype.kind in "iuf":
        ok = True
    if not ok:
        raise TypeError(f"angle must be a real number of degrees, not {type(angle).__name__}")
    a = float(angle)
    if not math.isfinite(a):
        raise ValueError(f"angle must be finite (degrees anticlockwise from the x axis), got {a!r}")
    return a


def _cos_sin(angle: float) -> Tuple[float, float]:
    a = angle % 360.0
    quarter = {0.0: (1.0, 0.0), 90.0: (0.0, 1.0), 180.0: (-1.0, 0.0), 270.0: (0.0, -1.0)}
    if a in quarter:
        return quarter[a]
    r = math.radians(a)
    return math.cos(r), math.sin(r)


def rotate(x: np.ndarray, z: np.ndarray, angle: float) -> Tuple[np.ndarray, np.ndarray]:
    """The coordinates (u, w) in the bedding frame of `angle` degrees: new
    float64 arrays, or x and z themselves when the angle is 0. ValueError
    when a rotated coordinate leaves the range of 64-bit floats."""
    if angle == 0:
        return x, z
    c, s = _cos_sin(angle)
    x = np.asarray(x, dtype=np.float64)
    z = np.asarray(z, dtype=np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        u = x * c + z * s
        w = z * c - x * s
    if not (np.isfinite(u).all() and np.isfinite(w).all()):
        raise ValueError(f"angle {angle:g}: the coordinates rotated into the bedding frame are "
                         f"beyond the range of 64-bit floats")
    return u, w
