class InvalidParamError(ValueError):
    """A public API function was called with an unacceptable argument."""
