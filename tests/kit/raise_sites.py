"""Where the module's traceback entries point: each site that raises, as (entry name, line). The module adds
an entry for every function a failure passes through, at the line of that function's source (the enums of
lines beside each declaration in src/); the tests compare against this one table.
"""
import traceback

MODULE = "tframe.utils.argchecker"
CLS = MODULE + ".ArgumentChecker."
WRAPPER = MODULE + ".apply_rule.decorator.api_rule_check_wrapper"


def tb_names(exc):
    """(name, line) of every traceback entry of `exc` that the module added."""
    return [(fs.name, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == "velmora\\tframe\\utils\\argchecker"]


SITES = {
    # loading: the module body's first import from the host; the checker's __init__
    "import": ("init " + MODULE, 17),
    "__init__": (CLS + "__init__", 42),
    # verify: reading `rules`, calling one rule
    "verify.rules": (CLS + "verify", 353),
    "verify.rule": (CLS + "verify", 354),
    # the decorated call: the checkers run, the user log written, the failure raised again
    "wrapper.check": (WRAPPER, 478),
    "wrapper.log": (WRAPPER, 483),
    "wrapper.raise": (WRAPPER, 485),
    # vocabularies: the lowered value looked up, the refusal (with the words' repr) raised
    "is_stop_type.lookup": (CLS + "is_stop_type.check_stop_type", 129),
    "is_stop_type.raise": (CLS + "is_stop_type.check_stop_type", 130),
    "is_stop_gap.raise": (CLS + "is_stop_gap.check_stop_gap", 140),
    "is_callable.raise": (CLS + "is_callable.check_callable_type", 150),
    "is_trailing_type.raise": (CLS + "is_trailing_type.check_trailing_type", 160),
    "is_oder_ctg.raise": (CLS + "is_oder_ctg.check_oder_ctg", 170),
    "is_oder_act.raise": (CLS + "is_oder_act.check_oder_act", 180),
    # comparisons
    "is_greater_than.compare": (CLS + "is_greater_than.check_greater_than", 264),
    "_is_greater_or_equal_than.compare": (CLS + "_is_greater_or_equal_than", 273),
    "is_greater_or_equal_than.call": (CLS + "is_greater_or_equal_than.check_greater_or_equal_than", 281),
    "is_less_than.compare": (CLS + "is_less_than.check_less_than", 288),
    "is_less_or_equal_than.compare": (CLS + "is_less_or_equal_than.check_less_or_equal_than", 298),
    # frequencies: the lookup in FREQUENCY, the refusal raised; the fq comparison
    "_is_valid_frequency.lookup": (CLS + "_is_valid_frequency", 307),
    "_is_valid_frequency.raise": (CLS + "_is_valid_frequency", 309),
    "_is_valid_fq.compare": (CLS + "_is_valid_fq", 320),
    # price types and order actions: the names joined for the message, the upper-cased value looked up
    "is_valid_price_type.join": (CLS + "is_valid_price_type.check_validate_orderctg", 333),
    "is_valid_price_type.lookup": (CLS + "is_valid_price_type.check_validate_orderctg", 334),
    "is_valid_order_act.lookup": (CLS + "is_valid_order_act.check_validate_orderact", 345),
}
