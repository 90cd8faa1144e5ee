"""Leak soak: every path of the module (each rule passing and failing, the decorator passing, failing
and logging, and passing errors through, the validators and the target functions) for a million rounds.

One round calls every path once. Prints the reference-count drift of every object handed in (values,
bounds, containers, functions, checkers, the exception class) and the growth of resident memory, and
exits 1 when any count moved or memory grew by the limit or more.
    python bench/soak.py [--rounds N] [--warmup N] [--report N] [--rss-limit BYTES] [--all]
`./dev.sh soak` runs it after the long profile of tests/reliability/test_soak.py.
"""
import argparse
import gc
import importlib
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from kit.leak_paths import every_path, run_path  # noqa: E402  (the table of paths)
from kit.tools import rss_bytes  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=int, default=2000)
    parser.add_argument("--report", type=int, default=100_000, help="print progress every N rounds")
    parser.add_argument("--rss-limit", type=int, default=1 << 20)
    parser.add_argument("--all", action="store_true", help="list every watched object, not only those that moved")
    opts = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="ac-soak-")
    os.environ["VELMORA_USERLOG"] = os.path.join(workdir, "user.log")
    ac = importlib.import_module("velmora.tframe.utils.argchecker")
    paths = every_path(ac, workdir)

    watched, owners = [], {}
    for p in paths:
        for o in p.watched:
            if id(o) not in owners:
                owners[id(o)] = p.name
                watched.append(o)

    for _ in range(opts.warmup):
        for p in paths:
            run_path(p)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    rss0 = rss_bytes()
    start = time.perf_counter()
    print("soak: {} paths, {} watched objects, {} rounds after {} warm-up rounds".format(
        len(paths), len(watched), opts.rounds, opts.warmup), flush=True)

    for done in range(1, opts.rounds + 1):
        for p in paths:
            run_path(p)
        if done % opts.report == 0 or done == opts.rounds:
            print("  {:>9} rounds  {:7.1f} s  rss {:+.3f} MB".format(
                done, time.perf_counter() - start, (rss_bytes() - rss0) / 2 ** 20), flush=True)

    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    growth = rss_bytes() - rss0
    moved = 0
    print("reference-count drift per watched object (count after warm-up -> at the end):")
    for o, b, a in zip(watched, before, after):
        if a != b:
            moved += 1
        if a != b or opts.all:
            print("  {:+6d}  {:<44.44} {:>6} -> {:<6}  ({})".format(a - b, repr(o), b, a, owners[id(o)]))
    print("drift: {} of {} watched objects moved (max |drift| {})".format(
        moved, len(watched), max(abs(a - b) for a, b in zip(after, before))))
    print("resident memory growth over {} rounds: {:+d} bytes ({:+.3f} MB), limit {} bytes".format(
        opts.rounds, growth, growth / 2 ** 20, opts.rss_limit))
    ok = moved == 0 and growth < opts.rss_limit
    print("soak:", "ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
