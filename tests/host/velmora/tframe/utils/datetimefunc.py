"""Date conversion helpers."""
import datetime
import numbers

import pandas as pd


def to_datetime(value):
    """Convert a date-like value to ``datetime.datetime``.

    Accepted: ``datetime.datetime`` (returned unchanged), ``datetime.date``
    (midnight of that day), ``pandas.Timestamp``, an int written as YYYYMMDD,
    and a str written as YYYYMMDD or YYYY-MM-DD.  Anything else, including
    bools and NaT, raises ``ValueError``.
    """
    if value is pd.NaT:
        raise ValueError("cannot convert NaT to a datetime")
    # Timestamp subclasses datetime, so it has to be tested first.
    if isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    if isinstance(value, datetime.datetime):
        return value
    if isinstance(value, datetime.date):
        return datetime.datetime(value.year, value.month, value.day)
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return _parse(str(int(value)), value)
    if isinstance(value, str):
        return _parse(value, value)
    raise ValueError(
        "cannot convert {!r} of type {} to a datetime".format(value, type(value).__name__))


def _parse(s, original):
    # strptime alone would take "2021011" as 2021-01-01, so pin the lengths.
    if len(s) == 8 and s.isdigit():
        fmt = "%Y%m%d"
    elif len(s) == 10 and s[4] == "-" and s[7] == "-":
        fmt = "%Y-%m-%d"
    else:
        raise ValueError(
            "{!r} is not a date in the form YYYYMMDD or YYYY-MM-DD".format(original))
    try:
        return datetime.datetime.strptime(s, fmt)
    except ValueError:
        raise ValueError("{!r} is not a valid calendar date".format(original)) from None
