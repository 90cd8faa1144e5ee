"""The judge of the sanitizer job: which reports fail it."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scan_logs  # noqa: E402

LEAK = """
=================================================================
==1==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 56 byte(s) in 1 object(s) allocated from:
    #0 0x7f in __interceptor_malloc asan_malloc_linux.cpp:69
    #1 0x7f in _PyObject_GC_Alloc Modules/gcmodule.c:2267
    #2 0x7f in PyTuple_Pack Objects/tupleobject.c:208
{frame}
Indirect leak of 24 byte(s) in 1 object(s) allocated from:
    #0 0x7f in __interceptor_malloc asan_malloc_linux.cpp:69
    #1 0x7f in PyFloat_FromDouble Objects/floatobject.c:123

SUMMARY: AddressSanitizer: 80 byte(s) leaked in 2 allocation(s).
"""
MODULE_FRAME = "    #3 0x7f in ac::make_layout /work/main/src/argchecker/rules/binder.cpp:47\n"
OTHER_FRAME = "    #3 0x7f in initumath (numpy/core/_multiarray_umath.cpython-39-x86_64-linux-gnu.so+0x26a800)\n"
ASAN_ERROR = "==2==ERROR: AddressSanitizer: heap-use-after-free on address 0x60 at pc 0x7f\nREAD of size 8\n"
UBSAN = "src/argchecker/runtime/function.cpp:120:5: runtime error: signed integer overflow\n"


@pytest.mark.parametrize("logs, findings", [
    ({"asan.1": LEAK.format(frame=OTHER_FRAME)}, 0),
    ({"asan.1": LEAK.format(frame=MODULE_FRAME)}, 1),
    ({"asan.2": ASAN_ERROR}, 1),
    ({"ubsan.3": UBSAN, "asan.1": LEAK.format(frame=OTHER_FRAME)}, 1),
    ({}, 0),
])
def test_findings_fail_the_job_and_kept_memory_does_not(tmp_path, capsys, logs, findings):
    for name, text in logs.items():
        (tmp_path / "pass").mkdir(exist_ok=True)
        (tmp_path / "pass" / name).write_text(text)
    assert scan_logs.main(str(tmp_path)) == (1 if findings else 0)
    assert "{} finding(s)".format(findings) in capsys.readouterr().out
