"""The noise estimate from the data alone, and the level fits are held to."""

import math

import numpy as np
import pytest
from conftest import whole_searches

from zan_math import discover
from zan_math._noise import noise_bound, noise_variance


SIX_VARIABLE_LAWS = [
    pytest.param(lambda X: X[0] * X[1] + X[2] * X[3] + X[4] * X[5], id="sum-of-products"),
    pytest.param(lambda X: X[0] * X[1] * X[2] / (X[3] * X[4]) + X[5], id="ratio"),
    pytest.param(lambda X: np.exp(X[0] - X[1]) * X[2] + X[3] ** 2 - X[4] * X[5], id="exp-and-square"),
]


@pytest.mark.parametrize("law", SIX_VARIABLE_LAWS)
@pytest.mark.parametrize(
    "level, low, high",
    [
        (0.1, 0.85, 1.3),
        # under little noise still an upper estimate: the law's curvature counts, its slope not
        # (a row's nearest neighbour alone read 100-2,500 times the noise here)
        (0.01, 1.0, 40.0),
    ],
)
def test_near_the_true_noise_in_six_variables(law, level, low, high):
    rng = np.random.default_rng(5)
    X = rng.uniform(1, 2, (6, 1000))
    clean = law(X)
    sigma2 = (level * np.std(clean)) ** 2
    y = clean + rng.normal(0, math.sqrt(sigma2), clean.shape)
    assert low * sigma2 < noise_variance(X, y) < high * sigma2


@pytest.mark.parametrize("rows, variables", [(20, 1), (60, 2), (60, 5), (300, 3)])
def test_on_a_target_the_columns_do_not_explain_it_is_the_target_variance(rows, variables):
    # averaged over draws, neither lower (a fit of the noise would pass for a law) nor higher
    ratios = []
    for seed in range(40):
        rng = np.random.default_rng(seed)
        X, y = rng.normal(size=(variables, rows)), rng.normal(size=rows)
        ratios.append(noise_variance(X, y) / np.var(y))
    assert 0.9 < np.mean(ratios) < 1.15


@pytest.mark.parametrize("noise", ["gaussian", "uniform", "laplace"])
def test_unbiased_whatever_the_noise_distribution(noise):
    # a mean of squares, not a quantile read as if the noise were Gaussian
    rng = np.random.default_rng(2)
    X = rng.uniform(0, 1, (2, 2000))
    draw = {"gaussian": lambda: rng.normal(0, 1, 2000), "uniform": lambda: rng.uniform(-math.sqrt(3), math.sqrt(3), 2000),
            "laplace": lambda: rng.laplace(0, 1 / math.sqrt(2), 2000)}[noise]
    y = 3 * X[0] - X[1] + 0.05 * draw()
    assert noise_variance(X, y) == pytest.approx(0.05**2, rel=0.15)


@pytest.mark.parametrize(
    "make, share",
    [
        pytest.param(lambda X: 2 * X[0] - 3 * X[1] + 1, 1e-20, id="plane"),  # rounding alone
        pytest.param(lambda X: X[0] ** 2 + X[1] * X[2], 1e-3, id="curved"),  # its curvature only
    ],
)
def test_noise_free_data_leave_next_to_nothing(make, share):
    X = np.random.default_rng(0).uniform(0, 1, (3, 500))
    y = make(X)
    assert noise_variance(X, y) < share * np.var(y)


@pytest.mark.parametrize(
    "X, y",
    [
        pytest.param(np.ones((2, 50)), np.arange(50.0), id="constant-columns"),
        pytest.param(np.repeat(np.arange(5.0), 10)[None, :], np.arange(50.0) % 3, id="repeated-rows"),
        pytest.param(np.arange(8.0).reshape(2, 4), np.arange(4.0), id="fewer-rows-than-a-plane-needs"),
        pytest.param(np.random.default_rng(1).uniform(size=(30, 200)), np.random.default_rng(2).normal(size=200),
                     id="more-variables-than-a-plane-is-worth"),
    ],
)
def test_degenerate_rows_give_a_finite_estimate(X, y):
    estimate = noise_variance(X, y)
    assert math.isfinite(estimate) and estimate >= 0


def test_too_few_rows_or_overflowing_targets_give_no_crash():
    assert noise_variance(np.zeros((1, 2)), np.zeros(2)) == 0.0 == noise_bound(np.zeros((1, 2)), np.zeros(2))
    rng = np.random.default_rng(0)
    huge = rng.normal(size=100) * 1e300
    assert noise_variance(rng.uniform(size=(2, 100)), huge) == math.inf


@whole_searches
@pytest.mark.slow
@pytest.mark.parametrize("seed", [1, 2])
def test_under_noise_a_law_longer_than_its_approximations_is_chosen(seed):
    # (1 + v/c)/√(1 − v²/c²)·w = √(2c/(c − v) − 1)·w: cheaper approximations, (0.42·e^(2v/c) + 0.6)·w
    # among them, leave 20-60% more than a noise of 1% on these 1,000 rows; the nearest
    # neighbour's estimate of the noise was far above both
    rng = np.random.default_rng(seed)
    c, v, w = rng.uniform(3, 10, 1000), rng.uniform(1, 2, 1000), rng.uniform(1, 5, 1000)
    clean = np.sqrt((c + v) / (c - v)) * w
    y = clean + rng.normal(0, 0.01 * np.std(clean), 1000)
    result = discover(np.column_stack([c, v, w]), y, names=["c", "v", "w"])
    fresh = rng.uniform([3, 1, 1], [10, 2, 5], (2000, 3))
    truth = np.sqrt((fresh[:, 0] + fresh[:, 1]) / (fresh[:, 0] - fresh[:, 1])) * fresh[:, 2]
    assert np.mean((result.best.predict(fresh) - truth) ** 2) < 1e-12 * np.var(truth), result.best.text
    # and the approximations take no simple constants: 1/(−0.8·v/c + 0.976)·w is no law
    lowest = min(f.loss for f in result.front)
    approximations = [f for f in result.front if f.loss > 1.1 * lowest]
    assert approximations and not any(kind == "const" for f in approximations for kind, _ in f.program), [
        f.text for f in approximations]
