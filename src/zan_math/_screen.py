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

from ._inputs import effective_rows

__all__ = ["kScreenFrom", "relevant_columns"]

kScreenFrom = 12        # fewer columns are all searched: a search over them costs a second or so
kBins = 5               # quantile bins per column (5 × 5 for a pair), at most ...
kFewestBins = 3         # ... and at least, on fewer rows: 3 bins still tell a trend and a bend
kRowsPerCell = 4        # the rows a pair's joint bin needs on average
kFalseKeep = 1e-3       # chance that an irrelevant column passes, over all tests
kKeepAtLeast = 4        # the best-ranked columns kept when none passes (a search on noise)
kRounds = 3             # tests again on what the kept columns leave unexplained
kExplained = 1e-9       # ... unless they explain all but this share of y's variance


def bin_count(rows: float) -> int | None:
    """The quantile bins per column that `rows` rows support (kRowsPerCell to each joint bin of
    a pair), or None when even kFewestBins are too many."""
    fitting = [b for b in range(kFewestBins, kBins + 1) if kRowsPerCell * b * b <= rows]
    return fitting[-1] if fitting else None


def _bins(column: np.ndarray, count: int) -> np.ndarray:
    """The quantile bin of each row, 0..count-1 (ties share a bin)."""
    edges = np.quantile(column, np.linspace(0, 1, count + 1)[1:-1])
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


def _tests(bins, count, y, w, candidates, partners, n, bar1, bar2) -> set[int]:
    """The candidates on which y (about its mean) depends: alone, or jointly with a partner
    beyond either (`count` bins per column)."""
    total = float(np.sum(y * y)) if w is None else float(np.sum(w * y * y))
    single = {i: _sse(bins[i], y, count, w) for i in set(candidates) | set(partners)}
    keep = {i for i in candidates
            if ((total - single[i]) / (count - 1)) / (max(single[i], 1e-300) / (n - count)) > bar1}
    pair_dof = count * count - count
    for i in candidates:
        for j in partners:
            if j == i or (j in candidates and j < i) or i in keep and j in keep:
                continue
            joint = _sse(bins[i] * count + bins[j], y, count * count, w)
            better = min(single[i], single[j])
            f2 = ((better - joint) / pair_dof) / (max(joint, 1e-300) / (n - count * count))
            if f2 > bar2:
                keep.add(i)
                if j in candidates:
                    keep.add(j)
    return keep


def _explained(columns: np.ndarray, y: np.ndarray, w: np.ndarray | None, kept: list[int]) -> np.ndarray:
    """What the kept columns explain of y: a least-squares polynomial of them (degree 3, or 2
    with many kept columns), smooth enough to take a law's main shape and leave the rest."""
    from itertools import combinations_with_replacement

    x = columns[kept]
    x = (x - x.mean(axis=1)[:, None]) / np.maximum(x.std(axis=1), 1e-300)[:, None]
    n = y.shape[0]
    for degree in (3, 2, 1):
        terms = [()] + [t for d in range(1, degree + 1) for t in combinations_with_replacement(range(len(kept)), d)]
        if len(terms) <= n // 3:
            break
    design = np.column_stack([np.prod(x[list(t)], axis=0) if t else np.ones(n) for t in terms])
    root = np.ones(n) if w is None else np.sqrt(w)
    coefficients = np.linalg.lstsq(design * root[:, None], y * root, rcond=None)[0]
    return design @ coefficients


def relevant_columns(columns: np.ndarray, target: np.ndarray,
                     weights: np.ndarray | None = None) -> tuple[int, ...] | None:
    """The indices of the columns to search, in order; None when all are (few columns). With
    weights the sums of squares are weighted, and the degrees of freedom count the rows that
    carry the weight ((Σw)²/Σw²: a row of tiny weight adds no evidence).

    A strong dependence hides a weak one in the spread it leaves; so after the first tests, what
    the kept columns explain (a smooth polynomial of them) is taken from y and the others are
    tested again on the rest, until no more is kept.
    """
    p, n = columns.shape
    if weights is not None:
        n = effective_rows(weights)
    count = bin_count(n)
    if p < kScreenFrom or count is None:
        return None
    mean = target.mean() if weights is None else np.sum(weights * target) / np.sum(weights)
    y = target - mean
    if not np.any(y):
        return None
    bins = [_bins(c, count) for c in columns]
    tests = p + p * (p - 1) // 2
    bar1 = _f_bar(count - 1, n - count, kFalseKeep / tests)
    bar2 = _f_bar(count * count - count, n - count * count, kFalseKeep / tests)
    everything = list(range(p))
    keep = _tests(bins, count, y, weights, everything, everything, n, bar1, bar2)
    for _ in range(kRounds):
        if not keep or len(keep) == p:
            break
        rest = y - _explained(columns, y, weights, sorted(keep))
        if np.sum(rest * rest) <= kExplained * np.sum(y * y):  # nothing left but rounding
            break
        more = _tests(bins, count, rest, weights, [i for i in everything if i not in keep], everything, n, bar1,
                      bar2)
        if not more:
            break
        keep |= more
    if not keep:
        single = np.array([_sse(b, y, count, weights) for b in bins])
        keep = set(np.argsort(single, kind="stable")[:kKeepAtLeast].tolist())
    return tuple(sorted(keep))
