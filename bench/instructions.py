"""Instructions per call of a few statements, counted by callgrind: stable on a shared machine.

One interpreter runs under `valgrind --tool=callgrind`; each statement runs N times in a loop of its
own, and callgrind dumps its counts at a marker call (os.getppid) between the loops, so each loop's
total is read on its own. An empty loop's figure is subtracted, so a figure is the cost of one call.
Ratios are to a reference statement measured in the same run.
    python bench/instructions.py            # every case
    python bench/instructions.py decorated  # the cases whose label contains one of the words
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

N = int(os.environ.get("AC_INSTR_N", "5000"))

SETUP = """
import os
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


def count(statements):
    """Instructions of N runs of each statement, in order."""
    code = SETUP + "".join("os.getppid()\nfor _ in range(%d):\n    %s\n" % (N, s) for s in statements)
    code += "os.getppid()\n"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", "--callgrind-out-file=" + out,
                        sys.executable, "-c", code], check=True, capture_output=True, cwd="/",
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        parts = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = []
        for p in parts:
            with open(p) as f:
                totals.append(next(int(m.group(1)) for m in map(re.compile(r"(?:summary|totals):\s+(\d+)").match, f) if m))
    # The first dump holds start-up; each later one a loop (and the marker call, a few hundred instructions).
    return totals[1:1 + len(statements)]


def main(words):
    if not shutil.which("valgrind"):
        print("instructions: valgrind is not installed here; skipped")
        return
    cases = [c for c in CASES if not words or any(w in c[0] for w in words)]
    needed = {c[2] for c in cases if c[2]}
    cases = [c for c in CASES if c in cases or c[0] in needed]
    totals = count(["pass"] + [stmt for _, stmt, _ in cases])
    loop = totals[0]
    counts = {label: (t - loop) / N for (label, _, _), t in zip(cases, totals[1:])}
    print("\nInstructions per call (callgrind, CPython %s, %d calls each)" % (sys.version.split()[0], N))
    for label, _, ref in cases:
        ratio = "%.2fx %s" % (counts[label] / counts[ref], ref) if ref else ""
        print("  %-26s %8.0f  %s" % (label, counts[label], ratio))


if __name__ == "__main__":
    main(sys.argv[1:])
