"""check_ndarray_idx on million-element arrays against NumPy's own min and max over the same array.

One case per element type: int32 and int64 (the default checks), float64 (with the NaN test) and object
(with NaN allowed, so the `None` scan and NumPy's min and max over Python objects). Within a case both
are timed in the same process, in interleaved rounds; the medians and their ratio are printed, with the
target ratio of each case.
    python bench/bench_ndarray_idx.py [--rounds N] [--calls N] [--size N] [--only int32,object,...]
"""
import argparse
import statistics
import time

import numpy as np

from velmora.tframe.utils.argchecker import ArgumentChecker

# name, dtype, keyword arguments of the check, target ratio, share of --calls per round (object arrays
# take about fifty times longer per call than number arrays)
CASES = [
    ("int32", np.int32, {}, 0.8, 1.0),
    ("int64", np.int64, {"dtype": np.int64}, 0.8, 1.0),
    ("float64", np.float64, {"dtype": np.float64}, 1.0, 1.0),
    ("object", object, {"dtype": None, "allow_nan": True}, 1.1, 0.05),
]


def per_call(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def run_case(dtype, kwargs, size, rounds, calls):
    a = np.arange(size).astype(dtype)
    value = (a, 0, size)
    check = ArgumentChecker.check_ndarray_idx

    def baseline():
        np.min(a)
        np.max(a)

    def checked():
        check("bench", "idx", value, **kwargs)

    baseline()
    checked()
    base, ours = [], []
    for i in range(rounds):
        # Alternate which one goes first so neither always runs on a warmer cache.
        if i % 2:
            ours.append(per_call(checked, calls))
            base.append(per_call(baseline, calls))
        else:
            base.append(per_call(baseline, calls))
            ours.append(per_call(checked, calls))
    return statistics.median(base), statistics.median(ours)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--only", default="", help="comma-separated case names")
    opts = parser.parse_args()
    wanted = {n for n in opts.only.split(",") if n}

    print("check_ndarray_idx(a, 0, n) against np.min(a); np.max(a), {} elements, {} rounds".format(
        opts.size, opts.rounds))
    print("{:8} {:>7} {:>14} {:>14} {:>8} {:>7}".format("dtype", "calls", "min+max us", "check us", "ratio",
                                                        "target"))
    for name, dtype, kwargs, target, share in CASES:
        if wanted and name not in wanted:
            continue
        calls = max(1, round(opts.calls * share))
        b, o = run_case(dtype, kwargs, opts.size, opts.rounds, calls)
        print("{:8} {:>7} {:>14.1f} {:>14.1f} {:>7.3f}x {:>6.2f}x".format(name, calls, b * 1e6, o * 1e6, o / b,
                                                                         target))


if __name__ == "__main__":
    main()
