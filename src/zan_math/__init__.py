"""zan_math: parallel batch numerics of the zan plane, its value classes, and formula discovery.

The native module :mod:`zan_math.zan_core` does the work; its public names are re-exported here.
"""

from . import zan_core
from .zan_core import *  # noqa: F401,F403
from .zan_core import PanicException
from ._discover import DiscoveryResult, Formula, LevelInfo, discover

__all__ = [*zan_core.__all__, "PanicException", "zan_core", "discover", "Formula", "DiscoveryResult", "LevelInfo"]
__version__ = "0.1.0"
