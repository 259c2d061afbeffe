"""The discovery benchmark's problem set: laws from the Nguyen suite and the Feynman database.

Each problem is a law written as a SymPy-parsable string over named variables, with the input
range of every variable. Data are drawn uniformly from those ranges with a fixed seed, so every
run (and every engine) sees the same rows.

Sources and ranges
- Nguyen 1-12 (Uy et al., "Semantically-based crossover in genetic programming", 2011): U[-1, 1]
  for the one-variable polynomials and trigonometric laws, U[0, 2] for Nguyen-7 (ln), U[0, 4] for
  Nguyen-8 (sqrt); U[-1, 1] for the two-variable Nguyen-9, -10 and -12, and U[0, 1] for Nguyen-11
  (x**y needs a positive base). The published sets use 20 to 100 points; we use 100 for all.
- Feynman (Udrescu & Tegmark, "AI Feynman", 2020; the FeynmanEquations table): each law with at
  most four variables whose operators we have (+, -, *, /, sqrt, square, exp, ln, sin, cos),
  with the uniform ranges published in the table. Laws needing arcsin or tanh are left out.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property

import numpy as np

ROWS = 100
TEST_ROWS = 400
NOISE = 0.01
SEED = 20240611


@dataclass(frozen=True)
class Problem:
    name: str
    truth: str
    ranges: tuple[tuple[str, float, float], ...]

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(r[0] for r in self.ranges)

    @cached_property
    def symbols(self):
        """One SymPy symbol per variable; positive when the range is, so sqrt(x**2) is x."""
        import sympy

        return {n: sympy.Symbol(n, positive=True) if lo >= 0 else sympy.Symbol(n, real=True)
                for n, lo, _ in self.ranges}

    @cached_property
    def expr(self):
        import sympy
        from sympy.parsing.sympy_parser import parse_expr

        # Names such as gamma or beta are SymPy functions: the local dictionary wins over them.
        local = dict(self.symbols, pi=sympy.pi, exp=sympy.exp, sqrt=sympy.sqrt, log=sympy.log,
                     sin=sympy.sin, cos=sympy.cos)
        return parse_expr(self.truth, local_dict=local)

    @cached_property
    def function(self):
        import sympy

        return sympy.lambdify([self.symbols[n] for n in self.names], self.expr, "numpy")

    def evaluate(self, X: np.ndarray) -> np.ndarray:
        out = self.function(*X.T)
        return np.broadcast_to(np.asarray(out, dtype=float), (X.shape[0],)).copy()

    def sample(self, rows: int, seed: int) -> np.ndarray:
        rng = np.random.default_rng([seed, _stable_hash(self.name)])
        return np.column_stack([rng.uniform(lo, hi, rows) for _, lo, hi in self.ranges])

    def data(self, noise: float = 0.0, rows: int = ROWS) -> tuple[np.ndarray, np.ndarray]:
        """The training rows; with noise, Gaussian noise of std noise * std(y) added to y."""
        X = self.sample(rows, SEED)
        y = self.evaluate(X)
        if noise:
            rng = np.random.default_rng([SEED + 1, _stable_hash(self.name)])
            y = y + rng.normal(0.0, noise * float(np.std(y)), rows)
        return X, y

    def test_data(self, rows: int = TEST_ROWS) -> tuple[np.ndarray, np.ndarray]:
        """Fresh noise-free rows from the same ranges, never seen by a search."""
        X = self.sample(rows, SEED + 2)
        return X, self.evaluate(X)


def _stable_hash(text: str) -> int:
    # Python's hash() of a str changes per process; the data must not.
    return int.from_bytes(text.encode(), "little") % (2**61 - 1)


def _p(name: str, truth: str, *ranges: tuple[str, float, float]) -> Problem:
    return Problem(name, truth, tuple(ranges))


U1 = (-1.0, 1.0)

PROBLEMS: tuple[Problem, ...] = (
    # Nguyen
    _p("Nguyen-1", "x**3 + x**2 + x", ("x", *U1)),
    _p("Nguyen-2", "x**4 + x**3 + x**2 + x", ("x", *U1)),
    _p("Nguyen-3", "x**5 + x**4 + x**3 + x**2 + x", ("x", *U1)),
    _p("Nguyen-4", "x**6 + x**5 + x**4 + x**3 + x**2 + x", ("x", *U1)),
    _p("Nguyen-5", "sin(x**2)*cos(x) - 1", ("x", *U1)),
    _p("Nguyen-6", "sin(x) + sin(x + x**2)", ("x", *U1)),
    _p("Nguyen-7", "log(x + 1) + log(x**2 + 1)", ("x", 0.0, 2.0)),
    _p("Nguyen-8", "sqrt(x)", ("x", 0.0, 4.0)),
    _p("Nguyen-9", "sin(x) + sin(y**2)", ("x", *U1), ("y", *U1)),
    _p("Nguyen-10", "2*sin(x)*cos(y)", ("x", *U1), ("y", *U1)),
    _p("Nguyen-11", "x**y", ("x", 0.0, 1.0), ("y", 0.0, 1.0)),
    _p("Nguyen-12", "x**4 - x**3 + y**2/2 - y", ("x", *U1), ("y", *U1)),
    # Feynman
    _p("I.6.2a", "exp(-theta**2/2)/sqrt(2*pi)", ("theta", 1, 3)),
    _p("I.6.2", "exp(-(theta/sigma)**2/2)/(sqrt(2*pi)*sigma)", ("sigma", 1, 3), ("theta", 1, 3)),
    _p("I.8.14", "sqrt((x2 - x1)**2 + (y2 - y1)**2)",
       ("x1", 1, 5), ("x2", 1, 5), ("y1", 1, 5), ("y2", 1, 5)),
    _p("I.10.7", "m_0/sqrt(1 - v**2/c**2)", ("m_0", 1, 5), ("v", 1, 2), ("c", 3, 10)),
    _p("I.13.4", "1/2*m*(v**2 + u**2 + w**2)", ("m", 1, 5), ("v", 1, 5), ("u", 1, 5), ("w", 1, 5)),
    _p("I.14.4", "1/2*k_spring*x**2", ("k_spring", 1, 5), ("x", 1, 5)),
    _p("I.16.6", "(u + v)/(1 + u*v/c**2)", ("c", 1, 5), ("v", 1, 5), ("u", 1, 5)),
    _p("I.18.4", "(m1*r1 + m2*r2)/(m1 + m2)", ("m1", 1, 5), ("m2", 1, 5), ("r1", 1, 5), ("r2", 1, 5)),
    _p("I.18.12", "r*F*sin(theta)", ("r", 1, 5), ("F", 1, 5), ("theta", 0, 5)),
    _p("I.24.6", "1/2*m*(omega**2 + omega_0**2)*1/2*x**2",
       ("m", 1, 3), ("omega", 1, 3), ("omega_0", 1, 3), ("x", 1, 3)),
    _p("I.27.6", "1/(1/d1 + n/d2)", ("d1", 1, 5), ("d2", 1, 5), ("n", 1, 5)),
    _p("I.29.16", "sqrt(x1**2 + x2**2 - 2*x1*x2*cos(theta1 - theta2))",
       ("x1", 1, 5), ("x2", 1, 5), ("theta1", 1, 5), ("theta2", 1, 5)),
    _p("I.34.14", "(1 + v/c)/sqrt(1 - v**2/c**2)*omega_0", ("c", 3, 10), ("v", 1, 2), ("omega_0", 1, 5)),
    _p("I.37.4", "I1 + I2 + 2*sqrt(I1*I2)*cos(delta)", ("I1", 1, 5), ("I2", 1, 5), ("delta", 1, 5)),
    _p("I.39.1", "3/2*pr*V", ("pr", 1, 5), ("V", 1, 5)),
    _p("I.39.11", "1/(gamma - 1)*pr*V", ("gamma", 2, 5), ("pr", 1, 5), ("V", 1, 5)),
    _p("I.47.23", "sqrt(gamma*pr/rho)", ("gamma", 1, 5), ("pr", 1, 5), ("rho", 1, 5)),
    _p("I.50.26", "x1*(cos(omega*t) + alpha*cos(omega*t)**2)",
       ("x1", 1, 3), ("omega", 1, 3), ("t", 1, 3), ("alpha", 1, 3)),
    _p("II.6.11", "1/(4*pi*epsilon)*p_d*cos(theta)/r**2",
       ("epsilon", 1, 3), ("p_d", 1, 3), ("theta", 1, 3), ("r", 1, 3)),
    _p("II.11.28", "1 + n*alpha/(1 - (n*alpha/3))", ("n", 0, 1), ("alpha", 0, 1)),
    _p("II.24.17", "sqrt(omega**2/c**2 - pi**2/d**2)", ("omega", 4, 6), ("c", 1, 2), ("d", 2, 4)),
    _p("III.4.32", "1/(exp((h/(2*pi))*omega/(kb*T)) - 1)", ("h", 1, 5), ("omega", 1, 5), ("kb", 1, 5), ("T", 1, 5)),
    _p("III.10.19", "mom*sqrt(Bx**2 + By**2 + Bz**2)", ("mom", 1, 5), ("Bx", 1, 5), ("By", 1, 5), ("Bz", 1, 5)),
    _p("III.15.12", "2*U*(1 - cos(k*d))", ("U", 1, 5), ("k", 1, 5), ("d", 1, 5)),
)

# A spread of mechanisms (polynomial, sum of terms, constant, ratio, Gaussian, relativistic,
# trigonometric) for a smoke run.
QUICK = ("Nguyen-1", "Nguyen-9", "I.6.2a", "I.10.7", "I.14.4", "I.39.1", "I.18.12", "II.11.28")

# Kinetic energy from a hand-made table: (m, v, E).
KINETIC_TABLE = ((1, 1, 0.5), (2, 1, 1), (2, 2, 4), (3, 2, 6), (1, 3, 4.5), (4, 3, 18), (5, 1, 2.5))

# Kepler's third law from the eight planets: semi-major axis (km) and sidereal period (days).
# Axes are the J2000 mean elements in AU times the astronomical unit; periods from the same
# elements' mean motions.
AU_KM = 149_597_870.7
PLANETS = (
    ("Mercury", 0.38709927, 87.9691),
    ("Venus", 0.72333566, 224.701),
    ("Earth", 1.00000261, 365.256),
    ("Mars", 1.52371034, 686.980),
    ("Jupiter", 5.20288700, 4332.59),
    ("Saturn", 9.53667594, 10759.22),
    ("Uranus", 19.18916464, 30688.5),
    ("Neptune", 30.06992276, 60182.0),
)


def by_name(names: str | None) -> tuple[Problem, ...]:
    if not names:
        return PROBLEMS
    wanted = [n.strip() for n in names.split(",") if n.strip()]
    table = {p.name: p for p in PROBLEMS}
    unknown = [n for n in wanted if n not in table]
    if unknown:
        raise SystemExit(f"unknown problems: {', '.join(unknown)}; known: {', '.join(table)}")
    return tuple(table[n] for n in wanted)
