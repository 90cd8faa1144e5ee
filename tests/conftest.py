import importlib

import pytest

from kit import recorder
from velmora import setting
from velmora.tframe import language
from velmora.tframe.comm import vmcmd
from velmora.tframe.sysclsbase import vr
from velmora.tframe.utils import logger


@pytest.fixture(scope="session")
def ac():
    """The built ``velmora.tframe.utils.argchecker`` extension module."""
    return importlib.import_module("velmora.tframe.utils.argchecker")


@pytest.fixture
def rtext(ac, monkeypatch):
    """Swap the message table for a ``recorder.RecordingText``."""
    table = recorder.RecordingText()
    monkeypatch.setattr(ac, "text", table, raising=False)
    monkeypatch.setattr(language, "text", table)
    return table


@pytest.fixture
def assert_failure():
    return recorder.assert_failure


@pytest.fixture
def userlog():
    logger.clear_recent()
    yield logger.RECENT
    logger.clear_recent()


@pytest.fixture
def settings():
    setting.reset_settings()
    yield setting
    setting.reset_settings()


@pytest.fixture
def target_cache():
    """An empty target cache and host command log; yields the cache."""
    vr.g_VelmoraCache.clear()
    vmcmd.reset()
    yield vr.g_VelmoraCache
    vr.g_VelmoraCache.clear()
    vmcmd.reset()


def pytest_configure(config):
    # The fuzzer's dates reach beyond what pandas 1.x can hold (the test group of pyproject.toml).
    import pandas
    if int(pandas.__version__.split(".")[0]) < 2:
        raise pytest.UsageError("the suite needs pandas >= 2, found %s" % pandas.__version__)
    config.addinivalue_line("markers", "slow: runs for a minute or more; selected with -m (./dev.sh deploy)")


def pytest_collection_modifyitems(config, items):
    # The slow tests run only when a marker expression asks for them (`-m slow`), not in the suite.
    if config.getoption("markexpr"):
        return
    skip = pytest.mark.skip(reason="slow: run with -m slow (./dev.sh deploy)")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
