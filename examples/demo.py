"""A short API session: calls that pass, calls that are rejected, the user log, the switch, and the
target cache at work."""
import datetime
import os
import tempfile

os.environ.setdefault("VELMORA_USERLOG", os.path.join(tempfile.gettempdir(), "argchecker_demo_user.log"))

import numpy as np  # noqa: E402

from velmora.tframe.comm import vmcmd  # noqa: E402
from velmora.tframe.utils import argchecker, logger  # noqa: E402
from velmora.tframe.utils.argchecker import ArgumentChecker  # noqa: E402

import trading_api as api  # noqa: E402


def attempt(label, call):
    try:
        print("  accepted  %-46s -> %s" % (label, call()))
    except argchecker.InvalidParamError as e:
        print("  REJECTED  %-46s -> InvalidParamError: %s" % (label, e))
    except ValueError as e:
        print("  REJECTED  %-46s -> ValueError: %s" % (label, e))


def main():
    open(logger.userlog_path(), "w").close()
    tomorrow = (datetime.date.today() + datetime.timedelta(days=1)).strftime("%Y%m%d")

    print("1. Orders and stops: types, bounds, price types, order actions, vocabularies")
    attempt("place_order('rb2105', 3, 'market', 'SELL')", lambda: api.place_order("rb2105", 3, "market", "SELL"))
    attempt("place_order('rb2105', 0)", lambda: api.place_order("rb2105", 0))
    attempt("place_order('', 1)", lambda: api.place_order("", 1))
    attempt("place_order('rb2105', 1, price_type='mkt')", lambda: api.place_order("rb2105", 1, price_type="mkt"))
    attempt("set_stop('Percent', 2.5)", lambda: api.set_stop("Percent", 2.5))
    attempt("set_stop('points', 2)", lambda: api.set_stop("points", 2))

    print("\n2. History: frequencies, fq codes, dates, field subsets")
    attempt("get_history('rb2105', '1min')", lambda: api.get_history("rb2105", "1min"))
    attempt("get_history('rb2105', 'min', 2, '2021-3-5')", lambda: api.get_history("rb2105", "min", 2, "2021-3-5"))
    attempt("get_history('rb2105', fields=['close', 'vwap'])",
            lambda: api.get_history("rb2105", fields=["close", "vwap"]))
    attempt("get_history('rb2105', start='2021-02-30')", lambda: api.get_history("rb2105", start="2021-02-30"))

    print("\n3. Reports, callbacks and ranges: quarters, future dates, callables, validators")
    attempt("get_report('2020q3')", lambda: api.get_report("2020q3"))
    attempt("get_report('2020Q3')", lambda: api.get_report("2020Q3"))
    attempt("get_report('2020q3', %s)" % tomorrow, lambda: api.get_report("2020q3", int(tomorrow)))
    attempt("subscribe(print)", lambda: api.subscribe(print))
    attempt("subscribe(lambda bar: None, 42)", lambda: api.subscribe(lambda bar: None, 42))
    attempt("get_bars('20200101', '20200301')", lambda: api.get_bars("20200101", "20200301"))
    attempt("get_bars('20200301', '20200101')", lambda: api.get_bars("20200301", "20200101"))
    attempt("pick_rows(int32 [0, 2, 4], 5)", lambda: api.pick_rows(np.array([0, 2, 4], dtype=np.int32), 5))
    attempt("pick_rows(int32 [0, 5], 5)", lambda: api.pick_rows(np.array([0, 5], dtype=np.int32), 5))

    print("\n4. The user log (every rejected API call, with where it came from)")
    with open(logger.userlog_path()) as f:
        entries = f.read()
    first = entries.split("\n20")[0]
    print("   %s: %d error entries; the first one reads:" % (logger.userlog_path(), entries.count(" ERROR ")))
    print("   | " + first.rstrip().replace("\n", "\n   | "))

    print("\n5. The switch: ArgumentChecker.ALLOW_ARG_CHECK = False turns checking off everywhere")
    ArgumentChecker.ALLOW_ARG_CHECK = False
    attempt("place_order('rb2105', 0)", lambda: api.place_order("rb2105", 0))
    ArgumentChecker.ALLOW_ARG_CHECK = True
    attempt("place_order('rb2105', 0)  (checking on again)", lambda: api.place_order("rb2105", 0))

    print("\n6. Target codes through the host command, with the shared cache")
    vmcmd.reset()
    print("  convert_targets(['rb2105', 'IF2106'])  ->", api.resolve(["rb2105", "IF2106"]),
          " commands sent:", len(vmcmd.CALLS))
    print("  convert_targets(['IF2106', 'rb2105'])  ->", api.resolve(["IF2106", "rb2105"]),
          " commands sent:", len(vmcmd.CALLS), "(all cached)")
    print("  convert_targets(['rb2105', 'cu2107'])  ->", api.resolve(["rb2105", "cu2107"]),
          " commands sent:", len(vmcmd.CALLS), "(only cu2107 was sent)")


if __name__ == "__main__":
    main()
