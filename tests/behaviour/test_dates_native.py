"""The date and quarter rules' native parsing against the standard library, string by string.

Every input goes through `is_valid_date()` (both default formats), `is_future_date()` and
`is_valid_quarter()`, and through `datetime.datetime.strptime` and `re.match` themselves. The outcomes
must agree: accepted or not, the parsed date (seen by `is_future_date`'s comparison with "now"), and on
rejection the error's context, type and message. A profiler tells whether the rule asked the real
function: it must have answered natively exactly when the standard library accepts.

AC_PROFILE=short (default) runs a few thousand strings; AC_PROFILE=long over 300,000.
"""
import datetime
import functools
import locale
import os
import re
import sys
import types
import unicodedata

import _strptime
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kit.tools import report_line

PROFILE = os.environ.get("AC_PROFILE", "short")
EXAMPLES = {"short": 30, "long": 6000}[PROFILE]
BATCH = 50  # strings drawn per example, at least
DIFF = settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck))
INPUTS_RUN = [0]

QUARTER = r"\d{4}q[1-4]"
FORMATS = ["%Y-%m-%d", "%Y%m%d"]
# Where a rule that asks the real function ends up: strptime's Python part, and re.match.
REAL_CODE = {_strptime._strptime_datetime.__code__: "strptime", re.match.__code__: "re.match"}


@pytest.fixture(scope="module", autouse=True)
def input_count(request):
    yield
    report_line(request.config, "dates differential: {} strings compared (profile {})".format(INPUTS_RUN[0], PROFILE))


def real_calls(fn, *args):
    """Calls fn(*args); returns (result or the exception raised, names of the real functions entered)."""
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code in REAL_CODE:
            entered.append(REAL_CODE[frame.f_code])

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        result = fn(*args)
    except Exception as e:  # noqa: BLE001 - the outcome is compared
        result = e
    finally:
        sys.setprofile(previous)
    return result, entered


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the outcome is compared
        return e


def strptime_outcome(s, fmt):
    try:
        return datetime.datetime.strptime(s, fmt)
    except ValueError as e:
        return e


class Now:
    """What the stand-in `datetime.datetime.now()` returns: it records the date compared with it."""

    def __init__(self):
        self.seen = []

    def __lt__(self, dt):  # `dt > now`, reflected
        self.seen.append(dt)
        return False


def future_namespace(now):
    """A module global `datetime` whose class hands out the real `strptime` and a recording `now`."""
    cls = type("datetime", (), {"strptime": datetime.datetime.strptime, "now": staticmethod(lambda: now)})
    return types.SimpleNamespace(date=datetime.date, datetime=cls)


class Rules:
    def __init__(self, ac):
        self.ac = ac
        self.dates = {fmt: ac.verify_that("x").is_valid_date(fmt=fmt).rules[-1] for fmt in FORMATS}
        self.future = ac.verify_that("x").is_future_date().rules[-1]
        self.quarter = ac.verify_that("x").is_valid_quarter().rules[-1]

    def check(self, s):
        """Where the standard library accepts `s`, the rule must accept it without asking it (the
        profiler sees no real call); where it rejects `s`, the rule must fail with its error as context."""
        ac = self.ac
        INPUTS_RUN[0] += 1
        for fmt, rule in self.dates.items():
            expected = strptime_outcome(s, fmt)
            if isinstance(expected, datetime.datetime):
                assert real_calls(rule, "f", s) == (None, []), (s, fmt)
            else:
                got = outcome(rule, "f", s)
                assert type(got) is ac.InvalidParamError, (s, fmt, got)
                assert type(got.__context__) is ValueError and got.__context__.args == expected.args, (s, fmt)

        # is_future_date parses with "%Y%m%d"; its comparison with `now` shows the date it parsed.
        expected = strptime_outcome(s, "%Y%m%d")
        now = Now()
        saved = ac.datetime
        ac.datetime = future_namespace(now)
        try:
            if isinstance(expected, datetime.datetime):
                assert real_calls(self.future, "f", s) == (None, []), s
                assert len(now.seen) == 1 and type(now.seen[0]) is datetime.datetime and now.seen[0] == expected, (
                    s, now.seen, expected)
            else:
                got = outcome(self.future, "f", s)
                assert type(got) is ac.InvalidParamError and now.seen == [], (s, got)
                assert type(got.__context__) is ValueError and got.__context__.args == expected.args, s
        finally:
            ac.datetime = saved

        if re.match(QUARTER, s):
            assert real_calls(self.quarter, "f", s) == (None, []), s
        else:
            assert type(outcome(self.quarter, "f", s)) is ac.InvalidParamError, s


@pytest.fixture(scope="module")
def rules(ac):
    # strptime answers natively only in the C locale, which a test process has unless something set it.
    assert locale.setlocale(locale.LC_TIME) in ("C", "POSIX")
    return Rules(ac)


# ---------------------------------------------------------------------------------------------------
# Structured cases: each names what the native parser must get exactly as strptime does.

FW = "０１２３４５６７８９"  # fullwidth digits
AR = "٠١٢٣٤٥٦٧٨٩"  # Arabic-Indic digits
BOLD = "".join(chr(0x1D7CE + i) for i in range(10))  # mathematical bold digits, outside the BMP


@pytest.mark.parametrize("s", [
    "2021-03-05", "2021-3-5", "2021-03- 5", "2021-3- 5", "2021-12-31", "2021-1-31", "2021-01-3",
    FW[2] + FW[0] + FW[2] + FW[1] + "-03-05", AR[2] + AR[0] + "21-03-05", BOLD[2] + BOLD[0] + "21-03-05",
    "2021-03-1" + AR[5], "2021-03-2" + FW[9], "2021-03-3" + AR[0], "2021-03-0" + FW[5], "2021-0" + FW[3] + "-05",
    "2021-03- " + FW[5], "²021-03-05", "2021-03-1²", "①021-03-05",
    "0000-01-01", "0001-01-01", "9999-12-31", "2021-02-29", "2020-02-29", "1900-02-29", "2000-02-29",
    "2021-04-31", "2021-01-32", "2021-13-01", "2021-00-01", "2021-01-00", "2021-1-", "2021--1",
    " 2021-03-05", "2021-03-05 ", "2021-03-05\n", "2021-03-05x", "2021-03-35", "2021-03-3", "2021-10-1",
    "202111", "2021111", "2021123", "202103 5", "2021035", "20210305", "20211232", "20211302", "20210229",
    "20200229", "2021 1 1", "202110", "2021101", "20211010", "2021 35", "202113", "2021131", "00000101",
    "00010101", "99991231", "20211", "2021", "", " ", "2021q1", "2021q12", "2021q1x", "2021Q1", "2021q0",
    "2021q5", "20q1", " 2021q1", FW[:4] + "q4", AR[:4] + "q2", "2021ｑ1", "2021q" + FW[1], "2021q1\n",
    "2021-03-05\x00", "2021-03-0\x005", "\u30002021-03-05", "2021\u3000", "20210305\u00a0",
])
def test_structured_cases(rules, s):
    rules.check(s)


# ---------------------------------------------------------------------------------------------------
# Drawn strings, 0 to 12 characters.

def _decimal_digits():
    """Every Unicode decimal digit of this interpreter, grouped by its value."""
    by_value = [[] for _ in range(10)]
    for cp in range(0x110000):
        c = chr(cp)
        if c.isdecimal():
            by_value[unicodedata.decimal(c)].append(c)
    return by_value


DIGITS = _decimal_digits()
# The first digit of every run of ten decimal digits but ASCII's (Unicode keeps each script's digits
# together, in order).
ZEROS = [ord(c) for c in DIGITS[0] if c != "0"]
# Characters that look like digits, blanks or separators but are not what the patterns take.
LOOKALIKES = "²³¹½①Ⅻ٫–—‐−\u2007\u3000\xa0\t\n\r\x0b\x0c\x1c\x85/.:Q\x00 -q"


def _edit(s, edits):
    """Applies drawn edits: an ASCII digit written in another script (same value), a character replaced
    by a look-alike, inserted or deleted. At most 12 characters are kept."""
    chars = list(s)
    for i, kind, pick in edits:
        if i >= len(chars):
            continue
        if kind == "script" and "0" <= chars[i] <= "9":
            chars[i] = chr(ZEROS[pick % len(ZEROS)] + int(chars[i]))
        elif kind == "lookalike":
            chars[i] = LOOKALIKES[pick % len(LOOKALIKES)]
        elif kind == "insert":
            chars.insert(i, (LOOKALIKES + "0123456789")[pick % (len(LOOKALIKES) + 10)])
        elif kind == "delete":
            del chars[i]
    return "".join(chars)[:12]


def _number(lo, hi, *widths):
    """An integer written with no padding, zero-padded or blank-padded to one of `widths`."""
    return st.builds(lambda n, pad, w: str(n).rjust(w, pad), st.integers(lo, hi), st.sampled_from("0 "),
                     st.sampled_from(widths))


edits = st.one_of(st.just(()), st.just(()), st.lists(
    st.tuples(st.integers(0, 11), st.sampled_from(["script", "script", "lookalike", "insert", "delete"]),
              st.integers(0, 10 ** 6)), min_size=1, max_size=3))
tail = st.one_of(st.just(""), st.just(""), st.just(""), st.text(max_size=2))
# Fields: mostly plausible values as strptime's formats write them, else any number written any way.
zero = st.sampled_from([ord("0")] + ZEROS)
year = st.one_of(st.integers(1, 9999).map(lambda n: str(n).zfill(4)), _number(0, 99999, 3, 4, 5),
                 st.builds(lambda n, zs: "".join(chr(z + int(c)) for c, z in zip(str(n).zfill(4), zs)),
                           st.integers(0, 9999), st.lists(zero, min_size=4, max_size=4)))
month = st.one_of(st.integers(1, 12).flatmap(lambda n: st.sampled_from([str(n), str(n).zfill(2)])), _number(0, 13, 1, 2))
day = st.one_of(st.integers(1, 31).flatmap(lambda n: st.sampled_from([str(n), str(n).zfill(2), str(n).rjust(2)])),
                _number(0, 32, 1, 2), st.builds(lambda a, b, z: a + chr(z + b), st.sampled_from("0123 "),
                                                st.integers(0, 9), zero))
separators = st.sampled_from([("-", "-"), ("-", "-"), ("", ""), ("", ""), ("-", ""), ("", "-"), (" ", " "), ("/", "/")])

# Date-shaped strings, quarter-shaped ones, and strings of any characters; 12 characters at most.
date_shaped = st.builds(lambda y, sep, m, d, t, e: _edit(y + sep[0] + m + sep[1] + d + t, e), year, separators,
                        month, day, tail, edits)
quarter_shaped = st.builds(lambda y, q, n, t, e: _edit(y + q + n + t, e), year, st.sampled_from(["q", "q", "Q", ""]),
                           st.sampled_from("0123456"), tail, edits)
strings = st.one_of(date_shaped, date_shaped, quarter_shaped, st.text(alphabet=LOOKALIKES + "0123456789", max_size=12),
                    st.text(max_size=12))


@DIFF
@given(batch=st.lists(strings, min_size=BATCH, max_size=BATCH + 10))
def test_drawn_strings(rules, batch):
    for s in batch:
        rules.check(s)


# ---------------------------------------------------------------------------------------------------
# When the objects are not the standard library's own, the real function decides.

class FmtStr(str):
    pass


class StrValue(str):
    def __str__(self):
        return FmtStr(str.__str__(self))


class SubDatetime(datetime.datetime):
    pass


def _module_copy(module):
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(module.__dict__)
    return copy


def _wrapped(module, name):
    original = getattr(module, name)
    return functools.wraps(original)(lambda *a, **k: original(*a, **k))


@pytest.mark.parametrize("change, rule_kwargs, value", [
    (lambda ac, mp: mp.setattr(ac, "datetime", types.SimpleNamespace(date=datetime.date, datetime=SubDatetime)),
     {}, "2021-03-05"),
    (lambda ac, mp: mp.setattr(_strptime, "_strptime_datetime", _wrapped(_strptime, "_strptime_datetime")),
     {}, "2021-03-05"),
    (lambda ac, mp: mp.setattr(_strptime, "_strptime", _wrapped(_strptime, "_strptime")), {}, "2021-03-05"),
    (lambda ac, mp: mp.setitem(sys.modules, "_strptime", _module_copy(_strptime)), {}, "2021-03-05"),
    (lambda ac, mp: None, {"fmt": FmtStr("%Y-%m-%d")}, "2021-03-05"),
    (lambda ac, mp: None, {"fmt": "%Y-%m-%d "}, "2021-03-05 "),
    (lambda ac, mp: None, {}, StrValue("2021-03-05")),
    (lambda ac, mp: mp.setattr(re.match, "__defaults__", (0,)), "quarter", "2021q1"),
    (lambda ac, mp: mp.setattr(re, "_compile", _wrapped(re, "_compile")), "quarter", "2021q1"),
    (lambda ac, mp: mp.setattr(ac, "re", types.SimpleNamespace(match=_wrapped(re, "match"))), "quarter", "2021q1"),
], ids=["datetime subclass", "_strptime_datetime", "_strptime._strptime", "sys.modules", "fmt subclass",
        "other format", "str() gives a subclass", "re.match defaults", "re._compile", "re module"])
def test_real_function_decides_when_anything_differs(ac, monkeypatch, change, rule_kwargs, value):
    change(ac, monkeypatch)
    if rule_kwargs == "quarter":
        rule, called = ac.verify_that("x").is_valid_quarter().rules[-1], "re.match"
    else:
        rule, called = ac.verify_that("x").is_valid_date(**rule_kwargs).rules[-1], "strptime"
    got, entered = real_calls(rule, "f", value)
    assert got is None and entered[:1] == [called]


def test_real_function_decides_in_another_locale(ac):
    rule = ac.verify_that("x").is_valid_date().rules[-1]
    saved = locale.setlocale(locale.LC_TIME)
    try:
        locale.setlocale(locale.LC_TIME, "C.UTF-8")
    except locale.Error:
        pytest.skip("no C.UTF-8 locale here")
    try:
        got, entered = real_calls(rule, "f", "2021-03-05")
    finally:
        locale.setlocale(locale.LC_TIME, saved)
    assert got is None and entered == ["strptime"]
    assert real_calls(rule, "f", "2021-03-05") == (None, [])
