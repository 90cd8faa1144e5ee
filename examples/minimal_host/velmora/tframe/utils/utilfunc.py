import inspect


def unwrapper(func):  # the innermost function behind functools.wraps wrappers
    return inspect.unwrap(func)
