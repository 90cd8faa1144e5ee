"""Frequency names and fq codes: rules that are bound methods of the checker."""
import pytest

from kit.hostile import hostile, raiser
from kit.raise_sites import SITES, tb_names

NAMES = ("day", "min", "sec", "tick", "week", "month", "year")


class MyInt(int):
    pass


@pytest.mark.parametrize("factory, value, ok", [("is_valid_frequency", v, ok) for v, ok in [
    *((n, 1) for n in NAMES), ("Day", 0), (" day", 0), ("5min", 0), ("", 0), (1, 0), (None, 0)]] + [
    ("is_valid_fq", v, ok) for v, ok in [
        (0, 1), (1, 1), (2, 1), (True, 1), (False, 1), (MyInt(2), 1),
        (3, 0), (-1, 0), (1.0, 0), ("1", 0), (None, 0), (2 ** 70, 0)]])
def test_valid_values(ac, rtext, assert_failure, factory, value, ok):
    c = getattr(ac.verify_that("fr"), factory)()
    if ok:
        assert c.rules[0]("api", value) is None
        return
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("api", value)
    if factory == "is_valid_fq":
        assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR", "api", "fr", value, type(value))
    else:
        assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR", "api", "fr", NAMES, value,
                       type(value))
        assert tb_names(ei.value)[-1] == SITES["_is_valid_frequency.raise"]


def test_factories_append_bound_methods_looked_up_after_rules(ac, rtext, assert_failure):
    c = ac.verify_that("fr").is_valid_frequency().is_valid_frequency()
    assert [(r.__func__.__name__, r.__self__) for r in c.rules] == [("_is_valid_frequency", c)] * 2
    c.FREQUENCY = ["tick"]                            # this checker only
    c.verify("f", "tick")
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("f", "day")
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR", "f", "fr", ["tick"], "day", str)
    seen = []

    class Sub(ac.ArgumentChecker):
        def __getattribute__(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

        def _is_valid_fq(self, func_name, value):
            seen.append(value)
    s = Sub("x")
    s.is_valid_fq().is_valid_frequency()
    assert seen == ["is_valid_fq", "rules", "_is_valid_fq", "is_valid_frequency", "rules", "_is_valid_frequency"]
    s.rules[0]("f", 9)
    assert seen[-1] == 9


@pytest.mark.parametrize("factory, setup, value, exc, site", [
    ("is_valid_fq", None, hostile(int, "__eq__", raiser(KeyError), 1), KeyError, "_is_valid_fq.compare"),
    ("is_valid_frequency", lambda c: setattr(c, "FREQUENCY", 5), "day", TypeError, "_is_valid_frequency.lookup"),
    ("is_valid_frequency", lambda c: setattr(c, "FREQUENCY", frozenset(NAMES)),
     type("H", (str,), {"__hash__": lambda s: {}["hash"]})("day"), KeyError, "_is_valid_frequency.lookup"),
    ("is_valid_frequency", lambda c: delattr(c, "arg_name"), "days", AttributeError, "_is_valid_frequency.raise")])
def test_errors_inside_a_check_propagate(ac, factory, setup, value, exc, site):
    c = getattr(ac.verify_that("x"), factory)()
    if setup:
        setup(c)
    with pytest.raises(exc) as ei:
        c.verify("f", value)
    assert tb_names(ei.value)[-1] == SITES[site]
