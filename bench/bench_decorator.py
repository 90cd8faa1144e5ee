"""P1, P2, P4 and P5: the decorated call, each cheap rule, import time and the switched-off call.

Each table's figures come from one run, measured side by side (interleaved rounds, medians).
"""
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

import callgrind_counts
from harness import measure, table
from py_baseline import PyChecker

from velmora.tframe.utils import argchecker as ac

QUICK = os.environ.get("AC_BENCH_QUICK") == "1"
ROUNDS = 7 if QUICK else 21


def plain(freq, n):
    return n


P1_SETUP = """
from velmora.tframe.utils import argchecker as ac
def plain(freq, n):
    return n
api = ac.apply_rule(ac.verify_that("freq").is_instance_of(str).is_valid_frequency(),
                    ac.verify_that("n").is_greater_than(0))(plain)
positive = ac.verify_that("n").is_greater_than(0)
"""
P1_VERIFY = "positive.verify('f', 5)"


def shipped_wheel():
    """The manylinux wheel for this interpreter that `./dev.sh wheel` or `./dev.sh wheels` left in dist/
    (AC_BENCH_WHEEL names another), or None."""
    if os.environ.get("AC_BENCH_WHEEL"):
        return os.environ["AC_BENCH_WHEEL"]
    tag = "cp%d%d" % sys.version_info[:2]
    dist = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "dist")
    found = sorted(glob.glob(os.path.join(dist, "velmora_argchecker-*-%s-*manylinux*_x86_64.whl" % tag)) +
                   glob.glob(os.path.join(dist, "manylinux", "velmora_argchecker-*-%s-*_x86_64.whl" % tag)),
                   key=os.path.getmtime)
    return found[-1] if found else None


def host_with_wheel(wheel, folder):
    """A copy of the installed host package in `folder` with the wheel's module in place of the build's:
    put in front of the search path, the same host runs the wheel's module."""
    import velmora
    host = os.path.dirname(velmora.__file__)
    shutil.copytree(host, os.path.join(folder, "velmora"), ignore=shutil.ignore_patterns("argchecker*.so"))
    with zipfile.ZipFile(wheel) as z:
        (so,) = [n for n in z.namelist() if n.endswith(".so")]
        with open(os.path.join(folder, so), "wb") as f:
            f.write(z.read(so))


def p1_instructions(cases):
    """The decorated call by instructions (callgrind), the stable figure on a shared machine; the same
    cases through the shipped wheel's module, when one is there, in the same run."""
    if os.environ.get("AC_BENCH_CALLGRIND", "1") == "0" or not callgrind_counts.available():
        print("\n(callgrind counts skipped: valgrind not found or AC_BENCH_CALLGRIND=0)")
        return
    number = 1000 if QUICK else 3000
    ir = callgrind_counts.count(P1_SETUP, cases, number=number)
    rows = []
    for kind in ("positional", "keyword"):
        plain_ir, api_ir = ir["undecorated, " + kind], ir["decorated, " + kind]
        rows.append(("undecorated, " + kind, "%.0f" % plain_ir, "1.00", ""))
        rows.append(("decorated, " + kind, "%.0f" % api_ir, "%.2f" % (api_ir / plain_ir), "<= 6.8"))
    table("P1 decorated call, two checkers, pass path: instructions per call (callgrind)", rows,
          header=("case", "instructions", "ratio", "target"))
    wheel = shipped_wheel()
    if wheel:
        pair = {"decorated, positional": cases["decorated, positional"], "verify, comparison": P1_VERIFY}
        with tempfile.TemporaryDirectory() as folder:
            host_with_wheel(wheel, folder)
            shipped = callgrind_counts.count(P1_SETUP, pair, number=number, path=folder)
        built = callgrind_counts.count(P1_SETUP, pair, number=number)
        table("P1 this build against the shipped wheel %s: instructions per call (callgrind)" % os.path.basename(wheel),
              [(label, "%.0f" % built[label], "%.0f" % shipped[label], "%+.1f%%" % (100 * (shipped[label] / built[label] - 1)),
                "<= +3%") for label in pair],
              header=("case", "this build", "wheel", "wheel / build", "target"))
    else:
        print("\n(no manylinux wheel for this interpreter in dist/: ./dev.sh wheel builds one to compare with)")


def p1_p5():
    api = ac.apply_rule(ac.verify_that("freq").is_instance_of(str).is_valid_frequency(),
                        ac.verify_that("n").is_greater_than(0))(plain)
    env = {"api": api, "plain": plain, "ac": ac, "InvalidParamError": ac.InvalidParamError}
    cases = {
        "undecorated, positional": "plain('day', 5)",
        "decorated, positional": "api('day', 5)",
        "undecorated, keyword": "plain(freq='day', n=5)",
        "decorated, keyword": "api(freq='day', n=5)",
    }
    p1_instructions(cases)
    r = measure(cases, env, rounds=ROUNDS)
    rows = [
        ("undecorated, positional", "%.0f" % r["undecorated, positional"], "1.00", ""),
        ("decorated, positional", "%.0f" % r["decorated, positional"],
         "%.2f" % (r["decorated, positional"] / r["undecorated, positional"]), "<= 8"),
        ("undecorated, keyword", "%.0f" % r["undecorated, keyword"], "1.00", ""),
        ("decorated, keyword", "%.0f" % r["decorated, keyword"],
         "%.2f" % (r["decorated, keyword"] / r["undecorated, keyword"]), "<= 8"),
    ]
    table("P1 decorated call, two checkers, pass path (stand-in unwrapper: a __wrapped__ loop)", rows)

    fail_stmt = ("try:\n    api('daily', 5)\nexcept InvalidParamError:\n    pass")
    r2 = measure({"pass": "api('day', 5)", "fail (logged)": fail_stmt}, env, rounds=max(5, ROUNDS // 3),
                 number=300)
    table("P1 fail path (logging to the stand-in user log included) against the pass path", [
        ("pass", "%.0f" % r2["pass"], "1.00", ""),
        ("fail, logged", "%.0f" % r2["fail (logged)"], "%.1f" % (r2["fail (logged)"] / r2["pass"]), ""),
    ])

    saved = ac.ArgumentChecker.ALLOW_ARG_CHECK
    ac.ArgumentChecker.ALLOW_ARG_CHECK = False
    try:
        r5 = measure({"undecorated": "plain('day', 5)", "decorated, checking off": "api('day', 5)"}, env,
                     rounds=ROUNDS)
    finally:
        ac.ArgumentChecker.ALLOW_ARG_CHECK = saved
    table("P5 ALLOW_ARG_CHECK off (stand-in unwrapper)", [
        ("undecorated", "%.0f" % r5["undecorated"], "1.00", ""),
        ("decorated, checking off", "%.0f" % r5["decorated, checking off"],
         "%.2f" % (r5["decorated, checking off"] / r5["undecorated"]), "<= 1.5"),
    ])


FAMILIES = [
    ("type", lambda c: c.is_instance_of(str), "'day'"),
    ("membership", lambda c: c.is_in(["buy", "sell"]), "'sell'"),
    ("vocabulary", lambda c: c.is_stop_type(), "'Percent'"),
    ("price type", lambda c: c.is_valid_price_type(), "'limitioc'"),
    ("comparison", lambda c: c.is_greater_than(0), "5"),
    ("frequency", lambda c: c.is_valid_frequency(), "'day'"),
    ("fq", lambda c: c.is_valid_fq(), "2"),
    ("emptiness", lambda c: c.is_empty_or_not(), "'x'"),
]


def p2():
    cases, env = {}, {}
    for name, build, value in FAMILIES:
        env["n_" + name.replace(" ", "_")] = build(ac.verify_that("x"))
        env["p_" + name.replace(" ", "_")] = build(PyChecker("x"))
        cases["native " + name] = "n_%s.verify('f', %s)" % (name.replace(" ", "_"), value)
        cases["python " + name] = "p_%s.verify('f', %s)" % (name.replace(" ", "_"), value)
    r = measure(cases, env, rounds=ROUNDS)
    rows = []
    for name, _, _ in FAMILIES:
        n, p = r["native " + name], r["python " + name]
        rows.append((name, "%.0f / %.0f" % (n, p), "%.2fx faster" % (p / n), ">= 2"))
    table("P2 verify, pass path: native against the pure-Python rendition in bench/py_baseline.py", rows,
          header=("family", "native / python ns", "speed-up", "target"))


def p4():
    code = ("import time, numpy, pandas\n"
            "t = time.perf_counter()\n"
            "import velmora.tframe.utils.argchecker\n"
            "print((time.perf_counter() - t) * 1e3)\n")
    code_host = code.replace("import time, numpy, pandas",
                             "import time, numpy, pandas, velmora.setting, velmora.tframe.language, "
                             "velmora.tframe.utils.exceptions, velmora.tframe.utils.datetimefunc, "
                             "velmora.tframe.utils.logger, velmora.tframe.utils.utilfunc")
    own, with_host = [], []
    for _ in range(5 if QUICK else 11):
        for c, out in ((code, with_host), (code_host, own)):
            r = subprocess.run([sys.executable, "-c", c], capture_output=True, text=True, check=True, cwd="/")
            out.append(float(r.stdout))
    table("P4 import time beyond NumPy and pandas (fresh interpreters, medians)", [
        ("the module alone (host modules already imported)", "%.2f ms" % statistics.median(own), "", "< 5 ms"),
        ("the module with the stand-in host's modules", "%.2f ms" % statistics.median(with_host), "", ""),
    ], header=("case", "median", "", "target"))


if __name__ == "__main__":
    print("argchecker benchmarks, CPython %s" % sys.version.split()[0])
    p1_p5()
    p2()
    p4()
