"""Exports of a formula's postfix program: text, Python source, NumPy, SymPy and LaTeX.

An independent row-by-row interpreter of the program states the engine's semantics; the
Python export must match it bit for bit, the NumPy and SymPy exports numerically."""

import ast
import math
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zan_math
from zan_math import _export, zan_core

NAN = math.nan
UNARY = ["neg", "inv", "exp", "ln", "sqrt", "sin", "cos", "abs", "square"]
BINARY = ["zan", "add", "sub", "mul", "div"]


def _exp(a):
    try:
        return math.exp(a)
    except OverflowError:
        return math.inf


def _zan(a, b):
    e = math.exp(math.log(a)) if a > 709.78 else _exp(a)
    g = b if b > 0 or math.isnan(b) else (abs(b) if abs(b) > 1e-300 else 1e-300)
    return e - math.log(g)


REFERENCE = {
    "neg": lambda a: -a,
    "inv": lambda a: NAN if abs(a) < 1e-300 else 1.0 / a,
    "exp": _exp,
    "ln": lambda a: NAN if a <= 0 else math.log(a),
    "sqrt": lambda a: NAN if a < 0 else math.sqrt(a),
    "sin": math.sin,
    "cos": math.cos,
    "abs": abs,
    "square": lambda a: a * a,
    "zan": _zan,
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "div": lambda a, b: NAN if abs(b) < 1e-300 else a / b,
}


def reference(program, constants, row):
    """The program on one row of finite floats: every non-finite result is NaN (no value)."""
    stack = []
    for kind, value in program:
        if kind == "var":
            stack.append(float(row[value]))
        elif kind in ("const", "param"):
            stack.append(float(value if kind == "const" else constants[value]))
        else:
            args = [stack.pop()] if value in UNARY else [stack.pop(-2), stack.pop()]
            result = NAN if any(math.isnan(a) for a in args) else REFERENCE[value](*args)
            stack.append(result if math.isfinite(result) else NAN)
    (result,) = stack
    return result


def bits(v):
    return "nan" if math.isnan(v) else struct.pack("<d", v)


def python_function(program, constants, names):
    namespace = {}
    exec(_export.to_python(program, constants, names), namespace)  # noqa: S102 - our own output
    return namespace["formula"]


def assert_close(actual, expected, rtol=1e-9):
    actual, expected = np.asarray(actual, dtype=float), np.asarray(expected, dtype=float)
    assert np.array_equal(np.isnan(actual), np.isnan(expected)), (actual, expected)
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=0)


def P(*tokens):
    """Program from a compact form: ints are variables, floats constants, 'pK' params, else ops."""
    out = []
    for t in tokens:
        if isinstance(t, int):
            out.append(("var", t))
        elif isinstance(t, float):
            out.append(("const", t))
        elif t.startswith("p") and t[1:].isdigit():
            out.append(("param", int(t[1:])))
        else:
            out.append(("op", t))
    return tuple(out)


KINETIC = (P("p0", 0, "mul", 1, "square", "mul"), (0.5,), ("m", "v"))
KINETIC_X = np.array([[1, 1], [2, 1], [2, 2], [3, 2], [1, 3], [4, 3], [5, 1]], dtype=float)
GAUSS = (P(0, "square", "p0", "mul", "exp", "p1", "mul"), (-0.5, 0.3989422804014327), ("theta",))
EVERY_OPERATOR = (
    P(0, 1, "zan", 0, "ln", 1, "sqrt", "div", "add", 0, "neg", "abs", "sin", 1, "inv", "cos", "mul", "sub"),
    (),
    ("lambda", "N"),
)
rng = np.random.default_rng(7)
POSITIVE_X = rng.uniform(0.1, 5.0, size=(40, 2))
# Rows on which the guards act: ln and sqrt of non-positive values, a zero divisor, zan's
# reflected and floored logarithm, and its exponential past 709.78.
GUARDED_X = np.array([[1.0, -2.0], [0.5, 0.0], [-3.0, 3.0], [800.0, 2.0], [2.0, 1e-310], [4.0, -0.0], [0.25, 9.0]])


# ---- the Python export is the engine's computation -----------------------------------------


@pytest.mark.parametrize(
    "formula, X",
    [(KINETIC, KINETIC_X), (GAUSS, POSITIVE_X[:, :1]), (EVERY_OPERATOR, POSITIVE_X), (EVERY_OPERATOR, GUARDED_X)],
)
def test_python_numpy_and_sympy_agree_with_the_semantics(formula, X):
    program, constants, names = formula
    expected = [reference(program, constants, row) for row in X]
    f = python_function(program, constants, names)
    assert [bits(f(*map(float, row))) for row in X] == [bits(v) for v in expected]
    with np.errstate(all="ignore"):
        assert_close(_export.to_numpy(program, constants, names)(X), expected)
    sp = pytest.importorskip("sympy")
    expr = _export.to_sympy(program, constants, names, X)
    symbols = [sp.Symbol(n) for n in _export.sympy_names(names)]
    with np.errstate(all="ignore"):
        assert_close(sp.lambdify(symbols, expr, "numpy")(*X.T) * np.ones(len(X)), expected)


def test_sympy_is_plain_where_the_data_keep_the_guards_idle():
    sp = pytest.importorskip("sympy")
    m, v, theta = sp.symbols("m v theta")
    assert _export.to_sympy(*KINETIC, KINETIC_X) == m * v**2 / 2
    assert _export.to_sympy(*GAUSS, POSITIVE_X[:, :1]) == sp.exp(-(theta**2) / 2) / sp.sqrt(2 * sp.pi)
    lam, n = sp.symbols("lambda_ N_")
    plain = _export.to_sympy(*EVERY_OPERATOR, POSITIVE_X)
    assert plain == sp.exp(lam) - sp.log(n) + sp.log(lam) / sp.sqrt(n) - sp.sin(sp.Abs(lam)) * sp.cos(1 / n)
    guarded = _export.to_sympy(*EVERY_OPERATOR, GUARDED_X)
    assert isinstance(guarded, sp.Piecewise) and guarded.args[-1] == (sp.nan, True)


def test_zan_reflects_a_negative_argument_without_a_piecewise_when_it_can():
    sp = pytest.importorskip("sympy")
    a, b = sp.symbols("a b")
    program = P(0, 1, "zan")
    assert _export.to_sympy(program, (), "ab", np.array([[1.0, -2.0], [0.0, 3.0]])) == sp.exp(a) - sp.log(sp.Abs(b))
    assert _export.to_sympy(program, (), "ab") == sp.exp(a) - sp.log(b)


def test_zan_helper_matches_the_native_operator():
    values = [0.0, -0.0, 1.0, -5.0, 1e-310, -1e-310, 1e-300, -1e-300, 709.78, 709.79, 710.0, 1000.0, -1000.0, NAN]
    pairs = [(a, b) for a in values for b in values]
    native = zan_core.tension_n([a for a, _ in pairs], [b for _, b in pairs])
    f = python_function(P(0, 1, "zan"), (), ("a", "b"))
    for (a, b), expected in zip(pairs, native):
        assert bits(f(a, b)) == bits(expected if math.isfinite(expected) else NAN), (a, b)
    with np.errstate(all="ignore"):
        columns = np.array(pairs)
        assert_close(_export.to_numpy(P(0, 1, "zan"), (), ("a", "b"))(columns), [f(a, b) for a, b in pairs], 1e-15)


# ---- random programs ----------------------------------------------------------------------

LEAF = st.one_of(
    st.integers(0, 2).map(lambda i: (("var", i),)),
    st.sampled_from([0.5, 2.0, -1.5, 3.0, 1e-301, 0.0]).map(lambda v: (("const", v),)),
)


def _grow(children, unary=UNARY, binary=BINARY):
    return st.one_of(
        st.tuples(children, st.sampled_from(unary)).map(lambda t: t[0] + (("op", t[1]),)),
        st.tuples(children, children, st.sampled_from(binary)).map(lambda t: t[0] + t[1] + (("op", t[2]),)),
    )


PROGRAMS = st.recursive(LEAF, _grow, max_leaves=8)
ALGEBRAIC = st.recursive(
    LEAF, lambda c: _grow(c, ["neg", "inv", "sqrt", "abs", "square"], ["add", "sub", "mul", "div"]), max_leaves=8
)
VALUE = st.one_of(
    st.floats(-1e3, 1e3),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e-310, 1e-300, 1e200, -1e200, 1e300, 709.78, 710.0]),
)
ROWS = st.lists(st.tuples(VALUE, VALUE, VALUE), min_size=1, max_size=6)
SETTINGS = settings(max_examples=300, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(PROGRAMS, ROWS)
def test_python_export_is_bit_exact(program, rows):
    f = python_function(program, (), ("x", "y", "z"))
    assert [bits(f(*row)) for row in rows] == [bits(reference(program, (), row)) for row in rows]


@SETTINGS
@given(ALGEBRAIC, ROWS)
def test_numpy_export_is_bit_exact_on_correctly_rounded_operators(program, rows):
    with np.errstate(all="ignore"):
        got = _export.to_numpy(program, (), ("x", "y", "z"))(np.array(rows))
    assert [bits(v) for v in got] == [bits(reference(program, (), row)) for row in rows]


# Uninterpreted stand-ins for the functions, exact on fractions: text and tree must agree on
# every grouping for these to give equal values.
FUNCTIONS = {
    "exp": lambda a: 3 * a + 1,
    "log": lambda a: 5 * a - 2,
    "sqrt": lambda a: a * a + 7,
    "sin": lambda a: 2 - a,
    "cos": lambda a: a / 3 + 4,
    "abs": lambda a: 11 * a,
    "zan": lambda a, b: 13 * a - b,
}
EXACT = {
    "neg": lambda a: -a,
    "inv": lambda a: 1 / a,
    "square": lambda a: a * a,
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "div": lambda a, b: a / b,
    "ln": FUNCTIONS["log"],
    **{k: v for k, v in FUNCTIONS.items() if k != "log"},
}


def exact_value(program, row):
    stack = []
    for kind, value in program:
        if kind == "var":
            stack.append(row[value])
        elif kind == "const":
            stack.append(Fraction(value))
        else:
            args = [stack.pop()] if value in UNARY else [stack.pop(-2), stack.pop()]
            stack.append(EXACT[value](*args))
    return stack[0]


@SETTINGS
@given(PROGRAMS)
def test_text_groups_like_the_program(program):
    program = tuple(t for t in program if t != ("const", 1e-301))  # not exact in 10 digits
    if not program or sum(1 if k != "op" else (-1 if v in BINARY else 0) for k, v in program) != 1:
        return
    text = _export.to_text(program, (), ("x", "y", "z"))
    row = {"x": Fraction(3, 7), "y": Fraction(-5, 11), "z": Fraction(13, 17)}
    try:
        expected = exact_value(program, [row["x"], row["y"], row["z"]])
    except ZeroDivisionError:
        return
    tree = ast.parse(text, mode="eval")
    assert {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)} <= set(row) | set(FUNCTIONS)
    constants = {n.value for n in ast.walk(tree) if isinstance(n, ast.Constant)}
    namespace = {**FUNCTIONS, **row}
    source = ast.unparse(_fractions(tree)) if constants else text
    assert eval(source, {"Fraction": Fraction, **namespace}) == expected  # noqa: S307 - our own output


def _fractions(tree):
    class ToFraction(ast.NodeTransformer):
        def visit_Constant(self, node):
            return ast.Call(ast.Name("Fraction", ast.Load()), [ast.Constant(repr(node.value))], [])

    return ast.fix_missing_locations(ToFraction().visit(tree))


@pytest.mark.parametrize(
    "program, text",
    [
        (KINETIC[0], "0.5*m*v**2"),
        (P(0, 1, 2, "sub", "sub"), "m - (v - w)"),
        (P(0, 1, 2, "add", "sub"), "m - (v + w)"),
        (P(0, 1, 2, "sub", "add"), "m + v - w"),
        (P(0, 1, 2, "mul", "mul"), "m*v*w"),
        (P(0, 1, 2, "mul", "div"), "m/(v*w)"),
        (P(0, 1, 2, "div", "mul"), "m*v/w"),
        (P(0, 1, "add", "neg"), "-(m + v)"),
        (P(0, 1, "mul", "neg"), "-m*v"),
        (P(0, 1, "neg", "mul"), "m*(-v)"),
        (P(0, "neg", "neg"), "-(-m)"),
        (P(0, "neg", "square"), "(-m)**2"),
        (P(0, "square", "neg"), "-m**2"),
        (P(0, "square", "square"), "(m**2)**2"),
        (P(0, 1, "add", "inv"), "1/(m + v)"),
        (P(0, 1, "zan", 0, "ln", "sqrt", "div"), "zan(m, v)/sqrt(log(m))"),
        (P(-2.5, 0, "mul", 0.3989422804014327, "add"), "-2.5*m + 0.3989422804"),
        (P(0, -2.5, "sub"), "m - (-2.5)"),
        # coefficients first, and a negative term subtracted
        (P(0, 1, "sqrt", "mul", "p0", "mul"), "0.5*m*sqrt(v)"),
        (P(0, 1, "div", -2.5, "mul", 2, "add"), "-2.5*m/v + w"),
        (P(0, 1, -2.5, "mul", "add"), "m - 2.5*v"),
        (P(0, -2.5, "add"), "m - 2.5"),
        (P(0, 1, "inv", "mul", "inv"), "1/(m/v)"),
        (P(0, "inv", 1, "div", "p0", "mul"), "0.5/(m*v)"),
        (P(0, 1, "square", 2, "div", "div"), "m*w/v**2"),
        (P(0, 1, 1, "add", "sub"), "m - 2*v"),
        (P(0, 1, 2, "add", "neg", "add"), "m - (v + w)"),
    ],
)
def test_text_form(program, text):
    assert _export.to_text(program, (0.5,), ("m", "v", "w")) == text


@pytest.mark.parametrize(
    "program, expected",
    [
        (P(0, 1, 2, "mul", "mul"), "m*(v*w)"),  # a*(b*c) is not (a*b)*c in floating point
        (P(0, 1, "add", 2, "add"), "m + v + w"),
        (P(1, "square"), "v*v"),  # v**2 calls pow(), which can differ from v*v in the last bit
        (P(0, "square", "square"), "_sq(m*m)"),
        (P(0, 1, "neg", "mul", "neg"), "-m*(-v)"),  # (-m)*(-v) is -(m*(-v)) exactly
    ],
)
def test_python_keeps_the_evaluation_order(program, expected):
    source = _export.to_python(program, (), ("m", "v", "w"))
    assert f"    _value = {expected}\n" in source


# ---- names ----------------------------------------------------------------------------------

HOSTILE = [
    "__import__('os').system('echo pwned')",
    "mass (kg)",
    "lambda",
    "N",
    "E",
    "x_1",
    "x_11",
    "x",
    "x",
    "",
    "2theta",
    "\ufb01",  # the ligature fi, which Python reads as "fi"
    "fi",
    'a"""\nimport os',
    "math",
    "_div",
    "θ",
]


def test_identifiers_are_safe_distinct_and_close_to_the_names():
    ids = _export.identifiers(HOSTILE)
    assert len(set(ids)) == len(ids)
    for ident in ids:
        assert ident.isidentifier() and ident not in _export.PYTHON_RESERVED
    assert ids[1] == "mass_kg" and ids[2] == "lambda_" and ids[3] == "N" and ids[5:8] == ("x_1", "x_11", "x")
    assert ids[16] == "θ"
    # a name that is an identifier is never given to another column
    assert _export.identifiers(["a b", "a_b"]) == ("a_b_2", "a_b")


def test_latex_names_keep_every_variable_visible_and_apart_from_the_constants():
    assert _export.latex_names(("_", "_x", "pi", "x_1", "theta", "lambda_")) == (
        "\\mathrm{\\_}", "\\mathrm{\\_x}", "\\mathrm{pi}", "x_{1}", "\\theta", "\\lambda")


def test_hostile_names_never_become_code(monkeypatch):
    import os

    monkeypatch.setattr(os, "system", lambda *a: pytest.fail("a column name ran"))
    n = len(HOSTILE)
    program = tuple(t for i in range(n) for t in (("var", i),)) + (("op", "sub"),) * (n - 1)
    source = _export.to_python(program, (), HOSTILE, name="print('x')")
    tree = ast.parse(source)
    called = {ast.unparse(c.func) for c in ast.walk(tree) if isinstance(c, ast.Call)}
    assert called <= {"math.isfinite", "math.log", "math.exp", "max", "abs", "math.isnan"}
    namespace = {}
    exec(compile(tree, "<export>", "exec"), namespace)  # noqa: S102 - our own output
    (function,) = [v for k, v in namespace.items() if callable(v) and not k.startswith("_")]
    assert function(*[float(2**i) for i in range(n)]) == reference(program, (), [float(2**i) for i in range(n)])


def test_x_1_and_x_11_stay_apart():
    program = P(0, 1, "sub")
    f = python_function(program, (), ("x_1", "x_11"))
    assert f(1.0, 10.0) == -9.0
    assert _export.to_text(program, (), ("x_1", "x_11")) == "x_1 - x_11"
    sp = pytest.importorskip("sympy")
    assert str(_export.to_sympy(program, (), ("x_1", "x_11"))) == "x_1 - x_11"
    assert "x_{1} - x_{11}" in _export.to_latex(program, (), ("x_1", "x_11"))


def test_sympy_output_parses_back_with_the_same_symbols():
    sp = pytest.importorskip("sympy")
    names = ("N", "E", "I", "S", "Q", "beta", "lambda", "mass (kg)", "x_1", "x_11")
    program = P(0, 1, "mul", 2, "add", 3, "mul", 4, "sub", 5, 6, "zan", "add", 7, "mul", 8, 9, "div", "add")
    X = rng.uniform(0.5, 2.0, size=(5, 10))
    expr = _export.to_sympy(program, (), names, X)
    back = sp.parse_expr(str(expr))
    assert {s.name for s in back.free_symbols} == {s.name for s in expr.free_symbols}
    assert len(expr.free_symbols) == 10
    symbols = [sp.Symbol(n) for n in _export.sympy_names(names)]
    assert_close(sp.lambdify(symbols, back)(*X.T), [reference(program, (), row) for row in X])


@pytest.mark.parametrize(
    "value, exact",
    [
        (0.5, "1/2"),
        (1.5, "3/2"),
        (-3.0, "-3"),
        (math.pi / 2, "pi/2"),
        (0.3989422804014327, "sqrt(2)/(2*sqrt(pi))"),
        (2 * math.e, "2*E"),
        (math.sqrt(2) / 3, "sqrt(2)/3"),
        (0.123456789, None),
        (0.5 + 1e-12, None),
    ],
)
def test_snapped_constants_become_exact(value, exact):
    sp = pytest.importorskip("sympy")
    got = _export.to_sympy(P("p0"), (value,), ())
    assert str(got) == exact if exact else isinstance(got, sp.Float) and float(got) == value


def test_without_sympy_latex_has_its_own_printer_and_sympy_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "sympy", None)
    assert _export.to_latex(*KINETIC) == "0.5 m v^{2}"
    assert _export.to_latex(*GAUSS) == "0.3989422804 \\exp{\\left(-0.5 \\theta^{2}\\right)}"
    assert _export.to_latex(P(0, 1, "square", 2, "div", "div"), (), ("m", "v", "w")) == "\\frac{m w}{v^{2}}"
    with pytest.raises(ImportError, match=r"pip install 'zan_math\[sympy\]'"):
        _export.to_sympy(*KINETIC)


@pytest.mark.parametrize(
    "program, message",
    [
        ((("var", 2),), "not one of the 2 variables"),
        ((("param", 0),), "not one of the 0 constants"),
        ((("op", "pow"),), "unknown operator"),
        ((("var", 0), ("op", "add")), "needs 2 operands"),
        ((("var", 0), ("var", 1)), "leaves 2 values"),
        ((("lit", 1.0),), "unknown token kind"),
        (((),), r"not a \(kind, value\) pair"),
    ],
)
def test_malformed_programs_are_refused(program, message):
    with pytest.raises(ValueError, match=message):
        _export.to_text(program, (), ("a", "b"))


def test_numpy_callable_reads_dataframes_by_name_and_one_dimensional_input():
    f = _export.to_numpy(*KINETIC)
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"v": [3.0, 1.0], "unused": [0.0, 0.0], "m": [1.0, 4.0]})
    assert f(frame).tolist() == [4.5, 2.0]
    with pytest.raises(ValueError, match="no column named 'm'"):  # never the wrong columns by position
        f(frame.rename(columns={"m": "mass"})[["mass", "v"]])
    with pytest.raises(ValueError, match="rows of 2 variable"):
        f(np.ones(3))
    assert _export.to_numpy(P(0, "square"), (), ("x",))([1.0, 2.0]).tolist() == [1.0, 4.0]


@pytest.mark.skipif(not hasattr(zan_math, "discover"), reason="needs the discovery engine")
def test_exports_reproduce_the_engines_prediction():
    result = zan_math.discover(KINETIC_X, 0.5 * KINETIC_X[:, 0] * KINETIC_X[:, 1] ** 2, names=["m", "v"])
    X = np.vstack([KINETIC_X, rng.uniform(-3, 3, size=(20, 2))])
    sp = pytest.importorskip("sympy")
    for formula in result.front:
        predicted = formula.predict(X)
        namespace = {}
        exec(formula.to_python("law"), namespace)  # noqa: S102 - our own output
        assert [bits(namespace["law"](*map(float, row))) for row in X] == [bits(v) for v in predicted]
        with np.errstate(all="ignore"):
            assert_close(formula.to_numpy()(X), predicted)
            symbols = [sp.Symbol(n) for n in _export.sympy_names(formula.names)]
            value = sp.lambdify(symbols, formula.sympy(), "numpy")(*X.T) * np.ones(len(X))
            # Formula.sympy() knows no data, so it writes the guards out; compare where defined.
            defined = np.isfinite(predicted)
            assert_close(value[defined], predicted[defined])
        assert formula.latex()
    assert result.best.sympy() == sp.Rational(1, 2) * sp.Symbol("m") * sp.Symbol("v") ** 2


# ---- every row of the operator table, in every export ----------------------------------------

from zan_math import _native, _operators  # noqa: E402

ROWS = list(_operators.operators().values())
# Operand values across every guard and edge: the domain bounds of ln, sqrt and the inverse
# sines, a divisor below the floor, zan's slipped exponential, overflow of exp, sinh, cosh.
EDGE_VALUES = [-800.0, -2.0, -1.0, -0.6, -1e-301, -0.0, 0.0, 1e-301, 0.3, 1.0, 1.0000000000000002, 2.5, 720.0]


def _operand_rows(row):
    values = np.array(EDGE_VALUES)
    if row.arity == 1:
        return values.reshape(-1, 1)
    a, b = np.meshgrid(values, values)
    return np.column_stack([a.ravel(), b.ravel()])


def _engine_values(program, X):
    out = np.empty(X.shape[0])
    _native.predict(program, (), np.ascontiguousarray(X.T), out)
    return out


def _single(row):
    return P(*range(row.arity), row.name), ("a", "b")[: row.arity]


@pytest.mark.parametrize("row", ROWS, ids=lambda r: r.name)
def test_each_operators_python_export_is_the_engines_value(row):
    program, names = _single(row)
    X = _operand_rows(row)
    f = python_function(program, (), names)
    assert [bits(f(*map(float, x))) for x in X] == [bits(v) for v in _engine_values(program, X)]
    # an operand that overflowed has no value, whatever the operator would make of an infinity
    # (atan and tanh are finite there)
    overflowed = P(0, "square", *range(1, row.arity), row.name)
    X = np.vstack([X, np.full((1, row.arity), 1e200)])
    f = python_function(overflowed, (), names)
    assert [bits(f(*map(float, x))) for x in X] == [bits(v) for v in _engine_values(overflowed, X)]


@pytest.mark.parametrize(
    "program, needle",
    [(P(0, "p3", "mul"), "token 1: constant 3 is not one of the 1 constants"),
     ((("param", -1),), "token 0: a param index must not be negative")],
)
def test_a_program_reading_past_its_constants_or_variables_is_refused(program, needle):
    X = np.ones((1, 2))
    with pytest.raises(ValueError, match=needle):
        _native.predict(program, (2.5,), X, np.empty(2))
    with pytest.raises(ValueError, match=needle):
        _native.admit(program, (2.5,), [0.0], [1.0], 10.0)


@pytest.mark.parametrize("row", ROWS, ids=lambda r: r.name)
def test_each_operators_numpy_export_has_the_engines_values(row):
    program, names = _single(row)
    X = _operand_rows(row)
    assert_close(_export.to_numpy(program, (), names)(X), _engine_values(program, X), rtol=1e-14)


@pytest.mark.parametrize("row", ROWS, ids=lambda r: r.name)
def test_each_operators_guard_says_where_the_engine_has_a_value(row):
    program, _ = _single(row)
    X = _operand_rows(row)
    engine = _engine_values(program, X)
    if not row.guard:
        # a total operator has no value only where its plain value overflows
        with np.errstate(all="ignore"):
            plain = _export._NUMPY_KERNELS[row.name](*X.T)
        assert np.array_equal(np.isnan(engine), ~np.isfinite(plain))
        return
    assert [not math.isnan(v) for v in engine] == _guard_passes(row, X)


def _guard_passes(row, X):
    return [bool(_operators.evaluate(row.guard, {"abs": abs, **dict(zip("ab", x))})) for x in X]


@pytest.mark.parametrize("row", [r for r in ROWS if r.name != "zan"], ids=lambda r: r.name)
def test_each_operators_sympy_and_text_exports_are_the_same_function(row):
    sp = pytest.importorskip("sympy")
    program, names = _single(row)
    X = _operand_rows(row)
    engine = _engine_values(program, X)
    symbols = [sp.Symbol(n) for n in names]
    # the guard acts on these rows: the expression is a Piecewise that is NaN where it fails
    expr = _export.to_sympy(program, (), names, X)
    assert (row.guard != "") == isinstance(expr, sp.Piecewise)
    with np.errstate(all="ignore"):
        got = np.asarray(sp.lambdify(symbols, expr, "numpy")(*X.T), dtype=float) * np.ones(len(X))
    finite = np.isfinite(engine)
    assert_close(got[finite], engine[finite], rtol=1e-12)
    if row.guard:
        assert np.isnan(got[~np.array(_guard_passes(row, X))]).all()
    # the readable text reads back, through SymPy's parser, as the same function
    text = _export.to_text(program, (), names)
    back = sp.parse_expr(text, local_dict={"log": sp.log, "abs": sp.Abs, **{n: s for n, s in zip(names, symbols)}})
    with np.errstate(all="ignore"):
        again = np.asarray(sp.lambdify(symbols, back, "numpy")(*X[finite].T), dtype=float) * np.ones(finite.sum())
    assert_close(again, engine[finite], rtol=1e-12)


@pytest.mark.parametrize("row", ROWS, ids=lambda r: r.name)
def test_each_operators_latex_is_its_own_and_sympys(row):
    sp = pytest.importorskip("sympy")
    program, names = _single(row)
    nested = P(*range(row.arity), row.name, 0, "add")
    for prog in (program, nested):
        own = _export.to_latex(prog, (), names, sympy=False)
        assert own.count("{") == own.count("}") and own.count("\\left") == own.count("\\right")
        assert "$" not in own and _export.to_latex(prog, (), names, sympy=True)


@pytest.mark.parametrize(
    "value, exact",
    [(math.pi**2 / 4, "pi**2/4"), (11 * math.pi / 2, "11*pi/2"), (3 / math.pi**2, "3/pi**2"),
     # beyond the largest double once times pi: no snapped form, the double's own value
     (8e307, "8.00000000000000e+307")],
)
def test_every_value_the_engine_snaps_to_becomes_exact(value, exact):
    pytest.importorskip("sympy")
    assert str(_export.to_sympy(P("p0"), (value,), ())) == exact


def test_python_export_of_an_overflowing_or_out_of_domain_call_is_nan():
    f = python_function(P(0, "sinh", 1, "asin", "add"), (), ("a", "b"))
    assert math.isnan(f(800.0, 0.5)) and math.isnan(f(1.0, 2.0)) and f(0.0, 1.0) == math.asin(1.0)
    assert "except (OverflowError, ValueError):" in _export.to_python(P(0, "sinh", 1, "asin", "add"), (), "ab")
