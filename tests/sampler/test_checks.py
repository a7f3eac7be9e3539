"""The sampler's checks of its arguments: what the driver would mishandle is
refused, what users have is converted, and the driver's diagnostics stay."""
import numpy as np
import pytest

import random_field as rf
from diagnostic_cases import DIAGNOSTICS
from random_field_sampler import Sampler
from random_field_sampler._checks import check_sampler_arguments
from random_field_sampler.sampler import ACCEPTED_KEYWORDS

X, Z = (a.ravel().copy() for a in np.meshgrid(np.arange(9) * 0.5, np.arange(5) * 0.5))
N = len(X)
BASE = dict(x=X, z=Z, theta_z=1.0, mu=0.0, sigma=1.0)


def with_value(a, i, v):
    a = np.array(a, dtype=float)
    a[i] = v
    return a


REFUSED = {
    "nan x": (dict(x=with_value(X, 3, np.nan)), ValueError, "x[3] = nan is not finite"),
    "inf z": (dict(z=with_value(Z, 0, -np.inf)), ValueError, "z[0] = -inf is not finite"),
    "zero theta_z": (dict(theta_z=0.0), ValueError, "theta_z must be positive and finite"),
    "negative theta_z": (dict(theta_z=-2), ValueError, "theta_z must be positive"),
    "nan theta_z": (dict(theta_z=np.nan), ValueError, "theta_z must be positive"),
    "zero theta_x": (dict(theta_x=0.0), ValueError, "theta_x must be positive and finite"),
    "inf theta_x": (dict(theta_x=np.inf), ValueError, "theta_x must be positive"),
    "string theta_x": (dict(theta_x="8"), TypeError, "theta_x must be a real number, not str"),
    "bool max_memory": (dict(max_memory=True), TypeError, "max_memory must be an integer, not a bool (True)"),
    "bool neighbours": (dict(neighbours=True), TypeError, "neighbours must be an integer, not a bool (True)"),
    "fill unknown": (dict(fill="kridging"), ValueError, "fill must be 'conditional' or 'kriging'"),
    "neighbours of kriging": (dict(fill="kriging", neighbours=9), TypeError, "neighbours is an option"),
    "negative sigma": (dict(sigma=-1.0), ValueError, "sigma must be >= 0 and finite, got sigma[0] = -1.0"),
    "nan in sigma": (dict(sigma=with_value(np.ones(N), 7, np.nan)), ValueError, "sigma[7] = nan"),
    "inf mu": (dict(mu=np.inf), ValueError, "mu must be finite, got mu[0] = inf"),
    "nan in mu list": (dict(mu=[0.0] * (N - 1) + [np.nan]), ValueError, f"mu[{N - 1}] = nan"),
    "string mu": (dict(mu="1.5"), TypeError, "mu must be a real number"),
    "string x": (dict(x=[str(v) for v in X]), TypeError, "x must hold real numbers, not <U"),
    "complex z": (dict(z=Z + 0j), TypeError, "z must hold real numbers, not complex128"),
    "2-d x": (dict(x=np.column_stack([X, X]), z=np.column_stack([Z, Z])), ValueError,
              "x must be one-dimensional, got shape"),
    "scalar x": (dict(x=1.0, z=[1.0]), TypeError, "x must be a sequence of coordinates"),
    "stretch overflows": (dict(theta_z=1e300, theta_x=1e-300), ValueError, "stretches x beyond"),
    "covariance overflows": (dict(sigma=1e200), ValueError, "sigma up to 1e+200 makes covariances"),
    "typo": (dict(thetax=8.0), TypeError,
             "unexpected keyword argument 'thetax'; did you mean 'theta_x'?"),
    "wrong case": (dict(DHCHOL=1.0), TypeError, "'DHCHOL'; did you mean 'Dhchol'?"),
    "nothing close": (dict(colour=1), TypeError, "argument 'colour' (accepted: x, z, theta_z"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused_before_any_work(capsys, case):
    change, exc, message = REFUSED[case]
    before = np.random.get_state()
    with np.errstate(all="ignore"):
        with pytest.raises(exc) as info:
            Sampler(**dict(BASE, **change))
    assert message in str(info.value)
    assert capsys.readouterr().out == ""
    after = np.random.get_state()
    assert before[2:] == after[2:] and np.array_equal(before[1], after[1])


@pytest.mark.parametrize("kw, line", DIAGNOSTICS)
def test_the_driver_diagnostics_come_first(capsys, kw, line):
    """A call that the driver refuses with a line gets that line, whatever
    else is wrong with it."""
    worse = dict(kw, thetax=1.0, theta_x=-1.0, Dhchol="far")
    if "x" in worse and "z" in worse:
        worse["x"] = with_value(worse["x"], 0, np.nan)
    with pytest.raises(ValueError) as info:
        Sampler(**worse)
    assert capsys.readouterr().out == line + "\n"
    assert str(info.value) == line


def float64_views():
    """Coordinates as users have them, each holding the values of X."""
    ro = X.copy()
    ro.flags.writeable = False
    return {
        "list": list(X), "tuple": tuple(X), "float32": X.astype(np.float32),
        "integer halves": (X * 2).astype(np.int64) / 2, "read-only": ro,
        "every other": np.repeat(X, 2)[::2], "reversed": X[::-1].copy()[::-1],
    }


def assert_driver(got, want):
    """The driver's realisation up to rounding (the sampler's kriging fill
    takes another, equivalent road to the kriged values)."""
    assert got.shape == want.shape
    assert np.abs(got - want).max() <= 1e-12 * np.abs(want).max()


@pytest.mark.parametrize("kind", list(float64_views()))
@pytest.mark.parametrize("which", ["x", "z"])
def test_coordinates_users_have_give_the_driver_bits(kind, which):
    other = "z" if which == "x" else "x"
    np.random.seed(6)
    want = rf.get_random_field(**dict(BASE, theta_x=2.0, **{which: X, other: Z}))
    np.random.seed(6)
    got = Sampler(fill="kriging", **dict(BASE, theta_x=2.0, **{which: float64_views()[kind], other: Z})).draw(1)[0]
    assert_driver(got, want)


@pytest.mark.parametrize("z", [np.arange(N), np.broadcast_to(1.5, N), np.zeros(N, np.float32)])
def test_integer_broadcast_and_float32_z_the_driver_refuses(z):
    kw = dict(BASE, z=z)
    with pytest.raises((TypeError, ValueError, BufferError)):
        rf.get_random_field(**kw)
    exact = dict(BASE, z=np.array(z, dtype=np.float64))
    np.random.seed(2)
    want = rf.get_random_field(**exact)
    np.random.seed(2)
    assert_driver(Sampler(fill="kriging", **kw).draw(1)[0], want)


def test_tuple_mu_like_a_list_and_real_scalars():
    mu = tuple(np.linspace(-1.0, 1.0, N))
    np.random.seed(9)
    want = rf.get_random_field(**dict(BASE, mu=list(mu), sigma=2.0, theta_z=2.0))
    for theta_z in (2, np.float32(2.0), np.array(2.0), np.int8(2)):
        np.random.seed(9)
        got = Sampler(fill="kriging", **dict(BASE, mu=mu, sigma=np.int64(2), theta_z=theta_z)).draw(1)[0]
        assert_driver(got, want)


def test_conversion_makes_new_arrays_and_leaves_the_callers_alone():
    ro = X.copy()
    ro.flags.writeable = False
    kwargs = dict(x=ro, z=list(Z), theta_z=np.float32(1.5), mu=(1.0,) * N, sigma=2,
                  model=object(), colour="red")
    saved = dict(kwargs)
    out = check_sampler_arguments(kwargs, ACCEPTED_KEYWORDS + ("colour",))
    assert kwargs == saved and not ro.flags.writeable
    for key in ("x", "z", "mu", "sigma"):
        a = out[key]
        assert a.dtype == np.float64 and a.shape == (N,) and a.flags.writeable
        assert a.flags.c_contiguous and not np.shares_memory(a, ro)
    assert type(out["theta_z"]) is float and "theta_x" not in out
    assert out["model"] is saved["model"] and out["colour"] == "red"
    with pytest.raises(TypeError, match="'colour'"):
        check_sampler_arguments(kwargs, ACCEPTED_KEYWORDS)


def test_the_readme_sampler_example_runs_on_its_own(tmp_path):
    """The example of many realisations needs nothing from the text around it."""
    import os
    import re
    import subprocess
    import sys
    readme = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")
    if not os.path.exists(readme):
        pytest.skip("no README beside the tests")
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("## Many realisations"):]
    code = re.findall(r"```python\n(.*?)```", section, re.S)[0].replace("draw(1000)", "draw(3)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         cwd=tmp_path, timeout=120)
    assert run.returncode == 0, run.stderr
