"""Small tools shared by the test files."""
import contextlib
import gc
import logging
import os
import subprocess
import sys
import textwrap
import traceback

import pytest


def rss_bytes():
    """The resident memory of this process, as Linux reports it; elsewhere the calling test is skipped."""
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("resident memory is read from /proc/self/statm, which only Linux has")
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def assert_no_ref_drift(fn, watched, rounds=2000):
    """Calls fn() `rounds` times and checks the reference counts of `watched` did not move."""
    fn()
    gc.collect()
    before = refcounts(watched)
    for _ in range(rounds):
        fn()
    gc.collect()
    after = refcounts(watched)
    assert after == before, list(zip(before, after))


def run_python(code, env=None, cwd=None):
    """Runs `code` in a fresh interpreter of the one running the tests."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, cwd=cwd or "/", timeout=120)


@contextlib.contextmanager
def uncaptured_userlog():
    """The user log without pytest's log capture, while a test counts live objects or resident memory.
    From pytest 9 on the capture is attached to loggers that do not propagate too (at the start of each
    phase of a test, so this is entered inside the test) and keeps every record: objects the module did
    not make, which the count would see as the module's."""
    userlog = logging.getLogger("velmora.userlog")
    capture = [h for h in userlog.handlers if type(h).__module__.startswith("_pytest")]
    for h in capture:
        userlog.removeHandler(h)
    try:
        yield
    finally:
        for h in capture:
            userlog.addHandler(h)


def fresh(s):
    """A new str object equal to `s`, never the interned constant (empty and one-character strings are
    shared all the same)."""
    return "".join(list(s))


def big(n):
    """A new int object; small ints are shared singletons whose counts anything may move."""
    assert not -5 <= n <= 256, n
    return int(str(n))


def report_line(config, text):
    """Writes `text` as a line of its own in pytest's report, past the output capture."""
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    capture = config.pluginmanager.get_plugin("capturemanager")
    if reporter is not None and capture is not None:
        with capture.global_and_fixture_disabled():
            reporter.write_line(text)
