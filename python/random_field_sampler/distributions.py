"""Marginal distributions of a field: normal (as drawn) and lognormal.

Soil properties such as strengths and permeabilities are positive and skewed,
so they are usually modelled as the exponential of a Gaussian field. The
caller speaks in the property's own units, its ``mean`` and ``sd``; the
Gaussian field underneath gets the mean and standard deviation of the
logarithm that give exactly that mean and sd::

    sigma_ln**2 = ln(1 + (sd / mean)**2)
    mu_ln       = ln(mean) - sigma_ln**2 / 2
    value       = exp(mu_ln + sigma_ln * g)     g a standard normal field

The correlation lengths are those of the Gaussian field g (the usual choice
in random finite-element work): the lognormal values have a slightly shorter
correlation than g.

Two ways in, which cannot be mixed up:

- ``lognormal(fields, mean, sd)`` takes *standard* normal fields (drawn with
  mean 0 and sd 1, e.g. ``Sampler(..., mu=0.0, sigma=1.0)``) and returns the
  lognormal fields of that mean and sd;
- ``Sampler(..., mu=mean, sigma=sd, distribution="lognormal")`` draws them
  directly (through ``random_field_sampler.transform``, which applies the
  mean, a trend and the marginal distribution for every path).

This module never draws random numbers and never changes its inputs unless
asked to through ``out``.
"""

from __future__ import annotations

from typing import Optional, Tuple, Union

import numpy as np

__all__ = ["DISTRIBUTIONS", "lognormal_parameters", "lognormal", "check_distribution"]

DISTRIBUTIONS = ("normal", "lognormal")

ArrayLike = Union[float, np.ndarray]


def check_distribution(distribution: str) -> str:
    """The distribution's name, or ValueError naming the choices."""
    if distribution not in DISTRIBUTIONS:
        raise ValueError(f"unknown distribution {distribution!r}; use one of "
                         f"{', '.join(DISTRIBUTIONS)}")
    return distribution


def _first_bad(ok: np.ndarray) -> str:
    """' (at index i)' for the first False of an array, '' for a scalar."""
    if ok.ndim == 0:
        return ""
    return f" (at index {int(np.argmin(ok.ravel()))})"


def lognormal_parameters(mean: ArrayLike, sd: ArrayLike) -> Tuple[np.ndarray, np.ndarray]:
    """(mu_ln, sigma_ln): mean and sd of ln(value) for a lognormal value of
    the given mean (> 0) and sd (>= 0), elementwise for arrays (broadcast
    together). ValueError, naming the first offending index, for a mean that
    is not positive or an sd that is negative or not finite."""
    m = np.asarray(mean, dtype=np.float64)
    s = np.asarray(sd, dtype=np.float64)
    ok = np.isfinite(m) & (m > 0.0)
    if not ok.all():
        bad = m.ravel()[int(np.argmin(ok.ravel()))] if m.ndim else float(m)
        raise ValueError(f"a lognormal needs a positive, finite mean, got {float(bad):g}"
                         + _first_bad(ok))
    ok = np.isfinite(s) & (s >= 0.0)
    if not ok.all():
        bad = s.ravel()[int(np.argmin(ok.ravel()))] if s.ndim else float(s)
        raise ValueError(f"a lognormal needs a finite sd >= 0, got {float(bad):g}" + _first_bad(ok))
    var_ln = np.log1p((s / m) ** 2)
    return np.log(m) - 0.5 * var_ln, np.sqrt(var_ln)


def lognormal(fields: np.ndarray, mean: ArrayLike, sd: ArrayLike,
              out: Optional[np.ndarray] = None) -> np.ndarray:
    """Lognormal fields of the given mean and sd from *standard* normal
    fields (mean 0, sd 1 at every node): ``exp(mu_ln + sigma_ln * fields)``.

    ``fields`` is (N,) or (K, N); ``mean`` and ``sd`` are scalars or arrays
    that broadcast against it (one value per node for a mean that varies).
    Pass ``out=fields`` to compute in place. Fields drawn with another mean
    or sd than 0 and 1 give wrong values: draw them with mu=0, sigma=1, or
    let the sampler draw the values (``Sampler(..., distribution="lognormal")``).
    """
    from .transform import Transform
    mu_ln, sigma_ln = lognormal_parameters(mean, sd)
    fields = np.asarray(fields, dtype=np.float64)
    if out is None:
        out = np.array(fields, dtype=np.float64)
    elif out is not fields:
        np.copyto(out, fields)
    return Transform("lognormal", mu_ln, sigma_ln)(out)
