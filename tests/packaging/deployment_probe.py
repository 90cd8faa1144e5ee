"""Run by test_deployment.py inside its new environment (the minimal host of docs/host-contract.md with the
extension installed into it), from a folder that holds no velmora: the demo's calls and a call for every
other message key, the README's Python blocks, and what the deployed module is. Prints one JSON document.

Arguments: the folder of the demo's API module (examples/), then a JSON list of the README's Python blocks.
"""
import contextlib
import datetime
import io
import importlib.metadata
import json
import os
import sys

import numpy as np

import velmora
import velmora.tframe.utils.argchecker as ac
from velmora.tframe import language, sysclsbase
from velmora.tframe.comm import vmcmd
from velmora.tframe.utils import exceptions, logger

sys.path.insert(0, sys.argv[1])
import trading_api as api  # noqa: E402


AC = ac.ArgumentChecker
tomorrow = int((datetime.date.today() + datetime.timedelta(days=1)).strftime("%Y%m%d"))


def on_bar(context):
    pass


def rows(values, dtype=np.int32):
    return np.array(values, dtype=dtype)


def verify(checker, value):
    return checker.verify("api", value)


# The demo's calls (examples/demo.py, through its API module), then one call for each key they leave out.
CALLS = [
    lambda: api.place_order("rb2105", 3, "market", "SELL"),
    lambda: api.place_order("rb2105", 0),
    lambda: api.place_order("", 1),
    lambda: api.place_order("rb2105", 1, price_type="mkt"),
    lambda: api.set_stop("Percent", 2.5),
    lambda: api.set_stop("points", 2),
    lambda: api.get_history("rb2105", "1min"),
    lambda: api.get_history("rb2105", "min", 2, "2021-3-5"),
    lambda: api.get_history("rb2105", fields=["close", "vwap"]),
    lambda: api.get_history("rb2105", start="2021-02-30"),
    lambda: api.get_report("2020q3"),
    lambda: api.get_report("2020Q3"),
    lambda: api.get_report("2020q3", tomorrow),
    lambda: api.subscribe(print),
    lambda: api.subscribe(lambda bar: None, 42),
    lambda: api.get_bars("20200101", "20200301"),
    lambda: api.get_bars("20200301", "20200101"),
    lambda: api.pick_rows(rows([0, 2, 4]), 5),
    lambda: api.pick_rows(rows([0, 5]), 5),
    lambda: api.place_order(5, 1),
    lambda: verify(ac.verify_that("path").is_exist_path(), "/no/such/path"),
    lambda: verify(ac.verify_that("x").is_empty_or_not(empty=True), "a"),
    lambda: api.subscribe(42),
    lambda: api.set_stop("point", -1),
    lambda: api.set_stop("point", 100),
    lambda: verify(ac.verify_that("x").is_less_or_equal_than(1), 2),
    lambda: api.get_history("rb2105", fq=3),
    lambda: api.get_history("rb2105", start=20210305),
    lambda: api.get_report("2020q3", "2020-01-01"),
    lambda: api.get_bars("18990101", "20200101"),
    lambda: api.pick_rows([0, 1], 5),
    lambda: api.pick_rows(rows([]), 5),
    lambda: api.pick_rows(rows([0, 1], np.int64), 5),
    lambda: AC.check_ndarray_idx("api", "rows", (rows([1, None], object), 0, 5), dtype=None),
    lambda: AC.check_ndarray_idx("api", "rows", (rows([1.0, np.nan], np.float64), 0, 5), dtype=np.float64),
    lambda: api.pick_rows(rows([-1, 1]), 5),
    lambda: AC.check_callable(len, except_sig="on_bar(context)"),
    lambda: api.subscribe(on_bar, 1, 2, 3),
    lambda: AC.check_callable(len, raise_error=False),
    lambda: AC.check_callable(on_bar, "on_tick", raise_error=False),
    lambda: AC.check_callable(on_bar, arg_count=2, raise_error=False),
    lambda: AC.check_callable(on_bar, param_names=["bar"], raise_error=False),
    lambda: AC.check_callable(on_bar, "on_bar", 1, ["context"], raise_error=False),
]


def nargs(msg):  # how many arguments the host's text was formatted with, None for a finished text
    args = getattr(msg, "args", None)
    return None if args is None else len(args)


def outcome(call):
    try:
        result = call()
    except Exception as e:  # noqa: BLE001 - every outcome is reported, the test decides
        msg = e.args[0] if e.args else ""
        out = {"raised": type(e).__name__, "is_hosts": isinstance(e, exceptions.InvalidParamError),
               "key": getattr(msg, "key", None), "nargs": nargs(msg), "text": str(e)}
        if out["is_hosts"]:  # the fields the host's exception makes of the key and its arguments
            out["fields"] = [e.key, e.func, e.arg, repr(e.value)]
        return out
    if isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], language.Message):
        return {"returned": [result[0], str(result[1])], "key": result[1].key, "nargs": nargs(result[1])}
    return {"returned": repr(result)}


outcomes = [outcome(c) for c in CALLS]
logged = [level for level, _ in logger.LOG]

# The switch, read at every call; the target conversion through the host's chain and cache.
AC.ALLOW_ARG_CHECK = False
switched_off = outcome(lambda: api.place_order("rb2105", 0))
AC.ALLOW_ARG_CHECK = True
converted = [api.resolve(["rb2105", "600000"]), api.resolve(["600000", "rb2105"]), api.resolve(["cu2107"])]
params = {"target_list": ["IF2106"]}
ac.patch_target_list(params)
sent, cached = len(vmcmd.SENT), len(sysclsbase.vr.g_VelmoraCache.entries)

# The README's Python blocks, each in a namespace of its own.
with contextlib.redirect_stdout(io.StringIO()) as readme_output:
    for block in json.loads(sys.argv[2]):
        exec(compile(block, "README.md", "exec"), {"__name__": "readme"})

with open(os.path.join(os.path.dirname(ac.__file__), "argchecker.pyi")) as f:
    stub_head = f.readline()
try:
    version = importlib.metadata.version("velmora-argchecker")
except importlib.metadata.PackageNotFoundError:  # built into a host's tree by CMake: no pip metadata
    version = None
print(json.dumps({
    "velmora": velmora.__file__, "ac": ac.__file__, "outcomes": outcomes, "logged": logged,
    "switched_off": switched_off, "converted": converted, "patched": params, "sent": sent, "cached": cached,
    "keys": sorted(k for k in vars(language.text) if not k.startswith("_")),
    "templates": {k: v for k, v in vars(language.text).items() if not k.startswith("_")},
    "version": version, "stub_head": stub_head,
    "readme_output": readme_output.getvalue(),
    "error_is_the_hosts": ac.InvalidParamError is exceptions.InvalidParamError,
}))
