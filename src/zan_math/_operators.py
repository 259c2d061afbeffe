"""The engine's operator table, as the exports read it.

Every fact of an operator (arity, guard, its readable, exact Python, LaTeX, NumPy and SymPy
forms, its role in the search) is a row of the core's table, read once from the private native
module. The NumPy, SymPy and guard forms are small expressions over the operands ``a`` and ``b``;
:func:`evaluate` computes them with a few node kinds and the names its caller supplies, so
nothing but our own table's text is ever read, and even that cannot reach a name it is not
given.
"""

from __future__ import annotations

import ast
import operator
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from functools import cache
from types import MappingProxyType
from typing import Any

from . import _native

# Binding strength of a rendering, loosest first (the names the table uses).
SUM, PRODUCT, NEGATION, POWER, ATOM = 1, 2, 3, 4, 5
_BINDINGS = {"sum": SUM, "product": PRODUCT, "negation": NEGATION, "power": POWER, "atom": ATOM}
_OPERAND = re.compile(r"\$([ab])")


@dataclass(frozen=True)
class Rendering:
    """A form with ``$a`` and ``$b`` for the rendered operands, and how tightly it binds."""

    form: str
    binding: int

    def fill(self, *operands: str) -> str:
        # Each operand is put in as it is: its text is never scanned for "$a" again.
        return _OPERAND.sub(lambda m: operands[0 if m.group(1) == "a" else 1], self.form)


@dataclass(frozen=True)
class OperatorRow:
    code: int
    name: str
    arity: int
    commutative: bool
    default: bool  # in the search's default set
    trig: bool
    period: float  # of a periodic function (2π for sin and cos), 0.0 for none
    inner: str  # the inner constant the search gives it: "", "scale", "shift", "shift_reflect"
    text: Rendering
    exact: Rendering
    helper: str  # the guarded helper the exact form calls, or ""
    raises: str  # what its math call raises where the engine has no value, or ""
    latex: Rendering
    numpy: str
    sympy: str
    guard: str  # where the value exists, or "" for a total operator


@cache
def operators() -> Mapping[str, OperatorRow]:
    """The rows by name, in code order."""
    rows = {}
    for raw in _native.operators():
        fields = dict(raw)
        for key in ("text", "exact", "latex"):
            form, binding = fields[key]
            fields[key] = Rendering(form, _BINDINGS[binding])
        rows[fields["name"]] = OperatorRow(**fields)
    return MappingProxyType(rows)


@cache
def snap_constants() -> dict[str, Any]:
    """The snapping rule of the engine: max_denominator, max_numerator and the bases, each a
    (value, SymPy expression) pair, simplest first."""
    return dict(_native.snap_constants())


@cache
def guard_constants() -> dict[str, float]:
    return dict(_native.guard_constants())


# ---- the table's expressions ------------------------------------------------------------

_BINARY_OPS: dict[type, Callable[[Any, Any], Any]] = {
    ast.Add: operator.add,
    ast.Sub: operator.sub,
    ast.Mult: operator.mul,
    ast.Div: operator.truediv,
    ast.Pow: operator.pow,
}
_COMPARE_OPS: dict[type, Callable[[Any, Any], Any]] = {
    ast.Lt: operator.lt,
    ast.LtE: operator.le,
    ast.Gt: operator.gt,
    ast.GtE: operator.ge,
}


@cache
def parse(text: str) -> ast.expr:
    return ast.parse(text, mode="eval").body


def names_in(text: str) -> frozenset[str]:
    """The names an expression reads, dotted ones whole (``np.log``, ``abs``, ``a``)."""
    found: set[str] = set()

    def walk(node: ast.AST) -> None:
        if isinstance(node, (ast.Name, ast.Attribute)):
            found.add(ast.unparse(node))
            return
        for child in ast.iter_child_nodes(node):
            walk(child)

    walk(parse(text))
    return frozenset(found)


def evaluate(text: str, names: Mapping[str, Any]) -> Any:
    """The value of a table expression: numbers, the names given (dotted ones such as
    ``np.log`` are looked up whole), calls, + - * / **, unary minus and one comparison.
    Anything else, or a name not given, is a ValueError."""
    return _value(parse(text), names, text)


def _value(node: ast.expr, names: Mapping[str, Any], text: str) -> Any:
    if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)):
        return node.value
    if isinstance(node, (ast.Name, ast.Attribute)):
        dotted = ast.unparse(node)
        if dotted not in names:
            raise ValueError(f"the operator table's expression {text!r} reads {dotted!r}, which is not given")
        return names[dotted]
    if isinstance(node, ast.Call) and not node.keywords:
        return _value(node.func, names, text)(*(_value(a, names, text) for a in node.args))
    if isinstance(node, ast.BinOp) and type(node.op) in _BINARY_OPS:
        return _BINARY_OPS[type(node.op)](_value(node.left, names, text), _value(node.right, names, text))
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
        return -_value(node.operand, names, text)
    if isinstance(node, ast.Compare) and len(node.ops) == 1 and type(node.ops[0]) in _COMPARE_OPS:
        left, right = _value(node.left, names, text), _value(node.comparators[0], names, text)
        return _COMPARE_OPS[type(node.ops[0])](left, right)
    raise ValueError(f"the operator table's expression {text!r} has a form the exports do not read")
