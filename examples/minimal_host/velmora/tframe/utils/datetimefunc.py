import pandas as pd


def to_datetime(value):  # a date, datetime, Timestamp, or int/str YYYYMMDD or YYYY-MM-DD -> datetime
    return pd.Timestamp(str(value)).to_pydatetime()
