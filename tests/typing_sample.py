"""How host code uses the module, as a type checker sees it through the type stub.

test_stubs.py runs mypy on this file (with --warn-unused-ignores, so every `type: ignore` below must
stand for a real error) and also runs it.
"""
from typing import Any, Callable, Dict, List, Tuple

from typing_extensions import assert_type

from velmora.tframe.utils.argchecker import (ArgumentChecker, InvalidParamError, apply_rule,
                                              convert_targets, patch_target_list, verify_that)

side = verify_that("side").is_instance_of(str).is_in(["buy", "sell"]).is_oder_act()
price = verify_that("price").is_instance_of(int, float).is_greater_than(0).is_less_or_equal_than(1e6)
when = verify_that("when").is_valid_date(fmt="%Y%m%d", allow_empty_str=True).is_future_date()
freq = ArgumentChecker("freq").is_valid_frequency().is_valid_fq().is_empty_or_not(ignore_none=False)
assert_type(side, ArgumentChecker)
assert_type(freq.rules, List[Callable[[str, Any], object]])
assert_type(ArgumentChecker.STOP_TYPE, Tuple[str, ...])


@apply_rule(side, price)
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
side.verify("place_order", "sell")


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
