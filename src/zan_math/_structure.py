"""Structure read from the data, for laws of many variables that the search misses by size alone.

A law of six or nine variables is often a product of simple parts: a monomial factor (G·m1·m2,
p_d/ε·z/r⁵) times a function of the rest, whose arguments are themselves simple combinations of
pairs (x2 − x1, (ω − ω0)·t). Each such part is small enough to be found, while the whole is not.
When the plain search is not exact, the data are asked for that structure:

- pure powers: y one-signed, log|y| is fitted (least absolute deviations) by a cubic in the
  variables, log|x| for one-signed ones (a quadratic for many variables); a variable whose
  square and cross terms the fit does without, with an exponent near a half-integer, is a
  factor x^a of the law;
- merged pairs: on a smooth interpolant of what is left, the gradient tells whether it depends
  on two columns only through x − y, x + y, x·y or x/y (the last two up to a power of x);
  such a pair becomes one column, and the test runs again on the fewer columns.

What is left is searched as a smaller problem (as it is, then by its logarithm or its reciprocal
while no formula is exact), and each of its formulas is put back into the variables of the
whole, times the monomial, with every constant refitted on all rows by the
engine's Levenberg–Marquardt. Every conclusion of the interpolant is a guess until then: a
formula joins the front only by its loss on the rows, like any other.

When none of that is exact either, the data are asked whether y is a sum (or a product) of parts
over disjoint sets of variables, each searched on its own (see _additive).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction
from itertools import combinations_with_replacement

import numpy as np

from . import _native
from ._formula import kExactNmse
from ._holdout import fitted_count, weighted_mean, weighted_variance
from ._units import monomial_program

__all__ = ["improve", "reduce", "Reduced", "pure_powers", "pair_misfits", "merge_pair", "Merge"]

# Fewer variables than this the plain search covers as well as any split would; beyond the
# most, a polynomial of log|y| has more terms than the tests can afford.
kMinVariables = 3
kMaxVariables = 12
# Rows the tests read: an evenly spread sample of larger data.
kTestRows = 1000
# A y of one sign but for this share of its rows, each within this share of its median size,
# is taken for one of a sign whose smallest values noise has pushed across zero.
kStrayShare = 0.05
kStrayScale = 0.25
# Restricting a variable to a linear term of log|y| may cost this much of the polynomial's absolute
# residual (as a ratio) for it still to count as a pure power: a true factor costs a few per
# cent, by chance alone, while any other dependence costs a third or many times more.
kPureRatio = 1.15
# How near a multiple of 1/2 its fitted exponent must be (a factor comes within a few
# hundredths; halves apart, there is no doubt which is meant).
kExponentSlack = 0.1
# Variables up to which log|y| is modelled by a cubic, above by a quadratic.
kCubicUpTo = 6
# Rounds of the reweighted least squares that fit least absolute deviations.
kReweightings = 8
# Centres of the interpolant, and the rows its gradient is read at.
kCentres = 600
kProbes = 300
# Smoothings of the spline tried (values are of order one), and which centres judge them.
kSmoothings = (0.0, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1.0)
kHeldOutEvery = 5
kSmoothingSlack = 1.3
# Fewer rows than twice this leave the interpolant's gradient a guess.
kMinCentres = 50
# Largest share of the gradient's size that a relation may leave for a pair to merge.
kMergeSlack = 0.015
# Below this, 1/y is past the floats the engine divides by.
kSmallest = 1e-150
# Rows the constants of a formula put back are refitted on, at most.
kRefitRows = 4096
# Standard errors of a loss by which a formula put back must beat the front's.
kChanceMargins = 2.0
# A fit this close to exact is the law: the search's choice passes to it.
kLawNmse = 1e-12

Token = tuple


@dataclass(frozen=True)
class Reduced:
    """A smaller problem: y = monomial · g(columns), each column a program over the variables."""

    exponents: tuple[Fraction, ...]  # of the monomial, per variable
    columns: tuple[tuple[Token, ...], ...]


def _spread(n: int, limit: int) -> np.ndarray:
    return np.arange(n) if n <= limit else (np.arange(limit, dtype=np.int64) * n) // limit


def _one_signed(values: np.ndarray) -> bool:
    return bool(np.all(values > 0) or np.all(values < 0))


def _signed_rows(values: np.ndarray) -> np.ndarray | None:
    """The rows of a y of one sign: all of them, or, on noisy data, those of the sign nearly all
    have when the others are few and near zero (noise across a law's small values); None for
    a y of both signs."""
    positive = values > 0
    majority = positive if np.count_nonzero(positive) * 2 >= values.shape[0] else values < 0
    strays = ~majority
    if not np.any(strays):
        return np.arange(values.shape[0])
    magnitude = np.abs(values)
    if (np.count_nonzero(strays) > kStrayShare * values.shape[0]
            or np.max(magnitude[strays]) > kStrayScale * float(np.median(magnitude[majority]))):
        return None
    return np.flatnonzero(majority)


def _polynomial(u: np.ndarray, linear_only: int | None = None) -> np.ndarray:
    """Design matrix of a full polynomial in the rows of `u` (features × rows), a cubic for few
    features and a quadratic for many (whose cubic would cost more than it tells); with
    `linear_only`, that feature enters by its linear term alone."""
    n = u.shape[0]
    columns = [np.ones(u.shape[1])] + [u[j] for j in range(n)]
    for degree in range(2, 4 if n <= kCubicUpTo else 3):
        for picked in combinations_with_replacement(range(n), degree):
            if linear_only in picked:
                continue
            columns.append(np.prod(u[list(picked)], axis=0))
    return np.array(columns).T


def _least_absolute(design: np.ndarray, target: np.ndarray) -> tuple[float, np.ndarray]:
    """Sum of absolute residuals of the least-absolute-deviations fit, and its coefficients (by
    reweighted least squares). Absolute, not squared: log|y| dives by many units near a zero of
    the law, and a squared loss would let those few rows decide the whole fit."""
    weights = np.ones(target.shape[0])
    residual = target
    coefficients = np.zeros(design.shape[1])
    for _ in range(kReweightings):
        weighted = design * weights[:, None]
        normal = weighted.T @ design
        normal[np.diag_indices_from(normal)] *= 1.0 + 1e-12
        try:
            coefficients = np.linalg.solve(normal, weighted.T @ target)
        except np.linalg.LinAlgError:
            coefficients = np.linalg.lstsq(design * np.sqrt(weights)[:, None], target * np.sqrt(weights),
                                           rcond=None)[0]
        residual = np.abs(design @ coefficients - target)
        weights = 1.0 / np.maximum(residual, 1e-6 * max(float(np.median(residual)), 1e-300))
    return float(np.sum(residual)), coefficients


def pure_powers(columns: np.ndarray, target: np.ndarray) -> dict[int, Fraction]:
    """The variables that are a factor x^a of y, with their exponents (multiples of 1/2). Only
    one-signed variables can be, and only when y is one-signed too."""
    rows = _spread(target.shape[0], kTestRows)
    signed_rows = _signed_rows(target[rows])
    if signed_rows is None:
        return {}
    rows = rows[signed_rows]
    x, y = columns[:, rows], target[rows]
    signed = [_one_signed(c) for c in x]
    with np.errstate(all="ignore"):
        u = np.array([np.log(np.abs(c)) if s else c for c, s in zip(x, signed)])
        target_log = np.log(np.abs(y))
    if not (np.all(np.isfinite(u)) and np.all(np.isfinite(target_log))):
        return {}
    spread = u.std(axis=1)
    if not np.all(spread > 0):  # a constant column says nothing
        return {}
    # features of comparable size, so that the polynomial's columns are well conditioned
    u = (u - u.mean(axis=1, keepdims=True)) / spread[:, None]
    design = _polynomial(u)
    if design.shape[1] * 2 > y.shape[0]:  # too few rows to tell the polynomial's terms apart
        return {}
    full, _ = _least_absolute(design, target_log)
    floor = 1e-9 * float(np.sum(np.abs(target_log - np.median(target_log))))
    found: dict[int, Fraction] = {}
    for j in range(u.shape[0]):
        if not signed[j]:
            continue
        restricted, coefficients = _least_absolute(_polynomial(u, linear_only=j), target_log)
        if restricted > kPureRatio * full + floor:
            continue
        exponent = float(coefficients[1 + j]) / float(spread[j])  # per log|x|, not per standardised unit
        nearest = Fraction(round(2 * exponent), 2)
        if abs(exponent - float(nearest)) <= kExponentSlack:
            found[j] = nearest
    return found


# ---- pairs that act as one ------------------------------------------------------------------


class _Interpolant:
    """A polyharmonic spline (r³ with a linear part) through values at points scaled to the unit
    box: smooth enough that its gradient stands for the data's between the rows. On noisy
    values a spline through every one follows the noise, and its gradient with it: the spline
    is then a smoothing one, its smoothing the most of kSmoothings that predicts every
    kHeldOutEvery-th point from the others within kSmoothingSlack of the best."""

    def __init__(self, points: np.ndarray, values: np.ndarray):
        self.low = points.min(axis=1, keepdims=True)
        self.width = np.maximum(points.max(axis=1, keepdims=True) - self.low, 1e-300)
        centres = (points - self.low) / self.width
        kernel = _distances(centres, centres) ** 3
        held = np.arange(centres.shape[1]) % kHeldOutEvery == 0
        fit = ~held
        smoothing = 0.0
        if np.count_nonzero(fit) > centres.shape[0] + 1:
            inner, across = kernel[np.ix_(fit, fit)], kernel[np.ix_(held, fit)]
            errors = []
            for candidate in kSmoothings:
                weights, linear, constant = _spline(inner, centres[:, fit], values[fit], candidate)
                miss = across @ weights + linear @ centres[:, held] + constant - values[held]
                errors.append(float(miss @ miss))
            # a gradient wants more smoothing than a value does: the most that predicts about
            # as well as the best (on exact values, next to none)
            finite = [e for e in errors if math.isfinite(e)]
            if finite:
                smoothing = max(c for c, e in zip(kSmoothings, errors) if e <= kSmoothingSlack * min(finite))
        self.centres = centres
        self.weights, self.linear, self.constant = _spline(kernel, centres, values, smoothing)

    def __call__(self, points: np.ndarray) -> np.ndarray:
        """The interpolant's value at each point (columns × points)."""
        scaled = (points - self.low) / self.width
        return _distances(scaled, self.centres) ** 3 @ self.weights + self.linear @ scaled + self.constant

    def gradient(self, points: np.ndarray) -> np.ndarray:
        """∂value/∂column at each point (columns × points), in the columns' own units."""
        scaled = (points - self.low) / self.width
        offsets = scaled[:, :, None] - self.centres[:, None, :]
        distance = np.sqrt(np.sum(offsets**2, axis=0))
        inner = 3.0 * np.einsum("kpc,pc,c->kp", offsets, distance, self.weights) + self.linear[:, None]
        return inner / self.width


def _spline(kernel: np.ndarray, centres: np.ndarray, values: np.ndarray, smoothing: float):
    """The spline's weights, linear part and constant through `values` at `centres`, given their
    kernel matrix (left as it is), the kernel's diagonal raised by `smoothing`."""
    n = centres.shape[1]
    tail = np.vstack([np.ones(n), centres]).T
    system = np.block([[kernel, tail], [tail.T, np.zeros((tail.shape[1], tail.shape[1]))]])
    system[np.arange(n), np.arange(n)] += smoothing
    rhs = np.concatenate([values, np.zeros(tail.shape[1])])
    try:
        solution = np.linalg.solve(system, rhs)
    except np.linalg.LinAlgError:  # rows repeated: the least-squares spline through them
        solution = np.linalg.lstsq(system, rhs, rcond=None)[0]
    return solution[:n], solution[n + 1 :], solution[n]


def _distances(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    squared = np.sum(a**2, axis=0)[:, None] + np.sum(b**2, axis=0)[None, :] - 2.0 * a.T @ b
    return np.sqrt(np.maximum(squared, 0.0))


@dataclass(frozen=True)
class Merge:
    """Columns i and j act through one (kind "sub": x_i − x_j, "add": x_i + x_j, "mul": x_i·x_j,
    "div": x_i/x_j), and y carries x_carrier^power besides (power 0 but for mul and div)."""

    i: int
    j: int
    kind: str
    carrier: int
    power: Fraction
    misfit: float


def pair_misfits(columns: np.ndarray, target: np.ndarray, powerable) -> list[Merge]:
    """Every merge of two columns that the target's gradient allows, each with its misfit: the
    share of the gradient's size that the relation leaves (0 for an exact one). A product or
    quotient may carry a power of a column that `powerable` allows (one-signed and a variable).

    The gradient is read from two interpolants where y is one-signed: of y over the columns, and
    of log|y| over the logarithms of the one-signed columns, which follows laws of wide dynamic
    range (1/(exp(h·ω/(k·T)) − 1)) far better, while the first follows a y near zero (sin²)."""
    if columns.shape[0] < 2:
        return []
    signed = [_one_signed(c) for c in columns]
    found = _misfits(columns, target, powerable, signed, logarithmic=False)
    rows = _signed_rows(target)
    if rows is not None:
        found += _misfits(columns[:, rows], target[rows], powerable, signed, logarithmic=True)
    return found


def _misfits(columns, target, powerable, signed, logarithmic: bool) -> list[Merge]:
    order = _spread(target.shape[0], 2 * kCentres)
    if order.shape[0] < 2 * kMinCentres:
        return []  # too few rows for the interpolant's gradient
    with np.errstate(all="ignore"):
        if logarithmic:
            coordinates = np.array([np.log(np.abs(c)) if s else c for c, s in zip(columns, signed)])
            value = np.log(np.abs(target))
        else:
            rms = math.sqrt(float(np.mean(target * target)))
            coordinates, value = columns, target / rms
    if not (np.all(np.isfinite(coordinates)) and np.all(np.isfinite(value))):
        return []
    centres, rest = order[::2], order[1::2]
    # the spline is least sure near the box's faces: its gradient is read at the innermost rows
    low, high = coordinates.min(axis=1, keepdims=True), coordinates.max(axis=1, keepdims=True)
    outward = np.max(np.abs((coordinates[:, rest] - low) / np.maximum(high - low, 1e-300) - 0.5), axis=0)
    probes = rest[np.argsort(outward, kind="stable")[:kProbes]]
    with np.errstate(all="ignore"):
        try:
            spline = _Interpolant(coordinates[:, centres], value[centres])
        except np.linalg.LinAlgError:
            return []
        gradient = spline.gradient(coordinates[:, probes])
        points = columns[:, probes]
        if logarithmic:  # ∂/∂x from ∂/∂log|x|
            gradient = np.array([g / x if s else g for g, x, s in zip(gradient, points, signed)])
    value = value[probes]
    if not np.all(np.isfinite(gradient)) or not value @ value > 0:
        return []
    found = []
    for i in range(columns.shape[0]):
        for j in range(i + 1, columns.shape[0]):
            # ∂y/∂x_i + ∂y/∂x_j = 0: y = g(x_i − x_j); with a minus, g(x_i + x_j) (and likewise
            # for log|y|, whose gradient is y's over y)
            a, b = gradient[i], gradient[j]
            size = float(np.sum(np.abs(a)) + np.sum(np.abs(b)))
            if not size > 0:
                continue
            for kind, relation in (("sub", a + b), ("add", a - b)):
                found.append(Merge(i, j, kind, i, Fraction(0), float(np.sum(np.abs(relation))) / size))
            ea, eb = points[i] * a, points[j] * b
            size = float(np.sum(np.abs(ea)) + np.sum(np.abs(eb)))
            if not size > 0:
                continue
            # x_i·∂y/∂x_i ∓ x_j·∂y/∂x_j = c·y: y = x_i^c·g(x_i·x_j) or x_i^c·g(x_i/x_j); of
            # log|y|, the same relation with c alone on the right
            for kind, relation in (("mul", ea - eb), ("div", ea + eb)):
                if kind == "div" and not (signed[i] or signed[j]):
                    continue  # no side to divide by
                share = float(np.mean(relation)) if logarithmic else float(relation @ value / (value @ value))
                power = Fraction(round(2 * share), 2)
                left = relation - float(power) * (1.0 if logarithmic else value)
                misfit = float(np.sum(np.abs(left))) / size
                carrier = i
                if power and not powerable[i]:
                    # the same law with the power on the other: x_i^c·g(x_i·x_j) = x_j^-c·h(x_i·x_j)
                    carrier, power = j, (-power if kind == "mul" else power)
                    if not powerable[j]:
                        continue
                # the one-signed column divides: g(x_i/x_j) is as well h(x_j/x_i)
                first, second = (j, i) if kind == "div" and not signed[j] else (i, j)
                found.append(Merge(first, second, kind, carrier, power, misfit))
    return found


def merge_pair(columns: np.ndarray, target: np.ndarray, powerable) -> Merge | None:
    """The merge of two columns with the least misfit, when within kMergeSlack; else None."""
    fits = [m for m in pair_misfits(columns, target, powerable) if m.misfit <= kMergeSlack]
    return min(fits, key=lambda m: m.misfit) if fits else None


# ---- the smaller problem, and its formulas put back -----------------------------------------

kMergeToken = {"sub": ("op", "sub"), "add": ("op", "add"), "mul": ("op", "mul"), "div": ("op", "div")}


def _values(program, columns: np.ndarray, constants=()) -> np.ndarray:
    out = np.empty(columns.shape[1], dtype=np.float64)
    _native.predict(tuple(program), tuple(constants), columns, out)
    return out


def reduce(columns: np.ndarray, target: np.ndarray, pure: dict[int, Fraction] | None = None) -> list[Reduced]:
    """The smaller problems the data point to, the smallest first: the pure powers taken out as a
    monomial and pairs merged while one fits (then the same with each merge's power on its other
    column); and the pure powers alone (a merge is a guess of the interpolant's, and a wrong one
    would hide the law). Empty when the data show neither."""
    if pure is None:
        pure = pure_powers(columns, target)
    exponents = [pure.get(j, Fraction(0)) for j in range(columns.shape[0])]
    # a pure power of exponent 0 is a variable y does not depend on: it leaves the problem
    programs = [(("var", j),) for j in range(columns.shape[0]) if j not in pure]
    peeled = Reduced(tuple(exponents), tuple(programs))
    merged, movable = _merged(columns, target, list(exponents), list(programs), other_carrier=False)
    problems = [merged] if merged is not None else []
    if movable:
        # x·g(x/z) is as well z·h(x/z): which of the two carries the power, the data cannot say,
        # and the smaller problem is simple for one of them only (m·c²/√(1 − (v/c)²))
        other, _ = _merged(columns, target, list(exponents), list(programs), other_carrier=True)
        if other != merged:
            problems.append(other)
    return problems + ([peeled] if pure else [])


def _merged(columns, target, exponents, programs, other_carrier: bool) -> tuple[Reduced | None, bool]:
    """The problem left once pairs are merged while one fits (None when no pair merges), the
    power of a product or quotient on its `other_carrier` where that can carry it; and whether
    some merge's power could have been carried by the other column."""
    monomial = monomial_program(exponents)
    with np.errstate(all="ignore"):
        rest = target / _values(monomial, columns) if monomial else target
    merged = movable = False
    while len(programs) >= 2 and np.all(np.isfinite(rest)):
        values = np.array([_values(p, columns) for p in programs])
        powerable = [len(p) == 1 and _one_signed(v) for p, v in zip(programs, values)]
        merge = merge_pair(values, rest, powerable)
        if merge is None:
            break
        merged = True
        carrier, power = merge.carrier, merge.power
        other = merge.j if carrier == merge.i else merge.i
        movable = movable or bool(power and powerable[other])
        if other_carrier and power and powerable[other]:
            # x_i^c·g(x_i·x_j) = x_j^-c·h(x_i·x_j); x_i^c·g(x_i/x_j) = x_j^c·h(x_i/x_j)
            carrier, power = other, (-power if merge.kind == "mul" else power)
        if power:
            exponents[programs[carrier][0][1]] += power
            with np.errstate(all="ignore"):
                rest = rest / values[carrier] ** float(power)
        joined = programs[merge.i] + programs[merge.j] + (kMergeToken[merge.kind],)
        programs = [p for k, p in enumerate(programs) if k not in (merge.i, merge.j)] + [joined]
    return (Reduced(tuple(exponents), tuple(programs)) if merged else None), movable


def _refitted(program, constants, columns, target, weights, variance) -> dict | None:
    """The formula as the engine reports one, every constant refitted (on an evenly spread sample
    of many rows, as the engine's own refit) and measured on all rows; None where it has no value
    on some row."""
    program = tuple(program)
    if not any(token[0] == "var" for token in program):
        # no variable left (y a constant times a monomial of none): the constant, as one number
        # rather than 1/c or exp(c)
        program, constants = (("param", 0),), (weighted_mean(target, weights),)
    if constants:
        pick = _spread(target.shape[0], kRefitRows)
        constants, _, ok = _native.refit(program, tuple(constants), np.ascontiguousarray(columns[:, pick]),
                                         target[pick], None if weights is None else weights[pick])
        if not ok:
            return None
    with np.errstate(all="ignore"):
        out = _values(program, columns, constants)
        squared = (out - target) ** 2
    if not np.all(np.isfinite(squared)):
        return None
    loss = weighted_mean(squared, weights)
    return {"program": program, "constants": tuple(float(c) for c in constants), "complexity": len(program),
            "loss": loss, "nmse": loss / variance if variance > 0 else 0.0, "score": 0.0}


def beaten_by_chance(rows: int) -> float:
    """The share of a loss that another must stay below to beat it by more than chance."""
    # a loss measured on n rows varies by about √(2/n) of itself: on noisy rows, a shape fitted
    # to them all would otherwise displace the law by a hair
    return 1.0 - min(0.5, kChanceMargins * math.sqrt(2.0 / max(rows, 1)))


def _joined(raw: dict, candidates: list[dict], rows: int) -> dict:
    """The engine's result with each candidate in its front where it beats every formula no more
    complex than it by more than chance on this many rows, or fits as well as those with fewer
    constants; the choice passes to a candidate that fits like a law, or that pushed the chosen
    formula out."""
    keep = beaten_by_chance(rows)
    entries = list(raw["front"])
    chosen = entries[raw["best"]]

    def blocks(e, candidate) -> bool:
        # a simpler entry the candidate does not beat by more than chance keeps it out, unless
        # it was fitted with more constants: of two fits the rows cannot tell apart, the one of
        # fewer constants is the likelier law (m·c²/√(1 − (v/c)²) beside its series)
        if e["complexity"] > candidate["complexity"] or keep * e["loss"] > candidate["loss"]:
            return False
        return e["loss"] <= keep * candidate["loss"] or fitted_count(e["program"]) <= fitted_count(candidate["program"])

    for candidate in sorted(candidates, key=lambda c: (c["complexity"], c["loss"])):
        if any(blocks(e, candidate) for e in entries):
            continue
        # a longer entry it does not beat by more than chance stays: the rows cannot tell the two
        # apart, and the candidate may yet fail where the entry holds (on the box around the rows)
        entries = [e for e in entries if e["complexity"] < candidate["complexity"] or keep * e["loss"] < candidate["loss"]]
        entries.append(candidate)
        entries.sort(key=lambda e: e["complexity"])
    if entries == raw["front"]:
        return raw
    lowest = min(range(len(entries)), key=lambda k: entries[k]["loss"])
    if any(entries[lowest] is c for c in candidates) and entries[lowest]["nmse"] <= kLawNmse:
        return dict(raw, front=entries, best=lowest)
    kept = [k for k, e in enumerate(entries) if e is chosen]
    if kept:
        return dict(raw, front=entries, best=kept[0])
    # pushed out: by the longest entry no more complex than it
    return dict(raw, front=entries, best=max(k for k, e in enumerate(entries) if e["complexity"] <= chosen["complexity"]))


def improve(raw: dict, columns: np.ndarray, target: np.ndarray, weights, search) -> dict:
    """The engine's result `raw` (its front over `columns`), with the formulas of the smaller
    problems the data point to joined to the front where they beat it. `search(x, y, w)` runs the
    engine on a problem and gives its raw front. Only for a front that is not exact already,
    over kMinVariables to kMaxVariables variables; the split into parts, only while neither the
    front nor the smaller problems fit like a law."""
    front = raw["front"]
    if not front or not kMinVariables <= columns.shape[0] <= kMaxVariables:
        return raw
    if min(f["nmse"] for f in front) <= kExactNmse:
        return raw
    try:
        pure = pure_powers(columns, target)
        problems = reduce(columns, target, pure)
    except (np.linalg.LinAlgError, ValueError):  # a fit that did not converge, a power too large to write
        pure, problems = {}, []
    variance = weighted_variance(target, weights)
    candidates: list[dict] = []
    for reduced in problems:
        try:
            # the fall-back (factors alone, when merges were guessed) is transformed too: on noisy
            # rows a merged column's search drowns in look-alikes of one variable that two
            # separate columns tell apart (√(2c/(c − v) − 1)·w beside c/v)
            candidates += _solved(reduced, columns, target, weights, variance, search)
        except ValueError:  # a power beyond what a monomial's program may hold
            continue
        if any(c["nmse"] <= kExactNmse for c in candidates):
            break
    # a sum (product) of parts is the last resort: its searches are many
    if not any(f["nmse"] <= kLawNmse for f in [*front, *candidates]):
        from ._additive import solved

        try:
            lowest = min(f["loss"] for f in [*front, *candidates])
            candidates += solved(columns, target, weights, variance, search, factors=set(pure), beat=lowest)
        except np.linalg.LinAlgError:  # an interpolant that could not be solved for
            pass
    return _joined(raw, candidates, target.shape[0])


def _solved(reduced: Reduced, columns, target, weights, variance, search) -> list[dict]:
    """The formulas of the smaller problem, put back into the variables and refitted: from its
    search on y / M, and while none is exact, on log|y / M| and on M / y."""
    monomial = monomial_program(reduced.exponents)
    rows = target.shape[0]
    with np.errstate(all="ignore"):
        scale = _values(monomial, columns) if monomial else np.ones(rows)
        rest = target / scale
    if not (np.all(np.isfinite(rest)) and np.all(scale != 0)):
        return []
    if reduced.columns:
        inputs = np.ascontiguousarray([_values(p, columns) for p in reduced.columns])
        substitutes = reduced.columns
    else:  # y is the monomial times a constant: a column of ones gives the search something to read
        inputs, substitutes = np.ones((1, rows)), ((("const", 1.0),),)
    if not np.all(np.isfinite(inputs)):
        return []
    tail = (*monomial, ("op", "mul")) if monomial else ()
    own = weights
    if monomial:
        # y's noise is rest's divided by M: the rows of a large M tell g best, as y's loss weighs them
        scaled = scale * scale * (1.0 if weights is None else weights)
        if np.all(np.isfinite(scaled)) and np.mean(scaled) > 0:
            own = scaled / np.mean(scaled)
    goals = [((), rest, own)]
    if _one_signed(rest):
        # y = M·exp(g): g, the logarithm, is often the simpler (n0·exp(−m·g·x/(kb·T)))
        goals.append(((("op", "exp"),) + ((("op", "neg"),) if rest[0] < 0 else ()), np.log(np.abs(rest)), weights))
    if np.all(np.abs(rest) > kSmallest):
        # y = M/g: a sum in a denominator (1/(exp(h·ω/(k·T)) − 1)) is a sum to search
        with np.errstate(over="ignore"):
            goals.append(((("op", "inv"),), 1.0 / rest, weights))
    candidates: list[dict] = []
    for wrap, goal, goal_weights in goals:
        for found in search(inputs, goal, goal_weights):
            program: list = []
            for token in found["program"]:
                program += substitutes[token[1]] if token[0] == "var" else [token]
            whole = [*program, *wrap, *tail]
            if whole[:1] == [("const", 1.0)] and whole[1:] == [*monomial, ("op", "mul")]:
                whole = list(monomial)  # y is the monomial itself: not 1·M
            candidate = _refitted(whole, found["constants"], columns, target, weights, variance)
            if candidate is not None:
                candidates.append(candidate)
        if any(c["nmse"] <= kExactNmse for c in candidates):
            break
    return candidates
