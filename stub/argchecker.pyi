# velmora-argchecker @ARGCHECKER_VERSION@: types of the native module velmora.tframe.utils.argchecker.
#
# Parameter names, kinds and defaults match the built module exactly (tests/packaging/test_stubs.py
# compares them with inspect.signature, and mypy's stubtest runs on the installed module with no
# allowlist).
# Parameters before "/" are taken by position only.
#
# Installed beside the extension, with no py.typed marker: the host's package keeps the typedness it
# has. pyright reads this stub as it is; mypy reads it once the host is typed or its configuration
# says `follow_untyped_imports = True` for this module (docs/host-contract.md, "Typing").
from typing import Any, Callable, Container, Dict, Iterable, List, Optional, Sequence, Tuple, TypeVar, Union

# The exception every refused value raises: the host's own class, which the module looks up at load.
from .exceptions import InvalidParamError as InvalidParamError

_F = TypeVar("_F", bound=Callable[..., Any])

# The empty doctest table the module binds at load; nothing reads it.
__test__: Dict[str, Any]

# A rule: called with the API function's name and the argument's value; raises when the value is
# refused (normally the host's InvalidParamError). Its result is ignored.
_Rule = Callable[[str, Any], object]
# What isinstance accepts as its second argument.
_ClassInfo = Union[type, Tuple[Any, ...]]
# What `in` accepts on its right.
_Values = Union[Container[Any], Iterable[Any]]

class ArgumentChecker:
    FREQUENCY: Tuple[str, ...]
    STOP_TYPE: Tuple[str, ...]
    STOP_GAP: Tuple[str, ...]
    TRAILING_TYPE: Tuple[str, ...]
    ORDER_CTG: Tuple[str, ...]
    ORDER_ACT: Tuple[str, ...]
    ALL_PRICE_TYPE: Tuple[str, ...]
    ALLOW_ARG_CHECK: bool

    arg_name: str
    rules: List[_Rule]

    def __init__(self, arg_name: str) -> None: ...

    # Factories: each appends one rule and returns the checker, so calls chain. The underscored checks
    # some rules delegate to (callers may use them directly) sit among them: every member is listed in
    # the order the class binds it.
    def is_instance_of(self, *types_: _ClassInfo) -> ArgumentChecker:
        """Passes when isinstance(value, types_) holds."""
    def is_callable(self, /) -> ArgumentChecker:
        """Passes when callable(value) holds."""
    def is_exist_path(self, /) -> ArgumentChecker:
        """Passes when the value is a str or bytes path that exists."""
    def _is_instance_of(self, types_: Iterable[Any], func_name: str, value: Any) -> ArgumentChecker: ...
    def is_empty_or_not(self, empty: bool = False, ignore_none: bool = True) -> ArgumentChecker:
        """Passes when len(value) is 0 (empty) or not 0 (not empty); None passes unless ignore_none=False."""
    def _is_in(self, func_name: str, value: Any, valid_values: _Values, ignore_value: bool = True) -> None: ...
    def is_in(self, valid_values: _Values, ignore_value: bool = True) -> ArgumentChecker:
        """Passes when value in valid_values holds; None passes unless ignore_value=False."""
    def _sub_set(self, func_name: str, value: Iterable[Any], valid_values: Iterable[Any]) -> None: ...
    def sub_set(self, valid_values: Iterable[Any]) -> ArgumentChecker:
        """Passes when set(value) <= valid_values holds."""
    def is_stop_type(self, /) -> ArgumentChecker:
        """Passes when the value is a str whose lower() is in STOP_TYPE."""
    def is_stop_gap(self, /) -> ArgumentChecker:
        """Passes when the value is a str whose lower() is in STOP_GAP."""
    def is_trailing_type(self, /) -> ArgumentChecker:
        """Passes when the value is a str whose lower() is in TRAILING_TYPE."""
    def is_oder_ctg(self, /) -> ArgumentChecker:
        """Passes when the value is a str whose lower() is in ORDER_CTG."""
    def is_oder_act(self, /) -> ArgumentChecker:
        """Passes when the value is a str whose lower() is in ORDER_ACT."""
    def is_valid_quarter(self, allow_empty_str: bool = False) -> ArgumentChecker:
        """Passes when the value is date-like or a str like "2021q3" ("" with allow_empty_str)."""
    def is_valid_date(
        self, timestamp: bool = False, fmt: str = "%Y-%m-%d", allow_empty_str: bool = False
    ) -> ArgumentChecker:
        """Passes when the value is date-like or a str that parses with fmt ("" with allow_empty_str)."""
    def is_future_date(self, /) -> ArgumentChecker:
        """Passes when the value is 0 or an int/str YYYYMMDD that is not after now."""
    def is_greater_than(self, low: Any) -> ArgumentChecker:
        """Refuses the value when value <= low is true (so NaN passes)."""
    def _is_greater_or_equal_than(self, low: Any, func_name: str, value: Any) -> ArgumentChecker: ...
    def is_greater_or_equal_than(self, low: Any) -> ArgumentChecker:
        """Refuses the value when value < low is true (so NaN passes)."""
    def is_less_than(self, high: Any) -> ArgumentChecker:
        """Refuses the value when value >= high is true (so NaN passes)."""
    def is_less_or_equal_than(self, high: Any) -> ArgumentChecker:
        """Refuses the value when value > high is true (so NaN passes)."""
    def _is_valid_frequency(self, func_name: str, value: Any) -> None: ...
    def is_valid_frequency(self, /) -> ArgumentChecker:
        """Passes when the value is a str in FREQUENCY."""
    def _is_valid_fq(self, func_name: str, value: Any) -> None: ...
    def is_valid_fq(self, /) -> ArgumentChecker:
        """Passes when the value is an int equal to 0, 1 or 2."""
    def is_valid_price_type(self, /) -> ArgumentChecker:
        """Passes when value.upper() is in ALL_PRICE_TYPE."""
    def is_valid_order_act(self, /) -> ArgumentChecker:
        """Passes when value.upper() is SELL or BUY."""

    def verify(self, func_name: str, value: Any) -> None:
        """Runs every rule, in the order added, on one value; the first refusal raises InvalidParamError."""

    # Validators called directly.
    @classmethod
    def check_begin_end_date(cls, begin: Any, end: Any) -> None:
        """Checks both dates lie between 1900-01-01 and now, begin not after end; raises ValueError."""
    @classmethod
    def is_algorithm_func_and_args(cls, func_name: str, *args: Any) -> None:
        """Checks at most two extra arguments are given, a single one being a Python function."""
    @staticmethod
    def check_ndarray_idx(
        func_name: str,
        parame_name: str,
        value: Sequence[Any],
        dtype: Any = ...,
        allow_none: bool = False,
        allow_nan: bool = False,
    ) -> None:
        """Checks value is (nd, lo, hi): a non-empty ndarray of dtype, no None/NaN, lo <= x < hi."""
    @staticmethod
    def check_callable(
        func_obj: object,
        func_name: Optional[str] = None,
        arg_count: Optional[int] = None,
        param_names: Optional[Iterable[str]] = None,
        raise_error: bool = True,
        except_sig: str = "",
    ) -> Tuple[bool, str]:
        """Checks func_obj is a Python function with that name, parameter count and names: (ok, reason)."""

def verify_that(arg_name: str, /) -> ArgumentChecker:
    """A new checker of the argument named arg_name, to chain factories on."""

# A decorator that checks each call's arguments with the given checkers; the decorated function keeps
# its type.
def apply_rule(*rules: ArgumentChecker) -> Callable[[_F], _F]:
    """A decorator: each call's arguments are bound and checked by the checkers before the call."""

# Target codes: the cache of conversions, and conversion through the host.
def get_target_from_cache(target_list: Iterable[str], /) -> Tuple[List[str], List[str]]:
    """(codes not in the shared cache, the codes with each cached one replaced by its conversion)."""
def set_target_to_cache(no_cache_target_list: Iterable[str], converted_czce_list: Sequence[str]) -> None:
    """Stores the conversions of the given target codes in the shared cache."""
def convert_targets(target_list: Iterable[str], /) -> List[str]:
    """Converts target codes: one host command for all codes not yet in the shared cache."""
def patch_target_list(params: Dict[str, Any], /) -> None:
    """Replaces params["target_list"] with its conversion; params must be a dict."""
