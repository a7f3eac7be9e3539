"""Checks and conversions of the keyword arguments of ``Sampler``.

The extension's driver takes almost anything and mishandles some of it
silently: one NaN coordinate makes the whole field NaN, a negative or zero
correlation length gives a field or NaN, a misspelt keyword is ignored.
``check_sampler_arguments`` refuses such input before any work, with a
ValueError or TypeError naming the argument, and converts what users
commonly have (integer, float32, read-only or broadcast arrays, lists,
tuples) to the float64 arrays the extension's functions read.

The driver's own diagnostics (a missing key, arrays of different lengths)
keep their printed line, their wording and the order in which the driver
tests them; every new check runs after them. This module never changes the
caller's objects and never draws random numbers.
"""

from __future__ import annotations

import builtins
import difflib
import numbers
import operator
from typing import Any, Collection, Dict, Mapping, NoReturn, Optional, Tuple

import numpy as np

__all__ = ["check_sampler_arguments", "variates", "check_finite", "refuse", "refuse_bool", "integer", "indices",
           "unknown_keywords", "REQUIRED"]

# The keys get_random_field requires, in the order in which it tests them.
REQUIRED = ("x", "z", "theta_z", "mu", "sigma")


def refuse(message: str) -> NoReturn:
    """Print the driver's diagnostic line, then raise it: a half-made sampler
    is of no use, so the constructor cannot just return."""
    builtins.print(message)
    raise ValueError(message)


def refuse_bool(name: str, value: Any) -> None:
    """TypeError for a bool where a count, a seed or a size is expected
    (Python takes True for 1): the one message for every such argument."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not a bool ({bool(value)!r})")


def integer(name: str, value: Any, minimum: Optional[int] = None) -> int:
    """A count, an index or a size as a Python int: bools refused by
    ``refuse_bool``, other non-integers by TypeError, values below `minimum`
    by ValueError."""
    refuse_bool(name, value)
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if minimum is not None and v < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {v}")
    return v


def indices(what: str, values: Any, n: int) -> np.ndarray:
    """`values` as indices into n items (negative ones counted from the
    end), flat, intp: TypeError for anything but integers, IndexError for
    one out of range, naming `what` they index."""
    a = np.asarray(values)
    if a.dtype.kind not in "iu":
        raise TypeError(f"covariance() takes {what} indices, not {a.dtype}")
    a = a.astype(np.intp).reshape(-1)
    if len(a) and (a.min() < -n or a.max() >= n):
        raise IndexError(f"covariance(): {what} indices must be in 0 .. {n - 1}")
    return np.where(a < 0, a + n, a)


def _is_scalar(value: Any) -> bool:
    """A scalar as the driver sees it (``np.isscalar``), or a 0-d array,
    which the driver would fail to take the length of."""
    return bool(np.isscalar(value)) or (isinstance(value, np.ndarray) and value.ndim == 0)


def _real_kind(a: np.ndarray) -> bool:
    return a.dtype.kind in "iuf"


def _unsized(name: str) -> NoReturn:
    raise TypeError(f"{name} must be a sequence of coordinates (an array, list or tuple), "
                    f"not a single value")


def _coordinates(name: str, raw: np.ndarray) -> np.ndarray:
    """A new, writable, contiguous float64 copy of one coordinate array."""
    if not _real_kind(raw):
        raise TypeError(f"{name} must hold real numbers, not {raw.dtype}")
    if raw.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {raw.shape}")
    a = np.array(raw, dtype=np.float64, order="C", copy=True)
    bad = ~np.isfinite(a)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"{name}[{i}] = {float(a[i])!r} is not finite: every coordinate must be")
    return a


def _per_node(name: str, value: Any, n: int) -> np.ndarray:
    """sigma or mu as float64 values, one per node: a scalar is spread over
    the nodes as the driver does; a sequence (a list, a tuple or an array of
    any real type) is converted. Its length is left to the caller's test."""
    if _is_scalar(value):
        if not _real_kind(np.asarray(value)):
            raise TypeError(f"{name} must be a real number or one per node, "
                            f"not {type(value).__name__}")
        return np.full(n, value, dtype=np.float64)
    a = np.asarray(value)
    if not _real_kind(a):
        raise TypeError(f"{name} must hold real numbers, not {a.dtype}")
    if a.ndim != 1:
        raise ValueError(f"{name} must be one number or a one-dimensional sequence, "
                         f"got shape {a.shape}")
    return np.array(a, dtype=np.float64, copy=True)


def _length(name: str, value: Any) -> float:
    """A correlation length: a real number, positive and finite."""
    ok = isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))
    if isinstance(value, np.ndarray) and value.ndim == 0 and _real_kind(value):
        ok = True
    if not ok:
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    v = float(value)
    if not (np.isfinite(v) and v > 0.0):
        raise ValueError(f"{name} must be positive and finite, got {v!r}")
    return v


def unknown_keywords(kwargs: Dict[str, Any], accepted: Collection[str], caller: str) -> None:
    """TypeError for the first key not in `accepted`, naming the closest accepted one."""
    for key in kwargs:
        if key in accepted:
            continue
        lowered = {a.lower(): a for a in accepted}
        close = difflib.get_close_matches(str(key).lower(), list(lowered), n=1, cutoff=0.6)
        hint = f"; did you mean {lowered[close[0]]!r}?" if close else ""
        raise TypeError(f"{caller}() got an unexpected keyword argument {key!r}{hint} "
                        f"(accepted: {', '.join(accepted)})")


def check_sampler_arguments(kwargs: Dict[str, Any], accepted: Collection[str],
                            caller: str = "Sampler") -> Dict[str, Any]:
    """Check the keyword arguments of one sampler and return a new dictionary
    in which ``x``, ``z``, ``mu`` and ``sigma`` are new float64 arrays of one
    value per node, and ``theta_z`` and ``theta_x`` (where given) are floats.
    Other keys are passed on unchanged. ``kwargs`` itself is not modified.

    In this order:

    1. the driver's diagnostics, in the driver's order, each printed and
       raised as ValueError: a missing required key, x and z of different
       lengths, sigma then mu of a length other than the nodes';
    2. a key not in ``accepted``: TypeError naming it and the closest
       accepted name;
    3. the values: coordinates that are not real numbers (TypeError) or not
       finite (ValueError); ``theta_z`` and ``theta_x`` not real (TypeError)
       or not positive and finite; ``sigma`` negative or not finite; ``mu``
       not finite; stretched coordinates x * theta_z / theta_x or
       covariances sigma_i * sigma_j that overflow (ValueError).
    """
    out = dict(kwargs)
    for r in REQUIRED:
        if r not in out:
            refuse(r + ' must be included like this "' + r + '= value"')
    x_raw = np.asarray(out["x"])
    z_raw = np.asarray(out["z"])
    for name, raw in (("x", x_raw), ("z", z_raw)):
        if raw.ndim == 0:
            _unsized(name)
    n = len(x_raw)
    if n != len(z_raw):
        refuse("x and z arrays must have the same number of elements")
    sigma = _per_node("sigma", out["sigma"], n)
    if len(sigma) != n:
        refuse("sigma array must be same length as x- ans z- arrays")
    mu = _per_node("mu", out["mu"], n)
    if len(mu) != n:
        refuse("mu array must be same length as x- and z- arrays")

    unknown_keywords(out, accepted, caller)

    x = _coordinates("x", x_raw)
    z = _coordinates("z", z_raw)
    theta_z = _length("theta_z", out["theta_z"])
    theta_x = _length("theta_x", out["theta_x"]) if "theta_x" in out else theta_z
    bad = ~np.isfinite(sigma) | (sigma < 0.0)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"sigma must be >= 0 and finite, got sigma[{i}] = {float(sigma[i])!r}")
    bad = ~np.isfinite(mu)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"mu must be finite, got mu[{i}] = {float(mu[i])!r}")
    if n:
        with np.errstate(over="ignore", invalid="ignore"):
            stretched = np.abs(x).max() * theta_z / theta_x
            largest = sigma.max() * sigma.max()
        if not np.isfinite(stretched):
            raise ValueError(f"theta_z / theta_x = {theta_z!r} / {theta_x!r} stretches x beyond "
                             f"the range of 64-bit floats (x * theta_z / theta_x overflows)")
        if not np.isfinite(largest):
            raise ValueError(f"sigma up to {float(sigma.max())!r} makes covariances sigma_i * sigma_j "
                             f"beyond the range of 64-bit floats")

    out["x"], out["z"], out["sigma"], out["mu"] = x, z, sigma, mu
    out["theta_z"] = theta_z
    if "theta_x" in out:
        out["theta_x"] = theta_x
    return out


def variates(xi: Any, n: int) -> Tuple[np.ndarray, bool]:
    """(V, one): standard normal variates of ``field(xi)`` as a new (k, n)
    C-contiguous float64 array, and whether `xi` was one vector (n,).
    TypeError for anything but real numbers (bools included), ValueError
    for another shape or a variate that is not finite (naming it)."""
    a = np.asarray(xi)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"field() takes standard normal variates (real numbers), not {a.dtype}")
    if a.ndim not in (1, 2) or a.shape[-1] != n:
        raise ValueError(f"field() takes {n} variates per realisation: an array of shape "
                         f"({n},) or (k, {n}), got shape {a.shape}")
    V = np.array(a, dtype=np.float64, ndmin=2, order="C")
    bad = ~np.isfinite(V)
    if bad.any():
        at = np.unravel_index(int(np.argmax(bad)), V.shape)
        where = str(int(at[1])) if a.ndim == 1 else f"({int(at[0])}, {int(at[1])})"
        raise ValueError(f"field(): variate {where} is {float(V[at])!r}: "
                         f"every variate must be finite")
    return V, a.ndim == 1


def check_finite(values: Mapping[str, np.ndarray], first: int = 0) -> None:
    """FloatingPointError naming the property, the realisation (rows are
    realisations first, first + 1, ...) and the point of the first value
    that is not finite: never written as if it were a field."""
    for name, rows in values.items():
        bad = ~np.isfinite(rows)
        if bad.any():
            r, c = (int(i) for i in np.argwhere(bad)[0])
            raise FloatingPointError(f"{name}: realisation {first + r} is not finite at point {c} "
                                     f"({float(rows[r, c])!r})")
