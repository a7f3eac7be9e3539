"""Module namespace, argument binding and conversion of the parameter kinds."""
import builtins
import ctypes
import math
import pickle
import re
import types

import numpy as np
import pytest

import random_field as rf
from support import (MATRIX_EXPORTERS, VECTOR_EXPORTERS, VIEW_KINDS, assert_same_bits, export,
                      make_view)

FUNCS = ("get_COV", "get_C_chol_krig", "get_chol_krig_nodes", "get_chol_field",
         "get_krig_field", "sort_nodes", "get_random_field")
X, Z, S = np.array([0.0, 0.6, 2.0]), np.array([0.0, 0.3, -1.0]), np.array([1.0, 2.0, 0.5])


def count(name, required, given):
    return f"{name}() takes exactly {required} positional arguments ({given} given)"


def cov(theta=1.0, model=0):
    return rf.get_COV(X, Z, theta, model, S)


def test_namespace():
    assert rf.np is np and rf.__doc__ is None and rf.__test__ == {}
    order = [k for k in vars(rf) if k in FUNCS or k in ("np", "__test__")]
    assert order == ["np", *FUNCS, "__test__"]
    for name in FUNCS:
        f = getattr(rf, name)
        assert isinstance(f, types.BuiltinFunctionType)
        assert (f.__name__, f.__module__, f.__doc__) == (name, "random_field", None)


BINDING = [
    (lambda: rf.get_chol_field(1), count("get_chol_field", 2, 1)),
    (lambda: rf.get_COV(X, Z, 1.0, 0, S, 7), count("get_COV", 5, 6)),
    (lambda: rf.get_COV(X, Z, 1.0, 0, S, 7, x=X), count("get_COV", 5, 6)),
    (lambda: rf.get_krig_field(), count("get_krig_field", 3, 0)),
    (lambda: rf.get_C_chol_krig(X, Z, X, Z, 1.0, 0, S), count("get_C_chol_krig", 8, 7)),
    # the number given is the position of the first missing parameter
    (lambda: rf.get_COV(x=X, z=Z, model=0, sigma=S), count("get_COV", 5, 2)),
    (lambda: rf.get_COV(sigma=S, theta=1.0, model=0, z=Z), count("get_COV", 5, 0)),
    (lambda: rf.get_chol_field(**{1: 2}), count("get_chol_field", 2, 0)),
    # a missing parameter is reported before a stray keyword
    (lambda: rf.get_chol_field(1, sigma=1), count("get_chol_field", 2, 1)),
    (lambda: rf.get_chol_field(1, 2, COV=1),
     "get_chol_field() got multiple values for keyword argument 'COV'"),
    (lambda: rf.get_chol_field(COV=1, mu=2, sigma=1),
     "get_chol_field() got an unexpected keyword argument 'sigma'"),
    (lambda: rf.get_chol_field(1, 2, **{1: 2}), "get_chol_field() keywords must be strings"),
    # stray keywords are examined in the order given
    (lambda: rf.sort_nodes(X, z=Z, bogus=1, x=X),
     "sort_nodes() got an unexpected keyword argument 'bogus'"),
    (lambda: rf.sort_nodes(X, z=Z, x=X, bogus=1),
     "sort_nodes() got multiple values for keyword argument 'x'"),
    (lambda: rf.get_random_field(1), count("get_random_field", 0, 1)),
    (lambda: rf.get_random_field(1, 2, x=X), count("get_random_field", 0, 2)),
    (lambda: rf.get_random_field(**{1: 2}), "get_random_field() keywords must be strings"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def same(a, b):
    if isinstance(a, list):
        assert isinstance(b, list) and len(a) == len(b)
        for u, v in zip(a, b):
            same(u, v)
    else:
        assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())


CALLS = {  # parameter names, arguments in parameter order
    "get_COV": ("x z theta model sigma", (X, Z, 0.8, 1, S)),
    "get_C_chol_krig": ("xchol zchol xkrig zkrig theta model sigma_chol sigma_krig",
                        (X[:2], Z[:2], X, Z, 0.8, 0, S[:2], S)),
    "get_chol_krig_nodes": ("x z dist_max", (X, Z, 0.7)),
    "sort_nodes": ("x z", (X[::-1].copy(), Z)),
    "get_krig_field": ("COV C_chol_krig chol_field",
                       (np.eye(2) * 2.0, np.ones((2, 3)), np.array([1.0, -1.0]))),
    "get_chol_field": ("COV mu", (np.eye(3), np.array([1.0, 2.0, 3.0]))),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("npos", [0, 1, 2])
def test_keywords_in_any_order_equal_positions(name, npos):
    f, (names, args) = getattr(rf, name), CALLS[name]
    np.random.seed(3)
    expected = f(*args)
    kw = dict(reversed(list(zip(names.split(), args))[npos:]))
    np.random.seed(3)
    same(f(*args[:npos], **kw), expected)


@pytest.mark.parametrize("pos", [0, 1, 4])
@pytest.mark.parametrize("kind", VIEW_KINDS + ("memoryview_cast",))
def test_array_parameter_accepts_views(pos, kind):
    args = [X, Z, 1.0, 0, S]
    if kind == "memoryview_cast":
        args[pos] = memoryview(bytearray(np.asarray(args[pos]).tobytes())).cast("d")
    else:
        args[pos] = make_view(kind, args[pos])
    assert_same_bits(rf.get_COV(*args), cov())


def test_none_is_an_empty_array():
    assert rf.get_COV(None, None, 1.0, 0, None).shape == (0, 0)
    assert rf.get_C_chol_krig(None, None, None, None, 1.0, 0, None, None).shape == (0, 0)


MISMATCH = "Buffer dtype mismatch, expected 'double' but got "
REFUSED = [
    ([0.0, 1.0, 2.0], TypeError, None),
    (bytes(24), (ValueError, BufferError), None),
    (np.frombuffer(bytes(24)), (ValueError, BufferError), None),
    (np.broadcast_to(1.0, 3), (ValueError, BufferError), None),
    (np.zeros((3, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.zeros(3, np.int64), ValueError, MISMATCH + "'long'"),
    (np.zeros(3, np.int32), ValueError, MISMATCH + "'int'"),
    (np.zeros(3, np.float32), ValueError, MISMATCH + "'float'"),
    (np.zeros(3, bool), ValueError, MISMATCH + "'bool'"),
    (np.zeros(3, np.complex64), ValueError, MISMATCH + "'complex float'"),
    (np.zeros(3, np.complex128), ValueError, MISMATCH + "'complex double'"),
    (np.zeros(3, object), ValueError, MISMATCH + "Python object"),
    (np.zeros(3, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, np.float16), ValueError,
     "Does not understand character buffer dtype format string ('e')"),
    (np.zeros(3, [("v", "<f8")]), ValueError, None),
]


@pytest.mark.parametrize("pos", [0, 1, 4])
@pytest.mark.parametrize("bad, exc, message", REFUSED)
def test_array_parameter_refusals(pos, bad, exc, message):
    args = [X, Z, 1.0, 0, S]
    args[pos] = bad
    with pytest.raises(exc) as info:
        rf.get_COV(*args)
    assert message is None or str(info.value) == message


@pytest.mark.parametrize("pos", [0, 1, 2, 3, 6, 7])
def test_every_array_parameter_of_the_cross_covariance_is_checked(pos):
    args = [X, Z, X, Z, 1.0, 0, S, S]
    args[pos] = np.zeros(3, np.int64)
    with pytest.raises(ValueError, match="but got 'long'$"):
        rf.get_C_chol_krig(*args)


def obj(**methods):
    return type("Obj", (), methods)()


def boom(self):
    raise RuntimeError("boom")


def real_refusal(v):  # the interpreter's own message for a non-real argument
    with pytest.raises(TypeError) as e:
        math.sqrt(v)
    return str(e.value)


MODELS = [(1.9, 1), (-1.5, 1), (0.9, 0), (-0.5, 0), (True, 1), (False, 0), (np.int64(7), 1),
          (np.int64(0), 0), (np.float64(-0.99), 0), (2147483647, 1), (-2147483648, 1),
          (obj(__int__=lambda self: 0), 0)]


@pytest.mark.parametrize("kw, value, same_as", [
    ("theta", 2, 2.0), ("theta", np.float32(0.5), 0.5), ("theta", -1.0, 1.0),
    ("theta", obj(__float__=lambda self: 1.5), 1.5), ("theta", True, 1.0),
] + [("model", v, m) for v, m in MODELS])
def test_scalar_conversions(kw, value, same_as):
    assert not np.array_equal(cov(model=0), cov(model=1))
    assert_same_bits(cov(**{kw: value}), cov(**{kw: same_as}))


NO_INT, TOO_LARGE = "an integer is required", "value too large to convert to int"


@pytest.mark.parametrize("kw, value, exc, message", [
    ("theta", "0.5", TypeError, real_refusal("0.5")), ("theta", None, TypeError, None),
    ("theta", 2 ** 2000, OverflowError, None), ("theta", obj(__float__=boom), RuntimeError, "boom"),
    ("model", "1", TypeError, NO_INT), ("model", None, TypeError, NO_INT),
    ("model", [0], TypeError, NO_INT), ("model", 2147483648, OverflowError, TOO_LARGE),
    ("model", -2147483649, OverflowError, TOO_LARGE),
    ("model", 2 ** 63 - 1, OverflowError, TOO_LARGE),
    ("model", 1e10, OverflowError, TOO_LARGE), ("model", 2 ** 70, OverflowError, None),
    ("model", -2 ** 70, OverflowError, None), ("model", float("nan"), ValueError, None),
    ("model", float("inf"), OverflowError, None),
    ("model", obj(__int__=boom), RuntimeError, "boom"),
])
def test_scalar_refusals(kw, value, exc, message):
    with pytest.raises(exc) as info:
        cov(**{kw: value})
    assert message is None or str(info.value) == message


@pytest.mark.parametrize("args, exc, message", [
    ((np.zeros(3, np.int64), np.zeros(3, np.float32), 1.0, 0, S), ValueError, MISMATCH + "'long'"),
    ((X, np.zeros(3, np.float32), "a", "1", S[:0]), ValueError, MISMATCH + "'float'"),
    ((X, Z, "a", "1", np.zeros(3, bool)), TypeError, real_refusal("a")),
    ((X, Z, 1.0, "1", np.zeros(3, bool)), TypeError, NO_INT),
    ((X, Z, 0.0, "1", S[:1]), TypeError, NO_INT),
])
def test_only_the_first_wrong_argument_is_reported(args, exc, message):
    with pytest.raises(exc) as info:
        rf.get_COV(*args)
    assert str(info.value) == message


def test_np_is_looked_up_at_call_time(monkeypatch):
    assert not hasattr(builtins, "np")
    expected = cov()
    monkeypatch.delattr(rf, "np")
    with pytest.raises(NameError) as info:
        cov()
    assert str(info.value) == "name 'np' is not defined"
    monkeypatch.setattr(builtins, "np", np, raising=False)  # builtins come second
    assert_same_bits(cov(), expected)
    seen = []

    def zeros(*args, **kwargs):
        seen.append((args, kwargs))
        raise KeyError("fake zeros")

    monkeypatch.setattr(rf, "np", types.SimpleNamespace(zeros=zeros), raising=False)
    with pytest.raises(KeyError):
        rf.get_C_chol_krig(X[:2], Z[:2], X, Z, 1.0, 0, S[:2], S)
    assert seen == [(((2, 3),), {"dtype": "float64"})]


@pytest.mark.parametrize("made, message", [
    (lambda shape: np.zeros((shape[0], shape[1] - 1)), "has shape (3, 2), expected (3, 3)"),
    (lambda shape: np.zeros(shape[0]), "wrong number of dimensions (expected 2, got 1)"),
    (lambda shape: np.zeros(shape, np.float32), "'float'"),
])
def test_a_replaced_np_zeros_is_never_written_outside_its_result(monkeypatch, made, message):
    # The matrix is filled in place through its buffer: one of the wrong
    # shape or type is refused, never written past.
    fake = types.SimpleNamespace(zeros=lambda shape, dtype: made(shape), asarray=np.asarray)
    monkeypatch.setattr(rf, "np", fake)
    with pytest.raises(ValueError, match=re.escape(message)):
        rf.get_COV(X, Z, 1.0, 0, S)


def test_a_transposed_result_matrix_is_filled_through_its_strides(monkeypatch):
    fake = types.SimpleNamespace(zeros=lambda shape, dtype: np.zeros(shape[::-1]).T,
                                 asarray=np.asarray)
    expected = rf.get_C_chol_krig(X[:2], Z[:2], X, Z, 1.0, 1, S[:2], S)
    monkeypatch.setattr(rf, "np", fake)
    assert_same_bits(rf.get_C_chol_krig(X[:2], Z[:2], X, Z, 1.0, 1, S[:2], S), expected)


# ------------------------------------------------------- every buffer exporter

PX = [0.0, 1.5, -2.0, 0.25, 3.0, 0.5]
PZ = [0.0, 0.5, 1.0, -0.75, 2.5, 0.4]
PS = [1.0, 0.5, 2.0, 1.25, 0.75, 1.5]


@pytest.mark.parametrize("n", [0, 1, 6])
def test_every_exporter_is_read_in_place(exporter, n):
    # The same values behind each exporter give the bits of numpy arrays,
    # whatever the exporter says (or omits) about strides and shape.
    x, z, s = np.array(PX[:n]), np.array(PZ[:n]), np.array(PS[:n])
    e = exporter
    assert_same_bits(rf.get_COV(e(x), e(z), 1.3, 0, e(s)), rf.get_COV(x, z, 1.3, 0, s))
    k = slice(n // 2, None)
    assert_same_bits(rf.get_C_chol_krig(e(x[:n // 2]), e(z[:n // 2]), e(x[k]), e(z[k]), 0.9, 1,
                                        e(s[:n // 2]), e(s[k])),
                     rf.get_C_chol_krig(x[:n // 2], z[:n // 2], x[k], z[k], 0.9, 1, s[:n // 2], s[k]))
    for got, want in zip(rf.sort_nodes(e(x), e(z)), rf.sort_nodes(x, z)):
        assert_same_bits(got, want)
    if n:
        got, want = rf.get_chol_krig_nodes(e(x), e(z), 1.1), rf.get_chol_krig_nodes(x, z, 1.1)
        assert [(a.dtype, a.tobytes()) for a in got] == [(a.dtype, a.tobytes()) for a in want]
    else:
        with pytest.raises(ValueError, match="no nodes"):
            rf.get_chol_krig_nodes(e(x), e(z), 1.1)


@pytest.mark.parametrize("made, ndim", [
    (lambda: ((ctypes.c_double * 2) * 3)(), 2), (lambda: ((ctypes.c_double * 0) * 0)(), 2),
    (lambda: pickle.PickleBuffer(((ctypes.c_double * 2) * 3)()), 2), (lambda: ctypes.c_double(1.0), 0),
])
def test_a_matrix_for_an_array_parameter_is_refused(made, ndim):
    with pytest.raises(ValueError) as info:
        rf.get_COV(made(), None, 1.0, 0, None)
    assert str(info.value) == f"Buffer has wrong number of dimensions (expected 1, got {ndim})"


@pytest.mark.parametrize("kind", list(MATRIX_EXPORTERS))
@pytest.mark.parametrize("nchol, nkrig", [(3, 3), (2, 4), (0, 0), (2, 0), (0, 3)])
def test_a_replaced_np_zeros_of_any_exporter_is_filled_through_its_buffer(monkeypatch, kind,
                                                                           nchol, nkrig):
    if 0 in (nchol, nkrig) and not kind.startswith(("ctypes", "PickleBuffer")):
        pytest.skip("memoryview casts cannot make empty matrices")
    x, z, s = np.array(PX), np.array(PZ), np.array(PS)
    calls = [("get_C_chol_krig", (x[:nchol], z[:nchol], x[:nkrig], z[:nkrig], 0.8, 0,
                                  s[:nchol], s[:nkrig]))]
    if nchol == nkrig:
        calls.append(("get_COV", (x[:nchol], z[:nchol], 0.8, 1, s[:nchol])))
    expected = [getattr(rf, name)(*args) for name, args in calls]
    made = []

    def zeros(shape, dtype):
        made.append(MATRIX_EXPORTERS[kind](*shape))
        return made[-1]

    monkeypatch.setattr(rf, "np", types.SimpleNamespace(zeros=zeros, asarray=np.asarray))
    for (name, args), want in zip(calls, expected):
        assert_same_bits(getattr(rf, name)(*args), want)
    assert len(made) == len(calls)


@pytest.mark.parametrize("kind", list(VECTOR_EXPORTERS))
def test_a_replaced_np_sort_of_any_exporter_gives_its_fields(monkeypatch, kind):
    x, z = np.array(PX), np.array(PZ)
    want = rf.sort_nodes(x, z)

    def sort(records, order):
        done = np.sort(records, order=order)
        return {"xv": export(kind, done["xv"]), "zv": export(kind, done["zv"])}

    monkeypatch.setattr(rf, "np", types.SimpleNamespace(sort=sort, array=np.array, asarray=np.asarray))
    for got, w in zip(rf.sort_nodes(x, z), want):
        assert np.asarray(got).tobytes() == np.ascontiguousarray(w).tobytes()
