"""A small pure-Python rendition of the checker and its cheap rules, doing the same lookups the
native module does (the closure looks the worker method up on the checker, the vocabulary is read
through the checker, and so on). The baseline the native rules are measured against."""
from velmora.tframe.language import text
from velmora.tframe.utils.exceptions import InvalidParamError


class PyChecker:
    FREQUENCY = ("day", "min", "sec", "tick", "week", "month", "year")
    STOP_TYPE = ("point", "percent")
    ALL_PRICE_TYPE = tuple(s.upper() for s in ("Market", "Limit", "MarketIOC", "MarketRestTolimit",
                                               "MarketFOK", "LimitFOK", "LimitIOC", "5LevelIOC",
                                               "5LevelFOK", "5LevelROD"))

    def __init__(self, arg_name):
        self.arg_name = arg_name
        self.rules = []

    def verify(self, func_name, value):
        for r in self.rules:
            r(func_name, value)

    def _is_instance_of(self, types_, func_name, value):
        if not isinstance(value, types_ if type(types_) is tuple else tuple(types_)):
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_ERROR.format(
                func_name, self.arg_name, types_, value, type(value)))
        return self

    def is_instance_of(self, *types_):
        def _is_instance_of(func_name, value):
            return self._is_instance_of(types_, func_name, value)
        self.rules.append(_is_instance_of)
        return self

    def _is_in(self, func_name, value, valid_values, ignore_value=True):
        if ignore_value and value is None:
            return None
        if value not in valid_values:
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR.format(
                func_name, self.arg_name, repr(valid_values), value, type(value)))

    def is_in(self, valid_values, ignore_value=True):
        def check_is_in(func_name, value):
            return self._is_in(func_name, value, valid_values, ignore_value)
        self.rules.append(check_is_in)
        return self

    def is_stop_type(self):
        def check_stop_type(func_name, value):
            if isinstance(value, str) and value.lower() in self.STOP_TYPE:
                return
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR.format(
                func_name, self.arg_name, repr(self.STOP_TYPE), value, type(value)))
        self.rules.append(check_stop_type)
        return self

    def is_valid_price_type(self):
        def check_validate_orderctg(func_name, value):
            ss = "[%s]" % ",".join(self.ALL_PRICE_TYPE)
            if value.upper() in self.ALL_PRICE_TYPE:
                return
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_ONEOF_ERROR.format(
                func_name, self.arg_name, ss, value, type(value)))
        self.rules.append(check_validate_orderctg)
        return self

    def is_greater_than(self, low):
        def check_greater_than(func_name, value):
            if value <= low:
                raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR.format(
                    func_name, self.arg_name, low, value, type(value)))
        self.rules.append(check_greater_than)
        return self

    def _is_valid_frequency(self, func_name, value):
        if not (isinstance(value, str) and value in self.FREQUENCY):
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_FREQUENCY_ERROR.format(
                func_name, self.arg_name, self.FREQUENCY, value, type(value)))

    def is_valid_frequency(self):
        self.rules.append(self._is_valid_frequency)
        return self

    def _is_valid_fq(self, func_name, value):
        if not (isinstance(value, int) and (value == 0 or value == 1 or value == 2)):
            raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR.format(
                func_name, self.arg_name, value, type(value)))

    def is_valid_fq(self):
        self.rules.append(self._is_valid_fq)
        return self

    def is_empty_or_not(self, empty=False, ignore_none=True):
        def empty_or_not(func_name, value):
            if ignore_none and value is None:
                return
            if empty and len(value) > 0:
                raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR.format(
                    func_name, self.arg_name, value, type(value)))
            if not empty and len(value) < 1:
                raise InvalidParamError(text.ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR.format(
                    func_name, self.arg_name, value, type(value)))
        self.rules.append(empty_or_not)
        return self
