"""Trading-field rules: no allocation on the pass path (their leak checks are rows of kit/leak_paths.py)."""
import tracemalloc

import pytest

from kit.leak_paths import TRADING_PASSES


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


@pytest.mark.parametrize("factory, args, value", TRADING_PASSES)
def test_pass_path_allocates_nothing(ac, factory, args, value):
    assert peak_of_one_call(getattr(ac.verify_that("x"), factory)(*args).rules[0], value) == 0
