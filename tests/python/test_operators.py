"""The engine's operator set as an option: chosen by name, the old switches mapped onto it."""

import numpy as np
import pytest

from zan_math import _export, _native, _operators, discover

rng = np.random.default_rng(11)
X = np.vstack([rng.uniform(-1.0, 1.0, 200), rng.uniform(1.0, 2.0, 200)])  # |x0 / x1| < 1
FAST = {"max_complexity": 12, "search_size": 6}


def _discover(y, options):
    result = discover(X.T, y, progress=False, **FAST, **options)
    assert not result.interrupted
    return result.front, result.best


def _exact_with(front, name):
    return [f for f in front if ("op", name) in f.program and f.nmse < 1e-20]


def test_a_chosen_operator_finds_a_law_the_default_set_cannot_state():
    y = 2.0 * np.arcsin(X[0] / X[1])
    front, best = _discover(y, {"operators": ["add", "sub", "mul", "div", "asin"]})
    assert _exact_with(front, "asin") and best.nmse < 1e-20
    # the default set has no asin: the law is not among its exact fits
    default_front, _ = _discover(y, {})
    assert not any(("op", "asin") in f.program for f in default_front)


@pytest.mark.parametrize("name", [r.name for r in _operators.operators().values() if not r.default and r.arity == 1])
def test_every_optional_unary_operator_can_be_chosen(name):
    y = _export._NUMPY_KERNELS[name](X[0] / X[1]) + X[1]
    front, _ = _discover(y, {"operators": ["add", "div", name]})
    # a sign is absorbed by the fitted coefficient: neg is never needed
    assert _exact_with(front, name) or (name == "neg" and min(f.nmse for f in front) < 1e-20)


def test_the_old_switches_still_pick_the_operators():
    y = np.sin(X[0]) * X[1]
    no_trig, _ = _discover(y, {"use_trig": False})
    assert not any(("op", "sin") in f.program or ("op", "cos") in f.program for f in no_trig)
    assert _discover(y, {"use_trig": True})[0] == _discover(y, {})[0]
    names = [r.name for r in _operators.operators().values() if r.default]
    assert _discover(y, {"operators": names})[0] == _discover(y, {})[0]


@pytest.mark.parametrize("operators", [["add", "sub", "mul", "div"], ["add", "mul", "sqrt"], ["-sqrt", "-ln"], ["-exp"]])
@pytest.mark.parametrize(
    "law", [lambda x: x[0] * np.sqrt(x[1]), lambda x: np.log(x[1]) + x[0], lambda x: np.exp(-x[1]) * x[0]],
    ids=["sqrt", "ln", "exp"],
)
def test_no_formula_takes_a_function_left_out_of_the_set(operators, law):
    # every way to a formula keeps to the set: the level search, sums, transformed targets, and
    # the package's own additions to the front
    functions = {"exp", "ln", "sqrt", "sin", "cos"}
    allowed = functions - {o[1:] for o in operators} if operators[0][0] == "-" else set(operators)
    front, _ = _discover(law(X), {"operators": operators})
    assert {v for f in front for kind, v in f.program if kind == "op" and v in functions} <= allowed


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"operators": ["add", "pow"]}, ValueError, r"unknown operator 'pow'; the operators are neg, inv, .*, cosh"),
        ({"operators": "asin"}, TypeError, "list or tuple of operator names"),
        ({"operators": ["add", 3]}, TypeError, "list or tuple of operator names"),
        ({"operators": ["add"], "use_trig": True}, ValueError, "not both"),
        ({"use_zan": True, "operators": ["add"]}, ValueError, "not both"),
    ],
)
def test_a_wrong_operator_set_is_refused(options, error, message):
    with pytest.raises(error, match=message):
        _native.discover(np.ascontiguousarray(X), np.ascontiguousarray(X[0]), options)


def test_an_empty_operator_set_still_fits_sums_of_the_variables():
    front, best = _discover(3.0 * X[0] - X[1], {"operators": []})
    assert best.nmse < 1e-20


@pytest.mark.parametrize("row", [r for r in _operators.operators().values() if r.arity == 1], ids=lambda r: r.name)
def test_an_operator_is_periodic_exactly_where_its_row_gives_a_period(row):
    x = np.linspace(0.1, 0.9, 9)
    shift = row.period if row.period > 0 else 2 * np.pi  # no function of the table turns with 2π but those two
    program = (("var", 0), ("op", row.name))
    values, shifted = np.empty(9), np.empty(9)
    _native.predict(program, (), np.ascontiguousarray(x[None, :]), values)
    _native.predict(program, (), np.ascontiguousarray(x[None, :] + shift), shifted)
    assert np.allclose(values, shifted, rtol=1e-12, atol=1e-12) == (row.period > 0)
