import os
import struct
import subprocess
import sys
import textwrap

import pytest

# Set by `make sanitize`: the extension is built with AddressSanitizer, whose operator new
# aborts the process on an allocation it cannot satisfy instead of throwing bad_alloc.
SANITIZED = os.environ.get("ZAN_SANITIZED") == "1"
needs_throwing_new = pytest.mark.skipif(SANITIZED, reason="operator new aborts under AddressSanitizer")
# A law searched end to end tests the engine's choices, not the interpreter nor memory safety:
# the shorter discovery tests run the same entry points under the sanitizers and on the second
# interpreter, where these whole searches would take minutes (make test deselects them there).
whole_searches = pytest.mark.whole_search


def bits(values):
    """Bit patterns of floats, so that NaN, -0.0 and last-bit differences compare exactly."""
    return [struct.pack("<d", v) for v in values]


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter and returns its stdout; fails on a non-zero exit."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def pytest_terminal_summary(terminalreporter):
    """How many fuzzed calls ran and how they ended."""
    fuzz = sys.modules.get("test_fuzz")
    if fuzz is not None and fuzz.CALLS:
        outcomes = ", ".join(f"{k} {v}" for k, v in fuzz.CALLS.most_common())
        terminalreporter.write_line(f"fuzzed calls: {outcomes}")


@pytest.fixture
def z():
    from zan_math import zan_core

    return zan_core
