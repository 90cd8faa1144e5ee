"""Eight threads sharing checkers and decorated functions, and the collection of everything the module
makes (checkers, rules, decorators, decorated functions and what they keep between calls).

AC_PROFILE=short (default) makes a few thousand calls per thread; AC_PROFILE=long a hundred thousand.
"""
import datetime
import gc
import os
import sys
import threading
import weakref

import numpy as np
import pytest

from kit.stub import factories
from kit.tools import uncaptured_userlog

PROFILE = os.environ.get("AC_PROFILE", "short")
CALLS = {"short": 3000, "long": 100_000}[PROFILE]
THREADS = 8


def workload(ac):
    """(name, call) pairs whose outcomes do not depend on timing: checkers and decorated functions are
    shared by every thread."""
    A = ac.ArgumentChecker
    price = ac.verify_that("price").is_instance_of(int, float).is_greater_than(0).is_less_or_equal_than(10 ** 6)
    side = ac.verify_that("side").is_instance_of(str).is_valid_order_act()
    freq = ac.verify_that("freq").is_valid_frequency()
    when = ac.verify_that("when").is_valid_date()
    stop = ac.verify_that("stop").is_stop_type().is_in(["point", "percent"])
    kind = ac.verify_that("kind").is_valid_price_type()

    @ac.apply_rule(price, side, freq)
    def order(price, side="buy", freq="day", *rest, **kw):
        return (price, side, freq, rest, tuple(sorted(kw)))

    @ac.apply_rule(when, stop, kind)
    def stop_order(when, stop="point", kind="market"):
        return when

    idx = np.arange(10, dtype=np.int32)

    def cb(a, b):
        return a

    cases = []
    for v in (5, 0, 10 ** 7, 2.5, "5", None):
        cases.append(("price.verify({!r})".format(v), lambda v=v: price.verify("api", v)))
    for v in ("Buy", "SELL", "hold", 3):
        cases.append(("side.verify({!r})".format(v), lambda v=v: side.verify("api", v)))
    for v in ("day", "Day", 1):
        cases.append(("freq.verify({!r})".format(v), lambda v=v: freq.verify("api", v)))
    cases += [
        ("order ok", lambda: order(10, "sell", "min", 1, 2, k=3)),
        ("order bad price", lambda: order(-1)),
        ("order bad side", lambda: order(1, side="short")),
        ("order bad freq", lambda: order(1, freq="hour")),
        ("order unbindable", lambda: order()),
        ("stop_order ok", lambda: stop_order("2020-01-31", "Percent", "limitfok")),
        ("stop_order date", lambda: stop_order(datetime.date(2020, 1, 1), kind="5LevelIOC")),
        ("stop_order bad date", lambda: stop_order("2020-02-30")),
        ("stop_order bad stop", lambda: stop_order("2020-01-31", "pips")),
        ("stop_order bad kind", lambda: stop_order("2020-01-31", kind=None)),
        ("ndarray ok", lambda: A.check_ndarray_idx("api", "idx", (idx, 0, 10))),
        ("ndarray max", lambda: A.check_ndarray_idx("api", "idx", (idx, 0, 9))),
        ("callable", lambda: A.check_callable(cb, "cb", 2, ["a", "b"])),
        ("callable count", lambda: A.check_callable(cb, arg_count=1, raise_error=False)),
        ("algorithm args", lambda: A.is_algorithm_func_and_args("api", 1)),
        ("date range", lambda: A.check_begin_end_date(20200101, 20200301)),
        ("date range order", lambda: A.check_begin_end_date(20200301, 20200101)),
        ("convert", lambda: ac.convert_targets(["rb2105", "IF2106", "600000"])),
    ]
    return cases


def outcome(call):
    try:
        return ("ok", repr(call()))
    except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(e).__name__, str(e))


@pytest.fixture
def quiet_log(monkeypatch, tmp_path, target_cache):
    monkeypatch.setenv("VELMORA_USERLOG", str(tmp_path / "user.log"))
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, so calls interleave inside the module
    yield
    sys.setswitchinterval(saved)


def test_threads_sharing_checkers_get_the_results_of_one_thread(ac, quiet_log):
    cases = workload(ac)
    expected = [outcome(call) for _, call in cases]
    assert len({e[0] for e in expected}) >= 4  # passes and several kinds of failure
    start = threading.Barrier(THREADS)
    wrong, done, crashed = [], [0] * THREADS, []

    def worker(t):
        try:
            start.wait()
            for i in range(CALLS):
                k = (i * 7 + t) % len(cases)
                got = outcome(cases[k][1])
                if got != expected[k]:
                    wrong.append((t, cases[k][0], got, expected[k]))
                done[t] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            crashed.append((t, repr(e)))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert crashed == []
    assert len(wrong) == 0, wrong[:5]
    assert done == [CALLS] * THREADS


def test_rules_added_while_other_threads_verify(ac, quiet_log):
    # Appending rules is not guarded, but must never crash a thread that verifies meanwhile: each
    # verify sees some prefix of the list.
    checker = ac.verify_that("x").is_instance_of(int)
    stop = threading.Event()
    errors = []

    def verify():
        while not stop.is_set():
            try:
                checker.verify("api", 5)
            except ac.InvalidParamError:
                pass
            except BaseException as e:  # noqa: BLE001
                errors.append(repr(e))
                return

    threads = [threading.Thread(target=verify) for _ in range(THREADS - 1)]
    for th in threads:
        th.start()
    for i in range(min(CALLS, 5000)):
        checker.is_greater_than(-i) if i % 2 else checker.is_less_than(10 ** 6)
    stop.set()
    for th in threads:
        th.join()
    assert errors == []
    assert len(checker.rules) == 1 + min(CALLS, 5000)


def made_objects(ac):
    """One of everything the module makes, used once on both passing and failing paths; weak references
    to each."""
    checker = ac.verify_that("a")
    for factory, args in factories(ac):
        one = getattr(ac.verify_that("a"), factory)(*args)
        for v in (1, "x", None):
            try:
                one.verify("api", v)
            except Exception:  # noqa: BLE001 - the object is what matters here
                pass
        checker.rules.extend(one.rules)
    decorator = ac.apply_rule(checker)

    def api(a, b=2):
        return a

    wrapped = decorator(api)
    for args in ((1,), ("bad",), ()):
        try:
            wrapped(*args)
        except Exception:  # noqa: BLE001
            pass
    objs = [checker, decorator, wrapped, api] + list(checker.rules)
    refs = []
    for o in objs:
        try:
            refs.append(weakref.ref(o))
        except TypeError:  # bound methods take no weak references; their checker does
            pass
    return refs


def test_everything_the_module_makes_is_collected(ac, quiet_log):
    gc.collect()
    refs = made_objects(ac)
    assert len(refs) > 20
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == []
    assert gc.garbage == []


def test_no_growth_of_live_objects_over_many_builds(ac, quiet_log):
    with uncaptured_userlog():
        for _ in range(3):
            made_objects(ac)
        gc.collect()
        before = len(gc.get_objects())
        for _ in range(50 if PROFILE == "short" else 2000):
            made_objects(ac)
        gc.collect()
    assert len(gc.get_objects()) - before < 50
