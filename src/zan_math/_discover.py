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
import sys
import threading
from dataclasses import dataclass
from typing import Any, Callable, Sequence

import numpy as np

from . import _native

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

    __slots__ = ("program", "constants", "names", "complexity", "loss", "nmse", "score")

    def __init__(self, program, constants, names, complexity, loss, nmse, score):
        self.program: tuple = tuple(tuple(t) for t in program)
        self.constants: tuple[float, ...] = tuple(float(c) for c in constants)
        self.names: tuple[str, ...] = tuple(names)
        self.complexity: int = int(complexity)
        self.loss: float = float(loss)    #: mean squared error on the data it was fitted to
        self.nmse: float = float(nmse)    #: loss over the target's variance
        self.score: float = float(score)  #: drop of log-loss per token against the simpler front entry

    @property
    def rmse(self) -> float:
        return math.sqrt(self.loss)

    @property
    def r2(self) -> float:
        return 1.0 - self.nmse

    @property
    def text(self) -> str:
        """Readable infix in the variables' names, e.g. ``0.5*m*v**2``."""
        return _infix(self.program, self.constants, self.names)

    def predict(self, X) -> np.ndarray:
        """The formula's values on the rows of X (same variables, same order), as float64."""
        columns, _ = _columns(X, allow_nonfinite=True, expect=len(self.names))
        out = np.empty(columns.shape[1], dtype=np.float64)
        _native.predict(self.program, self.constants, columns, out)
        return out

    def latex(self) -> str:
        from ._export import to_latex

        return to_latex(self.program, self.constants, self.names)

    def to_python(self, name: str = "formula") -> str:
        """Source of a runnable function of the named variables."""
        from ._export import to_python

        return to_python(self.program, self.constants, self.names, name=name)

    def sympy(self):
        """The formula as a SymPy expression (needs the ``sympy`` extra)."""
        from ._export import to_sympy

        return to_sympy(self.program, self.constants, self.names)

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
        for k, v in state.items():
            object.__setattr__(self, k, v)

    def __repr__(self) -> str:
        return f"Formula({self.text!r}, complexity={self.complexity}, rmse={self.rmse:.3g}, r2={self.r2:.6g})"


class DiscoveryResult:
    """What :func:`discover` found: the front, the chosen formula, and how the search went."""

    __slots__ = ("front", "best", "names", "interrupted", "stop_reason", "levels")

    def __init__(self, front, best, names, interrupted, stop_reason, levels):
        self.front: list[Formula] = front     #: best formula per complexity, loss strictly falling
        self.best: Formula | None = best      #: the chosen formula (None only when nothing fitted)
        self.names: tuple[str, ...] = names
        self.interrupted: bool = interrupted  #: stopped early; front holds what was found by then
        self.stop_reason: str | None = stop_reason  #: "time_limit", "interrupt", "callback" or None
        self.levels: list[LevelInfo] = levels

    def __repr__(self) -> str:
        lines = [f"DiscoveryResult(best={self.best!r}, interrupted={self.interrupted})"]
        for f in self.front:
            mark = "*" if f is self.best else " "
            lines.append(f" {mark} {f.complexity:3d}  loss={f.loss:.4g}  {f.text}")
        return "\n".join(lines)


# ---- text ---------------------------------------------------------------------------------

_PRECEDENCE = {"add": 1, "sub": 1, "mul": 2, "div": 2, "neg": 3, "pow": 4}
_SYMBOL = {"add": " + ", "sub": " - ", "mul": "*", "div": "/"}


def _number(v: float) -> str:
    if v == int(v) and abs(v) < 1e15:
        return str(int(v))
    return f"{v:.10g}"


def _infix(program, constants, names) -> str:
    """Infix text with as few parentheses as precedence allows."""
    stack: list[tuple[str, int]] = []  # (text, precedence)
    for kind, value in program:
        if kind == "var":
            stack.append((names[value], 9))
        elif kind in ("const", "param"):
            v = value if kind == "const" else constants[value]
            text = _number(v)
            stack.append((text, 9 if v >= 0 else 3))
        elif value in _SYMBOL:
            (a, pa), (b, pb) = stack[-2], stack[-1]
            del stack[-2:]
            p = _PRECEDENCE[value]
            left = a if pa >= p else f"({a})"
            right = b if pb > p or (pb == p and value in ("add", "mul")) else f"({b})"
            stack.append((left + _SYMBOL[value] + right, p))
        elif value == "neg":
            a, pa = stack.pop()
            stack.append(("-" + (a if pa > 3 else f"({a})"), 3))
        elif value == "square":
            a, pa = stack.pop()
            stack.append(((a if pa > 4 else f"({a})") + "**2", 4))
        elif value == "inv":
            a, pa = stack.pop()
            stack.append(("1/" + (a if pa > 2 else f"({a})"), 2))
        elif value == "zan":
            (a, _), (b, _) = stack[-2], stack[-1]
            del stack[-2:]
            stack.append((f"zan({a}, {b})", 9))
        else:
            a, _ = stack.pop()
            fn = {"ln": "log"}.get(value, value)
            stack.append((f"{fn}({a})", 9))
    return stack[-1][0] if stack else ""


# ---- input checks ------------------------------------------------------------------------

def _default_names(n: int) -> tuple[str, ...]:
    return ("x",) if n == 1 else tuple(f"x{i}" for i in range(n))


def _columns(X, *, allow_nonfinite: bool, expect: int | None = None):
    """X as a C-contiguous (variables × rows) float64 array, and its column names if any."""
    names = None
    columns = getattr(X, "columns", None)
    if columns is not None and hasattr(X, "to_numpy"):  # a DataFrame
        names = tuple(str(c) for c in columns)
        try:
            data = X.to_numpy(dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"X has a column that is not numeric: {exc}") from exc
    else:
        try:
            data = np.asarray(X, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"X must be numeric: {exc}") from exc
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


def _target(y, rows: int) -> np.ndarray:
    try:
        target = np.asarray(y, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"y must be numeric: {exc}") from exc
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


def _options(**given) -> dict[str, Any]:
    return {k: v for k, v in given.items() if v is not None}


# ---- the search --------------------------------------------------------------------------

_SELECTIONS = ("best", "accuracy")


def discover(
    X,
    y,
    *,
    names: Sequence[str] | None = None,
    max_complexity: int | None = None,
    time_limit: float | None = None,
    selection: str = "best",
    progress: bool | Callable[[LevelInfo], Any] | None = None,
    sample_rows: int | None = None,
    search_size: int | None = None,
    max_terms: int | None = None,
    use_trig: bool = True,
    use_zan: bool = False,
    client=None,
    _source=None,
) -> DiscoveryResult:
    """Find formulas y ≈ f(X): the best per complexity (the front) and the chosen one.

    X: rows × variables (NumPy array, list of rows, pandas DataFrame whose column names
    become the variable names; a 1-D X is one variable). y: one value per row. Every value
    must be finite, with at least two rows.

    ``selection="best"`` chooses, among front formulas whose loss is within 1.5× of the
    lowest, the one with the largest drop of log-loss per added token (losses below 1e-14 of
    the target's variance count as equal, so rounding never decides); ``"accuracy"`` chooses
    the lowest loss.

    ``time_limit`` (seconds) and Ctrl-C stop the search early; the result then holds what was
    found so far, with ``interrupted`` set (Ctrl-C returns rather than raises). ``progress``:
    a callable receives a :class:`LevelInfo` after each level (returning False stops the
    search); True shows a progress line on standard error; None shows it only when standard
    error is a terminal.

    The result is deterministic: the same inputs give the same front, bit for bit, for any
    number of threads.

    ``client``: a ``distributed.Client``; X and y may then be Dask arrays, a Dask DataFrame
    and Series, or in-memory data, which is sent to the cluster. The rows stay on the
    workers, which refit the front on all of them (see :mod:`zan_math.dask`).
    """
    if selection not in _SELECTIONS:
        raise ValueError(f"selection must be one of {_SELECTIONS}, got {selection!r}")
    if client is not None:
        from .dask import _source_for

        _source = _source_for(X, y, client)
    if _source is None:
        columns, frame_names = _columns(X, allow_nonfinite=False)
        target = _target(y, columns.shape[1])
    else:
        columns, frame_names, target = _source.sample()
    if target.shape[0] < 2:
        raise ValueError(f"discover needs at least two rows, got {target.shape[0]}")
    n_vars = columns.shape[0]
    if names is not None:
        names = tuple(str(n) for n in names)
        if len(names) != n_vars:
            raise ValueError(f"names has {len(names)} entries for {n_vars} variables")
        if len(set(names)) != len(names):
            raise ValueError("names must be distinct")
    else:
        names = frame_names or _default_names(n_vars)
    if time_limit is not None and not (time_limit > 0):
        raise ValueError("time_limit must be a positive number of seconds")
    options = _options(
        max_complexity=max_complexity,
        time_limit=time_limit,
        sample_rows=sample_rows,
        search_size=search_size,
        max_terms=max_terms,
        selection=selection,
        use_trig=bool(use_trig),
        use_zan=bool(use_zan),
    )
    return _run(columns, target, options, names, progress, time_limit, _source)


def _progress_printer(progress):
    if callable(progress):
        return progress
    if progress is None:
        progress = sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
    if not progress:
        return None

    def show(info: LevelInfo):
        exact = f", exact at {info.best_exact}" if info.best_exact else ""
        sys.stderr.write(
            f"\rdiscover: level {info.level}, {info.candidates} candidates, "
            f"best nmse {info.best_nmse:.3g}{exact}, {info.seconds:.1f} s   "
        )
        sys.stderr.flush()

    show.finish = lambda: (sys.stderr.write("\n"), sys.stderr.flush())
    return show


def _run(columns, target, options, names, progress, time_limit, source) -> DiscoveryResult:
    report = _progress_printer(progress)
    cancel = bytearray(1)
    stopped_by_callback = []
    outcome: dict[str, Any] = {}

    def on_level(raw):
        info = LevelInfo(*raw)
        if report is not None:
            if report(info) is False:
                stopped_by_callback.append(True)
                return False
        return True

    def work():
        try:
            outcome["value"] = _native.discover(columns, target, options, on_level, cancel, source)
        except BaseException as exc:  # handed to the caller's thread
            outcome["error"] = exc

    # The search runs in a thread of its own (the native engine holds no interpreter lock
    # while it works), so that this thread stays free to take Ctrl-C at once, in a terminal
    # and in Jupyter alike, and tell the engine to stop.
    worker = threading.Thread(target=work, name="zan_math-discover", daemon=True)
    interrupted_by_user = False
    worker.start()
    try:
        while worker.is_alive():
            worker.join(0.05)
    except KeyboardInterrupt:
        interrupted_by_user = True
        cancel[0] = 1
        worker.join()
    finally:
        if report is not None and hasattr(report, "finish"):
            report.finish()
    if "error" in outcome:
        raise outcome["error"]
    raw_front, best_index, interrupted, raw_levels = outcome["value"]
    front = [Formula(p, c, names, cx, loss, nmse, score) for (p, c, cx, loss, nmse, score) in raw_front]
    best = front[best_index] if front else None
    stop_reason = None
    if interrupted_by_user:
        stop_reason, interrupted = "interrupt", True
    elif stopped_by_callback:
        stop_reason, interrupted = "callback", True
    elif interrupted:
        stop_reason = "time_limit"
    levels = [LevelInfo(*raw) for raw in raw_levels]
    return DiscoveryResult(front, best, tuple(names), bool(interrupted), stop_reason, levels)
