"""Target code conversion through the host command, the conversion cache, and parameter patching."""
import sys
import traceback

import pytest

from kit.hostile import Boom, boom
from velmora.tframe.comm import vmcmd

TB = "tframe.utils.argchecker."


def cached(cache, code):
    return cache.get_cache(code, key_prefix="convert")


@pytest.mark.parametrize("codes, preload, sent, expected", [
    ([], {}, [], []),
    (["rb2105", "600000"], {"rb2105": "x.one", "600000": "x.two"}, [], ["x.one", "x.two"]),
    (["A", "b"], {"A": "a.cached"}, [["b"]], ["a.cached", "b.unknown"]),
    (("rb2105", "rb2105"), {}, [["rb2105", "rb2105"]], ["rb2105.shfe", "rb2105.shfe"]),
    (["IF2106", "000001"], {}, [["IF2106", "000001"]], ["if2106.cffex", "000001.szse"]),
])
def test_convert_targets(ac, target_cache, codes, preload, sent, expected):
    for code, conv in preload.items():
        target_cache.set_cache(code, conv, key_prefix="convert")
    target_cache.gets = 0
    assert ac.convert_targets(codes) == expected
    assert [[e["code"] for e in req] for req in vmcmd.CALLS] == sent
    # One lookup per code per pass: two passes when something was sent.
    assert target_cache.gets == len(codes) * (2 if sent else 1)


def test_second_call_uses_the_cache(ac, target_cache):
    codes = ["rb2105", "SR109"]
    first = ac.convert_targets(codes)
    assert ac.convert_targets(codes) == first == ["rb2105.shfe", "sr109.czce"]
    assert len(vmcmd.CALLS) == 1
    assert cached(target_cache, "SR109") == "sr109.czce"


def test_get_target_from_cache_copies(ac, target_cache):
    class Code:
        def __init__(self, name):
            self.name, self.notes = name, []

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            return isinstance(other, Code) and other.name == self.name

    codes = [Code("a"), Code("b")]
    target_cache.set_cache(codes[1], "b.done", key_prefix="convert")
    missing, targets = ac.get_target_from_cache(codes)
    assert missing == [codes[0]] and missing[0] is not codes[0]
    assert targets[1] == "b.done" and targets[0] is not codes[0]
    targets[0].notes.append(1)
    assert codes[0].notes == [] and codes[1] != "b.done"


def test_set_target_to_cache_short_conversions(ac, target_cache):
    with pytest.raises(IndexError):
        ac.set_target_to_cache(["a", "b", "c"], converted_czce_list=["a1"])
    assert cached(target_cache, "a") == "a1" and len(target_cache) == 1


def _empty_command(request):
    vmcmd.CALLS.append(list(request))
    return [{"code": e["code"], "target": ""} for e in request]


@pytest.mark.parametrize("empty_conversion, missing", [
    (True, ["rb2105"]),              # the host returns "" for the code
    (False, ["rb2105", "600000"]),   # the cache keeps nothing
])
def test_unconvertible_codes_raise_after_one_command(ac, target_cache, monkeypatch, empty_conversion, missing):
    target_cache.set_cache("600000", "600000.sse", key_prefix="convert")
    if empty_conversion:
        monkeypatch.setattr(vmcmd, "vmSendCmdConvertTargets", _empty_command)
    else:
        target_cache.clear()
        monkeypatch.setattr(target_cache, "set_cache", lambda *a, **k: None)
    codes = ["rb2105", "600000"]
    with pytest.raises(ac.InvalidParamError) as ei:
        ac.convert_targets(codes)
    assert len(vmcmd.CALLS) == 1
    assert ei.value.args == ("convert_targets() could not convert target codes: {!r}".format(missing),)
    assert codes == ["rb2105", "600000"]
    assert cached(target_cache, "rb2105") == ("" if empty_conversion else None)


def test_host_failures_pass_through(ac, target_cache, monkeypatch):
    monkeypatch.setattr(vmcmd, "vmSendCmdConvertTargets",
                        lambda req: [{"code": e["code"], "target": 5} for e in req])
    with pytest.raises(AttributeError) as ei:
        ac.convert_targets(["a"])
    assert len(target_cache) == 0
    names = [e.name for e in traceback.extract_tb(ei.value.__traceback__)]
    assert names[-2:] == [TB + "convert_targets", TB + "convert_targets._convert_target"]

    monkeypatch.setattr(target_cache, "get_cache", boom)
    with pytest.raises(Boom):
        ac.convert_targets(["a"])


def test_imports_happen_at_each_call(ac, target_cache, monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.tframe.ufuncs", None)
    with pytest.raises(ImportError):
        ac.convert_targets([])


@pytest.mark.parametrize("params, expected", [
    ({"a": 1}, {"a": 1}),
    ({"target_list": ["rb2105"], "n": 2}, {"target_list": ["rb2105.shfe"], "n": 2}),
])
def test_patch_target_list(ac, target_cache, params, expected):
    assert ac.patch_target_list(params) is None
    assert params == expected


@pytest.mark.parametrize("params, message", [
    (type("D", (dict,), {})(), "Argument 'params' has incorrect type (expected dict, got D)"),
    ([("target_list", [])], "Argument 'params' has incorrect type (expected dict, got list)"),
    (None, "'NoneType' object is not iterable"),
])
def test_patch_target_list_refuses(ac, params, message):
    with pytest.raises(TypeError) as ei:
        ac.patch_target_list(params)
    assert str(ei.value) == message
