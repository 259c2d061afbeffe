"""Views of discovered formulas: HTML for notebooks and a standalone HTML report.

A :class:`~zan_math.DiscoveryResult`, a :class:`~zan_math.Formula` and a fitted
:class:`~zan_math.FormulaRegressor` show in Jupyter as a table of the front (complexity, loss,
R², the formula, the chosen row marked) beside a plot of loss per complexity, in SVG written
here, so no plotting library is needed. :func:`report_html` makes a whole page of the same,
with the fit on the data when the rows are given.

Formulas are set in MathML (see :mod:`zan_math._mathml`), which browsers and Jupyter render
themselves: the views read well with no script and no network. Without SymPy a formula shows
as its text, in monospace.

Every name shown may come from a column header, so all text is escaped: a column called
``<script>`` stays text. Jupyter typesets ``$...$`` and ``\\(...\\)`` anywhere in HTML output, so
the views are marked for MathJax to skip: a column called ``$\\frac{$`` is shown as it is.
"""

from __future__ import annotations

import html
import math
import re
from collections.abc import Sequence
from typing import Any

# An exact fit has loss 0, which a logarithmic axis cannot show: it sits on a floor this many
# times under the smallest positive loss, or at NO_POSITIVE_FLOOR when no loss is positive.
EXACT_FLOOR_RATIO = 100.0
NO_POSITIVE_FLOOR = 1e-30
# The report plots at most this many rows (evenly spread), so a large data set stays a small page.
REPORT_MAX_POINTS = 2000

_SKIP_MATH = "tex2jax_ignore mathjax_ignore"  # the class names MathJax 2 and 3 skip

# Notes under a table wrap at the table's width (width 0, min-width 100%) rather than widen
# it and push the plot below.
_STYLE = """
.zan-view { display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; font-family: sans-serif; }
.zan-view table { border-collapse: collapse; font-size: 0.9em; }
.zan-view th, .zan-view td { padding: 0.2em 0.6em; text-align: right; border-bottom: 1px solid #ddd; }
.zan-view .zan-formula { text-align: left; }
.zan-view td.zan-formula math { font-size: 1.15em; math-style: normal; }
.zan-view p { margin: 0.3em 0; font-size: 0.9em; width: 0; min-width: 100%; }
.zan-view tr.zan-chosen { background: #fff3c4; font-weight: bold; }
.zan-view caption { text-align: left; font-weight: bold; padding-bottom: 0.3em; }
.zan-view svg { font-family: sans-serif; }
"""
_PAGE_STYLE = """
body { font-family: sans-serif; margin: 1.5em 2em; max-width: 75em; }
.zan-headline { display: inline-block; font-size: 1.4em; margin: 0.2em 0; }
"""


def floored_losses(losses: Sequence[float]) -> tuple[list[float | None], float]:
    """Losses as a logarithmic axis can show them, and the floor under them: 0 is put on the
    floor, and a loss that is not finite becomes None (it has no place on the axis)."""
    positive = [v for v in losses if math.isfinite(v) and v > 0]
    floor = min(positive) / EXACT_FLOOR_RATIO if positive else NO_POSITIVE_FLOOR
    return [None if not math.isfinite(v) else v if v > 0 else floor for v in losses], floor


# ---- text ---------------------------------------------------------------------------------


# Characters XML forbids even escaped (C0 controls but tab and line ends, lone surrogates, and
# U+FFFE/U+FFFF): a name holding one would leave the SVG ill-formed, so it shows as U+FFFD.
_NOT_XML = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _text(value: object) -> str:
    return html.escape(_NOT_XML.sub("\ufffd", str(value)))


def _number(value: float, digits: int) -> str:
    return f"{value + 0.0:.{digits}g}" if math.isfinite(value) else str(value)  # + 0.0: no -0


def _latex(formula) -> str | None:
    """The formula's LaTeX, or None when it cannot be made (the text is shown instead)."""
    try:
        return formula.latex()
    except Exception:  # a view must show something whatever the formula holds
        return None


def formula_latex(formula) -> str | None:
    """``$...$`` around the formula's LaTeX, for Jupyter's ``_repr_latex_`` (None: no LaTeX view)."""
    tex = _latex(formula)
    return None if tex is None else f"${tex}$"


def _chosen(front: Sequence[Any], best: Any) -> int | None:
    """The position of `best` in `front`: the same object, else an equal formula."""
    for same in (lambda f: f is best, lambda f: f == best):
        for k, formula in enumerate(front):
            if same(formula):
                return k
    return None


# Constants with an error are printed in fixed point down to this decimal place and below this
# size, in significant digits beyond.
kFixedPlaces = -6
kFixedBelow = 1e10


def formula_markup(formula, *, display: str = "inline") -> str:
    """The formula typeset in MathML, or its text in monospace when there is no MathML."""
    from ._mathml import formula_mathml

    markup = formula_mathml(formula, display=display)
    return f"<code>{_text(formula.text)}</code>" if markup is None else markup


def with_error(value: float, error: float) -> str:
    """A fitted constant with its standard error, printed to the digits the error supports
    (down to its second significant digit): 0.99890 ± 0.00034, 12350 ± 340. Where the error is
    not known (NaN) or is zero, the constant has all its digits."""
    if not math.isfinite(error) or error <= 0.0 or not math.isfinite(value):
        return f"{value:.10g}"
    place = math.floor(math.log10(error)) - 1  # the decimal place of the error's second digit
    if 0 <= place and max(abs(value), error) < kFixedBelow:
        return f"{round(value, -place):.0f} ± {round(error, -place):.0f}"
    if kFixedPlaces <= place < 0 and abs(value) < kFixedBelow:
        return f"{value:.{-place}f} ± {error:.2g}"
    top = math.floor(math.log10(abs(value))) if value != 0.0 else place
    digits = max(1, min(10, top - place + 1))
    return f"{value:#.{digits}g} ± {error:.2g}"


def _formula_cell(formula) -> str:
    return f'<td class="zan-formula" title="{_text(formula.text)}">{formula_markup(formula)}</td>'


# ---- the front as a table -----------------------------------------------------------------


def front_table(front: Sequence[Any], best: Any, caption: str | None = None) -> str:
    """The front as an HTML table, one row per formula, the chosen one marked."""
    rows = []
    mark_at = _chosen(front, best)
    for k, formula in enumerate(front):
        chosen = k == mark_at
        mark = ' class="zan-chosen" title="the chosen formula"' if chosen else ""
        rows.append(
            f"<tr{mark}><td>{'★' if chosen else ''}</td><td>{formula.complexity}</td>"
            f"<td>{_number(formula.loss, 4)}</td><td>{_number(formula.r2, 10)}</td>{_formula_cell(formula)}</tr>"
        )
    head = "<tr><th></th><th>complexity</th><th>loss</th><th>R²</th><th class='zan-formula'>formula</th></tr>"
    title = f"<caption>{_text(caption)}</caption>" if caption else ""
    return f"<table>{title}<thead>{head}</thead><tbody>{''.join(rows)}</tbody></table>"


# ---- charts in SVG ------------------------------------------------------------------------


def _linear_ticks(low: float, high: float, count: int = 5, least_step: float = 0.0) -> list[float]:
    raw = (high - low) / count
    if not (math.isfinite(raw) and raw > 0):
        return [low, high]
    magnitude = 10.0 ** math.floor(math.log10(raw))
    step = max(next(m * magnitude for m in (1, 2, 5, 10) if m * magnitude >= raw), least_step)
    return [k * step for k in range(math.ceil(low / step), math.floor(high / step) + 1)]


def _padded(low: float, high: float) -> tuple[float, float]:
    if low == high:
        spread = abs(low) * 0.1 or 1.0
        return low - spread, high + spread
    margin = (high - low) * 0.05
    if not math.isfinite(margin):
        return low, high
    return low - margin, high + margin


class _Chart:
    """An x-y chart in a fixed box: linear x, linear or logarithmic y, axes with ticks."""

    width, height = 340, 230
    left, right, top, bottom = 62, 12, 12, 42

    def __init__(self, xs, ys, *, x_label: str, y_label: str, log_y: bool = False, integer_x: bool = False,
                 x_from_zero: bool = False):  # fmt: skip
        xs = [v for v in xs if math.isfinite(v)] or [0.0]
        ys = [v for v in ys if math.isfinite(v) and (v > 0 or not log_y)] or [1.0]
        self.x_label, self.y_label, self.log_y = x_label, y_label, log_y
        if x_from_zero:
            self.x_low, self.x_high = 0.0, max(max(xs), 0.0) + 1.0
        else:
            self.x_low, self.x_high = _padded(min(xs), max(xs))
        if log_y:
            low, high = math.floor(math.log10(min(ys))), math.ceil(math.log10(max(ys)))
            self.y_low, self.y_high = float(low), float(max(high, low + 1))  # in decades
        else:
            self.y_low, self.y_high = _padded(min(ys), max(ys))
        self.x_ticks = _linear_ticks(self.x_low, self.x_high, least_step=1.0 if integer_x else 0.0)
        self.body: list[str] = []

    def x(self, value: float) -> float:
        share = (value - self.x_low) / (self.x_high - self.x_low)
        return self.left + share * (self.width - self.left - self.right)

    def y(self, value: float) -> float:
        if self.log_y:
            value = math.log10(value)
        share = (value - self.y_low) / (self.y_high - self.y_low)
        return self.height - self.bottom - share * (self.height - self.top - self.bottom)

    def _y_ticks(self) -> list[tuple[float, str]]:
        if not self.log_y:
            return [(t, _number(t, 4)) for t in _linear_ticks(self.y_low, self.y_high)]
        decades = int(self.y_high - self.y_low)
        stride = max(1, math.ceil(decades / 6))
        return [(10.0**k, f"1e{k}") for k in range(int(self.y_low), int(self.y_high) + 1, stride)]

    def points(self, xs, ys, *, color: str, radius: float = 2.5, tips: Sequence[str] | None = None) -> None:
        for k, (x, y) in enumerate(zip(xs, ys)):
            if math.isfinite(x) and math.isfinite(y) and (y > 0 or not self.log_y):
                tip = f"<title>{_text(tips[k])}</title>" if tips is not None else ""
                self.body.append(
                    f'<circle cx="{self.x(x):.1f}" cy="{self.y(y):.1f}" r="{radius}" fill="{color}">{tip}</circle>'
                )

    def ring(self, x: float, y: float, *, color: str) -> None:
        self.body.append(
            f'<circle cx="{self.x(x):.1f}" cy="{self.y(y):.1f}" r="6" fill="none" stroke="{color}" stroke-width="1.5"/>'
        )

    def line(self, xs, ys, *, color: str, dashed: bool = False) -> None:
        path = " ".join(f"{self.x(x):.1f},{self.y(y):.1f}" for x, y in zip(xs, ys))
        dash = ' stroke-dasharray="4 3"' if dashed else ""
        self.body.append(f'<polyline points="{path}" fill="none" stroke="{color}" stroke-width="1"{dash}/>')

    def note(self, text: str) -> None:
        """A line of text in the lower left corner, which a front (loss falling as the
        complexity grows) leaves empty."""
        self.body.append(
            f'<text x="{self.left + 6}" y="{self.height - self.bottom - 6}" font-size="10">{_text(text)}</text>'
        )

    def svg(self, title: str) -> str:
        bottom, left = self.height - self.bottom, self.left
        parts = [
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{self.width}" height="{self.height}" '
            f'viewBox="0 0 {self.width} {self.height}" role="img" aria-label="{_text(title)}">',
            f"<title>{_text(title)}</title>",
            f'<rect x="{left}" y="{self.top}" width="{self.width - left - self.right}" '
            f'height="{bottom - self.top}" fill="none" stroke="#999"/>',
        ]
        for t in self.x_ticks:
            x = self.x(t)
            parts.append(f'<line x1="{x:.1f}" y1="{bottom}" x2="{x:.1f}" y2="{bottom + 4}" stroke="#999"/>')
            parts.append(
                f'<text x="{x:.1f}" y="{bottom + 15}" text-anchor="middle" font-size="10">{_number(t, 4)}</text>'
            )
        for value, label in self._y_ticks():
            y = self.y(value)
            parts.append(f'<line x1="{left - 4}" y1="{y:.1f}" x2="{left}" y2="{y:.1f}" stroke="#999"/>')
            parts.append(
                f'<text x="{left - 6}" y="{y + 3:.1f}" text-anchor="end" font-size="10">{_text(label)}</text>'
            )
        middle = (left + self.width - self.right) / 2
        parts.append(
            f'<text x="{middle:.1f}" y="{self.height - 6}" text-anchor="middle" font-size="11">'
            f"{_text(self.x_label)}</text>"
        )
        centre = (self.top + bottom) / 2
        parts.append(
            f'<text x="12" y="{centre:.1f}" text-anchor="middle" font-size="11" '
            f'transform="rotate(-90 12 {centre:.1f})">{_text(self.y_label)}</text>'
        )
        parts.extend(self.body)
        parts.append("</svg>")
        return "".join(parts)


def front_svg(front: Sequence[Any], best: Any) -> str:
    """Loss per complexity on a logarithmic axis, the chosen formula ringed."""
    losses, _ = floored_losses([f.loss for f in front])
    mark_at = _chosen(front, best)
    shown = [(f.complexity, loss, f, k == mark_at) for k, (f, loss) in enumerate(zip(front, losses)) if loss is not None]
    complexity = [float(c) for c, _, _, _ in shown]
    loss = [v for _, v, _, _ in shown]
    chart = _Chart(complexity, loss, x_label="complexity (tokens)", y_label="loss (mean squared error)",
                   log_y=True, integer_x=True, x_from_zero=True)  # fmt: skip
    steps_x, steps_y = [], []
    for k, (c, v) in enumerate(zip(complexity, loss)):
        if k:
            steps_x.append(c)
            steps_y.append(loss[k - 1])
        steps_x.append(c)
        steps_y.append(v)
    if steps_x:
        chart.line(steps_x, steps_y, color="#999")
    tips = [f"complexity {c}: loss {_number(f.loss, 4)}, {f.text}" for c, _, f, _ in shown]
    chart.points(complexity, loss, color="#1f77b4", tips=tips)
    for c, v, f, chosen in shown:
        if chosen:
            chart.ring(c, v, color="#d62728")
            if f.loss == 0:
                chart.note("chosen: exact (loss 0)")
    if not shown:
        chart.note("no finite loss to plot")
    return chart.svg("accuracy–simplicity front: loss per complexity")


# ---- views --------------------------------------------------------------------------------


def _view(inner: str) -> str:
    return f'<div class="zan-view {_SKIP_MATH}"><style>{_STYLE}</style>{inner}</div>'


def _paragraphs(lines: Sequence[str | None]) -> str:
    return "".join(f"<p>{_text(line)}</p>" for line in lines if line)


def _renamed(front: Sequence[Any]) -> list[str]:
    """Which column each variable of the formulas stands for, where the two differ; variables no
    formula shown uses (a column set aside, say) go unmentioned."""
    from ._export import identifiers

    names = front[0].names if front else ()
    used = {index for f in front for kind, index in f.program if kind == "var"}
    return [
        f"{ident} is the column '{name}'"
        for k, (ident, name) in enumerate(zip(identifiers(names), names))
        if ident != name and k in used
    ]


def _constants(formula, lead: str = "constants") -> str | None:
    """The formula's constants with their standard errors, as the command line prints them."""
    if formula is None or not formula.constants:
        return None
    return f"{lead}: " + ", ".join(with_error(c, e) for c, e in zip(formula.constants, formula.constant_errors))


def _set_aside(result) -> str | None:
    if not result.set_aside:
        return None
    columns = ", ".join(f"'{name}'" for name in result.set_aside)
    return f"set aside before the search, as the target showed no dependence on them: {columns}"


def _table(front: Sequence[Any], best: Any, caption: str | None, notes: Sequence[str | None] = ()) -> str:
    return f"<div>{front_table(front, best, caption)}{_paragraphs([*notes, *_renamed(front)])}</div>"


def front_html(front: Sequence[Any], best: Any, caption: str | None = None, notes: Sequence[str | None] = ()) -> str:
    """The front's table, with lines of notes under it, beside its plot, as an HTML fragment."""
    plot = front_svg(front, best) if front else ""
    return _view(f"{_table(front, best, caption, notes)}<div>{plot}</div>")


def _caption(result) -> str:
    count = len(result.shown_front)
    text = f"{count} formula{'' if count == 1 else 's'} on the front"
    if result.best is None:
        text += "; none chosen (nothing fitted)"
    if result.interrupted:
        text += f"; the search stopped early ({result.stop_reason or 'stopped'})"
    if not result.beats_mean:
        text += "; no formula predicts held-out rows better than the mean"
    note = result._hidden_note()
    if note:
        text += f"; {note}"
    return text


def result_html(result) -> str:
    """The notebook view of a DiscoveryResult: the formulas its rows support."""
    notes = [_constants(result.best, "constants of the chosen formula"), _set_aside(result)]
    return front_html(result.shown_front, result.best, _caption(result), notes)


def formula_html(formula) -> str:
    """The notebook view of one Formula: its row of the table."""
    return _view(_table([formula], formula, f"rmse {_number(formula.rmse, 6)}", [_constants(formula)]))


def regressor_html(estimator) -> str:
    """The notebook view of a FormulaRegressor: its front once fitted, else scikit-learn's own."""
    if not hasattr(estimator, "best_"):
        from sklearn.utils import estimator_html_repr

        return estimator_html_repr(estimator)
    result = _regressor_result(estimator)
    caption = f"{estimator!r}; {_caption(result)}"
    found = getattr(estimator, "result_", None)
    if found is not None and found.best is None:
        caption += "; the search found no formula: best_ is the mean of y"
    notes = [_constants(result.best, "constants of the chosen formula"), _set_aside(result)]
    return front_html(result.shown_front, result.best, caption, notes)


def _regressor_result(estimator):
    """The fitted search's result with the estimator's own front and choice (the mean of y when
    the search found nothing), so its view leaves off what the training rows do not support."""
    from ._discover import DiscoveryResult

    found = getattr(estimator, "result_", None)  # None: fitted before the result was kept
    result = DiscoveryResult(list(estimator.front_), estimator.best_, estimator.best_.names,
                             estimator.interrupted_, estimator.stop_reason_, [])  # fmt: skip
    if found is not None:
        result.beats_mean, result.rows, result.set_aside = found.beats_mean, found.rows, found.set_aside
    return result


def regressor_bundle(estimator, bundle: dict[str, str]) -> dict[str, str]:
    """scikit-learn's display bundle, its HTML (present when diagrams are on) replaced by ours."""
    if "text/html" in bundle:
        bundle = {**bundle, "text/html": regressor_html(estimator)}
    return bundle


# ---- the report ---------------------------------------------------------------------------


def _fit_svgs(best, X, y, target: str) -> str:
    import numpy as np

    observed = np.asarray(y, dtype=np.float64).reshape(-1)
    predicted = best.predict(X)
    if predicted.shape != observed.shape:
        raise ValueError(f"X has {predicted.shape[0]} rows but y has {observed.shape[0]}")
    usable = np.flatnonzero(np.isfinite(observed) & np.isfinite(predicted))
    notes = []
    if usable.size < observed.size:
        notes.append(f"{observed.size - usable.size} of {observed.size} rows left out (no value)")
    if usable.size > REPORT_MAX_POINTS:
        notes.append(f"{REPORT_MAX_POINTS} of {usable.size} rows shown, evenly spread")
        usable = usable[np.linspace(0, usable.size - 1, REPORT_MAX_POINTS).round().astype(np.int64)]
    obs, pred = observed[usable].tolist(), predicted[usable].tolist()
    residual = [o - p for o, p in zip(obs, pred)]

    versus = _Chart(obs + pred, obs + pred, x_label=f"{target} (data)", y_label=f"{target} (formula)")
    if obs:
        low, high = min(obs + pred), max(obs + pred)
        versus.line([low, high], [low, high], color="#999", dashed=True)
    versus.points(obs, pred, color="#1f77b4", radius=2)
    errors = _Chart(pred, residual + [0.0], x_label=f"{target} (formula)", y_label="data − formula")
    if pred:
        errors.line([min(pred), max(pred)], [0.0, 0.0], color="#999", dashed=True)
    errors.points(pred, residual, color="#1f77b4", radius=2)
    note = f"<p>{_text('; '.join(notes))}</p>" if notes else ""
    return (
        f'<div class="zan-view">{versus.svg("formula against data")}'
        f"{errors.svg('residuals against the formula')}</div>{note}"
    )


def report_html(result, X=None, y=None, *, title: str | None = None, target: str | None = None) -> str:
    """A standalone HTML page: the chosen formula, the front (table and plot) and, given the
    rows X and targets y, the formula against the data and the residuals.

    The page holds no script and loads nothing: the formulas are MathML, the plots SVG.
    """
    title = title or "Formula discovery"
    target = target or "y"
    best = result.best
    parts = [f"<h1>{_text(title)}</h1>"]
    if best is None:
        parts.append("<p>No formula was found.</p>")
    else:
        from ._mathml import formula_mathml

        typeset = formula_mathml(best, display="block", target=target)
        if typeset is not None:
            parts.append(f'<div class="zan-headline">{typeset}</div>')
        parts.append(f"<p><code>{_text(target)} = {_text(best.text)}</code></p>")
        lines = [
            f"complexity {best.complexity}, rmse {_number(best.rmse, 6)}, R² {_number(best.r2, 10)}",
            _constants(best),
            None if result.beats_mean else "No formula predicts held-out rows better than the mean: "
            "the chosen formula is the constant.",
            _set_aside(result),
        ]
        parts.append(_paragraphs(lines))
    parts.append("<h2>Front</h2>")
    parts.append(front_html(result.shown_front, result.best, _caption(result)))
    if best is not None and X is not None and y is not None:
        parts.append("<h2>Fit</h2>")
        parts.append(_fit_svgs(best, X, y, target))
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{_text(title)}</title><style>{_PAGE_STYLE}{_STYLE}</style></head>"
        f'<body>{"".join(parts)}</body></html>\n'
    )
