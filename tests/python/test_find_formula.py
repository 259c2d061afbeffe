"""find_formula and PySearchResult as Python sees them."""

import math

import numpy as np
import pytest

from conftest import run_python
from zan_math import zan_core as z

SIGNATURE = (
    "(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, "
    "use_trig=True, use_zan=True, complexity_penalty=0.001)"
)


def test_signature_and_docstring():
    assert z.find_formula.__text_signature__ == SIGNATURE
    assert z.find_formula.__doc__ == (
        "Find a formula fitting x_data → y_data.\n"
        "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
        "y_data: target values (1D list)."
    )
    assert z.PySearchResult.__doc__ == "Python-facing formula discovery result."
    assert z.PySearchResult.__module__ == "zan_core"
    assert z.PySearchResult.to_latex.__text_signature__ == "($self)"


@pytest.mark.parametrize(
    "x, y, formula, complexity",
    [
        ([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], "(x + x)", 3),
        ([[1, 2, 3]], [1, 1, 1], "1.0000", 1),
        ([[1, 2, 3]], [1, 2, 3], "x", 1),
        ([[0.0, 1.0, 2.0]], [math.exp(0.0), math.exp(1.0), math.exp(2.0)], "exp(x)", 2),
        ([[1.0, 2.0, 3.0], [5.0, 7.0, 11.0]], [6.0, 9.0, 14.0], "(y + x)", 3),
        # order-sensitive joins are generated both ways
        ([[1.0, 2.0, 3.0], [5.0, 7.0, 11.0]], [math.e - math.log(5), math.exp(2) - math.log(7), math.exp(3) - math.log(11)], "zan(x, y)", 3),
        ([[1.0, 2.0, 3.0], [5.0, 7.0, 11.0]], [math.exp(5) - math.log(1), math.exp(7) - math.log(2), math.exp(11) - math.log(3)], "zan(y, x)", 3),
    ],
)
def test_exact_fits(x, y, formula, complexity):
    r = z.find_formula(x, y)
    assert (r.formula, r.error, r.complexity, r.params) == (formula, 0.0, complexity, [])


def test_result_object():
    r = z.find_formula([[1, 2, 3]], [1, 1, 1])
    assert repr(r) == str(r) == "SearchResult(formula='1.0000', error=0.00e0, complexity=1)"
    assert r.params is not r.params and r.formula == r.formula
    for name in ("formula", "error", "complexity", "params"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    with pytest.raises(TypeError, match="^No constructor defined for PySearchResult$"):
        z.PySearchResult()
    with pytest.raises(TypeError, match="^No constructor defined for PySearchResult$"):
        z.PySearchResult("x", 1.0)
    with pytest.raises(TypeError):

        class Sub(z.PySearchResult):
            pass

    assert not hasattr(r, "__dict__")


def test_renderings():
    r = z.find_formula([[0.0, 1.0, 2.0]], [math.exp(0.0), math.exp(1.0), math.exp(2.0)])
    assert r.to_latex() == "\\exp(x)"
    assert r.to_python() == "import math\nf = lambda x: math.exp(x)"


def test_error_is_the_penalised_error():
    xs = [1.0, 2.0, 3.0]
    r = z.find_formula([xs], [1.5, 1.5, 1.5], max_complexity=1)
    rmse = math.sqrt(((1.0 - 1.5) ** 2 + (1.0 - 1.5) ** 2 + (1.0 - 1.5) ** 2) / 3)
    assert r.formula == "1.0000" and r.error == rmse * (1 * 0.001 + 1.0)
    assert repr(r) == "SearchResult(formula='1.0000', error=5.00e-1, complexity=1)"


@pytest.mark.parametrize("mc", [0, 1])
def test_tiny_budgets_score_only_leaves(mc):
    r = z.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], max_complexity=mc)
    assert r.complexity == 1 and r.formula == "x"


def test_budget_two_allows_unary_extensions_only():
    r = z.find_formula([[1.0, 2.0, 3.0]], [-1.0, -2.0, -3.0], max_complexity=2)
    assert r.formula == "(-x)" and r.error == 0.0


@pytest.mark.parametrize("bw", [0, 3])
def test_narrow_beam(bw):
    r = z.find_formula([[1.0, 2.0, 3.0]], [0.3, -7.0, 11.0], max_complexity=8, beam_width=bw)
    assert r is not None and r.complexity <= 3


def test_unary_extension_can_exceed_the_budget():
    x = [0.5, 1.5, 2.5, 3.5]
    y = [math.exp(v + v) for v in x]
    r = z.find_formula([x], y, max_complexity=3, use_trig=False, use_zan=False)
    assert (r.formula, r.complexity, r.error) == ("exp((x + x))", 4, 0.0)


def test_no_targets_gives_nan_error_and_first_leaf():
    r = z.find_formula([[1.0, 2.0]], [])
    assert r.formula == "0.0000" and math.isnan(r.error)
    assert repr(r) == "SearchResult(formula='0.0000', error=NaN, complexity=1)"


def test_zero_length_columns():
    r = z.find_formula([[]], [1.0, 2.0])
    assert r.formula == "0.0000" and r.error == 0.0 and math.copysign(1, r.error) == -1


def test_more_targets_than_rows_divides_by_targets():
    r = z.find_formula([[1.0]], [1.0, 5.0], max_complexity=1)
    assert r.formula == "1.0000" and r.error == math.sqrt(0.0 / 2) * 1.001
    r = z.find_formula([[3.0]], [2.0, 5.0], max_complexity=1)
    assert r.formula == "1.0000" and r.error == math.sqrt(1.0 / 2) * 1.001


def test_numpy_inputs_and_flags():
    x = np.linspace(0.1, 2.0, 20)
    r = z.find_formula([x], np.sqrt(x), use_trig=np.bool_(False), use_zan=np.True_)
    assert r.formula == "sqrt(x)"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(x_data=[1, 2, 3], y_data=[1.0]), TypeError, "argument 'x_data': 'int' object cannot be converted to 'Sequence'"),
        (dict(x_data=["abc"], y_data=[1.0]), TypeError, "argument 'x_data': Can't extract `str` to `Vec`"),
        (dict(x_data=[[1.0]], y_data="a"), TypeError, "argument 'y_data': Can't extract `str` to `Vec`"),
        (dict(x_data=[[1.0]], y_data=[1.0], use_trig=1), TypeError, "argument 'use_trig': 'int' object cannot be converted to 'PyBool'"),
        (dict(x_data=[[1.0]], y_data=[1.0], max_complexity=2.0), TypeError, "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
        (dict(x_data=[[1.0]], y_data=[1.0], beam_width=-1), OverflowError, None),
        (dict(x_data=[[1.0]], y_data=[1.0], max_complexity=2**64), OverflowError, None),
        (dict(x_data=[], y_data=[1.0]), ValueError, "x_data must contain at least one column"),
        (dict(x_data=[[1.0, 2.0], [3.0]], y_data=[1.0]), ValueError, "x_data column 1 has 1 values, fewer than the 2 of column 0"),
    ],
)
def test_refused_arguments(kwargs, exc, message):
    with pytest.raises(exc) as info:
        z.find_formula(**kwargs)
    if message is not None:
        assert str(info.value) == message


def test_binding_messages():
    with pytest.raises(TypeError, match=r"^find_formula\(\) missing 2 required positional arguments: 'x_data' and 'y_data'$"):
        z.find_formula()
    with pytest.raises(TypeError, match=r"^find_formula\(\) takes from 2 to 8 positional arguments but 9 were given$"):
        z.find_formula(*range(9))


def test_result_does_not_depend_on_thread_count():
    code = """
        import math, struct
        from zan_math import zan_core as z
        x = [0.1 * i + 0.05 for i in range(60)]
        y = [math.sin(v) * v + 0.01 * ((i * 7919) % 13) for i, v in enumerate(x)]
        r = z.find_formula([x], y, beam_width=400)
        print(r.formula, struct.pack('<d', r.error).hex(), r.complexity)
    """
    outs = {run_python(code, {"RAYON_NUM_THREADS": n}) for n in ("1", "2", "3")}
    assert len(outs) == 1
