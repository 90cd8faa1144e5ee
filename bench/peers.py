"""The P1 call shape against its peers: beartype and pydantic's `validate_call` decorating the same
function, `plain(freq, n)` returning n, with the same checks (freq a str and one of
`ArgumentChecker.FREQUENCY`, n > 0), each written as its users write it. Instructions per call are
counted with callgrind (bench/callgrind_counts.py) in one child interpreter, every case side by side.

    python bench/peers.py [--peers FOLDER]

FOLDER holds the peers (the peers group of pyproject.toml installed with `pip install --target`); by default
.bench-peers/3.X of this clone, as `./dev.sh peers` fills it. It goes on the child's search path only.
"""
import argparse
import os
import platform
import sys

import callgrind_counts
from bench_decorator import P1_SETUP
from harness import table

SETUP = P1_SETUP + """
from typing import Annotated, Literal

FREQUENCY = ac.ArgumentChecker.FREQUENCY

from beartype import beartype
from beartype.vale import Is

@beartype
def bear(freq: Annotated[str, Is[lambda s: s in FREQUENCY]], n: Annotated[int, Is[lambda n: n > 0]]):
    return n

from pydantic import AfterValidator, PositiveInt, validate_call

def _frequency(s):
    if s not in FREQUENCY:
        raise ValueError("not a valid frequency: %r" % (s,))
    return s

@validate_call
def pyd(freq: Annotated[str, AfterValidator(_frequency)], n: PositiveInt):
    return n

@validate_call
def pyd_literal(freq: Literal[FREQUENCY], n: PositiveInt):
    return n
"""

# (label, statement); the first is the yardstick of every ratio, the second the one of the peers'.
CASES = [
    ("plain", "plain('day', 5)"),
    ("ours (apply_rule)", "api('day', 5)"),
    ("beartype (Annotated, Is[...])", "bear('day', 5)"),
    ("pydantic (AfterValidator, PositiveInt)", "pyd('day', 5)"),
    ("pydantic (Literal, PositiveInt)", "pyd_literal('day', 5)"),
]
CHECKED = ["api", "bear", "pyd", "pyd_literal"]


def default_peers():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.path.join(root, ".bench-peers", "%d.%d" % sys.version_info[:2])


def check_setup(peers):
    """Runs the set-up here once and makes sure every decorated function passes the good call and
    rejects a wrong frequency, a non-str and n = 0, so no row is counted for a check that is not made.
    Returns the peers' versions."""
    sys.path.insert(0, peers)
    ns = {}
    exec(SETUP, ns)
    for name in CHECKED:
        f = ns[name]
        assert f("day", 5) == 5, name
        for bad in (("daily", 5), (7, 5), ("day", 0)):
            try:
                f(*bad)
            except Exception:
                continue
            raise AssertionError("%s%r passed" % (name, bad))
    from importlib.metadata import version
    return ", ".join("%s %s" % (p, version(p)) for p in ("beartype", "pydantic", "pydantic_core"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--peers", default=default_peers(), help="the folder the peers are installed in")
    parser.add_argument("--number", type=int, default=2000, help="calls per case")
    args = parser.parse_args()
    if not os.path.isdir(args.peers):
        sys.exit("peers: %s not found: ./dev.sh peers installs the peers group there" % args.peers)
    if not callgrind_counts.available():
        sys.exit("peers: valgrind not found")
    versions = check_setup(args.peers)
    ir = callgrind_counts.count(SETUP, dict(CASES), number=args.number, path=args.peers)
    plain, ours = ir[CASES[0][0]], ir[CASES[1][0]]
    rows = []
    for i, (label, _) in enumerate(CASES):
        rows.append((label, "%.0f" % ir[label], "%.2f" % (ir[label] / plain),
                     "%.2f" % (ir[label] / ours) if i >= 1 else ""))
    table("CPython %s, %s: instructions per call (callgrind), pass path" % (platform.python_version(), versions),
          rows, header=("case", "instructions", "/ plain", "/ ours"))


if __name__ == "__main__":
    main()
