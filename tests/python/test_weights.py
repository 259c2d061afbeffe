"""sample_weight: weighted least squares through the whole discovery, checked against closed forms."""

from __future__ import annotations

import numpy as np
import pytest

from zan_math import discover


def _line_rows(n=60):
    x = np.linspace(0.5, 4.0, n)
    first = np.arange(n) % 2 == 0
    y = np.where(first, 2.0 * x + 1.0, 5.0 * x)
    return x, y, first


@pytest.mark.parametrize("other_weight, tolerance", [(0.0, 1e-12), (1e-9, 1e-6)])
def test_rows_that_weigh_nothing_do_not_move_the_fitted_line(other_weight, tolerance):
    x, y, first = _line_rows()
    weights = np.where(first, 1.0, other_weight)
    best = discover(x, y, weights, progress=False).best
    grid = np.linspace(0.0, 5.0, 11)
    np.testing.assert_allclose(best.predict(grid), 2.0 * grid + 1.0, rtol=tolerance, atol=tolerance)
    # unweighted, the same rows give a line between the two
    assert not np.allclose(discover(x, y, progress=False).best.predict(grid), 2.0 * grid + 1.0, rtol=1e-3)


@pytest.mark.parametrize("weight", [1e300, 1.7e308])
def test_weights_past_any_sum_of_squares_are_still_weights(weight):
    # Σw overflowed: the effective row count raised OverflowError, and at 1.7e308 the search
    # reported nan with R² 1
    rng = np.random.default_rng(0)
    X = rng.uniform(1, 5, (30, 2))
    y = X[:, 0] * X[:, 1] + 0.3 * rng.normal(size=30)
    weighted = discover(X, y, np.full(30, weight), progress=False).best
    assert weighted.text == discover(X, y, progress=False).best.text


def test_a_constant_fit_is_the_weighted_mean():
    rng = np.random.default_rng(3)
    y = 3.7319 + 0.001 * rng.normal(size=40)  # a mean no simple value is near enough to snap to
    weights = rng.uniform(0.1, 3.0, size=40)
    result = discover(np.ones(40), y, weights, progress=False)
    assert result.best.complexity == 1
    mean = np.sum(weights * y) / np.sum(weights)
    assert result.best.constants[0] == pytest.approx(mean, rel=1e-12)
    assert abs(mean - np.mean(y)) > 1e-7  # the unweighted mean is another
    assert result.best.loss == pytest.approx(np.sum(weights * (y - mean) ** 2) / np.sum(weights), rel=1e-12)


def test_the_constants_are_the_weighted_least_squares_solution():
    rng = np.random.default_rng(7)
    x = rng.uniform(1.0, 4.0, size=200)
    y = 1.2917 * np.sqrt(x) + 0.4139 + rng.normal(scale=0.002, size=200)
    weights = rng.uniform(0.0, 4.0, size=200)
    best = discover(x, y, weights, progress=False).best
    # slope·√x + intercept, either of them possibly snapped to a fixed value
    (_, slope, _, intercept, _) = best.program[1:]
    assert best.program[:2] == (("var", 0), ("op", "sqrt")) and best.program[-1] == ("op", "add")
    fixed = sum(t[1] * c for t, c in ((slope, np.sqrt(x)), (intercept, 1.0)) if t[0] == "const")
    free = [c for t, c in ((slope, np.sqrt(x)), (intercept, np.ones_like(x))) if t[0] == "param"]
    assert free, "every constant snapped"
    # the closed form: least squares on √w-scaled rows
    root = np.sqrt(weights)
    design = np.column_stack(free)
    solution = np.linalg.lstsq(design * root[:, None], (y - fixed) * root, rcond=None)[0]
    np.testing.assert_allclose(best.constants, solution, rtol=1e-9)
    residual = design @ solution + fixed - y
    assert best.loss == pytest.approx(np.sum(weights * residual**2) / np.sum(weights), rel=1e-9)
    unweighted = np.linalg.lstsq(design, y - fixed, rcond=None)[0]
    assert not np.allclose(unweighted, solution, rtol=1e-6)


def test_whole_number_weights_equal_repeated_rows():
    rng = np.random.default_rng(11)
    X = rng.uniform(1.0, 3.0, size=(60, 2))
    y = 0.83 * X[:, 0] * X[:, 1] ** 2 + rng.normal(scale=0.02, size=60)
    counts = rng.integers(1, 4, size=60)
    weighted = discover(X, y, counts.astype(float), progress=False).best
    repeated = discover(np.repeat(X, counts, axis=0), np.repeat(y, counts), progress=False).best
    assert weighted.program == repeated.program
    np.testing.assert_allclose(weighted.constants, repeated.constants, rtol=1e-12)
    assert weighted.loss == pytest.approx(repeated.loss, rel=1e-10)


def test_scaling_every_weight_by_four_changes_nothing():
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 2.0, size=(80, 2))
    y = np.exp(-X[:, 0]) * X[:, 1] + rng.normal(scale=0.01, size=80)
    weights = rng.uniform(0.5, 2.0, size=80)
    one = discover(X, y, weights, progress=False)
    four = discover(X, y, 4.0 * weights, progress=False)
    assert [(f.program, f.constants, f.loss) for f in one.front] == [(f.program, f.constants, f.loss) for f in four.front]


def test_the_screen_of_many_columns_weighs_the_rows():
    from zan_math._screen import relevant_columns

    rng = np.random.default_rng(1)
    columns = rng.uniform(-1.0, 1.0, size=(14, 400))
    heavy = np.arange(400) % 2 == 0
    target = np.where(heavy, columns[3], 10.0 * columns[9] ** 2) + 0.1 * rng.normal(size=400)
    weights = np.where(heavy, 1.0, 1e-6)
    assert relevant_columns(columns, target) == (9,)
    assert relevant_columns(columns, target, weights) == (3,)


@pytest.mark.parametrize(
    "weights, error, words",
    [
        (np.ones(5), ValueError, "sample_weight has 5"),
        (np.ones((6, 2)), ValueError, "sample_weight must be 1-D"),
        (np.r_[np.ones(5), -1.0], ValueError, "negative value"),
        (np.r_[np.ones(5), np.nan], ValueError, "non-finite value"),
        (np.r_[np.ones(5), np.inf], ValueError, "non-finite value"),
        (np.zeros(6), ValueError, "must not be all zero"),
        (np.r_[np.zeros(5), 1.0], ValueError, "two rows of positive weight"),
        (np.r_[np.ones(5), 1e30], ValueError, "row 5 weighs 1e[+]30, row 0 1; beyond 2[*][*]53"),
        (np.r_[np.full(5, 1e-300), 1e-280], ValueError, "more than float64 holds apart"),
        (np.ones(6) * (1 + 1j), TypeError, "complex"),
        (["a"] * 6, ValueError, "sample_weight must be numeric"),
    ],
)
def test_bad_weights_are_refused_by_name(weights, error, words):
    x = np.arange(1.0, 7.0)
    with pytest.raises(error, match=words):
        discover(x, 2.0 * x, weights, progress=False)


def test_weights_with_units_are_refused_for_now():
    x = np.arange(1.0, 7.0)
    with pytest.raises(NotImplementedError, match="sample_weight"):
        discover(x, 2.0 * x, np.ones(6), progress=False, units=["m"], y_units="m")


sklearn = pytest.importorskip("sklearn")


def test_sample_weight_as_a_pipeline_fit_parameter():
    from sklearn.pipeline import Pipeline

    from zan_math import FormulaRegressor

    x, y, first = _line_rows()
    weights = first.astype(float)
    pipe = Pipeline([("formula", FormulaRegressor(progress=False))]).fit(x[:, None], y, formula__sample_weight=weights)
    alone = FormulaRegressor(progress=False).fit(x[:, None], y, sample_weight=weights)
    assert pipe[-1].best_ == alone.best_
    np.testing.assert_allclose(pipe.predict(x[:, None]), 2.0 * x + 1.0, rtol=1e-12)


def test_weights_of_one_equal_no_weights():
    from zan_math import FormulaRegressor

    rng = np.random.default_rng(2)
    X = rng.uniform(1.0, 3.0, size=(50, 2))
    y = X[:, 0] / X[:, 1] + rng.normal(scale=0.01, size=50)
    plain = FormulaRegressor(progress=False).fit(X, y)
    ones = FormulaRegressor(progress=False).fit(X, y, sample_weight=np.ones(50))
    assert plain.best_.program == ones.best_.program
    np.testing.assert_allclose(ones.predict(X), plain.predict(X), rtol=1e-10)
    assert ones.score(X, y) == pytest.approx(plain.score(X, y), rel=1e-10)
