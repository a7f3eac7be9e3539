"""Calls that get_random_field refuses with a printed line, and the line.
Shared by the driver's tests and the sampler's, which must print the same."""

import numpy as np

TWO = dict(x=[0.0, 1.0], z=[0.0, 1.0], theta_z=1.0, mu=0.0, sigma=1.0)


def missing(key):
    return {k: v for k, v in TWO.items() if k != key}, f'{key} must be included like this "{key}= value"'


DIAGNOSTICS = [
    ({}, 'x must be included like this "x= value"'),
    ({"x": [0.0], "z": [0.0]}, 'theta_z must be included like this "theta_z= value"'),
    *[missing(k) for k in ("x", "z", "theta_z", "mu", "sigma")],
    (dict(TWO, x=[0.0] * 5, z=[0.0] * 4, theta_z=None, mu=[0] * 9, sigma=[1] * 7),
     "x and z arrays must have the same number of elements"),
    (dict(TWO, mu=[0.0] * 5, sigma=[1.0] * 3), "sigma array must be same length as x- ans z- arrays"),
    (dict(TWO, mu=[0.0] * 3), "mu array must be same length as x- and z- arrays"),
    (dict(TWO, mu=np.zeros(1), sigma=[1.0, 2.0]), "mu array must be same length as x- and z- arrays"),
]
