"""Instructions per call, counted with callgrind: stable on a shared machine, where times are not.

One child interpreter runs under `valgrind --tool=callgrind`. It runs every case's statement `number`
times in a loop of its own, and after each loop calls `sys.getswitchinterval()`; callgrind is told to
write a profile each time the interpreter function behind it returns (`--dump-after`), so each profile
holds exactly one case's loop. The cost of an empty loop of the same length, counted the same way, is
taken off, which leaves the statement's own instructions.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = "_PyEval_GetSwitchInterval"  # what sys.getswitchinterval() calls, and nothing else does

CHILD = r'''
import sys
{setup}
_marker = sys.getswitchinterval
_cases = {cases!r}
_loops = []
for _label, _stmt in _cases:
    _src = "def _loop(_n):\n    for _ in range(_n):\n        " + _stmt + "\n"
    _ns = dict(globals())
    exec(_src, _ns)
    _ns["_loop"](3)                      # warm: attribute caches, first-use imports
    _loops.append(_ns["_loop"])
_marker()                                # everything before this point goes to the first profile
for _loop in _loops:
    _loop({number})
    _marker()
'''

EMPTY = "__empty_loop__"


def available():
    return shutil.which("valgrind") is not None


def count(setup, cases, number=2000, python=None, path=None):
    """cases: {label: statement}, run after `setup` (source text); `path`, a folder put in front of the
    child's module search path. Returns {label: instructions per call} with the empty loop's share taken
    off, or raises RuntimeError when callgrind fails."""
    items = [(EMPTY, "pass")] + list(cases.items())
    child = CHILD.format(setup=setup, cases=items, number=number)
    out_dir = tempfile.mkdtemp(prefix="ac-callgrind-")
    try:
        cmd = ["valgrind", "--tool=callgrind", "--dump-instr=no", "--collect-jumps=no",
               "--dump-after=" + MARKER, "--callgrind-out-file=" + os.path.join(out_dir, "cg.out"),
               python or sys.executable, "-c", child]
        # A fixed hash seed: string hashing, and with it dict layouts, is then the same in every run.
        env = dict(os.environ, PYTHONHASHSEED="0")
        if path:
            env["PYTHONPATH"] = os.pathsep.join(p for p in (path, env.get("PYTHONPATH")) if p)
        r = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if r.returncode != 0:
            raise RuntimeError("callgrind failed:\n" + r.stderr[-3000:])
        totals = []
        for path in sorted(glob.glob(os.path.join(out_dir, "cg.out.*")), key=lambda p: int(p.rsplit(".", 1)[1])):
            with open(path) as f:
                m = re.search(r"^(?:totals|summary):\s+(\d+)", f.read(), re.M)
            totals.append(int(m.group(1)) if m else 0)
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    # The first dump is start-up and set-up; then one per loop, in order; the final dump at exit is extra.
    per_loop = totals[1:1 + len(items)]
    if len(per_loop) != len(items):
        raise RuntimeError("callgrind wrote %d profiles, expected at least %d" % (len(totals), len(items) + 1))
    empty = per_loop[0] / number
    return {label: per_loop[i] / number - empty for i, (label, _) in enumerate(items) if label != EMPTY}
