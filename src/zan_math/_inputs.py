"""The data a discovery reads, checked once: X as (variables × rows) float64 columns, y as rows.

Only finite real numbers pass. Complex values are refused rather than cut to their real part,
and dates, times and text are refused rather than read as numbers they are not; each message
names what is wrong and where.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["default_names", "names_of", "columns_of", "target_of", "weights_of", "effective_rows", "frame_columns"]

# dtype kinds that are real numbers: bool, signed, unsigned, float
_REAL_KINDS = "biuf"
# Text is read as numbers where it spells them (as NumPy does), else refused as not numeric.
_REFUSED_KINDS = {"c": "complex numbers", "M": "dates", "m": "time spans", "V": "records"}


def default_names(n: int) -> tuple[str, ...]:
    return ("x",) if n == 1 else tuple(f"x{i}" for i in range(n))


def names_of(names: Any, frame_names: tuple[str, ...] | None, n_vars: int) -> tuple[str, ...]:
    """The variables' names: those given (distinct, one per variable), else a DataFrame's column
    names, else x0, x1, ... (x alone for one variable)."""
    if names is None:
        return frame_names or default_names(n_vars)
    if isinstance(names, str):
        raise TypeError("names must be a sequence of names, one per variable, not one string")
    names = tuple(str(n) for n in names)
    if len(names) != n_vars:
        raise ValueError(f"names has {len(names)} entries for {n_vars} variables")
    if len(set(names)) != len(names):
        raise ValueError("names must be distinct")
    return names


def _refuse_kind(kind: str, what: str) -> None:
    if kind in _REFUSED_KINDS:
        raise TypeError(f"{what} holds {_REFUSED_KINDS[kind]}; only real numbers can be searched or evaluated")


def _real_array(data: Any, what: str) -> np.ndarray:
    """`data` as float64, refusing complex numbers, dates and times (also as items of an object
    array)."""
    raw = data if isinstance(data, np.ndarray) else None
    if raw is None:
        try:
            raw = np.asarray(data)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{what} must be numeric: {exc}") from exc
    _refuse_kind(raw.dtype.kind, what)
    if raw.dtype.kind == "O":
        for item in raw.flat:
            if isinstance(item, (complex, np.complexfloating)) and not isinstance(item, (float, int)):
                raise TypeError(f"{what} holds a complex number ({item!r}); only real numbers can be searched")
            if isinstance(item, (np.datetime64, np.timedelta64)) or hasattr(item, "isoformat"):
                raise TypeError(f"{what} holds a date or time ({item!r}); only real numbers can be searched")
    try:
        return np.asarray(raw, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must be numeric: {exc}") from exc


def _is_frame(X: Any) -> bool:
    return getattr(X, "columns", None) is not None and hasattr(X, "to_numpy") and getattr(X, "ndim", 2) == 2


def _frame_data(X: Any, labels: list) -> np.ndarray:
    """A DataFrame's columns as float64, naming the first column that is not real numbers."""
    for label, dtype in zip(labels, list(getattr(X, "dtypes", ()))):
        kind = getattr(dtype, "kind", "O")
        _refuse_kind(kind, f"column {str(label)!r} of X")
        if kind == "O":
            _real_array(X[label].to_numpy(), f"column {str(label)!r} of X")
    try:
        return X.to_numpy(dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"X has a column that is not numeric: {exc}") from exc


def columns_of(X: Any, *, allow_nonfinite: bool, expect: int | None = None):
    """X as a C-contiguous (variables × rows) float64 array, and its column names if any."""
    names = None
    if _is_frame(X):
        labels = list(X.columns)
        names = tuple(str(c) for c in labels)
        data = _frame_data(X, labels)
    else:
        data = _real_array(X, "X")
    if data.ndim == 1:
        data = data.reshape(-1, 1)
    if data.ndim != 2:
        raise ValueError(f"X must be 2-D (rows × variables), got {data.ndim} dimensions")
    if data.shape[1] == 0:
        raise ValueError("X is empty: it has no variables")
    if expect is not None and data.shape[1] != expect:
        raise ValueError(f"X has {data.shape[1]} variables, the formula {expect}")
    if not allow_nonfinite and not np.isfinite(data).all():
        row, col = np.argwhere(~np.isfinite(data))[0]
        raise ValueError(f"X has a non-finite value ({data[row, col]}) at row {row}, column {col}")
    return np.ascontiguousarray(data.T), names


def frame_columns(X: Any, names: tuple[str, ...]):
    """The (variables × rows) columns of a DataFrame X read by the formula's variable names.

    None when X is not a DataFrame, or when its columns are not labelled by text (a frame made
    from a bare array, read by position). A frame labelled by text that lacks one of the names
    is refused: reading it by position could silently compute with the wrong columns.
    """
    if not _is_frame(X):
        return None
    labels = list(X.columns)
    if not all(isinstance(c, str) for c in labels):
        return None
    missing = [n for n in names if n not in labels]
    if missing:
        raise ValueError(
            f"X has no column named {', '.join(repr(m) for m in missing)} (it has {', '.join(repr(c) for c in labels)}); "
            "the formula reads a DataFrame's columns by name (pass X.to_numpy() to read them by position)"
        )
    return columns_of(X[list(names)], allow_nonfinite=True, expect=len(names))[0]


def target_of(y: Any, rows: int) -> np.ndarray:
    target = _real_array(y.to_numpy() if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray) else y, "y")
    if target.ndim == 2 and target.shape[1] == 1:
        target = target[:, 0]
    if target.ndim != 1:
        raise ValueError(f"y must be 1-D, got shape {target.shape}")
    if target.shape[0] != rows:
        raise ValueError(f"X has {rows} rows but y has {target.shape[0]}")
    if not np.isfinite(target).all():
        i = int(np.argwhere(~np.isfinite(target))[0][0])
        raise ValueError(f"y has a non-finite value ({target[i]}) at row {i}")
    return np.ascontiguousarray(target)


# The most rows' worth of weight taken as given (see weights_of).
kMaxTotalWeight = 2.0**128
# The widest ratio of two positive weights: beyond it the lighter row adds nothing to the heavier
# in float64 (w + v == w), so it counts for nothing, and the heavier row's rounding, weighted,
# outweighs all the lighter rows say (one row weighted 1e30 gave "0*x + 5.5" with R² 1).
kWeightSpan = 2.0**53


def weights_of(w: Any, rows: int) -> np.ndarray | None:
    """sample_weight as one finite, non-negative float64 weight per row, not all zero; None
    stays None (every row counts once). A weight of 2 counts like the row given twice."""
    if w is None:
        return None
    weights = _real_array(w.to_numpy() if hasattr(w, "to_numpy") and not isinstance(w, np.ndarray) else w,
                          "sample_weight")
    if weights.ndim != 1:
        raise ValueError(f"sample_weight must be 1-D, one weight per row, got shape {weights.shape}")
    if weights.shape[0] != rows:
        raise ValueError(f"X has {rows} rows but sample_weight has {weights.shape[0]}")
    if not np.isfinite(weights).all():
        i = int(np.argwhere(~np.isfinite(weights))[0][0])
        raise ValueError(f"sample_weight has a non-finite value ({weights[i]}) at row {i}")
    if (weights < 0).any():
        i = int(np.argwhere(weights < 0)[0][0])
        raise ValueError(f"sample_weight has a negative value ({weights[i]}) at row {i}")
    if not (weights > 0).any():
        raise ValueError("sample_weight must not be all zero")
    heaviest = int(np.argmax(weights))
    lightest = int(np.argmin(np.where(weights > 0, weights, np.inf)))
    # divided, not multiplied: a light weight near the largest float times the span is no float
    if weights[heaviest] / kWeightSpan > weights[lightest]:
        raise ValueError(
            f"sample_weight spans more than float64 holds apart: row {heaviest} weighs "
            f"{weights[heaviest]:.3g}, row {lightest} {weights[lightest]:.3g}; beyond 2**53 to 1 a lighter row "
            "counts for nothing beside the heavier (give it weight 0, or bring the weights closer)")
    # a total past kMaxTotalWeight rows is evidence without end either way, and Σw·r² would
    # overflow: the weights are scaled down by a power of two, which keeps every ratio exact
    excess = math.log2(float(weights[heaviest])) + math.log2(rows) - math.log2(kMaxTotalWeight)
    if excess > 0:
        weights = np.ldexp(weights, -math.ceil(excess))
    return np.ascontiguousarray(weights)


def effective_rows(weights: np.ndarray) -> float:
    """How many rows the weights are worth as evidence, (Σw)²/Σw²: a common scale leaves it
    alone, and it is taken on the weights over their largest, which neither overflows nor
    underflows whatever that scale."""
    share = weights / np.max(weights)
    return float(np.sum(share)) ** 2 / float(np.sum(share * share))
