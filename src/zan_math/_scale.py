"""Units far from 1: the search runs on data scaled by powers of two, the formulas are scaled back.

A target in units that make it 1e-200 or 1e160 would otherwise underflow or overflow inside the
search's sums of squares (and a target of 1e-200 once came back as the formula ``0`` with R² 1).
Multiplying by a power of two is exact in binary floating point, so the search sees the same
digits; the formulas it returns are then rewritten to give the original units: the scale of the
target goes into the formula's outer constants, a variable's scale into a product beside it.
Data within ``kSafe`` of 1 is searched as it is, so the usual case is untouched.
"""

from __future__ import annotations

import math
from collections import Counter
from typing import Any, Sequence

import numpy as np

__all__ = ["exponent", "scale_program_output", "scale_program_inputs"]

# Magnitudes between 2**-kSafe and 2**kSafe (about 1e-18 to 1e18) are searched as they are.
kSafe = 60

Token = tuple[str, Any]


def exponent(values: np.ndarray) -> int:
    """e such that values·2**-e has its largest magnitude in [0.5, 1), or 0 when the values'
    magnitude is already safe (or they are all zero)."""
    largest = float(np.max(np.abs(values))) if values.size else 0.0
    if largest == 0.0 or not math.isfinite(largest):
        return 0
    e = math.frexp(largest)[1]
    return e if abs(e) > kSafe else 0


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


def _power(e: int) -> list[Token]:
    """Factors 2**e as constants (two where one would leave the range of floats)."""
    if abs(e) <= 1000:
        return [("const", math.ldexp(1.0, e))]
    return [("const", math.ldexp(1.0, e // 2)), ("const", math.ldexp(1.0, e - e // 2)), ("op", "mul")]


def scale_program_output(program: Sequence[Token], constants: Sequence[float], e: int, arity):
    """(program, constants) of 2**e·f: the factor goes into constants where the formula's sums,
    products and quotients reach one (a·f + b becomes (a·s)·f + b·s), else multiplies the rest."""
    constants = list(constants)
    uses = Counter(value for kind, value in program if kind == "param")

    def leaf(node: _Node) -> _Node | None:
        kind, value = node.token
        if kind == "const":
            return _Node(("const", math.ldexp(value, e)))
        if kind == "param" and uses[value] == 1:
            constants[value] = math.ldexp(constants[value], e)
            return node
        return None

    def scaled(node: _Node) -> _Node:
        kind, value = node.token
        if kind != "op":
            done = leaf(node)
            if done is not None:
                return done
        elif value in ("add", "sub"):
            return _Node(node.token, (scaled(node.args[0]), scaled(node.args[1])))
        elif value == "neg":
            return _Node(node.token, (scaled(node.args[0]),))
        elif value == "div":
            return _Node(node.token, (scaled(node.args[0]), node.args[1]))
        elif value == "mul":
            a, b = node.args
            if b.token[0] != "op":
                done = leaf(b)
                if done is not None:
                    return _Node(node.token, (a, done))
            return _Node(node.token, (scaled(a), b))
        return _Raw(node.tokens() + _power(e) + [("op", "mul")])

    return tuple(scaled(_tree(program, arity)).tokens()), tuple(constants)


class _Raw(_Node):
    """A finished run of tokens."""

    __slots__ = ("run",)

    def __init__(self, run: list[Token]):
        super().__init__(run[-1])
        self.run = run

    def tokens(self) -> list[Token]:
        return list(self.run)


def scale_program_inputs(program: Sequence[Token], exponents: Sequence[int]) -> tuple[Token, ...]:
    """The program with each variable i read as x_i·2**exponents[i] (exponents of 0 left out)."""
    out: list[Token] = []
    for token in program:
        out.append(token)
        if token[0] == "var" and exponents[token[1]]:
            out += _power(exponents[token[1]]) + [("op", "mul")]
    return tuple(out)
