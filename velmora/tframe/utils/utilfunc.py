_MAX_DEPTH = 1000


def unwrapper(func):
    """Return the innermost callable behind a chain of ``__wrapped__`` links."""
    f = func
    for _ in range(_MAX_DEPTH):
        if not hasattr(f, "__wrapped__"):
            return f
        f = f.__wrapped__
    raise ValueError("wrapper loop while unwrapping {!r}".format(func))
