"""apply_rule: binding, checking, logging and passing errors through."""
import functools
import subprocess
import sys

import pytest

from kit.raise_sites import SITES, tb_names


class Spy:
    """A checker stand-in that records its calls and fails on a chosen value."""

    def __init__(self, ac, arg_name, bad=None, log=None):
        self.ac, self.arg_name, self.bad = ac, arg_name, bad
        self.calls = log if log is not None else []

    def verify(self, func_name, value):
        self.calls.append((self.arg_name, func_name, value))
        if value == self.bad:
            raise self.ac.InvalidParamError("bad " + self.arg_name)


@pytest.fixture
def switch(ac):
    saved = ac.ArgumentChecker.ALLOW_ARG_CHECK
    yield ac.ArgumentChecker
    ac.ArgumentChecker.ALLOW_ARG_CHECK = saved


def test_pass_path_returns_the_result_and_logs_nothing(ac, userlog):
    log = []

    @ac.apply_rule(Spy(ac, "a", log=log), Spy(ac, "b", log=log))
    def api(a, b=5, *rest, **kw):
        return (a, b, rest, kw)

    assert api(1) == (1, 5, (), {})
    assert api(1, 2, 3, k=4) == (1, 2, (3,), {"k": 4})
    assert log == [("a", "api", 1), ("b", "api", 5), ("a", "api", 1), ("b", "api", 2)]
    assert list(userlog) == []


def test_failure_is_logged_once_and_the_same_object_reraised(ac, userlog):
    log = []
    called = []
    a, b = Spy(ac, "a", bad=0, log=log), Spy(ac, "b", log=log)

    @ac.apply_rule(a, b)
    def api(a, b):
        called.append(1)

    def caller():
        api(0, 1)
    with pytest.raises(ac.InvalidParamError) as ei:
        caller()
    assert log == [("a", "api", 0)] and called == []
    assert len(userlog) == 1
    level, text = userlog[0]
    assert level == "error"
    # Two stack entries above the caller of `api`, then the formatted exception.
    assert "in test_failure_is_logged_once_and_the_same_object_reraised" in text
    assert "in caller" not in text.split("Traceback")[0]
    assert text.rstrip().endswith("InvalidParamError: bad a")
    assert tb_names(ei.value)[:2] == [SITES["wrapper.raise"], SITES["wrapper.check"]]


def test_invalid_param_error_from_the_function_is_logged_checking_on_or_off(ac, userlog, switch):
    @ac.apply_rule()
    def api():
        raise ac.InvalidParamError("inner")
    for on in (True, False):
        switch.ALLOW_ARG_CHECK = on
        with pytest.raises(ac.InvalidParamError):
            api()
    assert [lvl for lvl, _ in userlog] == ["error", "error"]


@pytest.mark.parametrize("make_call, exc", [
    (lambda api: api(1, 2, 3), TypeError),          # does not bind
    (lambda api: api(), TypeError),
    (lambda api: api(-1), ValueError),              # the function's own error
])
def test_other_errors_pass_through_unlogged(ac, userlog, make_call, exc):
    @ac.apply_rule(Spy(ac, "a"))
    def api(a):
        if a == -1:
            raise ValueError("own")
    with pytest.raises(exc):
        make_call(api)
    assert list(userlog) == []


def test_checker_naming_no_parameter_raises_key_error(ac, userlog):
    @ac.apply_rule(Spy(ac, "missing"))
    def api(a):
        pass
    with pytest.raises(KeyError):
        api(1)
    assert list(userlog) == []


def test_switch_is_read_at_every_call(ac, switch, monkeypatch):
    bound = []
    real = ac.inspect.getcallargs
    monkeypatch.setattr(ac, "unwrapper", lambda f: bound.append("unwrap") or f)
    fake_inspect = type(sys)("fake_inspect")
    fake_inspect.getcallargs = lambda *a, **k: bound.append("bind") or real(*a, **k)
    monkeypatch.setattr(ac, "inspect", fake_inspect)

    @ac.apply_rule(Spy(ac, "a", bad=0))
    def api(a):
        return a

    switch.ALLOW_ARG_CHECK = 0
    assert api(0) == 0 and bound == []
    switch.ALLOW_ARG_CHECK = True
    with pytest.raises(ac.InvalidParamError):
        api(0)
    assert bound == ["unwrap", "bind"]


def test_binding_goes_through_the_unwrapped_function(ac):
    log = []

    def inner(a, b=7):
        return a + b

    @functools.wraps(inner)
    def outer(*args, **kwargs):
        return inner(*args, **kwargs)

    api = ac.apply_rule(Spy(ac, "b", log=log))(outer)
    assert api(1) == 8 and log == [("b", "inner", 7)]


def test_apply_rule_without_checkers_still_binds(ac):
    api = ac.apply_rule()(lambda a: a)
    assert api(3) == 3
    with pytest.raises(TypeError):
        api(1, 2)


def test_wraps_carries_the_function_s_identity(ac):
    def api(a):
        "api doc"
    api.extra = "x"
    wrapped = ac.apply_rule()(api)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__) == (
        api.__name__, api.__qualname__, "api doc", __name__)
    assert wrapped.__wrapped__ is api and wrapped.extra == "x"
    assert type(wrapped).__name__ == "function"


def test_wraps_is_looked_up_at_decoration(ac, monkeypatch):
    seen = []
    monkeypatch.setattr(ac, "wraps", lambda f: (lambda w: seen.append((f, w)) or "replaced"))
    assert ac.apply_rule()(len) == "replaced"
    assert seen[0][0] is len and seen[0][1].__name__ == "api_rule_check_wrapper"
    assert seen[0][1].__qualname__ == "apply_rule.<locals>.decorator.<locals>.api_rule_check_wrapper"


def test_decorates_methods(ac):
    class Api:
        @ac.apply_rule(Spy(ac, "x", bad=0))
        def m(self, x):
            return (self, x)
    o = Api()
    assert o.m(1) == (o, 1)
    with pytest.raises(ac.InvalidParamError):
        o.m(x=0)


def test_error_in_the_handler_replaces_the_failure(ac, monkeypatch):
    def broken_log(*a, **k):
        raise OSError("disk full")
    monkeypatch.setattr(ac, "write_userlog", broken_log)
    api = ac.apply_rule(Spy(ac, "a", bad=0))(lambda a: a)
    with pytest.raises(OSError) as ei:
        api(0)
    assert isinstance(ei.value.__context__, ac.InvalidParamError)
    assert SITES["wrapper.log"] in tb_names(ei.value)


def test_keywords_must_be_strings(ac):
    api = ac.apply_rule()(lambda **kw: kw)
    with pytest.raises(TypeError, match=r"keywords must be strings"):
        api(**{1: 2})


def test_top_level_call_of_a_script_logs_and_raises_the_argument_error(tmp_path):
    script = tmp_path / "script.py"
    script.write_text(
        "from velmora.tframe.utils import argchecker as ac, logger\n"
        "api = ac.apply_rule(ac.verify_that('a').is_instance_of(int))(lambda a: a)\n"
        "try:\n"
        "    api('x')\n"
        "except ac.InvalidParamError as e:\n"
        "    print('raised', type(e).__name__)\n"
        "(level, text), = logger.RECENT\n"
        "print(level, text.count('File '), 'api(' in text)\n")
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd="/")
    out = r.stdout.split()
    assert out[:2] == ["raised", "InvalidParamError"], r.stderr
    # One stack entry (the script's own line) and the exception's traceback.
    assert out[2] == "error" and out[4] == "True"
