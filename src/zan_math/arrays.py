"""NumPy arrays in and out for every parallel batch function of :mod:`zan_math.zan_core`.

Each function has the name and parameters of its list form plus ``out=None``, runs the same
kernels on the same worker pool, and returns the very same values, bit for bit:

>>> import numpy as np
>>> from zan_math import arrays
>>> arrays.tension_n(np.array([0.0, 1.0]), np.array([1.0, 2.0]))
array([1.        , 2.02513546])

- Inputs are any array-likes. A C-contiguous float64 array (read-only ones included) is read
  where it is, without a copy; anything else (lists, other dtypes, strided views) is converted
  once, as ``numpy.asarray(x, dtype=numpy.float64)`` would, with safe casts only.
- Batches are 1-d ``(n,)`` for numbers, ``(n, 2)`` for points, ``(n, 8)`` for octonions and
  ``(n, m)`` for multivectors; the result has the natural shape: ``(n,)``, ``(n, 2)`` for
  ``boost_n``, ``(n, 8)`` for ``octonion_mul_n``, ``(n, m)`` (the width of ``a_batch``) for
  ``geometric_product_n``.
- There is no broadcasting: rows pair up index by index and stop at the shorter input, as the
  list functions do, so ``add_n(a[:3], b[:5])`` has 3 elements.
- ``out=`` takes a writeable C-contiguous float64 array of exactly the result's shape
  (``TypeError`` for another type or dtype, ``ValueError`` for another shape, a strided or a
  read-only array), fills it and returns it. It may be an input itself (``ln_n(a, out=a)``);
  an input that only partly overlaps ``out`` is copied first.
- Large calls release the interpreter lock while the pool computes. Faults of the geometric
  product raise :class:`zan_math.PanicException`, as the list form does.
"""

import numpy as _np  # noqa: F401  (the array forms need NumPy; importing it here says so early)

from . import _native

__all__ = [
    "boost_n",
    "exp_n",
    "ln_n",
    "add_n",
    "sub_n",
    "mul_n",
    "div_n",
    "sqrt_n",
    "sin_n",
    "cos_n",
    "tension_n",
    "pow_n",
    "christoffel_batch_n",
    "octonion_mul_n",
    "geometric_product_n",
]


def _export(name):
    # The native entries themselves, not Python wrappers: a call on a small array costs
    # about as much as a built-in function call.
    function = getattr(_native, name)
    function.__module__ = __name__
    return function


boost_n = _export("boost_n")
exp_n = _export("exp_n")
ln_n = _export("ln_n")
add_n = _export("add_n")
sub_n = _export("sub_n")
mul_n = _export("mul_n")
div_n = _export("div_n")
sqrt_n = _export("sqrt_n")
sin_n = _export("sin_n")
cos_n = _export("cos_n")
tension_n = _export("tension_n")
pow_n = _export("pow_n")
christoffel_batch_n = _export("christoffel_batch_n")
octonion_mul_n = _export("octonion_mul_n")
geometric_product_n = _export("geometric_product_n")
