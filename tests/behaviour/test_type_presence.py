"""is_instance_of / _is_instance_of, is_exist_path and is_empty_or_not."""
import os
import traceback

import pytest

from kit.hostile import Boom, Hostile, boom, hostile

EXPECT, INVALID = "ARGCHECKER_INVALID_PARAM_EXPECT_ERROR", "ARGCHECKER_INVALID_PARAM_ERROR"
EMPTY, NONEMPTY = "ARGCHECKER_INVALID_PARAM_EXPECT_EMPTY_ERROR", "ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR"
CLS = "tframe.utils.argchecker.ArgumentChecker."


HostileType = hostile(type, "__instancecheck__", boom, "H", (), {})


@pytest.mark.parametrize("types_, value, outcome", [
    ((int,), True, None), ((int,), 1.0, EXPECT), ((int,), "1", EXPECT), ((), 1, EXPECT),
    ((int, float), "x", EXPECT), ((int, (bytes, str)), "x", None), ((HostileType,), 1, Boom),
])
def test_is_instance_of(ac, rtext, assert_failure, types_, value, outcome):
    checker = ac.verify_that("x")
    assert checker.is_instance_of(*types_) is checker
    if outcome is None:
        assert checker.rules[0]("f", value) is checker
        return
    checker.arg_name = "renamed"
    with pytest.raises(ac.InvalidParamError if outcome == EXPECT else outcome) as ei:
        checker.verify("f", value)
    if outcome == EXPECT:
        assert_failure(ei, EXPECT, "f", "renamed", types_, value, type(value))
        assert [e.name for e in traceback.extract_tb(ei.value.__traceback__)][-3:] == [
            CLS + "verify", CLS + "is_instance_of._is_instance_of", CLS + "_is_instance_of"]


def test_instance_worker_direct_and_overridden(ac, rtext, assert_failure):
    checker, types_ = ac.verify_that("n"), [int]
    assert checker._is_instance_of(types_, "f", 3) is checker
    with pytest.raises(ac.InvalidParamError) as ei:
        checker._is_instance_of(types_, "f", "3")
    assert assert_failure(ei, EXPECT, "f", "n", types_, "3", str).fmt_args[2] is types_

    class Sub(ac.ArgumentChecker):
        def _is_instance_of(self, *args):
            return args

    assert Sub("s").is_instance_of(str).rules[0](func_name="g", value=7) == ((str,), "g", 7)


@pytest.mark.parametrize("kind, ok", [("dir", 1), ("file", 1), ("bytes", 1), ("missing", 0), ("pathlib", 0), ("int", 0)])
def test_is_exist_path(ac, rtext, assert_failure, tmp_path, kind, ok):
    (tmp_path / "f").write_text("x")
    value = {"dir": str(tmp_path), "file": str(tmp_path / "f"), "bytes": os.fsencode(str(tmp_path)),
             "missing": str(tmp_path / "nope"), "pathlib": tmp_path, "int": 0}[kind]
    checker = ac.verify_that("p").is_exist_path()
    if ok:
        assert checker.rules[0]("f", value) is None
    else:
        with pytest.raises(ac.InvalidParamError) as ei:
            checker.verify("f", value)
        assert_failure(ei, INVALID, "f", "p", value)


@pytest.mark.parametrize("kwargs, value, outcome", [
    ({}, "a", None), ({}, [0], None), ({}, None, None), ({}, "", NONEMPTY), ({}, [], NONEMPTY), ({}, {}, NONEMPTY),
    ({"empty": True}, "", None), ({"empty": True}, None, None), ({"empty": True}, "a", EMPTY),
    ({"empty": 1}, "a", EMPTY), ({"empty": ""}, "", NONEMPTY),
    ({"ignore_none": False}, None, TypeError), ({}, 5, TypeError),
    ({}, Hostile(), Boom), ({"empty": Hostile()}, "a", Boom), ({"ignore_none": Hostile()}, "a", Boom),
])
def test_is_empty_or_not(ac, rtext, assert_failure, kwargs, value, outcome):
    rule = ac.verify_that("v").is_empty_or_not(**kwargs).rules[0]
    if outcome is None:
        assert rule("f", value) is None
    else:
        with pytest.raises(ac.InvalidParamError if isinstance(outcome, str) else outcome) as ei:
            rule("f", value)
        if isinstance(outcome, str):
            assert_failure(ei, outcome, "f", "v", value, type(value))
