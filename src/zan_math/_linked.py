"""The plane seen through a link: target ≈ g(Σ c_j·x_j + c_0), g the square or the exponential.

A positive target whose spread grows with its level (counts, progressions, yields) is often the
square or the exponential of a plane rather than a plane. Like the plane's, the form is fixed
before the data are seen, so its held-out error is honest; it is tried only where the plane was
chosen, and replaces it only when it predicts held-out rows clearly better, fold after fold.
"""

from __future__ import annotations

import math
from functools import partial

import numpy as np

from ._holdout import fixed_form_choice, plane_program, plane_squared, varying_columns, weighted_mean

# The links, by the operator that applies them: the value, its slope, and the inverse the
# starting plane is fitted to (None where the target has no value under it).
kLinks = {
    "square": (np.square, lambda u: 2.0 * u, lambda y: np.sqrt(y) if (y >= 0).all() else None),
    "exp": (np.exp, np.exp, lambda y: np.log(y) if (y > 0).all() else None),
}
# Levenberg–Marquardt from the plane of the inverted target: a handful of steps reach the optimum.
kSteps = 60
kSettled = 1e-12


def _design(columns: np.ndarray) -> np.ndarray:
    return np.vstack([columns, np.ones(columns.shape[1])]).T


def fit(link: str, columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None):
    """The (weighted) least-squares coefficients of g(plane) (intercept last), or None where the
    target has no inverse under the link or the fit leaves the floats."""
    value, slope, inverse = kLinks[link]
    start = inverse(target)
    if start is None:
        return None
    design = _design(columns)
    root = np.ones_like(target) if weights is None else np.sqrt(weights)
    theta = np.linalg.lstsq(design * root[:, None], start * root, rcond=None)[0]

    def residual(t):
        with np.errstate(over="ignore", invalid="ignore"):
            return (value(design @ t) - target) * root

    r = residual(theta)
    cost = float(r @ r)
    damping = 1e-3
    for _ in range(kSteps):
        if not math.isfinite(cost):
            return None
        with np.errstate(over="ignore", invalid="ignore"):
            jacobian = slope(design @ theta)[:, None] * design * root[:, None]
        if not np.isfinite(jacobian).all():
            return None
        scale = np.sqrt((jacobian * jacobian).sum(axis=0)) + 1e-300
        while True:
            system = np.vstack([jacobian, np.diag(math.sqrt(damping) * scale)])
            step = np.linalg.lstsq(system, np.concatenate([-r, np.zeros(theta.size)]), rcond=None)[0]
            trial = theta + step
            r_trial = residual(trial)
            trial_cost = float(r_trial @ r_trial)
            if math.isfinite(trial_cost) and trial_cost <= cost:
                break
            damping *= 10.0
            if damping > 1e12:
                return theta
        settled = cost - trial_cost <= kSettled * cost
        theta, r, cost = trial, r_trial, trial_cost
        damping = max(damping / 10.0, 1e-12)
        if settled:
            break
    return theta


def _squared(link: str, fold) -> np.ndarray:
    """The linked plane's squared errors on a fold's test rows, fitted on its training rows."""
    if fold.y_train.shape[0] <= fold.x_train.shape[0] + 1:
        return np.full(fold.y_test.shape[0], math.inf)
    theta = fit(link, fold.x_train, fold.y_train, fold.w_train)
    if theta is None:
        return np.full(fold.y_test.shape[0], math.inf)
    with np.errstate(over="ignore", invalid="ignore"):
        error = (kLinks[link][0](theta[:-1] @ fold.x_test + theta[-1]) - fold.y_test) ** 2
    return np.where(np.isfinite(error), error, math.inf)


def linked_plane(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None, links):
    """The plane through the link of `links` that predicts held-out rows best, when it beats the
    plane itself on them clearly (see _holdout.fixed_form_choice): (program, constants, mean
    squared error) over the columns that vary, else None."""
    rivals = {link: partial(_squared, link) for link in links
              if link in kLinks and kLinks[link][2](target) is not None}
    link = fixed_form_choice(columns, target, weights, plane_squared, rivals)
    if link is None:
        return None
    varying = varying_columns(columns)
    theta = fit(link, columns[varying], target, weights)
    if theta is None:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        residual = kLinks[link][0](theta[:-1] @ columns[varying] + theta[-1]) - target
    loss = weighted_mean(residual * residual, weights)
    if not math.isfinite(loss):
        return None
    return plane_program(varying) + (("op", link),), tuple(float(c) for c in theta), loss
