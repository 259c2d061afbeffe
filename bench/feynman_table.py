"""The public AI Feynman table (Udrescu & Tegmark, 2020) as problems of the reach benchmark.

Each row of FeynmanEquations.csv is a law: its formula in NumPy syntax (arcsin, tanh, ln, pi)
and the uniform sampling range of each of its named variables. The "# variables" column is
wrong in a few rows, so the named variables are what counts. Some laws have no value on part
of their box (arcsin of a number above 1): sampling keeps the rows where the law has one.
"""

from __future__ import annotations

import csv
import os
import warnings
from dataclasses import dataclass
from functools import cached_property

import numpy as np

from problems import SEED, Problem, _stable_hash

TRAIN_ROWS = 1000
TEST_ROWS = 2000
# The table lives beside the project, not in it: <root>/../shared/data/.
DEFAULT_TABLE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                              "shared", "data", "FeynmanEquations.csv"))
# Rounds of sampling a law may need to find its rows: a law with a value on less than
# 1/kMaxDraws of its box is an error in the table, not a law to search.
kMaxDraws = 50
# The operators of our engine, by SymPy's names for them: anything else in a law is an
# operator it lacks (powers and quotients are products of those it has).
_ENGINE_FUNCTIONS = frozenset(("exp", "log", "sqrt", "sin", "cos", "Abs"))


@dataclass(frozen=True)
class Law(Problem):
    """A law of the table with its rows: `rows` training rows, TEST_ROWS fresh ones."""

    number: int = 0
    rows: int = TRAIN_ROWS
    output: str = ""  #: the name of what the law gives

    @cached_property
    def expr(self):
        import sympy
        from sympy.parsing.sympy_parser import parse_expr

        local = {name: getattr(sympy, name) for name in ("exp", "sqrt", "sin", "cos", "tan", "tanh", "sinh", "cosh")}
        local.update(arcsin=sympy.asin, arccos=sympy.acos, arctan=sympy.atan, ln=sympy.log, log=sympy.log,
                     pi=sympy.pi)
        # The law's own names (I, beta, Gamma) win over SymPy's.
        local.update(self.symbols)
        try:
            return parse_expr(self.truth, local_dict=local)
        except Exception as exc:
            raise ValueError(f"{self.name}: cannot read the formula {self.truth!r}: {exc}") from None

    @cached_property
    def needs(self) -> tuple[str, ...]:
        """Functions of the law that our engine has no operator for (arcsin, tanh)."""
        import sympy

        found = {type(f).__name__ for f in self.expr.atoms(sympy.Function)}
        return tuple(sorted(found - _ENGINE_FUNCTIONS))

    def evaluate(self, X: np.ndarray) -> np.ndarray:
        """The law's values; NaN where it has none (SymPy may write a root of a negative
        number as an imaginary one, which must not pass for its real part)."""
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = np.asarray(self.function(*X.T), dtype=complex)
        out = np.where(out.imag == 0, out.real, np.nan)
        return np.broadcast_to(out, (X.shape[0],)).copy()

    def sample(self, rows: int, seed: int) -> np.ndarray:
        """`rows` rows drawn uniformly in the ranges, keeping those where the law has a value."""
        rng = np.random.default_rng([seed, _stable_hash(self.name)])
        kept, have = [], 0
        for _ in range(kMaxDraws):
            X = np.column_stack([rng.uniform(lo, hi, rows) for _, lo, hi in self.ranges])
            X = X[np.isfinite(self.evaluate(X))]
            kept.append(X)
            have += X.shape[0]
            if have >= rows:
                return np.concatenate(kept)[:rows]
        raise ValueError(f"{self.name}: only {have} of {kMaxDraws * rows} rows drawn in its ranges give the law a "
                         "finite value")

    def data(self, noise: float = 0.0, rows: int | None = None) -> tuple[np.ndarray, np.ndarray]:
        return super().data(noise, self.rows if rows is None else rows)

    def test_data(self, rows: int = TEST_ROWS) -> tuple[np.ndarray, np.ndarray]:
        return super().test_data(rows)


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{what} is {text!r}, not a number") from None
    if not np.isfinite(value):
        raise ValueError(f"{what} is {text!r}, not a finite number")
    return value


def _law(row: dict, rows: int) -> Law:
    name = (row.get("Filename") or "").strip()
    if not name:
        raise ValueError(f"a row without a Filename: {row}")
    ranges = []
    for i in range(1, 100):
        var = (row.get(f"v{i}_name") or "").strip()
        if not var:
            break
        lo = _number(row.get(f"v{i}_low") or "", f"{name}: the low end of {var}")
        hi = _number(row.get(f"v{i}_high") or "", f"{name}: the high end of {var}")
        if not lo < hi:
            raise ValueError(f"{name}: the range of {var} is [{lo:g}, {hi:g}], which is empty")
        ranges.append((var, lo, hi))
    if not ranges:
        raise ValueError(f"{name}: no variables named")
    formula = (row.get("Formula") or "").strip()
    if not formula:
        raise ValueError(f"{name}: no formula")
    number = row.get("Number") or "0"
    law = Law(name, formula, tuple(ranges), int(number) if number.strip().isdigit() else 0, rows,
              (row.get("Output") or "").strip())
    unnamed = {s.name for s in law.expr.free_symbols} - set(law.names)
    if unnamed:
        raise ValueError(f"{name}: the formula uses {', '.join(sorted(unnamed))}, which has no range")
    return law


def load(path: str = DEFAULT_TABLE, rows: int = TRAIN_ROWS) -> tuple[Law, ...]:
    """Every law of the table, in its order."""
    if not os.path.isfile(path):
        raise FileNotFoundError(
            f"the AI Feynman table is not at {path}: pass --data PATH to the public FeynmanEquations.csv")
    with open(path, newline="", encoding="utf-8-sig") as fh:
        laws = tuple(_law(row, rows) for row in csv.DictReader(fh))
    seen = set()
    for law in laws:
        if law.name in seen:
            raise ValueError(f"{path}: the law {law.name} appears twice")
        seen.add(law.name)
    if not laws:
        raise ValueError(f"{path}: no laws in the table")
    return laws


def select(laws: tuple[Law, ...], names: str) -> tuple[Law, ...]:
    """The laws named (comma-separated Filenames, in the order given); all when names is empty."""
    wanted = [n.strip() for n in names.split(",") if n.strip()]
    if not wanted:
        return laws
    table = {law.name: law for law in laws}
    unknown = [n for n in wanted if n not in table]
    if unknown:
        raise ValueError(f"unknown laws: {', '.join(unknown)}; the table has {', '.join(table)}")
    return tuple(table[n] for n in wanted)


__all__ = ["Law", "load", "select", "DEFAULT_TABLE", "TRAIN_ROWS", "TEST_ROWS"]
