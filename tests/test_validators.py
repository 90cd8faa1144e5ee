"""Index arrays, callables and algorithm-function arguments."""
import functools
import inspect
import sys
import traceback
import types

import numpy as np
import pytest

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


@pytest.mark.parametrize("replace_isnan, array, key", [
    (True, arr(0, 1), "NAN_ERROR"),             # NumPy's own isnan replaced
    (False, arr(0, 1).view(Odd), "NONE_ERROR"),  # a subclass that iterates its own way
])
def test_ndarray_idx_shortcuts_hide_nothing(check, rtext, assert_failure, ac, monkeypatch,
                                            replace_isnan, array, key):
    if replace_isnan:
        monkeypatch.setattr(np, "isnan", lambda a: np.ones(a.shape, dtype=bool))
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", "idx", (array, 0, 2))
    assert_failure(ei, NDX + key, "f", "idx")


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


class Boom(Exception):
    pass


class BadIter(list):
    def __iter__(self):
        raise Boom


class BadLen:
    @property
    def __len__(self):
        raise Boom


def test_check_callable_hostile(ac):
    with pytest.raises(Boom):
        ac.ArgumentChecker.check_callable(two, param_names=BadIter(["a"]))
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


# ---- reference counts -------------------------------------------------------------------------------

def test_validators_leak_nothing(ac, rtext):
    A = ac.ArgumentChecker
    ok = (arr(0, 1, 2), 0, 3)
    bad = (arr(0, 1, 2), 0, 2)
    objs = (arr(1, None, dtype=object), None, None)
    names = ["a", "c"]
    watched = (ok, ok[0], bad, bad[0], objs, objs[0], names, two, A)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(2000):
        A.check_ndarray_idx("f", "idx", ok)
        A.check_callable(two, arg_count=2, param_names=names, raise_error=False)
        A.is_algorithm_func_and_args("f", two)
        for call in (lambda: A.check_ndarray_idx("f", "idx", bad),
                     lambda: A.check_ndarray_idx("f", "idx", objs, dtype=None),
                     lambda: A.check_callable(two, arg_count=3),
                     lambda: A.is_algorithm_func_and_args("f", 1, 2, 3)):
            try:
                call()
            except ac.InvalidParamError as e:
                del e
    assert [sys.getrefcount(o) for o in watched] == before
