"""Lognormal marginals: the parameters of the logarithm, and the values."""

import numpy as np
import pytest

from random_field_sampler import lognormal
from random_field_sampler.distributions import (gaussian_parameters, lognormal_parameters,
                                                transform)


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
    # in place, and the same values as the two-step route a sampler takes
    mu, s = gaussian_parameters("lognormal", mean, sd)
    two_step = transform("lognormal", mu + s * g)
    w = g.copy()
    assert lognormal(w, mean, sd, out=w) is w
    np.testing.assert_allclose(w, v, rtol=1e-15)
    np.testing.assert_allclose(two_step, v, rtol=1e-13)


def test_transform():
    f = np.array([[0.0, 1.0], [-2.0, 800.0]])
    assert transform("normal", f) is f
    out = np.empty_like(f)
    assert transform("normal", f, out=out) is out and (out == f).all()
    e = transform("lognormal", f)
    assert e is not f and e[0, 0] == 1.0 and e[1, 1] == np.inf and f[0, 1] == 1.0
    assert transform("lognormal", f, out=f) is f and f[0, 1] == np.e
    mu, s = gaussian_parameters("normal", 3.0, 2.0)
    assert (mu, s) == (3.0, 2.0)
    with pytest.raises(ValueError, match="unknown distribution 'gamma'"):
        transform("gamma", f)
