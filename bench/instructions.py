"""Instructions per call of a few statements, counted by callgrind: stable on a shared machine.

Each statement runs in a fresh interpreter under `valgrind --tool=callgrind` twice, N and 3N times;
the difference of the two totals divided by 2N, less the same figure for an empty loop body, is the
cost of one call, free of start-up and loop. Figures are printed as ratios to a reference statement
measured in the same run.
    python bench/instructions.py            # every case
    python bench/instructions.py decorated  # the cases whose label contains the word
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

N = int(os.environ.get("AC_INSTR_N", "2000"))

SETUP = """
import sys
from velmora.tframe.utils import argchecker as ac
def plain(freq, n):
    return n
api = ac.apply_rule(ac.verify_that("freq").is_instance_of(str).is_valid_frequency(),
                    ac.verify_that("n").is_greater_than(0))(plain)
gt = ac.verify_that("d").is_greater_than(0)
date = ac.verify_that("d").is_valid_date()
future = ac.verify_that("d").is_future_date()
quarter = ac.verify_that("d").is_valid_quarter()
"""

# (label, statement, label of the reference it is divided by)
CASES = [
    ("undecorated, positional", "plain('day', 5)", None),
    ("decorated, positional", "api('day', 5)", "undecorated, positional"),
    ("undecorated, keyword", "plain(freq='day', n=5)", None),
    ("decorated, keyword", "api(freq='day', n=5)", "undecorated, keyword"),
    ("is_greater_than verify", "gt.verify('f', 5)", None),
    ("is_valid_date verify", "date.verify('f', '2021-03-05')", "is_greater_than verify"),
    ("is_future_date verify", "future.verify('f', 20210305)", "is_greater_than verify"),
    ("is_valid_quarter verify", "quarter.verify('f', '2021q1')", "is_greater_than verify"),
]


def total_instructions(stmt, n):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = SETUP + "\nfor _ in range(%d):\n    %s\n" % (n, stmt)
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, "-c", code],
                       check=True, capture_output=True, cwd="/")
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("no totals in callgrind output")


def per_loop(stmt):
    return (total_instructions(stmt, 3 * N) - total_instructions(stmt, N)) / (2 * N)


def main(words):
    if not shutil.which("valgrind"):
        print("instructions: valgrind is not installed here; skipped")
        return
    cases = [c for c in CASES if not words or any(w in c[0] for w in words)]
    needed = {c[2] for c in cases if c[2]}
    cases = [c for c in CASES if c in cases or c[0] in needed]
    loop = per_loop("pass")
    counts = {label: per_loop(stmt) - loop for label, stmt, _ in cases}
    print("\nInstructions per call (callgrind, CPython %s)" % sys.version.split()[0])
    for label, _, ref in cases:
        ratio = "%.2fx %s" % (counts[label] / counts[ref], ref) if ref else ""
        print("  %-26s %8.0f  %s" % (label, counts[label], ratio))


if __name__ == "__main__":
    main(sys.argv[1:])
