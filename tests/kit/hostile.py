"""Hostile objects: values whose own methods raise, answer with the wrong type, or run Python code that
changes what the running call uses; a message table and a host cache that do the same.

`hostile(base, method, answer, *init)` makes every such value: an instance of the one subclass of `base`
whose `method` calls `answer(self, *args, **kwargs)`. There is one class per base and method, whatever
the answer, so a test can watch the reference counts of all of them (`hostile_classes()`).
"""
import types

from kit.tools import fresh
from velmora.tframe.sysclsbase import vr


class Boom(Exception):
    """Raised by a hostile object's own method."""


def boom(*args, **kwargs):
    raise Boom


def raiser(exc_type, *exc_args):
    """An answer that raises a new `exc_type(*exc_args)` at each call."""
    def answer(*args, **kwargs):
        raise exc_type(*exc_args)
    return answer


class Hostile:
    """An object whose comparisons, hash, truth and length all raise Boom."""
    __eq__ = __ne__ = __hash__ = __bool__ = __len__ = boom


class BadBool:
    """A result whose truth test raises: what a hostile comparison hands back."""

    def __bool__(self):
        raise Boom("__bool__ of a comparison result")


# What a hostile method may hand back instead of what its caller expects.
WRONG_RESULTS = [None, 5, -1, 2 ** 100, "s", b"b", 1.5, NotImplemented, BadBool(), [1], ("t",)]

_CLASSES = {}


def hostile_class(base, method):
    cls = _CLASSES.get((base, method))
    if cls is None:
        def impl(self, *args, **kwargs):
            return vars(self)["answer"](self, *args, **kwargs)
        ns = {method: impl}
        if method in ("__eq__", "__ne__"):
            ns["__hash__"] = base.__hash__ or object.__hash__
        cls = type("Hostile{}_{}".format(base.__name__.title(), method.strip("_")), (base,), ns)
        _CLASSES[base, method] = cls
    return cls


def hostile(base, method, answer, *init):
    """A `base` made from `init` whose `method` is `answer(self, *args, **kwargs)`; for a `type` base, a
    class (init: name, bases, namespace) whose metaclass method it is."""
    obj = hostile_class(base, method)(*init)
    obj.answer = answer
    return obj


def hostile_classes():
    return list(_CLASSES.values())


class Once:
    """A hook: runs its actions at the first call, answers `result` at every call (whatever the arguments,
    so it serves as a hostile value's answer too)."""

    made = []  # those with actions, to check that each one ran

    def __init__(self, result, *acts):
        self.result, self.acts = result, list(acts)
        if acts:
            Once.made.append(self)

    def __call__(self, *args, **kwargs):
        while self.acts:
            self.acts.pop(0)()
        return self.result


def acting(base, method, result, *acts, init=()):
    """A `base` made from `init` whose `method` runs `acts` at its first call and answers `result`."""
    return hostile(base, method, Once(result, *acts), *init)


class ActingText:
    """A message table whose every template's `format` runs `acts` once, then gives a message."""

    def __init__(self, *acts):
        self.hook = Once(fresh("message"), *acts)

    def __getattr__(self, key):
        if key.startswith("__"):
            raise AttributeError(key)
        return types.SimpleNamespace(format=self.hook)


_REAL = object()  # no answer of its own: the real cache answers


class HostileCache(vr.VelmoraCache):
    """The host's cache, whose lookups and stores call `hook()` first. Every lookup answers `got` when one
    is given (and stores keep nothing then); with `store_fails`, stores raise Boom."""

    def __init__(self, hook=lambda: None, got=_REAL, store_fails=False):
        super().__init__()
        self.hook, self.got, self.store_fails = hook, got, store_fails

    def get_cache(self, key, key_prefix=""):
        self.hook()
        return super().get_cache(key, key_prefix) if self.got is _REAL else self.got

    def set_cache(self, key, value, key_prefix=""):
        self.hook()
        if self.store_fails:
            raise Boom("set_cache")
        if self.got is _REAL:
            super().set_cache(key, value, key_prefix)
