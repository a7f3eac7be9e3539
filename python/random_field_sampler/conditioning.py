"""Measured data: their checks, their place in the drawn field, and the
Cholesky nodes' distribution given them.

A sampler built with ``data=(xd, zd, values)`` draws the field conditioned
on the values measured at the points (xd, zd), which need not be nodes. The
data are taken as known values that come before every node in the drawing
order:

- the Cholesky nodes are drawn from their exact Gaussian distribution given
  the data nearest to them (at most ``CHOL_DATA`` data, the union of each
  Cholesky node's ``CHOL_DATA_PER_NODE`` nearest): mean
  ``mu_c + C_cD (C_DD + E)^-1 (y_D - mu_D)`` and covariance the Schur
  complement ``C_cc - C_cD (C_DD + E)^-1 C_Dc``, E the measurement errors'
  variances. Data nearly dependent on those kept before them (duplicated
  points, points much closer than theta under the Gaussian model) are
  passed over by a pivoted Cholesky factorisation of ``C_DD + E``, as the
  fill's neighbourhoods pass over such neighbours;
- every kriged node is drawn given its nearest earlier nodes and data
  together (the conditional fill's kernel, the data's error variances on
  their own diagonal).

Under the Gaussian model, exact data much closer together than theta fix
the field between them to all orders, and the Gaussian conditional itself is
no longer defined in double precision: for two lines of 20 exact data 0.16 m
apart (theta = 2 m) the data's covariance has a condition number of 5e17,
and dense conditionals cut at 1e-10 and at 1e-13 of its largest eigenvalue
differ by 0.14 sigma^2. The fill stays bounded there (within about 0.25 sigma
and 0.2 sigma^2 of the dense conditional, up to 150 data a line 2 cm apart)
but cannot be held closer. Give such data their measurement error: 0.0025
sigma^2 brings the 2 cm profiles within 0.017 sigma and 0.009 sigma^2. The
exponential model takes them exact (0.006 sigma, 0.004 sigma^2).

A realisation is then ``m(y) + A eps`` with ``A`` independent of the values
``y``: the conditional mean is a linear map of the values, and the
conditional covariance is the unconditioned fill's recursion with the data
held fixed (exact, as without data).

Why data first rather than kriging the residual (drawing the unconditioned
field at the nodes and the data points, then adding the kriged misfit
``C_nD (C_DD + E)^-1 (y - f_D - e)``): measured on 273 nodes with 40 data
on two lines, the residual route passes the fill's small covariance errors
through the kriging weights, which exact data under the Gaussian model make
huge: its implied covariance was off by 2.8e3 sigma^2 with the dense weights
(0.26 sigma^2 with each node's 8 nearest data, whose mean was also off by
0.12 sigma), against 0.006 sigma^2 and 0.005 sigma for the data first; for
the exponential model 0.007 sigma^2 (dense weights, which hold N x n_data
values: 8 GB for 10^6 nodes and 10^3 data) or 0.011 sigma^2 and a mean off
by 0.1 sigma (8 nearest), against 0.008 sigma^2 and 0.014 sigma. It also
costs a second pass over the nodes in every realisation, where the data
first cost only the extra neighbours of the nodes next to the data.

The mean and sd at a datum are those of its nearest node (in the stretched
coordinates of the covariance model), and so are the marginal's parameters
through which a value in the property's units is carried to the drawn
field (``Transform.inverse``). ``data_error`` is the variance of a datum's
measurement error in the property's units; under a transformed marginal it
is carried to the drawn field linearised at the datum: ``error * slope**2``
with ``slope = dg/dvalue`` (for a lognormal property,
``error / (value sigma_ln)**2``).

This module never draws random numbers and never changes its arguments.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Optional, Tuple

import numpy as np

from .fills.protocol import frozen
from .transform import Transform

__all__ = ["Data", "check_data", "place", "chol_block", "data_bytes", "CHOL_DATA",
           "CHOL_CANDIDATES", "CHOL_DATA_PER_NODE", "DATA_TOL"]

# The Cholesky nodes are conditioned on at most this many data: of the
# candidates (at most CHOL_CANDIDATES, the union of the nearest
# CHOL_DATA_PER_NODE of each Cholesky node, fewer per node when the union
# would be larger), those a pivoted Cholesky factorisation of their
# covariance takes first (each the datum least explained by those before
# it).
CHOL_DATA = 1000
CHOL_CANDIDATES = 2000
CHOL_DATA_PER_NODE = 100
# A datum whose variance given those taken before it is below this fraction
# of its own adds nothing: it is passed over (the fill's kernel does the same
# with the data among a node's neighbours).
DATA_TOL = 1e-12
# Relative nugget on the Cholesky nodes' conditional covariance.
SCHUR_NUGGET = 1e-12
# Relative size below which a covariance is taken as zero in that factorisation.
TINY = 1e-30


def _array(owner: str, name: str, value: Any) -> np.ndarray:
    try:
        a = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{owner}: data: {name} must be real numbers") from None
    if a.ndim != 1 and not (a.size == 0 and a.ndim <= 1):
        raise ValueError(f"{owner}: data: {name} must be one-dimensional, got shape {a.shape}")
    return a


def check_data(data: Any, data_error: Any, owner: str = "Sampler"
               ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """``(xd, zd, values, error)`` as new float64 arrays of one length, error
    one variance per datum. ValueError, naming `owner`, for lengths that
    differ, a value that is not finite, an error that is negative or not
    finite, or two data at the same point with different values and no
    error (naming both indices)."""
    try:
        xd, zd, values = data
    except (TypeError, ValueError):
        raise TypeError(f"{owner}: data must be a tuple (xd, zd, values)") from None
    xd = _array(owner, "xd", xd)
    zd = _array(owner, "zd", zd)
    values = _array(owner, "values", values)
    n = len(xd)
    if not (len(zd) == n == len(values)):
        raise ValueError(f"{owner}: data: xd, zd and values differ in length "
                         f"({len(xd)}, {len(zd)}, {len(values)})")
    for name, a in (("xd", xd), ("zd", zd), ("values", values)):
        bad = np.flatnonzero(~np.isfinite(a))
        if bad.size:
            raise ValueError(f"{owner}: data: {name}[{bad[0]}] is {float(a[bad[0]])}, not finite")
    if isinstance(data_error, (bool, np.bool_)):
        raise TypeError(f"{owner}: data_error must be a variance (a real number), not a bool")
    err = _array(owner, "data_error", np.broadcast_to(data_error, (n,))
                 if np.ndim(data_error) == 0 else data_error)
    if len(err) != n:
        raise ValueError(f"{owner}: data_error must be a scalar or one variance per datum "
                         f"({n}), got {len(err)}")
    bad = np.flatnonzero(~(np.isfinite(err) & (err >= 0.0)))
    if bad.size:
        raise ValueError(f"{owner}: data_error[{bad[0]}] is {float(err[bad[0]])}: a measurement "
                         f"error's variance must be finite and >= 0")
    clash = exact_conflict(xd, zd, values, err)
    if clash is not None:
        i, j = clash
        raise ValueError(
            f"{owner}: data {i} and {j} are at the same point ({float(xd[i])}, "
            f"{float(zd[i])}) with different values ({float(values[i])}, "
            f"{float(values[j])}) and no measurement error")
    return xd, zd, values, err


def exact_conflict(xd: np.ndarray, zd: np.ndarray, values: np.ndarray,
                   err: np.ndarray) -> Optional[Tuple[int, int]]:
    """The first two data (i < j) at one point with different values and no
    measurement error, which no field can pass through; None if there are
    none. Exact data at one point must agree."""
    exact = np.flatnonzero(err == 0.0)
    if exact.size > 1:
        o = exact[np.lexsort((zd[exact], xd[exact]))]
        same = (xd[o[1:]] == xd[o[:-1]]) & (zd[o[1:]] == zd[o[:-1]])
        clash = np.flatnonzero(same & (values[o[1:]] != values[o[:-1]]))
        if clash.size:
            i, j = sorted((int(o[clash[0]]), int(o[clash[0] + 1])))
            return i, j
    return None


@dataclasses.dataclass
class Data:
    """The data in the drawn field's frame: stretched coordinates ``x``,
    ``z``; ``node`` the nearest node of each; ``sigma`` and ``mu`` the sd
    and mean there; ``noise`` the error variances and ``dev`` the
    deviations ``g - mu`` of the drawn field's values; ``pinned`` the nodes
    at the place of an exact datum and ``pinned_values`` the values there in
    the property's units. Filled in by the build: ``sel`` the data the
    Cholesky nodes are conditioned on, ``LK`` the factor of their
    covariance (errors included) and ``W = LK^-1 C_Dc``: the Cholesky nodes'
    conditional mean is ``mu_c + W^T LK^-1 dev[sel]``."""
    x: np.ndarray
    z: np.ndarray
    node: np.ndarray
    sigma: np.ndarray
    mu: np.ndarray
    noise: np.ndarray
    dev: np.ndarray
    pinned: np.ndarray
    pinned_values: np.ndarray
    sel: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0, dtype=np.intp))
    LK: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros((0, 0)))
    W: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros((0, 0)))

    def chol_mean(self, mu_c: np.ndarray, dev: np.ndarray) -> np.ndarray:
        """The Cholesky nodes' conditional mean given the data's deviations."""
        from scipy.linalg import solve_triangular
        if len(self.sel) == 0:
            return np.array(mu_c, dtype=np.float64)
        u = solve_triangular(self.LK, dev[self.sel], lower=True, check_finite=False)
        return mu_c + self.W.T @ u

    @property
    def n(self) -> int:
        return len(self.x)

    def freeze(self) -> "Data":
        for f in dataclasses.fields(self):
            setattr(self, f.name, frozen(getattr(self, f.name)))
        return self


def place(xd: np.ndarray, zd: np.ndarray, values: np.ndarray, error: np.ndarray,
          x: np.ndarray, z: np.ndarray, mu: np.ndarray, sigma: np.ndarray,
          transform: Transform) -> Data:
    """The checked data (coordinates already in the stretched frame of the
    nodes x, z) in the drawn field: each at its nearest node's mean, sd and
    marginal, its value carried through the marginal (ValueError naming a
    value outside its support), its error linearised at the value."""
    from scipy.spatial import cKDTree
    nodes = np.column_stack((x, z))
    tree = cKDTree(nodes)
    dist, node = tree.query(np.column_stack((xd, zd)))
    del tree, nodes
    node = np.asarray(node, dtype=np.intp)
    at = node if (np.ndim(transform.shift) or np.ndim(transform.scale)) else None
    g, slope = transform.inverse(values, at, what="Sampler: data: value")
    noise = error * slope * slope
    bad = np.flatnonzero(~np.isfinite(noise) | ~np.isfinite(g))
    if bad.size:
        raise ValueError(f"Sampler: data: value {bad[0]} ({float(values[bad[0]])}) cannot be "
                         f"carried to the drawn field: its value or error overflows")
    exact = (dist == 0.0) & (error == 0.0)
    return Data(x=np.asarray(xd, dtype=np.float64), z=np.asarray(zd, dtype=np.float64),
                node=node, sigma=sigma[node].copy(), mu=mu[node].copy(), noise=noise,
                dev=g - mu[node], pinned=node[exact].copy(),
                pinned_values=np.asarray(values, dtype=np.float64)[exact].copy())


def cross_covariance(x1: np.ndarray, z1: np.ndarray, s1: np.ndarray, x2: np.ndarray,
                     z2: np.ndarray, s2: np.ndarray, theta: float, model: int) -> np.ndarray:
    """(len(x1), len(x2)) covariances by the module's formulas and order of
    operations (stretched coordinates)."""
    dx = x1[:, None] - x2[None, :]
    dz = z1[:, None] - z2[None, :]
    d = np.sqrt(dx * dx + dz * dz)
    del dx, dz
    if model == 0:
        q = d / theta
        e = (q * q) * -np.pi
    else:
        e = (np.abs(d) * -2.0) / theta
    del d
    with np.errstate(under="ignore"):
        r = np.exp(e)
    return (r * s1[:, None]) * s2[None, :]


def select(xc: np.ndarray, zc: np.ndarray, data: Data) -> np.ndarray:
    """The candidates among the data for the Cholesky nodes: all of them
    when they are at most CHOL_CANDIDATES, else the union of each Cholesky
    node's nearest (CHOL_DATA_PER_NODE, halved until the union is at most
    CHOL_CANDIDATES)."""
    if data.n <= CHOL_CANDIDATES:
        return np.arange(data.n, dtype=np.intp)
    from scipy.spatial import cKDTree
    tree = cKDTree(np.column_stack((data.x, data.z)))
    k = CHOL_DATA_PER_NODE
    while True:
        _, near = tree.query(np.column_stack((xc, zc)), k=k)
        sel = np.unique(np.asarray(near, dtype=np.intp))
        if len(sel) <= CHOL_CANDIDATES or k == 1:
            return sel[:CHOL_CANDIDATES]
        k = max(1, k // 2)


def _pivoted(A: np.ndarray, tol: float, most: int = -1) -> Tuple[np.ndarray, np.ndarray]:
    """(kept, L): the pivoted Cholesky factorisation of the symmetric
    positive semi-definite A, stopped where the largest remaining diagonal
    element is at most `tol` times the largest of A's, or after `most`
    pivots: A[kept][:, kept] = L L^T, L lower triangular."""
    from scipy.linalg.lapack import dpstrf
    n = len(A)
    if n == 0:
        return np.zeros(0, dtype=np.intp), np.zeros((0, 0))
    scale = float(np.max(np.diag(A)))
    c, piv, rank, info = dpstrf(np.array(A, dtype=np.float64, order="F"), tol=tol * scale,
                                lower=1)
    if info < 0:
        raise np.linalg.LinAlgError(f"pivoted Cholesky factorisation failed (info {info})")
    rank = int(rank) if most < 0 else min(int(rank), most)
    kept = np.asarray(piv[:rank], dtype=np.intp) - 1
    return kept, np.tril(c[:rank, :rank])


def chol_block(xc: np.ndarray, zc: np.ndarray, sigma_c: np.ndarray, mu_c: np.ndarray,
               C: np.ndarray, jitter: float, data: Data, theta: float, model: int, tol: float
               ) -> Tuple[np.ndarray, np.ndarray]:
    """``(mean, L)``: the conditional mean of the Cholesky nodes given the
    data and a square root of their conditional covariance: with Cj = C +
    jitter I (their covariance, as the unconditioned factor is jittered),
    L L^T = Cj - C_cD (C_DD + E)^-1 C_Dc.
    Sets ``data.sel``, ``data.LK`` and ``data.W``."""
    from scipy.linalg import cholesky, solve_triangular
    from scipy.linalg.blas import dsyrk
    sel = select(xc, zc, data)
    xs, zs, ss = data.x[sel], data.z[sel], data.sigma[sel]
    K = cross_covariance(xs, zs, ss, xs, zs, ss, theta, model)
    K[np.diag_indices_from(K)] += data.noise[sel]
    kept, LK = _pivoted(K, tol, CHOL_DATA)
    sel = sel[kept]
    r, n = len(sel), len(xc)
    scale = float(np.max(np.diag(C))) + jitter if n else 0.0
    # One factorisation of the joint covariance of the kept data (in pivot
    # order) and the Cholesky nodes: its blocks are LK, W^T = C_cD LK^-T and
    # the factor of the Schur complement. A relative nugget of
    # SCHUR_NUGGET on the nodes keeps the complement of nodes that the data
    # (nearly) fix, and the Gaussian model's smooth skeleton, positive
    # definite despite rounding.
    J = np.zeros((r + n, r + n), order="F")
    J[:r, :r] = K[np.ix_(kept, kept)]
    del K
    J[r:, :r] = cross_covariance(xc, zc, sigma_c, data.x[sel], data.z[sel], data.sigma[sel],
                                 theta, model)
    J[r:, r:] = C
    J[r + np.arange(n), r + np.arange(n)] += jitter + SCHUR_NUGGET * scale
    # Covariances below TINY of the variances change nothing in double
    # precision, but their products are subnormal numbers, on which the
    # factorisation would crawl.
    J[np.abs(J) < TINY * max(scale, float(np.max(np.diag(J[:r, :r]), initial=0.0)))] = 0.0
    try:
        Lj = cholesky(J, lower=True, overwrite_a=True, check_finite=False)
    except np.linalg.LinAlgError:
        Lj = None
    if Lj is not None:
        data.sel, data.LK = sel, np.array(Lj[:r, :r])
        data.W = np.ascontiguousarray(Lj[r:, :r].T)
        L = np.ascontiguousarray(Lj[r:, r:])
        del Lj, J
        return data.chol_mean(mu_c, data.dev), L
    del J
    # The complement is not positive definite even so: W by a solve, the
    # complement by itself, and a pivoted square root of it.
    W = solve_triangular(LK, cross_covariance(data.x[sel], data.z[sel], data.sigma[sel], xc, zc,
                                              sigma_c, theta, model),
                         lower=True, check_finite=False, overwrite_b=True)
    data.sel, data.LK, data.W = sel, LK, W
    S = C + jitter * np.identity(n)
    S -= dsyrk(1.0, W.T, trans=0, lower=1)   # lower triangle; W.T is Fortran-ordered
    S = np.tril(S) + np.tril(S, -1).T
    kept_s, Ls = _pivoted(S, 1e-14)
    L = np.zeros_like(S)
    L[kept_s, :len(kept_s)] = Ls
    return data.chol_mean(mu_c, data.dev), L


def data_bytes(N: int, Nchol: int, nd: int, width: int = 100) -> Tuple[int, int]:
    """(peak bytes while the data are placed and the Cholesky nodes
    conditioned, bytes held once built) for `nd` data: the search tree over
    the nodes, the data's covariance, the cross covariances and their
    solves, the Schur complement; held, the fill's extra slots of the nodes
    near the data (`width` the most neighbours a node has; each datum earns
    slots to the about 2.25 width nodes around it), the map of the data to the Cholesky
    nodes' mean, the data arrays and the conditional mean."""
    if nd == 0:
        return 0, 0
    ns, nc = min(nd, CHOL_DATA), min(nd, CHOL_CANDIDATES)
    held = 8 * (Nchol * ns + ns * ns + 10 * nd + N) + 12 * min(N * width, 3 * width * nd)
    build = 8 * (4 * N + 2 * nc * nc + 2 * Nchol * ns + (Nchol + ns) ** 2 + Nchol * Nchol
                 + 30 * nd)
    return build + held, held
