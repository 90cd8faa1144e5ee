"""P6: the date and quarter rules against `is_greater_than(0)`, pass path, by instructions and by time.

Instructions are counted with callgrind (bench/callgrind_counts.py) in one child interpreter; times are
medians of interleaved rounds in this one. Each ratio is taken against `is_greater_than(0)` measured in
the same run.
    python bench/bench_dates.py            both
    AC_BENCH_CALLGRIND=0 python ...        times only (also when valgrind is not installed)
"""
import os
import sys

import callgrind_counts
from harness import measure, table

QUICK = os.environ.get("AC_BENCH_QUICK") == "1"
ROUNDS = 7 if QUICK else 21

SETUP = """
from velmora.tframe.utils import argchecker as ac
gt = ac.verify_that("x").is_greater_than(0)
date = ac.verify_that("x").is_valid_date()
date_compact = ac.verify_that("x").is_valid_date(fmt="%Y%m%d")
future = ac.verify_that("x").is_future_date()
quarter = ac.verify_that("x").is_valid_quarter()
"""

BASE = "is_greater_than(0), 5"
# (label, statement, target ratio)
CASES = [
    (BASE, "gt.verify('f', 5)", ""),
    ("is_valid_date(), '2021-03-05'", "date.verify('f', '2021-03-05')", "<= 6"),
    ("is_valid_date(fmt='%Y%m%d'), '20210305'", "date_compact.verify('f', '20210305')", ""),
    ("is_future_date(), 20210305", "future.verify('f', 20210305)", "<= 8"),
    ("is_future_date(), '20210305'", "future.verify('f', '20210305')", ""),
    ("is_valid_quarter(), '2021q1'", "quarter.verify('f', '2021q1')", "<= 4"),
]


def main():
    print("argchecker date-rule benchmarks, CPython %s" % sys.version.split()[0])
    stmts = {label: stmt for label, stmt, _ in CASES}

    if os.environ.get("AC_BENCH_CALLGRIND", "1") != "0" and callgrind_counts.available():
        ir = callgrind_counts.count(SETUP, stmts, number=1000 if QUICK else 2000)
        base = ir[BASE]
        table("P6 date rules, verify pass path: instructions per call (callgrind)",
              [(label, "%.0f" % ir[label], "%.2f" % (ir[label] / base), target) for label, _, target in CASES],
              header=("case", "instructions", "ratio", "target"))
    else:
        print("\n(callgrind counts skipped: valgrind not found or AC_BENCH_CALLGRIND=0)")

    env = {}
    exec(SETUP, env)
    r = measure(stmts, env, rounds=ROUNDS, number=5000)
    base = r[BASE]
    table("P6 date rules, verify pass path: time (medians of interleaved rounds)",
          [(label, "%.0f" % r[label], "%.2f" % (r[label] / base), target) for label, _, target in CASES])


if __name__ == "__main__":
    main()
