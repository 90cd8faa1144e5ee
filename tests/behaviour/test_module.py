"""Module loading, the namespace and the class table."""
import importlib
import sys

import numpy as np
import pandas as pd
import pytest

from kit.raise_sites import SITES, tb_names
from kit.stub import class_order
from kit.tools import run_python

MODULE_ORDER = ["os", "datetime", "inspect", "traceback", "types", "np", "Timestamp", "wraps", "re",
                "get_setting", "InvalidParamError", "to_datetime", "write_userlog", "unwrapper", "text",
                "ArgumentChecker", "verify_that", "apply_rule", "get_target_from_cache",
                "set_target_to_cache", "convert_targets", "patch_target_list", "__test__"]


def _in_order(actual, expected):
    return [k for k in actual if k in expected] == expected


def test_namespace_binding_order(ac):
    assert _in_order(list(ac.__dict__), MODULE_ORDER)
    assert ac.os.__name__ == "os" and ac.np is np and ac.Timestamp is pd.Timestamp
    assert ac.__test__ == {} and ac.__doc__ is None


def test_class_dict_order_and_kinds(ac):
    d = ac.ArgumentChecker.__dict__
    assert _in_order(list(d), class_order(ac))
    assert ac.ArgumentChecker.__bases__ == (object,)
    assert ac.ArgumentChecker.__module__ == "tframe.utils.argchecker"
    assert ac.ArgumentChecker.__qualname__ == "ArgumentChecker" and ac.ArgumentChecker.__doc__ is None
    for name in ("check_begin_end_date", "is_algorithm_func_and_args"):
        if name in d:
            assert isinstance(d[name], classmethod)
    for name in ("check_ndarray_idx", "check_callable"):
        if name in d:
            assert isinstance(d[name], staticmethod)


def test_constants(ac):
    A = ac.ArgumentChecker
    assert A.FREQUENCY == ("day", "min", "sec", "tick", "week", "month", "year")
    assert A.STOP_TYPE == A.STOP_GAP == A.TRAILING_TYPE == ("point", "percent")
    assert A.ORDER_CTG == ("market", "limit") and A.ORDER_ACT == ("buy", "sell")
    assert A.ALL_PRICE_TYPE == ("MARKET", "LIMIT", "MARKETIOC", "MARKETRESTTOLIMIT", "MARKETFOK",
                                "LIMITFOK", "LIMITIOC", "5LEVELIOC", "5LEVELFOK", "5LEVELROD")
    assert A.ALLOW_ARG_CHECK is True


def test_every_function_looks_like_the_module_s_own(ac):
    A = ac.ArgumentChecker
    for name, raw in A.__dict__.items():
        if isinstance(raw, (staticmethod, classmethod)):
            raw = raw.__func__
        if callable(raw) and not isinstance(raw, type):
            assert raw.__module__ == "tframe.utils.argchecker", name
            assert raw.__qualname__ == "ArgumentChecker." + name
            assert raw.__doc__ is None
    for name in MODULE_ORDER[16:22]:
        f = getattr(ac, name)
        assert (f.__name__, f.__qualname__, f.__doc__) == (name, name, None)
    assert ac.patch_target_list.__annotations__ == {"params": "dict"}


@pytest.mark.parametrize("caller_builtins", [5, {"text": "the caller's"}, {}])
def test_a_deleted_global_is_looked_up_in_the_module_s_own_builtins(ac, monkeypatch, caller_builtins):
    c = ac.verify_that("x").is_greater_than(0)
    monkeypatch.delattr(ac, "text")
    with pytest.raises(NameError, match="^name 'text' is not defined$"):
        exec("c.verify('f', -1)", {"__builtins__": caller_builtins, "c": c})
    monkeypatch.setattr(ac.__builtins__, "text", "builtin", raising=False)
    with pytest.raises(AttributeError, match="'str' object has no attribute"):
        exec("c.verify('f', -1)", {"__builtins__": caller_builtins, "c": c})


def test_registered_in_sys_modules(ac):
    assert sys.modules["tframe.utils.argchecker"] is ac


def test_second_import_returns_same_module_without_reading_the_setting(ac, monkeypatch):
    calls = []
    monkeypatch.setattr(ac, "get_setting", lambda *a: calls.append(a) or True)
    name = "velmora.tframe.utils.argchecker"
    saved = sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = saved
    assert again is ac and calls == []


@pytest.mark.parametrize("env, expected", [({"VELMORA_ALLOW_ARG_CHECK": "0"}, "False"), ({}, "True")])
def test_switch_read_from_host_setting(env, expected):
    r = run_python("""
        from velmora.tframe.utils import argchecker as ac
        print(ac.ArgumentChecker.ALLOW_ARG_CHECK)
    """, env=env)
    assert r.stdout.strip() == expected, r.stderr


def test_missing_host_module_fails_import_and_a_retry_starts_over():
    r = run_python("""
        import sys, traceback
        sys.modules["velmora.tframe.language"] = None
        try:
            import velmora.tframe.utils.argchecker
        except ImportError as e:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                       if f.filename.startswith("velmora\\\\")]
            print(type(e).__name__, entries)
        # The failed load takes back the short-name entry it added: no dead module stays behind.
        print("tframe.utils.argchecker" in sys.modules)
        del sys.modules["velmora.tframe.language"]
        import inspect, velmora.tframe.utils.argchecker as ac
        print(ac.ArgumentChecker.__name__, inspect.getmodule(ac.ArgumentChecker) is ac,
              sys.modules["tframe.utils.argchecker"] is ac)
    """)
    lines = r.stdout.splitlines()
    assert lines[0] == "ModuleNotFoundError %r" % [SITES["import"]], r.stderr
    assert lines[1] == "False"
    assert lines[2] == "ArgumentChecker True True"


def test_second_interpreter_is_refused():
    r = run_python("""
        import sys
        import velmora.tframe.utils.argchecker
        # A subinterpreter that shares the main one's rules: from 3.12 the default one is isolated, and
        # the import system refuses the module there before the module's own check runs.
        try:
            import _interpreters as interpreters  # 3.13
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
        interpreters.run_string(interp, '''
        import sys
        for name in [n for n in sys.modules if "argchecker" in n]:
            del sys.modules[name]
        try:
            import velmora.tframe.utils.argchecker
        except ImportError as e:
            print("refused:", e)
        ''')
        print("alive")
    """)
    assert "refused: Interpreter change detected - this module can only be loaded into one " \
           "interpreter per process." in r.stdout, r.stderr
    assert r.stdout.strip().endswith("alive")


def test_traceback_entry_of_a_failing_init(ac):
    with pytest.raises(TypeError) as ei:
        ac.ArgumentChecker.__init__()
    assert str(ei.value) == "__init__() takes exactly 2 positional arguments (0 given)"
    assert tb_names(ei.value) == [SITES["__init__"]]
