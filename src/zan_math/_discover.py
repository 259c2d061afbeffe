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
from typing import Any, Callable, Sequence

import numpy as np

from . import _native, _options
from ._formula import DiscoveryResult, Formula, LevelInfo, constant_errors, kExactNmse, kRowsPerConstant
from ._inputs import columns_of, names_of, target_of, weights_of
from ._scale import exponent, unscaled_program
from ._screen import relevant_columns
from ._domain import admitted, aliased, given_box, holds_at_zero, kFewConstants, kNearExactNmse, rows_box, widened
from ._holdout import weighted_mean, weighted_variance
from ._source import DataSource

__all__ = ["discover", "Formula", "DiscoveryResult", "LevelInfo"]


# Up to this many rows (the search's own sample: it sees every row), an unclear fit is chosen
# by searches run again without the rows they are measured on; above, the refits of the
# front's constants decide, as the search saw only a sample ...
kSearchedChoiceRows = 256
# ... and from this many: on two rows a fold would leave one row to search, which is no search.
kSearchedChoiceLeast = 3
# ... when that fit leaves more than this share of y's variance: a law fitted within a little
# noise is clear on the refits alone, while on measurements that no formula explains closely the
# choice of shapes decides (and then costs the five searches more).
kUnclearNmse = 1e-2
# The held-out share of y's variance within which a formula of more fitted constants than
# kRowsPerConstant allows is weighed all the same by the searched choice: R² 0.999 on rows that
# neither its shape nor its constants saw is no interpolation of a few rows (nor is a tenth of
# the held-out error of the choice it displaces, on most rows: see _holdout.searched_choice).
kPreciseNmse = 1e-3
# The rows the engine refits and snaps the finalists on, at most.
kValidationRows = _native.engine_defaults()["validation_rows"]
# The largest share of y's variance a fit may leave and still be taken for a law within the
# noise, free to grow past the rows' range across their box. The noise is estimated from
# neighbouring rows, which on many columns, or on rows no law ties together, lie far apart and
# differ by much of y's spread: the estimate then bounds the noise from far above, and a fit of
# R² 0.7 with a term that explodes just past the rows would pass for a law fitted within it.
kWithinNoiseNmse = 0.05

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
    names = names_of(names, frame_names, columns.shape[0])
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
    started = time.monotonic()
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
    # measured on the rows the engine snaps on, the same rows in memory and on a cluster
    if source is None:
        options["noise_nmse"] = _noise_share(*_validation_rows(columns, target, weights))
    else:
        sample_columns, _, sample_target = source.sample()
        options["noise_nmse"] = _noise_share(sample_columns, sample_target, source.sample_weight)
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
    if source is None and not (raw["interrupted"] or interrupted_by_user or stopped_by_callback):
        raw = _structured(raw, columns, target, options, weights, started)

    def formula_of(f, over=None):  # over: the screened columns a raw formula reads, if any
        return _formula(f, names, x_exp, y_exp, over, original[0])

    front = [formula_of(f, searched) for f in raw["front"]]
    best_index, interrupted = raw["best"], raw["interrupted"]
    raw_front = raw["front"]
    offered = len(raw_front)  # the shapes the search offered, before the front is admitted
    def allowed(program) -> bool:  # keeps to the operators asked for, as the search's own do
        return _native.within_operators(program, options)

    if front and source is None:
        raw_front, front, best_index = _admitted(
            raw_front, front, best_index, original, values, names, target,
            formula_of, weights, allowed,
        )
    beats_mean = True
    if not front:  # nothing within the limits, or a stop before the first level: the mean stands
        raw_front = [_raw_mean(target, weights)]
        front = [formula_of(raw_front[0])]
        best_index, beats_mean = 0, raw_front[0]["loss"] == 0
    elif values["selection"] == "best":
        def search(x, y, w):
            # The columns are screened again on the fold's own rows: screened on all the rows,
            # the searches would be measured on rows that helped choose their columns, and on
            # noise the luckiest of many columns look like a law.
            kept = relevant_columns(x, y, w)
            found = _native.discover(np.ascontiguousarray(x if kept is None else x[list(kept)]),
                                     np.ascontiguousarray(y), options, None, None, None,
                                     None if w is None else np.ascontiguousarray(w))["front"]
            if kept is not None:
                found = [dict(f, program=_over_columns(f["program"], kept)) for f in found]
            # a periodic term the rows do not sample is left off, as it is off the front itself
            return [f for f in found if f["nmse"] <= kNearExactNmse or not aliased(f["program"], f["constants"], x)]

        best_index, beats_mean = _held_out_choice(
            raw_front, front, columns, all_columns, target, best_index,
            lambda f, searched=searched: formula_of(f, searched), weights,
            search=None if source is not None or interrupted or interrupted_by_user or stopped_by_callback else search,
            kept=searched,
            links=_link_operators(values), admit=_admits_widely(original, values, names), offered=offered,
            margin=values["margin"],
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
        formula.constant_errors = constant_errors(formula, original, source, weights)
    result = DiscoveryResult(front, best, tuple(names), bool(interrupted), stop_reason, levels, beats_mean)
    result.rows = int(source.rows if source is not None else original[1].shape[0])
    if searched is not None:
        result.set_aside = tuple(n for i, n in enumerate(names) if i not in searched)
    return result


def _structured(raw, columns, target, options, weights, started) -> dict:
    """The engine's result with the formulas of smaller problems the data point to (monomial
    factors, merged pairs: see _structure), searched within what is left of the time limit."""
    from ._structure import improve

    def search(x, y, w):
        x, y = np.ascontiguousarray(x), np.ascontiguousarray(y)
        w = None if w is None else np.ascontiguousarray(w)
        own = dict(options)
        if "noise_nmse" in own:  # the smaller problem's target has a noise of its own
            own["noise_nmse"] = _noise_share(*_validation_rows(x, y, w))
        limit = options.get("time_limit")
        if limit is not None:
            own["time_limit"] = limit - (time.monotonic() - started)
            if own["time_limit"] <= 0:
                return []
        return _native.discover(x, y, own, None, None, None, w)["front"]

    return improve(raw, columns, target, weights, search)


def _held_out_choice(raw_front, front, columns, all_columns, target, engine_best, formula_of, weights=None,
                     search=None, links=(), admit=lambda formula: False, offered=0, margin=0.0, kept=None):
    """The engine's choice when it predicts held-out rows about as well as any, else the simplest
    that does; the plane of all columns when it predicts them better still; the constant (with
    beats_mean False) when no formula predicts them better than the mean. `formula_of` makes a
    Formula of a raw one over `columns` (with searched=None, of one over `all_columns`). With
    weights, every fit and error is weighted. `search(x, y, w)`, when given, runs the search again
    on some rows of all the columns (formulas over all of them): on few, noisy rows the choice is
    then made by searches that did not see the rows they are measured on (see
    _holdout.searched_choice). The plane seen through one of
    `links` (operator names) replaces the plane when it predicts held-out rows clearly better
    and `admit(formula)` admits it (see _linked). `offered`: how many formulas the search gave
    before the front was admitted, each a try of the searched choice on each varying column.
    `margin`: the box's, for the columns that stop short of 0 (see _domain.holds_at_zero). `kept`:
    the indices of `columns` among `all_columns` (None: the same columns)."""
    from ._holdout import (HeldOut, choose, held_out_errors, kClearShare, loss_floor, plane, plane_beats,
                           plane_is_candidate, searched_choice, varying_columns)
    from ._linked import linked_plane

    def the_mean():
        # The mean itself, not a snapped value near it: on noise a "nice" constant is no law.
        mean = formula_of(_raw_mean(target, weights))
        if not any(kind == "var" for kind, _ in front[0].program):
            front[0] = mean
        else:
            front.insert(0, mean)
        return 0, False

    variance = weighted_variance(target, weights)
    if variance == 0.0:
        # one number up to the rounding of its values: held-out errors of that rounding would
        # choose among fits of the last bits
        return the_mean()
    programs = [(f["program"], f["constants"]) for f in raw_front]
    errors, constant = held_out_errors(programs, columns, target, weights)
    # A formula with more fitted constants than the rows support is never chosen (on 8 rows,
    # 6 constants fit anything; the constant, with one, is always a candidate), unless it fits
    # exactly with two rows to spare: that, no chance fit does.
    rows = target.shape[0]
    supported = max(1, rows // kRowsPerConstant)
    over = [not (f.fitted_constants <= supported or (f.nmse <= kExactNmse and f.fitted_constants <= rows - 2))
            for f in front]
    # ... but searches that did not see the rows may show that they do: a law of three constants
    # on 19 measured rows, found again on each fold's 15 and predicting the rows left out within
    # kPreciseNmse, is supported by that precision (the searches' many tries are paid for there)
    limits = [0.0 if not math.isfinite(e.loss) else kPreciseNmse if o else math.inf for e, o in zip(errors, over)]
    errors = [HeldOut(math.inf, math.inf) if o else e for e, o in zip(errors, over)]
    chosen = choose([f.complexity for f in front], errors, constant, loss_floor(target, weights), engine_best)
    # the plane's form is fixed before the data are seen: its held-out error is honest, and it
    # needs only rows to spare, not the rows a searched shape needs per constant; on one column
    # it is the line, the first thing to try on a noisy table
    with_plane = plane_is_candidate(all_columns.shape[0], rows)
    pick = None
    # Each complexity's shape was the best of the shapes over every column: on more columns it
    # was picked among more, and the luckiest of them fits more noise (twenty columns of pure
    # noise give some shape of two of them a held-out gain that one column's tries never see).
    varying = max(1, varying_columns(all_columns).shape[0])
    unclear = chosen is None or front[chosen].nmse > kUnclearNmse
    # A clear choice beside a formula of more constants than the rows support that leaves a
    # tenth of its loss (a law of three constants on 16 rows beside a power law of two that has
    # no value at 0): searches that did not see the rows may support that formula (see limits),
    # where it predicts their held-out rows clearly better than the choice found again on them.
    closer = chosen is not None and any(o and f.loss <= kClearShare * front[chosen].loss for f, o in zip(front, over))
    if search is not None and kSearchedChoiceLeast <= rows <= kSearchedChoiceRows and (unclear or closer):
        # ... or predict them clearly better than the choice they would displace. A formula with no
        # value at 0 on a column that stops short of it is weighed only that way, as a law whose
        # own edge that is (a viscometer's time in V/W, weights from 20 g), or within
        # kPreciseNmse (a pressure's log(T) from 20 °C): ozone against Solar.R^(1/Wind), wind from
        # 3.4, won its folds by their noise and went far off on the next calmer days, which random
        # folds never held out. Past the rows' support only the second: steam's log(log(T)) won
        # 11 rows' folds clearly, and 0 °C was next.
        at_zero = [holds_at_zero(p, c, columns, margin) for p, c in programs]
        limits = [limit if z else min(limit, kPreciseNmse) for limit, z in zip(limits, at_zero)]
        clear = [z or not o for z, o in zip(at_zero, over)]
        shapes = [(p if kept is None else _over_columns(p, kept), c) for p, c in programs]
        pick = searched_choice(search, [f.complexity for f in front], limits, all_columns, target, weights,
                               with_plane, tries=offered * varying, base=None if unclear else chosen, clear=clear,
                               shapes=shapes)
        if pick[0] == "entry" and (unclear or over[pick[1]]):
            return pick[1], True
        if not unclear:  # the searches did not support such a formula: the clear choice stands
            pick = None
    if with_plane and pick in (None, ("plane",)):
        rival = None if chosen is None else programs[chosen]
        if pick == ("plane",) or plane_beats(rival, columns, all_columns, target, weights, offered * varying):
            def entry_of(program, constants, loss):
                return formula_of({"program": program, "constants": constants, "complexity": len(program),
                                   "loss": loss, "nmse": loss / variance if variance > 0 else 0.0, "score": 0.0},
                                  searched=None)

            entry = entry_of(*plane(all_columns, target, weights))
            admit(entry)  # records the box it holds on: a plane has a value everywhere
            # On one column the search itself tries the line's square and exponential; on few
            # rows a link, though fixed in form, wins held-out folds by chance where the noise
            # has heavy tails (the searched shapes are paid for there, the links are not).
            linked = (linked_plane(all_columns, target, weights, links)
                      if rows > kSearchedChoiceRows and all_columns.shape[0] > 1 else None)
            if linked is not None:
                through = entry_of(*linked)
                if admit(through):
                    entry = through
            # the plane may be on the front already (the line a search of one column found)
            same = [i for i, f in enumerate(front) if f.complexity == entry.complexity and f.text == entry.text]
            if same:
                return same[0], True
            front.append(entry)
            front.sort(key=lambda f: f.complexity)
            return front.index(entry), True
    if chosen is not None and pick is None:
        return chosen, True
    return the_mean()


def _validation_rows(columns, target, weights):
    """The rows the engine refits and snaps the finalists on: all of them up to kValidationRows,
    else that many evenly spread (the engine's own integer rule)."""
    rows = target.shape[0]
    if rows <= kValidationRows:
        return columns, target, weights
    pick = np.arange(kValidationRows, dtype=np.int64) * rows // kValidationRows
    return columns[:, pick], target[pick], None if weights is None else weights[pick]


def _noise_share(columns, target, weights) -> float:
    """The target's noise as a share of its variance, as the engine takes it (-1: not known)."""
    from ._noise import noise_bound

    variance = weighted_variance(target, weights)
    share = noise_bound(columns, target) / variance if variance > 0 else -1.0
    return share if math.isfinite(share) else -1.0


def _raw_mean(target: np.ndarray, weights) -> dict:
    """The constant formula y = mean(y), as the engine reports a formula."""
    variance = weighted_variance(target, weights)
    return {"program": (("param", 0),), "constants": (weighted_mean(target, weights),), "complexity": 1,
            "loss": variance, "nmse": 1.0 if variance > 0 else 0.0, "score": 0.0}


def _over_columns(program, kept) -> tuple:
    """A program over the `kept` columns read over all of them."""
    return tuple(("var", kept[v]) if kind == "var" else (kind, v) for kind, v in program)


def _ldexp_or_inf(value: float, exp: int) -> float:
    """value·2**exp; inf past the largest float."""
    try:
        return math.ldexp(value, exp)
    except OverflowError:
        return math.inf


def _formula(raw: dict, names, x_exp, y_exp, searched, rows: np.ndarray) -> Formula:
    """A formula of the engine's, in the units and over the variables the caller gave (`rows`,
    the variables as given, decide how a scale is written back: see :func:`_unscaled`)."""
    program, constants, loss = raw["program"], raw["constants"], raw["loss"]
    rmse = None
    if y_exp:
        loss = _ldexp_or_inf(loss, 2 * y_exp)
        # a mean squared error beyond the largest float, or below the least (the target's spread
        # near 1e-190 squared): its root is not
        if math.isinf(loss) or (loss == 0.0 and raw["loss"] > 0.0):
            rmse = _ldexp_or_inf(math.sqrt(raw["loss"]), y_exp)
    if searched is not None:
        program = _over_columns(program, searched)
    if y_exp or any(x_exp):
        program, constants = _unscaled(program, constants, x_exp, y_exp, rows)
    return Formula(program, constants, names, raw["complexity"], loss, raw["nmse"], raw["score"], rmse=rmse)


def _unscaled(program, constants, x_exp, y_exp, rows: np.ndarray):
    """The program and constants of a formula found on scaled data, read on the data as given:
    the variables' scales carried into its constants, unless a product of the variables as they
    are then leaves the range of floats on the `rows` where the scaled reading stays in it (1e200
    squared); each scale then stays a factor beside its variable."""
    from ._export import ARITY

    carried = unscaled_program(program, constants, y_exp, x_exp, ARITY.__getitem__)
    if not any(x_exp):
        return carried
    beside = unscaled_program(program, constants, y_exp, x_exp, ARITY.__getitem__, carry=False)
    values = []
    for p, c in (carried, beside):
        out = np.empty(rows.shape[1])
        _native.predict(p, c, rows, out)
        values.append(out)
    same = np.array_equal(np.isfinite(values[0]), np.isfinite(values[1])) and np.allclose(
        values[0], values[1], rtol=kSameValue, atol=0.0, equal_nan=True)
    return carried if same else beside


# Carried or beside its variable, a scale multiplies by powers of two: the readings differ only
# where a value is subnormal, or a product past the range of floats.
kSameValue = 1e-12


# An NMSE above this is a fit worse than the mean's on its own rows, beyond rounding: a shape
# with no intercept (exp(a·x) on a target far from zero) can leave more than y's variance, and
# the front, ordered by complexity alone, would keep it where no simpler entry beats it.
kWorseThanMean = 1.0 + 1e-9


def _link_operators(values) -> tuple[str, ...]:
    """The operators a plane may be seen through: those given, else the default set (use_trig and
    use_zan change only operators that are no link)."""
    from ._operators import operators

    if values["operators"] is not None:
        return values["operators"]
    return tuple(name for name, row in operators().items() if row.default)


def _boxes(columns, values, names):
    """The rows' own box and that box widened by the margin; a `domain` naming no variable is
    refused here, whatever the formulas."""
    own = rows_box(columns)
    if values["domain"]:
        given_box(values["domain"], names, own)
    return own, widened(own, values["margin"])


def _holds(program, constants, box, target, values, names, bounded=True):
    """The box a formula holds on, or None: it has a value on all of `box`, within the target's
    bound when `bounded`, and a value (of any size) on the user's `domain` beyond it: a law
    grows across a box the user knows it holds on (x0*x1 with x0 up to 50, the rows to 3)."""
    if not admitted(program, constants, box, target, bounded=bounded):
        return None
    if values["domain"]:
        box = given_box(values["domain"], names, box)
        if not admitted(program, constants, box, target, bounded=False):
            return None
    return box


def _admits_widely(data, values, names):
    """Whether a formula holds on the widened box (and records the box it holds on)."""
    wide = _boxes(data[0], values, names)[1]

    def admit(formula) -> bool:
        box = _holds(formula.program, formula.constants, wide, data[1], values, names)
        if box is None:
            return False
        formula.box = box
        return True

    return admit


def _admitted(raw_front, front, best_index, data, values, names, scaled_target, formula_of, weights=None,
              allowed=lambda program: True):
    """The front without the formulas that use an operator not `allowed(program)`, have no
    value somewhere on the box around the rows, grow far past the target there, or (not fitting
    exactly) turn a periodic term through more periods than the rows sample; each kept formula
    records the box it was checked on. The
    search's choice, if dropped, passes to the longest kept formula no longer than it; one that
    does not fit within the noise, to the simplest kept law that does."""
    from ._noise import noise_bound, within_noise

    columns, target = data
    bound = min(noise_bound(columns, target), kWithinNoiseNmse * weighted_variance(target, weights))
    # a fit of many constants that is not exact goes below the noise by fitting it: the level is
    # read from the fits of few constants then
    lowest = min(front, key=lambda f: f.loss)
    if lowest.nmse > kNearExactNmse and lowest.fitted_constants > kFewConstants:
        lowest = min((f for f in front if f.fitted_constants <= kFewConstants), key=lambda f: f.loss, default=lowest)
    noise = within_noise(bound, lowest.loss, target.shape[0])
    own, wide = _boxes(columns, values, names)
    keep, laws = [], set()
    for i, formula in enumerate(front):
        if formula.nmse > kWorseThanMean or not allowed(raw_front[i]["program"]):
            continue  # the rows' mean fits them better: no candidate, whatever the front's order
        exact = formula.nmse <= kNearExactNmse
        if not exact and aliased(formula.program, formula.constants, columns):
            continue  # its periodic term matched the rows' noise by turns they do not sample
        within = formula.loss <= noise and formula.fitted_constants <= kFewConstants
        law = exact or within
        if within:  # not a near-exact fit of many constants: on few rows that is an overfit
            laws.add(i)
        # A law's growth across its own box is the law's: the rows fill the box thinly where
        # variables are many (the corner of -m·q⁴/(8ε²h²n²) is six times the rows' range).
        box = _holds(formula.program, formula.constants, own if law else wide, target, values, names, bounded=not law)
        if box is not None:
            formula.box = box
            keep.append(i)
        elif exact and np.unique(target).size > formula.fitted_constants + 1:
            # An exact fit stands whatever its shape between the rows (a resonance observed on
            # both sides of its pole): the rows decide. Its domain is then not known. They decide
            # only with more values than constants: one row apart from a flat rest is fitted
            # "exactly" by a tiny multiple of anything with a pole beside that row.
            keep.append(i)
    if not keep:  # the constant stands alone
        constant = _raw_mean(scaled_target, weights)
        return [constant], [formula_of(constant)], 0
    limit = front[best_index].complexity
    shorter = [i for i in keep if front[i].complexity <= limit]
    best = max(shorter, key=lambda i: front[i].complexity) if shorter else keep[0]
    # A choice that leaves clearly more than the noise gives way to the simplest kept formula of
    # few constants that fits within it: the data tell the two apart (the smaller problems'
    # formulas join the front after the search chose, and a law among them may be longer).
    kept_laws = [i for i in keep if i in laws]
    if front[best].loss > noise and kept_laws:
        best = kept_laws[0]
    else:
        # a law no longer than the choice, fitted with fewer constants: the rows cannot tell the
        # two apart, and the law says more with less (m·c²/√(1 − (v/c)²) beside its series)
        fewer = [i for i in kept_laws if front[i].complexity <= front[best].complexity
                 and front[i].fitted_constants < front[best].fitted_constants]
        if fewer:
            best = min(fewer, key=lambda i: (front[i].fitted_constants, front[i].complexity))
    return [raw_front[i] for i in keep], [front[i] for i in keep], keep.index(best)
