"""Leak soak: every path of the module, passing and failing (the table of kit/leak_paths.py), looped with
the reference counts of the objects handed in and the resident memory watched.

AC_PROFILE=short (the default) keeps the loops small enough for every run of the suite; AC_PROFILE=long
(`./dev.sh soak`) runs them long. bench/soak.py drives the same paths for a million rounds.
"""
import gc
import os
import sys

import pytest

from kit.leak_paths import every_path, run_path
from kit.tools import rss_bytes, run_python, uncaptured_userlog

PROFILE = os.environ.get("AC_PROFILE", "short")
# Rounds per path for the reference counts, and rounds of all paths for resident memory.
REF_ROUNDS, RSS_ROUNDS = {"short": (300, 400), "long": (20000, 20000)}[PROFILE]
UNDER_SANITIZER = bool(os.environ.get("AC_SANITIZE"))


@pytest.fixture
def paths(ac, tmp_path, monkeypatch):
    monkeypatch.setenv("VELMORA_USERLOG", str(tmp_path / "user.log"))
    yield every_path(ac, tmp_path)
    from velmora.tframe.comm import vmcmd
    from velmora.tframe.sysclsbase import vr
    vr.g_VelmoraCache.clear()
    vmcmd.reset()


def drift(path, rounds):
    """Reference count changes of the watched objects over `rounds` calls (after one warm-up call)."""
    run_path(path)
    gc.collect()
    before = [sys.getrefcount(o) for o in path.watched]
    for _ in range(rounds):
        run_path(path)
    gc.collect()
    after = [sys.getrefcount(o) for o in path.watched]
    return [(repr(o)[:40], b, a) for o, b, a in zip(path.watched, before, after) if a != b]


def test_every_path_behaves_as_expected(paths):
    # Guards the table itself: each path raises exactly what it names, so the loops below measure
    # the paths they claim to.
    assert len(paths) > 90
    for p in paths:
        run_path(p)


def test_no_reference_count_moves_on_any_path(paths):
    moved = {p.name: d for p in paths for d in [drift(p, REF_ROUNDS)] if d}
    assert moved == {}


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine keeps freed memory resident")
def test_resident_memory_stays_flat(paths):
    # Two windows: a leak grows in each, while a table of the interpreter or a library that doubles once
    # (the interned-string table does, on CPython 3.13 with the newest NumPy and pandas) grows in one.
    grown = []
    with uncaptured_userlog():
        for _ in range(max(50, RSS_ROUNDS // 4)):
            for p in paths:
                run_path(p)
        for _ in range(2):
            gc.collect()
            start = rss_bytes()
            for _ in range(RSS_ROUNDS):
                for p in paths:
                    run_path(p)
            gc.collect()
            grown.append(rss_bytes() - start)
    assert min(grown) < 1 << 20, grown


def test_importing_again_leaks_nothing():
    # Importing the module again after it left sys.modules hands out the same module object; the import
    # machinery resets that object's state pointer each time, so the old state block must be released.
    r = run_python("""
        import gc, importlib, sys, tracemalloc
        import velmora.tframe.utils.argchecker as first

        def again():
            del sys.modules["velmora.tframe.utils.argchecker"]
            assert importlib.import_module("velmora.tframe.utils.argchecker") is first

        for _ in range(5):
            again()
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for _ in range(200):
            again()
        gc.collect()
        grown = tracemalloc.take_snapshot().compare_to(before, "filename")
        tracemalloc.stop()
        print(sum(s.count_diff for s in grown))
    """)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 100  # one lost block per import would show as about 200
