"""Formula discovery: :func:`discover`, the formulas it finds, and the accuracy–simplicity front.

The search runs in the native engine on a deterministic sample of the rows (256 by default),
scoring every candidate with its best scale and offset (``a*f + b``, fitted in closed form),
keeping building blocks besides winners, fitting sums of terms by least squares and
constants inside formulas by Levenberg–Marquardt. Every formula of the front is then refitted
on all rows, its constants snapped to simple values (1/2, 3/2, π, 1/√(2π), …) where the fit
stays as good, and measured there.
"""

from __future__ import annotations

import math
import shutil
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Sequence

import numpy as np

from . import _native, _options
from ._inputs import columns_of, default_names, frame_columns, target_of, weights_of
from ._scale import exponent, scale_program_inputs, scale_program_output
from ._screen import relevant_columns
from ._holdout import weighted_mean, weighted_variance
from ._source import DataSource

__all__ = ["discover", "Formula", "DiscoveryResult", "LevelInfo"]


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

    __slots__ = ("program", "constants", "names", "complexity", "loss", "nmse", "score", "constant_errors", "box")

    def __init__(self, program, constants, names, complexity, loss, nmse, score, constant_errors=None):
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
        return math.sqrt(self.loss)

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
        self.front: list[Formula] = front     #: best formula per complexity, loss strictly falling
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


# Rows each fitted constant needs before a formula is shown or chosen.
kRowsPerConstant = 8
# A fit this close to exact is no chance fit, whatever its constants (with rows to spare).
kExactNmse = 1e-20

# The most constants the engine fits in one problem.
_MAX_CONSTANTS = _native.engine_defaults()["max_constants"]

# Columns from which the least-squares plane over all of them is a candidate too.
kPlaneFrom = 3


# ---- the search --------------------------------------------------------------------------


def discover(
    X,
    y,
    sample_weight=None,
    *,
    names: Sequence[str] | None = None,
    max_complexity: int = 30,
    time_limit: float | None = None,
    selection: str = "best",
    progress: bool | Callable[[LevelInfo], Any] | None = None,
    sample_rows: int = 256,
    search_size: int = 10,
    max_terms: int = 6,
    operators: Sequence[str] | None = None,
    use_trig: bool = True,
    use_zan: bool = False,
    margin: float = 0.25,
    domain: dict | None = None,
    units=None,
    y_units: str | None = None,
    client=None,
    _source: DataSource | None = None,
) -> DiscoveryResult:
    """Find formulas y ≈ f(X): the best per complexity (the front) and the chosen one.

    X: rows × variables (NumPy array, list of rows, pandas DataFrame whose column names
    become the variable names; a 1-D X is one variable). y: one value per row. Every value
    must be a finite real number, with at least two rows.

    ``selection="best"`` chooses, among front formulas whose loss is within 1.5× of the
    lowest, the one with the largest drop of log-loss per added token (losses below 1e-14 of
    the target's variance count as equal, so rounding never decides); ``"accuracy"`` chooses
    the lowest loss.

    ``time_limit`` (seconds) and Ctrl-C stop the search early; the result then holds what was
    found so far, with ``interrupted`` set (Ctrl-C returns rather than raises). ``progress``:
    a callable receives a :class:`LevelInfo` after each level (returning False stops the
    search); True shows progress on standard error (a tqdm bar with the ``progress`` extra,
    else a line rewritten in place); None shows it only when standard error is a terminal;
    False never. A time limit makes the result depend on the machine's speed.

    Every option is checked before any work (a ``TypeError`` or ``ValueError`` names the
    keyword and what it accepts); ``zan_math._options.OPTIONS`` lists them with their ranges,
    and None stands for an option's default.

    The result is deterministic: the same inputs give the same front, bit for bit, for any
    number of threads. It does not depend on the units: data far from 1 (1e-200, 1e160) is
    searched scaled by a power of two, which is exact, and the formulas are scaled back.

    ``client``: a ``distributed.Client``; X and y may then be Dask arrays, a Dask DataFrame
    and Series, or in-memory data, which is sent to the cluster. The rows stay on the
    workers, which refit the front on all of them (see :mod:`zan_math.dask`).

    ``sample_weight``: one finite, non-negative weight per row, not all zero (None: every
    row counts once). A weight of 2 counts like the row given twice and a weight of 0 like a
    row left out: every fit is weighted least squares, and ``loss`` is the weighted mean
    squared error Σw·r²/Σw. With ``client`` the weights may be a Dask collection partitioned
    as y is; the workers weigh their own rows. Not yet with ``units``.
    """
    values = _options.check_all(
        dict(
            max_complexity=max_complexity,
            time_limit=time_limit,
            selection=selection,
            progress=progress,
            sample_rows=sample_rows,
            search_size=search_size,
            max_terms=max_terms,
            operators=operators,
            use_trig=use_trig,
            use_zan=use_zan,
            margin=margin,
            domain=domain,
            units=units,
            y_units=y_units,
        )
    )
    if values["units"] is not None or values["y_units"] is not None:
        if values["units"] is None or values["y_units"] is None:
            raise ValueError("units and y_units go together: give the units of the variables and of y")
        from ._units import discover_with_units

        if sample_weight is not None:
            raise NotImplementedError("sample_weight cannot be combined with units yet")
        inner = {k: v for k, v in values.items() if k not in ("units", "y_units")}
        return discover_with_units(discover, X, y, names, values["units"], values["y_units"], client=client, **inner)
    if client is not None:
        from .dask import _source_for

        _source = _source_for(X, y, client, sample_weight)
    weights = None
    if _source is None:
        columns, frame_names = columns_of(X, allow_nonfinite=False)
        target = target_of(y, columns.shape[1])
        weights = weights_of(sample_weight, columns.shape[1])
    else:
        columns, frame_names, target = _source.sample()
        weights = getattr(_source, "sample_weight", None)
    if weights is not None and not (weights > 0).all():
        # a row of weight 0 counts for nothing: it is left out of the search, the held-out
        # choice and the box the formulas are checked on
        counted = weights > 0
        columns, target, weights = np.ascontiguousarray(columns[:, counted]), target[counted], weights[counted]
        if target.shape[0] < 2:
            raise ValueError(f"discover needs at least two rows of positive weight, got {target.shape[0]}")
    if target.shape[0] < 2:
        raise ValueError(f"discover needs at least two rows, got {target.shape[0]}")
    n_vars = columns.shape[0]
    if names is not None:
        if isinstance(names, str):
            raise TypeError("names must be a sequence of names, one per variable, not one string")
        names = tuple(str(n) for n in names)
        if len(names) != n_vars:
            raise ValueError(f"names has {len(names)} entries for {n_vars} variables")
        if len(set(names)) != len(names):
            raise ValueError("names must be distinct")
    else:
        names = frame_names or default_names(n_vars)
    return _run(columns, target, values, names, _source, weights)


def _is_terminal(stream) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return False


class _ProgressDisplay:
    """Progress on standard error: a tqdm bar when tqdm is installed (the ``progress``
    extra), else one line rewritten in place. The search's thread reports each level; a
    thread of the display's own ticks the clock in between, so a long level still shows time
    passing. (Not the waiting thread: Ctrl-C lands there, and a KeyboardInterrupt raised in
    the middle of a redraw could leave tqdm's lock taken and the search's next report
    blocked for ever.) With a time limit the bar fills with the share of it used; without
    one there is no honest total (the search stops early once a fit is exact), so it
    counts levels.
    """

    def __init__(self, time_limit: float | None):
        self._lock = threading.Lock()
        self._start = time.monotonic()
        self._limit = time_limit
        self._status = "starting"
        self._drawn = 0.0
        try:
            from tqdm import tqdm
        except ImportError:
            self._bar = None
        else:
            if time_limit is None:
                form = "{desc} [{elapsed}]{postfix}"
            else:
                form = "{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:g} s{postfix}"
            # A terminal that reports no size (a bare pseudo-terminal) would show nothing, as
            # tqdm takes it for 0 × 0; shutil falls back to $COLUMNS × $LINES or 80 × 24.
            size = shutil.get_terminal_size()
            self._bar = tqdm(
                total=time_limit, desc="discover", file=sys.stderr, bar_format=form,
                ncols=size.columns, nrows=size.lines, mininterval=0.1,
            )  # fmt: skip
            self._bar.set_postfix_str(self._status, refresh=False)
        self._closed = threading.Event()
        self._ticker = threading.Thread(target=self._tick, name="zan_math-progress", daemon=True)
        self._ticker.start()

    def level(self, info: LevelInfo) -> None:
        exact = f", exact at complexity {info.best_exact}" if info.best_exact else ""
        with self._lock:
            self._status = f"level {info.level}, {info.candidates} candidates, best nmse {info.best_nmse:.3g}{exact}"
            if self._bar is not None:
                self._bar.set_postfix_str(self._status, refresh=False)
            self._draw()

    def _tick(self) -> None:
        while not self._closed.wait(0.2):
            with self._lock:
                if time.monotonic() - self._drawn >= 0.2:
                    self._draw()

    def _draw(self) -> None:
        self._drawn = time.monotonic()
        seconds = self._drawn - self._start
        if self._bar is not None:
            if self._limit is not None:
                self._bar.n = min(seconds, self._limit)
            self._bar.refresh()
        else:
            sys.stderr.write(f"\rdiscover: {self._status}, {seconds:.1f} s   ")
            sys.stderr.flush()

    def close(self) -> None:
        self._closed.set()
        self._ticker.join()
        with self._lock:
            self._draw()
            if self._bar is not None:
                self._bar.close()
            else:
                sys.stderr.write("\n")
                sys.stderr.flush()


def _run(columns, target, values, names, source, weights=None) -> DiscoveryResult:
    progress, time_limit = values["progress"], values["time_limit"]
    options = _options.engine_options(values)
    original = (columns, target)
    # Units far from 1 are searched as exactly scaled data (not on a cluster, whose workers
    # refit on the rows as they are).
    x_exp = [0] * columns.shape[0] if source is not None else [exponent(c) for c in columns]
    y_exp = 0 if source is not None else exponent(target)
    if any(x_exp):
        columns = np.ascontiguousarray(np.ldexp(columns, -np.asarray(x_exp)[:, None]))
    if y_exp:
        target = np.ldexp(target, -y_exp)
    # With many columns, those that show no sign of mattering are set aside; the formulas read
    # the variables by their index among all columns.
    all_columns = columns
    searched = relevant_columns(columns, target, weights) if source is None else None
    if searched is not None:
        columns = np.ascontiguousarray(columns[list(searched)])
    display = None
    if callable(progress):
        report = progress
    else:
        if progress is None:
            progress = _is_terminal(sys.stderr)
        display = _ProgressDisplay(time_limit) if progress else None
        report = display.level if display is not None else None
    cancel = bytearray(1)
    stopped_by_callback = []
    outcome: dict[str, Any] = {}

    def on_level(raw):
        info = LevelInfo(**raw)
        if report is not None:
            if report(info) is False:
                stopped_by_callback.append(True)
                return False
        return True

    done = threading.Event()

    def work():
        try:
            outcome["value"] = _native.discover(columns, target, options, on_level, cancel, source, weights)
        except BaseException as exc:  # handed to the caller's thread
            outcome["error"] = exc
        finally:
            done.set()

    # The search runs in a thread of its own (the native engine holds no interpreter lock
    # while it works), so that this thread stays free to take Ctrl-C at once, in a terminal
    # and in Jupyter alike, and tell the engine to stop. It waits on an event, not with
    # Thread.join: on Python 3.12 a join interrupted by Ctrl-C marks the thread finished while
    # it still runs. The thread is not a daemon, so that an interpreter leaving early (a second
    # Ctrl-C) waits the moment the cancelled engine needs to return, rather than killing a
    # thread inside native code.
    worker = threading.Thread(target=work, name="zan_math-discover")
    interrupted_by_user = False
    try:
        worker.start()  # Ctrl-C may come while this waits for the thread to begin
        while not done.wait(0.05):  # short waits: some platforms take signals only between them
            pass
    except KeyboardInterrupt:
        interrupted_by_user = True
        cancel[0] = 1
        # The engine sees the flag within moments and returns what it found.
        while not done.wait(0.05) and worker.ident is not None:
            pass
    finally:
        if not done.is_set():  # leaving by another exception, a second Ctrl-C, or before the start
            cancel[0] = 1
        if display is not None:
            display.close()
    if "error" in outcome:
        raise outcome["error"]
    if "value" not in outcome:  # Ctrl-C before the search began: nothing to return
        raise KeyboardInterrupt
    raw = outcome["value"]
    front = [_formula(f, names, x_exp, y_exp, searched) for f in raw["front"]]
    best_index, interrupted = raw["best"], raw["interrupted"]
    raw_front = raw["front"]
    if front and source is None:
        raw_front, front, best_index = _admitted(
            raw_front, front, best_index, original, values, names, target,
            lambda f: _formula(f, names, x_exp, y_exp, None), weights,
        )
    beats_mean = True
    if not front:  # nothing within the limits, or a stop before the first level: the mean stands
        variance = weighted_variance(target, weights)
        raw_front = [{"program": (("param", 0),), "constants": (weighted_mean(target, weights),), "complexity": 1,
                      "loss": variance, "nmse": 1.0 if variance > 0 else 0.0, "score": 0.0}]
        front = [_formula(raw_front[0], names, x_exp, y_exp, None)]
        best_index, beats_mean = 0, variance == 0
    elif values["selection"] == "best":
        best_index, beats_mean = _held_out_choice(
            raw_front, front, columns, all_columns, target, best_index,
            lambda f, searched=searched: _formula(f, names, x_exp, y_exp, searched), weights,
        )
    best = front[best_index] if front else None
    stop_reason = None
    if interrupted_by_user:
        stop_reason, interrupted = "interrupt", True
    elif stopped_by_callback:
        stop_reason, interrupted = "callback", True
    elif interrupted:
        stop_reason = "time_limit"
    levels = [LevelInfo(**level) for level in raw["levels"]]
    for formula in front:
        formula.constant_errors = _constant_errors(formula, original, source, weights)
    result = DiscoveryResult(front, best, tuple(names), bool(interrupted), stop_reason, levels, beats_mean)
    result.rows = int(source.rows if source is not None else original[1].shape[0])
    if searched is not None:
        result.set_aside = tuple(n for i, n in enumerate(names) if i not in searched)
    return result


def _held_out_choice(raw_front, front, columns, all_columns, target, engine_best, formula_of, weights=None):
    """The engine's choice when it predicts held-out rows about as well as any, else the simplest
    that does; the plane of all columns when it predicts them better still; the constant (with
    beats_mean False) when no formula predicts them better than the mean. `formula_of` makes a
    Formula of a raw one over `columns` (with searched=None, of one over `all_columns`). With
    weights, every fit and error is weighted."""
    from ._holdout import HeldOut, choose, held_out_errors, plane, plane_error

    programs = [(f["program"], f["constants"]) for f in raw_front]
    errors, constant = held_out_errors(programs, columns, target, weights)
    # A formula with more fitted constants than the rows support is never chosen (on 8 rows,
    # 6 constants fit anything; the constant, with one, is always a candidate), unless it fits
    # exactly with two rows to spare: that, no chance fit does.
    rows = target.shape[0]
    supported = max(1, rows // kRowsPerConstant)
    errors = [e if f.fitted_constants <= supported or (f.nmse <= kExactNmse and f.fitted_constants <= rows - 2)
              else HeldOut(math.inf, math.inf) for e, f in zip(errors, front)]
    variance = weighted_variance(target, weights)
    chosen = choose([f.complexity for f in front], errors, constant, variance, engine_best)
    if all_columns.shape[0] >= kPlaneFrom:
        # The plane's form is fixed before the data are seen, so its held-out error is honest,
        # while the front's formulas were shaped on every row: a plain comparison is fair to both.
        held = plane_error(all_columns, target, weights)
        rival = constant if chosen is None else errors[chosen]
        if held.loss < rival.loss and all_columns.shape[0] + 1 <= supported:
            program, constants, loss = plane(all_columns, target, weights)
            entry = formula_of({"program": program, "constants": constants, "complexity": len(program),
                                "loss": loss, "nmse": loss / variance if variance > 0 else 0.0, "score": 0.0},
                               searched=None)
            front.append(entry)
            front.sort(key=lambda f: f.complexity)
            return front.index(entry), True
    if chosen is not None:
        return chosen, True
    if not any(kind == "var" for kind, _ in front[0].program):
        return 0, False
    mean = weighted_mean(target, weights)
    front.insert(0, formula_of({"program": (("param", 0),), "constants": (mean,), "complexity": 1,
                                "loss": variance, "nmse": 1.0, "score": 0.0}))
    return 0, False


def _formula(raw: dict, names, x_exp, y_exp, searched) -> Formula:
    """A formula of the engine's, in the units and over the variables the caller gave."""
    program, constants, loss = raw["program"], raw["constants"], raw["loss"]
    if y_exp:
        from ._export import ARITY

        program, constants = scale_program_output(program, constants, y_exp, ARITY.__getitem__)
        try:
            loss = math.ldexp(loss, 2 * y_exp)
        except OverflowError:  # a mean squared error beyond the largest float
            loss = math.inf
    if searched is not None:
        program = tuple(("var", searched[v]) if kind == "var" else (kind, v) for kind, v in program)
    if any(x_exp):
        program = scale_program_inputs(program, [-e for e in x_exp])
    return Formula(program, constants, names, raw["complexity"], loss, raw["nmse"], raw["score"])


def _constant_errors(formula: Formula, data, source, weights=None) -> tuple[float, ...]:
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


def _admitted(raw_front, front, best_index, data, values, names, scaled_target, formula_of, weights=None):
    """The front without the formulas that have no value somewhere on the box around the rows, or
    grow far past the target there; each kept formula records the box it was checked on. The
    search's choice, if dropped, passes to the longest kept formula no longer than it."""
    from ._domain import admitted, given_box, kExactNmse, kFewConstants, rows_box, widened
    from ._noise import noise_variance

    columns, target = data
    rows = target.shape[0]
    noise = noise_variance(columns, target) * (1.0 + 3.0 * math.sqrt(2.0 / rows))
    own = rows_box(columns)
    wide = widened(own, values["margin"])
    if values["domain"]:
        wide = given_box(values["domain"], names, wide)
    keep = []
    for i, formula in enumerate(front):
        exact = formula.nmse <= kExactNmse
        law = exact or (formula.loss <= noise and formula.fitted_constants <= kFewConstants)
        box = own if law and not values["domain"] else wide
        if admitted(formula.program, formula.constants, box, target):
            formula.box = box
            keep.append(i)
        elif exact:
            # An exact fit stands whatever its shape between the rows (a resonance observed on
            # both sides of its pole): the rows decide. Its domain is then not known.
            keep.append(i)
    if not keep:  # the constant stands alone
        mean = weighted_mean(scaled_target, weights)
        constant = {"program": (("param", 0),), "constants": (mean,), "complexity": 1,
                    "loss": weighted_variance(scaled_target, weights), "nmse": 1.0, "score": 0.0}
        return [constant], [formula_of(constant)], 0
    limit = front[best_index].complexity
    shorter = [i for i in keep if front[i].complexity <= limit]
    best = max(shorter, key=lambda i: front[i].complexity) if shorter else keep[0]
    return [raw_front[i] for i in keep], [front[i] for i in keep], keep.index(best)
