"""An API module using every public feature of the module, as a type checker sees it through the stub.

test_stubs.py runs mypy --strict on it (with mypy.ini beside it, and --warn-unused-ignores, so every
`type: ignore` below must stand for a real error) and also runs it; `./dev.sh lint` runs pyright on it
in strict mode (the comment below).
"""
# pyright: strict
import datetime
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
from typing_extensions import assert_type

import velmora.tframe.utils.argchecker as argchecker
from velmora.tframe.utils.argchecker import (ArgumentChecker, InvalidParamError, apply_rule, convert_targets,
                                              get_target_from_cache, patch_target_list, set_target_to_cache,
                                              verify_that)

# Every factory, chained: each returns the checker.
side = verify_that("side").is_instance_of(str).is_in(["buy", "sell"]).is_oder_act().is_valid_order_act()
price = verify_that("price").is_instance_of(int, float).is_greater_than(0).is_less_or_equal_than(1e6)
qty = verify_that("qty").is_greater_or_equal_than(1).is_less_than(10_000)
when = verify_that("when").is_valid_date(fmt="%Y%m%d", allow_empty_str=True).is_future_date()
freq = ArgumentChecker("freq").is_valid_frequency().is_empty_or_not(ignore_none=False)
fq = verify_that("fq").is_valid_fq()
quarter = verify_that("quarter").is_valid_quarter(allow_empty_str=True)
fields = verify_that("fields").sub_set(["open", "close"])
stop = verify_that("stop").is_stop_type().is_stop_gap().is_trailing_type()
ctg = verify_that("ctg").is_oder_ctg().is_valid_price_type()
path = verify_that("path").is_exist_path()
callback = verify_that("callback").is_callable()
assert_type(side, ArgumentChecker)
assert_type(freq.rules, List[Callable[[str, Any], object]])
assert_type(freq.arg_name, str)
assert_type(ArgumentChecker.STOP_TYPE, Tuple[str, ...])
assert_type(ArgumentChecker.ALLOW_ARG_CHECK, bool)
assert_type(argchecker.__test__, Dict[str, Any])
for table in (ArgumentChecker.FREQUENCY, ArgumentChecker.STOP_GAP, ArgumentChecker.TRAILING_TYPE,
              ArgumentChecker.ORDER_CTG, ArgumentChecker.ORDER_ACT, ArgumentChecker.ALL_PRICE_TYPE):
    assert_type(table, Tuple[str, ...])


@apply_rule(side, price, qty)
def place_order(side: str, price: float, qty: int = 1) -> Dict[str, Any]:
    return {"side": side, "price": price, "qty": qty}


order = place_order("buy", 10.5, qty=2)
assert_type(order, Dict[str, Any])


def on_bar(context: Any) -> None:
    pass


ok, reason = ArgumentChecker.check_callable(on_bar, "on_bar", 1, ["context"], raise_error=False)
assert_type(ok, bool)
assert_type(reason, str)
ArgumentChecker.is_algorithm_func_and_args("run", on_bar)
ArgumentChecker.check_begin_end_date("20200101", datetime.date(2020, 3, 1))
ArgumentChecker.check_ndarray_idx("pick", "rows", (np.array([0, 1], dtype=np.int32), 0, 2))
side.verify("place_order", "sell")
fq._is_valid_fq("history", 1)  # pyright: ignore[reportPrivateUsage]
freq._is_valid_frequency("history", "day")  # pyright: ignore[reportPrivateUsage]

# Target codes, with the host's cache and conversion command.
codes = convert_targets(["rb2105", "IF2106"])
assert_type(codes, List[str])
missing, known = get_target_from_cache(["rb2105", "cu2107"])
assert_type(missing, List[str])
set_target_to_cache(["cu2107"], ["cu2107.shfe"])
params: Dict[str, Any] = {"target_list": ["rb2105"]}
patch_target_list(params)


def refusal(call: Callable[[], object]) -> str:
    # The module global callers catch is the host's exception class.
    try:
        call()
    except InvalidParamError as e:
        assert_type(e, InvalidParamError)
        return str(e)
    return ""


def misuse() -> None:
    # Each line is an error a type checker must report.
    verify_that("x").is_in(["a"]).no_such_rule()  # type: ignore[attr-defined]
    verify_that(arg_name="x")  # type: ignore[call-arg]
    place_order("buy", "cheap")  # type: ignore[arg-type]
    n: int = place_order("buy", 1.0)  # type: ignore[assignment]
    apply_rule("side")  # type: ignore[arg-type]
    patch_target_list(None)  # type: ignore[arg-type]
    targets: List[int] = convert_targets(["a.sh"])  # type: ignore[assignment]
    ArgumentChecker.check_ndarray_idx("f", "idx")  # type: ignore[call-arg]
    del n, targets
