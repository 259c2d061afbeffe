"""Formula discovery on laws from the Nguyen suite and the Feynman database, peers side by side.

For every problem of bench/problems.py (100 rows drawn from the published input ranges with a
fixed seed) the search runs on the noise-free rows and on the same rows with 1% noise (Gaussian,
std 0.01 * std(y)). Per run: wall time, the formula found, R² on 400 fresh noise-free rows, and:

- exact (noise-free rows): the formula reproduces the law. Either its maximum relative error on
  the 400 fresh rows is below 1e-6, or, after snapping its constants (tolerance 1e-6), it is
  SymPy-equivalent to the law.
- law (1% noise): the formula has the law's structure. Either, after snapping its constants with
  a 1% tolerance, it is SymPy-equivalent to the law; or its constants, refitted by least squares
  on the noise-free rows (from the values found), make it exact as above. The refit is what
  "structure" means: noise moves the coefficients of correlated terms (a polynomial's) by
  several percent, which no snapping tolerance can tell from a wrong constant, while a formula
  of the wrong form stays inexact whatever its constants. (A looser error bound on fresh rows,
  such as 1e-2, is no such test: a truncated series of the law passes it.)

Relative errors divide by max(|y|, 0.1 * rms(y)), so laws that cross zero (the Nguyen
polynomials) are not judged by their values next to the crossing. Snapping replaces a constant
by the simplest p/q * B within the tolerance, q <= 12, B one of 1, π, π², √2, √π, √(2π), e and
their reciprocals (smallest q first, then the order of that list). SymPy-equivalent means
simplify(snapped - law) == 0, or, when SymPy cannot decide within a few seconds, identity to
1e-10 on the fresh rows.

Our engine is `zan_math.discover` when the package has it, otherwise the classic
`zan_math.find_formula` (its single best formula, parsed from its text). Peers, with --peers,
when installed (`pip install '.[bench]'`):
- pyoperon: `pyoperon.sklearn.SymbolicRegressor` with its defaults, except the operator set,
  widened to ours (add, sub, mul, div, sin, cos, exp, log, sqrt, square; its default is
  arithmetic only), n_threads = the threads we use, random_state 0, max_time = --budget.
- gplearn: `gplearn.genetic.SymbolicRegressor` with its defaults, function_set add, sub, mul,
  div, sqrt, log, sin, cos, random_state 0. It has no wall-clock limit, so --budget does not
  apply to it.

Then summary lines: the exact-recovery rate without noise, the true-law rate at 1% noise, the
median time per problem, the whole set's time against pyoperon's, the parallel speed-up of a full
run (RAYON_NUM_THREADS=1 against 2, each in its own interpreter), and three special checks:
kinetic energy from a 7-row table (best must be 0.5*m*v**2), Kepler's third law from the eight
planets in km and days (best must be a constant times a**1.5), and the peak resident memory of
a search over 1,000,000 rows x 4 variables in a subprocess (must stay below 2 GB).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

EXACT_TOL = 1e-6
LAW_TOL = 1e-2
REFIT_MAX_CONSTANTS = 12
IDENTITY_TOL = 1e-10
MEMORY_LIMIT = 2 * 1024**3
MEMORY_ROWS = 1_000_000
SIMPLIFY_SECONDS = 5


# ---------------------------------------------------------------------------------------------
# What a run found, whichever engine found it


@dataclass
class Found:
    text: str
    expr: Any  # a SymPy expression over the problem's symbols, or None when it cannot be built
    predict: Callable[[Any], Any]
    seconds: float
    info: dict = field(default_factory=dict)
    front: list = field(default_factory=list)  # the other formulas of the front, as Found
    floats: Any = None  # the expression with every constant a float (the refit's start), if not expr


def _sympy():
    try:
        import sympy
    except ImportError:
        raise SystemExit("bench/discover.py judges formulas with SymPy: pip install '.[bench]'") from None
    return sympy


def _rename(expr, symbols):
    """Same-named symbols of the problem (they carry its positivity assumptions)."""
    table = {s: symbols[s.name] for s in expr.free_symbols if s.name in symbols}
    return expr.xreplace(table)


def lambdify(expr, names, symbols):
    sp = _sympy()
    import numpy as np

    fn = sp.lambdify([symbols[n] for n in names], expr, "numpy")

    def predict(X):
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = np.asarray(fn(*np.asarray(X, dtype=float).T), dtype=complex)
        real = np.where(np.abs(out.imag) > 0, np.nan, out.real)
        return np.broadcast_to(real, (np.asarray(X).shape[0],)).astype(float)

    return predict


# ---------------------------------------------------------------------------------------------
# Our engine: zan_math.discover, or the classic find_formula until discover exists


def program_to_sympy(program, constants, names, symbols):
    """SymPy expression of a postfix program (the token vocabulary of the discovery API)."""
    sp = _sympy()
    unary = {
        "neg": lambda a: -a, "inv": lambda a: 1 / a, "exp": sp.exp, "ln": sp.log, "sqrt": sp.sqrt,
        "sin": sp.sin, "cos": sp.cos, "abs": sp.Abs, "square": lambda a: a**2,
    }
    binary = {
        "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
        "div": lambda a, b: a / b, "zan": lambda a, b: sp.exp(a) - sp.log(sp.Abs(b)),
    }
    stack = []
    for kind, value in program:
        if kind == "var":
            stack.append(symbols[names[value]])
        elif kind == "const":
            stack.append(sp.Float(value))
        elif kind == "param":
            stack.append(sp.Float(constants[value]))
        elif value in unary:
            stack.append(unary[value](stack.pop()))
        else:
            b = stack.pop()
            stack.append(binary[value](stack.pop(), b))
    if len(stack) != 1:
        raise ValueError(f"program leaves {len(stack)} values")
    return stack[0]


def formula_to_sympy(f, names, symbols):
    try:
        expr = f.sympy()
    except Exception:  # the export may be missing or refuse a formula; the program is enough
        expr = None
    # The export may rename a variable (a name SymPy reserves); then the program says which.
    if expr is None or not {s.name for s in expr.free_symbols} <= set(symbols):
        return program_to_sympy(f.program, f.constants, list(f.names), symbols)
    return _rename(expr, symbols)


def run_discover(discover, X, y, names, symbols, budget):
    start = time.perf_counter()
    r = discover(X, y, names=list(names), time_limit=budget)
    seconds = time.perf_counter() - start
    f = r.best
    if f is None:
        import numpy as np

        return Found("(nothing fitted)", None, lambda X: np.full(len(X), np.nan), seconds)
    try:
        expr = formula_to_sympy(f, names, symbols)
    except Exception as exc:
        expr, note = None, f"no sympy: {exc}"
    else:
        note = ""
    info = {"complexity": f.complexity, "interrupted": bool(getattr(r, "interrupted", False)),
            "front": [(g.complexity, g.text) for g in r.front]}
    if note:
        info["note"] = note
    front = []
    for g in r.front:
        try:
            front.append(Found(g.text, formula_to_sympy(g, names, symbols), g.predict, 0.0,
                               {"complexity": g.complexity}, floats=_float_form(g, symbols)))
        except Exception:
            pass
    return Found(f.text, expr, f.predict, seconds, info, front, _float_form(f, symbols))


def _float_form(f, symbols):
    # The export states constants that are a simple value to a few ulps exactly (√2/3), which
    # leaves nothing to refit: the program keeps them as floats.
    try:
        return program_to_sympy(f.program, f.constants, list(f.names), symbols)
    except Exception:
        return None


def classic_text_to_sympy(text, names, symbols):
    """The classic search's text form: fully parenthesised, variables x, y, z, {."""
    import re

    sp = _sympy()
    letters = ["x", "y", "z", "{", "|", "}", "~"]
    env = {"exp": sp.exp, "ln": sp.log, "sqrt": sp.sqrt, "sin": sp.sin, "cos": sp.cos,
           "abs": sp.Abs, "zan": lambda a, b: sp.exp(a) - sp.log(sp.Abs(b)), "pi": sp.pi, "E": sp.E}
    src = text.replace("π", "pi")
    src = re.sub(r"(?<![A-Za-z_])e(?![A-Za-z_(])", "E", src)
    for i, name in enumerate(names):
        key = f"v{i}_"
        env[key] = symbols[name]
        ch = letters[i]
        if ch.isalpha():
            src = re.sub(rf"(?<![A-Za-z_]){ch}(?![A-Za-z_(])", key, src)
        else:
            src = src.replace(ch, key)
    src = re.sub(r"\d+\.\d+", lambda m: f"Rational('{m.group(0)}')", src)
    env["Rational"] = sp.Rational
    return eval(src, {"__builtins__": {}}, env)  # noqa: S307 - our own engine's text


def run_classic(find_formula, X, y, names, symbols, budget):
    cols = [list(map(float, c)) for c in X.T]
    start = time.perf_counter()
    r = find_formula(cols, list(map(float, y)))
    seconds = time.perf_counter() - start
    expr = classic_text_to_sympy(r.formula, names, symbols)
    return Found(r.formula, expr, lambdify(expr, names, symbols), seconds, {"complexity": r.complexity})


def our_engine():
    try:
        from zan_math import discover  # type: ignore[attr-defined]
    except ImportError:
        from zan_math import find_formula

        return "find_formula (classic)", lambda *a: run_classic(find_formula, *a)
    return "discover", lambda *a: run_discover(discover, *a)


# ---------------------------------------------------------------------------------------------
# Peers


def _peer_operon(threads):
    from pyoperon.sklearn import SymbolicRegressor

    sp = _sympy()

    def run(X, y, names, symbols, budget):
        model = SymbolicRegressor(
            allowed_symbols="add,sub,mul,div,constant,variable,sin,cos,exp,log,sqrt,square",
            n_threads=threads, random_state=0, max_time=int(budget) if budget else None)
        start = time.perf_counter()
        model.fit(X, y)
        seconds = time.perf_counter() - start
        text = model.get_model_string(model.model_, 17)
        env = {f"X{i + 1}": symbols[n] for i, n in enumerate(names)}
        env.update(square=lambda a: a**2, log=sp.log, exp=sp.exp, sqrt=sp.sqrt, sin=sp.sin,
                   cos=sp.cos, abs=sp.Abs)
        try:
            expr = sp.parse_expr(text.replace("^", "**"), local_dict=env)
        except Exception:
            expr = None
        shown = model.get_model_string(model.model_, 4, names=list(names))
        return Found(shown, expr, model.predict, seconds)

    return run


def _peer_gplearn():
    from gplearn.genetic import SymbolicRegressor

    sp = _sympy()

    def run(X, y, names, symbols, budget):
        model = SymbolicRegressor(function_set=("add", "sub", "mul", "div", "sqrt", "log", "sin", "cos"),
                                  random_state=0)
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(X, y)
        seconds = time.perf_counter() - start
        text = str(model._program)
        # gplearn's protected sqrt and log take the absolute value; its protected division
        # differs from a/b only next to zero, which the ranges here avoid.
        env = {f"X{i}": symbols[n] for i, n in enumerate(names)}
        env.update(add=lambda a, b: a + b, sub=lambda a, b: a - b, mul=lambda a, b: a * b,
                   div=lambda a, b: a / b, sqrt=lambda a: sp.sqrt(sp.Abs(a)),
                   log=lambda a: sp.log(sp.Abs(a)), sin=sp.sin, cos=sp.cos, neg=lambda a: -a,
                   inv=lambda a: 1 / a)
        try:
            expr = sp.parse_expr(text, local_dict=env)
        except Exception:
            expr = None
        shown = text
        for i, n in reversed(list(enumerate(names))):
            shown = shown.replace(f"X{i}", n)
        return Found(shown, expr, model.predict, seconds)

    return run


def peers(wanted, threads):
    out = []
    for name in wanted:
        try:
            out.append((name, _peer_operon(threads) if name == "pyoperon" else _peer_gplearn()))
        except ImportError:
            print(f"# {name} is not installed: skipped (pip install '.[bench]')", file=sys.stderr)
    return out


# ---------------------------------------------------------------------------------------------
# Judging a formula


def rel_err(pred, truth):
    import numpy as np

    pred = np.asarray(pred, dtype=float)
    if pred.shape != truth.shape or not np.all(np.isfinite(pred)):
        return math.inf
    floor = 0.1 * float(np.sqrt(np.mean(truth**2)))
    return float(np.max(np.abs(pred - truth) / np.maximum(np.abs(truth), floor)))


def r2(pred, truth):
    import numpy as np

    pred = np.asarray(pred, dtype=float)
    if pred.shape != truth.shape or not np.all(np.isfinite(pred)):
        return -math.inf
    sst = float(np.sum((truth - truth.mean()) ** 2))
    return 1.0 - float(np.sum((pred - truth) ** 2)) / sst if sst > 0 else -math.inf


def _bases():
    sp = _sympy()
    out = []
    for b in (sp.Integer(1), sp.pi, sp.pi**2, sp.sqrt(2), sp.sqrt(sp.pi), sp.sqrt(2 * sp.pi), sp.E):
        out.append(b)
        if b != 1:
            out.append(1 / b)
    return [(b, float(b)) for b in out]


def snap_value(c, tol):
    sp = _sympy()
    if c == 0 or abs(c) < 1e-12:
        return sp.Integer(0)
    for q in range(1, 13):
        for b, bv in _bases():
            p = round(c / bv * q)
            if p == 0:
                continue
            cand = p / q * bv
            if abs(cand - c) <= tol * abs(cand):
                return sp.Rational(p, q) * b
    return None


def snap(expr, tol):
    sp = _sympy()
    table = {}
    for f in expr.atoms(sp.Float):
        s = snap_value(float(f), tol)
        if s is not None:
            table[f] = s
    return expr.xreplace(table)


class _Timeout(Exception):
    pass


def _alarm(signum, frame):
    raise _Timeout


def _limited(fn, seconds=SIMPLIFY_SECONDS):
    """fn() or None when it takes longer than seconds (SymPy can take minutes on a big tree)."""
    old = signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(seconds)
    try:
        return fn()
    except _Timeout:
        return None
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def _forms(expr, negligible):
    """The formula as found, then expanded: expanding folds constants spread over a tree
    (c0 + c1*(c2*x - cos(c3)) becomes a*x + b), so that each can be snapped once; then without
    an additive constant below `negligible` (an offset a fit leaves at rounding level)."""
    sp = _sympy()
    yield expr
    expanded = _limited(lambda: sp.expand(expr))
    if expanded is None:
        return
    if expanded != expr:
        yield expanded
    if isinstance(expanded, sp.Add):
        small = [t for t in expanded.args if not t.free_symbols and abs(float(t)) < negligible]
        if small:
            yield expanded - sum(small)


def sympy_equivalent(expr, problem, Xt, yt):
    """Snapped expression identical to the law: SymPy when it decides, else the fresh rows."""
    sp = _sympy()
    if expr.atoms(sp.Float):
        return False
    try:
        values = lambdify(expr, problem.names, problem.symbols)(Xt)
    except Exception:
        return False
    if rel_err(values, yt) > 1e-6:
        return False  # SymPy would only spend seconds proving what the values already deny
    try:
        if _limited(lambda: sp.simplify(expr - problem.expr) == 0):
            return True
    except Exception:
        pass
    return rel_err(values, yt) < IDENTITY_TOL


def judge(found, problem, Xt, yt, noisy):
    """(recovered, how, R², max relative error) for one run."""
    import numpy as np

    try:
        pred = found.predict(Xt)
    except Exception:
        pred = None
    err = rel_err(pred, yt) if pred is not None else math.inf
    score = r2(pred, yt) if pred is not None else -math.inf
    tol = LAW_TOL if noisy else EXACT_TOL
    if found.expr is not None:
        negligible = tol * float(np.sqrt(np.mean(yt**2)))
        for form in _forms(found.expr, negligible):
            try:
                if sympy_equivalent(snap(form, tol), problem, Xt, yt):
                    return True, "sympy", score, err
            except Exception:
                pass
    if not noisy and err < EXACT_TOL:
        return True, "numeric", score, err
    floats = found.floats if found.floats is not None else found.expr
    if noisy and floats is not None and refit_exact(floats, problem, Xt, yt):
        return True, "refit", score, err
    return False, "", score, err


def refit_exact(expr, problem, Xt, yt):
    """Whether the formula's constants, refitted on noise-free rows, make it exact."""
    import numpy as np

    sp = _sympy()
    floats = sorted(expr.atoms(sp.Float), key=float)
    if not floats or len(floats) > REFIT_MAX_CONSTANTS:
        return False
    try:
        from scipy.optimize import least_squares
    except ImportError:
        return False
    cs = sp.symbols(f"c0:{len(floats)}")
    xs = [problem.symbols[n] for n in problem.names]
    fn = sp.lambdify([*xs, *cs], expr.xreplace(dict(zip(floats, cs))), "numpy")
    X, y = problem.data(0.0)

    def values(c, rows):
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = np.asarray(fn(*rows.T, *c), dtype=float)
        return np.broadcast_to(out, (rows.shape[0],))

    def residuals(c):
        r = values(c, X) - y
        return np.where(np.isfinite(r), r, 1e6 * (1.0 + np.abs(y)))

    start = np.array([float(f) for f in floats])
    if not np.all(np.isfinite(residuals(start))):
        return False
    fit = _limited(lambda: least_squares(residuals, start, method="lm", xtol=1e-15, ftol=1e-15,
                                         gtol=1e-15, max_nfev=200 * (len(start) + 1)))
    if fit is None or not rel_err(values(fit.x, Xt), yt) < EXACT_TOL:
        return False
    # A coefficient refitted to zero removes its term: law + c*junk is not the law's form.
    # (An offset, or a constant inside a function, may well go to zero.)
    vanished = {c for c, v, v0 in zip(floats, fit.x, start) if abs(v) < 1e-6 * max(1.0, abs(v0))}
    for node in sp.preorder_traversal(expr):
        if isinstance(node, sp.Mul) and node.free_symbols and vanished & set(node.args):
            return False
    return True


# ---------------------------------------------------------------------------------------------
# Running the set


def run_problem(engine, problem, noise, budget):
    X, y = problem.data(noise)
    Xt, yt = problem.test_data()
    try:
        found = engine(X, y, problem.names, problem.symbols, budget)
    except Exception as exc:
        return {"ok": False, "how": "", "seconds": math.nan, "r2": -math.inf, "rel_err": math.inf,
                "formula": f"error: {type(exc).__name__}: {exc}"}
    ok, how, score, err = judge(found, problem, Xt, yt, noise > 0)
    out = {"ok": ok, "how": how, "seconds": found.seconds, "r2": score, "rel_err": err,
           "formula": found.text, **found.info}
    if found.front:
        # Whether the law was on the front even when it was not chosen: a search that found it
        # and a choice that missed it call for different fixes.
        out["law_on_front"] = None
        for g in found.front:
            if judge(g, problem, Xt, yt, noise > 0)[0]:
                out["law_on_front"] = [g.info["complexity"], g.text]
                break
    return out


def fmt_r2(v):
    if not math.isfinite(v):
        return "nan"
    if v >= 1 - 1e-12:
        return "1"
    if v > 0.99:
        return f"1-{1 - v:.0e}"
    return f"{v:.3f}"


def print_header(level, peer_names, width):
    tag = "exact" if level == 0 else "law"
    title = "noise-free" if level == 0 else f"{level:.0%} noise"
    print(f"\n== {title}: {tag} = {'exact recovery' if level == 0 else 'true law found'}")
    head = f"{'problem':<10} {'vars':>4} | {'ours s':>7} {tag:>5} {'R²':>7}  {'formula':<{width}}"
    for name in peer_names:
        head += f" | {name[:8]:>8} s {'R²':>7} {tag:>5}"
    print(head.rstrip(), flush=True)


def print_row(p, r, peer_names, width):
    o = r["ours"]
    formula = o["formula"] if len(o["formula"]) <= width else o["formula"][: width - 1] + "…"
    line = (f"{p.name:<10} {len(p.names):>4} | {o['seconds']:>7.3f} {'yes' if o['ok'] else 'no':>5} "
            f"{fmt_r2(o['r2']):>7}  {formula:<{width}}")
    for name in peer_names:
        q = r[name]
        line += f" | {q['seconds']:>10.2f} {fmt_r2(q['r2']):>7} {'yes' if q['ok'] else 'no':>5}"
    print(line.rstrip(), flush=True)


def rate(rows, problems, level, who):
    hits = sum(rows[(p.name, level)][who]["ok"] for p in problems)
    return hits, len(problems)


def total_time(rows, problems, level, who):
    return sum(rows[(p.name, level)][who]["seconds"] for p in problems)


# ---------------------------------------------------------------------------------------------
# Special checks


def kinetic_check(engine):
    import numpy as np
    from problems import KINETIC_TABLE, Problem

    p = Problem("kinetic", "m*v**2/2", (("m", 1, 5), ("v", 1, 3)))
    X = np.array([r[:2] for r in KINETIC_TABLE], dtype=float)
    y = np.array([r[2] for r in KINETIC_TABLE], dtype=float)
    found = engine(X, y, p.names, p.symbols, None)
    Xt, yt = p.test_data()
    ok = found.expr is not None and sympy_equivalent(snap(found.expr, EXACT_TOL), p, Xt, yt)
    return {"ok": bool(ok), "formula": found.text, "seconds": found.seconds}


def kepler_check(engine):
    import numpy as np
    from problems import AU_KM, PLANETS, Problem

    p = Problem("kepler", "a", (("a", 0.3 * AU_KM, 40 * AU_KM),))
    X = np.array([[a * AU_KM] for _, a, _ in PLANETS])
    y = np.array([period for _, _, period in PLANETS])
    found = engine(X, y, p.names, p.symbols, None)
    grid = np.geomspace(0.2 * AU_KM, 50 * AU_KM, 200)[:, None]
    ratio = np.asarray(found.predict(grid), dtype=float) / grid[:, 0] ** 1.5
    finite = bool(np.all(np.isfinite(ratio)))
    spread = float((ratio.max() - ratio.min()) / abs(ratio.mean())) if finite else math.inf
    out = {"ok": spread < 1e-6, "formula": found.text, "seconds": found.seconds,
           "constant": float(np.median(ratio)) if finite else math.nan, "spread": spread}
    if finite and not out["ok"]:
        # Say whether the miss is only an intercept beside c*a**1.5, or the law is not there.
        values = np.asarray(found.predict(grid), dtype=float)
        power = grid[:, 0] ** 1.5
        A = np.column_stack([power / power.max(), np.ones(len(grid))])  # scaled: lstsq needs it
        (c, b), *_ = np.linalg.lstsq(A, values, rcond=None)
        if np.max(np.abs(A @ (c, b) - values)) < 1e-6 * np.max(np.abs(values)):
            out["note"] = f"c*a**1.5 + {b:.4g}: an intercept beside the law"
    return out


MEMORY_CODE = r"""
import json, resource, sys, time
import numpy as np
sys.path.insert(0, {here!r})
import discover as bench
rng = np.random.default_rng(7)
X = rng.uniform(1.0, 5.0, ({rows}, 4))
y = 0.5 * X[:, 0] * (X[:, 1] ** 2 + X[:, 2] ** 2 + X[:, 3] ** 2)
names = ("m", "v", "u", "w")
import sympy
symbols = {{n: sympy.Symbol(n, positive=True) for n in names}}
label, engine = bench.our_engine()
start = time.perf_counter()
if label == "discover":
    found = engine(X, y, names, symbols, {budget})
else:  # the classic search has no time limit: a short one keeps the check bounded
    from zan_math import find_formula
    cols = [c.tolist() for c in X.T]
    r = find_formula(cols, y.tolist(), max_complexity=3)
    class F: text = r.formula
    found = F()
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({{"peak": peak, "seconds": seconds, "formula": found.text, "engine": label}}))
"""


def memory_check(budget):
    code = MEMORY_CODE.format(here=HERE, rows=MEMORY_ROWS, budget=budget)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if out.returncode != 0:
        return {"ok": False, "error": out.stderr.strip().splitlines()[-1:] or ["?"]}
    res = json.loads(out.stdout.strip().splitlines()[-1])
    res["ok"] = res["peak"] < MEMORY_LIMIT
    return res


def speedup(args):
    """The whole noise-free set timed with one and with two pool threads, each in its own process."""
    times = {}
    for threads in ("1", "2"):
        cmd = [sys.executable, os.path.abspath(__file__), "--timing-only", "--noise", "0"]
        if args.problems:
            cmd += ["--problems", args.problems]
        if args.quick:
            cmd += ["--quick"]
        if args.budget is not None:
            cmd += ["--budget", str(args.budget)]
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if out.returncode != 0:
            return {"error": out.stderr.strip().splitlines()[-1:] or ["?"]}
        times[threads] = json.loads(out.stdout.strip().splitlines()[-1])["seconds"]
    return {"one": times["1"], "two": times["2"], "speedup": times["1"] / times["2"]}


# ---------------------------------------------------------------------------------------------


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--peers", nargs="?", const="pyoperon,gplearn", default="",
                    help="run peers beside ours (default list: pyoperon,gplearn)")
    ap.add_argument("--problems", default="", help="comma-separated problem names (default: all)")
    ap.add_argument("--quick", action="store_true",
                    help="a small spread of problems; no speed-up or memory check")
    ap.add_argument("--noise", default="0,0.01", help="noise levels to run (default: 0,0.01)")
    ap.add_argument("--threads", type=int, default=None,
                    help="worker threads for our pool (RAYON_NUM_THREADS) and pyoperon")
    ap.add_argument("--budget", type=float, default=60.0, help="time limit per search, seconds")
    ap.add_argument("--json", metavar="OUT", help="write every result and the summary to OUT")
    ap.add_argument("--width", type=int, default=48, help="formula column width")
    ap.add_argument("--no-checks", action="store_true", help="skip speed-up, memory and special checks")
    ap.add_argument("--timing-only", action="store_true", help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.threads:
        # The pool reads this when the extension loads: set it before the first import.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    from problems import QUICK, by_name

    problems = by_name(args.problems or (",".join(QUICK) if args.quick else ""))
    levels = [float(v) for v in args.noise.split(",") if v.strip()]
    label, engine = our_engine()

    if args.timing_only:
        total = sum(run_problem(engine, p, 0.0, args.budget)["seconds"] for p in problems)
        print(json.dumps({"seconds": total}))
        return 0

    threads = args.threads or int(os.environ.get("RAYON_NUM_THREADS") or os.cpu_count() or 1)
    peer_list = peers([n for n in args.peers.split(",") if n], threads)
    peer_names = [n for n, _ in peer_list]
    print(f"# engine: {label}; {len(problems)} problems, 100 rows each, R² and exactness on 400 fresh rows;"
          f" budget {args.budget:g} s per search; peers: {', '.join(peer_names) or 'none'}", flush=True)

    rows: dict = {}
    for level in levels:
        print_header(level, peer_names, args.width)
        for p in problems:
            entry = {"problem": p.name, "noise": level, "truth": p.truth, "vars": len(p.names)}
            entry["ours"] = run_problem(engine, p, level, args.budget)
            for name, peer in peer_list:
                entry[name] = run_problem(peer, p, level, args.budget)
            rows[(p.name, level)] = entry
            print_row(p, entry, peer_names, args.width)

    summary: dict = {"engine": label, "problems": len(problems)}
    print("\n== summary")
    for level in levels:
        key = "exact_rate" if level == 0 else f"law_rate_{level:g}"
        what = "exact recovery, noise-free" if level == 0 else f"true law at {level:.0%} noise"
        for who in ["ours", *peer_names]:
            hits, n = rate(rows, problems, level, who)
            times = [rows[(p.name, level)][who]["seconds"] for p in problems]
            summary[f"{who}_{key}"] = hits / n
            summary[f"{who}_median_s_{level:g}"] = statistics.median(times)
            summary[f"{who}_total_s_{level:g}"] = sum(times)
            print(f"{what:<30} {who:<9} {hits:>3}/{n} = {hits / n:6.1%}   median {statistics.median(times):8.3f} s"
                  f"   whole set {sum(times):9.2f} s")
            fits = sum(rows[(p.name, level)][who]["r2"] >= 0.999 for p in problems)
            summary[f"{who}_r2_999_{level:g}"] = fits / n
            print(f"{'':<30} {who:<9} {fits:>3}/{n} = {fits / n:6.1%}   with R² >= 0.999 on the fresh rows")
            fronts = [rows[(p.name, level)][who].get("law_on_front", False) for p in problems]
            if any(f is not False for f in fronts):
                on_front = sum(bool(f) for f in fronts)
                summary[f"{who}_{key}_on_front"] = on_front / n
                print(f"{'':<30} {who:<9} {on_front:>3}/{n} = {on_front / n:6.1%}   with the law anywhere on the front")
    for name in peer_names:
        for level in levels:
            ours_t = total_time(rows, problems, level, "ours")
            peer_t = total_time(rows, problems, level, name)
            ratio = peer_t / ours_t if ours_t > 0 else math.inf
            summary[f"speed_vs_{name}_{level:g}"] = ratio
            print(f"whole set at noise {level:g}: ours {ours_t:.2f} s, {name} {peer_t:.2f} s: ours {ratio:.1f}x faster")

    if not args.no_checks:
        kin = kinetic_check(engine)
        print(f"kinetic energy (7 rows): {'PASS' if kin['ok'] else 'FAIL'}  best = {kin['formula']}"
              f"  ({kin['seconds']:.3f} s)")
        kep = kepler_check(engine)
        print(f"Kepler (8 planets, km, days): {'PASS' if kep['ok'] else 'FAIL'}  best = {kep['formula']}"
              f"  (P/a^1.5 = {kep['constant']:.4g}, spread {kep['spread']:.1e}; {kep['seconds']:.3f} s)"
              + (f"; {kep['note']}" if "note" in kep else ""))
        summary["kinetic"], summary["kepler"] = kin, kep
        if not args.quick:
            sp_ = speedup(args)
            summary["speedup"] = sp_
            if "error" in sp_:
                print(f"parallel speed-up: failed: {sp_['error']}")
            else:
                print(f"parallel speed-up, noise-free set: 1 thread {sp_['one']:.2f} s, 2 threads {sp_['two']:.2f} s:"
                      f" {sp_['speedup']:.2f}x")
            mem = memory_check(args.budget)
            summary["memory"] = mem
            if "error" in mem:
                print(f"memory, {MEMORY_ROWS:,} rows x 4: failed: {mem['error']}")
            else:
                print(f"memory, {MEMORY_ROWS:,} rows x 4: peak RSS {mem['peak'] / 2**20:.0f} MiB"
                      f" ({'PASS' if mem['ok'] else 'FAIL'} < 2 GiB), {mem['seconds']:.1f} s, best = {mem['formula']}")

    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"summary": summary, "results": list(rows.values())}, fh, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
