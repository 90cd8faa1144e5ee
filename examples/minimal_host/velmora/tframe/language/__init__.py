class text:  # every message key; {!r} shows a value (an empty string too), {} a text or a type
    ARGCHECKER_INVALID_PARAM_EXPECT_ERROR = "{}: '{}' must be an instance of {}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_ERROR = "{}: '{}' must be an existing path, got {!r}"
    ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR = "{}: '{}' must be empty, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR = "{}: '{}' must not be empty, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR = "{}: '{}' must be one of {}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_SUBSET_ERROR = "{}: '{}' got {!r}, which is not a subset of {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR = "{}: '{}' must be callable, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR = "{}: '{}' must be one of {}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR = "{}: '{}' must be > {!r}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_EQUAL_ERROR = "{}: '{}' must be >= {!r}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_LESS_ERROR = "{}: '{}' must be < {!r}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_LESS_EQUAL_ERROR = "{}: '{}' must be <= {!r}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR = "{}: '{}' must be one of {}, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR = "{}: '{}' must be 0, 1 or 2, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR = "{}: '{}' is not a valid date, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR2 = "{}: '{}' must be a date or a str, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_QUARTER_ERROR = "{}: '{}' must be a quarter like '2021q3', got {!r}"
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDINT_ERROR = "{}: '{}' must be a date YYYYMMDD, got {!r} of type {}"
    ARGCHECKER_INVALID_PARAM_FUTURE_DATE_ERROR = "date {!r} lies in the future"
    ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR = "begin {} is after end {}"
    ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR = "dates must lie between 1900-01-01 and now"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NDARRAY_ERROR = "{}: '{}' must be a numpy.ndarray, got {}"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR0 = "{}: '{}' must not be empty"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_DTYPE_ERROR = "{}: '{}' must have dtype {}, got {}"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NONE_ERROR = "{}: '{}' must not hold None"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NAN_ERROR = "{}: '{}' must not hold NaN"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR1 = "{}: '{}' holds an index below {!r}"
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR2 = "{}: '{}' holds an index at or above {!r}"
    ARGCHECKER_INVALID_PARAM_EXPECTSIGN_ERROR = "{}; expected {!r}"
    ARGCHECKER_INVALID_PARAM_EXPECTNARGS_ERROR = "{} takes at most {} extra arguments, got {} ({})"
    ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2 = "{}: expected a Python function, got {!r} of type {}"
    ERROR_FUNC_IS_NOT_FUNC = "not a Python function"
    ERROR_FUNC_ERROR_FUNC_NAME = "the function has another name"
    ERROR_FUNC_ERROR_ARG_COUNT = "the function takes another number of parameters"
    ERROR_FUNC_ERROR_ARG_NAME = "the function lacks a parameter of that name"


class Message(str):  # a formatted text that keeps its key and its format arguments (None: a finished text)
    key, args = None, None


class Text(Message):
    def format(self, *args):  # the module formats with positional arguments only
        out = Message(str.format(self, *args))
        out.key, out.args = self.key, args
        return out


for _key, _template in list(vars(text).items()):  # every entry a Text that knows its key
    if _key.isupper():
        setattr(text, _key, Text(_template))
        getattr(text, _key).key = _key
