"""Setting aside the columns that do not matter, before a search over many of them.

The search's cost grows with the number of variables far faster than with rows, so with many
columns (``kScreenFrom`` or more) each is first tested for any dependence of y on it: y's variance
explained by the column's quantile bins (one-way analysis of variance, any shape of dependence,
not only a straight line), and, for every pair, what the pair's joint bins explain beyond the
better of its two columns (a pure interaction such as x·y over a symmetric range shows in no
column alone). A column is kept when either test clears a bar that chance alone passes about
once in ``1/kFalseKeep`` tries over all the columns tested. The tests are deterministic.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["kScreenFrom", "relevant_columns"]

kScreenFrom = 12        # fewer columns are all searched: a search over them costs a second or so
kBins = 5               # quantile bins per column (5 × 5 for a pair)
kFalseKeep = 1e-3       # chance that an irrelevant column passes, over all tests
kKeepAtLeast = 4        # the best-ranked columns kept when none passes (a search on noise)


def _bins(column: np.ndarray) -> np.ndarray:
    """The quantile bin of each row, 0..kBins-1 (ties share a bin)."""
    edges = np.quantile(column, np.linspace(0, 1, kBins + 1)[1:-1])
    return np.searchsorted(edges, column, side="right").astype(np.int64)


def _sse(groups: np.ndarray, y: np.ndarray, count: int, w: np.ndarray | None = None) -> float:
    """Residual sum of squares of y about its mean within each group (weighted by w if given)."""
    if w is None:
        n = np.bincount(groups, minlength=count).astype(np.float64)
        s = np.bincount(groups, weights=y, minlength=count)
        s2 = np.bincount(groups, weights=y * y, minlength=count)
    else:
        n = np.bincount(groups, weights=w, minlength=count)
        s = np.bincount(groups, weights=w * y, minlength=count)
        s2 = np.bincount(groups, weights=w * y * y, minlength=count)
    with np.errstate(invalid="ignore", divide="ignore"):
        within = s2 - np.where(n > 0, s * s / n, 0.0)
    return float(max(np.sum(within), 0.0))


def _f_bar(dof_num: int, dof_den: int, p: float) -> float:
    """The F statistic that chance exceeds with probability p (Wilson–Hilferty's normal
    approximation of the F distribution; exact enough for a bar, and no SciPy needed)."""
    z = math.sqrt(2.0) * _erfc_inverse(2.0 * p)
    a, b = 2.0 / (9.0 * dof_num), 2.0 / (9.0 * dof_den)
    # P(F > f) = p  <=>  ((1-b) f^(1/3) - (1-a)) / sqrt(b f^(2/3) + a) = z
    low, high = 1e-6, 1e6
    for _ in range(200):
        mid = math.sqrt(low * high)
        c = mid ** (1.0 / 3.0)
        value = ((1 - b) * c - (1 - a)) / math.sqrt(b * c * c + a)
        low, high = (mid, high) if value < z else (low, mid)
    return high


def _erfc_inverse(q: float) -> float:
    low, high = 0.0, 10.0
    for _ in range(200):
        mid = 0.5 * (low + high)
        low, high = (mid, high) if math.erfc(mid) > q else (low, mid)
    return high


def relevant_columns(columns: np.ndarray, target: np.ndarray,
                     weights: np.ndarray | None = None) -> tuple[int, ...] | None:
    """The indices of the columns to search, in order; None when all are (few columns). With
    weights the sums of squares are weighted, and the degrees of freedom count the rows that
    carry the weight ((Σw)²/Σw²: a row of tiny weight adds no evidence)."""
    p, n = columns.shape
    if weights is not None:
        n = float(np.sum(weights)) ** 2 / float(np.sum(weights * weights))
    if p < kScreenFrom or n < 4 * kBins * kBins:
        return None
    if weights is None:
        y = target - target.mean()
        total = float(np.sum(y * y))
    else:
        y = target - np.sum(weights * target) / np.sum(weights)
        total = float(np.sum(weights * y * y))
    if total == 0.0:
        return None
    bins = [_bins(c) for c in columns]
    single = np.array([_sse(b, y, kBins, weights) for b in bins])
    tests = p + p * (p - 1) // 2
    bar1 = _f_bar(kBins - 1, n - kBins, kFalseKeep / tests)
    f1 = ((total - single) / (kBins - 1)) / (np.maximum(single, 1e-300) / (n - kBins))
    keep = set(np.flatnonzero(f1 > bar1).tolist())
    pair_dof = kBins * kBins - kBins
    bar2 = _f_bar(pair_dof, n - kBins * kBins, kFalseKeep / tests)
    for i in range(p):
        for j in range(i + 1, p):
            joint = _sse(bins[i] * kBins + bins[j], y, kBins * kBins, weights)
            better = min(single[i], single[j])
            f2 = ((better - joint) / pair_dof) / (max(joint, 1e-300) / (n - kBins * kBins))
            if f2 > bar2:
                keep.update((i, j))
    if not keep:
        keep = set(np.argsort(single, kind="stable")[:kKeepAtLeast].tolist())
    return tuple(sorted(keep))
