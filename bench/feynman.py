"""Reach of formula discovery over the whole AI Feynman table: which of its 100 laws come back.

For every law of FeynmanEquations.csv (found beside the project, ../shared/data/, or at --data):
1,000 training rows drawn uniformly in the published ranges with a fixed seed (rows where the
law has no finite value are dropped and drawn again), searched by `zan_math.discover` at each
noise level (Gaussian, σ = level · std(y), fixed seed). Per law and level:

- time: wall time of the search;
- formula: the chosen formula;
- R²: on 2,000 fresh noise-free rows from the same ranges;
- exact: its maximum relative error on those rows is below 1e-6, the error dividing by
  max(|y|, 0.1 · rms(y)) as in bench/discover.py;
- structure: the law's form. Every fitted constant of the formula (those shown as simple values
  such as 1/2 or π were fitted too; only the structural -2, -1, 0, 1, 2 stay) is refitted by
  least squares on the noise-free training rows, starting from the values found, and the
  refitted formula is exact. A coefficient refitted to zero removes its term, so that law + 0 ·
  junk does not count. At noise 0 an exact formula has the structure by definition; under noise
  this is what tells a right form with noisy constants from a wrong form.

With --units, each law is searched with the SI units of its variables and output
(bench/feynman_units.py, checked against every formula): through its dimensionless groups.

Whether a formula of the law's structure was anywhere on the front (when the chosen one is not)
is reported beside it: a search that found the law and a choice that passed it over call for
different fixes. `needs` names the functions of a law that the engine has no operator for.

Peers (--peers; `pip install '.[bench]'`): pyoperon with our operator set, its
Levenberg–Marquardt local search on (10 iterations), 20 s per law; gplearn with its defaults
(no time limit). Their structure is judged by the same refit, on their formula's constants.

Summary per level: exact, structure and R² >= 0.999 counts, median and whole-table time.
Laws run one after the other: the engine already uses every core.
"""

from __future__ import annotations

import argparse
import inspect
import json
import math
import os
import statistics
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import discover as bench  # noqa: E402  (bench/discover.py: the judging helpers)
import feynman_table  # noqa: E402
import feynman_units  # noqa: E402

EXACT_TOL = bench.EXACT_TOL
PEER_SECONDS = 20
OPERON_LM_ITERATIONS = 10
# Our operator tokens by pyoperon's names (neg, inv and zan have none there).
_OPERON_NAMES = {"add": "add", "sub": "sub", "mul": "mul", "div": "div", "sin": "sin", "cos": "cos",
                 "exp": "exp", "ln": "log", "sqrt": "sqrt", "square": "square", "abs": "abs"}
_DEFAULT_OPERATORS = ("add", "sub", "mul", "div", "sin", "cos", "exp", "ln", "sqrt", "square")


# ---------------------------------------------------------------------------------------------
# The law's structure: constants refitted on noise-free rows


def _values(program, constants, X):
    from zan_math import _native

    out = np.empty(X.shape[0])
    _native.predict(program, tuple(float(c) for c in constants), np.ascontiguousarray(X.T), out)
    return out


def free_constants(program, constants):
    """The program with every fitted value a parameter, however many (the engine's own refit
    caps them at its Levenberg–Marquardt size; least squares here need not)."""
    from zan_math._holdout import _STRUCTURAL

    tokens, values = [], list(constants)
    for kind, value in program:
        if kind == "const" and float(value) not in _STRUCTURAL:
            tokens.append(("param", len(values)))
            values.append(float(value))
        else:
            tokens.append((kind, value))
    return tuple(tokens), np.array(values, dtype=float)


def vanished_term(program, start, fitted) -> bool:
    """Whether a coefficient refitted to zero multiplies (or is divided by) a term holding a
    variable: the refit then removed that term, and the law it matches is not the formula's form."""
    from zan_math._export import ARITY

    gone = {i for i, (v, v0) in enumerate(zip(fitted, start)) if v0 != 0 and abs(v) < 1e-6 * max(1.0, abs(v0))}
    if not gone:
        return False
    stack: list[tuple[bool, int | None]] = []  # (holds a variable, the parameter it is, up to sign)
    for kind, value in program:
        n = ARITY[value] if kind == "op" else 0
        if n == 0:
            stack.append((kind == "var", value if kind == "param" else None))
            continue
        args = stack[-n:]
        del stack[-n:]
        if n == 1:
            stack.append(args[0] if value == "neg" else (args[0][0], None))
            continue
        (a_var, a_param), (b_var, b_param) = args
        if value == "mul" and ((a_param in gone and b_var) or (b_param in gone and a_var)):
            return True
        if value == "div" and a_param in gone and b_var:
            return True
        stack.append((a_var or b_var, None))
    return False


def has_structure(program, constants, law, Xt, yt) -> bool:
    """The formula's constants, refitted by least squares on noise-free rows from the values
    found, make it exact on the fresh rows."""
    from scipy.optimize import least_squares

    program, start = free_constants(program, constants)
    if start.size == 0:
        return bench.rel_err(_values(program, start, Xt), yt) < EXACT_TOL
    X, y = law.data(0.0)
    penalty = 1e6 * (1.0 + np.abs(y))

    def residuals(c):
        r = _values(program, c, X) - y
        return np.where(np.isfinite(r), r, penalty)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = least_squares(residuals, start, method="lm" if y.size >= start.size else "trf",
                            xtol=1e-15, ftol=1e-15, gtol=1e-15, max_nfev=200 * (start.size + 1))
    if not bench.rel_err(_values(program, fit.x, Xt), yt) < EXACT_TOL:
        return False
    return not vanished_term(program, start, fit.x)


# ---------------------------------------------------------------------------------------------
# Our engine


def engine_options(args) -> dict:
    from zan_math import discover

    options: dict = {"time_limit": args.time_limit}
    if args.operators:
        if "operators" not in inspect.signature(discover).parameters:
            raise SystemExit("--operators: this zan_math's discover takes no operators= keyword; "
                             "run without --operators")
        options["operators"] = operator_list(args.operators)
    return options


def operator_list(text: str) -> list[str]:
    return [o.strip() for o in text.split(",") if o.strip()]


def run_ours(law, noise, options, units=False):
    from zan_math import discover

    X, y = law.data(noise)
    Xt, yt = law.test_data()
    if units:
        given, y_units = feynman_units.units_of(law.name, law.names, law.output)
        options = {**options, "units": given, "y_units": y_units}
    start = time.perf_counter()
    try:
        r = discover(X, y, names=list(law.names), **options)
    except Exception as exc:
        return {"ok": False, "structure": False, "seconds": time.perf_counter() - start, "r2": -math.inf,
                "rel_err": math.inf, "formula": f"error: {type(exc).__name__}: {exc}"}
    seconds = time.perf_counter() - start
    f = r.best
    if f is None:
        return {"ok": False, "structure": False, "seconds": seconds, "r2": -math.inf, "rel_err": math.inf,
                "formula": "(nothing fitted)"}
    pred = f.predict(Xt)
    err, score = bench.rel_err(pred, yt), bench.r2(pred, yt)
    exact = err < EXACT_TOL
    out = {"ok": exact, "structure": exact or has_structure(f.program, f.constants, law, Xt, yt),
           "seconds": seconds, "r2": score, "rel_err": err, "formula": f.text, "complexity": f.complexity,
           "interrupted": bool(r.interrupted), "front": [(g.complexity, g.text) for g in r.front]}
    if units:
        out["through"] = {"monomial": r.monomial, "groups": list(r.groups)}
    if not out["structure"]:
        out["law_on_front"] = next(([g.complexity, g.text] for g in r.front
                                    if has_structure(g.program, g.constants, law, Xt, yt)), None)
    return out


# ---------------------------------------------------------------------------------------------
# Peers


def _operon(threads, operators):
    from pyoperon.sklearn import SymbolicRegressor

    sp = bench._sympy()
    symbols = ",".join(["constant", "variable", *(_OPERON_NAMES[o] for o in operators if o in _OPERON_NAMES)])

    def run(X, y, names, symbol_table, budget):
        model = SymbolicRegressor(allowed_symbols=symbols, optimizer="lm",
                                  optimizer_iterations=OPERON_LM_ITERATIONS, n_threads=threads,
                                  random_state=0, max_time=int(budget))
        start = time.perf_counter()
        model.fit(X, y)
        seconds = time.perf_counter() - start
        text = model.get_model_string(model.model_, 17)
        env = {f"X{i + 1}": symbol_table[n] for i, n in enumerate(names)}
        env.update(square=lambda a: a**2, log=sp.log, exp=sp.exp, sqrt=sp.sqrt, sin=sp.sin, cos=sp.cos,
                   abs=sp.Abs)
        try:
            expr = sp.parse_expr(text.replace("^", "**"), local_dict=env)
        except Exception:
            expr = None
        shown = model.get_model_string(model.model_, 4, names=list(names))
        return bench.Found(shown, expr, model.predict, seconds)

    return run


def peers(wanted, threads, operators):
    out = []
    for name in wanted:
        try:
            if name == "pyoperon":
                out.append((name, _operon(threads, operators)))
            elif name == "gplearn":
                out.append((name, bench._peer_gplearn()))
            else:
                raise SystemExit(f"--peers: unknown peer {name!r}; known: pyoperon, gplearn")
        except ImportError:
            print(f"# {name} is not installed: skipped (pip install '.[bench]')", file=sys.stderr)
    return out


def run_peer(peer, law, noise):
    X, y = law.data(noise)
    Xt, yt = law.test_data()
    try:
        found = peer(X, y, law.names, law.symbols, PEER_SECONDS)
    except Exception as exc:
        return {"ok": False, "structure": False, "seconds": math.nan, "r2": -math.inf, "rel_err": math.inf,
                "formula": f"error: {type(exc).__name__}: {exc}"}
    try:
        pred = np.asarray(found.predict(Xt), dtype=float)
    except Exception:
        pred = np.full(yt.shape, np.nan)
    err, score = bench.rel_err(pred, yt), bench.r2(pred, yt)
    exact = err < EXACT_TOL
    structure = exact or (found.expr is not None and bool(bench.refit_exact(found.expr, law, Xt, yt)))
    return {"ok": exact, "structure": structure, "seconds": found.seconds, "r2": score, "rel_err": err,
            "formula": found.text}


# ---------------------------------------------------------------------------------------------
# Printing


def _yes(v):
    return "yes" if v else "no"


def print_header(level, peer_names, width):
    title = "noise-free" if level == 0 else f"noise {level:g} (σ = {level:g}·std y)"
    print(f"\n== {title}")
    head = (f"{'law':<10} {'vars':>4} {'needs':<6} | {'s':>7} {'exact':>5} {'struct':>6} {'R²':>7}  "
            f"{'formula':<{width}}")
    for name in peer_names:
        head += f" | {name[:8]:>8} s {'R²':>7} {'exact':>5} {'struct':>6}"
    print(head.rstrip(), flush=True)


def print_row(law, entry, peer_names, width):
    o = entry["ours"]
    text = o["formula"] if len(o["formula"]) <= width else o["formula"][: width - 1] + "…"
    line = (f"{law.name:<10} {len(law.names):>4} {','.join(law.needs):<6} | {o['seconds']:>7.2f} "
            f"{_yes(o['ok']):>5} {_yes(o['structure']):>6} {bench.fmt_r2(o['r2']):>7}  {text:<{width}}")
    for name in peer_names:
        q = entry[name]
        line += (f" | {q['seconds']:>10.2f} {bench.fmt_r2(q['r2']):>7} {_yes(q['ok']):>5} "
                 f"{_yes(q['structure']):>6}")
    print(line.rstrip(), flush=True)
    if o.get("law_on_front"):
        c, text = o["law_on_front"]
        print(f"{'':<10}   the law's structure is on the front at complexity {c}: {text}", flush=True)


def summarise(results, laws, levels, who_all):
    summary: dict = {"laws": len(laws)}
    print("\n== summary")
    n = len(laws)
    for level in levels:
        for who in who_all:
            runs = [results[(law.name, level)][who] for law in laws]
            exact = sum(r["ok"] for r in runs)
            structure = sum(r["structure"] for r in runs)
            fits = sum(r["r2"] >= 0.999 for r in runs)
            times = [r["seconds"] for r in runs if math.isfinite(r["seconds"])]
            median = statistics.median(times) if times else math.nan
            total = sum(times)
            key = f"{who}_{level:g}"
            summary[key] = {"exact": exact, "structure": structure, "r2_999": fits, "median_s": median,
                            "total_s": total}
            line = (f"noise {level:<5g} {who:<9} exact {exact:>3}/{n}   structure {structure:>3}/{n}   "
                    f"R² >= 0.999 {fits:>3}/{n}   median {median:7.2f} s   whole table {total:8.1f} s")
            if who == "ours":
                on_front = sum(bool(r.get("law_on_front")) for r in runs)
                summary[key]["structure_on_front_only"] = on_front
                line += f"   (+{on_front} with the structure on the front only)"
            print(line, flush=True)
    return summary


# ---------------------------------------------------------------------------------------------


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default=feynman_table.DEFAULT_TABLE,
                    help="path of FeynmanEquations.csv (default: ../shared/data/ beside the project)")
    ap.add_argument("--laws", default="", help="comma-separated law names, e.g. I.6.2a,II.11.28 (default: all)")
    ap.add_argument("--noise", default="0,0.01,0.1", help="noise levels, comma-separated (default: 0,0.01,0.1)")
    ap.add_argument("--rows", type=int, default=feynman_table.TRAIN_ROWS, help="training rows per law (default: 1000)")
    ap.add_argument("--time-limit", type=float, default=None,
                    help="seconds per search, passed to discover (default: none, the engine's own stop)")
    ap.add_argument("--operators", default="",
                    help="comma-separated operator tokens, passed to discover as operators= (when it takes them)")
    ap.add_argument("--peers", nargs="?", const="pyoperon,gplearn", default="",
                    help="run peers beside ours (default list: pyoperon,gplearn)")
    ap.add_argument("--units", action="store_true",
                    help="search each law with the SI units of its variables and output (bench/feynman_units.py)")
    ap.add_argument("--json", metavar="OUT", help="write every result and the summary to OUT")
    ap.add_argument("--width", type=int, default=56, help="formula column width")
    args = ap.parse_args(argv)
    if args.rows < 2:
        ap.error(f"--rows must be at least 2, got {args.rows}")
    if args.time_limit is not None and not (math.isfinite(args.time_limit) and args.time_limit > 0):
        ap.error(f"--time-limit must be a positive number of seconds, got {args.time_limit:g}")
    try:
        args.levels = [float(v) for v in args.noise.split(",") if v.strip()]
    except ValueError:
        ap.error(f"--noise must be numbers separated by commas, got {args.noise!r}")
    if not args.levels or any(not (math.isfinite(v) and v >= 0) for v in args.levels):
        ap.error(f"--noise must list non-negative finite levels, got {args.noise!r}")
    return args


def main(argv=None):
    args = parse_args(argv)
    try:
        import scipy  # noqa: F401
    except ImportError:
        raise SystemExit("bench/feynman.py refits constants with SciPy: pip install scipy") from None
    try:
        laws = feynman_table.select(feynman_table.load(args.data, args.rows), args.laws)
    except (OSError, ValueError) as exc:
        raise SystemExit(f"bench/feynman.py: {exc}") from None
    if args.units:
        # a wrong unit would make the groups wrong, and the search find nothing, silently
        bad = feynman_units.inconsistencies(laws)
        if bad:
            raise SystemExit("--units: the units of bench/feynman_units.py do not fit these laws:\n  "
                             + "\n  ".join(bad))
    options = engine_options(args)
    threads = int(os.environ.get("RAYON_NUM_THREADS") or os.cpu_count() or 1)
    peer_list = peers([n.strip() for n in args.peers.split(",") if n.strip()], threads,
                      operator_list(args.operators) or _DEFAULT_OPERATORS)
    peer_names = [n for n, _ in peer_list]
    limit = f"{args.time_limit:g} s" if args.time_limit else "none"
    print(f"# {len(laws)} laws of {args.data}; {args.rows} training rows, {feynman_table.TEST_ROWS} fresh rows;"
          f" time limit {limit}; options {options}; units: {_yes(args.units)};"
          f" peers: {', '.join(peer_names) or 'none'}", flush=True)

    results: dict = {}
    started = time.perf_counter()
    for level in args.levels:
        print_header(level, peer_names, args.width)
        for law in laws:
            entry = {"law": law.name, "noise": level, "truth": law.truth, "vars": len(law.names),
                     "needs": list(law.needs)}
            try:
                entry["ours"] = run_ours(law, level, options, args.units)
            except ValueError as exc:  # a law without enough rows with a value
                entry["ours"] = {"ok": False, "structure": False, "seconds": math.nan, "r2": -math.inf,
                                 "rel_err": math.inf, "formula": f"error: {exc}"}
            for name, peer in peer_list:
                entry[name] = run_peer(peer, law, level)
            results[(law.name, level)] = entry
            print_row(law, entry, peer_names, args.width)

    summary = summarise(results, laws, args.levels, ["ours", *peer_names])
    summary["wall_s"] = time.perf_counter() - started
    summary["options"] = dict(options)
    summary["units"] = args.units
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"summary": summary, "results": list(results.values())}, fh, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
