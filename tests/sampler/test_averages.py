"""Element averages: the exact covariance of averages over squares and
triangles against adaptive quadrature and closed forms, and what
CellAverages draws against it (variance, neighbour correlations, mixed
sizes, refined meshes), its randomness, transform and threads."""
import math
import pickle
import threading

import numpy as np
import pytest
from scipy import integrate, special

from random_field_sampler import Sampler
from random_field_sampler.averages import (CellAverages, Cells, cell_sampler, exact_covariance,
                                              exact_variance)
from random_field_sampler.transform import parameters

# adaptive quadrature of the references near a cusp warns of roundoff far
# below the tolerances compared
pytestmark = pytest.mark.filterwarnings("ignore::scipy.integrate.IntegrationWarning")

MODELS = {"gaussian": 0, "exponential": 1}
models = pytest.mark.parametrize("model", list(MODELS.values()), ids=list(MODELS))


def rho(d, model, theta=1.0):
    return np.exp(-math.pi * (d / theta) ** 2) if model == 0 else np.exp(-2.0 * d / theta)


def square(a, x0=0.0, y0=0.0, b=None):
    b = a if b is None else b
    return [[x0, y0], [x0 + a, y0], [x0 + a, y0 + b], [x0, y0 + b]]


def grid(a, kind, n=3):
    """n x n squares of side a, or each square split into two triangles
    along its rising diagonal (triangle 2k and 2k + 1 in square k)."""
    quads, tris = [], []
    for i in range(n):
        for j in range(n):
            p = square(a, i * a, j * a)
            quads.append(p)
            tris += [[p[0], p[1], p[2]], [p[0], p[2], p[3]]]
    return Cells(np.array(quads if kind == "square" else tris, float))


def rectangle_reference(a, b, model, dx=0.0, theta=1.0):
    """Correlation of the averages over [0, a] x [0, b] and the same
    rectangle shifted by dx in x: the integral over the difference of the
    two points, weighted by the overlap of the shifted rectangles."""
    def f(v, u):
        wx = max(0.0, min(a, dx + a - u) - max(0.0, dx - u))   # |{x: x in [0,a], x+u in [dx,dx+a]}|
        return wx * 2 * (b - v) * rho(math.hypot(u, v), model, theta)
    val, _ = integrate.dblquad(f, dx - a, dx + a, 0, b, epsabs=1e-12, epsrel=1e-9)
    return val / (a * a * b * b)


def triangle_reference(a, model):
    """Variance of the average over the right triangle (0,0), (a,0), (0,a):
    the integral over differences h of rho(|h|) times the area of the
    triangle's overlap with itself shifted by h (a right triangle with legs
    a + min(0, h1 + h2) - max(0, h1) - max(0, h2))."""
    def f(h2, h1):
        leg = a + min(0.0, h1 + h2) - max(0.0, h1) - max(0.0, h2)
        return 0.5 * leg * leg * rho(math.hypot(h1, h2), model) if leg > 0 else 0.0
    val, _ = integrate.dblquad(f, -a, a, -a, a, epsabs=1e-12, epsrel=1e-9)
    return val / (a * a / 2) ** 2


# ---------------------------------------------------------------------------
# The reference


@models
@pytest.mark.parametrize("a", [0.1, 1.0, 4.0])
def test_exact_against_adaptive_quadrature(model, a):
    sq = Cells(np.array([square(a), square(a, a), square(a, 2 * a)], float))
    got = exact_covariance(sq, [0], [0, 1, 2], theta_z=1.0, model=model)[0]
    want = [rectangle_reference(a, a, model, dx) for dx in (0.0, a, 2 * a)]
    np.testing.assert_allclose(got, want, rtol=2e-6, atol=1e-9)
    tri = Cells(np.array([[[0, 0], [a, 0], [0, a]]], float))
    assert exact_variance(tri, theta_z=1.0, model=model)[0] == pytest.approx(
        triangle_reference(a, model), rel=2e-6)


@pytest.mark.parametrize("a", [0.1, 0.5, 1.0, 2.0, 4.0])
def test_gaussian_square_is_vanmarcke_squared(a):
    # separable: the square's variance function is the product of the 1-D ones
    t = a * math.sqrt(math.pi)
    g1 = special.erf(t) / a - (1 - math.exp(-t * t)) / (math.pi * a * a)
    got = exact_covariance(Cells(np.array([square(a)], float)), [0], [0], theta_z=1.0, model=0)
    assert got[0, 0] == pytest.approx(g1 * g1, rel=2e-6)


@pytest.mark.parametrize("a", [0.5, 2.0])
def test_exponential_thin_strip_is_vanmarcke_1d(a):
    # a strip of width 1e-4 theta averages like a line: Vanmarcke's 1-D
    # variance function of the exponential model
    strip = Cells(np.array([square(a, b=1e-4)], float))
    s = 2 * a
    want = 2 * (s - 1 + math.exp(-s)) / (s * s)
    assert exact_variance(strip, theta_z=1.0, model=1)[0] == pytest.approx(want, rel=2e-4)


@models
def test_exact_is_additive_and_anisotropy_is_a_stretch(model):
    # a square is the union of its two triangles: its average is theirs
    tri = grid(1.3, "triangle", n=1)
    C = exact_covariance(tri, [0, 1], [0, 1], theta_z=1.0, model=model)
    sq = exact_variance(grid(1.3, "square", n=1), theta_z=1.0, model=model)[0]
    assert C.sum() / 4 == pytest.approx(sq, rel=1e-6)
    assert C[0, 1] == pytest.approx(C[1, 0], rel=1e-6)
    # theta_x = 3 theta_z: a 3 x 1 rectangle averages as a unit square
    wide = Cells(np.array([square(3.0, b=1.0)], float))
    unit = Cells(np.array([square(1.0)], float))
    assert exact_variance(wide, theta_z=0.7, theta_x=2.1, model=model)[0] == pytest.approx(
        exact_variance(unit, theta_z=0.7, model=model)[0], rel=1e-9)


# ---------------------------------------------------------------------------
# What is drawn


def correlation(C):
    d = np.sqrt(np.diag(C))
    return C / np.outer(d, d)


# In a 3 x 3 grid of squares (index 3 i + j), the centre 4 shares an edge
# with 5, a corner with 8, and 3 is one element away from 5; triangles 2k
# and 2k + 1 halve square k: 8 and 9, 9 and 10 share an edge, 8 and 10 a
# corner, 6 is one element away from 10.
PAIRS = {"square": [(4, 5), (4, 8), (3, 5)], "triangle": [(8, 9), (9, 10), (8, 10), (6, 10)]}


@models
@pytest.mark.parametrize("kind", ["square", "triangle"])
@pytest.mark.parametrize("a", [0.02, 0.1, 0.15, 0.25, 0.5, 1.0, 2.0, 4.0])
def test_variance_and_neighbour_correlations(model, kind, a):
    cells = grid(a, kind)
    s = CellAverages(cells=cells, theta_z=1.0, mu=3.0, sigma=2.0, model=model)
    n = len(cells)
    C = s.covariance(np.arange(n))
    E = 4.0 * exact_covariance(cells, np.arange(n), np.arange(n), theta_z=1.0, model=model)
    np.testing.assert_allclose(np.diag(C), np.diag(E), rtol=0.02)
    np.testing.assert_allclose(s.variance, np.diag(C), rtol=1e-9)
    R, RE = correlation(C), correlation(E)
    for i, j in PAIRS[kind]:
        assert abs(R[i, j] - RE[i, j]) < 0.02, (i, j, R[i, j], RE[i, j])


def footing_mesh():
    """Quadrilaterals graded from 0.05 theta under a footing at x = 0 to 2
    theta at the far side, over three rows, the middle row's quadrilaterals
    split into triangles."""
    edges = np.concatenate([[0.0], np.cumsum(0.05 * 1.45 ** np.arange(12))])
    quads, tris = [], []
    for row, (y0, h) in enumerate([(0.0, 0.1), (0.1, 0.4), (0.5, 1.5)]):
        for x0, x1 in zip(edges[:-1], edges[1:]):
            p = [[x0, y0], [x1, y0], [x1, y0 + h], [x0, y0 + h]]
            if row == 1:
                tris += [[p[0], p[1], p[2]], [p[0], p[2], p[3]]]
            else:
                quads.append(p)
    return Cells([np.array(quads), np.array(tris)])


@models
def test_mixed_sizes_each_within_two_percent(model):
    cells = footing_mesh()
    s = CellAverages(cells=cells, theta_z=1.0, mu=0.0, sigma=1.0, model=model)
    assert len(set(s.subdivisions.tolist())) > 2
    want = exact_variance(cells, theta_z=1.0, model=model, order=16)
    np.testing.assert_allclose(s.variance, want, rtol=0.02)


def refine(c):
    """Each element into four: at the midpoints of its sides (and a
    quadrilateral's centre)."""
    c = np.asarray(c, float)
    if c.shape[1] == 3:
        a, b, d = c[:, 0], c[:, 1], c[:, 2]
        ab, bd, da = (a + b) / 2, (b + d) / 2, (d + a) / 2
        kids = [[a, ab, da], [ab, b, bd], [da, bd, d], [ab, bd, da]]
    else:
        a, b, d, e = (c[:, k] for k in range(4))
        ab, bd, de, ea, m = (a + b) / 2, (b + d) / 2, (d + e) / 2, (e + a) / 2, c.mean(axis=1)
        kids = [[a, ab, m, ea], [ab, b, bd, m], [m, bd, d, de], [ea, m, de, e]]
    return np.stack([np.stack(k, axis=1) for k in kids], axis=1).reshape(-1, c.shape[1], 2)


@models
def test_refined_twice_averages_to_the_parent(model):
    # parents: a parallelogram and two triangles; each refined twice (16
    # children of equal area); the mean of each parent's children, from the
    # children's implied covariance, has the parents' exact distribution
    quads = np.array([[[0, 0], [1.2, 0], [1.5, 1.0], [0.3, 1.0]]], float)
    tris = np.array([[[1.2, 0], [2.4, 0.2], [1.5, 1.0]], [[0.3, 1.0], [1.5, 1.0], [1.0, 1.8]]],
                    float)
    parents = Cells([quads, tris])
    kids = Cells([refine(refine(quads)), refine(refine(tris))])
    assert np.allclose(kids.area.reshape(3, 16) * 16, parents.area[:, None])
    s = CellAverages(cells=kids, theta_z=1.0, mu=0.0, sigma=1.0, model=model)
    A = np.kron(np.eye(3), np.full((1, 16), 1 / 16))
    C = A @ s.covariance(np.arange(48)) @ A.T
    E = exact_covariance(parents, np.arange(3), np.arange(3), theta_z=1.0, model=model)
    np.testing.assert_allclose(np.diag(C), np.diag(E), rtol=0.02)
    assert np.abs(correlation(C) - correlation(E)).max() < 0.02


# ---------------------------------------------------------------------------
# Randomness, transform, threads


def small(**kw):
    cells = grid(0.6, "triangle")
    return CellAverages(cells=cells, theta_z=1.0, mu=5.0, sigma=2.0, **kw)


@pytest.mark.parametrize("fill", ["conditional", "kriging"])
def test_rows_are_averages_of_the_point_study(fill):
    s = small(fill=fill)
    rows = s.draw(11, seed=7)
    pts = s.points.draw(11, seed=7)
    M = s.M.toarray()
    np.testing.assert_allclose(rows, 5.0 + 2.0 * s.scale * (pts @ M.T), rtol=1e-12, atol=1e-12)
    for i in (0, 8, 10):
        assert np.array_equal(s.realisation(i, seed=7), rows[i])
    got = np.concatenate([b for _, b in s.blocks(11, rows=3, seed=7)])
    assert np.array_equal(got, rows)
    # the global stream: the point sampler's draw, averaged
    np.random.seed(3)
    a = s.draw(4)
    np.random.seed(3)
    assert np.array_equal(a, s._average(s.points.draw(4)))
    assert np.array_equal(s.draw(3, rng=9), s.draw(3, rng=9))


def test_corners_are_shared_and_each_element_has_its_own_mean_and_sd():
    cells = grid(0.1, "triangle", n=5)                # 50 triangles, 36 corners
    s = CellAverages(cells=cells, theta_z=1.0, mu=0.0, sigma=1.0, model=1)
    assert set(s.subdivisions.tolist()) == {0} and s.n_points == 36 + 50
    np.testing.assert_allclose(np.asarray(s.M.sum(axis=1)).ravel(), 1.0)
    mu, sd = np.linspace(1, 2, 50), np.linspace(0.5, 3, 50)
    t = CellAverages(cells=cells, theta_z=1.0, mu=mu, sigma=sd, model=1)
    np.testing.assert_allclose(t.draw(3, seed=1), mu + sd * s.draw(3, seed=1), rtol=1e-12)
    np.testing.assert_allclose(t.variance, sd * sd * s.variance, rtol=1e-12)
    with pytest.raises(ValueError, match="one value per element"):
        CellAverages(cells=cells, theta_z=1.0, mu=mu[:4], sigma=1.0)


def test_lognormal_averages_the_gaussian_field_then_transforms():
    mean, sd = 40.0, 12.0
    logn = CellAverages(cells=grid(0.6, "triangle"), theta_z=1.0, mu=mean, sigma=sd,
                        distribution="lognormal")
    std = CellAverages(cells=grid(0.6, "triangle"), theta_z=1.0, mu=0.0, sigma=1.0)
    _, _, t = parameters("lognormal", mean, sd)
    a = std.draw(6, seed=2)
    np.testing.assert_allclose(logn.draw(6, seed=2), np.exp(t.shift + t.scale * a), rtol=1e-12)
    v = std.variance
    s2 = float(t.scale) ** 2 * v
    np.testing.assert_allclose(logn.variance, np.exp(2 * float(t.shift) + s2) * np.expm1(s2),
                               rtol=1e-12)
    # the element's median is the asked one; its spread below the point's
    assert np.all(logn.variance < sd * sd)


def test_threads_share_one_sampler_bit_for_bit():
    s = small()
    want = s.draw(24, seed=11)
    got = {}

    def work(t):
        got[t] = np.concatenate([s.realisation(i, seed=11)[None] for i in range(t, 24, 4)])

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(4):
        assert np.array_equal(got[t], want[t::4])
    again = pickle.loads(pickle.dumps(s))
    assert np.array_equal(again.draw(5, seed=11), want[:5])


def test_dask_rows_are_the_study():
    pytest.importorskip("dask.array")
    s = small()
    got = s.to_dask(10, chunks=3, seed=4).compute(scheduler="threads")
    assert np.array_equal(got, s.draw(10, seed=4))


# ---------------------------------------------------------------------------
# Elements


def test_cells_turn_clockwise_and_refuse_what_has_no_area():
    ccw = np.array([square(1.0)], float)
    cw = ccw[:, ::-1]
    a, b = Cells(ccw), Cells(cw)
    assert a.area[0] == b.area[0] == 1.0
    np.testing.assert_allclose(b.centroid, [[0.5, 0.5]])
    mixed = Cells([ccw, np.array([[[0, 0], [0, 1], [1, 0]]], float)])
    assert list(mixed.n_corners) == [4, 3] and mixed.area[1] == 0.5
    with pytest.raises(ValueError, match="element 1 has no area"):
        Cells(np.array([square(1.0), [[0, 0], [1, 0], [2, 0], [3, 0]]], float))
    with pytest.raises(ValueError, match="not convex"):
        Cells(np.array([[[0, 0], [2, 0], [0.5, 0.5], [0, 2]]], float))
    with pytest.raises(ValueError, match="not finite"):
        Cells(np.array([[[0, 0], [np.nan, 0], [0, 1]]], float))
    with pytest.raises(ValueError, match="expected"):
        Cells(np.zeros((2, 5, 2)))


def test_cells_of_a_mesh_with_second_order_elements():
    meshio = pytest.importorskip("meshio")
    from random_field_sampler.io.mesh import from_meshio
    pts = np.array([[0, 0], [1, 0], [1, 1], [0, 1], [2, 0], [0.5, 0], [1, 0.5], [0.5, 1],
                    [0, 0.5], [0.5, 0.5], [1.5, 0], [1.5, 0.5]], float)
    m = meshio.Mesh(pts, [("quad9", [[0, 1, 2, 3, 5, 6, 7, 8, 9]]),
                          ("triangle6", [[1, 4, 2, 10, 11, 6]]), ("line", [[0, 1]])])
    mesh = from_meshio(m)
    cells = Cells.of_mesh(mesh)
    assert list(cells.n_corners) == [4, 3]
    np.testing.assert_allclose(cells.area, [1.0, 0.5])
    np.testing.assert_allclose(cells.centroid, mesh.centroids)
    # average=True where cell values are asked for; without it the centroids
    kw = dict(theta_z=1.0, mu=2.0, sigma=0.5, model=1)
    a = cell_sampler(mesh, average=True, **kw)
    assert isinstance(a, CellAverages)
    assert np.array_equal(a.draw(3, seed=1), CellAverages(cells=cells, **kw).draw(3, seed=1))
    x, z = mesh.coordinates("cells")
    assert np.array_equal(cell_sampler(mesh, **kw).draw(3, seed=1),
                          Sampler(x=x, z=z, **kw).draw(3, seed=1))
    solid = meshio.Mesh(np.eye(4, 3), [("tetra", [[0, 1, 2, 3]])])
    with pytest.raises(ValueError, match="triangles and quadrilaterals"):
        Cells.of_mesh(from_meshio(solid, plane="xy"))
