"""The decorated call and the switched-off call against the plain call, by instructions (callgrind),
for the interpreter that runs this script: `python bench/ratios.py` in any environment the extension is
installed in (./dev.sh versions builds one per CPython version)."""
import platform

import callgrind_counts
from bench_decorator import P1_SETUP

CASES = {"plain": "plain('day', 5)", "decorated": "api('day', 5)"}
OFF = P1_SETUP + "\nac.ArgumentChecker.ALLOW_ARG_CHECK = False\n"

if __name__ == "__main__":
    on = callgrind_counts.count(P1_SETUP, CASES)
    off = callgrind_counts.count(OFF, {"plain": CASES["plain"], "off": CASES["decorated"]})
    print("CPython %s: plain %.0f, decorated %.0f (%.2fx), checking off %.0f (%.2fx) instructions per call"
          % (platform.python_version(), on["plain"], on["decorated"], on["decorated"] / on["plain"],
             off["off"], off["off"] / off["plain"]))
