def unwrapper(func):
    """Return the innermost callable behind a chain of ``__wrapped__`` links."""
    f = func
    seen = {id(f)}
    while hasattr(f, "__wrapped__"):
        f = f.__wrapped__
        if id(f) in seen:
            break
        seen.add(id(f))
    return f
