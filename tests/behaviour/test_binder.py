"""The decorator's argument binding gives exactly what inspect.getcallargs gives."""
import functools
import inspect

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

NAMES = ["a", "b", "c", "d", "e"]


class Recorder:
    def __init__(self, arg_name, seen):
        self.arg_name, self.seen = arg_name, seen

    def verify(self, func_name, value):
        self.seen[self.arg_name] = value


@st.composite
def signatures(draw):
    names = draw(st.permutations(NAMES))
    n_pos = draw(st.integers(0, 3))
    n_posonly = draw(st.integers(0, n_pos))
    n_kwonly = draw(st.integers(0, 5 - n_pos))
    pos, kwonly = names[:n_pos], names[n_pos:n_pos + n_kwonly]
    n_def = draw(st.integers(0, n_pos))
    kw_def = [k for k in kwonly if draw(st.booleans())]
    varargs = draw(st.sampled_from([None, "args"]))
    varkw = draw(st.sampled_from([None, "kw"]))
    parts = []
    for i, p in enumerate(pos):
        parts.append(p + ("=%d" % (100 + i) if i >= n_pos - n_def else ""))
        if i == n_posonly - 1:
            parts.append("/")
    if varargs:
        parts.append("*" + varargs)
    elif kwonly:
        parts.append("*")
    parts += [k + ("=%r" % ("d" + k) if k in kw_def else "") for k in kwonly]
    if varkw:
        parts.append("**" + varkw)
    src = "def f(%s):\n    return 0\n" % ", ".join(parts)
    ns = {}
    exec(src, ns)
    f = ns["f"]
    params = pos + ([varargs] if varargs else []) + kwonly + ([varkw] if varkw else [])
    return src, f, params


calls = st.tuples(st.lists(st.integers(0, 9), max_size=5),
                  st.dictionaries(st.sampled_from(NAMES + ["args", "kw", "zz"]), st.integers(10, 19),
                                  max_size=4))


def expected(f, args, kwargs):
    try:
        return "ok", inspect.getcallargs(f, *args, **kwargs)
    except Exception as e:
        return "err", (type(e), str(e))


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(signatures(), calls)
def test_native_binding_matches_getcallargs(ac, sig, call):
    src, f, params = sig
    args, kwargs = call
    seen = {}
    api = ac.apply_rule(*[Recorder(p, seen) for p in params])(f)
    kind, want = expected(f, args, kwargs)
    try:
        api(*args, **kwargs)
    except TypeError as e:
        if kind == "ok":
            # getcallargs binds what the interpreter refuses (positional-only by keyword):
            # the rules saw the binding, then the function's own call failed.
            assert seen == want, src
        else:
            assert (type(e), str(e)) == want, src
    else:
        assert kind == "ok" and seen == want, src


def test_defaults_are_read_at_each_call(ac):
    seen = {}

    def f(a, b=1, *, c=2):
        pass
    api = ac.apply_rule(Recorder("b", seen), Recorder("c", seen))(f)
    api(0)
    f.__defaults__, f.__kwdefaults__ = (5,), {"c": 6}
    api(0)
    assert seen == {"b": 5, "c": 6}


class S(str):
    """A parameter name that is not an exact str: looked up in the mapping, not by the fast route."""


@pytest.mark.parametrize("attr, changed", [
    ("__defaults__", (-1,)), ("__defaults__", None), ("__kwdefaults__", {"c": -1}), ("__kwdefaults__", None)])
@pytest.mark.parametrize("key", ["b", S("b"), "c", S("c")])
def test_one_binding_before_any_checker_runs(ac, attr, changed, key):
    # A first checker changes the function's defaults; the second still sees the binding of the call.
    seen = {}

    def f(a, b=1, *, c=1):
        return "called"

    def change(func_name, value):
        setattr(f, attr, changed)
    first = ac.verify_that("a")
    first.rules.append(change)
    api = ac.apply_rule(first, Recorder(key, seen), ac.verify_that(key).is_greater_than(0))(f)
    try:
        api(5)
    except TypeError:  # f itself, called after the checks, misses the default that was taken away
        assert changed is None
    assert seen == {key: 1}


def test_code_object_change_is_noticed(ac):
    seen = {}

    def f(a, b):
        pass
    api = ac.apply_rule(Recorder("b", seen))(f)
    api(1, 2)
    f.__code__ = (lambda x, b=3: 0).__code__
    f.__defaults__ = (3,)
    api(1)
    assert seen == {"b": 3}


@pytest.mark.parametrize("make", [
    lambda: functools.partial(lambda a, b: 0, 1),
    lambda: type("K", (), {"__call__": lambda self, b: 0})(),
    lambda: type("K", (), {"m": lambda self, b: 0})().m,
])
def test_other_callables_go_to_getcallargs(ac, make, monkeypatch):
    seen = {}
    target = make()
    real = inspect.getcallargs
    monkeypatch.setattr(ac, "unwrapper", lambda f: target)
    try:
        want = ("ok", real(target, 2))
    except Exception as e:
        want = ("err", type(e))
    api = ac.apply_rule(Recorder("b", seen))(lambda *a: 0)
    try:
        api(2)
        got = ("ok", seen)
    except Exception as e:
        got = ("err", type(e))
    assert got[0] == want[0]


def test_signature_attribute_and_replaced_getcallargs_are_honoured(ac, monkeypatch):
    seen = {}

    def f(a):
        pass
    f.__signature__ = inspect.Signature([inspect.Parameter("b", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    api = ac.apply_rule(Recorder("b", seen))(f)
    api(7)
    assert seen == {"b": 7}

    calls = []
    monkeypatch.setattr(inspect, "getcallargs", lambda *a, **k: calls.append(a) or {"b": "fake"})
    api(8)
    assert seen == {"b": "fake"} and len(calls) == 1


class _Tuple(tuple):
    def __getitem__(self, i):
        return -1


class _Dict(dict):
    def get(self, key, default=None):
        raise KeyError("read through get")

    def __getitem__(self, key):
        return -1


def _with(**attrs):
    def f(a, b=2, *, c=3):
        return 0
    for name, value in attrs.items():
        setattr(f, name, value)
    return f


def _renamed(*names):
    f = _with()
    f.__code__ = f.__code__.replace(co_varnames=names)
    return f


# Functions whose binding getcallargs reads from more than the code object and the plain fields: each
# call is bound as getcallargs binds it (or fails as it fails).
@pytest.mark.parametrize("make, args, kwargs", [
    (lambda: _with(__text_signature__="(b, a)"), (1,), {"a": 5}),
    (lambda: _with(_partialmethod=functools.partialmethod(lambda a, b: 0, 9)), (1,), {}),
    (lambda: _with(__partialmethod__=functools.partialmethod(lambda a, b: 0, 9)), (1,), {}),
    (lambda: _with(__defaults__=_Tuple((7,))), (1,), {}),
    (lambda: _with(__kwdefaults__=_Dict(c=7)), (1,), {}),
    (lambda: _with(__annotations__=_Dict(a=int)), (1,), {}),
    (lambda: _renamed(".0", "b", "c"), (1,), {}),
    (lambda: _renamed("a b", "b", "c"), (1,), {}),
    (lambda: _renamed("if", "b", "c"), (1,), {}),
    (lambda: _renamed("a", "a", "c"), (1, 4), {}),
], ids=["text_signature", "_partialmethod", "__partialmethod__", "defaults_subclass", "kwdefaults_subclass",
        "annotations_subclass", "implicit_name", "non_identifier", "keyword", "repeated_name"])
def test_what_getcallargs_reads_besides_the_code(ac, make, args, kwargs):
    f = make()
    seen = {}
    kind, want = expected(f, args, kwargs)
    names = list(want) if kind == "ok" else ["a"]
    api = ac.apply_rule(*[Recorder(n, seen) for n in names])(f)
    for _ in range(2):  # the second call meets whatever the first one kept
        seen.clear()
        try:
            api(*args, **kwargs)
            got = ("ok", seen)
        except Exception as e:
            # getcallargs bound it and the function's own call failed after the checks; or it did not bind
            got = ("ok", seen) if kind == "ok" and seen else ("err", (type(e), str(e)))
        assert got == (kind, want)
