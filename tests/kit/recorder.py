"""A message table that lets tests see which message was raised and with what.

``RecordingText().KEY`` is a ``KeyedMessage``: the real template, tagged
with ``.key``.  Its ``format(*args)`` returns a ``Formatted`` string that
also carries ``.fmt_args``.  Nothing here keeps a module-level reference to
the arguments, so they are released together with the message.
"""
import numpy as np

from velmora.tframe import language

# Taken at import, before any test swaps ``language.text`` for a recorder.
_TEMPLATES = language.text


class KeyedMessage(str):
    def __new__(cls, template, key):
        self = super().__new__(cls, template)
        self.key = key
        return self

    def format(self, *args, **kwargs):
        return Formatted(str.format(self, *args, **kwargs), self.key, args)


class Formatted(str):
    def __new__(cls, value, key, fmt_args):
        self = super().__new__(cls, value)
        self.key = key
        self.fmt_args = fmt_args
        return self


class RecordingText:
    def __getattr__(self, key):
        if key.startswith("__"):
            raise AttributeError(key)
        return KeyedMessage(getattr(_TEMPLATES, key, key), key)


def _same(actual, expected):
    if actual is expected:
        return True
    if isinstance(expected, type) or isinstance(actual, type):
        return False
    if isinstance(expected, np.ndarray) or isinstance(actual, np.ndarray):
        return np.array_equal(actual, expected)
    return bool(actual == expected)


def assert_failure(excinfo_or_exception, key, *args):
    """Check that an exception carries message ``key`` formatted with ``args``.

    Arguments compare with ``==``, type objects by identity.
    Returns the message so callers can look further.
    """
    exc = getattr(excinfo_or_exception, "value", excinfo_or_exception)
    assert exc.args, "exception {!r} has no message".format(exc)
    msg = exc.args[0]
    assert getattr(msg, "key", None) == key, (
        "expected message {}, got {!r}".format(key, msg))
    actual = getattr(msg, "fmt_args", ())
    assert len(actual) == len(args), (
        "{}: expected {} format args {!r}, got {!r}".format(key, len(args), args, actual))
    for i, (a, e) in enumerate(zip(actual, args)):
        assert _same(a, e), "{}: format arg {} is {!r}, expected {!r}".format(key, i, a, e)
    return msg
