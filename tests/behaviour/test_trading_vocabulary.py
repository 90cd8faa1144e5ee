"""Order-field vocabularies (stop type, stop gap, trailing type, order category, order action) and is_callable."""
import pytest

from kit.hostile import hostile, raiser
from kit.raise_sites import SITES, tb_names

RULES = [("is_stop_type", ("point", "percent")), ("is_stop_gap", ("point", "percent")),
         ("is_trailing_type", ("point", "percent")), ("is_oder_ctg", ("market", "limit")),
         ("is_oder_act", ("buy", "sell"))]


@pytest.mark.parametrize("factory, words", RULES)
def test_words_pass_in_any_case_and_others_fail(ac, rtext, assert_failure, factory, words):
    c = getattr(ac.verify_that("side"), factory)()
    assert c.rules[0].__qualname__ == "ArgumentChecker.%s.<locals>.check_%s" % (factory, factory[3:])
    for v in [w for w in words] + [w.upper() for w in words] + [words[1].capitalize()]:
        assert c.rules[0]("api", v) is None
    for v in (words[0] + "s", " " + words[0], "", b"point", None, 1):
        with pytest.raises(ac.InvalidParamError) as ei:
            c.verify("api", v)
        assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR", "api", "side", repr(words), v, type(v))
    assert tb_names(ei.value)[-1] == SITES[factory + ".raise"]


def test_the_vocabulary_is_read_through_the_checker_at_each_check(ac, rtext, assert_failure):
    c = ac.verify_that("ctg").is_oder_ctg()
    c.verify("f", "limit")
    c.ORDER_CTG = ("market", "point")
    c.verify("f", hostile(str, "lower", lambda s: "point", "limit"))  # a str subclass's own lower is used
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("f", "limit")
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR", "f", "ctg", "('market', 'point')",
                   "limit", str)

    class Sub(ac.ArgumentChecker):
        ORDER_ACT = ["hold", "keep"]
    Sub("x").is_oder_act().verify("f", "\u212aEEP")    # the Kelvin sign lowers to "k"


@pytest.mark.parametrize("constant, value, exc, site", [
    (("point",), hostile(str, "lower", raiser(KeyError), "point"), KeyError, "lookup"),
    (5, "point", TypeError, "lookup"),
    ((hostile(object, "__eq__", raiser(KeyError)), "point"), "point", KeyError, "lookup"),
    (hostile(tuple, "__repr__", raiser(KeyError), ("point",)), "other", KeyError, "raise"),
    (("point",), hostile(object, "__repr__", raiser(KeyError)), KeyError, "raise")])
def test_errors_inside_a_check_propagate(ac, constant, value, exc, site):
    c = ac.verify_that("x").is_stop_type()
    c.STOP_TYPE = constant
    with pytest.raises(exc) as ei:
        c.verify("f", value)
    assert tb_names(ei.value)[-1] == SITES["is_stop_type." + site]


@pytest.mark.parametrize("value, ok", [
    (len, True), (lambda: 0, True), (int, True), ([].append, True), (type("C", (), {"__call__": id})(), True),
    (None, False), (1, False), ("f", False)])
def test_is_callable(ac, rtext, assert_failure, value, ok):
    c = ac.verify_that("cb").is_callable()
    if ok:
        assert c.rules[0]("api", value) is None
        return
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("api", value)
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR", "api", "cb", value, type(value))
    assert tb_names(ei.value)[-1] == SITES["is_callable.raise"]
