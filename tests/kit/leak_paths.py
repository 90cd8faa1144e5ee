"""Every path of the module, passing and failing, as a table: the leak soak (reliability/test_soak.py,
bench/soak.py) loops each with the reference counts of the objects handed in and the resident memory
watched, and the fuzzer runs them with a module global replaced. A leak check of one family is a row here.
"""
import datetime
import inspect
import os
from collections import namedtuple

import numpy as np

from kit.tools import big, fresh

Path = namedtuple("Path", "name call expect watched")


NOTHING = object()
# Each trading rule with a value it passes (trading_hot_path.py also measures what one pass allocates).
TRADING_PASSES = [
    ("is_stop_type", (), "Point"), ("is_oder_act", (), "SELL"), ("is_callable", (), len),
    ("is_valid_price_type", (), "5LevelROD"), ("is_valid_order_act", (), "Buy"),
    ("is_greater_than", (0,), 5), ("is_greater_or_equal_than", (0,), 5), ("is_less_than", (10.0,), 5.0),
    ("is_less_or_equal_than", (10,), 10), ("is_valid_frequency", (), "day"), ("is_valid_fq", (), True),
]


class Hook(list):
    """A rules list whose append goes through a method call, for the non-list path of the factories."""


class Params(dict):
    """A parameter dictionary of a subclass type, which patch_target_list refuses."""


class Own:
    """A checker of the caller's own, naming parameter `a`."""
    arg_name = "a"


class Word(str):
    """A str whose own lower and upper give an order action."""

    def lower(self):
        return "buy"

    def upper(self):
        return "BUY"


def every_path(ac, workdir):
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
                                                   or type(o) is str and len(o) < 2))
        paths.append(Path(name, call, expect, (IPE,) + watched if expect is IPE else watched))

    def rule(name, checker, good, bad, other=NOTHING, other_expect=None):
        """A checker's passing value, failing value and, optionally, one more value and its outcome."""
        add(name + ":pass", lambda: checker.verify("api", good), None, checker, good)
        add(name + ":fail", lambda: checker.verify("api", bad), IPE, checker, bad)
        if other is not NOTHING:
            add(name + ":other", lambda: checker.verify("api", other), other_expect, checker, other)

    def through_each(name, calls, value, errors, *watched):
        """One value through several calls, each of which passes or raises one of `errors`."""
        def call():
            for fn in calls:
                try:
                    fn("api", value)
                except errors:
                    pass
        add("{}:{!r}".format(name, value), call, None, value, *watched)

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
    # -- every trading rule on values of every kind: the non-ASCII case mappings, a str with its own
    # lower and upper, an int beyond 64 bits, NaN, None and a function
    trading = [getattr(ac.verify_that("t"), factory)(*args) for factory, args, _ in TRADING_PASSES]
    for value in (fresh("Point"), fresh("l\u0131m\u0131t"), fresh("\u017fell"), Word("w"), fresh("nope"), big(70001),
                  2 ** 70, float("nan"), None, len):
        through_each("trading rules", [c.verify for c in trading], value, (IPE, TypeError, AttributeError),
                     *trading, A.ALL_PRICE_TYPE)
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
    # every date rule, both formats, on strings, numbers and a datetime, today's and tomorrow's included
    dates = ac.verify_that("d").is_valid_date().is_valid_date(fmt="%Y%m%d").is_valid_quarter().is_future_date()
    midnight = datetime.datetime.combine(datetime.date.today(), datetime.time())
    days = {n: midnight + datetime.timedelta(days=n) for n in (-2, -1, 1)}
    for value in (fresh("2020-01-31"), fresh("2020-02-30"), 2020.5, fresh("2020q1"), fresh("2020q9"),
                  midnight.strftime("%Y%m%d"), days[1].strftime("%Y%m%d"), fresh("2020-13-01"), days[-1]):
        through_each("date rules", dates.rules, value, IPE, dates, *dates.rules)
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

    default = object()

    def api(a, b=default, *rest, **kw):
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
    add("decorator:by-keyword", lambda: decorated(a=good_a, b=good_a), None, decorated, api, good_a, result)
    add("decorator:fail-logged", lambda: decorated(bad_a), IPE, decorated, api, arg_checker, bad_a, default)
    add("decorator:function-raises-logged", lambda: raising(good_a), IPE, raising, api_raising, good_a)
    add("decorator:function-error-passes", lambda: failing_other(good_a), ValueError, failing_other, good_a)
    add("decorator:unknown-arg", lambda: unknown(good_a), KeyError, unknown, good_a)
    add("decorator:binding-error", lambda: decorated(), TypeError, decorated)
    add("decorator:switched-off", switched_off, None, decorated, bad_a, result)
    add("decorator:build", lambda: ac.apply_rule(arg_checker)(api), None, arg_checker, api)
    # checkers of the caller's own, with `verify` in the instance
    own_pass, own_fail = Own(), Own()
    own_pass.verify = lambda func_name, value: None

    def refuse(func_name, value):
        raise IPE(fresh("refused"))
    own_fail.verify = refuse

    def plain(a, b=default):
        return a
    own_passing, own_failing = ac.apply_rule(own_pass)(plain), ac.apply_rule(own_fail)(plain)
    for name, call, expect in [("pass", lambda: own_passing(good_a), None),
                               ("by-keyword", lambda: own_passing(a=good_a, b=good_a), None),
                               ("fail", lambda: own_failing(good_a), IPE),
                               ("too-many", lambda: own_passing(good_a, good_a, good_a), TypeError)]:
        add("decorator:own-checker:" + name, call, expect, own_pass, own_fail, plain, own_passing, own_failing,
            good_a, default)

    # -- stand-alone validators
    begin, end, before_1900 = big(20200101), big(20200201), big(18991231)
    for name, (b, e), expect in [("pass", (begin, end), None), ("range", (end, begin), ValueError),
                                 ("bounds", (before_1900, end), ValueError), ("host", (fresh("x"), end), ValueError),
                                 ("datetimes", (days[-2], days[-1]), None),
                                 ("datetimes-range", (days[-1], days[-2]), ValueError),
                                 ("future-end", (days[-2], days[1]), ValueError)]:
        add("check_begin_end_date:" + name, lambda b=b, e=e: A.check_begin_end_date(b, e), expect, A, b, e)
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
            expect, A, value, *[v for v in value if v is not None])

    def f(a, b):
        pass

    names_ok, names_bad = [fresh("a"), fresh("b")], [fresh("a"), fresh("c")]
    add("check_callable:pass", lambda: A.check_callable(f, "f", 2, names_ok), None, A, f, names_ok)
    add("check_callable:by-keyword", lambda: A.check_callable(f, arg_count=2, param_names=names_ok, raise_error=False),
        None, A, f, names_ok)
    add("check_callable:arg-name", lambda: A.check_callable(f, None, None, names_bad), None, f, names_bad)
    add("check_callable:not-a-function", lambda: A.check_callable(len, raise_error=False), None)
    add("check_callable:count-raises", lambda: A.check_callable(f, arg_count=big(300), except_sig=fresh("(a)")),
        IPE, f)
    add("check_callable:name-raises", lambda: A.check_callable(f, fresh("g")), IPE, f)
    for name, args, expect in [("none", (), None), ("function", (f,), None), ("two", (f, result), None),
                               ("not-a-function", (result,), IPE), ("too-many", (f, f, result), IPE)]:
        add("is_algorithm_func_and_args:" + name, lambda args=args: A.is_algorithm_func_and_args("api", *args),
            expect, A, *args)

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

    params = {"target_list": codes, "other": result}

    def patch():
        vmcmd.reset()
        params["target_list"] = codes
        ac.patch_target_list(params)

    class Forgetful(vr.VelmoraCache):
        """A cache that keeps nothing: a converted code is still missing after the command."""

        def set_cache(self, key, value, key_prefix=""):
            pass
    forgetful, unconverted = Forgetful(), [fresh("zz1")]

    def unconvertible():
        vmcmd.reset()
        saved, vr.g_VelmoraCache = vr.g_VelmoraCache, forgetful
        try:
            ac.convert_targets(unconverted)
        finally:
            vr.g_VelmoraCache = saved

    add("convert_targets:convert", convert_fresh, None, codes, *codes)
    add("convert_targets:cached", convert_cached, None, codes, *codes)
    add("convert_targets:empty", lambda: ac.convert_targets(()), None)
    add("convert_targets:unconvertible", unconvertible, IPE, unconverted, *unconverted)
    add("patch_target_list:patch", patch, None, codes, result, params)
    add("patch_target_list:no-targets", lambda: ac.patch_target_list({"a": result}), None, result)
    add("patch_target_list:dict-subclass", lambda: ac.patch_target_list(Params(target_list=codes)), TypeError,
        codes)
    add("patch_target_list:none", lambda: ac.patch_target_list(None), TypeError)
    add("get_target_from_cache", lambda: ac.get_target_from_cache(codes), None, codes, *codes)
    add("set_target_to_cache", lambda: ac.set_target_to_cache(codes, converted), None, codes, converted)
    add("set_target_to_cache:short", lambda: ac.set_target_to_cache(codes, converted[:1]), IndexError,
        codes, converted)

    # -- signatures built from a function's defaults and annotations
    is_valid_date, is_in_rule = A.__dict__["is_valid_date"], ac.verify_that("s").is_in([1]).rules[0]
    add("inspect.signature",
        lambda: [inspect.signature(fn) for fn in (is_valid_date, is_in_rule, ac.patch_target_list)], None,
        is_valid_date, is_valid_date.__defaults__, is_in_rule, ac.patch_target_list.__annotations__["params"])
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


