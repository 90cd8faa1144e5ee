"""Index arrays, callables and algorithm-function arguments."""
import abc
import functools
import inspect
import traceback
import types
import warnings

import numpy as np
import pytest

from kit.hostile import Boom, boom, hostile

I32 = np.int32
NDX = "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_"


@pytest.fixture
def check(ac):
    return ac.ArgumentChecker.check_ndarray_idx


def arr(*items, dtype=I32):
    return np.array(items, dtype=dtype)


@pytest.mark.parametrize("value, kwargs, key, extra", [
    ((arr(0, 1, 2), 0, 2), {}, "ERROR2", (2,)),
    ((arr(0, 1, 2), 1, 3), {}, "ERROR1", (1,)),
    ((np.array([[0, 5], [2, 1]], dtype=I32), 0, 5), {}, "ERROR2", (5,)),
    ((arr(0, 1, dtype=np.int64), 0, 3), {}, "DTYPE_ERROR", (str(I32), "int64")),
    ((np.array([], dtype=np.int64), 0, 3), {}, "ERROR0", ()),
    (([0, 1], 0, 3), {}, "NDARRAY_ERROR", (list,)),
    ((arr(1.0, np.nan, dtype=np.float64), None, None), {"dtype": np.float64}, "NAN_ERROR", ()),
    ((arr(1, None, dtype=object), None, None), {"dtype": None}, "NONE_ERROR", ()),
])
def test_ndarray_idx_failures(check, rtext, assert_failure, ac, value, kwargs, key, extra):
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", "idx", value, **kwargs)
    assert_failure(ei, NDX + key, "f", "idx", *extra)


@pytest.mark.parametrize("value, kwargs", [
    ((arr(0, 1, 2), 0, 3), {}),
    ([arr(0, 1, 2, dtype=np.int64), None, None], {"dtype": None}),
    ((arr(1.0, np.nan, dtype=np.float64), None, None), {"dtype": "float64", "allow_nan": True}),
    ((arr(1, None, dtype=object), None, None), {"dtype": None, "allow_none": 1, "allow_nan": 1}),
])
def test_ndarray_idx_passes(check, value, kwargs):
    assert check("f", "idx", value, **kwargs) is None


@pytest.mark.parametrize("value, kwargs, exc", [
    ((arr(0),), {}, IndexError),                                 # too short
    (5, {}, TypeError),                                          # not indexable
    ((arr(1, None, dtype=object), 0, 5), {"dtype": None, "allow_none": True, "allow_nan": True}, TypeError),
    ((arr(1, None, dtype=object), None, None), {"dtype": None, "allow_none": True}, TypeError),
    ((np.array(["a", "b"]), None, None), {"dtype": None}, TypeError),  # isnan of strings
    ((arr(0, 1), "x", None), {}, TypeError),                    # bound not comparable
])
def test_ndarray_idx_errors_propagate(check, ac, value, kwargs, exc):
    with pytest.raises(exc) as ei:
        check("f", "idx", value, **kwargs)
    assert not isinstance(ei.value, ac.InvalidParamError)


def test_ndarray_idx_replaced_np_sees_every_call(check, ac, monkeypatch):
    calls = []

    def spy(name):
        def f(*a):
            calls.append(name)
            return getattr(np, name)(*a)
        return f

    fake = types.SimpleNamespace(ndarray=np.ndarray, **{n: spy(n) for n in ("isnan", "any", "min", "max")})
    monkeypatch.setattr(ac, "np", fake)
    check("f", "idx", (arr(0, 1), 0, 2))
    assert calls == ["isnan", "any", "min", "max"]


class Odd(np.ndarray):
    def __iter__(self):
        return iter([1, None])


class Reducing:
    """Stands in for a NumPy ufunc whose reduction gives a fixed result."""

    def __init__(self, result):
        self.result = result

    def reduce(self, *args, **kwargs):
        return self.result


# NumPy's own functions run their replaced parts (the package attributes they read when they run),
# whatever the dtype: the native route must step aside for them.
@pytest.mark.parametrize("name, replacement, array, key", [
    ("isnan", lambda a: np.ones(a.shape, dtype=bool), arr(0, 1), "NAN_ERROR"),
    ("any", lambda a: True, arr(0.5, 1, dtype=np.float64), "NAN_ERROR"),
    ("logical_or", Reducing(True), arr(0, 1), "NAN_ERROR"),
    ("min", lambda a: -1, arr(0.5, 1, dtype=np.float64), "ERROR1"),
    ("minimum", Reducing(-1), arr(0, 1, dtype=np.uint8), "ERROR1"),
    ("max", lambda a: 5, arr(0, 1, dtype=object), "ERROR2"),
    ("maximum", Reducing(5), arr(0, 1, dtype=np.float16), "ERROR2"),
    (None, None, arr(0, 1).view(Odd), "NONE_ERROR"),  # a subclass that iterates its own way
])
def test_ndarray_idx_shortcuts_hide_nothing(check, rtext, assert_failure, ac, monkeypatch,
                                            name, replacement, array, key):
    if name:
        monkeypatch.setattr(np, name, replacement)
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", "idx", (array, 0, 2), dtype=None, allow_nan=array.dtype == object)
    assert_failure(ei, NDX + key, "f", "idx", *{"ERROR1": (0,), "ERROR2": (2,)}.get(key, ()))


# The extremes found in one pass serve a later test only while no Python code ran in between: here the
# code that runs (a bound's comparison, an attribute lookup on a NumPy whose module class was replaced)
# rewrites the array before the maximum (or minimum) is taken.
@pytest.mark.parametrize("dtype, changed_at, key", [
    (I32, "bound", "ERROR2"),
    (np.float64, "bound", "ERROR2"),
    (object, "bound", "ERROR2"),
    (I32, "max", "ERROR2"),
    (np.float64, "min", "ERROR1"),
])
def test_ndarray_idx_sees_an_array_changed_between_tests(check, rtext, assert_failure, ac, monkeypatch,
                                                          dtype, changed_at, key):
    a = arr(0, 1, 2, dtype=dtype)
    new_value = -1 if changed_at == "min" else 99

    class Rewriting:
        def compare(self, other):
            a[...] = new_value
            return False
        __lt__ = __gt__ = __le__ = __ge__ = compare

    class Watched(types.ModuleType):
        def __getattribute__(self, name):
            if name == changed_at:
                a[...] = new_value
            return super().__getattribute__(name)

    low = 0
    if changed_at == "bound":
        low = Rewriting()
    else:
        monkeypatch.setattr(np, "__class__", Watched)
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", "idx", (a, low, 10), dtype=None, allow_nan=dtype is object)
    assert_failure(ei, NDX + key, "f", "idx", *((low,) if key == "ERROR1" else (10,)))


class NoneLike(type):
    def __eq__(cls, other):
        return other is type(None)
    __hash__ = type.__hash__


class Refusing(type):
    def __eq__(cls, other):
        raise ZeroDivisionError
    __hash__ = type.__hash__


# The None test compares every element's type with type(None), so a metaclass's own comparison runs.
@pytest.mark.parametrize("element, outcome", [
    (NoneLike("N", (), {})(), NDX + "NONE_ERROR"),
    (Refusing("R", (), {})(), ZeroDivisionError),
    (abc.ABCMeta("A", (), {})(), None),
])
@pytest.mark.parametrize("subclass", [False, True])
def test_ndarray_idx_none_test_runs_metaclass_comparisons(check, rtext, ac, element, outcome, subclass):
    a = np.array([1, 2] * 40 + [element, 3], dtype=object)
    value = (a.view(np.recarray) if subclass else a, None, None)
    if outcome is None:
        assert check("f", "idx", value, dtype=None, allow_nan=True) is None
        return
    with pytest.raises(ac.InvalidParamError if isinstance(outcome, str) else outcome) as ei:
        check("f", "idx", value, dtype=None, allow_nan=True)
    if isinstance(outcome, str):
        assert ei.value.args[0].key == outcome


def _outcome(check, value, kwargs):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            check("f", "idx", value, **kwargs)
            result = "ok"
        except Exception as e:
            result = (type(e).__name__, str(e))
    return result, [str(w.category) for w in seen]


def _numbers(dtype):
    """Arrays of `dtype` around the vector widths, with the type's extremes (or NaN) at either end and
    in the middle."""
    rng = np.random.default_rng(3)
    kind = np.dtype(dtype).kind
    out = []
    for n in (1, 2, 63, 64, 65, 127, 128, 129, 300):
        base = rng.integers(-100, 100, size=n)
        a = (base % 2 == 1) if kind == "b" else base.astype(dtype)
        out.append(a)
        for i, pos in enumerate((0, n // 2, n - 1)):
            b = a.copy()
            if kind == "f":
                b[pos] = (np.nan, -np.inf, np.inf)[i]
            elif kind in "iu":
                b[pos] = (np.iinfo(dtype).min, np.iinfo(dtype).max)[i % 2]
            else:
                b[pos] = not b[pos]
            out.append(b)
    return out


def _layouts():
    a = np.arange(60, dtype=I32).reshape(3, 4, 5)
    inner = np.zeros(9, dtype=[("pad", "i1"), ("x", "<f8")])["x"]
    inner[:] = np.arange(9) - 4.5
    class Sub(np.ndarray):
        pass
    return {
        "reversed": [a[::-1], np.arange(200, dtype=np.int64)[::-1]],
        "strided": [a[:, ::2], a.T, np.asfortranarray(a)],
        "0-d": [np.array(7, dtype=I32), np.array(np.nan), np.array(-0.5, dtype=np.float16)],
        "unaligned": [inner, inner[:1]],
        "swapped": [np.arange(-70, 70, dtype=">i4"), np.linspace(-3, 3, 70).astype(">f8"),
                    np.array([1, np.nan, 2], dtype=">f2")],
        "metadata": [np.arange(100, dtype=np.dtype("i8", metadata={"m": 1}))],
        "bool bytes": [np.array([2, 1, 0, 255], dtype=np.uint8).view(np.bool_), np.ones(200, dtype=np.bool_)],
        "zeros": [np.array([0.0, -0.0] * 40), np.array([-0.0, 0.0] * 40, dtype=np.float32)],
        "others": [np.arange(5, dtype=np.longdouble), np.arange(5, dtype=np.complex64),
                   np.array(["2021-01-01", "NaT"], dtype="datetime64[D]"), np.arange(70).view(Sub)],
        "objects": [np.arange(-70, 70).astype(object), np.array([2 ** 70, 1, -5] * 30, dtype=object),
                    np.array([1, None, 2], dtype=object), np.array([1, True, 2], dtype=object),
                    np.array([1.5, np.nan, -1.0], dtype=object), np.array([3, 1, 2.0], dtype=object),
                    np.array([7] * 100, dtype=object)],
    }


NUMBER_DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                 np.longlong, np.ulonglong, np.float16, np.float32, np.float64]
BOUNDS = [(None, None), (0, 100), (-100, 101), (-5, 5), (0.5, 99.5), (np.int8(-3), np.uint64(50)), (True, 2),
          (-np.inf, np.inf), (-2 ** 63, 2 ** 64), (np.float16(-1), np.float32(250)), (np.nan, np.nan)]


# With `np` any object other than the NumPy package itself, every test calls NumPy's own functions: the
# native route must give the same outcome, message and warnings, for every dtype and layout.
@pytest.mark.parametrize("arrays", [pytest.param(lambda d=d: _numbers(d), id=np.dtype(d).name)
                                    for d in NUMBER_DTYPES] +
                                   [pytest.param(lambda k=k: _layouts()[k], id=k) for k in _layouts()])
def test_ndarray_idx_native_route_agrees_with_numpy(check, ac, monkeypatch, arrays):
    generic = types.SimpleNamespace(**{k: getattr(np, k) for k in dir(np) if not k.startswith("__")})
    for a in arrays():
        for low, high in BOUNDS:
            for kwargs in ({"dtype": None}, {"dtype": None, "allow_nan": True},
                           {"dtype": None, "allow_none": True, "allow_nan": True}):
                native = _outcome(check, (a, low, high), kwargs)
                monkeypatch.setattr(ac, "np", generic)
                expected = _outcome(check, (a, low, high), kwargs)
                monkeypatch.undo()
                assert native == expected, (a.dtype, a.shape, a.strides, low, high, kwargs)


def test_ndarray_idx_traceback_entry(check, ac):
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", "idx", (arr(0, 1, 2), 0, 2))
    names = [e.name for e in traceback.extract_tb(ei.value.__traceback__)]
    assert names[-1] == "tframe.utils.argchecker.ArgumentChecker.check_ndarray_idx"


# ---- check_callable ---------------------------------------------------------------------------------

def two(a, b):
    pass


def spread(a, *args, **kwargs):
    pass


class K:
    def m(self, a, b):
        pass


@pytest.mark.parametrize("obj, kwargs, ok, key", [
    (two, {}, True, None),
    (lambda a, b: None, {"arg_count": 2, "param_names": ("b", "a")}, True, None),
    (spread, {"arg_count": 3}, True, None),
    (two, {"arg_count": 3}, False, "ERROR_FUNC_ERROR_ARG_COUNT"),
    (two, {"func_name": "g", "arg_count": 3}, False, "ERROR_FUNC_ERROR_FUNC_NAME"),
    (two, {"param_names": ["a", "c"]}, True, "ERROR_FUNC_ERROR_ARG_NAME"),
    (two, {"param_names": "ab"}, True, None),
    (two, {"param_names": "ac"}, True, "ERROR_FUNC_ERROR_ARG_NAME"),
    (two, {"param_names": iter(["c"])}, True, None),  # no __len__: not examined
    (len, {}, False, "ERROR_FUNC_IS_NOT_FUNC"),
    (K().m, {}, False, "ERROR_FUNC_IS_NOT_FUNC"),
    (K, {}, False, "ERROR_FUNC_IS_NOT_FUNC"),
    (functools.partial(two, 1), {}, False, "ERROR_FUNC_IS_NOT_FUNC"),
])
def test_check_callable_pairs(ac, rtext, obj, kwargs, ok, key):
    got_ok, reason = ac.ArgumentChecker.check_callable(obj, raise_error=False, **kwargs)
    assert got_ok is ok
    assert (reason == "") if key is None else (reason.key == key)


@pytest.mark.parametrize("kwargs, key, sig", [
    ({}, "ERROR_FUNC_IS_NOT_FUNC", ""),
    ({"except_sig": "f(a)"}, "ERROR_FUNC_IS_NOT_FUNC", "f(a)"),
])
def test_check_callable_raises(ac, rtext, assert_failure, kwargs, key, sig):
    with pytest.raises(ac.InvalidParamError) as ei:
        ac.ArgumentChecker.check_callable(len, **kwargs)
    msg = assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECTSIGN_ERROR", getattr(rtext, key), sig)
    assert msg.fmt_args[0].key == key


def test_check_callable_stops_before_signature_and_text(ac, monkeypatch):
    def no_signature(obj):
        raise AssertionError("signature computed")

    class NoText:
        def __getattr__(self, key):
            raise AssertionError("text read: " + key)

    monkeypatch.setattr(ac, "text", NoText())
    assert ac.ArgumentChecker.check_callable(two, arg_count=2, param_names=["a"]) == (True, "")
    monkeypatch.setattr(inspect, "signature", no_signature)
    with pytest.raises(AssertionError, match="text read: ERROR_FUNC_ERROR_FUNC_NAME"):
        ac.ArgumentChecker.check_callable(two, func_name="g")


class BadLen:
    @property
    def __len__(self):
        raise Boom


def test_check_callable_hostile(ac):
    with pytest.raises(Boom):
        ac.ArgumentChecker.check_callable(two, param_names=hostile(list, "__iter__", boom, ["a"]))
    assert ac.ArgumentChecker.check_callable(two, param_names=BadLen()) == (True, "")


# ---- is_algorithm_func_and_args ---------------------------------------------------------------------

@pytest.mark.parametrize("args", [(), (1, 2), (two,), (two, 5)])
def test_algorithm_args_accepted(ac, args):
    assert ac.ArgumentChecker.is_algorithm_func_and_args("f", *args) is None


@pytest.mark.parametrize("args, key, extra", [
    ((1,), "ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2", lambda a: (1, int)),
    ((len,), "ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2", lambda a: (len, type(len))),
    ((1, 2, 3), "ARGCHECKER_INVALID_PARAM_EXPECTNARGS_ERROR", lambda a: (2, repr(a), tuple)),
])
def test_algorithm_args_rejected(ac, rtext, assert_failure, args, key, extra):
    with pytest.raises(ac.InvalidParamError) as ei:
        ac.ArgumentChecker.is_algorithm_func_and_args("f", *args)
    assert_failure(ei, key, "f", *extra(args))
