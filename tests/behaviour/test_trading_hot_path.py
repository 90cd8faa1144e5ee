"""Trading-field rules: no allocation on the pass path, no reference leak on any path."""
import tracemalloc

import pytest

from kit.tools import assert_no_ref_drift

PASSING = [
    ("is_stop_type", (), "Point"), ("is_oder_act", (), "SELL"), ("is_callable", (), len),
    ("is_valid_price_type", (), "5LevelROD"), ("is_valid_order_act", (), "Buy"),
    ("is_greater_than", (0,), 5), ("is_greater_or_equal_than", (0,), 5), ("is_less_than", (10.0,), 5.0),
    ("is_less_or_equal_than", (10,), 10), ("is_valid_frequency", (), "day"), ("is_valid_fq", (), True),
]


def peak_of_one_call(rule, value):
    rule("f", value)
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        rule("f", value)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak - current


@pytest.mark.parametrize("factory, args, value", PASSING)
def test_pass_path_allocates_nothing(ac, factory, args, value):
    assert peak_of_one_call(getattr(ac.verify_that("x"), factory)(*args).rules[0], value) == 0


class Word(str):
    def lower(self):
        return "buy"

    def upper(self):
        return "BUY"


def test_no_reference_leaks(ac):
    checkers = [getattr(ac.verify_that("x"), f)(*a) for f, a, _ in PASSING]
    values = ["Point", "l\u0131m\u0131t", "\u017fell", Word("w"), "nope", int("70001"), 2 ** 70, float("nan"), None, len]

    def run():
        for c in checkers:
            for v in values:
                try:
                    c.verify("f", v)
                except (ac.InvalidParamError, TypeError, AttributeError):
                    pass
    assert_no_ref_drift(run, checkers + values + [ac.ArgumentChecker.ALL_PRICE_TYPE], rounds=500)
