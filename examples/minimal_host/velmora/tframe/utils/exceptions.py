# The format arguments of a key by name, "-" for one not exposed; any key not listed: func, arg, value.
FIELDS = {key: names.split() for names, keys in {
    "func arg - value": "EXPECT EXPECT_VALID EXPECT_ONEOF EXPECT_GREATER EXPECT_GREATER_EQUAL EXPECT_LESS "
                        "EXPECT_LESS_EQUAL EXPECT_FREQUENCY",
    "value": "FUTURE_DATE", "func - value": "EXPECTNARGS", "func value": "EXPECT_FUNCTYPE2",
    "": "EXPECTSIGN"}.items() for key in keys.split()}


class InvalidParamError(ValueError):  # raised with one argument, the finished message
    def __init__(self, message):
        super().__init__(message)
        self.key = getattr(message, "key", None)  # the message key, and what it was formatted with
        short = (self.key or "").replace("ARGCHECKER_INVALID_PARAM_", "").replace("_ERROR", "", 1)
        names = ["func", "arg"] if short.startswith("NDARRAYIDX") else FIELDS.get(short, ["func", "arg", "value"])
        fields = dict(zip(names, getattr(message, "args", None) or ()))
        self.func, self.arg, self.value = fields.get("func"), fields.get("arg"), fields.get("value")
