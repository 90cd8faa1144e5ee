"""Stand-in for the host's command channel.

``vmSendCmdConvertTargets`` turns user codes such as ``rb2105`` into the
host's notation ``RB2105.SHFE``.  Every request is recorded in ``CALLS``.
"""
import re

CALLS = []

_EXCHANGES = {
    "SHFE": ("rb", "hc", "cu", "al", "zn", "pb", "ni", "sn", "au", "ag", "ru", "fu", "bu", "sp"),
    "INE": ("sc", "lu", "nr"),
    "DCE": ("a", "b", "c", "cs", "i", "j", "jm", "l", "m", "p", "pp", "v", "y", "eg"),
    "CZCE": ("sr", "cf", "ta", "ma", "fg", "rm", "oi", "ap", "sa", "ur"),
    "CFFEX": ("if", "ic", "ih", "im", "t", "tf", "ts"),
}
_PREFIX_TABLE = {p: ex for ex, prefixes in _EXCHANGES.items() for p in prefixes}
_FUTURE = re.compile(r"([a-z]+)\d+")


def _exchange(code):
    if code.isdigit() and len(code) == 6:
        return "SSE" if code.startswith(("5", "6", "9")) else "SZSE"
    m = _FUTURE.fullmatch(code)
    if m:
        return _PREFIX_TABLE.get(m.group(1), "UNKNOWN")
    return "UNKNOWN"


def convert_code(code):
    code = str(code).strip()
    if "." in code:  # already in host notation
        return code.upper()
    return "{}.{}".format(code.upper(), _exchange(code.lower()))


def vmSendCmdConvertTargets(request):
    CALLS.append(list(request))
    return [{"code": entry["code"], "target": convert_code(entry["code"])} for entry in request]


def reset():
    CALLS.clear()
