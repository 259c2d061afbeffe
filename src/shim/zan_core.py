"""The top-level name under which zan_math.zan_core's functions and classes report themselves.

The native module's functions and classes carry ``__module__ == "zan_core"``. pickle, and so
multiprocessing and concurrent.futures, look objects up by that name, so it has to be
importable: this module makes ``import zan_core`` give the very module object
``zan_math.zan_core`` (not a copy), so every object it finds is identical to the one pickled.
"""

import sys

from zan_math import zan_core as _module

sys.modules[__name__] = _module
