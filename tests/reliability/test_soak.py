"""Leak soak: every path of the module, passing and failing, looped with the reference counts of the
objects handed in and the resident memory watched.

AC_PROFILE=short (the default) keeps the loops small enough for every run of the suite; AC_PROFILE=long
(`./dev.sh soak`) runs them long. bench/soak.py drives the same paths for a million rounds.
"""
import datetime
import gc
import os
import sys
from collections import namedtuple

import numpy as np
import pytest

from kit.tools import rss_bytes, run_python, uncaptured_userlog

PROFILE = os.environ.get("AC_PROFILE", "short")
# Rounds per path for the reference counts, and rounds of all paths for resident memory.
REF_ROUNDS, RSS_ROUNDS = {"short": (300, 400), "long": (20000, 20000)}[PROFILE]
UNDER_SANITIZER = bool(os.environ.get("AC_SANITIZE"))

Path = namedtuple("Path", "name call expect watched")


def fresh(s):
    """A new str object equal to `s`, never the interned constant (empty and one-character strings are
    shared all the same)."""
    return "".join(list(s))


def big(n):
    """A new int object; small ints are shared singletons whose counts anything may move."""
    assert not -5 <= n <= 256, n
    return int(str(n))


NOTHING = object()


class Hook(list):
    """A rules list whose append goes through a method call, for the non-list path of the factories."""


class Params(dict):
    """A parameter dictionary of a subclass type, which patch_target_list refuses."""


def soak_paths(ac, workdir):
    """Every path of the module as (name, call, expected exception or None, watched objects).

    The objects handed to each call are created here, once; a path that leaks a reference to any of
    them moves its count.
    """
    from velmora.tframe.comm import vmcmd
    from velmora.tframe.sysclsbase import vr

    A = ac.ArgumentChecker
    IPE = ac.InvalidParamError
    paths = []

    def add(name, call, expect, *watched):
        # Shared singletons (None, the booleans, builtins, empty and one-character strings) move with
        # everything else in the process.
        watched = tuple(o for o in watched if not (o is None or isinstance(o, bool) or o is len
                                                   or isinstance(o, str) and len(o) < 2))
        paths.append(Path(name, call, expect, (IPE,) + watched if expect is IPE else watched))

    def rule(name, checker, good, bad, other=NOTHING, other_expect=None):
        """A checker's passing value, failing value and, optionally, one more value and its outcome."""
        add(name + ":pass", lambda: checker.verify("api", good), None, checker, good)
        add(name + ":fail", lambda: checker.verify("api", bad), IPE, checker, bad)
        if other is not NOTHING:
            add(name + ":other", lambda: checker.verify("api", other), other_expect, checker, other)

    # -- type and presence
    types_ = (int, float)
    rule("is_instance_of", ac.verify_that("x").is_instance_of(*types_), big(500), fresh("5"))
    existing, missing = str(workdir), os.path.join(str(workdir), fresh("absent"))
    rule("is_exist_path", ac.verify_that("p").is_exist_path(), existing, missing,
         other=os.fsencode(existing), other_expect=None)
    rule("is_empty_or_not", ac.verify_that("e").is_empty_or_not(), [big(1000)], [],
         other=big(7000), other_expect=TypeError)
    rule("is_empty_or_not(empty)", ac.verify_that("e").is_empty_or_not(empty=True), fresh(""), fresh("ab"))
    rule("is_empty_or_not(None)", ac.verify_that("e").is_empty_or_not(False, False), fresh("a"), fresh(""),
         other=None, other_expect=TypeError)
    # -- membership
    valid = [fresh("buy"), fresh("sell"), big(1000)]
    rule("is_in", ac.verify_that("m").is_in(valid), fresh("buy"), fresh("Buy"), other=None)
    rule("is_in(set)", ac.verify_that("m").is_in({fresh("ask")}), fresh("ask"), fresh("bid"),
         other=[1], other_expect=TypeError)
    rule("sub_set", ac.verify_that("s").sub_set(valid), [fresh("buy")], [fresh("hold")],
         other=big(5000), other_expect=TypeError)
    # -- trading vocabularies, callable, price type, order act
    for factory in ("is_stop_type", "is_stop_gap", "is_trailing_type"):
        rule(factory, getattr(ac.verify_that("v"), factory)(), fresh("Point"), fresh("points"),
             other=b"point", other_expect=IPE)
    rule("is_oder_ctg", ac.verify_that("v").is_oder_ctg(), fresh("LIMIT"), fresh("stop"))
    rule("is_oder_act", ac.verify_that("v").is_oder_act(), fresh("Buy"), fresh("hold"))
    rule("is_callable", ac.verify_that("c").is_callable(), len, big(3000))
    rule("is_valid_price_type", ac.verify_that("p").is_valid_price_type(), fresh("5levelfok"), fresh("mkt"),
         other=big(1000), other_expect=AttributeError)
    rule("is_valid_order_act", ac.verify_that("a").is_valid_order_act(), fresh("Sell"), fresh(" buy"),
         other=None, other_expect=AttributeError)
    # -- comparisons
    low, high = big(1000), big(2000)
    rule("is_greater_than", ac.verify_that("n").is_greater_than(low), big(1001), big(1000),
         other=fresh("x"), other_expect=TypeError)
    rule("is_greater_or_equal_than", ac.verify_that("n").is_greater_or_equal_than(low), big(1000), big(999))
    rule("is_less_than", ac.verify_that("n").is_less_than(high), big(1999), big(2000))
    rule("is_less_or_equal_than", ac.verify_that("n").is_less_or_equal_than(high), big(2000), big(2001),
         other=None, other_expect=TypeError)
    # -- frequency
    rule("is_valid_frequency", ac.verify_that("f").is_valid_frequency(), fresh("day"), fresh("1min"),
         other=big(1000), other_expect=IPE)
    rule("is_valid_fq", ac.verify_that("f").is_valid_fq(), True, big(3000), other=fresh("1"), other_expect=IPE)
    # -- dates
    fmt = fresh("%Y-%m-%d")
    rule("is_valid_date", ac.verify_that("d").is_valid_date(False, fmt), fresh("2020-01-31"),
         fresh("2020-02-30"), other=big(20200131), other_expect=IPE)
    rule("is_valid_date(date)", ac.verify_that("d").is_valid_date(), datetime.date(2020, 1, 31),
         fresh("20200131"))
    rule("is_valid_date(timestamp)", ac.verify_that("d").is_valid_date(timestamp=True, allow_empty_str=True),
         fresh("  "), 3.5)
    rule("is_valid_quarter", ac.verify_that("q").is_valid_quarter(), fresh("2020q1"), fresh("2020q5"),
         other=2020.0, other_expect=IPE)
    rule("is_valid_quarter(empty)", ac.verify_that("q").is_valid_quarter(True), fresh(" "), fresh("20q1"))
    tomorrow = datetime.date.today() + datetime.timedelta(days=1)
    rule("is_future_date", ac.verify_that("d").is_future_date(), big(20200101),
         big(int(tomorrow.strftime("%Y%m%d"))), other=fresh("2020-01-01"), other_expect=IPE)
    # -- a checker with several rules, and a rules list that is not a list
    chain = ac.verify_that("many").is_instance_of(int).is_greater_than(low).is_less_than(high).is_valid_fq()
    add("chain:fail-late", lambda: chain.verify("api", big(1500)), IPE, chain, low, high)
    hooked = ac.verify_that("h")
    hooked.rules = Hook()
    hooked.is_in(valid).is_valid_frequency()
    add("rules-not-a-list:fail", lambda: hooked.verify("api", fresh("sell")), IPE, hooked, valid)
    # -- the worker methods called directly
    direct = ac.verify_that("direct")
    add("_is_instance_of:pass", lambda: direct._is_instance_of([int], "api", big(4000)), None, direct)
    add("_is_instance_of:fail", lambda: direct._is_instance_of(types_, "api", fresh("4")), IPE, direct, types_)
    add("_is_in:fail", lambda: direct._is_in("api", fresh("x"), valid, False), IPE, direct, valid)
    add("_sub_set:fail", lambda: direct._sub_set("api", valid, [fresh("x")]), IPE, direct, valid)
    add("_is_greater_or_equal_than:fail", lambda: direct._is_greater_or_equal_than(low, "api", big(300)), IPE,
        direct, low)
    add("_is_valid_frequency:fail", lambda: direct._is_valid_frequency("api", fresh("DAY")), IPE, direct)
    add("_is_valid_fq:fail", lambda: direct._is_valid_fq("api", 1.0), IPE, direct)
    add("argument-error", lambda: direct.verify("api"), TypeError, direct)

    # -- the decorator
    result = object()
    arg_checker = ac.verify_that("a").is_instance_of(int).is_greater_than(low)

    def api(a, b=None, *rest, **kw):
        return result

    def api_raising(a):
        raise IPE(fresh("raised by the function"))

    def api_value_error(a):
        raise ValueError(fresh("not an argument error"))

    decorated = ac.apply_rule(arg_checker)(api)
    raising = ac.apply_rule(arg_checker)(api_raising)
    failing_other = ac.apply_rule(arg_checker)(api_value_error)
    unknown = ac.apply_rule(ac.verify_that("zz"))(api)
    good_a, bad_a = big(1500), big(999)

    def switched_off():
        A.ALLOW_ARG_CHECK = False
        try:
            return decorated(bad_a)
        finally:
            A.ALLOW_ARG_CHECK = True

    add("decorator:pass", lambda: decorated(good_a, 2, 3, k=4), None, decorated, api, arg_checker, good_a, result)
    add("decorator:fail-logged", lambda: decorated(bad_a), IPE, decorated, api, arg_checker, bad_a)
    add("decorator:function-raises-logged", lambda: raising(good_a), IPE, raising, api_raising, good_a)
    add("decorator:function-error-passes", lambda: failing_other(good_a), ValueError, failing_other, good_a)
    add("decorator:unknown-arg", lambda: unknown(good_a), KeyError, unknown, good_a)
    add("decorator:binding-error", lambda: decorated(), TypeError, decorated)
    add("decorator:switched-off", switched_off, None, decorated, bad_a, result)
    add("decorator:build", lambda: ac.apply_rule(arg_checker)(api), None, arg_checker, api)

    # -- stand-alone validators
    begin, end, before_1900 = big(20200101), big(20200201), big(18991231)
    add("check_begin_end_date:pass", lambda: A.check_begin_end_date(begin, end), None, begin, end)
    add("check_begin_end_date:range", lambda: A.check_begin_end_date(end, begin), ValueError, begin, end)
    add("check_begin_end_date:bounds", lambda: A.check_begin_end_date(before_1900, end), ValueError, before_1900)
    add("check_begin_end_date:host", lambda: A.check_begin_end_date(fresh("x"), end), ValueError, end)
    idx = np.array([0, 1, 2], dtype=np.int32)
    cases = {
        "pass": ((idx, None, big(3000)), {}, None),
        "ndarray": (([0, 1], None, None), {}, IPE),
        "empty": ((np.array([], dtype=np.int32), None, None), {}, IPE),
        "dtype": ((np.arange(3), None, None), {}, IPE),
        "none": ((np.array([1, None], dtype=object), None, None), {"dtype": None}, IPE),
        "nan": ((np.array([1.0, np.nan]), None, None), {"dtype": np.float64}, IPE),
        "min": ((idx, big(300), None), {}, IPE),
        "max": ((idx, None, big(-300)), {}, IPE),
        "short": ((idx,), {}, IndexError),
    }
    for case, (value, kw, expect) in cases.items():
        add("check_ndarray_idx:" + case, lambda value=value, kw=kw: A.check_ndarray_idx("api", "idx", value, **kw),
            expect, value, *[v for v in value if v is not None])

    def f(a, b):
        pass

    names_ok, names_bad = [fresh("a"), fresh("b")], [fresh("a"), fresh("c")]
    add("check_callable:pass", lambda: A.check_callable(f, "f", 2, names_ok), None, f, names_ok)
    add("check_callable:arg-name", lambda: A.check_callable(f, None, None, names_bad), None, f, names_bad)
    add("check_callable:not-a-function", lambda: A.check_callable(len, raise_error=False), None)
    add("check_callable:count-raises", lambda: A.check_callable(f, arg_count=big(300), except_sig=fresh("(a)")),
        IPE, f)
    add("check_callable:name-raises", lambda: A.check_callable(f, fresh("g")), IPE, f)
    add("is_algorithm_func_and_args:none", lambda: A.is_algorithm_func_and_args(fresh("api")), None)
    add("is_algorithm_func_and_args:function", lambda: A.is_algorithm_func_and_args("api", f), None, f)
    add("is_algorithm_func_and_args:two", lambda: A.is_algorithm_func_and_args("api", f, result), None, f, result)
    add("is_algorithm_func_and_args:not-a-function", lambda: A.is_algorithm_func_and_args("api", result), IPE,
        result)
    add("is_algorithm_func_and_args:too-many", lambda: A.is_algorithm_func_and_args("api", f, f, result), IPE,
        f, result)

    # -- target lists
    codes = [fresh("rb2105"), fresh("IF2106"), fresh("600000")]
    converted = [fresh("rb2105.shfe"), fresh("if2106.cffex"), fresh("600000.sse")]
    cache = vr.g_VelmoraCache

    def convert_fresh():
        cache.clear()
        vmcmd.reset()
        return ac.convert_targets(codes)

    def convert_cached():
        vmcmd.reset()
        return ac.convert_targets(codes)

    def patch():
        vmcmd.reset()
        ac.patch_target_list({"target_list": codes, "other": result})

    add("convert_targets:convert", convert_fresh, None, codes, *codes)
    add("convert_targets:cached", convert_cached, None, codes, *codes)
    add("convert_targets:empty", lambda: ac.convert_targets(()), None)
    add("patch_target_list:patch", patch, None, codes, result)
    add("patch_target_list:no-targets", lambda: ac.patch_target_list({"a": result}), None, result)
    add("patch_target_list:dict-subclass", lambda: ac.patch_target_list(Params(target_list=codes)), TypeError,
        codes)
    add("patch_target_list:none", lambda: ac.patch_target_list(None), TypeError)
    add("get_target_from_cache", lambda: ac.get_target_from_cache(codes), None, codes, *codes)
    add("set_target_to_cache", lambda: ac.set_target_to_cache(codes, converted), None, codes, converted)
    add("set_target_to_cache:short", lambda: ac.set_target_to_cache(codes, converted[:1]), IndexError,
        codes, converted)
    return paths


def run_path(path):
    """One call of `path`, which must raise exactly what the path expects."""
    try:
        path.call()
    except Exception as e:  # noqa: BLE001 - the type is checked right here
        if path.expect is None or not isinstance(e, path.expect):
            raise
        return
    if path.expect is not None:
        raise AssertionError("{} did not raise {}".format(path.name, path.expect.__name__))


@pytest.fixture
def paths(ac, tmp_path, monkeypatch):
    monkeypatch.setenv("VELMORA_USERLOG", str(tmp_path / "user.log"))
    yield soak_paths(ac, tmp_path)
    from velmora.tframe.comm import vmcmd
    from velmora.tframe.sysclsbase import vr
    vr.g_VelmoraCache.clear()
    vmcmd.reset()


def drift(path, rounds):
    """Reference count changes of the watched objects over `rounds` calls (after one warm-up call)."""
    run_path(path)
    gc.collect()
    before = [sys.getrefcount(o) for o in path.watched]
    for _ in range(rounds):
        run_path(path)
    gc.collect()
    after = [sys.getrefcount(o) for o in path.watched]
    return [(repr(o)[:40], b, a) for o, b, a in zip(path.watched, before, after) if a != b]


def test_every_path_behaves_as_expected(paths):
    # Guards the table itself: each path raises exactly what it names, so the loops below measure
    # the paths they claim to.
    assert len(paths) > 90
    for p in paths:
        run_path(p)


def test_no_reference_count_moves_on_any_path(paths):
    moved = {p.name: d for p in paths for d in [drift(p, REF_ROUNDS)] if d}
    assert moved == {}


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine keeps freed memory resident")
def test_resident_memory_stays_flat(paths):
    # Two windows: a leak grows in each, while a table of the interpreter or a library that doubles once
    # (the interned-string table does, on CPython 3.13 with the newest NumPy and pandas) grows in one.
    grown = []
    with uncaptured_userlog():
        for _ in range(max(50, RSS_ROUNDS // 4)):
            for p in paths:
                run_path(p)
        for _ in range(2):
            gc.collect()
            start = rss_bytes()
            for _ in range(RSS_ROUNDS):
                for p in paths:
                    run_path(p)
            gc.collect()
            grown.append(rss_bytes() - start)
    assert min(grown) < 1 << 20, grown


def test_importing_again_leaks_nothing():
    # Importing the module again after it left sys.modules hands out the same module object; the import
    # machinery resets that object's state pointer each time, so the old state block must be released.
    r = run_python("""
        import gc, importlib, sys, tracemalloc
        import velmora.tframe.utils.argchecker as first

        def again():
            del sys.modules["velmora.tframe.utils.argchecker"]
            assert importlib.import_module("velmora.tframe.utils.argchecker") is first

        for _ in range(5):
            again()
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for _ in range(200):
            again()
        gc.collect()
        grown = tracemalloc.take_snapshot().compare_to(before, "filename")
        tracemalloc.stop()
        print(sum(s.count_diff for s in grown))
    """)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 100  # one lost block per import would show as about 200
