"""zan_math: parallel batch numerics of the zan plane, its value classes, and formula discovery.

The native module :mod:`zan_math.zan_core` does the work; its public names are re-exported here.
"""

from . import zan_core
from .zan_core import *  # noqa: F401,F403
from .zan_core import PanicException

__all__ = [*zan_core.__all__, "PanicException", "zan_core", "discover", "Formula", "DiscoveryResult", "LevelInfo"]
__version__ = "0.1.0"

# The package's NumPy-based API is imported on first use, so that `import zan_math` (and
# zan_core with it) stays light and starts no thread of NumPy's.
_LAZY = {
    "discover": "._discover",
    "Formula": "._formula",
    "DiscoveryResult": "._formula",
    "LevelInfo": "._formula",
    # Needs the sklearn extra, so it stays out of __all__: `from zan_math import *` works
    # without scikit-learn.
    "FormulaRegressor": ".estimator",
}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'zan_math' has no attribute {name!r}")
    from importlib import import_module

    value = getattr(import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
