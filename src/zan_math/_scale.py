"""Units far from 1: the search runs on data scaled by powers of two, the formulas are scaled back.

A target in units that make it 1e-200 or 1e160 would otherwise underflow or overflow inside the
search's sums of squares (and a target of 1e-200 once came back as the formula ``0`` with R² 1).
Multiplying by a power of two is exact in binary floating point, so the search sees the same
digits; the formulas it returns are then rewritten to give the original units. A variable's scale
is carried out through the products, quotients and powers around it, and the target's joins it
where they meet a fitted constant: G·m₁·m₂/r² over masses of 1e30 kg comes back with the one
constant 6.674e-11, not as a constant of 1e45 times a factor per variable. Where a scale meets no
constant (inside a sine, say) it stays a factor beside its variable.
Data within ``kSafe`` of 1 is searched as it is, so the usual case is untouched.
"""

from __future__ import annotations

import math
import sys
from collections import Counter
from fractions import Fraction
from typing import Any, Sequence

import numpy as np

__all__ = ["exponent", "unscaled_program"]

# Magnitudes between 2**-kSafe and 2**kSafe (about 1e-18 to 1e18) are searched as they are.
kSafe = 60

# How a power of two on its operand comes out of an operator: f(a·2**e) = f(a)·2**(k·e), exactly
# where k·e is a whole number (the square root carries an even power only).
kCarried = {"neg": Fraction(1), "abs": Fraction(1), "square": Fraction(2), "inv": Fraction(-1),
            "sqrt": Fraction(1, 2)}

Token = tuple[str, Any]


def exponent(values: np.ndarray) -> int:
    """An even e such that values·2**-e has its largest magnitude in [0.25, 1), or 0 when the
    values' magnitude is already safe (or they are all zero). Even, so that a square root carries
    a variable's scale out whole, and a target in the units of its variable is read in the same."""
    largest = float(np.max(np.abs(values))) if values.size else 0.0
    if largest == 0.0 or not math.isfinite(largest):
        return 0
    e = math.frexp(largest)[1]
    return e + (e & 1) if abs(e) > kSafe else 0


class _Node:
    __slots__ = ("token", "args")

    def __init__(self, token: Token, args: tuple = ()):
        self.token = token
        self.args = args

    def tokens(self) -> list[Token]:
        out: list[Token] = []
        for a in self.args:
            out += a.tokens()
        out.append(self.token)
        return out


def _tree(program: Sequence[Token], arity) -> _Node:
    stack: list[_Node] = []
    for token in program:
        if token[0] == "op":
            k = arity(token[1])
            args = tuple(stack[len(stack) - k :])
            del stack[len(stack) - k :]
            stack.append(_Node(token, args))
        else:
            stack.append(_Node(token))
    return stack[0]


def _times_power(node: _Node, e: int) -> _Node:
    """node·2**e, the factor a constant (two where one would leave the range of floats)."""
    if abs(e) <= 1000:
        return _Node(("op", "mul"), (node, _Node(("const", math.ldexp(1.0, e)))))
    return _times_power(_times_power(node, e // 2), e - e // 2)


def _scaled_exactly(value: float, e: int) -> float | None:
    """value·2**e when that is exact (finite, and zero or a normal float), else None."""
    try:
        out = math.ldexp(value, e)
    except OverflowError:
        return None
    return out if out == 0.0 or abs(out) >= sys.float_info.min else None


class _Unscaling:
    """The rewriting of one program; `constants` take the factors that reach them."""

    def __init__(self, program: Sequence[Token], constants: Sequence[float], x_exps: Sequence[int], carry: bool):
        self.constants = list(constants)
        self.uses = Counter(value for kind, value in program if kind == "param")
        self.x_exps = x_exps
        self.carry = carry

    def absorbed(self, node: _Node, e: int) -> tuple[_Node, dict[int, float]] | None:
        """The node times 2**e with the factor taken into its constants (and the constants it
        changes), or None where no constant of it is reached through sums, products, quotients
        and powers."""
        if e == 0:
            return node, {}
        kind, value = node.token
        if kind == "const":
            v = _scaled_exactly(value, e)
            return None if v is None else (_Node(("const", v)), {})
        if kind == "param":
            v = _scaled_exactly(self.constants[value], e) if self.uses[value] == 1 else None
            return None if v is None else (node, {value: v})
        if kind != "op":
            return None
        a = node.args

        def one(i: int, k: int) -> tuple[_Node, dict] | None:
            done = self.absorbed(a[i], k)
            return None if done is None else (_Node(node.token, a[:i] + (done[0],) + a[i + 1 :]), done[1])

        if value in ("add", "sub"):
            left, right = self.absorbed(a[0], e), self.absorbed(a[1], e)
            if left is None or right is None:
                return None
            return _Node(node.token, (left[0], right[0])), {**left[1], **right[1]}
        if value == "mul":
            return one(1, e) or one(0, e)
        if value == "div":
            return one(0, e) or one(1, -e)
        if value in kCarried:
            inner = e / kCarried[value]
            return one(0, int(inner)) if inner.denominator == 1 else None
        return None

    def applied(self, done: tuple[_Node, dict[int, float]]) -> _Node:
        """The node of an absorption, its constants' new values taken."""
        for i, v in done[1].items():
            self.constants[i] = v
        return done[0]

    def materialized(self, node: _Node, e: int) -> _Node:
        """The node times 2**e: in its constants where they are reached, else as a factor."""
        done = self.absorbed(node, e)
        return _times_power(node, e) if done is None else self.applied(done)

    def pulled(self, node: _Node) -> tuple[_Node, int]:
        """(node', e) with the node's value = node'·2**e, e the powers of two of the variables
        carried out through the operators that carry them exactly."""
        kind, value = node.token
        if kind == "var":
            e = -self.x_exps[value]
            return (node, e) if self.carry else (self.materialized(node, e), 0)
        if kind != "op":
            return node, 0
        inner = [self.pulled(a) for a in node.args]
        nodes = tuple(n for n, _ in inner)
        es = [e for _, e in inner]
        if value == "mul":
            return _Node(node.token, nodes), es[0] + es[1]
        if value == "div":
            return _Node(node.token, nodes), es[0] - es[1]
        if value in kCarried and (kCarried[value] * es[0]).denominator == 1:
            return _Node(node.token, nodes), int(kCarried[value] * es[0])
        if value in ("add", "sub"):
            if es[0] == es[1]:
                return _Node(node.token, nodes), es[0]
            # one side takes the difference where a constant of it can, the other's power comes out
            for keep, other in ((0, 1), (1, 0)):
                done = self.absorbed(nodes[other], es[other] - es[keep])
                if done is not None:
                    sides = list(nodes)
                    sides[other] = self.applied(done)
                    return _Node(node.token, tuple(sides)), es[keep]
        return _Node(node.token, tuple(self.materialized(n, e) for n, e in inner)), 0


def unscaled_program(program: Sequence[Token], constants: Sequence[float], y_exp: int, x_exps: Sequence[int],
                     arity, carry: bool = True) -> tuple[tuple[Token, ...], tuple[float, ...]]:
    """(program, constants) of 2**y_exp·f(x₀·2**-x_exps[0], …), f the formula the search found
    on the scaled data, read on the variables as they are. The variables' factors are carried out
    where the operators around them let them (`carry`; else each stays beside its variable) and
    go, with 2**y_exp, into the constants they reach (a·f + b becomes (a·s)·f + b·s); what
    reaches none stays a factor. Every step multiplies by a power of two, so the values are the
    same but where a product of the variables as they are leaves the range of floats."""
    rewrite = _Unscaling(program, constants, x_exps, carry)
    root, e = rewrite.pulled(_tree(program, arity))
    root = rewrite.materialized(root, e + y_exp)
    return tuple(root.tokens()), tuple(rewrite.constants)
