"""Date, quarter and future-date rules, and the begin/end date range check."""
import datetime
import traceback

import pandas as pd
import pytest

from kit import recorder
from kit.hostile import hostile, raiser

VALIDDATE = "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR"
VALIDDATE2 = "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR2"
QUARTER = "ARGCHECKER_INVALID_PARAM_QUARTER_ERROR"
VALIDINT = "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDINT_ERROR"
FUTURE = "ARGCHECKER_INVALID_PARAM_FUTURE_DATE_ERROR"
DATERANGE = "ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR"
EXPECTDATE = "ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR"


def day(offset):
    """Midnight of today plus `offset` days, computed when the test runs."""
    today = datetime.date.today() + datetime.timedelta(days=offset)
    return datetime.datetime(today.year, today.month, today.day)


def compact(offset):
    return day(offset).strftime("%Y%m%d")


def rule(ac, factory, *args, **kwargs):
    checker = getattr(ac.verify_that("x"), factory)(*args, **kwargs)
    return checker.rules[-1]


# Each rule with its defaults and with every option set.
BUILDERS = [("is_valid_date", {}), ("is_valid_date", {"timestamp": True, "fmt": "%d", "allow_empty_str": True}),
            ("is_valid_quarter", {}), ("is_valid_quarter", {"allow_empty_str": True})]


@pytest.mark.parametrize("factory, kwargs", BUILDERS)
@pytest.mark.parametrize("value", [datetime.date(2020, 1, 31), datetime.datetime(2020, 1, 31, 5),
                                   pd.Timestamp("2020-01-31")])
def test_date_objects_pass_both_rules(ac, factory, kwargs, value):
    assert rule(ac, factory, **kwargs)("f", value) is None


@pytest.mark.parametrize("factory, kwargs", BUILDERS)
@pytest.mark.parametrize("value", [20200131, 2020.5, None, b"2020q1"])
def test_non_strings_fail_with_their_type(ac, rtext, assert_failure, factory, kwargs, value):
    with pytest.raises(ac.InvalidParamError) as ei:
        rule(ac, factory, **kwargs)("f", value)
    assert_failure(ei, VALIDDATE2, "f", "x", value, type(value))


@pytest.mark.parametrize("kwargs, value, ok", [
    ({}, "2020-01-31", True), ({}, "2020-1-5", True),
    ({}, "2020-02-30", False), ({}, "20200131", False), ({}, "2020-01-31 ", False), ({}, "", False),
    ({}, "   ", False), ({"allow_empty_str": True}, "", True), ({"allow_empty_str": True}, " \t", True),
    ({"fmt": "%Y%m%d"}, "20200131", True), ({"fmt": "%Y%m%d"}, "2020-01-31", False),
    ({"timestamp": True}, "not a date", True), ({"timestamp": 1}, "", True),
])
def test_date_strings(ac, rtext, assert_failure, kwargs, value, ok):
    check = rule(ac, "is_valid_date", **kwargs)
    if ok:
        assert check("f", value) is None
        return
    with pytest.raises(ac.InvalidParamError) as ei:
        check("f", value)
    assert_failure(ei, VALIDDATE, "f", "x", value, str)
    assert type(ei.value.__context__) is ValueError


@pytest.mark.parametrize("value, ok", [
    ("2020q1", True), ("2020q4", True), ("2020q1x", True), ("2020q12", True),
    ("2020Q1", False), ("2020q5", False), ("2020q0", False), ("20q1", False), (" 2020q1", False),
    ("", False), ("  ", False),
])
@pytest.mark.parametrize("derives_from_value_error", [True, False])
def test_quarter_strings(ac, rtext, assert_failure, monkeypatch, value, ok, derives_from_value_error):
    # Whatever InvalidParamError derives from, a bad quarter is reported with the quarter message.
    error = type("StandIn", (ValueError if derives_from_value_error else Exception,), {})
    monkeypatch.setattr(ac, "InvalidParamError", error)
    check = rule(ac, "is_valid_quarter")
    if ok:
        assert check("f", value) is None
        return
    with pytest.raises(error) as ei:
        check("f", value)
    assert_failure(ei, QUARTER, "f", "x", value)


def test_quarter_uses_module_re_and_timestamp(ac, monkeypatch):
    calls = []

    class FakeRe:
        @staticmethod
        def match(pattern, value):
            calls.append((pattern, value))
            return True

    class Stamp:
        pass

    monkeypatch.setattr(ac, "re", FakeRe)
    monkeypatch.setattr(ac, "Timestamp", Stamp)
    check = rule(ac, "is_valid_quarter")
    check("f", "anything")
    check("f", Stamp())
    assert calls == [(r"\d{4}q[1-4]", "anything")]


@pytest.mark.parametrize("value_fn", [lambda: 0, lambda: False, lambda: int(compact(0)), lambda: compact(0),
                                      lambda: int(compact(-1)), lambda: "20000229"])
def test_future_date_passes(ac, value_fn):
    assert rule(ac, "is_future_date")("f", value_fn()) is None


@pytest.mark.parametrize("convert", [int, str])
def test_future_date_after_now(ac, rtext, assert_failure, convert):
    value = convert(compact(1))
    with pytest.raises(ac.InvalidParamError) as ei:
        rule(ac, "is_future_date")("f", value)
    msg = assert_failure(ei, FUTURE, value)
    assert type(msg.fmt_args[0]) is convert


@pytest.mark.parametrize("value, parse_error", [
    ("2020-01-31", True), ("20201301", True), ("", True), ("0", True), (True, True),
    (datetime.date(2020, 1, 1), False), (0.0, False), (None, False), (20200131.0, False),
])
def test_future_date_malformed(ac, rtext, assert_failure, value, parse_error):
    with pytest.raises(ac.InvalidParamError) as ei:
        rule(ac, "is_future_date")("f", value)
    assert_failure(ei, VALIDINT, "f", "x", value, type(value))
    assert type(ei.value.__context__) is (ValueError if parse_error else type(None))


@pytest.mark.parametrize("base", [ValueError, Exception])
def test_future_date_failures_keep_their_message_whatever_the_error_derives_from(
        ac, rtext, assert_failure, monkeypatch, base):
    error = type("StandIn", (base,), {})
    monkeypatch.setattr(ac, "InvalidParamError", error)
    check = rule(ac, "is_future_date")
    with pytest.raises(error) as ei:
        check("f", compact(1))
    assert_failure(ei, FUTURE, compact(1))
    with pytest.raises(error) as ei:
        check("f", 1.5)
    assert_failure(ei, VALIDINT, "f", "x", 1.5, float)
    assert ei.value.__context__ is None
    with pytest.raises(error) as ei:
        check("f", "2020-13-01")
    assert_failure(ei, VALIDINT, "f", "x", "2020-13-01", str)
    assert type(ei.value.__context__) is ValueError


@pytest.mark.parametrize("begin, end", [(-1, -1), (-3, -1), (-36500, -2)])
def test_begin_end_date_in_range(ac, begin, end):
    assert ac.ArgumentChecker.check_begin_end_date(day(begin), compact(end)) is None


def test_begin_after_end(ac, rtext, assert_failure):
    with pytest.raises(ValueError) as ei:
        ac.ArgumentChecker.check_begin_end_date(compact(-1), day(-2).date())
    assert type(ei.value) is ValueError
    assert_failure(ei, DATERANGE, day(-1), day(-2))


@pytest.mark.parametrize("begin, end", [
    (lambda: day(-1), lambda: day(1)), (lambda: day(1), lambda: day(-1)), (lambda: day(2), lambda: day(1)),
    (lambda: "19000101", lambda: day(-1)), (lambda: day(-1), lambda: datetime.datetime(1900, 1, 1)),
    (lambda: datetime.datetime.now() + datetime.timedelta(seconds=5), lambda: day(-1)),
])
def test_begin_end_date_out_of_range(ac, rtext, begin, end):
    with pytest.raises(ValueError) as ei:
        ac.ArgumentChecker.check_begin_end_date(begin(), end=end())
    assert type(ei.value) is ValueError
    msg = ei.value.args[0]
    assert type(msg) is recorder.KeyedMessage and msg.key == EXPECTDATE  # passed on unformatted


def test_begin_end_date_conversion_errors_pass_through(ac, monkeypatch):
    seen = []
    monkeypatch.setattr(ac, "to_datetime", lambda v: seen.append(v) or day(-1))
    ac.ArgumentChecker.check_begin_end_date("b", "e")
    assert seen == ["b", "e"]
    monkeypatch.undo()
    with pytest.raises(ValueError, match="not a date"):
        ac.ArgumentChecker.check_begin_end_date("2020", day(-1))


@pytest.mark.parametrize("make, value, exc", [
    (lambda ac: rule(ac, "is_valid_date", allow_empty_str=True), hostile(str, "strip", raiser(RuntimeError), " "),
     RuntimeError),
    (lambda ac: rule(ac, "is_valid_quarter", allow_empty_str=True), hostile(str, "strip", raiser(RuntimeError), " "),
     RuntimeError),
    (lambda ac: rule(ac, "is_valid_date", fmt=5), "2020-01-31", TypeError),
    (lambda ac: rule(ac, "is_valid_date", timestamp=hostile(object, "__bool__", raiser(ZeroDivisionError))),
     "2020-01-31", ZeroDivisionError),
    (lambda ac: rule(ac, "is_future_date"), hostile(int, "__eq__", raiser(RuntimeError), 20200101), RuntimeError),
])
def test_hostile_values_propagate(ac, make, value, exc):
    with pytest.raises(exc):
        make(ac)("f", value)


@pytest.mark.parametrize("factory, value, name", [
    ("is_valid_date", "nope", "ArgumentChecker.is_valid_date.check_is_valid_date"),
    ("is_valid_quarter", 3, "ArgumentChecker.is_valid_quarter.check_is_valid_quarter"),
    ("is_future_date", "nope", "ArgumentChecker.is_future_date.check_future_date"),
])
def test_traceback_names_the_rule(ac, factory, value, name):
    with pytest.raises(ac.InvalidParamError) as ei:
        rule(ac, factory)("f", value)
    assert traceback.extract_tb(ei.value.__traceback__)[-1].name == "tframe.utils.argchecker." + name


def test_argument_errors(ac):
    with pytest.raises(TypeError, match=r"^is_future_date\(\) takes no keyword arguments$"):
        ac.ArgumentChecker.is_future_date(self=ac.verify_that("x"))
    with pytest.raises(TypeError, match=r"^check_begin_end_date\(\) takes exactly 3 positional arguments \(2 given\)$"):
        ac.ArgumentChecker.check_begin_end_date(1)


class Dropped(Exception):
    """Raised by a hook once it has replaced a function's __defaults__: the call stops there."""


class Mortal:
    """Writes its name to `log` when it is freed."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __del__(self):
        self.log.append(self.name)


class MortalInt(int):
    def __new__(cls, log, name):
        self = super().__new__(cls, 20200101)
        self.log, self.name = log, name
        return self

    __del__ = Mortal.__del__

    def __eq__(self, other):
        return self.hook  # compared with 0: the hook runs in the truth test, once this frame is gone

    __hash__ = int.__hash__


def drop_defaults(func, log):
    func.__defaults__ = None
    log.append("dropped")
    raise Dropped


def _defaults_date_rule(ac, monkeypatch, log, factory):
    check = rule(ac, factory)
    check.__defaults__ = ("f", Mortal(log, "value"))

    class Datetime:  # the first lookup the rule makes: `datetime.date`
        @property
        def date(self):
            drop_defaults(check, log)

    monkeypatch.setattr(ac, "datetime", Datetime())
    return check


def _defaults_future(ac, monkeypatch, log):
    check = rule(ac, "is_future_date")

    class Hook:
        def __bool__(self):
            drop_defaults(check, log)

    monkeypatch.setattr(MortalInt, "hook", Hook(), raising=False)
    check.__defaults__ = ("f", MortalInt(log, "value"))
    return check


def _defaults_begin_end(ac, monkeypatch, log):
    func = ac.ArgumentChecker.__dict__["check_begin_end_date"].__func__
    monkeypatch.setattr(func, "__defaults__", (Mortal(log, "begin"), Mortal(log, "end")))
    monkeypatch.setattr(ac, "to_datetime", lambda v: drop_defaults(func, log))
    return ac.ArgumentChecker.check_begin_end_date


@pytest.mark.parametrize("make", [
    lambda ac, mp, log: _defaults_date_rule(ac, mp, log, "is_valid_date"),
    lambda ac, mp, log: _defaults_date_rule(ac, mp, log, "is_valid_quarter"),
    _defaults_future, _defaults_begin_end,
], ids=["date", "quarter", "future", "begin_end"])
def test_parameters_from_defaults_live_through_the_call(ac, monkeypatch, make):
    # A parameter not passed is taken from __defaults__; Python code the call runs may replace them and
    # so free the old tuple. What the call took from it must live until the call is over.
    log = []
    call = make(ac, monkeypatch, log)
    with pytest.raises(Dropped):
        call()
    assert log[0] == "dropped"
