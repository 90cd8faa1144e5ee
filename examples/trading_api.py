"""A small host API module, as a trading framework's public layer would write it: every API
function states its argument rules once, at import, and the checker runs at every call."""
import numpy as np

from velmora.tframe.utils.argchecker import ArgumentChecker, apply_rule, convert_targets, verify_that


@apply_rule(verify_that("target").is_instance_of(str).is_empty_or_not(),
            verify_that("amount").is_instance_of(int).is_greater_than(0),
            verify_that("price_type").is_valid_price_type(),
            verify_that("side").is_valid_order_act())
def place_order(target, amount, price_type="Limit", side="buy"):
    return "order: %s %d x %s (%s)" % (side.lower(), amount, target, price_type.upper())


@apply_rule(verify_that("stop_type").is_stop_type(),
            verify_that("gap").is_instance_of(int, float).is_greater_or_equal_than(0).is_less_than(100))
def set_stop(stop_type, gap):
    return "stop: %s %s" % (stop_type.lower(), gap)


@apply_rule(verify_that("freq").is_instance_of(str).is_valid_frequency(),
            verify_that("fq").is_valid_fq(),
            verify_that("start").is_valid_date(),
            verify_that("fields").sub_set(["open", "high", "low", "close", "volume"]))
def get_history(target, freq="day", fq=0, start="2020-01-02", fields=("close",)):
    return "history: %s %s fq=%d from %s %s" % (target, freq, fq, start, list(fields))


@apply_rule(verify_that("quarter").is_valid_quarter(),
            verify_that("report_date").is_future_date())
def get_report(quarter, report_date=0):
    return "report: %s" % quarter


@apply_rule(verify_that("callback").is_callable())
def subscribe(callback, *extra):
    ArgumentChecker.is_algorithm_func_and_args("subscribe", *extra)
    return "subscribed: %s" % callback.__name__


def get_bars(begin, end):
    ArgumentChecker.check_begin_end_date(begin, end)
    return "bars: %s .. %s" % (begin, end)


def pick_rows(rows, n_rows):
    ArgumentChecker.check_ndarray_idx("pick_rows", "rows", (rows, 0, n_rows))
    return "rows: %s" % np.asarray(rows).tolist()


def resolve(targets):
    return convert_targets(targets)
