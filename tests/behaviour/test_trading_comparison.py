"""Bounds: is_greater_than, is_greater_or_equal_than, is_less_than, is_less_or_equal_than."""
import pytest

from kit.raise_sites import SITES, tb_names

NAN = float("nan")
RULES = [  # factory, bound, passing, failing, key, the one comparison made
    ("is_greater_than", 0, [1, 0.5, True, NAN], [0, -1, False], "GREATER", "__le__"),
    ("is_greater_or_equal_than", 0, [0, False, NAN], [-1, -0.5], "GREATER_EQUAL", "__lt__"),
    ("is_less_than", 10, [9, 9.99, NAN], [10, 11], "LESS", "__ge__"),
    ("is_less_or_equal_than", 10, [10, 9, NAN], [11, 10.5], "LESS_EQUAL", "__gt__"),
]


class Answers:
    """Answers every comparison with `answer`, noting which ones were asked."""
    def __init__(self, answer):
        self.asked, self.answer = [], answer

    def _cmp(name):
        return lambda self, other: self.asked.append(name) or self.answer
    __lt__, __le__, __gt__, __ge__ = _cmp("__lt__"), _cmp("__le__"), _cmp("__gt__"), _cmp("__ge__")


class Ambiguous:
    def __bool__(self):
        raise ValueError("ambiguous")


@pytest.mark.parametrize("factory, bound, good, bad, key, op", RULES)
def test_bounds(ac, rtext, assert_failure, factory, bound, good, bad, key, op):
    c = getattr(ac.verify_that("n"), factory)(bound)
    for v in good:
        c.verify("api", v)
    for v in bad + [Answers([1])]:                     # any true result of the comparison fails
        with pytest.raises(ac.InvalidParamError) as ei:
            c.verify("api", v)
        assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_%s_ERROR" % key, "api", "n", bound, v, type(v))
    v = Answers(0)
    c.verify("f", v)
    assert v.asked == [op]
    with pytest.raises(ValueError, match="ambiguous"):
        c.verify("f", Answers(Ambiguous()))


@pytest.mark.parametrize("factory", ["is_greater_than", "is_less_than", "is_less_or_equal_than"])
def test_impossible_comparisons_raise_type_error(ac, factory):
    c = getattr(ac.verify_that("n"), factory)(None)        # accepted when built
    assert c.rules[0].__qualname__ == "ArgumentChecker.%s.<locals>.check_%s" % (factory, factory[3:])
    with pytest.raises(TypeError) as ei:
        c.verify("f", 1)
    assert tb_names(ei.value)[-1] == SITES[factory + ".compare"]


def test_greater_or_equal_goes_through_the_method(ac, rtext, assert_failure):
    c = ac.verify_that("n").is_greater_or_equal_than(0)
    assert c.rules[0]("f", 5) is c and c._is_greater_or_equal_than(0, "f", 0) is c
    with pytest.raises(TypeError) as ei:
        c.rules[0]("f", None)
    assert tb_names(ei.value) == [SITES["is_greater_or_equal_than.call"], SITES["_is_greater_or_equal_than.compare"]]
    with pytest.raises(ac.InvalidParamError) as ei:
        c._is_greater_or_equal_than(low=3, func_name="g", value=2.5)
    assert_failure(ei, "ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_EQUAL_ERROR", "g", "n", 3, 2.5, float)

    class Sub(ac.ArgumentChecker):
        def _is_greater_or_equal_than(self, *args):
            return args
    assert Sub("n").is_greater_or_equal_than(7).rules[0]("f", 1) == (7, "f", 1)


def test_bound_is_held_by_reference_and_arg_name_read_at_failure(ac, rtext):
    low = [1, 2]
    c = ac.verify_that("n").is_greater_than(low)
    c.verify("f", [1, 2, 0])
    low.append(5)                                      # now [1, 2, 0] <= [1, 2, 5]
    c.arg_name = "renamed"
    with pytest.raises(ac.InvalidParamError) as ei:
        c.verify("f", [1, 2, 0])
    args = ei.value.args[0].fmt_args
    assert args[1] == "renamed" and args[2] is low
