"""Laws that fall apart into parts over disjoint sets of variables: the split read from an
interpolant, the parts' formulas joined into one program, and laws only the split finds."""

import numpy as np
import pytest
from conftest import whole_searches

from zan_math import _native, _options, discover
from zan_math._additive import _refit_parts, joined, solved, split


def rows(ranges, n=1000, seed=0):
    rng = np.random.default_rng(seed)
    return np.array([rng.uniform(lo, hi, n) for lo, hi in ranges])


def values(program, constants, x):
    out = np.empty(x.shape[1])
    _native.predict(tuple(program), tuple(constants), np.ascontiguousarray(x), out)
    return out


# ---- the split --------------------------------------------------------------------------------

SPLITS = {
    # four parts, two of them pairs that act together
    "sum of four": (lambda a, b, c, d, e, f: a * b + np.sin(c) + d**2 / e + np.exp(f), "add",
                    [(0, 1), (2,), (3, 4), (5,)]),
    # a quotient is one part, not two
    "sum with a quotient": (lambda a, b, c, d, e, f: a / b + c * d * e + np.cos(f), "add",
                            [(0, 1), (2, 3, 4), (5,)]),
    # a product of a sum and a reciprocal of a sum: log|y| falls apart, y does not
    "product of sums": (lambda a, b, c, d, e: (a + b) / (c + d + e), "mul", [(0, 1), (2, 3, 4)]),
    "product of three": (lambda a, b, c, d: np.sin(a) * (b + c) * np.exp(-d), "mul", [(0,), (1, 2), (3,)]),
    # every variable acts with another, through one chain
    "chain": (lambda a, b, c, d: a * b + np.sin(c * d) + a * d, "add", None),
    # a sum over all variables in one denominator: no split of either kind
    "one denominator": (lambda a, b, c, d, e: (a + b) / (c + d + e), "add", None),
    # a variable y does not depend on is no part of it
    "unused variable": (lambda a, b, c: a * b + 0 * c, "add", None),
    # y crosses zero: its logarithm says nothing
    "signed product": (lambda a, b, c: np.sin(3 * a) * b * c, "mul", None),
}


@pytest.mark.parametrize("noise", [0.0, 0.01])
@pytest.mark.parametrize("name", sorted(SPLITS))
def test_split(name, noise):
    f, kind, groups = SPLITS[name]
    x = rows([(1, 3)] * f.__code__.co_argcount)
    y = f(*x)
    y = y + noise * np.std(y) * np.random.default_rng(1).standard_normal(y.shape)
    found = split(x, y, kind)
    if groups is None:
        assert found is None
        return
    assert found is not None and found[0] == groups
    # the estimates of the parts add (multiply) up to y, as far as the interpolant reaches
    rebuilt = np.sum(found[1], axis=0) if kind == "add" else np.prod(found[1], axis=0)
    assert np.median(np.abs(rebuilt - y)) < 0.05 * np.std(y)


# ---- the parts joined -----------------------------------------------------------------------

V0, V1, V2 = ("var", 0), ("var", 1), ("var", 2)
ADD, SUB, MUL, DIV, SIN = ("op", "add"), ("op", "sub"), ("op", "mul"), ("op", "div"), ("op", "sin")

PARTS = [
    # sin(x0)·c0 + c1, and c0 + x1·x2 with a constant leading: two levels, params renumbered
    ("add", [((V0, SIN, ("param", 0), MUL, ("param", 1), ADD), (2.0, 0.5)),
             ((("param", 0), V1, V2, MUL, ADD), (-3.0,))]),
    # a level taken away, a snapped one, and a part that is a constant alone
    ("add", [((V0, V1, MUL, ("const", 4.0), SUB), ()), ((V2, SIN, ("const", 1.5), ADD), ()),
             ((("param", 0),), (7.0,))]),
    # scales of a product: one divides, one leads
    ("mul", [((V0, SIN, ("param", 0), DIV), (4.0,)), ((("param", 0), V1, V2, ADD, MUL), (3.0,))]),
]


@pytest.mark.parametrize("kind, parts", PARTS)
def test_joined_is_the_parts_combined(kind, parts):
    x = rows([(1, 3)] * 3)
    pieces = [values(p, c, x) for p, c in parts]
    expected = np.sum(pieces, axis=0) if kind == "add" else np.prod(pieces, axis=0)
    program, constants = joined([{"program": p, "constants": c} for p, c in parts], kind)
    np.testing.assert_allclose(values(program, constants, x), expected, rtol=1e-13)
    # one level for all the parts, numbered as the program reads them
    assert program[-2:] == (("param", len(constants) - 1), ("op", kind))
    params = [v for k, v in program if k == "param"]
    assert sorted(set(params)) == list(range(len(constants)))
    assert sum(1 for token in program if token == ("op", kind)) <= len(parts)


def test_parts_with_more_constants_than_the_engine_refits():
    # five scaled sines of each of two variables: ten constants and the level
    x = rows([(1, 3)] * 2)
    part = lambda v: {"program": sum((((v), ("param", k), MUL, SIN) + ((ADD,) if k else ()) for k in range(5)), ()),
                      "constants": tuple(0.1 * (k + 1) for k in range(5))}
    parts = [part(V0), part(V1)]
    y = sum(values(p["program"], p["constants"], x) for p in parts) + 1.0
    found = _refit_parts(parts, "add", x, y, None, float(np.var(y)))
    assert found and all(len(c["constants"]) <= _native.engine_defaults()["max_constants"] for c in found)
    assert min(c["nmse"] for c in found) < 1e-20


# ---- searched and put back ------------------------------------------------------------------


def engine_search(calls):
    def search(inputs, target, weights):
        calls.append(inputs.shape[0])
        return _native.discover(np.ascontiguousarray(inputs), np.ascontiguousarray(target),
                                _options.engine_options(_options.defaults()), None, None, None, weights)["front"]

    return search


@whole_searches
@pytest.mark.parametrize("weighted", [False, True])
def test_parts_searched_and_joined(weighted):
    # a sum of a pair's product and a function of one variable: each part is smaller than the whole
    x = rows([(1, 3)] * 4)
    y = x[0] * x[1] + np.exp(-x[2]) + np.sqrt(x[3])
    weights = np.random.default_rng(2).uniform(0.5, 2.0, y.shape[0]) if weighted else None
    calls = []
    candidates = solved(x, y, weights, float(np.var(y)), engine_search(calls))
    assert calls and max(calls) <= 2  # never the whole problem again
    best = min(candidates, key=lambda c: c["nmse"])
    assert best["nmse"] < 1e-20
    np.testing.assert_allclose(values(best["program"], best["constants"], x), y, rtol=1e-9)


# ---- a law only the split finds -------------------------------------------------------------

LAWS = {
    "sum": lambda a, b, c, d, e, f: a * b + np.sin(c) + d**2 / e + np.exp(f),
    "product": lambda a, b, c, d, e, f: (a + b) * (2 + np.sin(c) * d) * (e + np.exp(-f)),
}


@pytest.mark.slow
@whole_searches
@pytest.mark.parametrize("name", sorted(LAWS))
def test_separable_law_found_only_through_its_parts(name):
    law, x = LAWS[name], rows([(1, 3)] * 6, seed=5)
    y = law(*x)
    plain = _native.discover(x, y, _options.engine_options(_options.defaults()), None, None, None, None)
    assert min(e["nmse"] for e in plain["front"]) > 1e-20, "the plain search finds this law: pick another"
    best = discover(np.ascontiguousarray(x.T), y).best
    fresh = rows([(1, 3)] * 6, n=400, seed=6)
    assert best.nmse < 1e-20
    np.testing.assert_allclose(best.predict(fresh.T), law(*fresh), rtol=1e-9)
