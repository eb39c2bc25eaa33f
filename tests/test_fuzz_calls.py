"""Random calls of every function of both modules (tests/call_fuzz.py): each
returns or raises an ordinary Python exception, and refused calls carry the
interpreter's wording. The calls run in a child process, so that a crash
fails this test with faulthandler's report instead of ending the suite."""

import os
import re
import subprocess
import sys
import tempfile

import pytest

pytest.importorskip("torch")

FUZZER = os.path.join(os.path.dirname(__file__), "call_fuzz.py")


def test_random_calls_never_crash_and_refuse_in_the_interpreters_wording():
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", FUZZER, "--calls", "3000", "--seed", "0"],
        capture_output=True, text=True, timeout=900, cwd=tempfile.gettempdir())
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-6000:]}"
    calls = int(re.search(r"^calls: (\d+)", result.stdout, re.M).group(1))
    outcomes = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", result.stdout)}
    assert calls >= 3000
    # both kinds of outcome occur in quantity: refused calls and calls reaching the bodies
    assert outcomes["argument_errors"] > calls // 5
    assert outcomes["returned"] > calls // 10
