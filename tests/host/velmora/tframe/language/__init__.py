"""User-facing message texts.

``text.<KEY>`` is a message template filled with ``str.format`` using
positional ``{}`` placeholders (``{!r}`` where the value itself is shown, so
that an empty string or a blank is seen as one); ``MESSAGE_ARGS`` lists, for
every key, the arguments in the order they are passed (docs/host-contract.md
has the same table).  Keys with no arguments are finished texts used as they
are.
"""

MESSAGE_ARGS = {
    "ARGCHECKER_INVALID_PARAM_EXPECT_ERROR": ("func_name", "arg_name", "types", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_ERROR": ("func_name", "arg_name", "value"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR": ("func_name", "arg_name", "valid_values", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_SUBSET_ERROR": ("func_name", "arg_name", "value", "valid_values"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR": ("func_name", "arg_name", "choices", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR": ("func_name", "arg_name", "bound", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_EQUAL_ERROR": ("func_name", "arg_name", "bound", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_LESS_ERROR": ("func_name", "arg_name", "bound", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_LESS_EQUAL_ERROR": ("func_name", "arg_name", "bound", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR": ("func_name", "arg_name", "frequencies", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR2": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_QUARTER_ERROR": ("func_name", "arg_name", "value"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_VALIDINT_ERROR": ("func_name", "arg_name", "value", "value_type"),
    "ARGCHECKER_INVALID_PARAM_FUTURE_DATE_ERROR": ("value",),
    "ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR": ("begin", "end"),
    "ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR": (),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NDARRAY_ERROR": ("func_name", "param_name", "value_type"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR0": ("func_name", "param_name"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_DTYPE_ERROR": ("func_name", "param_name", "required_dtype", "actual_dtype"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NONE_ERROR": ("func_name", "param_name"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NAN_ERROR": ("func_name", "param_name"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR1": ("func_name", "param_name", "minvalue"),
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR2": ("func_name", "param_name", "maxvalue"),
    "ARGCHECKER_INVALID_PARAM_EXPECTSIGN_ERROR": ("reason", "signature"),
    "ARGCHECKER_INVALID_PARAM_EXPECTNARGS_ERROR": ("func_name", "max_count", "args", "args_type"),
    "ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2": ("func_name", "value", "value_type"),
    "ERROR_FUNC_IS_NOT_FUNC": (),
    "ERROR_FUNC_ERROR_FUNC_NAME": (),
    "ERROR_FUNC_ERROR_ARG_COUNT": (),
    "ERROR_FUNC_ERROR_ARG_NAME": (),
}

MESSAGE_KEYS = tuple(MESSAGE_ARGS)


class _Messages:
    KEYS = MESSAGE_KEYS

    ARGCHECKER_INVALID_PARAM_EXPECT_ERROR = (
        "{}: parameter '{}' expects {}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_ERROR = (
        "{}: parameter '{}': path {!r} does not exist")
    ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR = (
        "{}: parameter '{}' must be empty, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR = (
        "{}: parameter '{}' must not be empty, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR = (
        "{}: parameter '{}' must be one of {}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_SUBSET_ERROR = (
        "{}: parameter '{}' got {!r}, which is not a subset of {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR = (
        "{}: parameter '{}' must be callable, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR = (
        "{}: parameter '{}' must be one of {}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR = (
        "{}: parameter '{}' must be greater than {!r}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_EQUAL_ERROR = (
        "{}: parameter '{}' must be greater than or equal to {!r}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_LESS_ERROR = (
        "{}: parameter '{}' must be less than {!r}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_LESS_EQUAL_ERROR = (
        "{}: parameter '{}' must be less than or equal to {!r}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR = (
        "{}: parameter '{}' must be a frequency in {}, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR = (
        "{}: parameter '{}' must be 0, 1 or 2, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR = (
        "{}: parameter '{}' is not a valid date string, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDDATE_ERROR2 = (
        "{}: parameter '{}' must be a date or a date string, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_QUARTER_ERROR = (
        "{}: parameter '{}' is not a valid quarter, got {!r}")
    ARGCHECKER_INVALID_PARAM_EXPECT_VALIDINT_ERROR = (
        "{}: parameter '{}' must be an int or str date in the form YYYYMMDD, got {!r} of type {}")
    ARGCHECKER_INVALID_PARAM_FUTURE_DATE_ERROR = (
        "date {!r} lies in the future")
    ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR = (
        "invalid date range: begin date {} is after end date {}")
    ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR = (
        "dates must lie after 1900-01-01 and must not be in the future")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NDARRAY_ERROR = (
        "{}: parameter '{}' must be a numpy.ndarray, got {}")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR0 = (
        "{}: parameter '{}' must not be an empty array")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_DTYPE_ERROR = (
        "{}: parameter '{}' must have dtype {}, got dtype {}")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NONE_ERROR = (
        "{}: parameter '{}' must not contain None")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NAN_ERROR = (
        "{}: parameter '{}' must not contain NaN")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR1 = (
        "{}: parameter '{}' holds an index below the lower bound {!r}")
    ARGCHECKER_INVALID_PARAM_NDARRAYIDX_ERROR2 = (
        "{}: parameter '{}' holds an index at or above the upper bound {!r}")
    ARGCHECKER_INVALID_PARAM_EXPECTSIGN_ERROR = (
        "invalid function signature: {}; expected {!r}")
    ARGCHECKER_INVALID_PARAM_EXPECTNARGS_ERROR = (
        "{} takes at most {} positional arguments, got {} of type {}")
    ARGCHECKER_INVALID_PARAM_EXPECT_FUNCTYPE_ERROR2 = (
        "{}: expected a Python function, got {!r} of type {}")
    ERROR_FUNC_IS_NOT_FUNC = "the object is not a Python function"
    ERROR_FUNC_ERROR_FUNC_NAME = "the function has an unexpected name"
    ERROR_FUNC_ERROR_ARG_COUNT = "the function takes the wrong number of arguments"
    ERROR_FUNC_ERROR_ARG_NAME = "the function's argument names are not the expected ones"


text = _Messages()
