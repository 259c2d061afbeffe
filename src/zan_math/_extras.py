"""Optional dependencies: imported on first use, and named with their extra when missing.

The core (zan_core, discover, the command line) needs only NumPy. Features that lean on a
larger library import it through :func:`require`, so a missing one fails at the point of use
with the ``pip install`` line that brings it, not at ``import zan_math``.
"""

from __future__ import annotations

import importlib
from types import ModuleType

# The distribution that provides each optional top-level module (what pip installs).
DISTRIBUTIONS = {
    "sklearn": "scikit-learn",
    "pandas": "pandas",
    "sympy": "sympy",
    "matplotlib": "matplotlib",
    "dask": "dask[distributed]",
    "distributed": "dask[distributed]",
    "tqdm": "tqdm",
}


def require(module: str, extra: str, feature: str | None = None) -> ModuleType:
    """Imports `module` (e.g. "sympy" or "matplotlib.pyplot") or raises an ImportError that
    names the missing distribution and the extra that installs it.

    `feature` says what needs it ("Formula.sympy()"); the default names the package.
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.partition(".")[0]
        distribution = DISTRIBUTIONS.get(top, top)
        who = feature or "this feature of zan_math"
        # A package that is installed but fails inside (a broken dependency of its own) is
        # reported with the original error: reinstalling the extra is still the remedy.
        missing = exc.name is not None and (exc.name == top or exc.name.startswith(top + "."))
        why = "" if missing or exc.name is None else f" (importing it failed: {exc})"
        raise ImportError(
            f"{who} requires the optional dependency {distribution}{why}: pip install 'zan_math[{extra}]'",
            name=module,
        ) from exc
