"""is_in / _is_in and sub_set / _sub_set."""
import traceback

import pytest

from kit.hostile import Boom, Hostile, boom

VALID, SUBSET = "ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR", "ARGCHECKER_INVALID_PARAM_SUBSET_ERROR"
CLS = "tframe.utils.argchecker.ArgumentChecker."


class Refusing:  # contains nothing and cannot be shown
    __contains__, __iter__, __repr__ = (lambda s, v: False), (lambda s: iter(())), boom


@pytest.mark.parametrize("args, value, outcome", [
    ((["buy", "sell"],), "buy", None), ((["buy", "sell"],), "Buy", VALID), ((["buy", "sell"],), None, None),
    ((["buy", "sell"], False), None, VALID), (([None, 1], False), None, None),
    (([1, 2],), 1.0, None), (([1, 2],), True, None), (({"k": 1},), "k", None), (({"k": 1},), 1, VALID),
    (("abc",), "ab", None), (("abc",), 1, TypeError), (({"a"},), ["a"], TypeError), ((("a", "b"),), "c", VALID),
    (([Hostile()],), "a", Boom), (({1},), Hostile(), Boom), (([1], Hostile()), None, Boom), ((Refusing(),), 1, Boom),
])
def test_is_in(ac, rtext, assert_failure, args, value, outcome):
    checker = ac.verify_that("side")
    assert checker.is_in(*args) is checker
    if outcome is None:
        assert checker.rules[0]("f", value) is None
        return
    with pytest.raises(ac.InvalidParamError if outcome == VALID else outcome) as ei:
        checker.verify("f", value)
    if outcome == VALID:
        assert_failure(ei, VALID, "f", "side", repr(args[0]), value, type(value))


ABC = ["a", "b", "c"]


@pytest.mark.parametrize("valid, value, outcome", [
    (ABC, ["a", "b"], None), (ABC, [], None), (ABC, "ab", None), (ABC, ["a", "d"], SUBSET), (ABC, "ad", SUBSET),
    (ABC, None, TypeError), (ABC, 5, TypeError), (ABC, [["a"]], TypeError),
    (ABC, [Hostile()], Boom), ([Hostile()], ["a"], Boom), (Refusing(), ["a"], Boom),
])
def test_sub_set(ac, rtext, assert_failure, valid, value, outcome):
    checker = ac.verify_that("codes")
    assert checker.sub_set(valid) is checker
    if outcome is None:
        assert checker.rules[0](func_name="f", value=value) is None
        return
    with pytest.raises(ac.InvalidParamError if outcome == SUBSET else outcome) as ei:
        checker.verify("f", value)
    if outcome == SUBSET:
        assert assert_failure(ei, SUBSET, "f", "codes", value, repr(valid)).fmt_args[2] is value
        assert [e.name for e in traceback.extract_tb(ei.value.__traceback__)][-3:] == [
            CLS + "verify", CLS + "sub_set.check_sub_set", CLS + "_sub_set"]


def test_containers_held_by_reference_and_workers_looked_up(ac, rtext):
    valid = ["a"]
    checker = ac.verify_that("x").is_in(valid).sub_set(valid)
    with pytest.raises(ac.InvalidParamError):
        checker.verify("f", "b")
    valid.append("b")
    checker.verify("f", "b")
    assert checker._is_in("f", "x", ["x"]) is None and checker._sub_set("f", ["x"], ["x"]) is None

    calls = []

    class Sub(ac.ArgumentChecker):
        def _is_in(self, *args):
            calls.append(args)

        def _sub_set(self, *args):
            calls.append(args)
            return 7

    sub = Sub("s").is_in(valid, 0).sub_set(valid)
    assert sub.rules[1]("g", 9) == 7
    sub.verify("g", 8)
    assert calls == [("g", 9, valid), ("g", 8, valid, 0), ("g", 8, valid)] and calls[0][2] is valid
