"""Values per element as the element's average: the local averages that
random finite elements are built on.

The value of an element is the average of the Gaussian field over the
element's area, so that large elements vary less than small ones and
neighbouring elements correlate as their areas do. Elements are given by
their straight-sided corners: triangles and quadrilaterals, mixed (a
higher-order cell by its corner nodes).

How it is drawn: a standard point field g at quadrature points of each
element, averaged element by element by a sparse matrix ``M``, each average
rescaled so that its variance is the exact variance of the element's
average, then scaled and shifted by the element's sd and mean::

    value_e = mu_e + sigma_e s_e sum_j M_ej g_j

g is drawn by an ordinary ``Sampler`` over the quadrature points (so every
fill, seed and budget rule holds as it is) and ``s_e = sqrt(exact variance
/ variance of the point average under the model)``. The points grow with
the element's size against the correlation length (in the stretched
coordinates the sampler uses: rotated into the bedding frame by ``angle``,
then x scaled by theta_z / theta_x): a small
element's centroid, or its corners (shared with its neighbours) and
centroid; a larger element's m x m pieces, a point at the centroid of each.
The exact moments of what is drawn are ``S Cov_points S^T`` with ``S =
diag(sigma s) M`` and ``Cov_points`` from ``Sampler.covariance``. The choice (rather than a node per element whose
covariance comes from quadrature) and the numbers of points were made by
measurement: see the README's section on element averages.

The exact covariance of two elements' averages (``exact_covariance``) is the
double area integral of the model's correlation over the pair, divided by
both areas: the inner integral over the second element in polar
coordinates about each point of the first (its radial part in closed form
for both models, the angle by Gauss-Legendre, edge by edge), the outer
integral by Gauss product rules over the first element.

For a transformed property (lognormal) the Gaussian field is averaged and
then transformed, as random finite-element practice does: each element's
value is ``exp(mu_ln + sigma_ln a_e)`` with ``a_e`` the average of the
standard Gaussian field over the element: the median is the asked one, the
spread that of the average (smaller for a larger element).

This module never draws random numbers itself: the point sampler does.
"""

from __future__ import annotations

import math
from typing import Any, Iterator, List, Optional, Tuple

import numpy as np
import scipy.sparse

from ._checks import indices, integer
from .anisotropy import check_angle, rotate
from .fills.protocol import frozen
from .sampler import Sampler
from .transform import parameters

__all__ = ["Cells", "CellAverages", "cell_sampler", "exact_covariance", "exact_variance", "subdivisions",
           "quadrature", "SUBDIVISION_RULE"]

# The points of an element whose longest side is a (stretched, in units of
# theta_z), by model (0 Gaussian, any other code exponential): its centroid
# alone up to a = CENTROID_UP_TO; its corners (shared with its neighbours)
# and its centroid, the centroid weighted CENTRE_WEIGHT and the corners
# the rest evenly, up to a = CORNERS_UP_TO; beyond, m x m pieces with
# m = ceil(k a^p), at least 2. Chosen by measurement so that the
# correlation of neighbouring averages is within about 0.015 of the exact
# one from 0.02 to 4 theta, with as few points as that allows (see the
# README's section on element averages).
CENTROID_UP_TO = {0: 0.1, 1: 0.0}
CORNERS_UP_TO = {0: 0.4, 1: 0.15}
CENTRE_WEIGHT = {0: 0.65, 1: 0.5}
SUBDIVISION_RULE = {0: (3.6, 0.6), 1: (4.5, 0.4)}
MAX_SUBDIVISIONS = 24
# m of the corner-and-centroid rule
CORNERS = 0

# Gauss-Legendre orders of the exact covariance: the outer rule over the
# first element (per direction) and the angle about each point, per half of
# each edge of the second element (relative error near 1e-8, measured
# against adaptive quadrature); and the cheaper orders of the variances a
# sampler rescales its averages to, for elements up to theta and larger
# ones (relative error below 1e-5, measured against orders 24 and 32).
OUTER_ORDER = 16
ANGLE_ORDER = 24
BUILD_ORDERS = ((5, 10), (10, 16))


def _model_key(model: int) -> int:
    return 0 if int(model) == 0 else 1


# ---------------------------------------------------------------------------
# Elements


class Cells:
    """Elements by their straight-sided corners, counter-clockwise.

    ``corners``: (M, 4, 2) float64, a triangle's fourth corner repeating its
    first; ``n_corners``: (M,) 3 or 4; ``area``: (M,); ``centroid``: (M, 2).
    Built from an (M, 3, 2) or (M, 4, 2) array of corners, or a sequence of
    such blocks (mixed meshes), or ``Cells.of_mesh(mesh)``. Clockwise
    corners are turned; elements without area, corners that are not finite
    and quadrilaterals that are not convex are refused (ValueError naming
    the element)."""

    def __init__(self, corners: Any) -> None:
        blocks = _blocks(corners)
        parts, counts = [], []
        for b in blocks:
            p = np.zeros((len(b), 4, 2))
            p[:, :b.shape[1]] = b
            if b.shape[1] == 3:
                p[:, 3] = b[:, 0]
            parts.append(p)
            counts.append(np.full(len(b), b.shape[1], dtype=np.int8))
        c = np.concatenate(parts) if parts else np.zeros((0, 4, 2))
        n = np.concatenate(counts) if counts else np.zeros(0, dtype=np.int8)
        bad = ~np.isfinite(c).all(axis=(1, 2))
        if bad.any():
            raise ValueError(f"element {int(np.argmax(bad))} has a corner that is not finite")
        area = _signed_area(c)
        # Turn clockwise elements (a triangle keeps its repeated first corner).
        cw = area < 0
        if cw.any():
            tri = cw & (n == 3)
            quad = cw & (n == 4)
            c[tri] = c[tri][:, [0, 2, 1, 0]]
            c[quad] = c[quad][:, [0, 3, 2, 1]]
            area = np.abs(area)
        scale = np.ptp(c, axis=1).max(axis=1) if len(c) else np.zeros(0)
        flat = ~(area > 1e-12 * scale * scale)
        if flat.any():
            raise ValueError(f"element {int(np.argmax(flat))} has no area")
        if (n == 4).any():
            e = np.roll(c, -1, axis=1) - c
            turn = e[:, :, 0] * np.roll(e, -1, axis=1)[:, :, 1] \
                - e[:, :, 1] * np.roll(e, -1, axis=1)[:, :, 0]
            concave = (n == 4) & (turn < -1e-12 * scale[:, None] ** 2).any(axis=1)
            if concave.any():
                raise ValueError(f"element {int(np.argmax(concave))}: a quadrilateral that is "
                                 f"not convex")
        self.corners = frozen(c)
        self.n_corners = frozen(n)
        self.area = frozen(area)
        self.centroid = frozen(_centroids(c, n, area))

    def __len__(self) -> int:
        return len(self.corners)

    @classmethod
    def of_mesh(cls, mesh: Any) -> "Cells":
        """The elements of a ``random_field_sampler.io.mesh.Mesh`` (its 2-D
        cells: triangles and quadrilaterals of any order, by their corner
        nodes), in the order of its cell values, in the field's plane."""
        blocks = []
        for k in mesh.elements:
            b = mesh.mesh.cells[k]
            data = np.asarray(b.data)
            kind = b.type
            if b.dim != 2 or not (kind.startswith("triangle") or kind.startswith("quad")):
                raise ValueError(f"{mesh.path}: element averages need triangles and "
                                 f"quadrilaterals, not {kind} cells")
            nc = 3 if kind.startswith("triangle") else 4
            blocks.append(mesh.nodes[data[:, :nc]])
        return cls(_Mixed(blocks))

    def subset(self, cells: np.ndarray) -> "Cells":
        out = Cells.__new__(Cells)
        out.corners = frozen(self.corners[cells])
        out.n_corners = frozen(self.n_corners[cells])
        out.area = frozen(self.area[cells])
        out.centroid = frozen(self.centroid[cells])
        return out

    def stretched(self, theta_z: float, theta_x: float, angle: float = 0.0) -> "Cells":
        """The elements in the coordinates of an isotropic model: rotated
        into the bedding frame of `angle` degrees (which keeps areas and the
        corners' order), then x scaled by theta_z / theta_x."""
        out = self.subset(np.arange(len(self)))
        c = np.array(self.corners)
        if angle:
            c[:, :, 0], c[:, :, 1] = rotate(c[:, :, 0], c[:, :, 1], angle)
        c[:, :, 0] *= theta_z / theta_x
        out.corners = frozen(c)
        out.area = frozen(self.area * (theta_z / theta_x))
        cen = np.array(self.centroid)
        if angle:
            cen[:, 0], cen[:, 1] = rotate(cen[:, 0], cen[:, 1], angle)
        cen[:, 0] *= theta_z / theta_x
        out.centroid = frozen(cen)
        return out

    def size(self) -> np.ndarray:
        """The longest side of each element."""
        e = np.roll(self.corners, -1, axis=1) - self.corners
        return np.sqrt((e * e).sum(axis=2)).max(axis=1)


class _Mixed(list):
    """Blocks of corners of different counts."""


def _blocks(corners: Any) -> List[np.ndarray]:
    if isinstance(corners, Cells):
        raise TypeError("already Cells")
    if isinstance(corners, _Mixed) or (isinstance(corners, (list, tuple)) and corners
                                       and np.ndim(corners[0]) == 3):
        items = list(corners)
    else:
        items = [corners]
    out = []
    for b in items:
        a = np.asarray(b)
        if a.dtype.kind not in "iuf" or a.ndim != 3 or a.shape[1] not in (3, 4) or a.shape[2] != 2:
            raise ValueError(f"corners of shape {a.shape} and type {a.dtype}: expected "
                             f"(elements, 3 or 4, 2) real numbers")
        out.append(np.asarray(a, dtype=np.float64))
    return out


def _signed_area(c: np.ndarray) -> np.ndarray:
    q = c - c[:, :1, :]
    x, y = q[..., 0], q[..., 1]
    return 0.5 * (x * np.roll(y, -1, axis=1) - np.roll(x, -1, axis=1) * y).sum(axis=1)


def _centroids(c: np.ndarray, n: np.ndarray, area: np.ndarray) -> np.ndarray:
    q = c - c[:, :1, :]
    x, y = q[..., 0], q[..., 1]
    xn, yn = np.roll(x, -1, axis=1), np.roll(y, -1, axis=1)
    cross = x * yn - xn * y
    with np.errstate(all="ignore"):
        cx = ((x + xn) * cross).sum(axis=1) / (6.0 * area)
        cy = ((y + yn) * cross).sum(axis=1) / (6.0 * area)
    return np.column_stack([cx, cy]) + c[:, 0, :]


# ---------------------------------------------------------------------------
# Reference maps


def _map(c: np.ndarray, n: np.ndarray, u: np.ndarray, v: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Points (M, P, 2) and Jacobians (M, P) of reference points (u, v) in
    [0, 1]^2: a quadrilateral's bilinear map, a triangle's collapsed one
    (u along the first side, v towards the third corner)."""
    u = u[None, :, None]
    v = v[None, :, None]
    c0, c1, c2, c3 = (c[:, k][:, None, :] for k in range(4))
    tri = (n == 3)[:, None, None]
    # quadrilateral: bilinear in u, v
    pq = (1 - u) * (1 - v) * c0 + u * (1 - v) * c1 + u * v * c2 + (1 - u) * v * c3
    du = (1 - v) * (c1 - c0) + v * (c2 - c3)
    dv = (1 - u) * (c3 - c0) + u * (c2 - c1)
    jq = du[..., 0] * dv[..., 1] - du[..., 1] * dv[..., 0]
    # triangle: (u (1 - v), v) in the triangle's own coordinates
    pt = c0 + u * (1 - v) * (c1 - c0) + v * (c2 - c0)
    a = c1 - c0
    b = c2 - c0
    jt = (a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]) * (1 - v[..., 0])
    return np.where(tri, pt, pq), np.where(tri[..., 0], jt, jq)


def _gauss(order: int) -> Tuple[np.ndarray, np.ndarray]:
    t, w = np.polynomial.legendre.leggauss(order)
    return 0.5 * (t + 1), 0.5 * w


# ---------------------------------------------------------------------------
# The exact covariance of element averages


def _radial(R: np.ndarray, theta: float, model: int) -> np.ndarray:
    """F(R) = integral_0^R rho(r) r dr in closed form."""
    if _model_key(model) == 0:
        return theta * theta / (2 * math.pi) * -np.expm1(-math.pi * (R / theta) ** 2)
    s = 2.0 * R / theta
    return theta * theta / 4.0 * -(np.expm1(-s) + s * np.exp(-s))


def _polygon_integral(x: np.ndarray, c: np.ndarray, theta: float, model: int,
                      order: int = ANGLE_ORDER) -> np.ndarray:
    """integral over the polygons c (K, 4, 2) of rho(|y - x_k|) dy for the
    points x (K, P, 2): a signed sum over the edges of the triangles (x,
    edge), each in polar coordinates about x. Along an edge at distance p
    from x, with s the position from the foot of the perpendicular, the
    angle is d(phi) = p ds / (p^2 + s^2); with s = p sinh(t) it is dt /
    cosh(t) and the radius p cosh(t): a smooth integrand over a range that
    grows only as log(length / p), so points close to an edge (thin
    elements, neighbours) cost no more than others."""
    t, w = _gauss(order)
    out = np.zeros(x.shape[:2])
    for k in range(4):
        a = c[:, k][:, None, :] - x
        e = (c[:, (k + 1) % 4] - c[:, k])[:, None, :]
        L = np.sqrt((e * e).sum(axis=-1))
        live = L > 0
        L = np.where(live, L, 1.0)
        h = (a[..., 0] * e[..., 1] - a[..., 1] * e[..., 0]) / L    # signed distance to the line
        p = np.abs(h)
        live = live & (p > 0)
        p = np.where(live, p, 1.0)
        s0 = (a * e).sum(axis=-1) / L            # the edge's ends at s0 .. s0 + L from the foot
        ta = np.arcsinh(s0 / p)
        tb = np.arcsinh((s0 + L) / p)
        tt = ta[..., None] + t * (tb - ta)[..., None]
        ch = np.cosh(tt)
        val = (_radial(p[..., None] * ch, theta, model) / ch) @ w
        out += np.where(live, np.sign(h) * (tb - ta) * val, 0.0)
    return out


def _pair_correlation(s: Cells, i: np.ndarray, j: np.ndarray, theta: float, model: int,
                      order: int, angle_order: int) -> np.ndarray:
    """The average correlation over the pairs of stretched elements (i[k], j[k])."""
    g, gw = _gauss(order)
    u = np.repeat(g, order)
    v = np.tile(g, order)
    wts = np.repeat(gw, order) * np.tile(gw, order)
    out = np.empty(len(i))
    step = max(1, 8192 // len(u))
    for lo in range(0, len(i), step):
        a, b = i[lo:lo + step], j[lo:lo + step]
        pts, jac = _map(s.corners[a], s.n_corners[a], u, v)
        G = _polygon_integral(pts, s.corners[b], theta, model, angle_order)
        out[lo:lo + step] = (G * jac) @ wts / (s.area[a] * s.area[b])
    return out


def exact_covariance(cells: Cells, rows: Any, cols: Any, *, theta_z: float,
                     theta_x: Optional[float] = None, model: int = 0,
                     order: int = OUTER_ORDER, angle_order: int = ANGLE_ORDER,
                     angle: float = 0.0) -> np.ndarray:
    """The correlation of the averages of a unit-variance field of the
    model over elements ``rows`` and ``cols`` (len(rows) x len(cols)): the
    double area integral of the correlation over each pair, divided by
    both areas (multiply by sigma_i sigma_j for a covariance). The model:
    0, Gaussian, rho = exp(-pi (d / theta_z)^2); any other code,
    exponential, rho = exp(-2 d / theta_z); d the distance in the bedding
    frame of ``angle`` degrees (see ``Sampler``) with its first coordinate
    scaled by theta_z / theta_x. Its relative error is near 1e-8 (measured against
    adaptive quadrature in the tests)."""
    theta_x = theta_z if theta_x is None else theta_x
    s = cells.stretched(theta_z, theta_x, check_angle(angle))
    rows = np.atleast_1d(np.asarray(rows, dtype=np.intp))
    cols = np.atleast_1d(np.asarray(cols, dtype=np.intp))
    ii, jj = np.meshgrid(rows, cols, indexing="ij")
    return _pair_correlation(s, ii.ravel(), jj.ravel(), float(theta_z), model,
                             order, angle_order).reshape(len(rows), len(cols))


def exact_variance(cells: Cells, *, theta_z: float, theta_x: Optional[float] = None,
                   model: int = 0, order: int = OUTER_ORDER,
                   angle_order: int = ANGLE_ORDER, angle: float = 0.0) -> np.ndarray:
    """The variance of each element's average of a unit-variance field of
    the model (the variance reduction function of each element), the
    bedding at ``angle`` degrees."""
    theta_x = theta_z if theta_x is None else theta_x
    s = cells.stretched(theta_z, theta_x, check_angle(angle))
    k = np.arange(len(cells))
    return _pair_correlation(s, k, k, float(theta_z), model, order, angle_order)


# ---------------------------------------------------------------------------
# The quadrature points a field is drawn at


def subdivisions(cells: Cells, *, theta_z: float, theta_x: Optional[float] = None,
                 model: int = 0, angle: float = 0.0) -> np.ndarray:
    """The rule of each element, from its longest side in the stretched
    coordinates against theta_z: 1 (its centroid), ``CORNERS`` (0: its
    corners and centroid) or m >= 2 (m x m pieces), see
    ``SUBDIVISION_RULE``."""
    theta_x = theta_z if theta_x is None else theta_x
    key = _model_key(model)
    k, p = SUBDIVISION_RULE[key]
    a = cells.stretched(theta_z, theta_x, check_angle(angle)).size() / theta_z
    m = np.clip(np.ceil(k * a ** p - 1e-9), 2, MAX_SUBDIVISIONS).astype(np.intp)
    m[a <= CORNERS_UP_TO[key]] = CORNERS
    m[a <= CENTROID_UP_TO[key]] = 1
    return m


def _pieces(m: int, triangle: bool) -> Tuple[np.ndarray, np.ndarray]:
    """Reference coordinates (u, v) of the centroids of the m x m pieces of
    the reference quadrilateral or triangle, in the collapsed map's
    coordinates for a triangle."""
    if not triangle:
        g = (np.arange(m) + 0.5) / m
        return np.repeat(g, m), np.tile(g, m)
    # barycentric pieces of the triangle (0,0), (1,0), (0,1): upright and
    # inverted, centroids in the triangle's own coordinates (a, b)
    a, b = [], []
    for i in range(m):
        for j in range(m - i):
            a.append((i + 1 / 3) / m)
            b.append((j + 1 / 3) / m)
            if j < m - i - 1:
                a.append((i + 2 / 3) / m)
                b.append((j + 2 / 3) / m)
    A, B = np.array(a), np.array(b)
    # collapsed map: a = u (1 - v), b = v
    v = B
    u = np.where(v < 1, A / np.where(v < 1, 1 - v, 1.0), 0.0)
    return u, v


def quadrature(cells: Cells, m: np.ndarray, centre_weight: float = 0.5
               ) -> Tuple[np.ndarray, scipy.sparse.csr_matrix]:
    """(points (P, 2), M (elements x P, sparse)): the points a field is
    drawn at and the weights that average it over each element (each row of
    M sums to 1). An element with m >= 1 is cut into m x m pieces
    (quadrilaterals by their bilinear map, triangles into similar
    triangles), a point at the centroid of each, weighted by its share of
    the element's area; an element with m = ``CORNERS`` takes its corners,
    shared with every element that has them, and its centroid, weighted
    ``centre_weight``. Points: the corners first (in order of first use),
    then the elements' own points, element by element."""
    m = np.asarray(m, dtype=np.intp)
    n = len(cells)
    nc = np.asarray(cells.n_corners)
    rows: List[np.ndarray] = []
    cols: List[np.ndarray] = []
    vals: List[np.ndarray] = []
    # the corners of the corner rule, one point each
    corner_el = np.flatnonzero(m == CORNERS)
    if len(corner_el):
        c = np.asarray(cells.corners)[corner_el]
        k = nc[corner_el]
        used = np.arange(4)[None, :] < k[:, None]
        pts = c[used]
        uniq, first, inv = np.unique(pts, axis=0, return_index=True, return_inverse=True)
        order = np.argsort(first, kind="stable")
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        corner_points = uniq[order]
        owner = np.repeat(corner_el, k)
        rows.append(owner)
        cols.append(rank[inv.ravel()])
        vals.append(np.repeat((1.0 - centre_weight) / k, k))
    else:
        corner_points = np.zeros((0, 2))
    # every element's own points
    own_pts: List[np.ndarray] = []
    own_owner: List[np.ndarray] = []
    own_w: List[np.ndarray] = []
    cen = np.flatnonzero(m == CORNERS)
    if len(cen):
        own_pts.append(np.asarray(cells.centroid)[cen])
        own_owner.append(cen)
        own_w.append(np.full(len(cen), float(centre_weight)))
    for mm in np.unique(m[m >= 1]):
        for kc in (3, 4):
            sel = np.flatnonzero((m == mm) & (nc == kc))
            if not len(sel):
                continue
            if mm == 1:
                own_pts.append(np.asarray(cells.centroid)[sel])
                own_owner.append(sel)
                own_w.append(np.ones(len(sel)))
                continue
            u, v = _pieces(int(mm), kc == 3)
            p, jac = _map(cells.corners[sel], cells.n_corners[sel], u, v)
            # equal pieces of a triangle; a quadrilateral's by their Jacobian
            share = np.full(jac.shape, 1.0 / (mm * mm)) if kc == 3 \
                else jac / jac.sum(axis=1, keepdims=True)
            own_pts.append(p.reshape(-1, 2))
            own_owner.append(np.repeat(sel, p.shape[1]))
            own_w.append(share.ravel())
    P: np.ndarray = np.zeros((0, 2))
    o: np.ndarray = np.zeros(0, dtype=np.intp)
    w: np.ndarray = np.zeros(0)
    if own_pts:
        o = np.concatenate(own_owner)
        order = np.argsort(o, kind="stable")
        P, o, w = np.concatenate(own_pts)[order], o[order], np.concatenate(own_w)[order]
    rows.append(o)
    cols.append(len(corner_points) + np.arange(len(P)))
    vals.append(w)
    points = np.concatenate([corner_points, P])
    M = scipy.sparse.csr_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                                shape=(n, len(points)))
    M.sum_duplicates()
    M.sort_indices()
    return points, M


# ---------------------------------------------------------------------------
# Drawing element averages


class CellAverages:
    """Draws realisations of the element averages of one random field.

    ``cells``: the elements (``Cells``, or what ``Cells`` takes: corners
    (M, 3 or 4, 2), or a list of such blocks). ``theta_z``, ``mu``,
    ``sigma``, ``model``, ``theta_x``, ``angle`` and ``distribution`` are
    the ``Sampler``'s, ``mu`` and ``sigma`` scalars or one per element; every
    other keyword (``fill``, ``neighbours``, ``Dhchol``, ``max_memory``,
    ``progress``) goes to the ``Sampler`` of the quadrature points
    (``points``), which draws a standard field (mean 0, sd 1).
    ``subdivide``: one rule for every element instead of the measured one
    (``subdivisions``): m >= 1 for m x m pieces, 0 for corners and centroid.

    Each value is ``mean + sd * scale * (M g)``: ``M`` the sparse (elements
    x points) averaging matrix, g the drawn standard point field, ``scale``
    the factor that makes the variance of each average the exact variance
    of the element's average under the model (``exact_variance``), ``mean``
    and ``sd`` the element's. A transformed property (lognormal) is the
    transform of that Gaussian average: its median is the asked one, its
    spread that of the average.

    Randomness is the ``Sampler``'s (``seed=``, ``rng=``, neither): row i
    of ``draw(k, seed=s)`` is ``realisation(i, seed=s)``, the average of
    ``points.realisation(i, seed=s)``. ``variance`` and ``covariance(cells)``
    are exact of what is drawn (from ``points.covariance``).
    """

    def __init__(self, /, *, cells: Any, theta_z: float, mu: Any, sigma: Any, model: int = 0,
                 theta_x: Optional[float] = None, distribution: str = "normal",
                 subdivide: Optional[int] = None, angle: float = 0.0, **keywords: Any) -> None:
        self.cells = cells if isinstance(cells, Cells) else Cells(cells)
        n = len(self.cells)
        self.N = n
        if isinstance(theta_z, bool) or not (isinstance(theta_z, (int, float, np.number))
                                             and 0 < float(theta_z) < math.inf):
            raise ValueError(f"theta_z must be positive and finite, got {theta_z!r}")
        theta_x = float(theta_z) if theta_x is None else theta_x
        if isinstance(theta_x, bool) or not (isinstance(theta_x, (int, float, np.number))
                                             and 0 < float(theta_x) < math.inf):
            raise ValueError(f"theta_x must be positive and finite, got {theta_x!r}")
        angle = check_angle(angle)
        key = _model_key(model) if isinstance(model, (int, np.integer)) else 0
        if subdivide is None:
            m = subdivisions(self.cells, theta_z=theta_z, theta_x=theta_x, model=key, angle=angle)
        else:
            m = np.full(n, integer("subdivide", subdivide, 0), dtype=np.intp)
        self.subdivisions = frozen(m)
        P, M = quadrature(self.cells, m, CENTRE_WEIGHT[key])
        # The point field is drawn standard (mean 0, sd 1: points shared by
        # elements of different means belong to none of them); each average
        # is then rescaled to the exact variance of the element's average,
        # and scaled and shifted by its element's sd and mean.
        mu_g, sigma_g, self.transform = parameters(distribution, _per_cell("mu", mu, n),
                                                   _per_cell("sigma", sigma, n))
        self.mean = frozen(np.broadcast_to(np.asarray(mu_g, dtype=np.float64), (n,)).copy())
        self.sd = frozen(np.broadcast_to(np.asarray(sigma_g, dtype=np.float64), (n,)).copy())
        self.points = Sampler(x=P[:, 0].copy(), z=P[:, 1].copy(), theta_z=theta_z, mu=0.0,
                              sigma=1.0, model=model, theta_x=theta_x, angle=angle, **keywords)
        exact = np.empty(n)
        large = self.cells.stretched(theta_z, theta_x, angle).size() > theta_z
        for part, (order, rule) in zip((~large, large), BUILD_ORDERS):
            at = np.flatnonzero(part)
            if len(at):
                exact[at] = exact_variance(self.cells.subset(at), theta_z=theta_z,
                                           theta_x=theta_x, model=key, order=order,
                                           angle_order=rule, angle=angle)
        drawn = _point_average_variance(P, M, theta_z, theta_x, key, angle)
        self.scale = frozen(np.sqrt(exact / drawn))
        self.M = M
        # values = mean + S g, with S = diag(sd * scale) M
        self._S = scipy.sparse.diags(np.asarray(self.sd) * np.asarray(self.scale)) @ M
        self._S.sort_indices()
        self._variance: Optional[np.ndarray] = None

    def __repr__(self) -> str:
        return (f"<CellAverages: {self.N} elements, {self.points.N} points, "
                f"fill={self.points.fill!r}>")

    @property
    def n_points(self) -> int:
        """The number of points the field is drawn at."""
        return int(self.points.N)

    # What the point sampler says of itself, for reports.
    @property
    def Nchol(self) -> int:
        return int(self.points.Nchol)

    @property
    def Nkrig(self) -> int:
        return int(self.points.Nkrig)

    @property
    def fill(self) -> str:
        return str(self.points.fill)

    def __dask_tokenize__(self) -> Tuple[str, str]:
        # built once, never changed: the point sampler's identity names it
        return ("random_field_sampler.CellAverages", self.points.__dask_tokenize__()[1])

    def to_dask(self, k: int, *, chunks: Any = "auto", seed: Any = None,
                client: Any = None) -> Any:
        """A dask array (k, elements) of the study seeded by ``seed``, row i
        equal to ``realisation(i, seed=seed)``; see ``Sampler.to_dask``."""
        from .distributed import to_dask
        return to_dask(self, k, chunks=chunks, seed=seed, client=client)

    def _average(self, rows: np.ndarray) -> np.ndarray:
        """Element values of point-field rows (k, points)."""
        out = np.asarray((self._S @ rows.T).T)
        out += np.asarray(self.mean)
        if not self.transform.identity:
            self.transform(out)
        return out

    def blocks(self, k: int, *, rows: Optional[int] = None, seed: Any = None, rng: Any = None,
               start: int = 0) -> Iterator[Tuple[int, np.ndarray]]:
        """Yield ``(offset, array)`` as ``Sampler.blocks`` does, each array
        (rows x elements)."""
        for offset, block in self.points.blocks(k, rows=rows, seed=seed, rng=rng, start=start):
            yield offset, self._average(block)

    @property
    def max_memory(self) -> int:
        """The point sampler's memory budget, in bytes."""
        return int(self.points.max_memory)

    @property
    def n_variates(self) -> int:
        """The standard normal variates of one realisation: the point
        sampler's (``Sampler.n_variates``)."""
        return int(self.points.n_variates)

    def field(self, xi: Any) -> np.ndarray:
        """The element values that the standard normal variates ``xi`` give:
        the point sampler's ``field(xi)``, averaged and rescaled as ``draw``
        averages its rows; (n_variates,) -> (elements,), (k, n_variates) ->
        (k, elements). Errors as ``Sampler.field``."""
        g = self.points.field(xi)
        return self._average(g[None, :])[0] if g.ndim == 1 else self._average(g)

    def draw(self, k: int = 1, *, seed: Any = None, rng: Any = None, start: int = 0) -> np.ndarray:
        """k realisations (k, elements), float64, as ``Sampler.draw``."""
        k = integer("k", k, 0)
        out = np.empty((k, self.N))
        for offset, block in self.blocks(k, seed=seed, rng=rng, start=start):
            out[offset:offset + len(block)] = block
        return out

    def realisation(self, i: int, *, seed: Any) -> np.ndarray:
        """Realisation i of the study seeded by ``seed``: row i of
        ``draw(k, seed=seed)``."""
        return self._average(self.points.realisation(i, seed=seed)[None, :])[0]

    def _gaussian_covariance(self, cells: np.ndarray) -> np.ndarray:
        S = self._S[cells]
        nodes = np.unique(S.indices)
        C = self.points.covariance(nodes)
        S = S[:, nodes]
        return np.asarray(S @ (S @ C).T)

    @property
    def variance(self) -> np.ndarray:
        """The exact variance of the drawn values of every element."""
        if self._variance is None:
            v = np.empty(self.N)
            step = max(1, 2000 // max(1, int(np.max(self.subdivisions, initial=1)) ** 2))
            for lo in range(0, self.N, step):
                c = np.arange(lo, min(self.N, lo + step))
                v[c] = np.diag(self._gaussian_covariance(c))
            if not self.transform.identity:
                v = self.transform.variance(v)
            self._variance = frozen(v)
        return self._variance

    def covariance(self, cells: Any) -> np.ndarray:
        """The exact covariance of the drawn values of the given elements."""
        cells = indices("element", cells, self.N)
        if not len(cells):
            return np.zeros((0, 0))
        C = self._gaussian_covariance(cells)
        if not self.transform.identity:
            C = self.transform.covariance(C, cells)
        return C


def _per_cell(name: str, value: Any, n: int) -> Any:
    a = np.asarray(value, dtype=np.float64)
    if a.ndim == 0:
        return float(a)
    if a.shape != (n,):
        raise ValueError(f"{name} must be a scalar or one value per element ({n}), "
                         f"got shape {a.shape}")
    return a


def _point_average_variance(P: np.ndarray, M: scipy.sparse.csr_matrix, theta_z: float,
                            theta_x: float, model: int, angle: float = 0.0) -> np.ndarray:
    """w^T R w per element (row of M): the variance of the weighted average
    of a unit-variance point field of the model at the element's points."""
    if angle:
        P = np.stack(rotate(P[:, 0], P[:, 1], angle), axis=1)
    Ps = P * np.array([theta_z / theta_x, 1.0])
    counts = np.diff(M.indptr)
    out = np.zeros(M.shape[0])
    for q in np.unique(counts):
        sel = np.flatnonzero(counts == q)
        step = max(1, 200000 // int(q * q))
        for lo in range(0, len(sel), step):
            part = sel[lo:lo + step]
            at = M.indptr[part][:, None] + np.arange(q)
            p = Ps[M.indices[at]]
            w = M.data[at]
            d = np.sqrt(((p[:, :, None, :] - p[:, None, :, :]) ** 2).sum(axis=-1)) / theta_z
            r = np.exp(-math.pi * d * d) if model == 0 else np.exp(-2.0 * d)
            out[part] = np.einsum("ki,kij,kj->k", w, r, w)
    return out


def cell_sampler(mesh: Any, *, average: bool = False, **keywords: Any) -> Any:
    """What draws one value per element of a mesh (a
    ``random_field_sampler.io.mesh.Mesh``), in the order of its cell values:
    the field at the element centroids (a ``Sampler``), or with
    ``average=True`` each element's average (``CellAverages``). The
    keywords are the ``Sampler``'s, without x and z."""
    if average:
        return CellAverages(cells=Cells.of_mesh(mesh), **keywords)
    x, z = mesh.coordinates("cells")
    return Sampler(x=x, z=z, **keywords)
