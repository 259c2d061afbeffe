"""What a discovery returns: formulas (:class:`Formula`), the front and the chosen one
(:class:`DiscoveryResult`), and the progress reports of a search (:class:`LevelInfo`)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

from . import _native
from ._inputs import columns_of, frame_columns

__all__ = ["Formula", "DiscoveryResult", "LevelInfo", "constant_errors", "kRowsPerConstant", "kExactNmse"]

# Rows each fitted constant needs before a formula is shown or chosen.
kRowsPerConstant = 8
# A fit this close to exact is no chance fit, whatever its constants (with rows to spare).
kExactNmse = 1e-20

# The most constants the engine fits in one problem.
_MAX_CONSTANTS = _native.engine_defaults()["max_constants"]

@dataclass(frozen=True)
class LevelInfo:
    """Progress after one level of the search."""

    level: int            #: size of the building blocks this level made
    candidates: int       #: candidates scored
    kept: int             #: building blocks kept
    best_nmse: float      #: best normalised squared error so far, on the sample
    best_exact: int       #: complexity of the simplest exact fit so far (0: none yet)
    seconds: float        #: since the search started


class Formula:
    """A fitted formula: a postfix program over the variables, with its fitted constants.

    Values, not references: two formulas with the same program, constants and names are
    equal. ``predict`` runs in the native engine, column-wise; rows where the formula has no
    value (a logarithm of a non-positive number, a division by zero) give NaN.
    """

    __slots__ = ("program", "constants", "names", "complexity", "loss", "nmse", "score", "constant_errors", "box",
                 "_rmse")

    def __init__(self, program, constants, names, complexity, loss, nmse, score, constant_errors=None, rmse=None):
        self.program: tuple = tuple(tuple(t) for t in program)
        self.constants: tuple[float, ...] = tuple(float(c) for c in constants)
        self.names: tuple[str, ...] = tuple(names)
        self.complexity: int = int(complexity)
        self.loss: float = float(loss)    #: mean squared error on the data it was fitted to
        self.nmse: float = float(nmse)    #: loss over the target's variance
        self.score: float = float(score)  #: drop of log-loss per token against the simpler front entry
        #: the standard error of each fitted constant (NaN where it cannot be told): from the
        #: curvature of the squared error at the fit, σ²·(JᵀJ)⁻¹ with σ² = SSE/(rows − constants)
        self.constant_errors: tuple[float, ...] = (
            tuple(math.nan for _ in self.constants) if constant_errors is None
            else tuple(float(e) for e in constant_errors)
        )
        #: the box the formula was checked on, (low, high) per variable (None: not checked)
        self.box: tuple[tuple[float, float], ...] | None = None
        # the root of `loss` where `loss` itself is past the largest float (targets beyond 1e154)
        self._rmse: float | None = None if rmse is None else float(rmse)

    @property
    def domain(self) -> dict[str, tuple[float, float]] | None:
        """Where the formula is known to have a value, within ten times the target's range: the
        box it was checked on, by variable (the rows' box widened by ``margin``, or the rows' own
        box for an exact fit). ``predict`` computes outside it too."""
        return None if self.box is None else dict(zip(self.names, self.box))

    @property
    def fitted_constants(self) -> int:
        """How many constants were fitted to the data, snapped ones included (a structural 1 or
        2, as in 1 − v², is not)."""
        from ._holdout import fitted_count

        return fitted_count(self.program)

    @property
    def rmse(self) -> float:
        """The root of the mean squared error on the data the formula was fitted to."""
        return math.sqrt(self.loss) if self._rmse is None else self._rmse

    @property
    def r2(self) -> float:
        return 1.0 - self.nmse

    @property
    def text(self) -> str:
        """Readable infix, e.g. ``0.5*m*v**2``, constants to 10 significant digits.

        Variables appear under the same identifiers as the parameters of :meth:`to_python`:
        a name that is a Python identifier stays as it is (unless it is a keyword or one of
        the names the exported function itself uses: ``math``, ``abs``, which get a trailing
        underscore), any other becomes a safe one (``mass (kg)`` -> ``mass_kg``). The text is
        for reading and never evaluated; the exports are built from the program.
        """
        from ._export import to_text

        return to_text(self.program, self.constants, self.names)

    def predict(self, X) -> np.ndarray:
        """The formula's values on the rows of X, as float64. A DataFrame whose columns are
        labelled by text is read by the variables' names (in any order; a missing name is an
        error); anything else holds the variables in their order."""
        columns = frame_columns(X, self.names)
        if columns is None:
            columns, _ = columns_of(X, allow_nonfinite=True, expect=len(self.names))
        out = np.empty(columns.shape[1], dtype=np.float64)
        _native.predict(self.program, self.constants, columns, out)
        return out

    def latex(self, X=None) -> str:
        """LaTeX of the formula (through SymPy when installed). With data X (rows ×
        variables), the guards that act on those rows are stated, as in :meth:`sympy`."""
        from ._export import to_latex

        return to_latex(self.program, self.constants, self.names, X)

    def to_python(self, name: str = "formula") -> str:
        """Source of a runnable function of the named variables."""
        from ._export import to_python

        return to_python(self.program, self.constants, self.names, name=name)

    def sympy(self, X=None):
        """The formula as a SymPy expression (needs the ``sympy`` extra).

        Without data the guarded operators take their plain forms (``log(a)``, ``a/b``),
        assuming every argument in its domain. With data X (rows × variables), each guard
        that acts on some of those rows is stated: the whole expression becomes a
        ``Piecewise`` that is NaN where the engine has no value (see :mod:`zan_math._export`).
        """
        from ._export import to_sympy

        return to_sympy(self.program, self.constants, self.names, X)

    def to_numpy(self) -> Callable[..., np.ndarray]:
        """A vectorised NumPy function of the variables, in their order."""
        from ._export import to_numpy

        return to_numpy(self.program, self.constants, self.names)

    def _key(self):
        return (self.program, self.constants, self.names)

    def __eq__(self, other):
        if not isinstance(other, Formula):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __getstate__(self):
        return {k: getattr(self, k) for k in self.__slots__}

    def __setstate__(self, state):
        state.setdefault("constant_errors", tuple(math.nan for _ in state.get("constants", ())))
        state.setdefault("box", None)
        state.setdefault("_rmse", None)
        for k, v in state.items():
            object.__setattr__(self, k, v)

    def __repr__(self) -> str:
        return f"Formula({self.text!r}, complexity={self.complexity}, rmse={self.rmse:.3g}, r2={self.r2:.6g})"

    def _repr_html_(self) -> str:
        from ._display import formula_html

        return formula_html(self)

    def _repr_latex_(self) -> str | None:
        from ._display import formula_latex

        return formula_latex(self)


class DiscoveryResult:
    """What :func:`discover` found: the front, the chosen formula, and how the search went."""

    __slots__ = ("front", "best", "names", "interrupted", "stop_reason", "levels", "beats_mean", "set_aside", "rows")

    def __init__(self, front, best, names, interrupted, stop_reason, levels, beats_mean=True):
        self.front: list[Formula] = front     #: best formula per complexity, loss falling; and best
        self.best: Formula | None = best      #: the chosen formula (None only when nothing fitted)
        self.names: tuple[str, ...] = names
        self.interrupted: bool = interrupted  #: stopped early; front holds what was found by then
        self.stop_reason: str | None = stop_reason  #: "time_limit", "interrupt", "callback" or None
        self.levels: list[LevelInfo] = levels
        #: whether the chosen formula predicts rows it did not see better than the mean; when
        #: no formula does, ``best`` is the constant (the mean of y) and this is False
        self.beats_mean: bool = beats_mean
        #: the columns set aside before the search, as showing no dependence of y on them
        #: (searches over many columns only)
        self.set_aside: tuple[str, ...] = ()
        self.rows: int = 0  #: rows of the data

    @property
    def shown_front(self) -> list[Formula]:
        """The front without the formulas that have more fitted constants than the rows support
        (one per ``kRowsPerConstant`` rows, one at least): on 8 rows a formula with 6 constants
        would fit anything. The chosen formula is always shown."""
        limit = max(1, self.rows // kRowsPerConstant) if self.rows else None
        return [f for f in self.front if f is self.best or limit is None or f.fitted_constants <= limit]

    def _hidden_note(self) -> str | None:
        hidden = len(self.front) - len(self.shown_front)
        if not hidden:
            return None
        return (f"{hidden} formula{'s' if hidden > 1 else ''} with more fitted constants than "
                f"{self.rows} rows support {'are' if hidden > 1 else 'is'} not shown (front holds them)")

    def __repr__(self) -> str:
        lines = [f"DiscoveryResult(best={self.best!r}, interrupted={self.interrupted})"]
        if not self.beats_mean:
            lines.append("  no formula predicts held-out rows better than the mean: best is the constant")
        for f in self.shown_front:
            mark = "*" if f is self.best else " "
            lines.append(f" {mark} {f.complexity:3d}  loss={f.loss:.4g}  {f.text}")
        note = self._hidden_note()
        if note:
            lines.append(f"  ({note})")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        from ._display import result_html

        return result_html(self)


def constant_errors(formula: Formula, data, source, weights=None) -> tuple[float, ...]:
    """Standard errors of the formula's constants from the normal equations over all rows (with
    weights, σ²·(JᵀWJ)⁻¹ with σ² = Σw·r²/(Σw − constants): a weight counts as that many rows)."""
    p = len(formula.constants)
    unknown = tuple(math.nan for _ in range(p))
    if p == 0:
        return ()
    if source is not None:
        jtj, _, cost, ok = source.normal(formula.program, formula.constants)
        rows = getattr(source, "weight_total", source.rows)
    elif p <= _MAX_CONSTANTS:
        columns, target = data
        jtj, _, cost, ok = _native.normal(formula.program, formula.constants, columns, target, weights)
        rows = target.shape[0] if weights is None else float(np.sum(weights))
    else:  # the plane: linear in its constants, J is its design matrix
        columns, target = data
        rows = target.shape[0] if weights is None else float(np.sum(weights))
        design = np.vstack([columns, np.ones(columns.shape[1])])
        weighted = design if weights is None else design * weights
        jtj, cost, ok = (weighted @ design.T).ravel(), formula.loss * rows, True
    if not ok or rows <= p or not math.isfinite(cost):
        return unknown
    with np.errstate(all="ignore"):
        try:
            covariance = np.linalg.inv(np.asarray(jtj, dtype=np.float64).reshape(p, p)) * (cost / (rows - p))
        except np.linalg.LinAlgError:
            return unknown
        errors = np.sqrt(np.diag(covariance))
    return tuple(float(e) if math.isfinite(e) and e >= 0 else math.nan for e in errors)
