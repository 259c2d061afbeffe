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
back to the caller's variables.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction
from functools import reduce
from typing import Any, Callable, Mapping, Sequence

import numpy as np

from . import _native
from ._discover import DiscoveryResult, Formula
from ._export import to_text
from ._inputs import columns_of, default_names, target_of

__all__ = [
    "Unit",
    "parse_unit",
    "units_option",
    "Analysis",
    "dimensional_analysis",
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
        return Unit(tuple(a - b for a, b in zip(self.dimension, other.dimension)), self.scale / other.scale)

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
            self.pos += 1
            self.skip_space()
            unit = self.product()
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
