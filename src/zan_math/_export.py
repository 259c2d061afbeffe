"""Exports of a discovered formula: readable text, LaTeX, SymPy, Python source and a NumPy callable.

Every export is built from the formula's postfix program (the engine's tokens), never from text:
a variable is referred to by its index, and its name only ever becomes an identifier chosen here
(:func:`identifiers`), so a column called ``__import__('os').system('…')`` or ``mass (kg)`` ends
up as a harmless symbol, and ``x_1`` can never be confused with ``x_11``.

Tokens: ``("var", i)``, ``("const", v)``, ``("param", k)`` (reads ``constants[k]``) and
``("op", name)``. The operators are the rows of the engine's table (:mod:`zan_math._operators`):
each row holds the operator's arity, its guard (where its value exists, e.g. ``a > 0`` for ln,
``abs(b) >= 1e-300`` for div) and every form rendered here, so an operator is described once.
Every operator result that is not finite, and every failed guard, means "no value" for that row
(NaN), exactly as the engine evaluates. One operator needs more than a guard:
zan(a, b) = E(a) - L(b), with E(a) = exp(a), or exp(log(a)) when a > 709.78, and L(b) = log(G(b)),
G(b) = b when b > 0 (or NaN), else max(|b|, 1e-300).

How faithful each export is:

- :func:`to_python` is exact: the same operations in the same order (libm's exp, log, sin,
  asin, ... through :mod:`math`), with helpers for the guarded operators, so it returns the
  engine's value bit for bit, and NaN where the engine has no value.
- :func:`to_numpy` follows the same rules column-wise; NumPy's own exp/log/sin/... may differ
  from libm in the last bit.
- :func:`to_text` and the LaTeX form are for reading: the operators as written in mathematics,
  guards left out, constants to 10 significant digits, only the parentheses mathematics needs.
- :func:`to_sympy` maps every operator to its plain form (``log``, ``sqrt``, ``/``,
  ``exp(a) - log(b)`` for zan). Given the data (``X``), a guard that acts on some row is stated:
  the guards (of ln, sqrt, division, asin, ...) that fail somewhere make the whole expression
  ``Piecewise((formula, tests), (nan, True))``; zan's logarithm becomes ``log(Abs(b))`` when b is
  negative on some row but never near zero, and a ``Piecewise`` when b comes within 1e-300 of
  zero, and its exponential a ``Piecewise`` past 709.78. Without data the plain forms are used,
  assuming every argument is in its domain. Overflow (a result too large for a float, which the
  engine treats as no value) is not stated. Constants equal (to a few ulps) to a value the
  engine snaps to (a small rational times 1, π, π², √2, √π, √(2π) or e, or divided by one of
  them) become exact.
"""

from __future__ import annotations

import keyword
import math
import re
import unicodedata
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np

from . import _operators
from ._extras import require
from ._inputs import frame_columns
from ._operators import ATOM as _ATOM
from ._operators import NEGATION as _NEG
from ._operators import PRODUCT as _MUL
from ._operators import SUM as _ADD

_OPERATORS = _operators.operators()
SLIP_THRESHOLD = _operators.guard_constants()["slip_threshold"]  # above it, zan's E(a) is exp(log(a))
GUARD_FLOOR = _operators.guard_constants()["guard_floor"]  # smallest divisor magnitude; zan's log floor

Program = Sequence[tuple[str, Any]]


# ---- the program as a tree ------------------------------------------------------------------


@dataclass(frozen=True)
class Node:
    """One node of a formula: a variable (value = index), a constant (value = float) or an
    operator (value = name) over `args`."""

    kind: str  # "var", "const" or "op"
    value: Any
    args: tuple[Node, ...] = ()


ARITY = {name: row.arity for name, row in _OPERATORS.items()}


def parse(program: Program, constants: Sequence[float], n_vars: int) -> Node:
    """The tree of a postfix program; ValueError when the program is malformed."""
    stack: list[Node] = []
    for position, token in enumerate(program):
        try:
            kind, value = token
        except (TypeError, ValueError):
            raise ValueError(f"token {position} is not a (kind, value) pair: {token!r}") from None
        if kind == "var":
            if not (isinstance(value, int) and 0 <= value < n_vars):
                raise ValueError(f"token {position}: variable {value!r} is not one of the {n_vars} variables")
            stack.append(Node("var", value))
        elif kind == "const":
            stack.append(Node("const", float(value)))
        elif kind == "param":
            if not (isinstance(value, int) and 0 <= value < len(constants)):
                raise ValueError(f"token {position}: constant {value!r} is not one of the {len(constants)} constants")
            stack.append(Node("const", float(constants[value])))
        elif kind == "op":
            arity = ARITY.get(value)
            if arity is None:
                raise ValueError(f"token {position}: unknown operator {value!r}")
            if len(stack) < arity:
                raise ValueError(f"token {position}: operator {value!r} needs {arity} operands")
            args = tuple(stack[len(stack) - arity :])
            del stack[len(stack) - arity :]
            stack.append(Node("op", value, args))
        else:
            raise ValueError(f"token {position}: unknown token kind {kind!r}")
    if len(stack) != 1:
        raise ValueError(f"the program leaves {len(stack)} values instead of one")
    return stack[0]


def operators_used(node: Node) -> set[str]:
    used = {node.value} if node.kind == "op" else set()
    for arg in node.args:
        used |= operators_used(arg)
    return used


# ---- the guarded helpers of the Python source --------------------------------------------------

# Sources of the helpers the table's exact forms call, in the order the source defines them.
_HELPER_SOURCE = {
    "_div": '''
def _div(a, b):
    """a / b; NaN where the divisor is below 1e-300 in magnitude or not finite."""
    return a / b if 1e-300 <= abs(b) < math.inf else math.nan
''',
    "_ln": '''
def _ln(a):
    """The natural logarithm; NaN where a <= 0."""
    return math.log(a) if a > 0 else math.nan
''',
    "_sqrt": '''
def _sqrt(a):
    """The square root; NaN where a < 0."""
    return math.sqrt(a) if a >= 0 else math.nan
''',
    "_exp": '''
def _exp(a):
    """The exponential; NaN where it overflows or a is not finite."""
    if not math.isfinite(a):
        return math.nan
    try:
        return math.exp(a)
    except OverflowError:
        return math.nan
''',
    "_atan": '''
def _atan(a):
    """The arctangent; NaN where a is not finite (an overflow before it has no value)."""
    return math.atan(a) if math.isfinite(a) else math.nan
''',
    "_tanh": '''
def _tanh(a):
    """The hyperbolic tangent; NaN where a is not finite (an overflow before it has no value)."""
    return math.tanh(a) if math.isfinite(a) else math.nan
''',
    "_sq": '''
def _sq(a):
    return a * a
''',
    "_zan": '''
def _zan(a, b):
    """The zan operator E(a) - L(b). E(a) = exp(a), or exp(log(a)) above 709.78, where exp(a)
    would overflow; L(b) = log(b) for b > 0, else log(max(|b|, 1e-300))."""
    if not math.isfinite(a):
        return math.nan
    e = math.exp(math.log(a)) if a > 709.78 else math.exp(a)
    g = b if b > 0 or math.isnan(b) else max(abs(b), 1e-300)
    return e - math.log(g)
''',
}

PYTHON_HELPERS = tuple(_HELPER_SOURCE)


# ---- names ------------------------------------------------------------------------------------

# Names the generated Python uses besides the parameters.
PYTHON_RESERVED = frozenset(keyword.kwlist) | {"math", "abs", "_value", "__debug__", *PYTHON_HELPERS}


def _identifier_base(name: object, index: int) -> str:
    text = unicodedata.normalize("NFKC", str(name))
    if text.isidentifier():
        return text
    # Everything that cannot stand in an identifier becomes one underscore.
    text = "".join(ch if ("_" + ch).isidentifier() else "_" for ch in text)
    text = unicodedata.normalize("NFKC", re.sub(r"_+", "_", text).strip("_"))
    if not text:
        return f"x{index}"
    if not text.isidentifier():  # starts with a digit
        text = "x_" + text
    return text if text.isidentifier() else f"x{index}"


def identifiers(names: Sequence[object], reserved: frozenset[str] = PYTHON_RESERVED) -> tuple[str, ...]:
    """Distinct identifiers for the names, each as close to its name as the rules allow: a valid
    identifier stays as it is; other characters become underscores; a reserved word gets a
    trailing underscore (``lambda`` -> ``lambda_``); repeats get ``_2``, ``_3``, ... A name that
    is an identifier keeps it before any other name is made into it (``a_b`` stays ``a_b`` beside
    ``a b``, which becomes ``a_b_2``): a formula never shows one column under another's name."""
    bases = []
    for index, name in enumerate(names):
        base = _identifier_base(name, index)
        bases.append(base + "_" if base in reserved else base)
    taken = set(reserved)
    result: list[str | None] = [None] * len(bases)
    for i, (name, base) in enumerate(zip(names, bases)):
        if base == str(name) and base not in taken:  # the name itself, first come
            result[i] = base
            taken.add(base)
    counts = Counter(base for base, done in zip(bases, result) if done is None)
    for i, base in enumerate(bases):
        if result[i] is None and counts[base] == 1 and base not in taken:
            result[i] = base
            taken.add(base)
    for i, base in enumerate(bases):
        if result[i] is None:
            candidate, k = base, 1
            while candidate in taken:
                k += 1
                candidate = f"{base}_{k}"
            taken.add(candidate)
            result[i] = candidate
    return tuple(result)


# ---- infix text (shared by the text form and the Python source) -----------------------------

# Binding strength (the table's), loosest first; an operand binding less tightly than its
# place needs parentheses.


def format_constant(value: float, digits: int | None) -> str:
    """repr (the shortest text that reads back as the same float) or `digits` significant digits."""
    if not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return repr(value) if digits is None else format(value, f".{digits}g")


class _Infix:
    """Renders a tree as infix text. `exact` keeps the evaluation order of the program (Python
    evaluates a*b*c as (a*b)*c, which is not a*(b*c) in floating point) and calls the guarded
    helpers; otherwise the text is mathematics, with as few parentheses as it needs."""

    def __init__(self, names: Sequence[str], exact: bool):
        self.names = names
        self.exact = exact
        self.helpers: set[str] = set()  # the guarded helpers the exact text calls

    def render(self, node: Node) -> str:
        return self._render(node)[0]

    def _wrap(self, part: tuple[str, int], strength: int) -> str:
        text, own = part
        return f"({text})" if own < strength else text

    def _constant(self, value: float) -> tuple[str, int]:
        text = format_constant(value, None if self.exact else 10)
        if self.exact and not math.isfinite(value):
            text = "math." + text.lstrip("-")
            return ("-" + text, _NEG) if value < 0 else (text, _ATOM)
        return (text, _NEG) if text.startswith("-") else (text, _ATOM)

    def _render(self, node: Node) -> tuple[str, int]:
        if node.kind == "var":
            return self.names[node.value], _ATOM
        if node.kind == "const":
            return self._constant(node.value)
        op, args = node.value, [self._render(a) for a in node.args]
        if op == "add" and not self.exact and args[1][0].startswith("-"):
            # a + (-b)*c reads a - b*c: the leading sign moves to the operator.
            return f"{self._wrap(args[0], _ADD)} - {args[1][0][1:]}", _ADD
        row = _OPERATORS[op]
        rendering = row.exact if self.exact else row.text
        strength = rendering.binding
        if op == "square" and self.exact and args[0][1] == _ATOM:
            return f"{args[0][0]}*{args[0][0]}", _MUL  # a*a is the engine's square, bit for bit
        if self.exact and row.helper:
            self.helpers.add(row.helper)
        if strength == _ATOM:  # a call: its operands are delimited already
            return rendering.fill(*(a[0] for a in args)), _ATOM
        if row.arity == 2:
            left = self._wrap(args[0], strength)
            # The right operand of - or /, or any right operand in exact mode, needs
            # parentheses at equal strength; a negated right operand always gets them.
            right_needs = strength + (1 if self.exact or not row.commutative else 0)
            right = self._wrap(args[1], max(right_needs, _NEG + 1 if args[1][1] == _NEG else 0))
            return rendering.fill(left, right), strength
        if strength == _NEG:
            # -a*b reads as (-a)*b, which is -(a*b) exactly: rounding is symmetric in sign.
            # A negated negation keeps its parentheses: -(-a), not --a.
            return rendering.fill(self._wrap(args[0], _NEG + 1 if args[0][1] == _NEG else _MUL)), _NEG
        return rendering.fill(self._wrap(args[0], strength + 1)), strength


def _is_op(node: Node, name: str) -> bool:
    return node.kind == "op" and node.value == name


def readable(node: Node) -> Node:
    """The tree as it reads best, for the text and the LaTeX (never for what is evaluated: the
    value is the same, the rounding need not be). From the leaves up: a coefficient first
    (0.5*m*v**2, not m*v**2*0.5); 2*x, not x + x; c/x, not c*(1/x); 1/(m*v), not (1/m)/v;
    m1*m2/r**2, not m1/(r**2/m2)."""
    if node.kind != "op":
        return node
    a = tuple(readable(arg) for arg in node.args)
    op = node.value
    if op == "add" and a[0] == a[1]:
        return readable(Node("op", "mul", (Node("const", 2.0), a[0])))
    if op == "mul" and a[1].kind == "const" and a[0].kind != "const":
        a = (a[1], a[0])
    if op == "mul" and _is_op(a[1], "inv"):
        return readable(Node("op", "div", (a[0], a[1].args[0])))
    if op == "div" and _is_op(a[0], "inv"):
        return Node("op", "inv", (readable(Node("op", "mul", (a[0].args[0], a[1]))),))
    if op == "div" and _is_op(a[1], "div"):
        return Node("op", "div", (readable(Node("op", "mul", (a[0], a[1].args[1]))), a[1].args[0]))
    return Node("op", op, a)


def to_text(program: Program, constants: Sequence[float], names: Sequence[object]) -> str:
    """Readable infix, e.g. ``0.5*m*v**2``: the variables' identifiers (:func:`identifiers`),
    constants to 10 significant digits, ``log`` for the natural logarithm, ``zan(a, b)``."""
    tree = readable(parse(program, constants, len(names)))
    return _Infix(identifiers(names), exact=False).render(tree)


# ---- Python source ----------------------------------------------------------------------------



def to_python(
    program: Program, constants: Sequence[float], names: Sequence[object], name: str = "formula"
) -> str:
    """Source of a module defining ``def <name>(<variables>)`` over floats (`name` is made a
    safe identifier like the variables' names).

    It computes exactly what the engine computes, operation by operation, and returns NaN
    where the formula has no value (a guard failed or a result was not finite). Helpers for the
    guarded operators (``_div``, ``_ln``, ``_sqrt``, ``_exp``, ``_atan``, ``_tanh``, ``_sq``, ``_zan``) are
    included when used.
    Every variable is a parameter, in column order, so ``formula(*row)`` works.
    """
    params = identifiers(names)
    tree = parse(program, constants, len(params))
    printer = _Infix(params, exact=True)
    body = printer.render(tree)
    name = identifiers([name], PYTHON_RESERVED | set(params))[0]

    lines = ["import math", ""]
    for helper in PYTHON_HELPERS:
        if helper in printer.helpers:
            lines += [_HELPER_SOURCE[helper].strip("\n"), "", ""]
    renamed = [(p, n) for p, n in zip(params, names) if p != n]
    lines.append(f"def {name}({', '.join(params)}):")
    # The docstring and comments hold only identifiers, numbers and ascii() of the original
    # names: no column name can close a string or start a statement.
    lines.append(f'    """{to_text(program, constants, params)}; NaN where the formula has no value."""')
    for param, original in renamed:
        lines.append(f"    # {param}: the column {ascii(str(original))}")
    raised = sorted({_OPERATORS[op].raises for op in operators_used(tree)} - {""})
    if raised:
        # What math.sin, math.asin, math.sinh, ... raise (an infinity, an argument outside
        # the domain, an overflow) happens only where the engine has no value either.
        caught = raised[0] if len(raised) == 1 else f"({', '.join(raised)})"
        lines += ["    try:", f"        _value = {body}", f"    except {caught}:", "        return math.nan"]
    else:
        lines.append(f"    _value = {body}")
    lines.append("    return _value if math.isfinite(_value) else math.nan")
    return "\n".join(lines) + "\n"


# ---- NumPy ------------------------------------------------------------------------------------


def _zan_np(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    e = np.where(a > SLIP_THRESHOLD, np.exp(np.log(a)), np.exp(a))
    g = np.where((b > 0) | np.isnan(b), b, np.maximum(np.abs(b), GUARD_FLOOR))
    return e - np.log(g)


def _numpy_names(text: str) -> dict[str, Any]:
    """What a table expression may call in NumPy: NumPy's ufuncs, abs and zan's kernel."""
    names: dict[str, Any] = {}
    for name in _operators.names_in(text) - {"a", "b"}:
        if name == "abs":
            names[name] = np.abs
        elif name == "zan":
            names[name] = _zan_np
        elif name.startswith("np.") and isinstance(getattr(np, name[3:], None), np.ufunc):
            names[name] = getattr(np, name[3:])
        else:
            raise ValueError(f"the operator table's NumPy form {text!r} calls {name!r}")
    return names


def _numpy_kernel(row: _operators.OperatorRow) -> Callable[..., np.ndarray]:
    """The row's NumPy form, NaN where its guard fails."""
    value_names, guard_names = _numpy_names(row.numpy), _numpy_names(row.guard) if row.guard else {}

    def kernel(*args: np.ndarray) -> np.ndarray:
        operands = dict(zip("ab", args))
        value = _operators.evaluate(row.numpy, {**value_names, **operands})
        if not row.guard:
            return value
        return np.where(_operators.evaluate(row.guard, {**guard_names, **operands}), value, np.nan)

    return kernel


_NUMPY_KERNELS: dict[str, Callable[..., np.ndarray]] = {name: _numpy_kernel(row) for name, row in _OPERATORS.items()}


def _columns(X: Any, names: Sequence[str], n_vars: int) -> tuple[list[np.ndarray], int]:
    """The variables' columns of X (rows x variables; 1-D for one variable; a DataFrame labelled
    by text is read by the variables' names, as predict reads it, and refused without one)."""
    framed = frame_columns(X, tuple(names)) if n_vars else None
    if framed is not None:
        return list(framed), framed.shape[1]
    data = np.asarray(X, dtype=np.float64)
    if data.ndim == 1 and n_vars <= 1:
        data = data.reshape(-1, 1)
    if data.ndim != 2 or data.shape[1] != n_vars:
        raise ValueError(f"expected rows of {n_vars} variable(s), got an array of shape {data.shape}")
    return [data[:, i] for i in range(n_vars)], data.shape[0]


def evaluate(node: Node, columns: Sequence[np.ndarray], n_rows: int, facts: dict | None = None) -> np.ndarray:
    """The node's values on the columns, NaN where there is none. With `facts`, also records,
    for each guarded operator node, which of its guards act on the rows (see to_sympy)."""
    if node.kind == "var":
        return columns[node.value]
    if node.kind == "const":
        return np.full(n_rows, node.value)
    args = [evaluate(a, columns, n_rows, facts) for a in node.args]
    with np.errstate(all="ignore"):
        if facts is not None:
            facts[id(node)] = _guard_facts(node.value, args)
        result = np.asarray(_NUMPY_KERNELS[node.value](*args), dtype=np.float64)
        result[~np.isfinite(result)] = np.nan
    return result


def to_numpy(program: Program, constants: Sequence[float], names: Sequence[object]) -> Callable[[Any], np.ndarray]:
    """A vectorised function ``f(X) -> ndarray`` of float64, NaN where the formula has no
    value. X is rows x variables (or 1-D for a single variable); a pandas DataFrame whose
    columns are labelled by text is read by the variables' names (refused when one is missing,
    as by predict), anything else by position."""
    names = tuple(str(n) for n in names)
    tree = parse(program, constants, len(names))

    def formula(X: Any) -> np.ndarray:
        columns, n_rows = _columns(X, names, len(names))
        return np.array(evaluate(tree, columns, n_rows), dtype=np.float64)

    formula.__doc__ = f"{to_text(program, constants, names)} evaluated column-wise (NaN where no value)."
    return formula


# ---- SymPy ------------------------------------------------------------------------------------


def _guard_facts(op: str, args: list[np.ndarray]) -> dict[str, bool]:
    """Which guards of `op` act on some row (rows whose operand is NaN carry no value anyway)."""
    if op == "zan":
        a, b = args
        return {
            "slip": bool(np.any(a > SLIP_THRESHOLD)),
            "reflect": bool(np.any(b <= 0)),
            "floor": bool(np.any((b <= 0) & (np.abs(b) <= GUARD_FLOOR))),
        }
    row = _OPERATORS[op]
    if not row.guard:
        return {}
    operands = dict(zip("ab", args))
    fails = ~np.asarray(_operators.evaluate(row.guard, {**_numpy_names(row.guard), **operands}), dtype=bool)
    for name in _operators.names_in(row.guard) & operands.keys():
        fails &= ~np.isnan(operands[name])
    return {"guard": bool(np.any(fails))}


def _exact_constant(value: float, sp: Any) -> Any:
    """An exact SymPy number for a value the engine snaps to, or a Float with the double's value."""
    if not math.isfinite(value):
        return sp.Float(value)
    if value == int(value) and abs(value) < 2**53:
        return sp.Integer(int(value))
    snapping = _operators.snap_constants()
    tolerance = 4 * math.ulp(value)
    for number, form in snapping["bases"]:
        for power in (1, -1):
            scaled = value / number if power == 1 else value * number
            if not math.isfinite(scaled):  # past the largest double: no snapped form of it
                continue
            ratio = Fraction(scaled)
            ratio = ratio.limit_denominator(snapping["max_denominator"])
            # any small fraction is exact on its own; times a constant, only what the engine makes
            limit = 1000 if number == 1.0 else snapping["max_numerator"] * ratio.denominator
            if abs(ratio.numerator) > limit or ratio == 0:
                continue
            candidate = ratio.numerator / ratio.denominator
            candidate = candidate * number if power == 1 else candidate / number
            if abs(candidate - value) <= tolerance:
                symbol = _operators.evaluate(form, _sympy_names(sp, form))
                return sp.Rational(ratio.numerator, ratio.denominator) * symbol**power
    return sp.Float(value)


def _sympy_names(sp: Any, text: str) -> dict[str, Any]:
    """What a table expression may read in SymPy: SymPy's public names, and abs as Abs."""
    names: dict[str, Any] = {}
    for name in _operators.names_in(text) - {"a", "b"}:
        if name == "abs":
            names[name] = sp.Abs
        elif name in sp.__all__:
            names[name] = getattr(sp, name)
        else:
            raise ValueError(f"the operator table's SymPy form {text!r} reads {name!r}")
    return names


def sympy_names(names: Sequence[object]) -> tuple[str, ...]:
    """Symbol names: the Python identifiers, also kept clear of every name SymPy's parser knows
    (``N``, ``E``, ``I``, ``S``, ``Q``, ``beta``, ...), so ``sympify(str(expr))`` reads the
    expression back with the same symbols."""
    sp = require("sympy", "sympy", "SymPy export")
    return identifiers(names, PYTHON_RESERVED | frozenset(sp.__all__))


def to_sympy(
    program: Program,
    constants: Sequence[float],
    names: Sequence[object],
    X: Any = None,
    *,
    exact_constants: bool = True,
) -> Any:
    """The formula as a SymPy expression over ``Symbol``\\ s named by :func:`sympy_names`.

    With data `X` (rows x variables), the guards that act on some of those rows are stated (see
    the module's documentation); the others, and all of them without data, are left out. `exact_constants` turns constants that equal
    a snapped value (0.5, 3/2, π/2, 1/√(2π), ...) into exact SymPy numbers.
    """
    sp = require("sympy", "sympy", "SymPy export")
    symbol_names = sympy_names(names)
    tree = parse(program, constants, len(symbol_names))
    facts: dict[int, dict[str, bool]] = {}
    if X is not None:
        columns, n_rows = _columns(X, [str(n) for n in names], len(symbol_names))
        evaluate(tree, columns, n_rows, facts)
    symbols = [sp.Symbol(n) for n in symbol_names]
    # The domain tests of the guards that act on the data. They are gathered into one
    # condition on the whole formula rather than nested: SymPy cannot compare a Piecewise
    # that has no value in some branch.
    conditions: list[Any] = []

    def build(node: Node) -> Any:
        if node.kind == "var":
            return symbols[node.value]
        if node.kind == "const":
            return _exact_constant(node.value, sp) if exact_constants else sp.Float(node.value)
        args = [build(a) for a in node.args]
        node_facts = facts.get(id(node), {})
        condition = _sympy_domain(sp, node.value, args) if node_facts.get("guard") else None
        if condition is not None and condition is not sp.true and condition not in conditions:
            conditions.append(condition)
        return _sympy_op(sp, node.value, args, node_facts)

    expr = build(tree)
    return sp.Piecewise((expr, sp.And(*conditions)), (sp.nan, True)) if conditions else expr


def _sympy_domain(sp: Any, op: str, args: list[Any]) -> Any:
    """The test a guarded operator's operands must pass to give a value."""
    guard = _OPERATORS[op].guard
    return _operators.evaluate(guard, {**_sympy_names(sp, guard), **dict(zip("ab", args))}) if guard else None


def _sympy_op(sp: Any, op: str, args: list[Any], facts: dict[str, bool]) -> Any:
    if op == "zan":
        a, b = args
        e = sp.Piecewise((sp.exp(a), a <= SLIP_THRESHOLD), (a, True)) if facts.get("slip") else sp.exp(a)
        if facts.get("floor"):
            log_b = sp.Piecewise((sp.log(b), b > 0), (sp.log(sp.Max(sp.Abs(b), GUARD_FLOOR)), True))
        elif facts.get("reflect"):
            log_b = sp.log(sp.Abs(b))
        else:
            log_b = sp.log(b)
        return e - log_b
    form = _OPERATORS[op].sympy
    return _operators.evaluate(form, {**_sympy_names(sp, form), **dict(zip("ab", args))})


# ---- LaTeX ------------------------------------------------------------------------------------

_GREEK = frozenset(
    "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi pi rho sigma tau "
    "upsilon phi chi psi omega Gamma Delta Theta Lambda Xi Pi Sigma Upsilon Phi Psi Omega".split()
)


def latex_names(identifiers_: Sequence[str]) -> tuple[str, ...]:
    """LaTeX for identifiers: Greek names as letters, ``x_11`` as x_{11}; a reserved-word
    underscore is dropped (``lambda_`` is \\lambda) unless that would repeat another name. A name
    that would lose its letter (``_``, ``_x``) or read as the constant (``pi``) stays whole, as
    \\mathrm{...}."""

    def one(ident: str) -> str | None:
        stripped = ident[:-1] if ident.endswith("_") and len(ident) > 1 else ident
        head, _, tail = stripped.partition("_")
        if not head or head == "pi":
            return None
        head_tex = "\\" + head if head in _GREEK else head
        if not tail:
            return head_tex
        parts = ["\\" + p if p in _GREEK else p for p in tail.split("_") if p]
        return f"{head_tex}_{{{' '.join(parts)}}}" if parts else head_tex

    texts = [one(i) for i in identifiers_]
    counts = Counter(texts)
    return tuple(
        t if t is not None and counts[t] == 1 else "\\mathrm{" + i.replace("_", "\\_") + "}"
        for t, i in zip(texts, identifiers_)
    )


class _Latex:
    """The LaTeX printer used when SymPy is not installed."""

    def __init__(self, names: Sequence[str]):
        self.names = names

    def render(self, node: Node) -> str:
        return self._render(node)[0]

    @staticmethod
    def _paren(part: tuple[str, int], strength: int) -> str:
        text, own = part
        return f"\\left({text}\\right)" if own < strength else text

    def _render(self, node: Node) -> tuple[str, int]:
        if node.kind == "var":
            return self.names[node.value], _ATOM
        if node.kind == "const":
            text = format_constant(node.value, 10)
            if "e" in text and "n" not in text:
                mantissa, exponent = text.split("e")
                text = f"{mantissa} \\cdot 10^{{{int(exponent)}}}"
                return text, (_NEG if text.startswith("-") else _MUL)
            text = text.replace("inf", "\\infty").replace("nan", "\\mathrm{NaN}")
            return text, (_NEG if text.startswith("-") else _ATOM)
        op, args = node.value, [self._render(a) for a in node.args]
        rendering = _OPERATORS[op].latex
        strength = rendering.binding
        if op == "mul":
            left = self._paren(args[0], _MUL)
            right = self._paren(args[1], _NEG + 1 if args[1][1] == _NEG else _MUL)
            # Juxtaposition would run two numbers together or hide a sign.
            joiner = " \\cdot " if right[:1].isdigit() or args[1][1] == _NEG else " "
            return f"{left}{joiner}{right}", _MUL
        if strength == _ATOM:  # a command or delimiters of its own hold the operands
            return rendering.fill(*(a[0] for a in args)), _ATOM
        if len(args) == 2:
            left = self._paren(args[0], strength)
            right_needs = strength + (0 if _OPERATORS[op].commutative else 1)
            right = self._paren(args[1], _NEG + 1 if args[1][1] == _NEG else right_needs)
            return rendering.fill(left, right), strength
        if strength == _NEG:
            return rendering.fill(self._paren(args[0], _MUL)), _NEG
        return rendering.fill(self._paren(args[0], strength + 1)), strength


def to_latex(
    program: Program, constants: Sequence[float], names: Sequence[object], X: Any = None, *, sympy: bool | None = None
) -> str:
    """LaTeX of the formula: through SymPy (as :func:`to_sympy`, with the same data) when it is
    installed, else by our own printer. `sympy` forces one way (True needs SymPy)."""
    if sympy is None:
        try:
            require("sympy", "sympy")
            sympy = True
        except ImportError:
            sympy = False
    if sympy:
        sp = require("sympy", "sympy", "LaTeX through SymPy")
        expr = to_sympy(program, constants, names, X)
        symbol_names = sympy_names(names)
        tex = latex_names(identifiers(names))
        symbols = {sp.Symbol(s): t for s, t in zip(symbol_names, tex)}
        return sp.latex(expr, symbol_names=symbols, ln_notation=True)
    tree = readable(parse(program, constants, len(names)))
    return _Latex(latex_names(identifiers(names))).render(tree)
