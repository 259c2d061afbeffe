"""The noise of a target, estimated from the data alone: each row's target predicted by a plane
fitted to its nearest neighbours (columns scaled to their range), the squared misses scaled by
what the plane's own error adds to them, averaged.

Neighbours differ by the noise of both plus what the law changes between them. A row's nearest
neighbour alone counts all of that change: in four to nine variables a thousand rows lie far
apart, and the law's slope between them outweighs a noise of 1% a hundred times over. The plane
takes the slope out and leaves only the law's curvature, so this is still an upper estimate, but
one that many fewer approximations fit under. It needs no formula, so it cannot be fooled by one
that fits the noise; on a target the columns do not explain at all it is the target's variance,
whatever the noise's distribution (the mean of the squares, not a quantile read as Gaussian).

A fit is then taken to fit within the noise (:func:`within_noise`) when it leaves no more than
this estimate, nor than the lowest loss any formula of the search leaves, widened by chance.
"""

from __future__ import annotations

import math

import numpy as np

from . import _native

__all__ = ["noise_bound", "noise_variance", "within_noise"]

# Rows the estimate reads at most (an evenly spread sample beyond): neighbours are found by
# brute force, rows × rows × variables.
kMaxRows = 2048
# Above this many variables the plane over the neighbours costs (rows × variables³) more than
# the estimate is worth: the nearest neighbour alone is read.
kMaxPlaneVariables = 24
# Neighbours beyond the plane's own constants: the fewest that leave its error measurable, as
# more, farther ones bring in more of the law's curvature.
kSpareNeighbours = 2
# Rows of the neighbours' planes solved at once, to bound the memory (rows × neighbours × variables).
kBlockRows = 256
# What the best of the searched formulas gains on the noise by chance, in units of the noise
# over the rows (the engine's own figure, where it holds the fits it snaps and chooses to it).
kChanceGain = _native.engine_defaults()["noise_chance_gain"]


def _scaled_points(columns: np.ndarray) -> np.ndarray:
    low = columns.min(axis=1)
    span = columns.max(axis=1) - low
    return ((columns - low[:, None]) / np.where(span > 0, span, 1.0)[:, None]).T


def _neighbour_order(points: np.ndarray) -> np.ndarray:
    """Every row's other rows, nearest first (ties by position: deterministic)."""
    squared = np.sum(points * points, axis=1)
    distance = squared[:, None] + squared[None, :] - 2.0 * points @ points.T
    np.fill_diagonal(distance, np.inf)
    return np.argsort(distance, axis=1, kind="stable")


def _plane_misses(points: np.ndarray, target: np.ndarray, near: np.ndarray) -> np.ndarray:
    """Each row's squared miss by the plane through its neighbours `near` (rows × k), divided by
    1 + the variance the plane's value at the row carries (in units of the noise), so that on
    pure noise each is the noise variance on average. A plane the neighbours do not determine
    (equal values in a column) is fitted in the directions they span."""
    rows, k = near.shape
    out = np.empty(rows)
    for start in range(0, rows, kBlockRows):
        block = slice(start, min(start + kBlockRows, rows))
        offsets = points[near[block]] - points[block][:, None, :]
        design = np.concatenate([np.ones(offsets.shape[:2] + (1,)), offsets], axis=2)
        gram = np.linalg.pinv(np.einsum("bki,bkj->bij", design, design), hermitian=True)
        coefficients = np.einsum("bij,bj->bi", gram, np.einsum("bki,bk->bi", design, target[near[block]]))
        miss = target[block] - coefficients[:, 0]
        out[block] = miss * miss / (1.0 + np.maximum(gram[:, 0, 0], 0.0))
    return out


def noise_variance(columns: np.ndarray, target: np.ndarray) -> float:
    """An estimate of the variance of the target's noise, from (variables × rows) columns."""
    # A row repeated (a whole-number weight written out) is one measurement: beside its copy
    # it would miss by nothing. Sorted, the rows are read in one order however they came.
    rows = np.unique(np.column_stack([columns.T, target]), axis=0)
    columns, target = np.ascontiguousarray(rows[:, :-1].T), np.ascontiguousarray(rows[:, -1])
    n = target.shape[0]
    if n < 3:
        return 0.0
    if n > kMaxRows:
        pick = (np.arange(kMaxRows, dtype=np.int64) * n) // kMaxRows
        columns, target = columns[:, pick], target[pick]
        n = kMaxRows
    points = _scaled_points(columns)
    order = _neighbour_order(points)
    variables = points.shape[1]
    k = variables + 1 + kSpareNeighbours
    with np.errstate(over="ignore", invalid="ignore"):  # a target near the largest floats: inf
        if variables > kMaxPlaneVariables or k > n - 1:
            nearest = order[:, 0]
            return float(0.5 * np.mean((target - target[nearest]) ** 2))
        misses = _plane_misses(points, target, order[:, :k])
        return float(np.mean(misses)) if np.all(np.isfinite(misses)) else math.inf


def noise_bound(columns: np.ndarray, target: np.ndarray) -> float:
    """The noise variance a fit may leave and still be taken to fit within the noise: the
    estimate widened by three standard errors of a variance measured on this many rows."""
    rows = target.shape[0]
    if rows < 3:
        return 0.0
    return noise_variance(columns, target) * (1.0 + 3.0 * math.sqrt(2.0 / rows))


def within_noise(bound: float, lowest: float, rows: int) -> float:
    """The loss a formula may leave and still fit within the noise: no more than the data's
    `bound` (:func:`noise_bound`), nor than the `lowest` loss any formula leaves on these `rows`,
    widened by what the best of many formulas gains on the noise by chance."""
    return min(bound, lowest * (1.0 + kChanceGain / max(rows, 1)))
