"""The noise of a target, estimated from the data alone: half the mean squared difference of y
between each row and its nearest neighbour (columns scaled to their range).

Where the rows are dense, neighbours differ by the noise of both plus what the law changes
between them, so this is an upper estimate: a formula whose loss is below it fits as well as the
data can tell. It needs no formula, so it cannot be fooled by one that fits the noise.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["noise_bound", "noise_variance"]

# Rows the estimate reads at most (an evenly spread sample beyond): neighbours are found by
# brute force, rows × rows × variables.
kMaxRows = 2048


def noise_variance(columns: np.ndarray, target: np.ndarray) -> float:
    """An estimate of the variance of the target's noise, from (variables × rows) columns."""
    n = target.shape[0]
    if n < 3:
        return 0.0
    if n > kMaxRows:
        pick = (np.arange(kMaxRows, dtype=np.int64) * n) // kMaxRows
        columns, target = columns[:, pick], target[pick]
    span = columns.max(axis=1) - columns.min(axis=1)
    scaled = (columns - columns.min(axis=1)[:, None]) / np.where(span > 0, span, 1.0)[:, None]
    points = scaled.T
    squared = np.sum(points * points, axis=1)
    distance = squared[:, None] + squared[None, :] - 2.0 * points @ points.T
    np.fill_diagonal(distance, np.inf)
    nearest = np.argmin(distance, axis=1)  # the first of equals: deterministic
    with np.errstate(over="ignore"):  # a target near the largest floats: the estimate is inf
        return float(0.5 * np.mean((target - target[nearest]) ** 2))


def noise_bound(columns: np.ndarray, target: np.ndarray) -> float:
    """The noise variance a fit may leave and still be taken to fit within the noise: the
    estimate widened by three standard errors of a variance measured on this many rows."""
    rows = target.shape[0]
    if rows < 3:
        return 0.0
    return noise_variance(columns, target) * (1.0 + 3.0 * math.sqrt(2.0 / rows))
