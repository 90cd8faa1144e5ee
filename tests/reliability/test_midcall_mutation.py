"""Python code run in the middle of a call (a value's dunder method, the message table's `format`, a host
hook) changes what that call is using: the checker's `rules` and `arg_name`, the container a rule holds,
a checker constant, a module global, a function's defaults.

Each row builds one such call from a Scene and names its outcome (an exception type, or None for a
result). The call must end with that Python-level outcome, leave no handled exception behind, and leak
nothing: the reference counts of the hostile objects' classes and of the function name handed in come
back. What a row swaps out is held only by what it mutates, so a call that kept using it would use freed
memory: a crash here, or a report in the sanitizer job. A new case is one more `@row` function.
"""
import sys
import types

import pytest

from kit.hostile import ActingText, HostileCache, Once, acting, hostile_classes
from kit.tools import assert_no_ref_drift, fresh
from velmora.tframe.comm import vmcmd
from velmora.tframe.sysclsbase import vr
from velmora.tframe.utils.exceptions import InvalidParamError as IPE

TOKEN = fresh("api_function")  # the function name handed to every check
ROUNDS = 30


class Scene:
    """One row's objects: a checker, a container (`held`), and actions that hooks run mid-call. Globals and
    host attributes are changed through the monkeypatch context `m`, which puts them back."""

    def __init__(self, ac, m):
        self.ac, self.m, self.held, self.fn = ac, m, [], None

    def words(self, *items):
        self.held = [fresh(w) for w in items]
        return self.held

    def checker(self, factory=None, *args):
        self.c = self.ac.verify_that(fresh("arg"))
        if factory:
            getattr(self.c, factory)(*args)
        return self.c

    def rebind(self):
        """New `rules` and `arg_name` for the checker (the old ones are freed); the container let go of."""
        self.c.rules = [fresh("r")]
        self.c.arg_name = fresh("renamed")
        self.held = []

    def empty(self):
        """`rebind`, and the container emptied first."""
        self.held.clear()
        self.rebind()

    # The actions change things directly, so that what they replace is freed at once; the context learns
    # beforehand what to put back.
    def set_global(self, name, value):
        self.m.setattr(self.ac, name, getattr(self.ac, name))
        return lambda: setattr(self.ac, name, value)

    def del_global(self, name):
        self.m.setattr(self.ac, name, getattr(self.ac, name))
        return lambda: delattr(self.ac, name)

    def constant(self, name, word):
        """The checker's own `name`: a list (only it holds) whose first item's `__eq__` rebinds the checker
        and deletes the list, which the class constant then stands for."""
        setattr(self.c, name, [acting(str, "__eq__", False, self.rebind, lambda: delattr(self.c, name), init=(word,)),
                               fresh("zz"), fresh("zy")])

    def verify(self, value):
        return lambda: self.c.verify(TOKEN, value)

    def with_defaults(self, fn, defaults):
        """`fn` given its `defaults`, which `drop_defaults` takes away again."""
        self.fn = fn
        self.m.setattr(fn, "__defaults__", defaults)

    def drop_defaults(self):
        self.fn.__defaults__ = None

    def cache(self, *acts):
        """The host's cache replaced by one whose first lookup or store runs `acts`."""
        cache = HostileCache(Once(None, *acts))
        self.m.setattr(vr, "g_VelmoraCache", cache)
        return cache


ROWS = []


def row(name, expected, *marks):
    """Adds the decorated scene builder as a row: it gets a Scene and returns the call to make."""
    def add(build):
        ROWS.append(pytest.param(build, expected, id=name, marks=marks))
        return build
    return add


# ---- membership

@row("is_in: value.__eq__ empties the captured list", IPE)
def _(s):
    s.checker("is_in", s.words("a", "b"))
    return s.verify(acting(object, "__eq__", False, s.empty))


@row("is_in: ignore_value.__bool__ empties the captured list", IPE)
def _(s):
    s.checker("is_in", s.words("a"), acting(object, "__bool__", True, s.empty))
    return s.verify(fresh("b"))


@row("_is_in: ignore_value.__bool__ empties valid_values", IPE)
def _(s):
    s.checker()
    return lambda: s.c._is_in(TOKEN, fresh("b"), s.words("a"), acting(object, "__bool__", False, s.empty))


@row("sub_set: an item's __hash__ empties the captured list", IPE)
def _(s):
    s.checker("sub_set", s.words("a"))
    return s.verify([acting(object, "__hash__", 7, s.empty)])


# ---- type and presence

@row("is_instance_of: __instancecheck__", IPE)
def _(s):
    s.checker("is_instance_of", acting(type, "__instancecheck__", False, s.rebind, init=("T", (), {})))
    return s.verify(fresh("x"))


@row("_is_instance_of: __instancecheck__ empties the list of types", IPE)
def _(s):
    s.checker()
    s.held.append(acting(type, "__instancecheck__", False, s.empty, init=("T", (), {})))
    return lambda: s.c._is_instance_of(s.held, TOKEN, fresh("x"))


@row("is_exist_path: os.path.exists deletes os", IPE)
def _(s):
    s.checker("is_exist_path")
    path = types.SimpleNamespace(exists=Once(False, s.rebind, s.del_global("os")))
    s.m.setattr(s.ac, "os", types.SimpleNamespace(path=path))
    return s.verify(fresh("/no/such/path"))


@row("is_empty_or_not: empty.__bool__", IPE)
def _(s):
    s.checker("is_empty_or_not", acting(object, "__bool__", True, s.rebind))
    return s.verify([1])


@row("is_empty_or_not: value.__len__ replaces InvalidParamError", KeyError)
def _(s):
    s.checker("is_empty_or_not", True)
    return s.verify(acting(object, "__len__", 2, s.rebind, s.set_global("InvalidParamError", KeyError)))


# ---- trading vocabularies, price type, order action

@row("is_stop_type: value.lower replaces the vocabulary", IPE)
def _(s):
    s.checker("is_stop_type").STOP_TYPE = s.words("point")
    return s.verify(acting(str, "lower", fresh("point"), s.rebind, lambda: setattr(s.c, "STOP_TYPE", [fresh("x")]),
                        init=("P",)))


@row("is_oder_ctg: a vocabulary item's __eq__ deletes it", IPE)
def _(s):
    s.checker("is_oder_ctg")
    s.constant("ORDER_CTG", "limit")
    return s.verify(fresh("stop"))


@row("is_valid_price_type: value.upper replaces the names", IPE)
def _(s):
    s.checker("is_valid_price_type").ALL_PRICE_TYPE = tuple(s.words("A", "B"))
    return s.verify(acting(object, "upper", fresh("A"), s.rebind,
                        lambda: setattr(s.c, "ALL_PRICE_TYPE", (fresh("Z"),))))


@row("is_valid_order_act: upper().__eq__ replaces text", IPE)
def _(s):
    s.checker("is_valid_order_act")
    return s.verify(acting(object, "upper", acting(str, "__eq__", False, s.rebind, s.set_global("text", ActingText()),
                                             init=("HOLD",))))


# ---- comparisons and frequencies

@row("is_greater_than: value.__le__ deletes text", NameError)
def _(s):
    s.checker("is_greater_than", 5)
    return s.verify(acting(object, "__le__", True, s.rebind, s.del_global("text")))


@row("_is_greater_or_equal_than: low.__gt__", IPE)
def _(s):
    s.checker()
    return lambda: s.c._is_greater_or_equal_than(acting(int, "__gt__", True, s.rebind, init=(5,)), TOKEN, 1)


@row("is_valid_frequency: a FREQUENCY item's __eq__ deletes it", IPE)
def _(s):
    s.checker("is_valid_frequency")
    s.constant("FREQUENCY", "day")
    return s.verify(fresh("1sec"))


@row("is_valid_frequency: an item's __eq__ rebinds the class's FREQUENCY and clears the type cache", IPE)
def _(s):
    s.checker("is_valid_frequency")
    cls = s.ac.ArgumentChecker
    s.m.setattr(cls, "FREQUENCY", cls.FREQUENCY)  # put back at the end
    rebind = lambda: setattr(cls, "FREQUENCY", (fresh("tick"),))  # noqa: E731
    cls.FREQUENCY = (acting(str, "__eq__", False, rebind, sys._clear_type_cache, init=("day",)), fresh("zz"))
    return s.verify(fresh("1sec"))


@row("is_valid_fq: value.__eq__", IPE)
def _(s):
    s.checker("is_valid_fq")
    return s.verify(acting(int, "__eq__", False, s.rebind, init=(1,)))


# ---- target lists and the host's hooks

@row("convert_targets: get_cache empties the codes and replaces the cache", None)
def _(s):
    codes = s.words("rb2105", "600000")
    s.cache(codes.clear, lambda: setattr(vr, "g_VelmoraCache", vr.VelmoraCache()))
    return lambda: s.ac.convert_targets(codes)


@row("set_target_to_cache: set_cache empties the converted list", IndexError)
def _(s):
    converted = s.words("x", "y")
    s.cache(converted.clear)
    return lambda: s.ac.set_target_to_cache(["a", "b"], converted)


@row("get_target_from_cache: get_cache empties the codes and replaces deepcopy", None)
def _(s):
    codes = s.words("a", "b")
    s.cache(codes.clear, lambda: s.m.setattr(sys.modules["copy"], "deepcopy", None))
    return lambda: s.ac.get_target_from_cache(codes)


@row("patch_target_list: the host command deletes the entry and rebinds the lookup", None)
def _(s):
    send = vmcmd.vmSendCmdConvertTargets
    params = {"target_list": s.words("rb2105", "600000")}
    rebind_lookup = s.set_global("get_target_from_cache", lambda codes: ([], [fresh("x")]))

    def command(request):
        del params["target_list"]
        rebind_lookup()
        vmcmd.vmSendCmdConvertTargets = None
        return send(request)
    s.m.setattr(vmcmd, "vmSendCmdConvertTargets", command)
    return lambda: s.ac.patch_target_list(params)


# ---- every family: the failing check's `text.<KEY>.format` rebinds the checker and replaces `text` and the
# error class; the message arguments and the class were read before it, and are used as read.

FAILING = {
    "is_instance_of": ((int,), "x"), "is_exist_path": ((), "/no/such/path"), "is_empty_or_not": ((), []),
    "is_in": ((["a"],), "b"), "sub_set": ((["a"],), ["b"]), "is_callable": ((), 5),
    "is_stop_type": ((), "none"), "is_stop_gap": ((), "none"), "is_trailing_type": ((), "none"),
    "is_oder_ctg": ((), "none"), "is_oder_act": ((), "none"),
    "is_greater_than": ((5,), 1), "is_greater_or_equal_than": ((5,), 1), "is_less_than": ((5,), 9),
    "is_less_or_equal_than": ((5,), 9), "is_valid_frequency": ((), "1sec"), "is_valid_fq": ((), 7),
    "is_valid_price_type": ((), "zz"), "is_valid_order_act": ((), "hold"),
}
for _factory, (_args, _value) in FAILING.items():
    @row(_factory + ": text.KEY.format rebinds all", IPE)
    def _(s, factory=_factory, args=_args, value=_value):
        s.checker(factory, *args)
        s.m.setattr(s.ac, "text", ActingText(s.rebind, s.set_global("text", ActingText()),
                                        s.set_global("InvalidParamError", KeyError)))
        return s.verify(value)


# ---- defaults, swapped out by the default itself while the call uses it: a function owns the defaults
# it fills in for the whole call.

HOSTILE = object()  # where the hostile default goes in a row's defaults


def placed(d, hostile):
    if type(d) in (list, tuple):
        return type(d)(placed(x, hostile) for x in d)
    return hostile if d is HOSTILE else d


def defaults_row(factory, args, method, result, defaults, base=object, init=()):
    """The factory's rule (or, for a worker method, that method) called with nothing but its defaults; the
    default made from `base` (HOSTILE in `defaults`) swaps the defaults out from its `method`."""
    def build(s):
        rule = factory in FAILING
        s.checker(factory if rule else None, *args)
        fn = s.c.rules[0] if rule else getattr(s.ac.ArgumentChecker, factory)
        s.with_defaults(fn, placed(defaults, acting(base, method, result, s.drop_defaults, init=init)))
        return (lambda: fn()) if rule else (lambda: fn(s.c))
    row(factory + ": a default swaps the defaults out", IPE)(build)


defaults_row("is_in", (["a"],), "__eq__", False, (TOKEN, HOSTILE))
defaults_row("sub_set", (["a"],), "__hash__", 1, (TOKEN, [HOSTILE]))
defaults_row("is_greater_than", (5,), "__le__", True, (TOKEN, HOSTILE))
defaults_row("is_stop_type", (), "lower", "x", (TOKEN, HOSTILE), base=str, init=("q",))
defaults_row("is_valid_price_type", (), "upper", "Q", (TOKEN, HOSTILE))
defaults_row("is_empty_or_not", (True,), "__len__", 3, (TOKEN, HOSTILE))
defaults_row("_is_in", (), "__eq__", False, (TOKEN, HOSTILE, ["a"], True))
defaults_row("_is_valid_fq", (), "__eq__", False, (TOKEN, HOSTILE), base=int, init=(7,))
defaults_row("_is_instance_of", (), "__instancecheck__", False, ((HOSTILE,), TOKEN, 1.5), base=type,
             init=("T", (), {}))


@row("set_target_to_cache: set_cache swaps the defaults out", None)
def _(s):
    fn = s.ac.set_target_to_cache
    s.with_defaults(fn, ([fresh("a"), fresh("b")], [fresh("x"), fresh("y")]))
    # New lists take the memory of the freed ones at once, so a list still read after it was freed gives
    # wrong codes.
    cache = s.cache(s.drop_defaults, lambda: s.held.extend([fresh("z")] * 2 for _ in range(50)))

    def call():
        fn()
        assert sorted(cache._data.items()) == [(("convert", "a"), "x"), (("convert", "b"), "y")]
    return call


def outcome(call):
    try:
        call()
    except Exception as e:  # SystemError included: no row expects it
        return type(e)
    assert sys.exc_info() == (None, None, None), "a handled exception was left behind"
    return None


@pytest.mark.parametrize("build, expected", ROWS)
def test_python_code_run_mid_call(ac, monkeypatch, build, expected):
    def one_round():
        namespace = list(vars(ac).items())
        with monkeypatch.context() as m:
            assert outcome(build(Scene(ac, m))) is expected
        if list(vars(ac)) != [name for name, _ in namespace]:  # a deleted global came back at the end
            vars(ac).clear()
            vars(ac).update(namespace)
        assert not any(hook.acts for hook in Once.made), "a hook of the row did not run"
        Once.made.clear()

    one_round()
    assert_no_ref_drift(one_round, [TOKEN, Once, ActingText, HostileCache, *hostile_classes()], rounds=ROUNDS)
