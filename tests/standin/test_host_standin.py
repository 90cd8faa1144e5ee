"""Checks of the pure-Python host stand-in and the test recorder."""
import datetime
import functools
import gc
import string
import weakref

import pandas as pd
import pytest

from kit import recorder
from velmora import setting
from velmora.tframe import language, sysclsbase, ufuncs
from velmora.tframe.comm import vmcmd
from velmora.tframe.utils import logger
from velmora.tframe.utils.datetimefunc import to_datetime
from velmora.tframe.utils.utilfunc import unwrapper

D = datetime.datetime(2021, 3, 5)


@pytest.mark.parametrize("value", [
    D, datetime.date(2021, 3, 5), pd.Timestamp("2021-03-05"), 20210305, "20210305", "2021-03-05",
])
def test_to_datetime_accepts(value):
    result = to_datetime(value)
    assert type(result) is datetime.datetime and result == D


@pytest.mark.parametrize("value", [
    True, 2021035, "2021035", "2021-3-05", "20211305", "2021/03/05", "", 20210305.0, None, pd.NaT,
])
def test_to_datetime_rejects(value):
    with pytest.raises(ValueError):
        to_datetime(value)


def test_message_placeholders_match_argument_lists():
    assert set(language.MESSAGE_KEYS) == set(language.text.KEYS)
    for key in language.MESSAGE_KEYS:
        fields = [f for _, f, _, _ in string.Formatter().parse(getattr(language.text, key))
                  if f is not None]
        assert fields == [""] * len(language.MESSAGE_ARGS[key]), key


def test_recorder_exposes_key_and_args_and_frees_them():
    class Value:
        pass

    v = Value()
    ref = weakref.ref(v)
    key = "ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR"
    exc = ValueError(getattr(recorder.RecordingText(), key).format("f", "fq", v, Value))
    recorder.assert_failure(exc, key, "f", "fq", v, Value)
    with pytest.raises(AssertionError):
        recorder.assert_failure(exc, key, "f", "fq", v, object)
    finished = recorder.RecordingText().ERROR_FUNC_IS_NOT_FUNC
    assert finished.key == "ERROR_FUNC_IS_NOT_FUNC" and finished == language.text.ERROR_FUNC_IS_NOT_FUNC
    del v, exc
    gc.collect()
    assert ref() is None


def test_setting_env_switch(settings, monkeypatch):
    assert settings.get_setting("ALLOW_ARG_CHECK", True) is True
    settings.set_setting("ALLOW_ARG_CHECK", True)
    monkeypatch.setenv("VELMORA_ALLOW_ARG_CHECK", "False")
    assert setting.get_setting("ALLOW_ARG_CHECK", True) is False


def test_cache_round_trip(target_cache):
    assert sysclsbase.vr.g_VelmoraCache is target_cache
    assert target_cache.get_cache("rb2105", key_prefix="t:") is None
    target_cache.set_cache("rb2105", "RB2105.SHFE", key_prefix="t:")
    assert target_cache.get_cache("rb2105", key_prefix="t:") == "RB2105.SHFE"
    assert target_cache.get_cache("rb2105") is None
    assert (target_cache.gets, target_cache.sets) == (3, 1)


def test_convert_targets_round_trip(target_cache):
    codes = ["rb2105", "IF2106", "600000", "000001", "zz99", "cu2101.shfe"]
    reply = vmcmd.vmSendCmdConvertTargets(ufuncs.todictmc(codes))
    assert ufuncs.todotmc(reply) == [
        "RB2105.SHFE", "IF2106.CFFEX", "600000.SSE", "000001.SZSE", "ZZ99.UNKNOWN", "CU2101.SHFE"]
    assert vmcmd.CALLS == [[{"code": c} for c in codes]]


def test_unwrapper_follows_wraps_chain_and_refuses_a_cycle():
    def inner():
        pass

    outer = functools.wraps(inner)(functools.wraps(inner)(lambda: None))
    assert unwrapper(outer) is inner

    class Loop:
        pass

    a, b = Loop(), Loop()
    a.__wrapped__, b.__wrapped__ = b, a
    with pytest.raises(ValueError, match="wrapper loop"):
        unwrapper(a)


def test_write_userlog_goes_to_rotating_file(tmp_path, monkeypatch, userlog, capsys):
    path = tmp_path / "user.log"
    monkeypatch.setenv("VELMORA_USERLOG", str(path))
    try:
        assert logger.write_userlog("bad fq", level="error", console=True) is None
        assert logger.userlog_path() == str(path)
        assert "ERROR bad fq" in path.read_text()
        assert list(userlog) == [("error", "bad fq")]
        assert "bad fq" in capsys.readouterr().err
    finally:
        logger.close_userlog()
