"""Dimensional analysis for discovery: units, dimensionless groups, and the search through them.

A law between physical quantities can only combine them in ways whose units agree, so the
search can run on fewer, dimensionless variables (Buckingham's π theorem): with n variables
whose units span r independent dimensions there are n − r independent dimensionless groups
π_i = Π x_j^e_ij, and y = M(x)·F(π_1, …, π_{n−r}) for a monomial M that carries the units of y.
F has fewer arguments than the law, and none of the dimensional bookkeeping, so it is found
sooner (or at all).

Grammar of a unit (:func:`parse_unit`):

- a name: an SI base unit (m, g, s, A, K, mol, cd), a derived one (N, J, W, Pa, Hz, C, V, F,
  ohm or Ω, S, Wb, T, H, Bq, Gy, Sv, lm, lx, eV, Wh, L or l, bar, Da, Å, pc), one of a few others
  (min, h, d or day, yr or year, AU or au, ly, atm, cal, deg or °) or an angle (rad, sr), which
  is dimensionless. SI prefixes (Q R Y Z E P T G M k h da d c m µ μ u n p f a z y r q) go on the
  SI units, astronomy's pc and eV, L and bar: ``km``, ``µs``, ``MeV``, ``kpc``. A name that is a
  unit as it stands is read as that unit, never as a prefixed one: ``cd`` is the candela,
  ``min`` the minute, ``mol`` the mole, ``Pa`` the pascal, ``h`` the hour.
- products with ``*``, ``·``, ``⋅`` or a space; quotients with ``/``. Like Python, they are
  read left to right: ``J/kg*K`` is (J/kg)·K, so write ``J/(kg*K)`` or ``J/kg/K``.
- powers with ``^`` or ``**`` and an integer (``m^-2``), a decimal (``m^0.5``) or a fraction in
  parentheses (``m^(3/2)``); digits right after a name (``m2``, ``s-1``); or superscripts
  (``m²``, ``s⁻¹``). A power binds to the factor before it: ``kg*m/s^2``.
- parentheses, ``1`` (as in ``1/s``), and ``""`` or ``"1"`` alone for dimensionless.

A unit is a dimension vector over (m, kg, s, A, K, mol, cd) and a scale to SI (``km`` is the
dimension of m with scale 1000). The groups are made from dimensions alone; the data is used as
given, so mixed scales (one length in km, another in m) only change the fitted constant.

:func:`discover_with_units` runs :func:`~zan_math.discover` on the groups and maps every formula
back to the caller's variables. Which groups are easiest to search is not known beforehand: when
the first are not exact, the groups of other reference variables are tried, and the groups
scaled by 2π (a turn, which radians leave invisible).
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from fractions import Fraction
from functools import reduce
from typing import Any, Callable, Mapping, Sequence

import numpy as np

from . import _native
from ._formula import DiscoveryResult, Formula, constant_errors, kExactNmse
from ._domain import kFewConstants
from ._export import to_text
from ._inputs import columns_of, names_of, target_of
from ._noise import noise_bound

__all__ = [
    "Unit",
    "parse_unit",
    "units_option",
    "Analysis",
    "dimensional_analysis",
    "reference_sets",
    "UnitsResult",
    "discover_with_units",
]

BASE_SYMBOLS = ("m", "kg", "s", "A", "K", "mol", "cd")
kDimensions = len(BASE_SYMBOLS)

# ---- units ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Unit:
    """A dimension vector over (m, kg, s, A, K, mol, cd) and the factor that turns the unit
    into SI (1000 for km, 3600 for h)."""

    dimension: tuple[Fraction, ...]
    scale: float = 1.0

    def __mul__(self, other: Unit) -> Unit:
        return Unit(tuple(a + b for a, b in zip(self.dimension, other.dimension)), self.scale * other.scale)

    def __truediv__(self, other: Unit) -> Unit:
        # a scale that underflowed to 0 (dA^330) divides into one past the floats, refused as such
        scale = self.scale / other.scale if other.scale != 0.0 else math.inf
        return Unit(tuple(a - b for a, b in zip(self.dimension, other.dimension)), scale)

    def __pow__(self, power: Fraction) -> Unit:
        try:
            scale = self.scale ** float(power)
        except OverflowError:
            scale = math.inf
        return Unit(tuple(a * power for a in self.dimension), scale)

    @property
    def dimensionless(self) -> bool:
        return not any(self.dimension)

    def __str__(self) -> str:
        return format_dimension(self.dimension)


def _base(index: int) -> Unit:
    return Unit(tuple(Fraction(int(i == index)) for i in range(kDimensions)))


ONE = Unit((Fraction(0),) * kDimensions)


def format_dimension(dimension: Sequence[Fraction]) -> str:
    """``kg m^2 s^-2``; ``1`` for a dimensionless one."""
    parts = []
    for symbol, power in zip(BASE_SYMBOLS, dimension):
        if power == 1:
            parts.append(symbol)
        elif power:
            parts.append(f"{symbol}^{power}" if power.denominator == 1 else f"{symbol}^({power})")
    return " ".join(parts) or "1"


# SI base units; the kilogram is the gram with a prefix.
_BASE = {"m": _base(0), "g": Unit(_base(1).dimension, 1e-3), "s": _base(2), "A": _base(3), "K": _base(4),
         "mol": _base(5), "cd": _base(6)}  # fmt: skip

# Every other unit as an expression of units defined before it, and a factor.
_DERIVED: tuple[tuple[str, str, float], ...] = (
    ("N", "kg*m/s^2", 1.0),
    ("J", "N*m", 1.0),
    ("W", "J/s", 1.0),
    ("Pa", "N/m^2", 1.0),
    ("Hz", "1/s", 1.0),
    ("C", "A*s", 1.0),
    ("V", "W/A", 1.0),
    ("F", "C/V", 1.0),
    ("ohm", "V/A", 1.0),
    ("Ω", "ohm", 1.0),
    ("Ohm", "ohm", 1.0),
    ("S", "1/ohm", 1.0),
    ("Wb", "V*s", 1.0),
    ("T", "Wb/m^2", 1.0),
    ("H", "Wb/A", 1.0),
    ("Bq", "1/s", 1.0),
    ("Gy", "J/kg", 1.0),
    ("Sv", "J/kg", 1.0),
    ("rad", "1", 1.0),
    ("sr", "1", 1.0),
    ("lm", "cd*sr", 1.0),
    ("lx", "lm/m^2", 1.0),
    ("eV", "J", 1.602176634e-19),
    ("Wh", "J", 3600.0),
    ("L", "m^3", 1e-3),
    ("l", "L", 1.0),
    ("bar", "Pa", 1e5),
    ("Da", "kg", 1.66053906660e-27),
    ("Å", "m", 1e-10),
    ("min", "s", 60.0),
    ("h", "min", 60.0),
    ("d", "h", 24.0),
    ("day", "d", 1.0),
    ("yr", "d", 365.25),
    ("year", "yr", 1.0),
    ("AU", "m", 149_597_870_700.0),
    ("au", "AU", 1.0),
    ("ly", "m", 9_460_730_472_580_800.0),
    ("pc", "AU", 648_000 / math.pi),
    ("atm", "Pa", 101_325.0),
    ("cal", "J", 4.184),
    ("deg", "rad", math.pi / 180),
    ("°", "deg", 1.0),
)

# Units that take an SI prefix.
_PREFIXABLE = frozenset(
    "m g s A K mol cd N J W Pa Hz C V F ohm Ω S Wb T H Bq Gy Sv rad sr lm lx eV Wh L l bar pc".split()
)
_PREFIXES = {
    "Q": 1e30, "R": 1e27, "Y": 1e24, "Z": 1e21, "E": 1e18, "P": 1e15, "T": 1e12, "G": 1e9, "M": 1e6,
    "k": 1e3, "h": 1e2, "da": 1e1, "d": 1e-1, "c": 1e-2, "m": 1e-3, "µ": 1e-6, "μ": 1e-6, "u": 1e-6,
    "n": 1e-9, "p": 1e-12, "f": 1e-15, "a": 1e-18, "z": 1e-21, "y": 1e-24, "r": 1e-27, "q": 1e-30,
}  # fmt: skip

_SUPERSCRIPTS = {"⁰": "0", "¹": "1", "²": "2", "³": "3", "⁴": "4", "⁵": "5", "⁶": "6", "⁷": "7", "⁸": "8",
                 "⁹": "9", "⁻": "-"}  # fmt: skip
_PRODUCT_SIGNS = "*·⋅"
# Far beyond any unit, and well within the interpreter's recursion limit.
kMaxNesting = 50


def _is_digit(c: str | None) -> bool:
    # str.isdigit would take superscripts (²) for digits
    return c is not None and c in "0123456789"


def _is_name_char(c: str) -> bool:
    return (c.isalpha() and c not in _SUPERSCRIPTS) or c in "°"


class _Parser:
    """Recursive descent over the grammar in the module's docstring."""

    def __init__(self, text: str, units: Mapping[str, Unit]):
        self.text = text
        self.pos = 0
        self.units = units
        self.depth = 0

    def error(self, message: str, pos: int | None = None) -> ValueError:
        where = self.pos if pos is None else pos
        return ValueError(f"{message} at position {where} in unit {self.text!r}")

    def peek(self, offset: int = 0) -> str | None:
        i = self.pos + offset
        return self.text[i] if i < len(self.text) else None

    def skip_space(self) -> bool:
        start = self.pos
        while self.peek() is not None and self.peek().isspace():
            self.pos += 1
        return self.pos > start

    def parse(self) -> Unit:
        self.skip_space()
        if self.peek() is None:
            return ONE
        unit = self.product()
        self.skip_space()
        if self.peek() is not None:
            raise self.error(f"unexpected {self.peek()!r}")
        return unit

    def product(self) -> Unit:
        unit = self.factor()
        while True:
            before = self.pos
            spaced = self.skip_space()
            c = self.peek()
            if c is not None and c in _PRODUCT_SIGNS and not self.text.startswith("**", self.pos):
                self.pos += 1
                unit = unit * self.factor()
            elif c == "/":
                self.pos += 1
                unit = unit / self.factor()
            elif spaced and c is not None and (c == "(" or _is_digit(c) or _is_name_char(c)):
                unit = unit * self.factor()
            else:
                self.pos = before
                return unit

    def factor(self) -> Unit:
        self.skip_space()
        unit = self.atom()
        if self.peek() is not None and self.peek() in _SUPERSCRIPTS:
            return unit ** self.superscript()
        before = self.pos
        self.skip_space()
        if self.text.startswith("**", self.pos) or self.peek() == "^":
            self.pos += 2 if self.peek() == "*" else 1
            self.skip_space()
            return unit ** self.exponent()
        self.pos = before
        return unit

    def atom(self) -> Unit:
        c = self.peek()
        if c is None:
            raise self.error("a unit is missing")
        if c == "(":
            opened = self.pos
            self.depth += 1
            if self.depth > kMaxNesting:
                raise self.error(f"parentheses nest deeper than {kMaxNesting}")
            self.pos += 1
            self.skip_space()
            unit = self.product()
            self.depth -= 1
            self.skip_space()
            if self.peek() != ")":
                raise self.error(f"the parenthesis opened at position {opened} is not closed")
            self.pos += 1
            return unit
        if _is_digit(c):
            start = self.pos
            number = self.digits()
            if number != "1":
                raise self.error(f"the number {number} stands where a unit should (only 1 may)", start)
            return ONE
        if _is_name_char(c):
            start = self.pos
            while self.peek() is not None and _is_name_char(self.peek()):
                self.pos += 1
            name = self.text[start : self.pos]
            unit = _lookup(name, self.units)
            if unit is None:
                raise self.error(f"unknown unit {name!r}", start)
            # digits right after a name are its power: m2, s-1
            if _is_digit(self.peek()) or (self.peek() == "-" and _is_digit(self.peek(1))):
                unit = unit ** self.signed_integer()
            return unit
        raise self.error(f"unexpected {c!r}")

    def digits(self) -> str:
        start = self.pos
        while _is_digit(self.peek()) or self.peek() == ".":
            self.pos += 1
        return self.text[start : self.pos]

    def signed_integer(self) -> Fraction:
        start = self.pos
        if self.peek() in ("-", "+"):
            self.pos += 1
        text = self.digits()
        if not text or "." in text:
            raise self.error("an integer power is expected", start)
        return Fraction(self.text[start : self.pos])

    def exponent(self) -> Fraction:
        start = self.pos
        if self.peek() == "(":
            self.pos += 1
            self.skip_space()
            value = self.number()
            self.skip_space()
            if self.peek() == "/":
                self.pos += 1
                self.skip_space()
                denominator = self.number()
                if denominator == 0:
                    raise self.error("a power divides by zero", start)
                value /= denominator
                self.skip_space()
            if self.peek() != ")":
                raise self.error(f"the parenthesis opened at position {start} is not closed")
            self.pos += 1
            return value
        return self.number()

    def number(self) -> Fraction:
        start = self.pos
        if self.peek() in ("-", "+"):
            self.pos += 1
        text = self.digits()
        try:
            if not text:
                raise ValueError
            return Fraction(self.text[start : self.pos])
        except ValueError:
            raise self.error("a number is expected for the power", start) from None

    def superscript(self) -> Fraction:
        start = self.pos
        text = ""
        while self.peek() is not None and self.peek() in _SUPERSCRIPTS:
            text += _SUPERSCRIPTS[self.peek()]
            self.pos += 1
        try:
            return Fraction(int(text))
        except ValueError:
            raise self.error(f"the superscript power {self.text[start:self.pos]!r} is not an integer", start) from None


def _lookup(name: str, units: Mapping[str, Unit]) -> Unit | None:
    """The unit a name stands for: itself when it is one, else a prefix on a unit that takes it."""
    unit = units.get(name)
    if unit is not None:
        return unit
    for prefix in sorted(_PREFIXES, key=len, reverse=True):
        rest = name[len(prefix) :]
        if name.startswith(prefix) and rest in _PREFIXABLE and rest in units:
            base = units[rest]
            return Unit(base.dimension, base.scale * _PREFIXES[prefix])
    return None


def _unit_table() -> dict[str, Unit]:
    table = dict(_BASE)
    for name, definition, factor in _DERIVED:
        unit = _Parser(definition, table).parse()
        table[name] = Unit(unit.dimension, unit.scale * factor)
    return table


_UNITS = _unit_table()


def parse_unit(text: str | Unit) -> Unit:
    """The :class:`Unit` a text names (grammar in the module's docstring); a Unit is returned as
    it is. ValueError names what is wrong and its position (counted from 0)."""
    if isinstance(text, Unit):
        return text
    if not isinstance(text, str):
        raise TypeError(f"a unit must be text such as 'm/s', got {type(text).__name__} {text!r}")
    unit = _Parser(text, _UNITS).parse()
    if not (0.0 < unit.scale < math.inf):
        raise ValueError(f"the scale of unit {text!r} to SI is beyond the range of floats")
    return unit


def units_option(text: str) -> dict[str, str]:
    """The units of the command line's ``--units m=kg,v=m/s``: {"m": "kg", "v": "m/s"}."""
    units: dict[str, str] = {}
    for item in text.split(","):
        name, sep, unit = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise ValueError(f"--units takes name=unit pairs separated by commas, got {item.strip()!r}")
        if name in units:
            raise ValueError(f"--units gives the unit of {name!r} twice")
        units[name] = unit.strip()
    return units


# ---- dimensionless groups -----------------------------------------------------------------


@dataclass(frozen=True)
class Analysis:
    """The dimensionless groups of the variables and the monomial that carries the units of y:
    y = Π x_j^monomial[j] · F(π_0, …), π_i = Π x_j^groups[i][j]."""

    groups: tuple[tuple[int, ...], ...]  #: integer exponents of each group, over the variables
    monomial: tuple[Fraction, ...]       #: exponents of the monomial, over the variables


def _solve(columns: Sequence[Sequence[Fraction]], rhs: Sequence[Fraction]) -> list[Fraction] | None:
    """Exact coefficients c with Σ c_k·columns[k] = rhs (columns independent), or None when rhs is
    outside their span."""
    k = len(columns)
    rows = [[Fraction(columns[c][r]) for c in range(k)] + [Fraction(rhs[r])] for r in range(kDimensions)]
    placed: list[int] = []
    for c in range(k):
        found = next((i for i in range(len(placed), kDimensions) if rows[i][c] != 0), None)
        if found is None:
            continue
        r = len(placed)
        rows[r], rows[found] = rows[found], rows[r]
        lead = rows[r][c]
        rows[r] = [v / lead for v in rows[r]]
        for i in range(kDimensions):
            if i != r and rows[i][c] != 0:
                factor = rows[i][c]
                rows[i] = [a - factor * b for a, b in zip(rows[i], rows[r])]
        placed.append(c)
    if any(rows[i][k] != 0 for i in range(len(placed), kDimensions)):
        return None
    solution = [Fraction(0)] * k
    for r, c in enumerate(placed):
        solution[c] = rows[r][k]
    return solution


def _simplicity(dimension: Sequence[Fraction]) -> tuple[int, Fraction]:
    return sum(1 for d in dimension if d), sum(abs(d) for d in dimension)


def _simplest_reference(dims: Sequence[tuple[Fraction, ...]]) -> list[int]:
    reference: list[int] = []
    for j in sorted(range(len(dims)), key=lambda j: (*_simplicity(dims[j]), j)):
        if any(dims[j]) and _solve([dims[p] for p in reference], dims[j]) is None:
            reference.append(j)
    return sorted(reference)


def _is_basis(dims: Sequence[tuple[Fraction, ...]], reference: Sequence[int]) -> bool:
    chosen: list[tuple[Fraction, ...]] = []
    for p in reference:
        if not 0 <= p < len(dims) or not any(dims[p]) or _solve(chosen, dims[p]) is not None:
            return False
        chosen.append(dims[p])
    return all(_solve(chosen, d) is not None for d in dims)


# Sets of reference variables tried at most by reference_sets: each costs a whole search.
kMaxReferenceSets = 4
# Sets examined to find the simplest: all of them for up to 12 variables over 4 dimensions.
kMaxCandidateSets = 500


def _weight(analysis: Analysis) -> tuple[Fraction, int]:
    """How much the search on an analysis has to undo: the sum of the absolute exponents of its
    groups and monomial, then the number of variables its groups hold."""
    total = sum(abs(e) for g in analysis.groups for e in g) + sum(abs(e) for e in analysis.monomial)
    return total, sum(1 for g in analysis.groups for e in g if e)


def reference_sets(dimensions: Sequence[Sequence[Fraction]], target: Sequence[Fraction]) -> list[tuple[int, ...]]:
    """Sets of reference variables to search through, at most kMaxReferenceSets: the one
    :func:`dimensional_analysis` takes by itself first, then the others whose groups and
    monomial have the smallest exponents (ties in the variables' order).

    Which variables are the references decides what the search must find: for the centre of mass
    (m1·r1 + m2·r2)/(m1 + m2), references m1 and r1 leave (1 + π0·π1)/(1 + π0) with π0 = m2/m1,
    π1 = r2/r1, while m1 and r2 leave (π1 + π0)/(1 + π0) with π1 = r1/r2: one product fewer."""
    from itertools import combinations, islice

    dims = [tuple(Fraction(d) for d in dim) for dim in dimensions]
    first = _simplest_reference(dims)
    dimensional = [j for j, d in enumerate(dims) if any(d)]
    scored = []
    for subset in islice(combinations(dimensional, len(first)), kMaxCandidateSets):
        if list(subset) == first or not _is_basis(dims, subset):
            continue
        try:
            scored.append((_weight(dimensional_analysis(dims, target, reference=subset)), subset))
        except ValueError:  # a power beyond reach, or y out of the span: no other set helps there
            continue
    scored.sort()
    return [tuple(first)] + [subset for _, subset in scored[: kMaxReferenceSets - 1]]


def dimensional_analysis(
    dimensions: Sequence[Sequence[Fraction]],
    target: Sequence[Fraction],
    names: Sequence[str] | None = None,
    reference: Sequence[int] | None = None,
) -> Analysis:
    """Independent dimensionless groups of variables with these dimensions, and a monomial of
    them with the target's dimension; ValueError when no monomial has it.

    The groups are expressed through a set of reference variables, chosen with the simplest
    dimensions first (a length before a speed), ties in the variables' order; every other
    variable makes one group with them, in the variables' order. So a dimensionless variable is
    a group by itself, and a variable with the dimension of a reference one is its ratio to it
    (``x2/x1``). Exponents are the smallest integers, the variable's own positive.

    ``reference`` names another set of reference variables (see :func:`reference_sets`); it must
    span the dimensions of all the variables with independent ones.
    """
    n = len(dimensions)
    dims = [tuple(Fraction(d) for d in dim) for dim in dimensions]
    if reference is None:
        reference = _simplest_reference(dims)
    else:
        reference = sorted(reference)
        if not _is_basis(dims, reference):
            raise ValueError(f"the variables {reference} are not a set of reference variables: their "
                             "dimensions must be independent and make those of all the others")
    basis = [dims[p] for p in reference]
    groups = []
    for j in range(n):
        if j in reference:
            continue
        exponents = [Fraction(0)] * n
        exponents[j] = Fraction(1)
        for p, c in zip(reference, _solve(basis, dims[j])):
            exponents[p] = -c
        common = reduce(math.lcm, (e.denominator for e in exponents), 1)
        integers = [int(e * common) for e in exponents]
        divisor = reduce(math.gcd, integers)
        groups.append(tuple(e // divisor for e in integers))
    coefficients = _solve(basis, target)
    if coefficients is None:
        names = list(names) if names is not None else [f"x{j}" for j in range(n)]
        have = ", ".join(f"{name}: {format_dimension(dim)}" for name, dim in zip(names, dims))
        raise ValueError(
            f"the units of y ({format_dimension(target)}) cannot be made from those of the variables ({have})"
        )
    monomial = [Fraction(0)] * n
    for p, c in zip(reference, coefficients):
        monomial[p] = c
    return Analysis(tuple(groups), tuple(monomial))


# ---- monomials as programs ----------------------------------------------------------------

Token = tuple[str, Any]


# Largest numerator or denominator of a power in a group or the monomial: far beyond the units
# of physics, and a program of at most a few dozen tokens per variable.
kMaxPower = 1000


def _power_tokens(j: int, k: int) -> list[Token]:
    """x_j**k for k >= 1 by squaring and multiplying: x**4 is (x*x)*(x*x), two operations."""
    if k == 1:
        return [("var", j)]
    if k % 2 == 0:
        return _power_tokens(j, k // 2) + [("op", "square")]
    return _power_tokens(j, k - 1) + [("var", j), ("op", "mul")]


def _product_tokens(factors: Sequence[tuple[int, int]]) -> list[Token]:
    out: list[Token] = []
    for i, (j, k) in enumerate(factors):
        out += _power_tokens(j, k)
        if i:
            out.append(("op", "mul"))
    return out


def _quotient_tokens(exponents: Sequence[int]) -> list[Token]:
    """Π x_j**e_j as one quotient, numerator over denominator; [] when every exponent is 0."""
    top = _product_tokens([(j, e) for j, e in enumerate(exponents) if e > 0])
    bottom = _product_tokens([(j, -e) for j, e in enumerate(exponents) if e < 0])
    if top and bottom:
        return top + bottom + [("op", "div")]
    if bottom:
        return bottom + [("op", "inv")]
    return top


def _root_tokens(q: int) -> list[Token]:
    """The q-th root of the value on the stack: square roots where q is a power of two, else
    exp(ln(a)/q), which has a value only for positive a."""
    if q & (q - 1) == 0:
        return [("op", "sqrt")] * (q.bit_length() - 1)
    return [("op", "ln"), ("const", float(q)), ("op", "div"), ("op", "exp")]


def monomial_program(exponents: Sequence[Fraction]) -> tuple[Token, ...]:
    """Postfix program of Π x_j**e_j; () when every exponent is 0. A fractional exponent is
    split into its whole part and a root of what is left: m**1*L**(1/2) is m*sqrt(L), so the
    sign of m survives."""
    large = next((e for e in exponents if abs(e.numerator) > kMaxPower or e.denominator > kMaxPower), None)
    if large is not None:
        raise ValueError(f"dimensional analysis needs a power of {large}, beyond the {kMaxPower} it supports")
    whole = [int(e) for e in exponents]  # truncated towards zero
    parts = [Fraction(e) - w for e, w in zip(exponents, whole)]
    q = reduce(math.lcm, (p.denominator for p in parts), 1)
    program = _quotient_tokens(whole)
    if q > 1:
        program += _quotient_tokens([int(p * q) for p in parts]) + _root_tokens(q)
        if any(whole):
            program.append(("op", "mul"))
    return tuple(program)


def _evaluate(program: Sequence[Token], columns: np.ndarray) -> np.ndarray:
    out = np.empty(columns.shape[1], dtype=np.float64)
    _native.predict(tuple(program), (), columns, out)
    return out


# ---- the search through the groups ----------------------------------------------------------

# Largest exponent of a group moved into the monomial by the data's power law.
kMaxShift = 3
# How near an integer a fitted exponent must be to count as a power law of that group: a
# factor the target truly carries comes out within a few hundredths, while a group the target
# depends on in another way (the coordinates under r² = Σ(x2 − x1)²) comes out anywhere.
kPowerLawTolerance = 0.1


def _power_law_shift(groups: np.ndarray, ratio: np.ndarray) -> list[int]:
    """Integer exponents a (|a| <= kMaxShift) of the power law ratio ~ Π π_i**a_i that the data
    follow: each group's exponent of the least-squares fit in log scale, where it is within
    kPowerLawTolerance of an integer (else 0), kept when it makes the ratio vary less.

    The groups left for the search then describe how the target departs from a power law,
    rather than also the power law itself: for F = G·m1·m2/r², the mass ratio's exponent goes
    into the monomial, leaving F / (G·m1·m2/x1²) a function of the coordinates alone."""
    k = groups.shape[0]
    usable = np.all(np.isfinite(groups) & (groups != 0), axis=0) & np.isfinite(ratio) & (ratio != 0)
    if k == 0 or np.count_nonzero(usable) < k + 2:
        return [0] * k
    logs = np.log(np.abs(groups[:, usable])).T
    target = np.log(np.abs(ratio[usable]))
    logs = logs - logs.mean(axis=0)
    target = target - target.mean()
    coefficients, *_ = np.linalg.lstsq(logs, target, rcond=None)
    rounded = np.rint(coefficients)
    clean = np.abs(coefficients - rounded) <= kPowerLawTolerance
    shift = np.where(clean, np.clip(rounded, -kMaxShift, kMaxShift), 0).astype(int)
    if not shift.any() or not np.var(target - logs @ shift) < np.var(target):
        return [0] * k
    return [int(a) for a in shift]


class UnitsResult(DiscoveryResult):
    """A :class:`~zan_math.DiscoveryResult` found through dimensionless groups: its formulas are of
    the caller's variables, and it tells which groups and which monomial the search used."""

    __slots__ = ("groups", "monomial", "dimensionless", "through_groups")

    def __init__(self, front, best, names, interrupted, stop_reason, levels, beats_mean, groups, monomial,
                 dimensionless, through_groups=True):  # fmt: skip
        super().__init__(front, best, names, interrupted, stop_reason, levels, beats_mean)
        #: False when no search on the groups was exact and the search on the variables was:
        #: its formulas are then of the variables, and groups and monomial are empty
        self.through_groups: bool = through_groups
        self.groups: tuple[str, ...] = groups  #: the groups searched, e.g. ``pi0 = v**2/(g*h)``
        self.monomial: str = monomial          #: carries the units of y: y = monomial * F(pi0, ...)
        #: the search's own result, of the groups (its variables are pi0, pi1, ...)
        self.dimensionless: DiscoveryResult = dimensionless

    def __repr__(self) -> str:
        if not self.through_groups:
            return f"{super().__repr__()}\n  found on the variables: no search through groups was exact"
        arguments = ", ".join(g.split(" = ")[0] for g in self.groups)
        lines = [super().__repr__(), f"  through y = {self.monomial} * F({arguments})"]
        lines += [f"    {g}" for g in self.groups]
        return "\n".join(lines)


def _variable_units(units: Any, names: Sequence[str]) -> list[Unit]:
    """The unit of each variable from a mapping by name or a sequence in the variables' order."""
    if isinstance(units, Mapping):
        unknown = [key for key in units if key not in names]
        if unknown:
            raise ValueError(
                f"units names {unknown[0]!r}, which is not a variable (the variables are "
                f"{', '.join(repr(n) for n in names)})"
            )
        missing = [n for n in names if n not in units]
        if missing:
            raise ValueError(f"units has no unit for {missing[0]!r} (give '1' for a dimensionless variable)")
        given = [units[n] for n in names]
    elif isinstance(units, Sequence) and not isinstance(units, str):
        if len(units) != len(names):
            raise ValueError(f"units has {len(units)} entries for {len(names)} variables")
        given = list(units)
    else:
        raise TypeError(f"units must map variable names to units, got {type(units).__name__}")
    return [_labelled(u, f"the unit of {n!r}") for n, u in zip(names, given)]


def _labelled(unit: Any, what: str) -> Unit:
    try:
        return parse_unit(unit)
    except (ValueError, TypeError) as exc:
        raise type(exc)(f"{what}: {exc}") from None


def _checked(values: np.ndarray, what: str) -> np.ndarray:
    bad = ~np.isfinite(values)
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(f"{what} has no finite value at row {row} ({values[row]})")
    return values


def _mean_squared_error(program, constants, columns: np.ndarray, target: np.ndarray) -> float:
    out = np.empty(target.shape[0], dtype=np.float64)
    _native.predict(program, constants, columns, out)
    if not np.all(np.isfinite(out)):
        return math.inf
    return float(np.mean((out - target) ** 2))


def discover_with_units(
    discover: Callable[..., DiscoveryResult],
    X,
    y,
    names: Sequence[str] | None,
    units: Mapping[str, str | Unit] | Sequence[str | Unit],
    y_units: str | Unit,
    **options,
) -> UnitsResult:
    """``discover(X, y, names=names, **options)`` through the dimensionless groups of the
    variables, whose units are given by name (or in the variables' order).

    The search runs on the groups π_i (computed from the columns as the products of powers the
    returned formulas contain) against y / M, where the monomial M carries the units of y; its
    formulas F(π) come back as M·F(π(x)), of the caller's variables, with their loss measured
    against y. The front keeps the search's order and complexities; the chosen formula is chosen
    again by the same held-out rule on y. ValueError when y's units cannot be made from the
    variables', when a group or M has no finite value on some row (a variable in a denominator
    is 0), and for any unit that does not parse.

    When that search finds no law (no exact formula, nor one within the noise with at most
    kFewConstants constants, as the search's own rule has it), the groups of other reference
    variables are searched (:func:`reference_sets`), then the groups scaled by a turn (2π) and by
    its inverse; the first exact result is returned, else the one whose chosen formula has the
    lowest held-out error.
    When none is exact, and the groups are not the variables themselves, the variables are
    searched too, and that result is taken only when it is exact (``through_groups`` is then
    False). A time limit holds for all the searches together.
    """
    if options.get("client") is not None:
        raise ValueError("units need X and y in memory: they cannot be used with client")
    columns, frame_names = columns_of(X, allow_nonfinite=False)
    target = target_of(y, columns.shape[1])
    names = names_of(names, frame_names, columns.shape[0])
    if units is None:
        raise ValueError("units must give the unit of every variable")
    variable_units = _variable_units(units, names)
    if y_units is None:
        raise ValueError("y_units must be given with units: the unit of y, such as 'J' or 'm/s'")
    y_unit = _labelled(y_units, "y_units")

    dimensions = [u.dimension for u in variable_units]
    analysis = dimensional_analysis(dimensions, y_unit.dimension, names)
    deadline = _deadline(options.get("time_limit"))
    result = _search_through(discover, analysis, columns, target, names, options)
    if result.interrupted or _is_law(result, noise_bound(columns, target)):
        return result
    others = [(dimensional_analysis(dimensions, y_unit.dimension, names, reference), 1.0)
              for reference in reference_sets(dimensions, y_unit.dimension)[1:]]
    if analysis.groups:
        others += [(analysis, kTurn), (analysis, 1 / kTurn)]
    result, stopped = _best_of(discover, others, result, columns, target, names, options, deadline)
    if stopped or _is_exact(result) or _adds_nothing(analysis):
        return result
    # The search on the variables themselves may find what none on the groups did (the groups of
    # a law can be harder to combine than its variables); only an exact formula of it is taken,
    # since only that one is sure to have the units of y.
    plain = discover(columns.T, target, names=tuple(names), **{**options, "time_limit": _remaining(deadline)})
    if _is_exact(plain):
        out = UnitsResult(plain.front, plain.best, plain.names, plain.interrupted, plain.stop_reason, plain.levels,
                          plain.beats_mean, (), "", plain, through_groups=False)  # fmt: skip
        out.rows = int(target.shape[0])
        return out
    return result


def _best_of(discover, analyses, result: UnitsResult, columns, target, names, options, deadline):
    """The first exact search through the (analysis, turn) pairs, else the result with the lowest
    held-out error among them and `result`; and whether the searches were stopped (interrupted,
    or out of time) before the last."""
    loss = _held_out_loss(result, columns, target)
    for analysis, turn in analyses:
        if _out_of_time(deadline):
            return result, True
        try:
            other = _search_through(discover, analysis, columns, target, names,
                                    {**options, "time_limit": _remaining(deadline)}, turn)
        except ValueError:  # a group or monomial of these references has no value on some row
            continue
        if _is_exact(other):
            return other, False
        other_loss = _held_out_loss(other, columns, target)
        if other_loss < loss:
            result, loss = other, other_loss
        if other.interrupted:
            return result, True
    return result, _out_of_time(deadline)


def _deadline(time_limit: float | None) -> float | None:
    return None if time_limit is None else time.monotonic() + time_limit


def _out_of_time(deadline: float | None) -> bool:
    return deadline is not None and time.monotonic() >= deadline


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else deadline - time.monotonic()


def _is_exact(result: DiscoveryResult) -> bool:
    return result.best is not None and result.best.nmse <= kExactNmse


def _is_law(result: DiscoveryResult, noise: float) -> bool:
    """Whether the chosen formula is exact, or fits within the noise with few constants, as the
    search takes a formula for a law: other groups could do no better, on noisy data, than cost
    their searches."""
    f = result.best
    return _is_exact(result) or (f is not None and f.loss <= noise and f.fitted_constants <= kFewConstants)


def _held_out_loss(result: DiscoveryResult, columns: np.ndarray, target: np.ndarray) -> float:
    from ._holdout import held_out_errors

    if result.best is None:
        return math.inf
    (error,), _ = held_out_errors([(result.best.program, result.best.constants)], columns, target)
    return error.loss


def _adds_nothing(analysis: Analysis) -> bool:
    """Whether the groups are the variables themselves (all dimensionless, y too): the search on
    them is the search on the variables."""
    return all(sum(map(abs, g)) == 1 for g in analysis.groups) and not any(analysis.monomial)


# A turn in radians. Radians are dimensionless, so the groups cannot tell an angular frequency
# from a cyclic one, nor ħ from h: a law written with ħ = h/2π (or ω = 2πf) carries 2π inside
# its functions, as in 1/(exp(π0/2π) − 1), where a constant is hardest for the search to fit.
# The groups are also searched scaled by a turn, and by its inverse, to take it out.
kTurn = 2 * math.pi


def _search_through(discover, analysis: Analysis, columns: np.ndarray, target: np.ndarray, names, options,
                    turn: float = 1.0):  # fmt: skip
    """The search on the groups of one analysis, each multiplied by `turn`, its formulas mapped
    back to the variables."""
    group_programs = [monomial_program(g) for g in analysis.groups]
    if turn != 1.0:
        group_programs = [(*p, ("const", turn), ("op", "mul")) for p in group_programs]
    group_texts = tuple(f"pi{i} = {to_text(p, (), names)}" for i, p in enumerate(group_programs))
    group_columns = np.empty((len(group_programs), target.shape[0]))
    for i, program in enumerate(group_programs):
        group_columns[i] = _checked(_evaluate(program, columns), f"the group {group_texts[i]}")

    monomial = list(analysis.monomial)
    first = monomial_program(monomial)
    if first:
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            shift = _power_law_shift(group_columns, target / _evaluate(first, columns))
        for a, group in zip(shift, analysis.groups):
            monomial = [m + a * g for m, g in zip(monomial, group)]
    scale_program = monomial_program(monomial)
    if scale_program:
        scale_text = to_text(scale_program, (), names)
        scale = _checked(_evaluate(scale_program, columns), f"the monomial {scale_text}, which carries the units of y,")
        if not np.all(scale != 0):
            row = int(np.argmax(scale == 0))
            raise ValueError(f"the monomial {scale_text}, which carries the units of y, is 0 at row {row}")
        with np.errstate(over="ignore"):
            ratio = _checked(target / scale, f"y / ({scale_text})")
    else:
        scale_text, ratio = "1", target

    # Without groups the law is the monomial times a constant; a column of ones gives the
    # search something to read while it fits and snaps that constant.
    search_columns = group_columns if len(group_programs) else np.ones((1, target.shape[0]))
    search_names = tuple(f"pi{i}" for i in range(len(group_programs))) or ("one",)
    inner = discover(search_columns.T, ratio, names=search_names, **options)

    substitutes = group_programs or [(("const", 1.0),)]
    front = []
    for f in inner.front:
        program: list[Token] = []
        for token in f.program:
            program += substitutes[token[1]] if token[0] == "var" else [token]
        if scale_program:
            program += [*scale_program, ("op", "mul")]
        loss = _mean_squared_error(tuple(program), f.constants, columns, target)
        variance = float(np.var(target))
        nmse = loss / variance if variance > 0 else (0.0 if loss == 0 else math.inf)
        # complexity as for any formula: the tokens of the program the caller reads
        formula = Formula(program, f.constants, names, len(program), loss, nmse, f.score)
        formula.constant_errors = constant_errors(formula, (columns, target), None)
        front.append(formula)

    best_index = inner.front.index(inner.best) if inner.best is not None else 0
    beats_mean = inner.beats_mean
    if front and (options.get("selection") or "best") == "best":
        best_index, beats_mean = _held_out_choice(front, columns, target, best_index)
    best = front[best_index] if front else None
    result = UnitsResult(front, best, names, inner.interrupted, inner.stop_reason, inner.levels, beats_mean,
                         group_texts, scale_text, inner)  # fmt: skip
    result.rows = int(target.shape[0])
    return result


def _held_out_choice(front: list[Formula], columns: np.ndarray, target: np.ndarray, prefer: int):
    """The held-out choice of :func:`~zan_math.discover`, made again on y: the search's chose on
    y / M, whose rows weigh differently; the mean of y, with beats_mean False, when no formula
    predicts held-out rows better."""
    from ._holdout import choose, held_out_errors, loss_floor, weighted_variance

    # Losses within rounding of y count as equal, as in the search: a target y / M that is
    # constant to the last bit leaves the search fitting its rounding, with nothing to gain on y.
    floor = loss_floor(target, None)
    prefer = min(i for i in range(prefer + 1) if max(front[i].loss, floor) <= max(front[prefer].loss, floor))
    errors, constant = held_out_errors([(f.program, f.constants) for f in front], columns, target)
    chosen = choose([f.complexity for f in front], errors, constant, floor, prefer)
    if chosen is not None:
        return chosen, True
    if not any(kind == "var" for kind, _ in front[0].program):
        return 0, False
    variance = weighted_variance(target, None)
    front.insert(0, Formula((("param", 0),), (float(np.mean(target)),), front[0].names, 1, variance,
                            1.0 if variance > 0 else 0.0, 0.0))
    return 0, False
