"""check_ndarray_idx on a million-element int32 array against NumPy's own min and max over it.

Both are timed in the same process, in interleaved rounds; the medians and their ratio are printed.
    python bench/bench_ndarray_idx.py [--rounds N] [--calls N] [--size N]
"""
import argparse
import statistics
import time

import numpy as np

from velmora.tframe.utils.argchecker import ArgumentChecker


def per_call(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--size", type=int, default=1_000_000)
    opts = parser.parse_args()

    a = np.arange(opts.size, dtype=np.int32)
    value = (a, 0, opts.size)
    check = ArgumentChecker.check_ndarray_idx

    def baseline():
        np.min(a)
        np.max(a)

    def checked():
        check("bench", "idx", value)

    baseline()
    checked()
    base, ours = [], []
    for i in range(opts.rounds):
        # Alternate which one goes first so neither always runs on a warmer cache.
        if i % 2:
            ours.append(per_call(checked, opts.calls))
            base.append(per_call(baseline, opts.calls))
        else:
            base.append(per_call(baseline, opts.calls))
            ours.append(per_call(checked, opts.calls))

    b, o = statistics.median(base), statistics.median(ours)
    print("array: {} x int32, {} rounds x {} calls".format(opts.size, opts.rounds, opts.calls))
    print("np.min(a); np.max(a)        median {:9.1f} us".format(b * 1e6))
    print("check_ndarray_idx(a, 0, n)  median {:9.1f} us".format(o * 1e6))
    print("ratio check / min+max: {:.3f}x".format(o / b))


if __name__ == "__main__":
    main()
