_MAX_DEPTH = 1000


def unwrapper(func):
    """Return the innermost callable behind a chain of ``__wrapped__`` links."""
    f = func
    depth = 0
    while hasattr(f, "__wrapped__"):
        f = f.__wrapped__
        depth += 1
        if depth > _MAX_DEPTH:
            raise ValueError("wrapper loop while unwrapping {!r}".format(func))
    return f
