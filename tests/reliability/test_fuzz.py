"""Hostile-input fuzzing: every factory, rule, worker method, validator, target function and the decorator
fed with drawn values, among them objects whose own methods raise or return the wrong type, or change
what the running call uses (the checker's rules, arg_name and constants, their own container, module
globals, the host's cache and command).

A call may succeed or raise InvalidParamError, what the drawn objects' own methods raised (Boom), or
the interpreter's TypeError, ValueError, AttributeError, IndexError, KeyError, OverflowError or
RecursionError (and NameError where a global was deleted mid-call). Never SystemError (a result returned
with an exception set, or a failure without one), never a crash (the run is in-process: a crash ends the
suite), and never a handled exception left behind after a call returns.

AC_PROFILE=short (default) draws a few dozen examples per test; AC_PROFILE=long draws enough for well
over a hundred thousand across the file.
"""
import functools
import itertools
import os
import sys
import tempfile

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst

from kit.hostile import WRONG_RESULTS, BadBool, Boom, HostileCache, boom, hostile
from kit.leak_paths import every_path
from kit.tools import report_line
from velmora.tframe.utils.exceptions import InvalidParamError

PROFILE = os.environ.get("AC_PROFILE", "short")
EXAMPLES = {"short": 30, "long": 3000}[PROFILE]
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))

pytestmark = pytest.mark.filterwarnings("ignore")
EXAMPLES_RUN = [0]


def counted(test):
    """Counts the examples run across the file (printed when the file is done)."""
    @functools.wraps(test)
    def example(*args, **kwargs):
        EXAMPLES_RUN[0] += 1
        return test(*args, **kwargs)
    return example


@pytest.fixture(scope="module", autouse=True)
def example_count(request):
    yield
    report_line(request.config, "fuzz: {} examples run (profile {})".format(EXAMPLES_RUN[0], PROFILE))


# ---------------------------------------------------------------------------------------------------
# Hostile objects

HOSTILE_METHODS = ["__eq__", "__ne__", "__hash__", "__len__", "__bool__", "__repr__", "__str__", "__format__",
                   "lower", "upper", "strip", "__iter__", "__lt__", "__le__", "__gt__", "__ge__", "__contains__",
                   "__getitem__", "__index__", "__int__", "__call__", "__getattr__", "__reduce_ex__",
                   "__deepcopy__", "__fspath__"]
ITEMS_BY_INDEX = 3


BASE_VALUES = {object: None, str: "point", int: 20200101, list: ["buy", "day"], dict: {"target_list": ["rb2105"]},
               tuple: ("2020q1",), float: 1.5}


def make_hostile(base, method, result):
    """A `base` whose `method` raises Boom (result is Boom) or returns `result`."""
    def answer(self, *args, **kwargs):
        if result is Boom:
            raise Boom(method)
        # Iterating a class without `__iter__` goes by index until IndexError: end it after a few items,
        # or a rule that iterates (as `set()` does) never returns.
        if method == "__getitem__" and args and type(args[0]) is int and args[0] >= ITEMS_BY_INDEX:
            raise IndexError(args[0])
        return result
    return hostile(base, method, answer, *([] if base is object else [BASE_VALUES[base]]))


hostiles = st.builds(make_hostile, st.sampled_from(list(BASE_VALUES)), st.sampled_from(HOSTILE_METHODS),
                    st.sampled_from([Boom, Boom] + WRONG_RESULTS))


@pytest.mark.parametrize("base", list(BASE_VALUES))
def test_every_hostile_object_ends_an_iteration(base):
    # The suite must finish whatever Hypothesis draws: iterating any hostile object ends (or raises).
    for method, result in itertools.product(HOSTILE_METHODS, [Boom] + WRONG_RESULTS):
        try:
            items = list(itertools.islice(iter(make_hostile(base, method, result)), 100))
        except Exception:
            continue
        assert len(items) < 100, (base, method, result)


class Word(str):
    """A harmless str subclass."""


class Number(int):
    """A harmless int subclass."""


def recursive(kind):
    if kind == "list":
        x = []
        x.append(x)
    elif kind == "dict":
        x = {}
        x["target_list"] = x
    elif kind == "tuple":
        inner = []
        x = (inner, "day")
        inner.append(x)
    elif kind == "deep":
        x = []
        for _ in range(5000):
            x = [x]
    else:  # a list that holds itself among ordinary codes
        x = ["rb2105"]
        x.append(x)
    return x


def object_array(items):
    a = np.empty(len(items), dtype=object)
    for i, v in enumerate(items):
        a[i] = v
    return a


def drawn_function(shape):
    """Python functions of various signatures, and callables that are not Python functions."""
    if shape == 0:
        def f(a, b):
            return (a, b)
    elif shape == 1:
        def f(a, b=2, *args, c=3, **kw):
            return a
    elif shape == 2:
        f = lambda *a, **k: None  # noqa: E731
    elif shape == 3:
        def f():
            raise Boom("called")
    elif shape == 4:
        def f(a):
            return a
        f.__signature__ = "not a signature"
    elif shape == 5:
        def f(a):
            return a
        f.__wrapped__ = f  # a wrapper loop
    elif shape == 6:
        f = functools.partial(lambda a, b: a, 1)
    elif shape == 7:
        f = len
    else:
        f = Word.lower
    return f


WORDS = ["point", "Percent", "MARKET", "limit", "Buy", "sell", "day", "1min", "tick", "5levelfok", "",
         "   ", "2020-01-31", "2020-02-30", "20200131", "2020q1", "2020Q1", "2020q12", "0", "rb2105", "IF2106",
         "600000", "a.b", "\x00", "\udcff", "%Y%m%d", "%", "target_list", "ab"]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2 ** 200, max_value=2 ** 200),
    st.floats(), st.complex_numbers(), st.text(max_size=20), st.binary(max_size=10),
    st.sampled_from(WORDS), st.sampled_from(WORDS).map(Word), st.integers(-3, 2 ** 40).map(Number),
    st.dates(), st.datetimes(), st.datetimes().map(pd.Timestamp),
    st.integers(1000, 200000).map(lambda n: "2020q1" + "x" * n),
    st.integers(1000, 200000).map(lambda n: "a" * n),
    st.integers(0, 8).map(drawn_function),
    st.sampled_from([int, str, float, object, type, Boom, BadBool, np.int32, np.ndarray]),
)
dtypes = st.one_of(npst.scalar_dtypes(), npst.byte_string_dtypes(max_len=4),
                   npst.unicode_string_dtypes(max_len=4), npst.array_dtypes(max_size=2),
                   npst.scalar_dtypes().map(lambda d: d.newbyteorder()))
arrays = st.one_of(
    npst.arrays(dtypes, npst.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)),
    st.lists(st.one_of(scalars, hostiles), max_size=4).map(object_array),
    npst.arrays(np.int32, npst.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=5)),
    npst.arrays(np.float64, st.integers(1, 6), elements=st.floats()).map(lambda a: a[::-1]),
)
leaves = st.one_of(scalars, hostiles, arrays, st.sampled_from(["list", "dict", "tuple", "deep", "mixed"]).map(recursive))
values = st.recursive(
    leaves,
    lambda ch: st.one_of(st.lists(ch, max_size=4), st.tuples(ch, ch), st.tuples(ch, ch, ch),
                         st.dictionaries(st.text(max_size=3), ch, max_size=3),
                         st.frozensets(st.sampled_from(WORDS), max_size=3)),
    max_leaves=6)


# ---------------------------------------------------------------------------------------------------
# The judge

# The host's class itself: tests below rebind the module global.
ALLOWED = (InvalidParamError, Boom, TypeError, ValueError, AttributeError, IndexError, KeyError, OverflowError,
           RecursionError)


def call(ac, fn, *args, **kwargs):
    """Calls fn and checks the outcome; returns ('ok', result) or ('raised', exception type)."""
    try:
        result = fn(*args, **kwargs)
        assert sys.exc_info() == (None, None, None), "a handled exception was left behind"
        return "ok", result
    except SystemError as e:  # noqa: B014 - SystemError is a RuntimeError; it must be caught first
        raise AssertionError("SystemError: {}".format(e))
    except ALLOWED as e:
        return "raised", type(e)


@pytest.fixture(scope="module")
def quiet_host():
    """The user log in a scratch file, and the target cache and command log emptied afterwards."""
    from velmora.tframe.comm import vmcmd
    from velmora.tframe.sysclsbase import vr
    saved = os.environ.get("VELMORA_USERLOG")
    workdir = tempfile.mkdtemp(prefix="ac-fuzz-")
    os.environ["VELMORA_USERLOG"] = os.path.join(workdir, "user.log")
    yield workdir
    if saved is None:
        del os.environ["VELMORA_USERLOG"]
    else:
        os.environ["VELMORA_USERLOG"] = saved
    vr.g_VelmoraCache.clear()
    vmcmd.reset()


def reset_targets():
    from velmora.tframe.comm import vmcmd
    from velmora.tframe.sysclsbase import vr
    vr.g_VelmoraCache.clear()
    vmcmd.reset()


# ---------------------------------------------------------------------------------------------------
# Rules built by every factory

def factory_args(values):
    """The arguments of every factory, drawn from `values` (a new list each time: a drawn value may empty or
    refill the list its call's arguments came in)."""
    none = st.builds(list)
    return {
        "is_instance_of": st.lists(st.one_of(st.sampled_from([int, str, float, bool, np.ndarray, pd.Timestamp,
                                                              (int, str), Word]), values), max_size=3),
        "is_callable": none,
        "is_exist_path": none,
        "is_empty_or_not": st.lists(values, max_size=2),
        "is_in": st.tuples(values).map(list) | st.tuples(values, values).map(list),
        "sub_set": st.tuples(values).map(list),
        "is_stop_type": none, "is_stop_gap": none, "is_trailing_type": none,
        "is_oder_ctg": none, "is_oder_act": none,
        "is_valid_quarter": st.lists(values, max_size=1),
        "is_valid_date": st.lists(st.one_of(values, st.sampled_from(["%Y-%m-%d", "%Y%m%d", "%", "%Q",
                                                                     "%Y %%"])), max_size=3),
        "is_future_date": none,
        "is_greater_than": st.tuples(values).map(list), "is_greater_or_equal_than": st.tuples(values).map(list),
        "is_less_than": st.tuples(values).map(list), "is_less_or_equal_than": st.tuples(values).map(list),
        "is_valid_frequency": none, "is_valid_fq": none,
        "is_valid_price_type": none, "is_valid_order_act": none,
    }


FACTORY_ARGS = factory_args(values)
CONSTANTS = ["FREQUENCY", "STOP_TYPE", "STOP_GAP", "TRAILING_TYPE", "ORDER_CTG", "ORDER_ACT", "ALL_PRICE_TYPE"]
tampering = st.one_of(st.none(), st.tuples(st.sampled_from(CONSTANTS + ["arg_name"]), values))


@pytest.mark.parametrize("factory", sorted(FACTORY_ARGS))
def test_rules_take_any_value(ac, quiet_host, factory):
    @FUZZ
    @given(arg_name=st.one_of(st.sampled_from(["x", "price"]), values), args=FACTORY_ARGS[factory],
           func_name=st.one_of(st.just("api"), values), vals=st.lists(values, min_size=1, max_size=4),
           tamper=tampering)
    @counted
    def run(arg_name, args, func_name, vals, tamper):
        checker = ac.verify_that(arg_name)
        outcome = call(ac, getattr(checker, factory), *args)
        assert outcome[0] == "ok" and outcome[1] is checker, "a factory never checks its arguments"
        if tamper is not None:
            setattr(checker, *tamper)
        for v in vals:
            call(ac, checker.verify, func_name, v)
            call(ac, checker.rules[0], func_name, v)
    run()


WORKERS = {
    "_is_instance_of": st.tuples(values, values, values),
    "_is_in": st.tuples(values, values, values) | st.tuples(values, values, values, values),
    "_sub_set": st.tuples(values, values, values),
    "_is_greater_or_equal_than": st.tuples(values, values, values),
    "_is_valid_frequency": st.tuples(values, values),
    "_is_valid_fq": st.tuples(values, values),
    "verify": st.tuples(values, values),
}


@pytest.mark.parametrize("method", sorted(WORKERS))
def test_worker_methods_take_any_value(ac, method):
    @FUZZ
    @given(args=WORKERS[method], tamper=tampering, self_is_checker=st.booleans(), other_self=values)
    @counted
    def run(args, tamper, self_is_checker, other_self):
        checker = ac.verify_that("x")
        checker.is_in(["a"]).is_valid_fq()
        if tamper is not None:
            setattr(checker, *tamper)
        call(ac, getattr(checker, method), *args)
        # The unbound function with any object as `self`.
        call(ac, getattr(ac.ArgumentChecker, method), checker if self_is_checker else other_self, *args)
    run()


# ---------------------------------------------------------------------------------------------------
# Argument parsing of every function the module makes

def every_function(ac):
    A = ac.ArgumentChecker
    out = []
    for name, member in A.__dict__.items():
        if isinstance(member, (staticmethod, classmethod)):
            out.append(("ArgumentChecker." + name, getattr(A, name)))
            out.append(("ArgumentChecker.__dict__." + name + ".__func__", member.__func__))
        elif callable(member) and not isinstance(member, type):
            out.append(("ArgumentChecker." + name, member))
    for name in ("verify_that", "apply_rule", "get_target_from_cache", "set_target_to_cache",
                 "convert_targets", "patch_target_list"):
        out.append((name, getattr(ac, name)))
    checker = ac.verify_that("x")
    for factory in FACTORY_ARGS:
        if factory in ("is_valid_frequency", "is_valid_fq"):
            continue
        args = [[1]] if factory in ("is_in", "sub_set") else [0] if factory.startswith(("is_greater", "is_less")) else []
        rule = getattr(ac.verify_that("x"), factory)(*args).rules[0]
        out.append(("rule of " + factory, rule))
    out.append(("bound verify", checker.verify))
    deco = ac.apply_rule(ac.verify_that("a").is_instance_of(int))
    out.append(("decorator", deco))
    out.append(("wrapper", deco(lambda a, b=1: a)))
    return out


@pytest.fixture(scope="module")
def functions(ac):
    return every_function(ac)


KEYWORDS = ["self", "func_name", "value", "arg_name", "types_", "valid_values", "ignore_value", "low", "high",
            "empty", "ignore_none", "timestamp", "fmt", "allow_empty_str", "begin", "end", "parame_name",
            "dtype", "allow_none", "allow_nan", "func_obj", "arg_count", "param_names", "raise_error",
            "except_sig", "target_list", "no_cache_target_list", "converted_czce_list", "params", "rules",
            "a", "b", "zz"]


def test_every_function_parses_any_arguments(ac, quiet_host, functions):
    @FUZZ
    @given(index=st.integers(0, len(functions) - 1), args=st.lists(values, max_size=7),
           kwargs=st.dictionaries(st.one_of(st.sampled_from(KEYWORDS), st.text(max_size=4)), values, max_size=4),
           odd_key=st.one_of(st.none(), st.sampled_from([1, b"value", None, ("a",)])))
    @counted
    def run(index, args, kwargs, odd_key):
        name, fn = functions[index]
        if odd_key is not None:
            kwargs = dict(kwargs)
            kwargs[odd_key] = 1  # not a string: every function refuses it with TypeError
            assert call(ac, lambda: fn(*args, **kwargs)) == ("raised", TypeError), name
        else:
            call(ac, lambda: fn(*args, **kwargs))
        reset_targets()
    for _ in range(4):  # this one test covers every function, so it draws more
        run()


# ---------------------------------------------------------------------------------------------------
# The decorator

class FakeChecker:
    """Something with `verify` and `arg_name`, whose members may be hostile."""

    def __init__(self, arg_name, outcome):
        self.arg_name = arg_name
        self.outcome = outcome

    def verify(self, func_name, value):
        if isinstance(self.outcome, type) and issubclass(self.outcome, BaseException):
            raise self.outcome("from a checker")
        return self.outcome


def drawn_checker(ac, kind, arg_name, x):
    if kind == 0:
        return ac.verify_that(arg_name).is_instance_of(int).is_greater_than(0)
    if kind == 1:
        return ac.verify_that(arg_name).is_in(["buy", "sell"]).is_valid_order_act()
    if kind == 2:
        return FakeChecker(arg_name, x)
    if kind == 3:
        return FakeChecker(arg_name, ac.InvalidParamError)
    return x  # anything at all


@given(checkers=st.lists(st.tuples(st.integers(0, 4), st.one_of(st.sampled_from(["a", "b", "rest", "kw", "c"]),
                                                                   values), values), max_size=3),
       shape=st.integers(0, 8), args=st.lists(values, max_size=4),
       kwargs=st.dictionaries(st.sampled_from(["a", "b", "c", "kw", "zz"]), values, max_size=2),
       switch=st.one_of(st.booleans(), values))
@FUZZ
@counted
def test_decorated_functions_take_any_call(ac, quiet_host, checkers, shape, args, kwargs, switch):
    A = ac.ArgumentChecker
    rules = [drawn_checker(ac, kind, name, x) for kind, name, x in checkers]
    func = drawn_function(shape)
    outcome = call(ac, ac.apply_rule(*rules), func)
    if outcome[0] != "ok":
        return
    wrapper = outcome[1]
    saved = A.ALLOW_ARG_CHECK
    A.ALLOW_ARG_CHECK = switch
    try:
        def caller():
            return wrapper(*args, **kwargs)
        call(ac, caller)
    finally:
        A.ALLOW_ARG_CHECK = saved


# ---------------------------------------------------------------------------------------------------
# Stand-alone validators

@given(value=st.one_of(
    st.tuples(arrays, st.one_of(st.none(), values), st.one_of(st.none(), values)),
    st.tuples(arrays, st.none(), st.none()).map(list),
    values),
    dtype=st.one_of(st.none(), st.just(np.int32), dtypes, values),
    allow_none=values, allow_nan=values, names=st.tuples(values, values))
@FUZZ
@counted
def test_check_ndarray_idx_takes_any_array(ac, value, dtype, allow_none, allow_nan, names):
    call(ac, ac.ArgumentChecker.check_ndarray_idx, names[0], names[1], value, dtype, allow_none, allow_nan)
    call(ac, ac.ArgumentChecker.check_ndarray_idx, "api", "idx", value)


@given(arr=npst.arrays(st.sampled_from([np.int8, np.int32, np.int64, np.uint16, np.uint64, np.bool_, np.float32,
                                        np.float64]),
                       npst.array_shapes(min_dims=1, max_dims=3, min_side=1, max_side=5)),
       order=st.sampled_from(["C", "F", "reversed", "strided", "swapped"]),
       low=st.one_of(st.none(), st.integers(-300, 300), st.floats()),
       high=st.one_of(st.none(), st.integers(-300, 300), st.floats()))
@FUZZ
@counted
def test_check_ndarray_idx_agrees_with_numpy_on_any_layout(ac, rtext, arr, order, low, high):
    # The array in memory layouts that shortcuts could get wrong; the outcome must match NumPy's own
    # min, max, isnan on it.
    if order == "F":
        arr = np.asfortranarray(arr)
    elif order == "reversed":
        arr = arr[::-1]
    elif order == "strided":
        arr = np.repeat(arr, 2, axis=0)[::2]
    elif order == "swapped":
        arr = arr.byteswap().view(arr.dtype.newbyteorder())
    flat = arr.ravel()
    if np.isnan(flat).any():
        expected = "nan"
    elif low is not None and np.min(flat) < low:
        expected = "min"
    elif high is not None and np.max(flat) >= high:
        expected = "max"
    else:
        expected = "ok"
    try:
        ac.ArgumentChecker.check_ndarray_idx("api", "idx", (arr, low, high), None)
        got = "ok"
    except ac.InvalidParamError as e:
        got = {"NAN_ERROR": "nan", "ERROR1": "min", "ERROR2": "max"}.get(
            e.args[0].key.replace("ARGCHECKER_INVALID_PARAM_NDARRAYIDX_", ""), e.args[0].key)
    assert got == expected


@given(func_obj=st.one_of(st.integers(0, 8).map(drawn_function), values),
       func_name=st.one_of(st.none(), st.sampled_from(["f", "g", "<lambda>"]), values),
       arg_count=st.one_of(st.none(), st.integers(0, 4), values),
       param_names=st.one_of(st.none(), st.lists(st.sampled_from(["a", "b", "c", "args"]), max_size=3), values),
       raise_error=values, except_sig=values)
@FUZZ
@counted
def test_check_callable_takes_any_object(ac, func_obj, func_name, arg_count, param_names, raise_error, except_sig):
    A = ac.ArgumentChecker
    outcome = call(ac, A.check_callable, func_obj, func_name, arg_count, param_names, raise_error, except_sig)
    if outcome[0] == "ok":
        ok, reason = outcome[1]
        assert ok is True or ok is False
    outcome = call(ac, A.check_callable, func_obj, raise_error=False)
    if outcome[0] == "ok":
        assert type(outcome[1]) is tuple and len(outcome[1]) == 2


@given(func_name=values, args=st.lists(st.one_of(values, st.integers(0, 8).map(drawn_function)), max_size=4))
@FUZZ
@counted
def test_is_algorithm_func_and_args_takes_anything(ac, func_name, args):
    outcome = call(ac, ac.ArgumentChecker.is_algorithm_func_and_args, func_name, *args)
    if outcome[0] == "ok":
        assert outcome[1] is None


@given(begin=st.one_of(values, st.integers(18000101, 30001231)),
       end=st.one_of(values, st.integers(18000101, 30001231)))
@FUZZ
@counted
def test_check_begin_end_date_takes_anything(ac, begin, end):
    outcome = call(ac, ac.ArgumentChecker.check_begin_end_date, begin, end)
    if outcome[0] == "raised":
        assert issubclass(outcome[1], (ValueError, TypeError, Boom, AttributeError, OverflowError,
                                       RecursionError)), outcome


# ---------------------------------------------------------------------------------------------------
# Target lists, with the host's cache and command swapped for hostile ones at times

codes = st.one_of(st.lists(st.one_of(st.sampled_from(WORDS), values), max_size=5),
                  st.tuples(st.sampled_from(WORDS), st.sampled_from(WORDS)), values)


@given(target_list=codes, converted=values, cache=st.one_of(st.none(), st.tuples(values, st.booleans())),
       lookup=st.one_of(st.none(), values), via_patch=st.booleans())
@FUZZ
@counted
def test_target_functions_take_anything(ac, quiet_host, monkeypatch, target_list, converted, cache, lookup,
                                        via_patch):
    from velmora.tframe.sysclsbase import vr
    with monkeypatch.context() as m:
        if cache is not None:
            m.setattr(vr, "g_VelmoraCache", HostileCache(got=cache[0], store_fails=cache[1]))
        call(ac, ac.get_target_from_cache, target_list)
        call(ac, ac.set_target_to_cache, target_list, converted)
        if lookup is not None:
            # get_target_from_cache replaced by something that hands back any object at all.
            m.setattr(ac, "get_target_from_cache", lambda tl: lookup)
        if via_patch:
            call(ac, ac.patch_target_list, {"target_list": target_list})
            call(ac, ac.patch_target_list, target_list)
        else:
            call(ac, ac.convert_targets, target_list)
    reset_targets()


# ---------------------------------------------------------------------------------------------------
# Every path with one module global or host facility replaced by a hostile object

GLOBALS = ["text", "InvalidParamError", "np", "inspect", "datetime", "Timestamp", "re", "os", "wraps",
           "traceback", "types", "unwrapper", "write_userlog", "to_datetime", "ArgumentChecker",
           "get_target_from_cache", "set_target_to_cache", "convert_targets"]


@pytest.fixture(scope="module")
def paths(ac, quiet_host):
    return every_path(ac, quiet_host)


@given(data=st.data(), name=st.sampled_from(GLOBALS),
       replacement=st.one_of(values, st.just(boom), st.just(KeyError), st.sampled_from(WRONG_RESULTS)))
@FUZZ
@counted
def test_every_path_with_a_hostile_global(ac, monkeypatch, paths, data, name, replacement):
    picked = data.draw(st.lists(st.integers(0, len(paths) - 1), min_size=1, max_size=6))
    with monkeypatch.context() as m:
        m.setattr(ac, name, replacement)
        for i in picked:
            call(ac, paths[i].call)
    reset_targets()


# ---------------------------------------------------------------------------------------------------
# Mid-call mutation: values whose own methods change what the running call uses (the checker's rules,
# arg_name and constants, the containers they came in, module globals, the host's cache and command)

MISSING = object()  # an action's value that deletes instead of setting
MUTATED_GLOBALS = ["text", "InvalidParamError", "os", "get_target_from_cache", "set_target_to_cache",
                   "convert_targets"]
MUTATION = settings(FUZZ, max_examples={"short": 30, "long": 24000}[PROFILE])
MUTATING_METHODS = ["__eq__", "__ne__", "__hash__", "__len__", "__bool__", "__iter__", "__contains__",
                    "__getitem__", "__lt__", "__le__", "__gt__", "__ge__", "__index__", "__repr__", "__str__",
                    "__format__", "lower", "upper", "strip", "__deepcopy__", "__fspath__"]
# What a method the base type lacks answers after its action (`__getitem__` ends an iteration by index).
STAND_IN_RESULTS = {"__bool__": True, "__len__": 1, "__iter__": lambda: iter(("day",)), "__contains__": False,
                    "__getitem__": lambda i: ("day", "Buy", 1)[i] if isinstance(i, int) else "day", "__index__": 1,
                    "lower": "point", "upper": "MARKET", "strip": "x", "__fspath__": "/", "__hash__": 1}


class Stage:
    """What mutating values act on during one example; the globals and host attributes they change are put
    back when it ends. Actions nest at most a few levels deep (an action's value may act again)."""

    current = None

    def __init__(self, ac, checker, *drawn):
        self.ac, self.checker, self.undo, self.depth, self.namespaces = ac, checker, [], 0, {}
        self.containers = []
        seen = set()

        def collect(x, depth):
            if id(x) in seen or depth > 3 or len(self.containers) > 20:
                return
            seen.add(id(x))
            if isinstance(x, (list, dict, set)):
                self.containers.append(x)
            # Read through the built-in types, not the drawn objects' own (hostile) methods.
            items = ()
            if isinstance(x, (list, tuple)):
                items = (list if isinstance(x, list) else tuple).__getitem__(x, slice(0, 8))
            elif isinstance(x, (set, frozenset)):
                items = itertools.islice((set if isinstance(x, set) else frozenset).__iter__(x), 8)
            elif isinstance(x, dict):
                items = itertools.islice(dict.values(x), 8)
            for item in items:
                collect(item, depth + 1)
        for x in drawn:
            collect(x, 0)

    def __enter__(self):
        Stage.current = self
        return self

    def __exit__(self, *exc):
        Stage.current = None
        for obj, name, old in reversed(self.undo):
            if old is MISSING:
                vars(obj).pop(name, None)
            else:
                setattr(obj, name, old)
        for obj, items in self.namespaces.values():  # a deleted name came back at the end: the order too
            if list(vars(obj)) != [name for name, _ in items]:
                vars(obj).clear()
                vars(obj).update(items)

    def set(self, obj, name, value):
        self.namespaces.setdefault(id(obj), (obj, list(vars(obj).items())))
        self.undo.append((obj, name, vars(obj).get(name, MISSING)))
        if value is MISSING:
            vars(obj).pop(name, None)
        else:
            setattr(obj, name, value)

    def act(self, action):
        from velmora.tframe.comm import vmcmd
        from velmora.tframe.sysclsbase import vr
        if self.depth > 2:
            return
        self.depth += 1
        try:
            kind, arg = action
            c = self.checker
            if kind == "rules" and c is not None:
                c.rules = {"list": [], "none": None, "tuple": (), "str": "rules"}[arg]
            elif kind == "arg_name" and c is not None:
                c.arg_name = arg
            elif kind == "constant" and c is not None:
                name, value = arg
                if value is MISSING:
                    vars(c).pop(name, None)
                else:
                    setattr(c, name, value)
            elif kind == "container":
                for x in self.containers:
                    if arg == "clear" or not isinstance(x, list):
                        x.clear()
                    else:
                        x[:] = ["day", "Buy", 1]
            elif kind == "global":
                self.set(self.ac, *arg)
            elif kind == "host":
                what = {"cache": (vr, "g_VelmoraCache", vr.VelmoraCache()), "no cache": (vr, "g_VelmoraCache", MISSING),
                        "command": (vmcmd, "vmSendCmdConvertTargets", boom)}[arg]
                self.set(*what)
        finally:
            self.depth -= 1


def make_mutating(base_and_init, method, action):
    """A `base` whose `method` runs `action`, then answers as the base would."""
    base, init = base_and_init
    inherited = getattr(base, method, None)

    def answer(self, *args, **kwargs):
        if Stage.current is not None:
            Stage.current.act(action)
        if inherited is None:
            result = STAND_IN_RESULTS.get(method, self)
            return result(*args) if callable(result) and not isinstance(result, type) else result
        return inherited(self, *args, **kwargs)
    return hostile(base, method, answer, *([] if base is object else [init]))


actions = st.one_of(
    st.tuples(st.just("rules"), st.sampled_from(["list", "none", "tuple", "str"])),
    st.tuples(st.just("arg_name"), st.one_of(scalars, st.just("renamed"))),
    st.tuples(st.just("constant"), st.tuples(st.sampled_from(CONSTANTS), st.one_of(
        st.just(MISSING), st.lists(st.sampled_from(WORDS), max_size=3), st.tuples(st.sampled_from(WORDS)), scalars))),
    st.tuples(st.just("container"), st.sampled_from(["clear", "replace"])),
    st.tuples(st.just("global"), st.tuples(st.sampled_from(MUTATED_GLOBALS), st.one_of(
        st.just(MISSING), st.just(boom), st.just(KeyError), st.sampled_from(WRONG_RESULTS)))),
    st.tuples(st.just("host"), st.sampled_from(["cache", "no cache", "command"])),
)
mutating = st.builds(
    make_mutating,
    st.one_of(st.tuples(st.just(str), st.sampled_from(WORDS)), st.tuples(st.just(int), st.integers(-3, 3)),
              st.tuples(st.just(list), st.lists(st.sampled_from(WORDS), max_size=3)),
              st.tuples(st.just(tuple), st.lists(st.sampled_from(WORDS), max_size=2)),
              st.tuples(st.just(object), st.none())),
    st.sampled_from(MUTATING_METHODS), actions)
mutating_values = st.recursive(
    st.one_of(mutating, leaves),
    lambda ch: st.one_of(st.lists(ch, max_size=4), st.tuples(ch, ch), st.dictionaries(st.text(max_size=3), ch,
                                                                                      max_size=3)),
    max_leaves=5)
MUTATING_FACTORY_ARGS = factory_args(mutating_values)
WORKER_ARITY = {"_is_instance_of": [3], "_is_in": [3, 4], "_sub_set": [3], "_is_greater_or_equal_than": [3],
                "_is_valid_frequency": [2], "_is_valid_fq": [2], "verify": [2]}


def staged_call(ac, fn, *args):
    """call(), where the NameError of a global that an action deleted is a Python-level outcome too, and so
    is the RuntimeError of Python code (`copy.deepcopy`, say) whose container an action emptied under it."""
    try:
        return call(ac, fn, *args)
    except NameError as e:
        return "raised", type(e)
    except RuntimeError as e:
        if "changed size during iteration" not in str(e):
            raise
        return "raised", type(e)


def target_and_args(target):
    if target in WORKER_ARITY:
        args = st.sampled_from(WORKER_ARITY[target]).flatmap(
            lambda n: st.lists(mutating_values, min_size=n, max_size=n))
    else:
        args = MUTATING_FACTORY_ARGS[target]
    return st.tuples(st.just(target), args)


@given(target_args=st.sampled_from(sorted(MUTATING_FACTORY_ARGS) + sorted(WORKER_ARITY)).flatmap(target_and_args),
       arg_name=st.one_of(st.just("x"), mutating_values), func_name=st.one_of(st.just("api"), mutating),
       vals=st.lists(mutating_values, min_size=1, max_size=3))
@MUTATION
@counted
def test_rules_and_workers_with_mid_call_mutation(ac, quiet_host, target_args, arg_name, func_name, vals):
    target, args = target_args
    checker = ac.verify_that(arg_name)
    if target in WORKER_ARITY:
        checker.is_in(["a"]).is_valid_fq()
        calls = [(getattr(checker, target), args)]
    else:
        assert call(ac, getattr(checker, target), *args) == ("ok", checker), "a factory never checks its arguments"
        calls = [(fn, (func_name, v)) for v in vals for fn in (checker.verify, checker.rules[0])]
    with Stage(ac, checker, args, vals):
        for fn, fn_args in calls:
            staged_call(ac, fn, *fn_args)
    reset_targets()


@given(target_list=st.one_of(st.lists(st.one_of(st.sampled_from(WORDS), mutating), max_size=5), mutating_values),
       converted=mutating_values, cache=st.tuples(st.one_of(st.none(), st.sampled_from(WORDS), mutating),
                                                  st.booleans(), actions))
@MUTATION
@counted
def test_target_functions_with_mid_call_mutation(ac, quiet_host, target_list, converted, cache):
    from velmora.tframe.sysclsbase import vr
    params = {"target_list": target_list}
    calls = [(ac.get_target_from_cache, (target_list,)), (ac.set_target_to_cache, (target_list, converted)),
             (ac.convert_targets, (target_list,)), (ac.patch_target_list, (params,))]  # read before any action
    with Stage(ac, None, target_list, converted, params) as stage:
        got, store_fails, action = cache
        stage.set(vr, "g_VelmoraCache", HostileCache(lambda: Stage.current.act(action), got, store_fails))
        for fn, args in calls:
            staged_call(ac, fn, *args)
    reset_targets()


# ---------------------------------------------------------------------------------------------------
# Faults the fuzzing found, kept as plain cases

class NamedOnly:
    arg_name = "a"


@pytest.mark.parametrize("rule", [frozenset({"x"}), 5, NamedOnly(), None])
def test_a_checker_without_verify_is_an_attribute_error(ac, rule):
    # The wrapper looked `verify` up with a call that leaves its output untouched when the attribute is
    # missing, and then released whatever happened to be there.
    wrapper = ac.apply_rule(rule)(lambda *a, **k: None)
    for _ in range(50):
        with pytest.raises(AttributeError, match="verify"):
            wrapper(a=1, b={})
