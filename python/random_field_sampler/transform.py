"""Mean, trend and marginal distribution: from the field that is drawn to the
values that are asked for, in one place for every path (``Sampler``, the
command line, the workers of a zarr store).

A field is drawn as a Gaussian field ``g`` (the fills' work) and its values
are ``f(shift + scale * g)`` node by node, with ``f`` the identity for a
normal field and ``exp`` for a lognormal one. ``parameters`` decides what to
draw and what to apply afterwards:

- a normal field of a constant or node-wise mean, drawn as it is: the fill
  gets the mean and sd (the driver's way), and nothing is applied after;
- a normal field drawn ``standard`` (mean 0, sd 1) and then scaled and
  shifted: what a varying mean needs under the kriging fill, whose kriged
  values are weighted means of the Cholesky values and would smooth a trend
  drawn into the field;
- a lognormal field of mean ``mean`` and sd ``sd`` in the property's own
  units: always drawn standard, then ``exp(mu_ln + sigma_ln * g)`` with
  ``sigma_ln**2 = ln(1 + (sd / mean)**2)`` and
  ``mu_ln = ln(mean) - sigma_ln**2 / 2``.

- any other continuous marginal (a frozen ``scipy.stats`` distribution,
  ``marginal``): ``F^-1(Phi(shift + scale * g))``, the tails taken with
  care: ``ppf(Phi(t))`` below the median, ``isf(Phi(-t))`` above it, so
  that no tail is rounded to a probability of 0 or 1.

A ``Transform`` is a small picklable value (two arrays and a name): it
travels to a dask worker with the task that applies it. It never draws
random numbers and changes no array but the one it is applied to.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Optional, Tuple, Union

import numpy as np

from .distributions import check_distribution, lognormal_parameters

__all__ = ["Transform", "IDENTITY", "MARGINAL", "parameters", "quantiles"]

# The name of a transform by a general marginal distribution.
MARGINAL = "marginal"

ArrayLike = Union[float, np.ndarray]


@dataclasses.dataclass(frozen=True, eq=False)
class Transform:
    """``values = f(shift + scale * g)`` node by node, ``f`` the identity
    ("normal") or ``exp`` ("lognormal"). ``shift`` and ``scale`` are scalars
    or one value per node (they broadcast over the rows)."""

    distribution: str = "normal"
    shift: ArrayLike = 0.0
    scale: ArrayLike = 1.0
    marginal: Any = None

    def __post_init__(self) -> None:
        if self.distribution == MARGINAL:
            if not (callable(getattr(self.marginal, "ppf", None))
                    and callable(getattr(self.marginal, "isf", None))):
                raise TypeError("a marginal transform needs a frozen continuous distribution "
                                "(its ppf and isf)")
        else:
            check_distribution(self.distribution)
        for name in ("shift", "scale"):
            a = np.array(getattr(self, name), dtype=np.float64)
            a.flags.writeable = False
            object.__setattr__(self, name, a)

    @property
    def identity(self) -> bool:
        """Whether the values are the drawn field itself."""
        return (self.distribution == "normal" and not np.any(self.shift)
                and bool(np.all(np.asarray(self.scale) == 1.0)))

    def __call__(self, rows: np.ndarray) -> np.ndarray:
        """The values of the drawn rows (N,) or (k, N), float64, computed in
        place and returned (a float64 array is changed; anything else is
        converted first)."""
        if self.identity:
            return rows
        if not (isinstance(rows, np.ndarray) and rows.dtype == np.float64 and rows.flags.writeable):
            rows = np.array(rows, dtype=np.float64)
        if np.ndim(self.scale) or float(self.scale) != 1.0:
            rows *= self.scale
        if np.ndim(self.shift) or float(self.shift) != 0.0:
            rows += self.shift
        if self.distribution == "lognormal":
            with np.errstate(over="ignore"):  # exp of a huge value is inf, as it should be
                np.exp(rows, out=rows)
        elif self.distribution == MARGINAL:
            rows[...] = quantiles(self.marginal, rows)
        return rows

    def _at(self, nodes: Any) -> Tuple[np.ndarray, np.ndarray]:
        shift = np.asarray(self.shift)
        scale = np.asarray(self.scale)
        if nodes is not None:
            shift = shift[nodes] if shift.ndim else shift
            scale = scale[nodes] if scale.ndim else scale
        return shift, scale

    def _moments_known(self) -> None:
        if self.distribution == MARGINAL:
            raise ValueError("the moments of a field under a general marginal are not computed "
                             "in closed form")

    def variance(self, v: np.ndarray, nodes: Any = None,
                 m: Optional[np.ndarray] = None) -> np.ndarray:
        """The variance of the values where the drawn field has variance `v`
        and mean `m` (zero when not given; a conditioned field has its
        conditional mean), at `nodes` or at every node."""
        shift, scale = self._at(nodes)
        self._moments_known()
        s2v = scale * scale * np.asarray(v, dtype=np.float64)
        if self.distribution == "normal":
            return np.broadcast_to(s2v, np.shape(v)).copy()
        if m is not None:
            shift = shift + scale * np.asarray(m, dtype=np.float64)
        with np.errstate(over="ignore"):
            return np.exp(2.0 * shift + s2v) * np.expm1(s2v)

    def mean(self, m: np.ndarray, v: np.ndarray, nodes: Any = None) -> np.ndarray:
        """The mean of the values where the drawn field has mean `m` and
        variance `v` (at `nodes`, or at every node)."""
        shift, scale = self._at(nodes)
        self._moments_known()
        m = np.asarray(m, dtype=np.float64)
        if self.distribution == "normal":
            return np.broadcast_to(shift + scale * m, np.shape(m)).copy()
        with np.errstate(over="ignore"):
            return np.exp(shift + scale * m + 0.5 * scale * scale * np.asarray(v, dtype=np.float64))

    def inverse(self, values: np.ndarray, nodes: Any = None, *,
                what: str = "value") -> Tuple[np.ndarray, np.ndarray]:
        """``(g, slope)``: the drawn field's values `g` that give `values` (at
        `nodes`, or one per node), and ``dg/dvalue`` there, the slope that
        carries a small variance of a value over to the drawn field.
        ValueError naming the first value outside the marginal's support (its
        index and value, called a `what`)."""
        shift, scale = self._at(nodes)
        v = np.asarray(values, dtype=np.float64)
        if self.distribution == "lognormal":
            bad = np.flatnonzero(~(v > 0.0))
            if bad.size:
                raise ValueError(f"{what} {bad[0]} is {float(v[bad[0]])}, outside the support of a "
                                 f"lognormal property (values > 0)")
            u, du = np.log(v), 1.0 / v
        elif self.distribution == MARGINAL:
            from scipy.special import ndtri
            from scipy.stats import norm
            p_lo = np.asarray(self.marginal.cdf(v), dtype=np.float64)
            p_hi = np.asarray(self.marginal.sf(v), dtype=np.float64)
            density = np.asarray(self.marginal.pdf(v), dtype=np.float64)
            bad = np.flatnonzero(~((p_lo > 0.0) & (p_hi > 0.0) & (density > 0.0)))
            if bad.size:
                raise ValueError(f"{what} {bad[0]} is {float(v[bad[0]])}, outside the support of "
                                 f"the property's marginal distribution")
            # each tail through its own side, as ``quantiles`` does
            u = np.where(p_lo < 0.5, ndtri(p_lo), -ndtri(p_hi))
            du = density / norm.pdf(u)
        else:
            u, du = v.copy(), np.ones_like(v)
        return (u - shift) / scale, du / scale

    def covariance(self, C: np.ndarray, nodes: Any,
                   m: Optional[np.ndarray] = None) -> np.ndarray:
        """The covariance of the values at `nodes` where the drawn field has
        covariance `C` and mean `m` there (zero when not given)."""
        shift, scale = self._at(nodes)
        self._moments_known()
        scale = np.broadcast_to(scale, (len(C),))
        shift = np.broadcast_to(shift, (len(C),))
        if self.distribution == "normal":
            return np.outer(scale, scale) * C
        if m is not None:
            shift = shift + scale * np.asarray(m, dtype=np.float64)
        # Cov(exp(a), exp(b)) = E exp(a) E exp(b) (exp(Cov(a, b)) - 1)
        s = scale * np.sqrt(np.maximum(np.diag(C), 0.0))
        m = np.exp(shift + 0.5 * s * s)
        return np.outer(m, m) * np.expm1(np.outer(scale, scale) * C)


IDENTITY = Transform()


def quantiles(marginal: Any, g: np.ndarray) -> np.ndarray:
    """``marginal.ppf(Phi(g))`` elementwise for standard normal values `g`,
    each tail through its own side (``isf(Phi(-g))`` where g > 0)."""
    from scipy.special import ndtr
    g = np.asarray(g, dtype=np.float64)
    out = np.empty_like(g)
    upper = g > 0.0
    lower = ~upper
    out[lower] = marginal.ppf(ndtr(g[lower]))
    out[upper] = marginal.isf(ndtr(-g[upper]))
    return out


def parameters(distribution: str, mean: ArrayLike, sd: ArrayLike, *,
               standard: bool = False) -> Tuple[ArrayLike, ArrayLike, Transform]:
    """``(mu, sigma, transform)``: the mean and sd to draw the Gaussian field
    with, and what turns its rows into values of this `distribution`, `mean`
    and `sd` (scalars or one per node). A normal field is drawn as it is
    unless `standard` asks for a standard field shifted and scaled after (a
    varying mean under the kriging fill); a lognormal field is always drawn
    standard. ValueError for a lognormal mean that is not positive or an sd
    that is negative or not finite, naming the first offending index."""
    check_distribution(distribution)
    if distribution == "lognormal":
        mu_ln, sigma_ln = lognormal_parameters(mean, sd)
        return 0.0, 1.0, Transform("lognormal", mu_ln, sigma_ln)
    if not standard:
        return mean, sd, IDENTITY
    return 0.0, 1.0, Transform("normal", np.asarray(mean, dtype=np.float64),
                               np.asarray(sd, dtype=np.float64))
