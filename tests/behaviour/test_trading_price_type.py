"""Price types and order actions: case-insensitive names, reported with their "[...]" list."""
import pytest

from kit.hostile import hostile, raiser
from kit.raise_sites import SITES, tb_names

PRICES = "[MARKET,LIMIT,MARKETIOC,MARKETRESTTOLIMIT,MARKETFOK,LIMITFOK,LIMITIOC,5LEVELIOC,5LEVELFOK,5LEVELROD]"


@pytest.mark.parametrize("factory, value, ok", [
    ("is_valid_price_type", v, ok) for v, ok in [
        ("market", 1), ("Market", 1), ("5levelfok", 1), ("l\u0131m\u0131t", 1),  # dotless i
        (hostile(str, "upper", lambda s: "LIMIT", "x"), 1),
        ("mkt", 0), ("", 0), ("Mkt", 0), (" market", 0)]
] + [("is_valid_order_act", v, ok) for v, ok in [
    ("sell", 1), ("Sell", 1), ("BUY", 1), ("\u017fell", 1), ("short", 0), (" buy", 0), ("buyer", 0)]])
def test_names_pass_in_any_case(ac, rtext, assert_failure, factory, value, ok):
    c = getattr(ac.verify_that("pt"), factory)()
    if ok:
        assert c.rules[0]("api", value) is None
        return
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("api", value)
    shown = PRICES if factory == "is_valid_price_type" else "[sell,buy]"
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR", "api", "pt", shown, value, str)


@pytest.mark.parametrize("factory, check", [
    ("is_valid_price_type", "check_validate_orderctg"), ("is_valid_order_act", "check_validate_orderact")])
@pytest.mark.parametrize("value, exc", [
    (None, AttributeError), (3, AttributeError),
    (hostile(object, "upper", lambda s: hostile(object, "__eq__", raiser(KeyError))), KeyError)])
def test_upper_without_a_type_test(ac, factory, check, value, exc):
    c = getattr(ac.verify_that("x"), factory)()
    assert c.rules[0].__qualname__ == "ArgumentChecker.%s.<locals>.%s" % (factory, check)
    with pytest.raises(exc) as ei:
        c.verify("f", value)
    assert tb_names(ei.value)[-1] == SITES[factory + ".lookup"]


def test_price_types_read_through_the_checker_twice_per_check(ac, rtext, assert_failure):
    reads = []

    class Sub(ac.ArgumentChecker):
        @property
        def ALL_PRICE_TYPE(self):
            reads.append(1)
            return ("STOP", "TWAP")
    c = Sub("pt").is_valid_price_type()
    c.verify("f", "twap")
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("f", "market")
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR", "f", "pt", "[STOP,TWAP]", "market", str)
    assert len(reads) == 4

    c = ac.verify_that("pt").is_valid_price_type()
    c.ALL_PRICE_TYPE = (x for x in ["A", "B"])          # joined first, so empty for the membership test
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("f", "A")
    assert ei.value.args[0].fmt_args[2] == "[A,B]"


def test_a_non_str_price_type_fails_the_join_before_upper(ac):
    called = []

    class Probe(str):
        def upper(self):
            called.append(self)
            return "MARKET"
    c = ac.verify_that("pt").is_valid_price_type()
    c.ALL_PRICE_TYPE = ("MARKET", 5)
    for v in ("market", Probe("m")):
        with pytest.raises(TypeError) as ei:
            c.verify("f", v)
        assert tb_names(ei.value)[-1] == SITES["is_valid_price_type.join"]
    assert called == []
