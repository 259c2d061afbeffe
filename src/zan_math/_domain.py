"""Formulas that hold beyond the rows: each is admitted only on a box around the data.

A formula fitted to rows can have no value a little past them (``log(2.744 - sqrt(log(x)))``
ends at x = 1,863 when the rows end at 1,827) or grow without bound there (``5.97e-48·x**16``).
So every formula of the front must, on the box the rows span widened by a margin on each side,
have a value everywhere and stay within ``kBound`` times the target's range of its middle; the
engine decides it by interval arithmetic over the program, halving the box where that cannot
decide, then by dense samples. A formula that fits exactly needs only the rows' own box: a law's
own domain edge just past the data (m/√(1 − v²/c²) as v nears c) is no overfit.

A column that keeps one sign keeps it on the widened box (a mass stays positive).

A formula that fits within the noise of the data and has at most ``kFewConstants`` fitted
constants is taken for a law: like an exact fit it needs only the rows' own box (the noise is
estimated from the rows alone, by :mod:`zan_math._noise`), where it must have a value but may
grow as it will: with many variables the rows fill their box thinly, and a law's corners lie far
past the target's range on the rows.

Between the rows, a periodic term must be sampled by them (:func:`aliased`): ``cos(body)`` over
bodies of 5 g to 6.6 t turns a thousand times across 62 rows, and its values there are as good
as random numbers that a fit can match to the noise.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np

from . import _native
from ._operators import operators

__all__ = ["kBound", "kNearExactNmse", "rows_box", "widened", "admitted", "aliased", "holds_at_zero"]

# How far past the target's observed range a formula may go on the box: a multiple of it.
kBound = 10.0
# A formula this close to exact needs only the rows' own box.
kNearExactNmse = 1e-12
# A formula within the noise, with at most this many fitted constants, is taken for a law.
kFewConstants = 2

Box = tuple[tuple[float, float], ...]


def rows_box(columns: np.ndarray) -> Box:
    """(low, high) of each (variables × rows) column."""
    return tuple((float(c.min()), float(c.max())) for c in columns)


def widened(box: Box, margin: float) -> Box:
    """The box with each side widened by `margin` of its width on both ends; a column of one
    sign keeps it (a mass stays positive): its end nearest zero moves at most `margin` of its
    own distance to zero."""
    out = []
    for low, high in box:
        width = (high - low) * margin
        new_low, new_high = low - width, high + width
        if low > 0:
            new_low = max(new_low, low * (1.0 - margin)) if margin < 1 else low / (1.0 + margin)
        if high < 0:
            new_high = min(new_high, high * (1.0 - margin)) if margin < 1 else high / (1.0 + margin)
        out.append((new_low, new_high))
    return tuple(out)


def given_box(domain: Mapping[str, Sequence[float]], names: Sequence[str], box: Box) -> Box:
    """`box` widened to the user's sides of the named variables (checked (low, high) pairs)."""
    unknown = [k for k in domain if k not in names]
    if unknown:
        raise ValueError(f"domain names {', '.join(repr(u) for u in unknown)}, which is not a variable "
                         f"(variables: {', '.join(names)})")
    out = list(box)
    for i, name in enumerate(names):
        if name in domain:  # each (low, high) checked with the other options
            low, high = domain[name]
            out[i] = (min(low, box[i][0]), max(high, box[i][1]))
    return tuple(out)


kLargest = 1.7976931348623157e308


def admitted(program, constants, box: Box, target: np.ndarray, bounded: bool = True) -> bool:
    """Whether the formula has a value on all of `box`, within kBound target ranges of its middle
    when `bounded`."""
    low, high = float(target.min()), float(target.max())
    span = high - low
    bound = (kBound + 0.5) * span if span > 0 and bounded else kLargest
    shifted = tuple(program) + (("const", 0.5 * (low + high)), ("op", "sub"))
    return _native.admit(shifted, constants, [b[0] for b in box], [b[1] for b in box], min(bound, kLargest))


# Rows a periodic term needs per turn of its argument across them (the sampling theorem's two):
# sampled more thinly, its values at the rows are aliased, as good as drawn at random, and a fit
# through them (brain mass against 2.9·body·cos(cos(body))², body from 5 g to 6.6 t on 62
# rows: a thousand turns) matches the rows' noise, not a law.
kRowsPerPeriod = 2.0


def _operand_start(program, end: int) -> int:
    """The first token of the operand that ends at token `end` of a postfix program."""
    table = operators()
    needed, k = 1, end
    while needed:
        kind, value = program[k]
        needed += table[value].arity - 1 if kind == "op" else -1
        k -= 1
    return k + 1


def aliased(program, constants, columns: np.ndarray) -> bool:
    """Whether a periodic operator of the program turns through more periods across the rows
    (the range of its argument there) than the rows sample, kRowsPerPeriod to a period."""
    table = operators()
    count = columns.shape[1]
    for k, (kind, value) in enumerate(program):
        if kind != "op" or not table[value].period > 0.0:
            continue
        argument = tuple(program[_operand_start(program, k - 1):k])
        values = np.empty(count)
        _native.predict(argument, tuple(constants), columns, values)
        finite = values[np.isfinite(values)]
        if finite.size and (finite.max() - finite.min()) / table[value].period > count / kRowsPerPeriod:
            return True
    return False


def holds_at_zero(program, constants, columns: np.ndarray, margin: float) -> bool:
    """Whether the formula has a value on every row with any one column set to 0, of the columns
    that keep one sign but stop short of 0 by less than `margin` of their range: the widened box
    keeps their sign (see :func:`widened`), yet 0 may be their next value (10 °C, 00:20)."""
    values = np.empty(columns.shape[1])
    at_zero = None  # the rows, one column at a time set to 0 and back
    for j, column in enumerate(columns):
        low, high = float(column.min()), float(column.max())
        if low * high <= 0 or min(abs(low), abs(high)) > margin * (high - low):
            continue
        if at_zero is None:
            at_zero = np.array(columns, dtype=np.float64, copy=True)
        at_zero[j] = 0.0
        _native.predict(tuple(program), tuple(constants), at_zero, values)
        at_zero[j] = column
        if not np.isfinite(values).all():
            return False
    return True
