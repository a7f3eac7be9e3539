"""Inclined bedding: a sampler's ``angle`` rotates the direction of theta_x;
its exact covariance is the model's on rotated and stretched lags, its draws
correlate as the model says along and across the bedding, 0 changes no bit,
and a quarter turn swaps the correlation lengths. Element averages honour it."""
import math

import numpy as np
import pytest

from random_field_sampler import Sampler
from random_field_sampler.averages import CellAverages, Cells, exact_variance

X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(21) * 0.5, np.arange(13) * 0.5))
N = len(X)
ALL = np.arange(N)


def model_correlation(x, z, theta_z, theta_x, angle, model):
    """The model's correlation between all pairs of (x, z), its lags taken
    along (u) and across (w) the bedding at `angle` degrees."""
    a = math.radians(angle)
    dx = x[:, None] - x[None, :]
    dz = z[:, None] - z[None, :]
    u = dx * math.cos(a) + dz * math.sin(a)
    w = -dx * math.sin(a) + dz * math.cos(a)
    d = np.sqrt((u / theta_x) ** 2 + (w / theta_z) ** 2)   # in units of the lengths
    return np.exp(-math.pi * d * d) if model == 0 else np.exp(-2.0 * d)


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
@pytest.mark.parametrize("model", [0, 1])
@pytest.mark.parametrize("angle, theta_x", [(30.0, 3.0), (-45.0, 2.0), (120.0, 4.0), (200.0, 0.5)])
def test_exact_covariance_is_the_model_on_rotated_lags(fill, model, angle, theta_x):
    sigma = np.random.default_rng(1).uniform(0.5, 2.0, N)
    R = model_correlation(X, Z, 1.0, theta_x, angle, model) * np.outer(sigma, sigma)
    # Every node a Cholesky node: the covariance is the model's, with the
    # factor's jitter (1e-4 times the smallest covariance) on the diagonal.
    s = Sampler(x=X, z=Z, theta_z=1.0, theta_x=theta_x, mu=0.0, sigma=sigma, model=model,
                angle=angle, fill=fill, Dhchol=0.0)
    assert s.Nkrig == 0 and s.angle == angle
    want = R + 1e-4 * R.min() * np.eye(N)
    assert np.abs(s.covariance(ALL) - want).max() <= 1e-13 * want.max()
    # With kriged nodes: the model's at the Cholesky nodes, and with the
    # conditional fill within its accuracy at every node.
    s = Sampler(x=X, z=Z, theta_z=1.0, theta_x=theta_x, mu=0.0, sigma=sigma, model=model,
                angle=angle, fill=fill)
    assert s.Nkrig > 0
    c = np.asarray(s.chol_ind)
    Rc = R[np.ix_(c, c)]
    got = s.covariance(c) - 1e-4 * Rc.min() * np.eye(len(c))
    assert np.abs(got - Rc).max() <= 1e-13 * Rc.max()
    if fill == "conditional":
        assert np.abs(s.covariance(ALL) - R).max() < 0.05 * R.max()


def test_sampled_correlations_along_and_across_the_bedding():
    # anchors, each with a node one lag along the bedding and one across it
    angle, theta_x, theta_z, lag = 30.0, 8.0, 2.0, 2.0
    a = math.radians(angle)
    along = lag * np.array([math.cos(a), math.sin(a)])
    across = lag * np.array([-math.sin(a), math.cos(a)])
    anchors = np.array([(i * 7.0, j * 7.0) for i in range(4) for j in range(3)])
    P = np.concatenate([anchors, anchors + along, anchors + across])
    m = len(anchors)
    s = Sampler(x=P[:, 0].copy(), z=P[:, 1].copy(), theta_z=theta_z, theta_x=theta_x, mu=5.0,
                sigma=2.0, angle=angle)
    k = 4000
    F = s.draw(k, seed=2026)
    F = (F - F.mean(axis=0)) / F.std(axis=0)
    got = {}
    for lo, length in ((m, theta_x), (2 * m, theta_z)):
        got[length] = np.mean([np.mean(F[:, i] * F[:, lo + i]) for i in range(m)])
        want = math.exp(-math.pi * (lag / length) ** 2)
        assert abs(got[length] - want) < 4 * (1 - want * want) / math.sqrt(k) + 0.01, \
            (length, got[length], want)
    # not the unrotated field's: along the bedding 0.82, against 0.39 without the angle
    flat = math.exp(-math.pi * ((along[0] / theta_x) ** 2 + (along[1] / theta_z) ** 2))
    assert got[theta_x] - flat > 0.3


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
@pytest.mark.parametrize("distribution", ["normal", "lognormal"])
def test_angle_zero_changes_no_bit(fill, distribution):
    kw = dict(x=X, z=Z, theta_z=1.0, theta_x=3.0, mu=20.0, sigma=4.0, fill=fill,
              distribution=distribution)
    want = Sampler(**kw).draw(9, seed=4)
    for angle in (0, 0.0, -0.0, np.float64(0.0)):
        s = Sampler(**kw, angle=angle)
        assert s.draw(9, seed=4).tobytes() == want.tobytes()
        assert isinstance(s.angle, float)


@pytest.mark.parametrize("fill", ["kriging", "conditional"])
@pytest.mark.parametrize("model", [0, 1])
def test_a_quarter_turn_swaps_the_correlation_lengths(fill, model):
    kw = dict(x=X, z=Z, mu=1.0, sigma=1.5, model=model, fill=fill, Dhchol=0.0)
    turned = Sampler(theta_z=1.0, theta_x=3.0, angle=90.0, **kw).covariance(ALL)
    swapped = Sampler(theta_z=3.0, theta_x=1.0, **kw).covariance(ALL)
    assert np.abs(turned - swapped).max() <= 1e-13
    # against the other way round, a half turn changes nothing at all
    half = Sampler(theta_z=1.0, theta_x=3.0, angle=180.0, **kw).covariance(ALL)
    assert np.abs(half - Sampler(theta_z=1.0, theta_x=3.0, **kw).covariance(ALL)).max() <= 1e-13


@pytest.mark.parametrize("angle, exc", [
    (float("nan"), ValueError), (float("inf"), ValueError), (-np.inf, ValueError),
    (True, TypeError), (np.bool_(False), TypeError), ("30", TypeError), (None, TypeError),
    ([30.0], TypeError)])
def test_angles_refused(angle, exc):
    with pytest.raises(exc, match="angle"):
        Sampler(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0, angle=angle)
    with pytest.raises(exc, match="angle"):
        CellAverages(cells=CORNERS, theta_z=1.0, mu=0.0, sigma=1.0, angle=angle)


def test_rotated_coordinates_that_overflow_are_refused():
    x = np.array([0.0, 1.5e308])
    with pytest.raises(ValueError, match="64-bit"):
        Sampler(x=x, z=np.array([0.0, 1.5e308]), theta_z=1.0, mu=0.0, sigma=1.0, angle=45.0)


# Quadrilaterals and triangles of a small mesh, skewed so that no element is
# symmetric under the rotation.
_q = np.array([[0, 0], [1.2, 0.1], [1.4, 1.0], [0.1, 0.9]])
CORNERS = [np.array([_q + (1.5 * i, 1.1 * j) for i in range(4) for j in range(3)]),
           np.array([[[0, 4], [2.5, 4.2], [1.0, 5.5]], [[3, 4], [5.5, 4.5], [4.0, 6.0]]])]


def turned(corners, angle):
    """Corners in the bedding frame of `angle` degrees."""
    a = math.radians(angle)
    c, s = math.cos(a), math.sin(a)
    return [np.stack([b[..., 0] * c + b[..., 1] * s, -b[..., 0] * s + b[..., 1] * c], axis=-1)
            for b in corners]


@pytest.mark.parametrize("model", [0, 1])
def test_element_averages_honour_the_angle(model):
    # A field bedded at `angle` over the elements is the unrotated field over
    # the elements turned into the bedding frame: the same rule, points,
    # exact variances and covariance.
    angle = 35.0
    kw = dict(theta_z=0.8, theta_x=2.5, mu=3.0, sigma=0.5, model=model, fill="kriging",
              Dhchol=0.0)
    a = CellAverages(cells=CORNERS, angle=angle, **kw)
    b = CellAverages(cells=turned(CORNERS, angle), **kw)
    assert np.array_equal(a.subdivisions, b.subdivisions) and a.n_points == b.n_points
    assert np.abs(a.scale - b.scale).max() < 1e-9
    M = len(a.cells)
    assert np.abs(a.covariance(np.arange(M)) - b.covariance(np.arange(M))).max() < 1e-9
    cells = Cells(CORNERS)
    got = exact_variance(cells, theta_z=0.8, theta_x=2.5, model=model, angle=angle)
    want = exact_variance(Cells(turned(CORNERS, angle)), theta_z=0.8, theta_x=2.5, model=model)
    assert np.abs(got - want).max() < 1e-9
    # and it is not the unrotated field's
    flat = exact_variance(cells, theta_z=0.8, theta_x=2.5, model=model)
    assert np.abs(got - flat).max() > 1e-3
