"""The options table and the inputs it guards: every option refused by name outside its range (in
discover, the estimator and the command line alike), the table held against the engine's own
defaults and the estimator's signature, refused input kinds, and results that do not depend on
the units of the data."""

import inspect
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest
from conftest import whole_searches
from hypothesis import given, settings
from hypothesis import strategies as st

from zan_math import _native, _options, discover
from zan_math._export import ARITY
from zan_math._scale import unscaled_program

KINETIC = np.array([(1, 1), (2, 1), (2, 2), (3, 2), (1, 3), (4, 3), (5, 1)], float)
KINETIC_E = 0.5 * KINETIC[:, 0] * KINETIC[:, 1] ** 2

BAD = [
    ("max_terms", 8, ValueError),  # once a crash of the interpreter
    ("sample_rows", 2048, ValueError),
    ("max_terms", 0, ValueError),
    ("max_complexity", -1, ValueError),
    ("max_complexity", 0, ValueError),
    ("sample_rows", -5, ValueError),
    ("sample_rows", 1, ValueError),
    ("search_size", 10**9, ValueError),  # once minutes and gigabytes
    ("search_size", 2.0, TypeError),
    ("time_limit", "1", TypeError),
    ("time_limit", 0, ValueError),
    ("time_limit", float("nan"), ValueError),
    ("use_trig", "no", TypeError),
    ("use_zan", 1, TypeError),
    ("selection", "fastest", ValueError),
    ("progress", "yes", TypeError),
]


@pytest.mark.parametrize("name, value, error", BAD)
def test_an_option_out_of_range_is_refused_by_name(name, value, error):
    with pytest.raises(error, match=f"^{name} must be"):
        discover(KINETIC, KINETIC_E, **{name: value})


@pytest.mark.parametrize("name, value, error", [b for b in BAD if b[0] != "progress"])
def test_the_estimator_refuses_the_same_values(name, value, error):
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor

    with pytest.raises((TypeError, ValueError), match=name):
        FormulaRegressor(**{name: value}).fit(KINETIC, KINETIC_E)


def test_the_table_agrees_with_the_engine_the_estimator_and_discover():
    engine = _native.engine_defaults()
    for option in _options.OPTIONS:
        if option.name in engine:
            assert engine[option.name] == option.default, option.name
        if f"{option.name}_range" in engine:
            assert engine[f"{option.name}_range"] == (option.low, option.high), option.name
    signature = inspect.signature(discover).parameters
    for option in _options.OPTIONS:
        assert signature[option.name].default == option.default, option.name
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor

    params = FormulaRegressor().get_params()
    assert {o.name: o.default for o in _options.OPTIONS}.items() <= params.items()


@pytest.mark.parametrize("flag, value", [("--max-terms", "8"), ("--search-size", "0"), ("--time-limit", "0")])
def test_the_command_line_refuses_by_flag_and_shows_the_ranges(flag, value):
    proc = subprocess.run([sys.executable, "-m", "zan_math", flag, value], capture_output=True, text=True)
    assert proc.returncode == 2 and proc.stderr.startswith(f"zan-discover: {flag}: must be")
    assert "Traceback" not in proc.stderr
    text = subprocess.run([sys.executable, "-m", "zan_math", "--help"], capture_output=True, text=True).stdout
    assert "(default 10; an integer from 1 to 16)" in " ".join(text.split())


def _complex_frame():
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"m": KINETIC[:, 0] + 0j, "v": KINETIC[:, 1]})


def _date_frame():
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"m": pd.date_range("2020-01-01", periods=7), "v": KINETIC[:, 1]})


@pytest.mark.parametrize(
    "make, match",
    [
        (lambda: KINETIC + 1j, "complex"),
        (lambda: KINETIC.astype(object) + 1j, "complex"),
        (lambda: np.array(["2020-01-01"] * 14, dtype="datetime64[D]").reshape(7, 2), "dates"),
        (_complex_frame, "column 'm' of X holds complex"),
        (_date_frame, "column 'm' of X holds dates"),
    ],
)
def test_complex_and_dates_are_refused_never_cut(make, match):
    X = make()
    with pytest.raises(TypeError, match=match):
        discover(X, KINETIC_E)
    formula = discover(KINETIC, KINETIC_E, names=["m", "v"]).best
    with pytest.raises(TypeError, match=match):
        formula.predict(X)
    with pytest.raises(TypeError, match="y holds complex"):
        discover(KINETIC, KINETIC_E + 0j)


def test_predict_reads_a_dataframe_by_name():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(KINETIC, columns=["m", "v"])
    formula = discover(frame, KINETIC_E).best
    assert np.array_equal(formula.predict(frame[["v", "m"]]), KINETIC_E)
    with pytest.raises(ValueError, match="no column named 'm'"):
        formula.predict(pd.DataFrame(KINETIC, columns=["a", "v"]))
    assert np.array_equal(formula.predict(pd.DataFrame(KINETIC)), KINETIC_E)  # unlabelled: by position


@pytest.mark.parametrize("k", [-300, -200, -30, 30, 160, 300])
def test_the_target_units_scale_the_constant_only(k):
    rng = np.random.default_rng(1)
    X = rng.uniform(1, 3, (40, 2))
    y = 0.5 * X[:, 0] * X[:, 1] ** 2 * 10.0**k
    best = discover(X, y).best
    assert best.text.endswith("*x0*x1**2") and best.r2 == pytest.approx(1.0)
    assert len(best.constants) == 1 and best.constants[0] == pytest.approx(0.5 * 10.0**k, rel=1e-12)
    assert np.allclose(best.predict(X), y, rtol=1e-12, atol=0)


@pytest.mark.parametrize("scale, loss", [(3e250, math.inf), (3e-190, 0.0)])
def test_an_rmse_past_what_its_square_can_hold_is_still_reported(scale, loss):
    # residuals of 1e247 square past the largest float, those of 1e-193 below the least: the
    # loss is infinite or zero, its root is neither
    rng = np.random.default_rng(5)
    X = rng.uniform(1, 2, (60, 2))
    y = scale * X[:, 0] ** 2 * (1 + 1e-3 * rng.normal(size=60))
    best = discover(X, y).best
    residual = np.sqrt(np.mean(((best.predict(X) - y) / scale) ** 2)) * scale
    assert best.loss == loss and best.rmse == pytest.approx(residual, rel=1e-9, abs=0)
    assert pickle.loads(pickle.dumps(best)).rmse == best.rmse


@pytest.mark.parametrize("k", [-300, 300])
def test_a_variable_in_extreme_units_is_searched_and_predicted(k):
    rng = np.random.default_rng(2)
    X = rng.uniform(1, 3, (40, 2)) * [10.0**k, 1.0]
    y = 0.5 * (X[:, 0] / 10.0**k) * X[:, 1] ** 2
    best = discover(X, y).best
    assert best.r2 == pytest.approx(1.0) and np.allclose(best.predict(X), y, rtol=1e-12)
    # the variable's scale is carried into the one constant: 5e-301*x0*x1**2
    assert best.text.endswith("*x0*x1**2") and [kind for kind, _ in best.program].count("const") == 0, best.text
    assert best.constants == (pytest.approx(0.5 / 10.0**k, rel=1e-12),)


def test_a_scale_whose_product_leaves_the_floats_stays_beside_its_variable():
    # (x/1e200)**2: x**2 is past the largest float, and 1e-400 is no float
    X = np.random.default_rng(3).uniform(1, 3, (40, 1)) * 1e200
    y = (X[:, 0] / 1e200) ** 2
    best = discover(X, y).best
    assert best.r2 == pytest.approx(1.0) and np.allclose(best.predict(X), y, rtol=1e-12), best.text


# Programs of the search (postfix) and what each scale meets: products, quotients and powers
# that carry it, sums of sides in other units, a square root of an odd power, a sine that keeps
# it beside its variable, a constant used twice.
GRAVITATION = (("param", 0), ("var", 0), ("op", "mul"), ("var", 1), ("op", "mul"), ("var", 2), ("op", "square"),
               ("op", "div"))
UNSCALED_PROGRAMS = [
    GRAVITATION,
    (("param", 0), ("var", 0), ("op", "sqrt"), ("op", "mul"), ("param", 1), ("op", "add")),
    (("param", 0), ("var", 0), ("param", 1), ("op", "add"), ("op", "div")),
    (("param", 0), ("var", 0), ("op", "mul"), ("op", "sin"), ("param", 1), ("var", 1), ("op", "mul"), ("op", "add")),
    (("param", 0), ("var", 0), ("op", "mul"), ("var", 1), ("op", "sub")),
    (("var", 0), ("op", "neg"), ("op", "abs"), ("var", 1), ("op", "inv"), ("op", "mul"), ("var", 2), ("op", "sqrt"),
     ("op", "div")),
    (("param", 0), ("var", 0), ("op", "mul"), ("param", 0), ("op", "add"), ("var", 1), ("op", "cos"), ("op", "mul")),
    (("var", 0), ("var", 1), ("op", "mul"), ("op", "exp"), ("const", 0.5), ("op", "mul")),
    (("param", 0), ("var", 0), ("op", "mul"), ("op", "square"), ("param", 1), ("op", "add")),
]


@pytest.mark.parametrize("program", UNSCALED_PROGRAMS)
@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(-150, 150), min_size=4, max_size=4))
def test_a_formula_of_scaled_data_reads_the_same_on_the_data_as_given(program, exponents):
    *x_exp, y_exp = exponents
    scaled = np.random.default_rng(0).uniform(0.25, 1.0, (3, 64))
    constants = (1.7, -0.3)
    reference = np.empty(64)
    _native.predict(program, constants, scaled, reference)
    reference = np.ldexp(reference, y_exp)
    given_data = np.ldexp(scaled, np.array(x_exp)[:, None])
    readings = {carry: unscaled_program(program, constants, y_exp, x_exp, ARITY.__getitem__, carry=carry)
                for carry in (True, False)}
    for p, c in readings.values():
        out = np.empty(64)
        _native.predict(p, c, given_data, out)
        assert np.allclose(out, reference, rtol=1e-12, atol=0, equal_nan=True), (p, c)
    if program == GRAVITATION:  # every scale meets the constant
        assert [kind for kind, _ in readings[True][0]].count("const") == 0


def test_units_through_discover_and_the_command_line(tmp_path):
    rng = np.random.default_rng(0)
    L, g = rng.uniform(0.5, 2, 50), rng.uniform(9, 10, 50)
    T = 2 * np.pi * np.sqrt(L / g)
    best = discover(np.column_stack([L, g]), T, names=["L", "g"], units={"L": "m", "g": "m/s^2"}, y_units="s").best
    assert best.text == "6.283185307*sqrt(L/g)" and best.complexity == len(best.program)
    with pytest.raises(ValueError, match="go together"):
        discover(np.column_stack([L, g]), T, units={"x0": "m", "x1": "m/s^2"})
    path = tmp_path / "pendulum.csv"
    np.savetxt(path, np.column_stack([L, g, T]), delimiter=",", header="L,g,T", comments="")
    for units, y_units, status, text in [("L=m,g=m/s^2", "s", 0, "6.283185307*sqrt(L/g)"),
                                         ("L=m,g=m/s^2", "kg", 2, "cannot be made"), ("L=m,g=m/q", "s", 2, "'q'")]:
        proc = subprocess.run([sys.executable, "-m", "zan_math", str(path), "--units", units, "--y-units", y_units],
                              capture_output=True, text=True)
        assert proc.returncode == status and text in proc.stdout + proc.stderr and "Traceback" not in proc.stderr


def test_a_formula_without_a_value_just_past_the_rows_is_left_off():
    # log(2.744 - sqrt(log x)) has no value past x = 1,863; rows end at 1,827
    from zan_math._domain import admitted, rows_box, widened

    program = (("const", 2.744), ("var", 0), ("op", "ln"), ("op", "sqrt"), ("op", "sub"), ("op", "ln"))
    x = np.linspace(1.0, 1827.0, 50)
    y = np.log(2.744 - np.sqrt(np.log(x)))
    box = rows_box(x[None, :])
    assert admitted(program, (), box, y) and not admitted(program, (), widened(box, 0.25), y)
    blow_up = (("var", 0), ("const", 16.0), ("op", "mul"), ("op", "exp"))  # exp(16x) past x = 1
    x = np.linspace(0.0, 1.0, 50)
    assert not admitted(blow_up, (), widened(rows_box(x[None, :]), 0.25), np.exp(16 * x))


@whole_searches
def test_a_noisy_law_may_grow_past_the_rows_range_across_its_own_box():
    # -m·q⁴/(8ε²h²n²) on [1, 5]⁵: a corner of the box lies far past the 500 rows' own range,
    # which a law within the noise may reach (a formula not taken for a law may not)
    rng = np.random.default_rng(27)
    m, q, h, n, eps = rng.uniform(1, 5, (5, 500))
    law = -m * q**4 / (8 * eps**2 * h**2 * n**2)
    assert abs(-0.125 * 5 * 5**4 - (law.max() + law.min()) / 2) > 30 * np.ptp(law)
    y = law + 0.01 * law.std() * rng.standard_normal(500)
    best = discover(np.column_stack([m, q, h, n, eps]), y, names=["m", "q", "h", "n", "eps"]).best
    assert best.nmse < 1e-3 and best.domain == {k: (v.min(), v.max()) for k, v in zip("mqhn", (m, q, h, n))} | {
        "eps": (eps.min(), eps.max())}, best


def test_formulas_record_where_they_hold():
    rng = np.random.default_rng(6)
    x = rng.uniform(1, 4, 80)
    y = 3 * np.log(x) + rng.normal(scale=0.05, size=80)
    result = discover(x, y, domain={"x": (0.5, 10)})
    assert all(f.domain is None or f.domain["x"][0] <= 0.5 and f.domain["x"][1] >= 10 for f in result.front)
    assert result.best.domain["x"] == pytest.approx((0.5, 10))
    exact = discover(x, 3 * np.log(x)).best  # an exact law needs only the rows' own box
    assert exact.domain == {"x": (x.min(), x.max())}
    with pytest.raises(ValueError, match="domain"):
        discover(x, y, domain={"z": (0, 1)})
    # a law grows across a box the user knows it holds on: x0 to 50 where the rows stop at 3
    X = rng.uniform(1, 3, (200, 2))
    far = discover(X, X[:, 0] * X[:, 1] * (1 + rng.normal(0, 0.01, 200)), domain={"x0": (1, 50)}).best
    assert far.r2 > 0.999 and far.domain["x0"] == (1, 50)


def test_the_readme_lists_every_option_as_the_table_says():
    readme = (__import__("pathlib").Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
    start = readme.index("<!-- options table")
    table = readme[readme.index("\n", start) + 1 : readme.index("<!-- end of options table -->")].strip()
    assert table == _options.markdown_table()


def _admitted_front(X, y, programs):
    from zan_math._discover import _admitted, _raw_mean
    from zan_math._formula import Formula

    names = [f"x{i}" for i in range(X.shape[0])]
    formulas, raws = [], []
    for program, constants in programs:
        out = np.empty(y.shape[0])
        _native.predict(program, constants, X, out)
        loss = float(np.mean((out - y) ** 2))
        raws.append({"program": program, "constants": constants})
        formulas.append(Formula(program, constants, names, len(program), loss, loss / np.var(y), 0.0))
    _, front, _ = _admitted(raws, formulas, len(formulas) - 1, (X, y), {"margin": 0.25, "domain": None}, names,
                            y, lambda raw: Formula(raw["program"], raw["constants"], names, 1, raw["loss"],
                                                   raw["nmse"], 0.0))
    return [f.program for f in front]


def test_a_loose_fit_on_rows_no_law_ties_is_held_to_the_widened_box():
    # ten columns: neighbouring rows lie far apart and differ by most of y's spread, so the noise
    # estimate is most of y's variance; a fit of R² ~0.5 whose term explodes just past the rows
    # (once a held-out R² of -7e13) is no law within that noise
    rng = np.random.default_rng(5)
    X = np.ascontiguousarray(rng.uniform(40, 60, (10, 240)))
    y = 1e-50 * np.exp(2 * X[6]) + 300 + rng.standard_t(3, 240) * 40
    blow_up = (("param", 0), ("var", 6), ("op", "exp"), ("op", "square"), ("op", "mul"), ("param", 1), ("op", "add"))
    assert _admitted_front(X, y, [(blow_up, (1e-50, 300.0))]) == [(("param", 0),)]


def test_a_fit_worse_than_the_mean_leaves_the_front():
    # exp(a·x) has no intercept: on a target far from zero it leaves more than y's variance
    rng = np.random.default_rng(6)
    X = np.ascontiguousarray(rng.uniform(10, 30, (1, 200)))
    y = 350 + rng.normal(size=200) * 100
    worse = (("var", 0), ("param", 0), ("op", "mul"), ("op", "exp"))
    line = (("var", 0), ("param", 0), ("op", "mul"), ("param", 1), ("op", "add"))
    fit = np.polyfit(X[0], y, 1)
    assert _admitted_front(X, y, [(worse, (0.2,)), (line, tuple(fit))]) == [line]


_SCALED_COS_COS = (("param", 0), ("var", 0), ("op", "mul"), ("var", 0), ("op", "cos"), ("op", "cos"),
                   ("op", "square"), ("op", "mul"), ("param", 1), ("op", "add"))
_SCALED_SIN = (("param", 0), ("var", 0), ("op", "sin"), ("op", "mul"), ("param", 1), ("op", "add"))


@pytest.mark.parametrize("program, high, noise, kept", [
    (_SCALED_COS_COS, 6654.0, 1.0, False),  # a thousand turns on 62 rows: aliased, whatever it fits
    (_SCALED_SIN, 1000.0, 0.0, True),       # an exact fit stands however thinly it is sampled
    (_SCALED_SIN, 10.0, 1.0, True),         # under two turns: the rows sample it
])
def test_a_periodic_term_the_rows_do_not_sample_leaves_the_front(program, high, noise, kept):
    rng = np.random.default_rng(62)
    x = np.sort(np.exp(rng.uniform(np.log(0.005), np.log(high), 62)))
    X = np.ascontiguousarray(x[None, :])
    shape = np.empty(62)
    _native.predict(program, (1.0, 0.0), X, shape)
    y = 3 * shape + 1 if noise == 0 else 1.5 * x + 30 + noise * rng.standard_normal(62) * np.std(x) / 3
    fit = np.linalg.lstsq(np.column_stack([shape, np.ones(62)]), y, rcond=None)[0]
    assert (program in _admitted_front(X, y, [(program, tuple(fit))])) == kept
