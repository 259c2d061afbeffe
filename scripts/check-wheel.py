"""Checks an installed zan_math wheel from outside the source tree (run by `make wheel-test`).

The environment holds the wheel and its declared dependencies only: no extras, no build tree.
"""

import importlib.util
import math
import os
import pickle
import sys

import zan_core
import zan_math
from zan_math import _extras, _native

package_dir = os.path.dirname(zan_math.__file__)
assert package_dir.startswith(sys.prefix), f"zan_math imported from {package_dir}, not the venv"
assert zan_core is zan_math.zan_core and _native is not None

# The extensions find the core library beside them (RPATH $ORIGIN), not some other copy.
with open("/proc/self/maps") as maps:
    cores = {line.split()[-1] for line in maps if line.rstrip().endswith("libzan_math_core.so")}
assert cores == {os.path.join(package_dir, "libzan_math_core.so")}, cores

assert zan_core.ln_n([1.0, math.e]) == [0.0, 1.0]
assert pickle.loads(pickle.dumps(zan_core.ln_n)) is zan_core.ln_n
assert zan_core.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0]).complexity >= 1

import numpy  # noqa: E402,F401  (a declared dependency: installed with the wheel)

# No extra came with the wheel, and asking for one names it.
assert importlib.util.find_spec("sympy") is None
try:
    _extras.require("sympy", "sympy", "the check")
except ImportError as exc:
    assert "pip install 'zan_math[sympy]'" in str(exc), exc
else:
    raise AssertionError("sympy should be missing")
print(f"wheel ok: zan_math {zan_math.__version__} in {package_dir}")
