"""Formulas against black boxes: cross-validated R² on real, noisy tables, side by side.

Per table of bench/blackbox_tables.py, 5-fold cross-validation (KFold(5, shuffle=True,
random_state=0), the same folds for every system) of:

- linear: scikit-learn's LinearRegression;
- gbr: GradientBoostingRegressor(random_state=0);
- pyoperon: its SymbolicRegressor with our operator set (add, sub, mul, div, exp, log, sqrt,
  square, sin, cos), Levenberg–Marquardt on its constants (10 iterations per individual),
  n_threads = --threads, random_state 0, max_time = --budget (when installed, not with --quick);
- ours: zan_math.FormulaRegressor() with its defaults.

Printed per table: the mean R² over the folds and the worst fold's, for each system; the length
of the formula text (ours, and pyoperon's, both with 10 significant digits) and its node count,
as a median over the folds; and the held-out rows within the training rows' widened box (the
default margin) where our formula has no value (NaN) or goes past 10 times the training
target's range beyond it (must be 0). For ours, each fold's choice is
kept with what led to it: the front, each entry's held-out error within the training rows (the
choice's own 5-fold check), the constant's and the plane's, and each entry's R² on the fold.
Tables where ours loses to linear or to the best peer are shown with that record.

Then two checks:
- pure noise: 60 rows of y ~ N(0, 1) against two N(0, 1) columns; the R² of each system's
  model on 2,000 fresh rows (≈ 0 at best; a formula that fitted the noise goes below);
- a law among many columns: y = x0·sin(x1) + x0 on 1,000 uniform rows of 60 columns, against
  the same rows with only the two; per system, in a subprocess of its own, the fit's time, the
  process's peak resident memory (ru_maxrss, imports included), the fit's own peak (the
  high-water mark VmHWM, set back once the imports are done) against the resident size before
  it, and whether the law is found (largest relative error
  on 2,000 fresh rows below 1e-6, as in bench/discover.py).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time
import warnings
from dataclasses import dataclass
from typing import Any, Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from discover import EXACT_TOL, r2, rel_err  # noqa: E402 - bench/ is on the path from here

SYSTEMS = ("linear", "gbr", "pyoperon", "ours")
PEERS = ("gbr", "pyoperon")
FOLDS = 5
FOLD_SEED = 0
# A held-out prediction further than this many training-target ranges past that range is a
# formula that blew up between or beyond the rows: the same bound the domain check holds.
RANGE_FACTOR = 10.0
OPERATORS = "add,sub,mul,div,constant,variable,exp,log,sqrt,square,sin,cos"
OPERON_LM_ITERATIONS = 10
TEXT_DIGITS = 10


# ---------------------------------------------------------------------------------------------
# Systems: each makes a fresh estimator, and says what its fitted model is as text


@dataclass(frozen=True)
class System:
    name: str
    make: Callable[[], Any]
    text: Callable[[Any, tuple[str, ...]], str | None]
    nodes: Callable[[Any], int | None]


def _none(*_):
    return None


def _ours_text(model, names):
    from zan_math import Formula

    f = model.best_
    return Formula(f.program, f.constants, names, f.complexity, f.loss, f.nmse, f.score).text


def _operon_text(model, names):
    return model.get_model_string(model.model_, TEXT_DIGITS, names=list(names))


def system(name: str, budget: float, threads: int) -> System | None:
    """The system by name; None when its package is not installed."""
    if name == "linear":
        from sklearn.linear_model import LinearRegression

        return System(name, LinearRegression, _none, _none)
    if name == "gbr":
        from sklearn.ensemble import GradientBoostingRegressor

        return System(name, lambda: GradientBoostingRegressor(random_state=0), _none, _none)
    if name == "pyoperon":
        try:
            from pyoperon.sklearn import SymbolicRegressor
        except ImportError:
            print("# pyoperon is not installed: skipped (pip install '.[bench]')", file=sys.stderr)
            return None
        return System(name, lambda: SymbolicRegressor(
            allowed_symbols=OPERATORS, optimizer="lm", optimizer_iterations=OPERON_LM_ITERATIONS,
            n_threads=threads, random_state=0, max_time=max(1, int(budget))),
            _operon_text, lambda m: int(m.model_.Length))
    if name == "ours":
        from zan_math import FormulaRegressor

        return System(name, FormulaRegressor, _ours_text, lambda m: int(m.best_.complexity))
    raise ValueError(f"unknown system {name!r} (systems: {', '.join(SYSTEMS)})")


def fit_quietly(model, X, y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y)
    return model


# ---------------------------------------------------------------------------------------------
# Our choice, taken apart: what it chose among, and how each candidate did


def out_of_range(pred, y_train, X_train=None, X_test=None) -> tuple[int, int]:
    """(rows with no value, rows past RANGE_FACTOR training-target ranges beyond that range),
    among the held-out rows within the training rows' box widened by the default margin (all of
    them without X): past it a formula is not held to have a value (a vapour-pressure law in
    log(T) fitted from 20 °C up has none at 0 °C)."""
    import numpy as np

    from zan_math._domain import rows_box, widened
    from zan_math._options import defaults

    if X_train is not None:
        box = np.array(widened(rows_box(X_train.T), defaults()["margin"]))
        pred = pred[np.all((X_test >= box[:, 0]) & (X_test <= box[:, 1]), axis=1)]
    low, high = float(y_train.min()), float(y_train.max())
    span = high - low
    nan = int(np.count_nonzero(~np.isfinite(pred)))
    finite = pred[np.isfinite(pred)]
    far = int(np.count_nonzero((finite < low - RANGE_FACTOR * span) | (finite > high + RANGE_FACTOR * span)))
    return nan, far


def our_choice(model, names, X_train, y_train, X_test, y_test) -> dict:
    """The fold's front as the choice saw it: for every entry its held-out error within the
    training rows (the choice's own check, relative to the training target's variance) and its
    R² on the fold left out; with the constant's held-out error beside, and the plane's where the
    choice weighs it (rows permitting)."""
    import numpy as np
    from zan_math import Formula
    from zan_math._holdout import held_out_errors, plane_error, plane_is_candidate

    columns = np.ascontiguousarray(X_train.T)
    variance = float(np.var(y_train)) or 1.0
    _, constant = held_out_errors([], columns, y_train)
    entries = []
    for f in model.front_:
        try:
            (e,), _ = held_out_errors([(f.program, f.constants)], columns, y_train)
        except ValueError:  # more constants than the refit takes: the plane over many columns
            e = None
        entries.append({
            "complexity": f.complexity,
            "text": Formula(f.program, f.constants, names, f.complexity, f.loss, f.nmse, f.score).text,
            "train_r2": 1.0 - f.nmse,
            "inner_nmse": math.nan if e is None else e.loss / variance,
            "inner_se": math.nan if e is None else e.standard_error / variance,
            "fold_r2": r2(f.predict(X_test), y_test),
            "chosen": f is model.best_,
        })
    plane = plane_error(columns, y_train) if plane_is_candidate(*columns.shape) else None
    return {
        "front": entries,
        "constant_inner_nmse": constant.loss / variance,
        "constant_inner_se": constant.standard_error / variance,
        "plane_inner_nmse": None if plane is None else plane.loss / variance,
        "beats_mean": any(kind == "var" for kind, _ in model.best_.program),
        "stop_reason": model.stop_reason_,
    }


# ---------------------------------------------------------------------------------------------
# Cross-validation


def cross_validate(table, systems: list[System]) -> dict:
    import numpy as np
    from sklearn.model_selection import KFold

    folds = list(KFold(FOLDS, shuffle=True, random_state=FOLD_SEED).split(table.X))
    out: dict = {"table": table.name, "rows": int(table.X.shape[0]), "columns": int(table.X.shape[1]),
                 "target": table.target, "names": list(table.names)}
    for s in systems:
        scores, texts, nodes, seconds, choices = [], [], [], 0.0, []
        nan = far = 0
        for train, test in folds:
            X_train, y_train, X_test, y_test = table.X[train], table.y[train], table.X[test], table.y[test]
            start = time.perf_counter()
            model = fit_quietly(s.make(), X_train, y_train)
            seconds += time.perf_counter() - start
            pred = np.asarray(model.predict(X_test), dtype=float)
            scores.append(r2(pred, y_test))
            texts.append(s.text(model, table.names))
            nodes.append(s.nodes(model))
            if s.name == "ours":
                n, f = out_of_range(pred, y_train, X_train, X_test)
                nan, far = nan + n, far + f
                choices.append(our_choice(model, table.names, X_train, y_train, X_test, y_test))
        entry = {"r2": scores, "mean": statistics.fmean(scores), "min": min(scores), "seconds": seconds,
                 "texts": texts, "nodes": nodes}
        if texts[0] is not None:
            entry["text_length"] = statistics.median(len(t) for t in texts)
            entry["median_nodes"] = statistics.median(nodes)
        if s.name == "ours":
            entry.update(nan_rows=nan, far_rows=far, choices=choices)
        out[s.name] = entry
    return out


# ---------------------------------------------------------------------------------------------
# The two checks


def noise_check(systems: list[System]) -> dict:
    import numpy as np
    from blackbox_tables import noise_table

    X, y, X_fresh, y_fresh = noise_table()
    out: dict = {}
    for s in systems:
        model = fit_quietly(s.make(), X, y)
        pred = np.asarray(model.predict(X_fresh), dtype=float)
        entry = {"r2_fresh": r2(pred, y_fresh), "text": s.text(model, ("x0", "x1"))}
        if s.name == "ours":
            entry["nan_rows"], entry["far_rows"] = out_of_range(pred, y)
            entry["choice"] = our_choice(model, ("x0", "x1"), X, y, X_fresh, y_fresh)
        out[s.name] = entry
    return out


WIDE_CHILD = "--wide-child"


def _reset_peak() -> bool:
    """Sets the address space's peak resident size (VmHWM) back to its current size (Linux), so
    that it measures the fit rather than the imports before it. ru_maxrss cannot be set back so,
    and in a child it starts from the parent's peak (the kernel carries the old address space's
    high-water mark across exec): it says more about this script than about the fit."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _status(field: str) -> int | None:
    """A size in bytes from /proc/self/status (VmRSS, VmHWM), None where there is none."""
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def wide_child(name: str, columns: int, budget: float, threads: int) -> dict:
    """Runs in a process of its own: one system on one variant of the many-columns table."""
    import resource

    import numpy as np
    from blackbox_tables import wide_table

    X, y, X_fresh, y_fresh = wide_table(columns)
    s = system(name, budget, threads)
    model = s.make()
    before = _status("VmRSS")
    fit_peak = None
    reset = _reset_peak()
    start = time.perf_counter()
    fit_quietly(model, X, y)
    seconds = time.perf_counter() - start
    if reset:
        fit_peak = _status("VmHWM")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    pred = np.asarray(model.predict(X_fresh), dtype=float)
    error = rel_err(pred, y_fresh)
    names = tuple(f"x{i}" for i in range(columns))
    return {"seconds": seconds, "resident_before": before, "peak": peak, "fit_peak": fit_peak,
            "r2_fresh": r2(pred, y_fresh), "max_rel_err": error, "found": error < EXACT_TOL,
            "text": s.text(model, names)}


def wide_check(names: list[str], budget: float, threads: int) -> dict:
    from blackbox_tables import WIDE_COLUMNS

    out: dict = {}
    for name in names:
        for columns in (WIDE_COLUMNS, 2):
            cmd = [sys.executable, os.path.abspath(__file__), WIDE_CHILD, name, str(columns),
                   "--budget", str(budget), "--threads", str(threads)]
            run = subprocess.run(cmd, capture_output=True, text=True)
            if run.returncode != 0:
                result = {"error": (run.stderr.strip().splitlines() or ["?"])[-1]}
            else:
                result = json.loads(run.stdout.strip().splitlines()[-1])
            out[f"{name}/{columns}"] = result
    return out


# ---------------------------------------------------------------------------------------------
# Printing


def fmt(v: float) -> str:
    return f"{v:7.3f}" if math.isfinite(v) else f"{v:>7}"


def print_table_row(row: dict, names: list[str]) -> None:
    cells = [f"{row['table']:<11} {row['rows']:>5}x{row['columns']:<2}"]
    for n in names:
        e = row[n]
        cells.append(f"{fmt(e['mean'])} ({fmt(e['min'])})")
    ours = row.get("ours")
    if ours is not None:
        lengths = f"{ours['text_length']:>5.0f}/{ours['median_nodes']:<3.0f}"
        if "pyoperon" in row:
            op = row["pyoperon"]
            lengths += f" {op['text_length']:>5.0f}/{op['median_nodes']:<3.0f}"
        cells.append(lengths)
        cells.append(f"{ours['nan_rows']}/{ours['far_rows']}")
    print("  ".join(cells), flush=True)


def print_header(names: list[str]) -> None:
    cells = [f"{'table':<11} {'rows':>5}x{'c':<2}"] + [f"{n + ' mean (min)':>17}" for n in names]
    if "ours" in names:
        cells.append("len/nodes ours" + (" | pyoperon" if "pyoperon" in names else ""))
        cells.append("nan/far")
    print("  ".join(cells))


def losing(row: dict, names: list[str]) -> list[str]:
    """The systems whose mean CV R² is above ours: linear, and the best peer."""
    if "ours" not in names:
        return []
    ours = row["ours"]["mean"]
    beaten = ["linear"] if "linear" in names and row["linear"]["mean"] > ours else []
    peers = [n for n in names if n in PEERS]
    if peers:
        best = max(peers, key=lambda n: row[n]["mean"])
        if row[best]["mean"] > ours:
            beaten.append(best)
    return beaten


def print_diagnosis(row: dict, names: list[str], beaten: list[str]) -> None:
    print(f"\n-- {row['table']}: ours {row['ours']['mean']:.3f} below "
          + ", ".join(f"{n} {row[n]['mean']:.3f}" for n in beaten)
          + f"  (target {row['target']}; columns {', '.join(row['names'])})")
    for k, choice in enumerate(row["ours"]["choices"]):
        fold = f"  fold {k}: R² ours {row['ours']['r2'][k]:.3f}, " + ", ".join(
            f"{n} {row[n]['r2'][k]:.3f}" for n in names if n != "ours")
        print(fold + f"; beats_mean {choice['beats_mean']}; inner nmse: constant "
              f"{choice['constant_inner_nmse']:.3f}, plane "
              + ("-" if choice["plane_inner_nmse"] is None else f"{choice['plane_inner_nmse']:.3f}"))
        print_front(choice)


def print_front(choice: dict) -> None:
    for e in choice["front"]:
        mark = "*" if e["chosen"] else " "
        print(f"    {mark} c{e['complexity']:<3} train {e['train_r2']:7.3f}  inner nmse {e['inner_nmse']:8.3f}"
              f" ± {e['inner_se']:.3f}  fold R² {fmt(e['fold_r2'])}  {e['text'][:110]}")


def print_noise(noise: dict) -> None:
    print("\n== pure noise: 60 rows, y ~ N(0,1) against two N(0,1) columns; R² on 2,000 fresh rows")
    for name, e in noise.items():
        extra = f"  nan/far {e['nan_rows']}/{e['far_rows']}" if name == "ours" else ""
        text = f"  {e['text']}" if e["text"] is not None else ""
        print(f"  {name:<9} {fmt(e['r2_fresh'])}{text}{extra}")
    if "ours" in noise:
        print("  ours' front (fold R² = R² on the fresh rows):")
        print_front(noise["ours"]["choice"])


def print_wide(wide: dict) -> None:
    print("\n== y = x0*sin(x1) + x0, 1,000 uniform rows: 60 columns against the 2 that matter")
    for key, e in wide.items():
        if "error" in e:
            print(f"  {key:<12} failed: {e['error']}")
            continue
        text = f"  {e['text'][:90]}" if e["text"] is not None else ""
        fit = "-" if e["fit_peak"] is None else f"{e['fit_peak'] / 2**20:.0f}"
        print(f"  {key:<12} {e['seconds']:8.2f} s  ru_maxrss {e['peak'] / 2**20:5.0f} MiB, fit's peak {fit:>5} MiB"
              f" from {(e['resident_before'] or 0) / 2**20:.0f}  R² fresh {fmt(e['r2_fresh'])}  law {'yes' if e['found'] else 'no '}"
              f"{text}")


# ---------------------------------------------------------------------------------------------


def parse_args(argv=None):
    from blackbox_tables import ALL_TABLES, TABLES

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tables", default="", help=f"comma-separated tables (default: all of {', '.join(TABLES)})")
    ap.add_argument("--peers", default=",".join(PEERS), help="peers beside linear and ours (default: gbr,pyoperon)")
    ap.add_argument("--budget", type=float, default=30.0, help="pyoperon's time limit per fit, seconds")
    ap.add_argument("--threads", type=int, default=2, help="threads of pyoperon and of our pool")
    ap.add_argument("--json", metavar="OUT", help="write every result to OUT")
    ap.add_argument("--more", action="store_true", help="also the second set of tables (blackbox_tables.MORE_TABLES)")
    ap.add_argument("--r-tables", action="store_true",
                    help="also the third set, R's small measurement tables (blackbox_tables.R_TABLES)")
    ap.add_argument("--r-fresh", action="store_true",
                    help="also the fourth set, R tables kept from tuning (blackbox_tables.R_FRESH_TABLES)")
    ap.add_argument("--r-late", action="store_true",
                    help="also the fifth set, R tables taken after the fourth was run (blackbox_tables.R_LATE_TABLES)")
    ap.add_argument("--quick", action="store_true", help="skip pyoperon")
    ap.add_argument("--no-checks", action="store_true", help="skip the noise and many-columns checks")
    ap.add_argument(WIDE_CHILD, nargs=2, metavar=("SYSTEM", "COLUMNS"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    unknown = [t for t in args.tables.split(",") if t and t not in ALL_TABLES]
    if unknown:
        ap.error(f"unknown tables {', '.join(unknown)} (tables: {', '.join(ALL_TABLES)})")
    peers = [p for p in args.peers.split(",") if p]
    if any(p not in PEERS for p in peers):
        ap.error(f"unknown peers in {args.peers!r} (peers: {', '.join(PEERS)})")
    if args.quick:
        peers = [p for p in peers if p != "pyoperon"]
    args.systems = [n for n in SYSTEMS if n in ("linear", "ours") or n in peers]
    if not args.budget > 0:
        ap.error("--budget must be positive")
    return args


def main(argv=None):
    args = parse_args(argv)
    # The pool reads this when the extension loads: set it before the first import.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    if args.wide_child:
        name, columns = args.wide_child
        print(json.dumps(wide_child(name, int(columns), args.budget, args.threads)))
        return 0
    from blackbox_tables import ALL_TABLES, MORE_TABLES, R_FRESH_TABLES, R_LATE_TABLES, R_TABLES, TABLES

    systems = [s for s in (system(n, args.budget, args.threads) for n in args.systems) if s is not None]
    names = [s.name for s in systems]
    tables = [t for t in (args.tables.split(",") if args.tables else [*TABLES, *(MORE_TABLES if args.more else ()),
                                                                   *(R_TABLES if args.r_tables else ()),
                                                                   *(R_FRESH_TABLES if args.r_fresh else ()),
                                                                   *(R_LATE_TABLES if args.r_late else ())]) if t]
    print(f"# {FOLDS}-fold CV R² (KFold shuffle, random_state {FOLD_SEED}); systems: {', '.join(names)};"
          f" pyoperon budget {args.budget:g} s per fit; {args.threads} threads")
    print_header(names)
    rows = []
    for t in tables:
        row = cross_validate(ALL_TABLES[t](), systems)
        rows.append(row)
        print_table_row(row, names)
    times = {n: sum(r[n]["seconds"] for r in rows) for n in names}
    print("fit time, all folds of all tables: " + ", ".join(f"{n} {s:.1f} s" for n, s in times.items()))
    if "ours" in names:
        bad = sum(r["ours"]["nan_rows"] + r["ours"]["far_rows"] for r in rows)
        print(f"ours: held-out rows with NaN or beyond {RANGE_FACTOR:g}x the target's range: {bad}"
              f" ({'PASS' if bad == 0 else 'FAIL'})")
    for row in rows:
        beaten = losing(row, names)
        if beaten:
            print_diagnosis(row, names, beaten)
    result: dict = {"tables": rows, "fit_seconds": times, "budget": args.budget, "threads": args.threads}
    if not args.no_checks:
        result["noise"] = noise_check(systems)
        print_noise(result["noise"])
        result["wide"] = wide_check(names, args.budget, args.threads)
        print_wide(result["wide"])
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(result, fh, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
