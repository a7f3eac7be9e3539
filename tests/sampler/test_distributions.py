"""Marginals and trends: the parameters of the logarithm, and the one
transform from a drawn field to the values asked for."""

import numpy as np
import pytest

from random_field_sampler import lognormal
from random_field_sampler.distributions import lognormal_parameters
from random_field_sampler.transform import IDENTITY, Transform, parameters


@pytest.mark.parametrize("mean, sd", [(20.0, 4.0), (1e-3, 5e-3), (7.0, 0.0),
                                      (np.array([1.0, 10.0, 300.0]), np.array([0.5, 10.0, 1.0])),
                                      (np.array([[2.0], [3.0]]), 1.5)])
def test_parameters_give_the_mean_and_sd(mean, sd):
    mu, s = lognormal_parameters(mean, sd)
    # the moments of exp(N(mu, s^2))
    np.testing.assert_allclose(np.exp(mu + s * s / 2), mean, rtol=1e-13)
    np.testing.assert_allclose(np.sqrt(np.expm1(s * s)) * np.exp(mu + s * s / 2), sd,
                               rtol=1e-12, atol=1e-300)
    assert np.shape(mu) == np.broadcast_shapes(np.shape(mean), np.shape(sd))


@pytest.mark.parametrize("mean, sd, message", [
    (0.0, 1.0, "positive, finite mean, got 0"),
    (np.array([3.0, -1.0]), 1.0, "got -1 (at index 1)"),
    (np.nan, 1.0, "positive, finite mean"),
    (2.0, -0.5, "sd >= 0, got -0.5"),
    (np.array([2.0, 2.0]), np.array([1.0, np.inf]), "at index 1"),
])
def test_bad_parameters_are_named(mean, sd, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        lognormal_parameters(mean, sd)


def test_lognormal_of_standard_fields_has_the_mean_and_sd():
    g = np.random.default_rng(3).standard_normal((200_000, 3))
    mean, sd = np.array([20.0, 1.0, 5.0]), np.array([4.0, 2.0, 0.1])
    v = lognormal(g, mean, sd)
    assert (v > 0).all()
    np.testing.assert_allclose(v.mean(axis=0), mean, rtol=0.02)
    np.testing.assert_allclose(v.std(axis=0), sd, rtol=0.06)
    # in place, and the same values as the transform a sampler applies
    mu, sigma, t = parameters("lognormal", mean, sd)
    assert (mu, sigma) == (0.0, 1.0)
    two_step = t(g.copy())
    w = g.copy()
    assert lognormal(w, mean, sd, out=w) is w
    np.testing.assert_allclose(w, v, rtol=1e-15)
    assert two_step.tobytes() == v.tobytes()


@pytest.mark.parametrize("distribution, standard", [("normal", False), ("normal", True),
                                                    ("lognormal", False)])
def test_parameters_and_transform(distribution, standard):
    mean, sd = np.array([3.0, 4.0, 5.0]), np.array([2.0, 1.0, 0.5])
    mu, sigma, t = parameters(distribution, mean, sd, standard=standard)
    f = np.array([[0.0, 1.0, -2.0], [1e6, 0.5, 0.0]])
    if distribution == "normal" and not standard:
        assert mu is mean and sigma is sd and t is IDENTITY and t(f) is f
        return
    assert (mu, sigma) == (0.0, 1.0) and not t.identity
    g = f.copy()
    assert t(g) is g                           # in place
    want = mean + sd * f
    if distribution == "lognormal":
        m, s = lognormal_parameters(mean, sd)
        with np.errstate(over="ignore"):
            want = np.exp(m + s * f)
        assert g[1, 0] == np.inf
    np.testing.assert_allclose(g, want, rtol=1e-15)
    ro = f.copy()
    ro.flags.writeable = False
    assert t(ro) is not ro and (ro == f).all()   # a read-only array is left alone
    # the moments of the values from those of the field
    C = np.array([[1.0, 0.3, 0.0], [0.3, 0.8, 0.1], [0.0, 0.1, 1.2]])
    np.testing.assert_allclose(np.diag(t.covariance(C, np.arange(3))), t.variance(np.diag(C)),
                               rtol=1e-14)
    with pytest.raises(ValueError, match="unknown distribution 'gamma'"):
        Transform("gamma")
