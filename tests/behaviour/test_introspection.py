"""inspect.signature(), help(), pickling and copying of the module's functions."""
import concurrent.futures
import copy
import importlib
import inspect
import multiprocessing
import pickle
import pydoc
import textwrap

import sys

import numpy as np
import pytest

from kit.stub import factories

MODULE_FUNCTIONS = ["verify_that", "apply_rule", "get_target_from_cache", "set_target_to_cache",
                    "convert_targets", "patch_target_list"]


def raw(ac, name):
    entry = ac.ArgumentChecker.__dict__[name]
    return entry.__func__ if isinstance(entry, (staticmethod, classmethod)) else entry


def all_functions(ac):
    members = [("ArgumentChecker." + k, raw(ac, k)) for k in vars(ac.ArgumentChecker) if callable(raw(ac, k))]
    return members + [(k, getattr(ac, k)) for k in MODULE_FUNCTIONS]


def test_every_function_shows_its_parameters(ac):
    # Names, kinds and defaults are compared with the type stub in test_stubs.py; here the signature is
    # checked against the function's own state: its defaults are the very objects of __defaults__.
    for name, f in all_functions(ac):
        assert f.__doc__ is None, name
        params = list(inspect.signature(f).parameters.values())
        defaults = tuple(p.default for p in params if p.default is not inspect.Parameter.empty)
        assert len(defaults) == len(f.__defaults__ or ()) and all(
            a is b for a, b in zip(defaults, f.__defaults__ or ())), name
        if len(params) == 1 and params[0].kind is not inspect.Parameter.VAR_POSITIONAL:
            assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY, name  # a lone parameter
        else:
            assert inspect.Parameter.POSITIONAL_ONLY not in [p.kind for p in params], name
    assert str(inspect.signature(raw(ac, "check_ndarray_idx"))) == (
        "(func_name, parame_name, value, dtype=%r, allow_none=False, allow_nan=False)" % np.int32)
    assert str(inspect.signature(ac.patch_target_list)) == "(params: 'dict', /)"


def test_binding_drops_self_and_cls(ac):
    A = ac.ArgumentChecker
    c = ac.verify_that("x")
    assert str(inspect.signature(A)) == "(arg_name)"
    assert str(inspect.signature(c.is_in)) == "(valid_values, ignore_value=True)"
    assert str(inspect.signature(c.is_stop_type)) == "()"
    assert str(inspect.signature(A.check_begin_end_date)) == "(begin, end)"
    assert str(inspect.signature(A.is_algorithm_func_and_args)) == "(func_name, *args)"
    assert inspect.signature(A.check_callable) == inspect.signature(raw(ac, "check_callable"))


@pytest.mark.parametrize("factory,args", factories(importlib.import_module("velmora.tframe.utils.argchecker")))
def test_rule_signature(ac, factory, args):
    rule = getattr(ac.verify_that("x"), factory)(*args).rules[-1]
    assert str(inspect.signature(rule)) == "(func_name, value)"
    assert rule.__doc__ is None


def test_signature_follows_defaults_and_annotations(ac):
    f = ac.verify_that("x").is_in([1]).rules[0]
    g = raw(ac, "is_in")
    saved = g.__defaults__
    try:
        g.__defaults__ = ("z", "a", "b", "c")  # longer than the parameters: the last ones apply
        assert str(inspect.signature(g)) == "(self='a', valid_values='b', ignore_value='c')"
        g.__defaults__ = None
        assert str(inspect.signature(g)) == "(self, valid_values, ignore_value)"
    finally:
        g.__defaults__ = saved
    f.__annotations__ = {"value": int, "return": None}
    assert str(inspect.signature(f)) == "(func_name, value: int) -> None"


def test_wrapper_shows_the_decorated_function(ac):
    decorator = ac.apply_rule(ac.verify_that("x"))
    assert str(inspect.signature(decorator)) == "(func, /)"

    def api(x, y=3, *, z: int = 0):
        return x

    w = decorator(api)
    assert w.__wrapped__ is api
    assert inspect.signature(w) == inspect.signature(api)
    assert w.__doc__ is None
    del w.__wrapped__
    assert str(inspect.signature(w)) == "(*args, **kwargs)"


def test_own_signature_attribute_wins(ac):
    f = ac.verify_that("x").is_stop_type().rules[0]
    sig = inspect.Signature([inspect.Parameter("q", inspect.Parameter.KEYWORD_ONLY)])
    f.__signature__ = sig
    assert inspect.signature(f) is sig and f.__dict__["__signature__"] is sig
    del f.__signature__
    assert str(inspect.signature(f)) == "(func_name, value)"
    with pytest.raises(AttributeError):
        del f.__signature__


def test_getcallargs_binds_native_functions(ac):
    A = ac.ArgumentChecker
    c = ac.verify_that("x")
    assert inspect.getcallargs(A.is_in, c, [1]) == {"self": c, "valid_values": [1], "ignore_value": True}
    assert inspect.getcallargs(A.is_algorithm_func_and_args, "f", 1, 2) == {
        "cls": A, "func_name": "f", "args": (1, 2)}
    # A checked native function: the decorator binds through the same signature.
    checked = ac.apply_rule(ac.verify_that("valid_values").is_instance_of(list))(A.is_in)
    assert checked(c, [2]) is c and len(c.rules) == 1


def test_help_lists_the_signatures(ac):
    page = pydoc.render_doc(ac.ArgumentChecker, renderer=pydoc.plaintext)
    for line in ("is_in(self, valid_values, ignore_value=True)", "verify(self, func_name, value)",
                 "is_stop_type(self, /)", "check_begin_end_date(begin, end)",
                 "check_callable(", "except_sig=''"):  # long signatures wrap on 3.13
        assert line in page


HOST_API = """
from velmora.tframe.utils.argchecker import apply_rule, verify_that

@apply_rule(verify_that("n").is_greater_than(0))
def history(n):
    return n * 2

class Api:
    @apply_rule(verify_that("n").is_less_than(10))
    def get(self, n):
        return n
"""


def _call(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
        return type(e).__name__, str(e)


@pytest.fixture
def host_api(tmp_path, monkeypatch):
    (tmp_path / "pickled_host_api.py").write_text(textwrap.dedent(HOST_API))
    monkeypatch.syspath_prepend(str(tmp_path))
    import pickled_host_api
    yield pickled_host_api
    del sys.modules["pickled_host_api"]


def test_functions_pickle_by_reference_and_copy_as_themselves(ac, host_api):
    for fn in (host_api.history, host_api.Api.get):
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            assert fn.__reduce_ex__(proto) == fn.__qualname__
            assert pickle.loads(pickle.dumps(fn, proto)) is fn
        assert copy.copy(fn) is fn and copy.deepcopy([fn])[0] is fn
    checker = ac.verify_that("x").is_in([1]).is_greater_than(0)
    twin = copy.deepcopy(checker)
    assert twin is not checker and twin.arg_name == "x" and twin.rules is not checker.rules
    assert all(a is b for a, b in zip(twin.rules, checker.rules))
    # Functions that cannot be found by name fail as any such function does.
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(ac.verify_that)
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(checker.rules[0])


def test_decorated_functions_run_in_a_spawned_process_pool(host_api):
    args = [3, -1]
    here = [_call(host_api.history, n) for n in args]
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        there = list(pool.map(_call, [host_api.history] * len(args), args))
    assert there == here and here[0] == 6 and here[1][0] == "InvalidParamError"
