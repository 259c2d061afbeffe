"""Laws that fall apart into parts over disjoint sets of variables: y = g(A) + h(B) + …, or
y = g(A)·h(B)·… (the same, of log|y|).

x0·x1 + sin(x2) + x3²/x4 + exp(x5) is out of the search's reach as a whole, while each of its
parts is a small problem. Whether y is such a sum is asked of a smooth interpolant before any
search: y(a, b) − y(a, b') − y(a', b) + y(a', b') vanishes for every two points when a and b
act in different parts, and not when they act together; the parts are the connected groups of
the variables that do. The interpolant can be wrong where it is thin, so the split is then
confirmed on rows it was not fitted to: y is rebuilt from its parts (each read with the other
variables held at one point) and must come as close to them as the interpolant itself does.

Each part is then searched as a smaller problem by backfitting: the target of one part is y less
the current estimate of the others (first the interpolant's, then the formulas found), for a
couple of rounds. The parts' formulas are joined into one program, their additive constants
(scales, for a product) into one, every constant refitted on all rows: the interpolant's word is
a guess until the rows confirm the whole formula.
"""

from __future__ import annotations

import itertools
import math

import numpy as np

from . import _native
from ._export import ARITY
from ._formula import kExactNmse
from ._structure import (_Interpolant, _one_signed, _refitted, _spread, _values, beaten_by_chance, kCentres,
                         kMinCentres, kProbes)

__all__ = ["split", "solved", "joined"]

# Two variables act together where their mixed difference passes the interpolant's own error at
# rows it did not see times this (the mixed difference of two that do not stays below that error:
# it is read between the innermost rows, where the interpolant is surest) ...
kNoiseFactor = 2.0
# ... or this share of their single differences: a true interaction leaves a twentieth or more,
# while the interpolant's curvature leaves a few hundredths between variables that do not.
kInteractionSlack = 0.04
# Rebuilt from its parts, y may miss the rows by this many times the interpolant's own error.
kConfirmRatio = 2.0
# Fewer variables than this the plain search covers as well as parts would.
kMinVariables = 4
# Rounds of backfitting: the first searches each part against the interpolant's estimate of
# the others, the second against the formulas found (only while the parts beat the front: what
# the first round found no better, the second finds within the noise of it).
kRounds = 2
# A formula within this factor of a part's lowest loss stands for the part besides the lowest.
kNearLoss = 2.0
# Joined combinations of the parts' formulas at most (each refitted on the rows).
kMaxCombinations = 16
# Rows the parts are searched on, at most.
kPartRows = 4096
# The most constants the engine refits in one program.
kMaxConstants = _native.engine_defaults()["max_constants"]

_ADD, _MUL = "add", "mul"


def _whole(program) -> bool:
    """Whether the postfix tokens make one expression (no operator short of operands)."""
    depth = 0
    for kind, value in program:
        depth += 1 - ARITY[value] if kind == "op" else 1
        if depth < 1:
            return False
    return depth == 1


def _components(count: int, edges) -> list[tuple[int, ...]]:
    parent = list(range(count))

    def root(k):
        while parent[k] != k:
            parent[k] = parent[parent[k]]
            k = parent[k]
        return k

    for a, b in edges:
        parent[root(a)] = root(b)
    groups: dict[int, list[int]] = {}
    for k in range(count):
        groups.setdefault(root(k), []).append(k)
    return sorted(tuple(g) for g in groups.values())


def _with(points: np.ndarray, others: np.ndarray, variables) -> np.ndarray:
    out = points.copy()
    out[list(variables)] = others[list(variables)]
    return out


def split(columns: np.ndarray, target: np.ndarray, kind: str = _ADD):
    """The groups of variables that y is a sum of parts over (of log|y|, a product, with kind
    "mul"), and for each group its estimate on every row (the interpolant read with the other
    variables held at one point; the first part carries the rest of y's level). None when y is
    no such sum or the data cannot tell."""
    count, rows = columns.shape
    if count < 2 or _spread(rows, 2 * kCentres).shape[0] < 2 * kMinCentres:
        return None
    with np.errstate(all="ignore"):
        raw = np.log(np.abs(target)) if kind == _MUL else target
    if kind == _MUL and not _one_signed(target):
        return None
    if not np.all(np.isfinite(raw)):
        return None
    order = _spread(rows, 2 * kCentres)
    centres, rest = order[::2], order[1::2]
    level, spread = float(np.mean(raw[order])), float(np.std(raw[order]))
    if not spread > 0:
        return None
    value = (raw - level) / spread
    low, high = columns.min(axis=1, keepdims=True), columns.max(axis=1, keepdims=True)
    if not np.all(high > low):
        return None
    # the spline is least sure near the box's faces: it is read between its innermost rows
    outward = np.max(np.abs((columns[:, rest] - low) / (high - low) - 0.5), axis=0)
    probes = rest[np.argsort(outward, kind="stable")[:kProbes]]
    partners = np.roll(probes, probes.shape[0] // 2)
    with np.errstate(all="ignore"):
        try:
            spline = _Interpolant(columns[:, centres], value[centres])
        except np.linalg.LinAlgError:
            return None
        error = float(np.mean(np.abs(spline(columns[:, rest]) - value[rest])))
        p, q = columns[:, probes], columns[:, partners]
        base = spline(p)
        single = [spline(_with(p, q, (a,))) for a in range(count)]
        steps = [float(np.mean(np.abs(s - base))) for s in single]
        edges = []
        for a, b in itertools.combinations(range(count), 2):
            mixed = float(np.mean(np.abs(spline(_with(p, q, (a, b))) - single[a] - single[b] + base)))
            if not math.isfinite(mixed):
                return None
            if mixed > kNoiseFactor * error or mixed > kInteractionSlack * (steps[a] + steps[b]):
                edges.append((a, b))
    if not (math.isfinite(error) and all(math.isfinite(s) for s in steps)):
        return None
    # a group that moves y no more than the interpolant's error is one y does not depend on
    groups = [g for g in _components(count, edges) if max(steps[v] for v in g) > kNoiseFactor * error]
    if len(groups) < 2:
        return None
    # confirmed at rows the spline was not fitted to, from one innermost point
    anchor = columns[:, probes[:1]]
    held = columns[:, rest]
    with np.errstate(all="ignore"):
        middle = float(spline(anchor)[0])
        parts = [spline(_with(np.repeat(anchor, held.shape[1], axis=1), held, g)) - middle for g in groups]
        rebuilt = middle + np.sum(parts, axis=0)
        missed = float(np.mean(np.abs(rebuilt - value[rest])))
    if not missed <= kConfirmRatio * error:
        return None
    with np.errstate(all="ignore"):
        estimates = []
        for k, g in enumerate(groups):
            part = spline(_with(np.repeat(anchor, rows, axis=1), columns, g)) - middle
            part = part * spread + (level + middle * spread if k == 0 else 0.0)
            estimates.append(part)
    if kind == _MUL:
        with np.errstate(all="ignore"):
            estimates = [np.exp(e) for e in estimates]
        estimates[0] = estimates[0] * math.copysign(1.0, float(target[0]))
    if not all(np.all(np.isfinite(e)) for e in estimates):
        return None
    return groups, estimates


def _others(estimates, skip: int, kind: str) -> np.ndarray:
    rest = [e for k, e in enumerate(estimates) if k != skip]
    return np.sum(rest, axis=0) if kind == _ADD else np.prod(rest, axis=0)


def _backfitted(columns, target, weights, groups, estimates, kind, search, refitted, beat):
    """Each part searched on y less (over) the others' estimates, in rounds; after each round,
    the parts' formulas joined and refitted on the rows (`refitted(fronts)`): a joint
    refit mends parts that the others' errors bent, so the rounds stop once that is exact, or
    once a round fails to beat the loss `beat` by more than chance."""
    fronts: list[list[dict]] = [[] for _ in groups]
    estimates = list(estimates)
    candidates: list[dict] = []
    for _ in range(kRounds):
        for k, group in enumerate(groups):
            inputs = np.ascontiguousarray(columns[list(group)])
            with np.errstate(all="ignore"):
                others = _others(estimates, k, kind)
                goal = target - others if kind == _ADD else target / others
            if not np.all(np.isfinite(goal)):
                return candidates
            front = [f for f in search(inputs, goal, weights) if f["program"]]
            if not front:
                return candidates
            # the simplest near the lowest loss stands for the part: the lowest, on a goal the
            # others' errors still bend, is those errors fitted
            standing = _choices(front)[-1]
            with np.errstate(all="ignore"):
                values = _values(standing["program"], inputs, standing["constants"])
            if not np.all(np.isfinite(values)) or (kind == _MUL and not np.all(values != 0)):
                return candidates
            fronts[k], estimates[k] = front, values
        joined_now = refitted(fronts)
        candidates += joined_now
        if any(c["nmse"] <= kExactNmse for c in candidates):
            break
        if not any(c["loss"] < beaten_by_chance(target.shape[0]) * beat for c in joined_now):
            break
    return candidates


def _choices(front: list[dict]) -> list[dict]:
    """The formulas that stand for a part: the lowest loss, and the simplest near it."""
    lowest = min(front, key=lambda f: f["loss"])
    near = [f for f in front if f["loss"] <= kNearLoss * lowest["loss"] or f["nmse"] <= kExactNmse]
    simplest = min(near, key=lambda f: f["complexity"])
    return [lowest] if simplest is lowest else [lowest, simplest]


def _leaf_value(token, constants) -> float | None:
    kind, value = token
    if kind == "const":
        return float(value)
    if kind == "param":
        return float(constants[value])
    return None


def _without_level(program, constants, kind: str):
    """The program without its own additive constant (kind "add") or scale ("mul"), and that
    constant: the joined formula carries one for all its parts."""
    program = tuple(program)
    if len(program) == 1:
        leaf = _leaf_value(program[0], constants)
        if leaf is not None:
            return (), leaf
    if len(program) >= 3 and program[-1] in (("op", kind), ("op", "sub" if kind == _ADD else "div")):
        leaf = _leaf_value(program[-2], constants)
        if leaf is not None:
            if program[-1][1] == kind:
                return program[:-2], leaf
            if kind == _ADD:
                return program[:-2], -leaf
            if leaf != 0:
                return program[:-2], 1.0 / leaf
        leaf = _leaf_value(program[0], constants)
        if leaf is not None and program[-1] == ("op", kind) and _whole(program[1:-1]):
            return program[1:-1], leaf
    return program, 0.0 if kind == _ADD else 1.0


def joined(parts, kind: str = _ADD):
    """One program of the parts' formulas (each over all the variables), joined by + or ·, with
    one constant for their levels: (program, constants)."""
    program: list = []
    constants: list[float] = []
    level = 0.0 if kind == _ADD else 1.0
    for part in parts:
        body, own = _without_level(part["program"], part["constants"], kind)
        level = level + own if kind == _ADD else level * own
        if not body:
            continue
        renumbered: dict[int, int] = {}
        for token in body:
            if token[0] == "param":
                if token[1] not in renumbered:
                    renumbered[token[1]] = len(constants)
                    constants.append(float(part["constants"][token[1]]))
                token = ("param", renumbered[token[1]])
            program.append(token)
        if len(program) > len(body):
            program.append(("op", kind))
    program += [("param", len(constants)), ("op", kind)] if program else [("param", 0)]
    constants.append(level)
    return tuple(program), tuple(constants)


def _over(program, group) -> tuple:
    """A part's program, over its group's columns, read over all the variables."""
    return tuple(("var", group[v]) if kind == "var" else (kind, v) for kind, v in program)


def _refit_parts(parts, kind, columns, target, weights, variance) -> list[dict]:
    """The parts joined, with and without their joint level (the parts' levels may cancel: the
    front keeps the shorter where it fits as well), refitted and measured on all rows."""
    program, constants = joined(parts, kind)
    if len(constants) > kMaxConstants:
        # past what the engine refits at once: the parts keep their own values, the level alone
        # (the last constant) is refitted
        level = len(constants) - 1
        program = tuple(("param", 0) if token == ("param", level) else ("const", constants[token[1]])
                        if token[0] == "param" else token for token in program)
        constants = (constants[level],)
    out = []
    for shape in ((program, constants), (program[:-2], constants[:-1])):
        if shape[0]:
            candidate = _refitted(*shape, columns, target, weights, variance)
            if candidate is not None:
                out.append(candidate)
    return out


def _combined(fronts, groups, kind, columns, target, weights, variance) -> list[dict]:
    """The parts' standing formulas joined in every combination (within kMaxCombinations), each
    refitted and measured on all rows; where one is exact, also its simplest exact form."""
    fronts = [[dict(f, program=_over(f["program"], g)) for f in front] for g, front in zip(groups, fronts)]
    options = [_choices(front) for front in fronts]
    combinations = list(itertools.islice(itertools.product(*options), kMaxCombinations + 1))
    if len(combinations) > kMaxCombinations:
        # too many to try: the lowest losses together, and the simplest together
        combinations = [tuple(o[0] for o in options), tuple(o[-1] for o in options)]
    out = []
    for parts in combinations:
        found = _refit_parts(parts, kind, columns, target, weights, variance)
        out += found
        if any(c["nmse"] <= kExactNmse for c in found):
            break
    else:
        return out
    # A part searched against the others' errors fits them with terms the joint refit then
    # zeroes: each part in turn takes the simplest formula of its front that keeps the whole exact.
    parts = list(parts)
    for k, front in enumerate(fronts):
        for simpler in sorted(front, key=lambda f: f["complexity"]):
            if simpler["complexity"] >= parts[k]["complexity"]:
                break
            found = _refit_parts([*parts[:k], simpler, *parts[k + 1 :]], kind, columns, target, weights, variance)
            if any(c["nmse"] <= kExactNmse for c in found):
                parts[k] = simpler
                out += found
                break
    return out


def solved(columns: np.ndarray, target: np.ndarray, weights, variance: float, search, factors=frozenset(),
           beat: float = math.inf) -> list[dict]:
    """The formulas of the parts y falls apart into (a sum, else a product), joined and refitted
    on all rows, as the engine reports formulas; empty when the data show no such split. A product
    whose parts are, all but one, of the power `factors` (variables) is the monomial's already.
    `beat`: the loss the parts must beat for a second round of their searches."""
    if columns.shape[0] < kMinVariables:
        return []
    pick = _spread(target.shape[0], kPartRows)
    x, y = np.ascontiguousarray(columns[:, pick]), target[pick]
    w = None if weights is None else weights[pick]
    for kind in (_ADD, _MUL):
        found = split(x, y, kind)
        if found is None:
            continue
        groups, estimates = found
        if kind == _MUL and sum(1 for g in groups if not (len(g) == 1 and g[0] in factors)) < 2:
            continue

        def refitted(fronts, groups=groups, kind=kind):
            return _combined(fronts, groups, kind, columns, target, weights, variance)

        candidates = _backfitted(x, y, w, groups, estimates, kind, search, refitted, beat)
        if candidates:
            return candidates
    return []
