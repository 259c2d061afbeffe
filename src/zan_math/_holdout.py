"""Choosing the formula by rows it did not see: K-fold cross-validation across the front.

Every formula of the front has its constants refitted (by the engine's Levenberg–Marquardt, from
the values found) on K−1 folds and is measured on the fold left out; the constant, the mean of the
training folds, is measured the same way. Folds are fixed by the rows' positions (row i is in fold
i mod K), so the choice is deterministic. Among the formulas whose held-out error is within one
standard error of the lowest, the simplest is chosen (the one-standard-error rule): it returns the
law on data that follow one, and the constant on data that follow none. On few rows, where the
search itself is run again per fold, candidates are compared by their errors on the same rows
(:func:`paired_choice`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction
from statistics import NormalDist

import numpy as np

from . import _native
from ._inputs import effective_rows
from ._operators import snap_constants

__all__ = ["kFolds", "HeldOut", "held_out_errors", "choose", "paired_choice", "plane", "plane_beats", "plane_error",
           "plane_is_candidate"]

kFolds = 5
# Rows of the cross-validation: an evenly spread sample of larger data, as the search's own.
kMaxRows = 4096
# Held-out errors this close to zero, relative to the target's variance, are rounding alone:
# they count as equal, as the front's own losses do below the same floor.
kFloor = 1e-14


@dataclass(frozen=True)
class HeldOut:
    """A formula's mean squared error on held-out rows, and its standard error."""

    loss: float
    standard_error: float


def _sample(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None):
    n = target.shape[0]
    if n <= kMaxRows:
        return columns, target, weights
    pick = (np.arange(kMaxRows, dtype=np.int64) * n) // kMaxRows
    return np.ascontiguousarray(columns[:, pick]), target[pick], None if weights is None else weights[pick]


def _summary(squared: np.ndarray, weights: np.ndarray | None = None) -> HeldOut:
    """The (weighted) mean of the squared errors and its standard error; a weight counts as
    that many rows."""
    if not np.all(np.isfinite(squared)):
        return HeldOut(math.inf, math.inf)
    if weights is None:
        return HeldOut(float(np.mean(squared)), float(np.std(squared) / math.sqrt(squared.size)))
    total = float(np.sum(weights))
    mean = float(np.sum(weights * squared) / total)
    spread = float(np.sum(weights * (squared - mean) ** 2) / total)
    return HeldOut(mean, math.sqrt(spread / total))


def weighted_mean(values: np.ndarray, weights: np.ndarray | None) -> float:
    return float(np.mean(values)) if weights is None else float(np.sum(weights * values) / np.sum(weights))


# The rounding of a target's values relative to their root mean square (the engine's): a target
# whose spread is within it is one number up to its last bits (0.3 on thirty rows, whose mean is
# not 0.3), and losses within it are not told apart.
kTargetRounding = _native.engine_defaults()["target_rounding"]


def _mean_square(values: np.ndarray, weights: np.ndarray | None) -> float:
    with np.errstate(over="ignore"):
        return weighted_mean(values * values, weights)


def weighted_variance(values: np.ndarray, weights: np.ndarray | None) -> float:
    """The (weighted) variance of a target; 0 for one number up to the rounding of its values
    (see kTargetRounding); inf for values in units whose square passes the floats (1e200),
    which every caller takes as "no bound" (the search itself sees them scaled)."""
    with np.errstate(over="ignore"):
        if weights is None:
            variance = float(np.var(values))
        else:
            mean = weighted_mean(values, weights)
            variance = float(np.sum(weights * (values - mean) ** 2) / np.sum(weights))
    return 0.0 if variance <= kTargetRounding**2 * _mean_square(values, weights) else variance


def loss_floor(target: np.ndarray, weights: np.ndarray | None) -> float:
    """The loss under which formulas are not told apart, as in the search: kFloor of the
    target's variance, and never below the rounding of its values."""
    rounding = kTargetRounding**2 * _mean_square(target, weights)
    return max(kFloor * weighted_variance(target, weights), rounding if math.isfinite(rounding) else 0.0)


# Constants that give a formula its shape (1 − v², x + 1, 2·x) rather than a fitted value.
_STRUCTURAL = frozenset((-2.0, -1.0, 0.0, 1.0, 2.0))
_MAX_PARAMS = _native.engine_defaults()["max_constants"]  # the engine's Levenberg–Marquardt problem size


def fitted_count(program) -> int:
    """How many of the program's constants were fitted to the data (snapped ones included)."""
    return sum(1 for kind, value in program if kind == "param" or (kind == "const" and float(value) not in _STRUCTURAL))


def free_constants(program, constants):
    """The program with every fitted value a parameter: snapped constants were fitted too, and a
    held-out check that kept them fixed would credit the formula with what all rows taught it."""
    tokens, values = [], list(constants)
    for kind, value in program:
        if kind == "const" and float(value) not in _STRUCTURAL and len(values) < _MAX_PARAMS:
            tokens.append(("param", len(values)))
            values.append(float(value))
        else:
            tokens.append((kind, value))
    return tuple(tokens), tuple(values)


@dataclass(frozen=True)
class _Fold:
    x_train: np.ndarray
    y_train: np.ndarray
    w_train: np.ndarray | None
    x_test: np.ndarray
    y_test: np.ndarray
    w_test: np.ndarray | None


# The seed of the second partition's fixed shuffle of the rows (see :func:`_splits`).
kSecondPartitionSeed = 20261209


def _leaves_one_out(rows: int) -> bool:
    """Whether `rows` are too few for K folds, and each is held out alone."""
    return rows < 2 * kFolds


def _splits(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None,
            second: bool = False) -> list[_Fold]:
    """The training and test rows of each fold, with their weights (None: unweighted). The
    folds take every K-th row; with `second`, every K-th row of a fixed shuffle of them, a
    partition whose luck is not the first's (few rows: leave one out, which has no second)."""
    columns, target, weights = _sample(columns, target, weights)
    n = target.shape[0]
    folds = np.arange(n) if _leaves_one_out(n) else np.arange(n) % kFolds
    if second and not _leaves_one_out(n):
        folds = folds[np.random.default_rng(kSecondPartitionSeed).permutation(n)]
    splits = []
    for fold in range(int(folds.max()) + 1):
        splits.append(_holding_out(folds == fold, columns, target, weights))
    return splits


def _holding_out(test: np.ndarray, columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None) -> _Fold:
    """The fold whose test rows are those of the mask `test`, its training rows the others."""
    return _Fold(np.ascontiguousarray(columns[:, ~test]), target[~test],
                 None if weights is None else np.ascontiguousarray(weights[~test]),
                 np.ascontiguousarray(columns[:, test]), target[test],
                 None if weights is None else weights[test])


def mean_squared(fold: _Fold) -> np.ndarray:
    """The squared errors on a fold's test rows of its training rows' (weighted) mean."""
    return (fold.y_test - weighted_mean(fold.y_train, fold.w_train)) ** 2


def _fold_labels(folds: list[_Fold]) -> np.ndarray:
    """Each test row's fold, in the order the folds' test rows are joined."""
    return np.concatenate([np.full(fold.y_test.shape[0], k) for k, fold in enumerate(folds)])


def _joined(parts, weights):
    squared = np.concatenate(parts)
    return squared, (None if weights[0] is None else np.concatenate(weights))


def plane_design(columns: np.ndarray) -> np.ndarray:
    """The rows' design for Σ c_j·column_j + c_0: a row per row, the intercept's ones last."""
    return np.vstack([columns, np.ones(columns.shape[1])]).T


def _plane_system(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None):
    """The least-squares system of target ≈ Σ c_j·column_j + c_0 (intercept last), each row
    scaled by the root of its weight: (design, target)."""
    design = plane_design(columns)
    if weights is None:
        return design, target
    root = np.sqrt(weights)
    return design * root[:, None], target * root


def plane_fit(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None) -> np.ndarray:
    """(Weighted) least-squares coefficients of the plane (intercept last)."""
    return np.linalg.lstsq(*_plane_system(columns, target, weights), rcond=None)[0]


def plane(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None):
    """The least-squares plane over every column that varies as (program, constants, mean squared
    error): with many weakly relevant columns it is hard to beat, and always a candidate. A column
    of one value is left out: least squares would give it a share of the intercept, a slope that
    means nothing and moves the plane wherever that column moves."""
    return fitted_form(columns, target, weights)


def fitted_form(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None, fit=plane_fit,
                link=None):
    """The plane over the columns that vary, its coefficients (intercept last) fitted by `fit(x,
    y, w)` on all the rows, seen through `link` when given (operator name, its value function):
    (program, constants, mean squared error), or None where `fit` gives None."""
    varying = varying_columns(columns)
    coefficients = fit(columns[varying], target, weights)
    if coefficients is None:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        residual = _through(link, coefficients[:-1] @ columns[varying] + coefficients[-1]) - target
    program = plane_program(varying) + ((("op", link[0]),) if link else ())
    return program, tuple(float(c) for c in coefficients), weighted_mean(residual * residual, weights)


def _through(link, plane_values: np.ndarray) -> np.ndarray:
    return plane_values if link is None else link[1](plane_values)


def varying_columns(columns: np.ndarray) -> np.ndarray:
    """The indices of the columns that take more than one value."""
    return np.flatnonzero(np.ptp(columns, axis=1) > 0)


def plane_program(variables) -> tuple:
    """The program Σ c_k·x_j + c (j over `variables`, k their position; the intercept last)."""
    program: list = []
    for k, j in enumerate(variables):
        program += [("var", int(j)), ("param", k), ("op", "mul")] + ([("op", "add")] if k else [])
    program += [("param", len(variables))] + ([("op", "add")] if len(variables) else [])
    return tuple(program)


# Rows beyond the plane's constants that a table must have for the plane to be a candidate.
kPlaneSpareRows = 2


# The plane replaces the mean, whatever the bound of the folds says, when the F-test of its
# slopes on all the rows rejects "no slope" at this level, unless the mean beats it on held-out
# rows by one standard error and on most of them. Its form is fixed before the data are seen, so
# the classical test holds for it exactly (under normal noise); on a weak trend over few rows it
# is far steadier than held-out errors of a dozen rows per fold, which then pick the line or the
# mean by the luck of the folds. Under no relation at all the test passes one time in twenty; on
# twenty columns of noise the plane then predicts new rows clearly worse than the mean, and the
# folds say so. On a skewed target (counts in the thousands) a few far rows can carry the mean's
# gain while the plane is the closer on most rows: that is no overfit, and the plane stands.
kPlaneLevel = 0.05


def _mean_overturns(plane_rows, mean_rows, weights) -> bool:
    """Whether the mean's held-out errors beat a plane that passed its F-test: by one standard
    error of the paired difference, and on more than half the rows (by weight)."""
    return _closer_share(mean_rows, plane_rows, weights) > 0.5 and _beats(plane_rows, mean_rows, weights,
                                                                         kOneStandardError)


def _regularized_beta(x: float, a: float, b: float) -> float:
    """I_x(a, b), the regularized incomplete beta function, by its continued fraction (modified
    Lentz), taken on the side of x where it converges fast."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    if x > (a + 1.0) / (a + b + 2.0):
        return 1.0 - _regularized_beta(1.0 - x, b, a)
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)) / a
    tiny, c, d = 1e-300, 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    value = d
    for m in range(1, 400):
        for numerator in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                          -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            value *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return front * value


def f_survival(f: float, numerator: int, denominator: int) -> float:
    """P(F > f) for Fisher's F with the given degrees of freedom."""
    if not f > 0.0:
        return 1.0
    if math.isinf(f):
        return 0.0
    return _regularized_beta(denominator / (denominator + numerator * f), denominator / 2.0, numerator / 2.0)


def plane_significance(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None) -> float:
    """The p-value of the F-test of the (weighted) least-squares plane against the mean: 1 where
    the rows leave no degree of freedom to test it, or the columns add nothing to the mean.
    Weighted rows count as their effective number, (Σw)²/Σw², which a common scale of the
    weights leaves alone."""
    rows = target.shape[0] if weights is None else effective_rows(weights)
    design, scaled = _plane_system(columns, target, weights)
    coefficients, _, rank, _ = np.linalg.lstsq(design, scaled, rcond=None)
    slopes, spare = rank - 1, rows - rank
    if slopes < 1 or not spare >= 1.0:
        return 1.0
    residual = float(np.sum((design @ coefficients - scaled) ** 2))
    # the mean's residual: Σw·(y − ȳ)²
    total = weighted_variance(target, weights) * (target.shape[0] if weights is None else float(np.sum(weights)))
    explained = total - residual
    if not explained > 0.0:
        return 1.0
    if residual <= 0.0:
        return 0.0
    return f_survival((explained / slopes) / (residual / spare), slopes, spare)


def plane_is_significant(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None) -> bool:
    """Whether the plane's slopes are told apart from none at kPlaneLevel."""
    return plane_significance(columns, target, weights) < kPlaneLevel


def plane_is_candidate(columns: int, rows: int) -> bool:
    """Whether the least-squares plane over `columns` columns is weighed on `rows` rows."""
    return columns + 1 + kPlaneSpareRows <= rows


def plane_squared(fold: _Fold, fit=plane_fit, link=None) -> np.ndarray:
    """The plane's squared errors on a fold's test rows, fitted by `fit` on its training rows and
    seen through `link` as :func:`fitted_form` does (infinite where the training rows are too few
    to fit it, the fit fails or there is no value)."""
    if fold.y_train.shape[0] <= fold.x_train.shape[0] + 1:
        return np.full(fold.y_test.shape[0], math.inf)
    c = fit(fold.x_train, fold.y_train, fold.w_train)
    if c is None:
        return np.full(fold.y_test.shape[0], math.inf)
    with np.errstate(over="ignore", invalid="ignore"):
        error = (_through(link, c[:-1] @ fold.x_test + c[-1]) - fold.y_test) ** 2
    return np.where(np.isnan(error), math.inf, error)


def plane_error(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None) -> HeldOut:
    """The plane's held-out error, fitted in closed form on each fold's training rows."""
    folds = _splits(columns, target, weights)
    return _summary(*_joined([plane_squared(f) for f in folds], [f.w_test for f in folds]))


def held_out_errors(programs, columns: np.ndarray, target: np.ndarray,
                    weights: np.ndarray | None = None) -> tuple[list[HeldOut], HeldOut]:
    """The (weighted) held-out error of each (program, constants), and that of the constant."""
    splits = _splits(columns, target, weights)
    tested = [fold.w_test for fold in splits]
    constant = [mean_squared(fold) for fold in splits]
    results = []
    for program, constants in programs:
        squared = _refitted_squared(program, constants, splits)
        results.append(HeldOut(math.inf, math.inf) if squared is None else _summary(*_joined(squared, tested)))
    return results, _summary(*_joined(constant, tested))


def _refitted_squared(program, constants, splits: list[_Fold]) -> list[np.ndarray] | None:
    """A formula's squared errors on each fold's test rows, its fitted constants refitted on the
    fold's training rows; None where a refit fails or has no rows to spare."""
    program, constants = free_constants(program, constants)
    squared = []
    for fold in splits:
        fitted, _, ok = (_native.refit(program, constants, fold.x_train, fold.y_train, fold.w_train)
                         if constants else (constants, 0, True))
        if not ok or len(constants) >= fold.y_train.shape[0]:
            return None
        out = np.empty(fold.y_test.shape[0])
        _native.predict(program, fitted, fold.x_test, out)
        squared.append((out - fold.y_test) ** 2)
    return squared


def _plain_rational(value: float) -> bool:
    """Whether `value` is one of the plain fractions the engine snaps to: p/q with q and |p|/q
    within its snapping limits (3, 1/2, 6/7, 11; not 26π²/5 or 9e)."""
    snapping = snap_constants()
    ratio = Fraction(value).limit_denominator(snapping["max_denominator"])
    return (0 < abs(ratio.numerator) <= snapping["max_numerator"] * ratio.denominator
            and abs(ratio.numerator / ratio.denominator - value) <= 4 * math.ulp(value))


def _simple_law(program) -> bool:
    """Whether a program's constants are all plain fractions, none fitted: the data fixed each of
    them to a simple value, which happens only within the noise."""
    return all(kind != "param" and (kind != "const" or float(value) in _STRUCTURAL or _plain_rational(float(value)))
               for kind, value in program)


def plane_beats(rival, columns: np.ndarray, all_columns: np.ndarray, target: np.ndarray,
                weights: np.ndarray | None = None, tries: int = 1) -> bool:
    """Whether the plane of `all_columns` predicts held-out rows better than `rival` (a
    (program, constants) over `columns`, or None for the constant). The constant, and a law of
    plain fractions (`3*x + 1` under 1% noise: its line is `2.986*x + 1.0116`), must be beaten by
    more than one standard error of their paired difference (the constant need not be when the
    plane's F-test passes, unless it beats the plane so and on most rows: see kPlaneLevel): a law
    keeps its simple constants unless the plane's free ones do clearly better on rows they did not
    see. Any other formula must beat the plane by one standard error in turn: its shape was
    chosen on all the rows, which flatters its refits, while the plane's form was fixed before
    the data were seen. Constants snapped to values as dense as 26π²/5 or 9e lie within the noise
    of any slope fitted to a percent, and ten columns of which five matter make sums of such tied
    slopes that refit a little better than the plane and predict new rows a little worse.
    A formula that leaves more than kLawShare of the target's variance on held-out rows is no law
    the rows fixed, plain fractions or not (on a weak signal every constant lies within the noise
    of some plain fraction): it must beat the plane by the bound that leaves the best of `tries`
    shapes the one-standard-error rule's chance (see :func:`tries_bound`), and on kFoldsWon of
    the folds, as it was chosen among those tries on all the rows."""
    splits, whole = _splits(columns, target, weights), _splits(all_columns, target, weights)
    if rival is None:
        theirs = [mean_squared(fold) for fold in splits]
    else:
        theirs = _refitted_squared(*rival, splits)
        if theirs is None:
            return True
    tested = [fold.w_test for fold in splits]
    rival_rows, tested_weights = _joined(theirs, tested)
    rival_loss, variance = weighted_mean(rival_rows, tested_weights), weighted_variance(target, weights)
    if rival_loss <= loss_floor(target, weights):
        return False  # a law fitted to rounding is not replaced by a plane as close
    plane_rows, plane_weights = _joined([plane_squared(fold) for fold in whole], tested)
    if rival is None and plane_is_significant(all_columns, target, weights):
        return not _mean_overturns(plane_rows, rival_rows, tested_weights)
    close = rival_loss <= kLawShare * variance
    if rival is None or close and _simple_law(rival[0]):
        return _beats(rival_rows, plane_rows, tested_weights, kOneStandardError)
    if not np.isfinite(plane_rows).all():
        return False
    if close:
        return not _beats(plane_rows, rival_rows, tested_weights, kOneStandardError)
    return not (_beats(plane_rows, rival_rows, tested_weights, tries_bound(tries))
                and _wins_folds(plane_rows, rival_rows, tested_weights, _fold_labels(splits)))


# The share of the target's variance a formula of plain fractions may leave on held-out rows and
# still be read as a law the rows fixed (`3*x + 1` under 10% noise leaves a hundredth): a shape
# that explains a few percent of a weak signal snaps to plain fractions by the noise alone
# (a household's income as 7.5*(log(gc) + sin(-2*sqrt(invc))) of its travel costs).
kLawShare = 0.1


def choose(complexities, errors: list[HeldOut], constant: HeldOut, floor: float, prefer: int) -> int | None:
    """Among the formulas no more complex than `prefer` (the search's own choice) and within one
    standard error of the lowest held-out error of those, `prefer` when it is one of them, else
    the simplest; None when the constant is among them (no formula predicts held-out rows better
    than the mean). Held-out errors never promote a longer formula: its shape was chosen on all
    the rows, so its held-out error flatters it. Losses below `floor` are not told apart (see
    :func:`loss_floor`)."""
    errors = [e for i, e in enumerate(errors) if complexities[i] <= complexities[prefer]]
    loss = [max(e.loss, floor) for e in errors] + [max(constant.loss, floor)]
    error = [e.standard_error for e in errors] + [constant.standard_error]
    lowest = min(range(len(loss)), key=lambda i: (loss[i], i))
    if not math.isfinite(loss[lowest]):
        return None
    bound = loss[lowest] + (error[lowest] if loss[lowest] > floor else 0.0)
    within = [i for i in range(len(errors)) if loss[i] <= bound]
    if loss[-1] <= bound or not within:
        return None
    if prefer in within:
        return prefer
    return min(within, key=lambda i: (complexities[i], loss[i], i))


def searched_choice(search, complexities, limits, columns, target, weights, with_plane, tries=0, base=None,
                    clear=None, shapes=None):
    """The choice of :func:`paired_choice` among the constant, the plane and the front's
    complexities, by rows that neither the shapes nor the constants saw: the search itself runs
    again on each fold's training rows of all the columns (`search(x, y, w)` gives its raw front
    over them, screening the columns itself), and at each complexity of the front its longest
    formula no longer than that is measured on the fold left out. The shapes' choice is then
    paid for, as the refits of :func:`held_out_errors` cannot make it pay.

    Returns ``("entry", i)``, ``("plane",)`` or ``("constant",)``. Entry i is weighed only when
    its held-out error is at most `limits[i]` of y's (weighted) variance: 0 leaves it out, inf
    takes it whatever its error (a tighter limit weighs it only where it predicts very closely, or
    clearly better than the choice it would displace: see :func:`_clearly_beats`; `clear[i]`
    False leaves entry i that second way out).
    `tries`: the shapes the search offered, when more than the complexities weighed (see
    :func:`paired_choice`). `base`, an entry, is the choice to beat in place of the constant and
    the plane: only longer entries are weighed against it, and ``("constant",)`` means it stands.
    A shape that would displace the choice must also predict the rows at the edges of the box as
    well, by :func:`_edge_check`; where it does not, the shorter shapes are weighed in its place.
    Unless it wins clearly (see :func:`_clearly_beats`), the shapes must then win again on a
    second partition of the rows, the searches run anew on its folds. `shapes`, when given, are
    the entries' (program, constants) over `columns`, for that edge check.
    """
    simple = ["constant"] + (["plane"] if with_plane else [])
    keys = simple + list(range(len(complexities)))
    errors, weights_tested, labels = _searched_errors(search, complexities, keys, _splits(columns, target, weights))
    variance = weighted_variance(target, weights)
    first = base is None and with_plane and plane_is_significant(columns, target, weights)
    stands = ("entry", base) if base is not None else paired_choice(errors, simple, weights_tested, plane_first=first)

    def weighs(i) -> bool:
        if limits[i] == math.inf:
            return True
        # a tighter limit is met within it, or by leaving a tenth of the error of the choice to
        # displace on most rows: steam's pressure on 11 rows, two constants of exp(a·T + b) found
        # again on each fold and 27 times closer than the line, is no chance fit of few rows
        return limits[i] > 0 and (weighted_mean(errors[i], weights_tested) <= limits[i] * variance
                                  or (clear is None or clear[i])
                                  and _clearly_beats(errors[stands[-1]], errors[i], weights_tested, kOneStandardError))
    weighed = [i for i in sorted(range(len(complexities)), key=lambda i: complexities[i]) if weighs(i)]

    def choice(entries, errors=errors, weights_tested=weights_tested, labels=labels):
        if base is not None:
            return paired_choice(errors, [base, *entries], weights_tested, folds=labels, tries=tries, start=base)
        return paired_choice(errors, simple + entries, weights_tested, plane_first=first, folds=labels, tries=tries)
    entries = weighed if base is None else [i for i in weighed if complexities[i] > complexities[base]]
    pick = choice(entries)
    holds = None
    while pick[0] == "entry" and pick != stands:
        holds = holds or _edge_check(search, complexities, columns, target, weights, shapes)
        if holds(pick, stands):
            break
        # the shape did not hold past its rows: the shorter shapes are weighed without it, under
        # the same bound (the tries were all made)
        entries = [i for i in entries if complexities[i] < complexities[pick[1]]]
        pick = choice(entries)
    if pick[0] != "entry" or pick == stands or _clearly_beats(errors[stands[-1]], errors[pick[1]], weights_tested,
                                                              kOneStandardError):
        return pick
    # A shape that won the folds by a margin of the order of their noise won them by the luck of
    # the partition as often as by its shape (on 30 to 250 rows, a one-constant power of a skewed
    # column beside its line); the rows are cut again, and the shapes must win there too.
    if _leaves_one_out(target.shape[0]):
        return pick  # one row out at a time is the only partition
    errors_again, weights_again, labels_again = _searched_errors(
        search, complexities, keys, _splits(columns, target, weights, second=True))
    confirmed = choice(entries, errors_again, weights_again, labels_again)
    return pick if confirmed[0] == "entry" and confirmed != stands else choice([])


def _searched_errors(search, complexities, keys, folds: list[_Fold]):
    """Each candidate's squared errors on the test rows of `folds`, joined (see
    :func:`_searched_squared`), the test rows' weights and each row's fold."""
    squared: dict = {key: [] for key in keys}
    for fold in folds:
        found = _found(search, fold)
        for key, rows in squared.items():
            rows.append(_searched_squared(key, found, complexities, fold))
    weights_tested = None if folds[0].w_test is None else np.concatenate([fold.w_test for fold in folds])
    return {key: np.concatenate(rows) for key, rows in squared.items()}, weights_tested, _fold_labels(folds)


def _edge_check(search, complexities, columns, target, weights, shapes=None):
    """`holds(pick, stands)`: whether the shape of `pick` (an entry), found again by the search on
    the rows within the box, predicts the rows at its edges (see :func:`_edge_fold`) within
    kEdgeLoss of `stands`, the choice it displaces, found again on the same rows. Random folds
    hold out few rows past their training rows, and only just past them; a shape that is right
    within its rows and wrong beyond them wins those folds all the same. Where the search on the
    rows within finds another shape at an entry's complexity, the entry's own shape (of `shapes`)
    is measured, its constants refitted on those rows: fewer, narrower rows may keep a fitted
    factor the whole rows snapped away (x0*x1*1.01 for x0*x1), and the shape left at that
    complexity (c*x1) says nothing of the one chosen."""
    edge = _edge_fold(columns, target, weights)
    if edge is None:
        return lambda pick, stands: True
    found = _found(search, edge)

    def squared(key) -> tuple[np.ndarray, bool]:
        """The key's squared errors on the edge rows, and whether they are its own shape's."""
        errors = _searched_squared(key, found, complexities, edge)
        if shapes is None or not isinstance(key, int):
            return errors, False
        refound = [f for f in found if f["complexity"] <= complexities[key]]
        if refound and _same_shape(refound[-1]["program"], shapes[key][0]):
            return errors, False
        own = _refitted_squared(*shapes[key], [edge])
        return (errors, False) if own is None else (np.where(np.isfinite(own[0]), own[0], math.inf), True)

    def holds(pick, stands) -> bool:
        # a choice's last item is its key: ("entry", i), ("plane",), ("constant",)
        (richer_rows, own), (simpler_rows, _) = squared(pick[-1]), squared(stands[-1])
        richer, simpler = weighted_mean(richer_rows, edge.w_test), weighted_mean(simpler_rows, edge.w_test)
        # a shape measured as itself was chosen on all the rows, the edge rows among them: it
        # gets no allowance for being found again on fewer
        allowance = kOwnEdgeLoss if own else kEdgeLoss
        # no value at an edge row is no verdict: the domain check on the rows within need not
        # reach it, where the one on all the rows did
        return not (math.isfinite(richer) and math.isfinite(simpler)) or richer <= allowance * simpler

    return holds


# The share of the rows held out at the edges of their box: the rows farthest from its centre,
# by each column's range.
kEdgeShare = 0.2
# How much worse than the choice it displaces a shape may predict the edge rows: a shape is
# found again on fewer rows there, and a dozen edge rows carry noise of their own, so a near tie
# either way is no verdict; one that is wrong past its rows misses them several times over.
kEdgeLoss = 1.5
kOwnEdgeLoss = 1.0


def _edge_fold(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None) -> _Fold | None:
    """The rows at the edges of the box as test rows, the rows within as training rows: a shape
    chosen over a simpler one must predict rows past those it was fitted on no worse than it.
    None when too few rows would be held out to tell."""
    columns, target, weights = _sample(columns, target, weights)
    vary = varying_columns(columns)
    n = target.shape[0]
    if vary.size == 0 or n * kEdgeShare < 1:
        return None
    low, high = columns[vary].min(axis=1), columns[vary].max(axis=1)
    centre, half = (low + high) / 2, (high - low) / 2
    reach = np.max(np.abs(columns[vary] - centre[:, None]) / half[:, None], axis=0)
    order = np.argsort(-reach, kind="stable")
    # the farthest rows until kEdgeShare of the weight is held out (a weight counts as that many rows)
    weight = np.ones(n) if weights is None else weights[order]
    before = np.cumsum(weight) - weight
    test = np.zeros(n, dtype=bool)
    test[order[before < kEdgeShare * float(np.sum(weight))]] = True
    return _holding_out(test, columns, target, weights)


def _same_shape(program, other) -> bool:
    """Whether two programs differ at most in their constants' values."""
    def shape(p):
        return [(kind, None if kind in ("const", "param") else value) for kind, value in p]
    return shape(program) == shape(other)


def _found(search, fold: _Fold) -> list:
    """The search's raw front on a fold's training rows, by complexity."""
    return sorted(search(fold.x_train, fold.y_train, fold.w_train), key=lambda f: f["complexity"])


def _searched_squared(key, found, complexities, fold: _Fold) -> np.ndarray:
    """The squared errors on a fold's test rows of a candidate of :func:`searched_choice`: the
    constant, the plane, or entry i, the longest formula of `found` (the search's front on the
    fold's training rows) no longer than `complexities[i]` (the mean when there is none);
    infinite where there is no value."""
    if key == "plane":
        return plane_squared(fold)
    pick = [] if key == "constant" else [f for f in found if f["complexity"] <= complexities[key]]
    if not pick:
        return mean_squared(fold)
    out = np.empty(fold.y_test.shape[0])
    _native.predict(pick[-1]["program"], pick[-1]["constants"], fold.x_test, out)
    with np.errstate(over="ignore", invalid="ignore"):
        error = (out - fold.y_test) ** 2
    return np.where(np.isfinite(error), error, math.inf)


# One standard error: a step up the order that wins by less is not told apart from chance.
kOneStandardError = 1.0
# The share of chance the one-standard-error bound leaves one try (one-sided, normal).
kChanceShare = 1.0 - NormalDist().cdf(kOneStandardError)


def tries_bound(tries: int) -> float:
    """The standard errors by which the best of `tries` shapes must win to have the chance one
    try has under the one-standard-error rule; the tries, nested and sharing much of their inner
    fronts, are counted as their square root, between one try and independent ones."""
    return NormalDist().inv_cdf(1.0 - kChanceShare / math.sqrt(max(1, tries)))


def paired_difference(simpler: np.ndarray, richer: np.ndarray, weights: np.ndarray | None = None) -> HeldOut:
    """How much lower the richer candidate's held-out errors are than the simpler's on the same
    rows, with the standard error of that paired difference: both saw the same rows, so the rows'
    own difficulty, which dominates either error alone, cancels."""
    with np.errstate(invalid="ignore"):
        return _summary(simpler - richer, weights)


# A gain below this share of the simpler candidate's error is the fits' rounding (a plane over a
# constant column is the mean again, up to the last bits of its least-squares solution).
kRounding = math.sqrt(np.finfo(np.float64).eps)


def clearly_lower(loss: float, than: float) -> bool:
    """Whether `loss` is below `than` by more than rounding."""
    return loss < than * (1.0 - kRounding)


def _beats(simpler, richer, weights, bound: float) -> bool:
    gain = paired_difference(simpler, richer, weights)
    if not math.isfinite(gain.loss):
        return False
    return gain.loss > bound * gain.standard_error and clearly_lower(weighted_mean(richer, weights),
                                                                     weighted_mean(simpler, weights))


# The share of the folds a searched shape must win to replace the constant or the plane. The
# paired bound reads a few dozen squared errors as if normal; on skewed targets a handful of rows
# carry the gain, and a shape that loses two folds of five then won by those rows alone. Under
# no difference, four folds of five or more fall to one side by chance 3 times in 16.
kFoldsWon = 0.8


def _wins_folds(simpler, richer, weights, folds) -> bool:
    """Whether `richer` has the lower (weighted) mean error on at least kFoldsWon of the folds."""
    gain = simpler - richer
    labels = np.unique(folds)
    won = sum(weighted_mean(gain[folds == k], None if weights is None else weights[folds == k]) > 0 for k in labels)
    return won >= kFoldsWon * labels.size


# A richer candidate whose held-out error is at most this share of the simpler's explains nine
# tenths of what the simpler leaves: a gain of that order, on most rows, is told apart from chance
# by the rows it wins, where one row far off the simpler's line widens the paired bound past it.
kClearShare = 0.1


def _closer_share(richer, simpler, weights) -> float:
    """The (weighted) share of the rows on which `richer`'s error is the lower."""
    return weighted_mean((richer < simpler).astype(np.float64), weights)


def _clearly_beats(simpler, richer, weights, bound: float) -> bool:
    """Whether `richer` leaves at most kClearShare of `simpler`'s error and is the closer on more
    rows than chance gives by `bound` standard errors (a sign test, by the rows' effective count
    under weights): robust where the gains are heavy-tailed."""
    if not weighted_mean(richer, weights) <= kClearShare * weighted_mean(simpler, weights):
        return False
    won = _closer_share(richer, simpler, weights)
    rows = simpler.shape[0] if weights is None else effective_rows(weights)
    return (won - 0.5) * 2.0 * math.sqrt(rows) > bound


def fixed_form_choice(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None, base, rivals: dict):
    """The key of the rival form that predicts held-out rows best, when it beats `base` by more
    than the bound its tries allow and on kFoldsWon of the folds; else None. `base` and each of
    `rivals` give a form's squared errors on a fold's test rows, fitted on its training rows (inf
    where they cannot be): forms fixed before the data are seen, so the refits are honest."""
    folds = _splits(columns, target, weights)
    tested = [fold.w_test for fold in folds]
    base_rows, weights_tested = _joined([base(fold) for fold in folds], tested)
    if not rivals or not np.isfinite(base_rows).all():
        return None
    labels = _fold_labels(folds)
    bound = tries_bound(len(rivals))
    passed = []
    for key, squared in rivals.items():
        rows, _ = _joined([squared(fold) for fold in folds], tested)
        if (np.isfinite(rows).all() and _beats(base_rows, rows, weights_tested, bound)
                and _wins_folds(base_rows, rows, weights_tested, labels)):
            passed.append((_summary(rows, weights_tested).loss, key))
    return min(passed)[1] if passed else None


def paired_choice(errors: dict, order: list, weights: np.ndarray | None = None, plane_first: bool = False,
                  folds: np.ndarray | None = None, tries: int = 0, start=None):
    """The choice among held-out squared errors on the same rows, by an order of prior
    simplicity: the constant, then the plane (when in `order`), then the searched shapes.

    The plane replaces the constant when it beats it by more than one standard error of their
    paired difference, or with `plane_first` (its F-test on all the rows told its slopes apart
    from none: see kPlaneLevel) unless the constant beats it so in turn and on most rows. The
    searched shapes are many tries (one without a value on some row among them): the best of
    them replaces that choice only when it wins by more than the bound that leaves the best of
    its tries the one-standard-error rule's chance (or leaves a tenth of its error and wins rows
    by that bound: see :func:`_clearly_beats`); the front's complexities are nested and share
    much of their inner fronts, so the tries are counted as their square root, between one try
    and independent ones. The tries are at least `tries`:
    shapes the search offered and the front left off (too many constants for the rows, no value
    past them, a periodic term the rows do not sample) were looked at all the same.
    With `folds` (each row's fold), the best shape must also win kFoldsWon of them. Then the
    simplest shape within one standard error of the best is taken, as the one-standard-error rule
    does. With `start` (a key of `order`), that choice is the one to beat in place of the
    constant and the plane, and ``("constant",)`` means it stands."""
    finite = [key for key in order if np.all(np.isfinite(errors[key]))]
    fixed = ("constant", "plane") if start is None else (start,)
    simple = [key for key in finite if key in fixed]
    searched = [key for key in finite if key not in fixed]
    chosen = simple[0] if simple else None
    for key in simple[1:]:
        if (not _mean_overturns(errors[key], errors[chosen], weights) if key == "plane" and plane_first
                else _beats(errors[chosen], errors[key], weights, kOneStandardError)):
            chosen = key
    # what the searched shapes leave standing; `start` stands even without a value on some
    # held-out row (no verdict then)
    stands = (chosen,) if chosen is not None and start is None else ("constant",)
    if not searched or start is not None and chosen is None:
        return stands
    best = min(searched, key=lambda key: _summary(errors[key], weights).loss)
    # a shape without a value on some held-out row was a try all the same
    tries = max(tries, sum(1 for key in order if key not in fixed))
    bound = tries_bound(tries)
    if chosen is not None and not ((_beats(errors[chosen], errors[best], weights, bound)
                                    or _clearly_beats(errors[chosen], errors[best], weights, bound)) and
                                   (folds is None or _wins_folds(errors[chosen], errors[best], weights, folds))):
        return stands
    first = next(key for key in searched
                 if not _beats(errors[key], errors[best], weights, kOneStandardError))
    return ("entry", first)
