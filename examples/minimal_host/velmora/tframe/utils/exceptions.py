class InvalidParamError(ValueError):  # raised with one argument, the finished message
    pass
