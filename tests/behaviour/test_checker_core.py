"""The checker object, verify, verify_that, and the native function type under them."""
import ctypes
import functools
import gc
import operator
import os
import sys
import weakref

import numpy as np
import pytest

from kit.raise_sites import SITES, tb_names
from kit.tools import assert_no_ref_drift, fresh, rss_bytes


def test_verify_that_builds_a_fresh_checker(ac):
    a, b = ac.verify_that("x"), ac.verify_that("x")
    assert a is not b and type(a) is ac.ArgumentChecker
    assert (a.arg_name, a.rules) == ("x", []) and a.rules is not b.rules
    assert vars(a) == {"arg_name": "x", "rules": []}
    assert a.verify("f", object()) is None


def test_verify_that_looks_the_class_up_at_each_call(ac, monkeypatch):
    class Sub(ac.ArgumentChecker):
        pass
    monkeypatch.setattr(ac, "ArgumentChecker", Sub)
    assert type(ac.verify_that("x")) is Sub


def _sub(ac, **attrs):
    return type("Sub", (ac.ArgumentChecker,), attrs)


class _Falsy:
    calls = 0

    def __bool__(self):
        self.calls += 1
        return False


def _switch_set_on_the_class(ac, mp, api, c):
    mp.setattr(ac.ArgumentChecker, "ALLOW_ARG_CHECK", False)
    assert api(-1, 0) == -1


def _switch_global_rebound(ac, mp, api, c):
    mp.setattr(ac, "ArgumentChecker", _sub(ac, ALLOW_ARG_CHECK=False))
    assert api(-1, 0) == -1


def _switch_truth_taken_every_time(ac, mp, api, c):
    flag = _Falsy()
    mp.setattr(ac.ArgumentChecker, "ALLOW_ARG_CHECK", flag)
    api(-1, 0), api(-1, 0)
    assert flag.calls == 2


def _rules_rebound(ac, mp, api, c):
    c.rules = []
    assert api(-1, 0) == -1


def _rules_become_a_property(ac, mp, api, c):
    c.__class__ = _sub(ac, rules=property(lambda self: []))
    assert api(-1, 0) == -1


def _arg_name_rebound(ac, mp, api, c):
    c.arg_name = "b"
    with pytest.raises(ac.InvalidParamError):
        api(1, 0)


def _getcallargs_and_unwrapper_rebound(ac, mp, api, c):
    seen = []
    real = ac.inspect.getcallargs
    mp.setattr(ac.inspect, "getcallargs", lambda *a, **k: seen.append("bind") or real(*a, **k))
    api(1, 0)
    mp.setattr(ac, "unwrapper", lambda f: seen.append("unwrap") or f)
    api(1, 0)
    assert seen == ["bind", "unwrap", "bind"]


def _constant_changed_on_the_class(ac, mp, api, c):
    mp.setattr(ac.ArgumentChecker, "STOP_TYPE", ("other",))
    with pytest.raises(ac.InvalidParamError):
        ac.verify_that("x").is_stop_type().verify("f", "point")


def _constant_shadowed_by_the_instance(ac, mp, api, c):
    w = ac.verify_that("x").is_stop_type()
    w.verify("f", "point")
    w.STOP_TYPE = ("other",)
    with pytest.raises(ac.InvalidParamError):
        w.verify("f", "point")


def _constant_of_a_new_class_with_the_same_dict(ac, mp, api, c):
    sub = _sub(ac, STOP_TYPE=("other",))
    for _ in range(5):  # another instance of the new class read first, at a new address each time
        w = ac.verify_that("x").is_stop_type()
        w.verify("f", "point"), w.verify("f", "point")
        w.__class__ = sub
        for checker in (sub("y").is_stop_type(), w):
            with pytest.raises(ac.InvalidParamError):
                checker.verify("f", "point")


def _type_tag(cls):
    """The interpreter's version tag of `cls`, read at the offset of the type objects of 64-bit CPython
    3.9 to 3.13 once two fields around it are found where they should be."""
    base = id(cls)
    if (ctypes.sizeof(ctypes.c_void_p) != 8 or ctypes.c_ulong.from_address(base + 168).value != cls.__flags__
            or ctypes.c_void_p.from_address(base + 344).value != id(cls.__mro__)):
        pytest.skip("type objects are laid out in a way not known here")
    return ctypes.c_uint.from_address(base + 384).value


def _retag(cls, tag):
    """Clears the interpreter's type cache, then changes and reads `cls` until it has `tag` again (3.9 and
    3.10 draw tags anew from 0 after a clear; later versions never hand one out twice)."""
    sys._clear_type_cache()
    while True:
        cls._ac_probe = 0  # a change clears the class's tag, and the read draws the next one
        del cls._ac_probe
        cls.FREQUENCY
        now = _type_tag(cls)
        if now >= tag:
            break
    if now != tag:
        pytest.skip("the class did not get its old type tag back")


def _constant_freed_behind_a_reused_type_tag(ac, mp, api, c):
    cls = ac.ArgumentChecker
    mp.setattr(cls, "FREQUENCY", ("x", "day"))
    f = ac.apply_rule(ac.verify_that("a").is_valid_frequency())(lambda a: a)
    f("day"), f("day")
    tag = _type_tag(cls)
    cls.FREQUENCY = ("tick",)  # the tuple read so far is freed
    _retag(cls, tag)
    assert f("tick") == "tick"
    with pytest.raises(ac.InvalidParamError):
        f("day")


def _switch_behind_a_reused_type_tag(ac, mp, api, c):
    tag = _type_tag(ac.ArgumentChecker)
    mp.setattr(ac.ArgumentChecker, "ALLOW_ARG_CHECK", False)
    _retag(ac.ArgumentChecker, tag)
    assert api(-1, 0) == -1


class _Words:
    def __init__(self, *words):
        self.words = words

    def __contains__(self, word):
        return word in self.words

    def __iter__(self):
        return iter(self.words)


def _constant_s_own_type_gains_get(ac, mp, api, c):
    words = type("Words", (_Words,), {})
    mp.setattr(ac.ArgumentChecker, "FREQUENCY", words("day", "min"))
    w = ac.verify_that("x").is_valid_frequency()
    w.verify("f", "day"), w.verify("f", "day")
    words.__get__ = lambda self, obj, tp=None: ("tick",) if obj is not None else self
    assert w.verify("f", "tick") is None
    with pytest.raises(ac.InvalidParamError):
        w.verify("f", "day")


def _class_value_s_type_becomes_a_data_descriptor(ac, mp, api, c):
    slot = type("Slot", (), {})
    mp.setattr(ac.ArgumentChecker, "rules", slot(), raising=False)  # c.rules stays in its instance dict
    api(1, 0), api(1, 0)
    slot.__get__ = lambda self, obj, tp=None: []
    slot.__set__ = lambda self, obj, value: None
    assert c.rules == [] and api(-1, 0) == -1


def _getcallargs_code_replaced(ac, mp, api, c):
    def binds_otherwise(func, /, *positional, **named):
        return {"a": -5, "b": 0}
    mp.setattr(ac.inspect.getcallargs, "__code__", binds_otherwise.__code__)
    with pytest.raises(ac.InvalidParamError):
        api(1, 0)


def _getfullargspec_patched(ac, mp, api, c):
    spec = ac.inspect.FullArgSpec(["b", "a"], None, None, None, [], None, {})
    mp.setattr(ac.inspect, "getfullargspec", lambda func: spec)
    with pytest.raises(ac.InvalidParamError):
        api(1, 0)  # getcallargs binds a to 0 now


def _rules_of_a_checker_made_without_init(ac, mp, api, c):
    w = ac.ArgumentChecker.__new__(ac.ArgumentChecker)
    w.arg_name, w.rules = "x", []
    w.is_stop_type()
    vars(w)  # 3.13 makes a dict that shares the attributes kept inline
    w.verify("f", "point"), w.verify("f", "point")
    w.rules = []
    assert w.verify("f", "no such stop type") is None


def _verify_shadowed_by_the_instance(ac, mp, api, c):
    c.verify = lambda name, value: None
    assert api(-1, 0) == -1


def _worker_replaced_on_the_class(ac, mp, api, c):
    w = ac.verify_that("x").is_greater_or_equal_than(0)
    w.verify("f", 1), w.verify("f", 1)
    mp.setattr(ac.ArgumentChecker, "_is_greater_or_equal_than", lambda self, *args: self)
    assert w.verify("f", -1) is None


class _CallsOnRelease:
    """A rule whose release runs `then()`, while the store that dropped it is still in progress."""

    def __init__(self, then):
        self.then = then

    def __call__(self, func_name, value):
        pass

    def __del__(self):
        self.then()


def _rules_released_by_a_specialised_store(ac, mp, api, c):
    seen = []
    c.__dict__ = dict(vars(c))  # a dict that holds its entries itself: 3.11 stores into it specialised

    def store(rules):
        c.rules = rules
    for _ in range(20):  # the same store, until the interpreter has specialised it
        store(list(c.rules))
    store([_CallsOnRelease(lambda: seen.append(api(-1, 0)))] + list(c.rules))
    api(1, 0), api(1, 0)
    store([])  # frees the list the last calls read; the release calls api with the new, empty rules
    assert seen == [-1]


def _rules_in_a_module_s_namespace(ac, mp, api, c):
    mp.setattr(ac, "arg_name", "a", raising=False)
    mp.setattr(ac, "rules", list(c.rules), raising=False)
    c.__dict__ = vars(ac)
    api(1, 0), api(1, 0)
    ac.rules = []  # the list read so far is freed
    assert api(-1, 0) == -1


def _global_released_by_a_specialised_store(ac, mp, api, c):
    seen, real = [], ac.unwrapper
    holder = type("Holder", (), {})()
    holder.__dict__ = vars(ac)  # the module's namespace as an object's dict: 3.11 stores into it specialised
    mp.setattr(ac, "unwrapper", real)

    def store(unwrapper):
        holder.unwrapper = unwrapper
    for _ in range(20):
        store(real)
    # Released with the function's defaults, while the store that dropped it is still in progress.
    store(lambda f, _keep=_CallsOnRelease(lambda: seen.append(api(1, 0))): seen.append("old") or f)
    api(1, 0), api(1, 0)
    seen.clear()
    store(real)
    assert seen == [1]


def _inspect_helper_s_code_replaced(ac, mp, api, c):
    def always(obj):  # `func.__self__` of a function: AttributeError from getcallargs
        return True
    mp.setattr(ac.inspect.ismethod, "__code__", always.__code__)
    with pytest.raises(AttributeError):
        api(1, 0)


def _one_instance_dict_throughout(ac, mp, api, c):
    class Keeps(ac.ArgumentChecker):
        def __init__(self, arg_name):
            self.kept = vars(self)
            super().__init__(arg_name)
    k = Keeps("x")
    assert k.kept is vars(k) and k.kept["arg_name"] == "x"
    w = ac.ArgumentChecker.__new__(ac.ArgumentChecker)
    d = vars(w)
    w.__init__("y")
    assert vars(w) is d and d["rules"] == []
    twin = ac.ArgumentChecker.__new__(ac.ArgumentChecker)
    twin.__dict__ = d
    w.is_stop_type()
    with pytest.raises(ac.InvalidParamError):
        twin.verify("f", "no such stop type")


def _constant_behind_a_custom_mro(ac, mp, api, c):
    outside = type("Outside", (), {"STOP_TYPE": ("point",)})

    class Meta(type):
        def mro(cls):
            return (cls, outside, ac.ArgumentChecker, object)
    sub = Meta("Sub", (ac.ArgumentChecker,), {})
    w = sub("x").is_stop_type()
    w.verify("f", "point"), w.verify("f", "point")
    outside.STOP_TYPE = ("other",)  # 3.11 to 3.13 keep the old answer in their type cache until it is cleared
    sys._clear_type_cache()
    assert w.STOP_TYPE == ("other",)
    with pytest.raises(ac.InvalidParamError):
        w.verify("f", "point")


# The hot path answers some reads from the last one while nothing they depend on has changed: each scene
# warms them with passing calls, changes one thing, and the next call must see the change.
@pytest.mark.parametrize("scene", [
    _switch_set_on_the_class, _switch_global_rebound, _switch_truth_taken_every_time, _rules_rebound,
    _rules_become_a_property, _arg_name_rebound, _getcallargs_and_unwrapper_rebound, _constant_changed_on_the_class,
    _constant_shadowed_by_the_instance, _constant_of_a_new_class_with_the_same_dict,
    _constant_freed_behind_a_reused_type_tag, _switch_behind_a_reused_type_tag, _constant_s_own_type_gains_get,
    _class_value_s_type_becomes_a_data_descriptor, _getcallargs_code_replaced, _getfullargspec_patched,
    _rules_of_a_checker_made_without_init, _verify_shadowed_by_the_instance, _worker_replaced_on_the_class,
    _rules_released_by_a_specialised_store, _rules_in_a_module_s_namespace, _global_released_by_a_specialised_store,
    _inspect_helper_s_code_replaced,
    _one_instance_dict_throughout, _constant_behind_a_custom_mro,
], ids=lambda f: f.__name__.strip("_"))
def test_warm_reads_see_every_change(ac, monkeypatch, scene):
    monkeypatch.setattr(ac.ArgumentChecker, "ALLOW_ARG_CHECK", True)
    c = ac.verify_that("a").is_greater_than(0)
    api = ac.apply_rule(c)(lambda a, b: a)
    for _ in range(3):
        assert api(1, 0) == 1 and ac.verify_that("x").is_stop_type().verify("f", "point") is None
    scene(ac, monkeypatch, api, c)


def test_rules_run_in_order_and_stop_at_the_first_failure(ac):
    seen = []
    boom = ValueError("r2")

    def r2(f, v):
        seen.append("r2")
        raise boom
    c = ac.verify_that("x")
    c.rules += [lambda f, v: seen.append(("r1", f, v)) or 42, r2, lambda f, v: seen.append("r3")]
    with pytest.raises(ValueError) as ei:
        c.verify("api", 7)
    assert ei.value is boom and seen == [("r1", "api", 7), "r2"]
    assert tb_names(ei.value) == [SITES["verify.rule"]]


def test_rule_appended_during_verify_also_runs(ac):
    c = ac.verify_that("x")
    seen = []
    c.rules.append(lambda f, v: c.rules.append(lambda f, v: seen.append("late")))
    c.verify("f", 1)
    assert seen == ["late"]


def test_rules_may_be_any_iterable(ac):
    c = ac.verify_that("x")
    seen = []
    c.rules = (r for r in [lambda f, v: seen.append(v)])
    c.verify("f", 5)
    assert seen == [5]


@pytest.mark.parametrize("setup, exc, site", [
    (lambda c: delattr(c, "rules"), AttributeError, "verify.rules"),
    (lambda c: setattr(c, "rules", 5), TypeError, "verify.rules"),
    (lambda c: c.rules.append(3), TypeError, "verify.rule"),
])
def test_broken_rules_raise_the_interpreter_s_error(ac, setup, exc, site):
    c = ac.verify_that("x")
    setup(c)
    with pytest.raises(exc) as ei:
        c.verify("f", 1)
    assert tb_names(ei.value) == [SITES[site]]


@pytest.mark.parametrize("call, message", [
    (lambda ac, c: ac.verify_that(arg_name="x"), "verify_that() takes no keyword arguments"),
    (lambda ac, c: ac.verify_that(), "verify_that() takes exactly one argument (0 given)"),
    (lambda ac, c: ac.verify_that("a", "b"), "verify_that() takes exactly one argument (2 given)"),
    (lambda ac, c: c.verify("f"), "verify() takes exactly 3 positional arguments (2 given)"),
    (lambda ac, c: c.verify("f", 1, 2), "verify() takes exactly 3 positional arguments (4 given)"),
    (lambda ac, c: c.verify(value=1), "verify() takes exactly 3 positional arguments (1 given)"),
    (lambda ac, c: c.verify("f", value=1, func_name="g"),
     "verify() got multiple values for keyword argument 'func_name'"),
    (lambda ac, c: c.verify("f", 1, extra=2), "verify() got an unexpected keyword argument 'extra'"),
    (lambda ac, c: ac.ArgumentChecker(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda ac, c: ac.apply_rule(a=1, b=2), "apply_rule() got an unexpected keyword argument 'b'"),
    (lambda ac, c: ac.apply_rule()(func=len), "decorator() takes no keyword arguments"),
    (lambda ac, c: ac.apply_rule()(len, len), "decorator() takes exactly one argument (2 given)"),
    # A mapping of keywords is checked with the function's own texts, however it arrives.
    (lambda ac, c: ac.apply_rule(**{1: 2}), "apply_rule() keywords must be strings"),
    (lambda ac, c: ac.apply_rule(**{"a": 1, 1: 2}), "apply_rule() keywords must be strings"),
    (lambda ac, c: ac.apply_rule(**{1: 2, "a": 1}), "apply_rule() keywords must be strings"),
    (lambda ac, c: ac.verify_that(**{1: "x"}), "verify_that() takes no keyword arguments"),
    (lambda ac, c: ac.set_target_to_cache([], [], **{1: 2}), "set_target_to_cache() keywords must be strings"),
    (lambda ac, c: ac.ArgumentChecker.check_callable(len, **{1: 2}), "check_callable() keywords must be strings"),
    (lambda ac, c: c.is_in([1]).rules[0]("f", "a", **{1: 2}), "check_is_in() keywords must be strings"),
    (lambda ac, c: ac.apply_rule(c)(len)(**{1: 2}), "api_rule_check_wrapper() keywords must be strings"),
    (lambda ac, c: ac.ArgumentChecker.__dict__["verify"].__call__(c, "f", 1, **{1: 2}),
     "verify() keywords must be strings"),
    (lambda ac, c: ac.ArgumentChecker.__dict__["is_in"].__call__(c, [1], **{1: 2}),
     "is_in() keywords must be strings"),
    (lambda ac, c: ac.ArgumentChecker.__dict__["is_algorithm_func_and_args"].__func__.__call__(
        ac.ArgumentChecker, "f", **{1: 2}), "is_algorithm_func_and_args() keywords must be strings"),
    (lambda ac, c: ac.ArgumentChecker.__dict__["is_stop_type"].__call__(c, **{1: 2}),
     "is_stop_type() takes no keyword arguments"),
    # A bound method checks the names itself before the function is reached.
    (lambda ac, c: c.verify("f", 1, **{1: 2}), "keywords must be strings"),
])
@pytest.mark.parametrize("checking", [True, False])
def test_argument_error_texts(ac, call, message, checking, monkeypatch):
    monkeypatch.setattr(ac.ArgumentChecker, "ALLOW_ARG_CHECK", checking)
    c = ac.verify_that("x")
    with pytest.raises(TypeError) as ei:
        call(ac, c)
    assert str(ei.value) == message


def test_keyword_arguments_bind_by_name(ac):
    c = ac.verify_that("x")
    seen = []
    c.rules.append(lambda f, v: seen.append((f, v)))
    c.verify(value=2, func_name="g")
    ac.ArgumentChecker.verify(self=c, func_name="h", value=3)
    assert seen == [("g", 2), ("h", 3)]


def test_function_type_behaves_like_a_python_function(ac):
    verify = ac.ArgumentChecker.__dict__["verify"]
    c = ac.verify_that("x")
    assert verify.__get__(None, ac.ArgumentChecker) is verify
    assert c.verify.__func__ is verify and c.verify.__self__ is c
    assert verify.__defaults__ is None and verify.__kwdefaults__ is None
    assert repr(verify).startswith("<function ArgumentChecker.verify at ")
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        verify.__name__ = 1
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        verify.__defaults__ = [1]

    wrapped = ac.apply_rule()(lambda a: a)
    functools.update_wrapper(wrapped, verify)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__wrapped__) == (
        "verify", "ArgumentChecker.verify", verify)
    wrapped.custom = 1
    assert wrapped.__dict__["custom"] == 1 and weakref.ref(wrapped)() is wrapped


def _swapper(fn, new):
    """A class of values whose comparisons, hashing and item reads replace fn.__defaults__ with `new`."""
    class Swapper:
        def swap(self):
            if fn.__defaults__ is not new:
                fn.__defaults__ = new

        def __eq__(self, other):
            self.swap()
            return False

        def __ne__(self, other):
            self.swap()
            return True

        def __hash__(self):
            self.swap()
            return 0

        def __getitem__(self, i):
            self.swap()
            return (np.zeros(2, np.float64), None, None)[i]
    return Swapper


# (function, its defaults given a swapper class, the call): each default is the only reference to a
# fresh object, so a default that the call only borrowed would be freed under it and used afterwards.
DEFAULTS_ROUTES = {
    "rule": (lambda ac: ac.verify_that("a").is_in(["x"]).rules[0],
             lambda sw: (fresh("f"), sw()), lambda fn, sw: fn()),
    "check_ndarray_idx": (lambda ac: ac.ArgumentChecker.check_ndarray_idx,
                          lambda sw: (np.dtype("int32").newbyteorder("="), int(fresh("7" * 30)), []),
                          lambda fn, sw: fn("f", "p", sw())),
    "check_callable": (lambda ac: ac.ArgumentChecker.check_callable,
                       lambda sw: (sw(), None, None, int(fresh("7" * 30)), fresh("sig")),
                       lambda fn, sw: fn(lambda x: x)),
}


@pytest.mark.parametrize("route", DEFAULTS_ROUTES)
@pytest.mark.parametrize("new", [None, ("other", "values", 1, 2, 3, 4)])
def test_defaults_replaced_during_the_call_stay_alive(ac, route, new):
    get_fn, defaults, call = DEFAULTS_ROUTES[route]
    fn = get_fn(ac)
    saved = fn.__defaults__
    fn.__defaults__ = defaults(_swapper(fn, new))
    try:
        with pytest.raises(ac.InvalidParamError):
            call(fn, _swapper(fn, new))
    finally:
        fn.__defaults__ = saved


def test_checker_cycles_through_native_functions_are_collected(ac):
    c = ac.verify_that("x")
    deco = ac.apply_rule(c)
    c.keep = deco                       # checker -> decorator -> rules tuple -> checker
    c.rules.append(deco(lambda x: x))   # checker -> rules -> wrapper -> rules tuple -> checker
    ref = weakref.ref(c)
    del c, deco
    gc.collect()
    assert ref() is None


def test_a_million_verify_calls_leak_nothing(ac):
    value = object()
    passing = ac.verify_that("p")
    passing.rules.append({}.get)              # a native rule that accepts everything
    failing = ac.verify_that("f")
    failing.rules.append(operator.truediv)    # "f" / value raises TypeError

    def once():
        passing.verify("f", value)
        try:
            failing.verify("f", value)
        except TypeError:
            pass
    assert_no_ref_drift(once, [value, passing, failing, passing.rules[0]], rounds=1000)
    if os.environ.get("AC_SANITIZE"):
        return  # the sanitizer keeps freed memory in quarantine: resident memory tells nothing there
    for _ in range(20000):
        once()
    gc.collect()
    start = rss_bytes()
    for _ in range(500000):
        once()
    gc.collect()
    assert rss_bytes() - start < 1 << 20
