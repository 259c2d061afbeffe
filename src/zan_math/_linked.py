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

from ._holdout import fixed_form_choice, fitted_form, plane_design, plane_fit, plane_squared

# The links, by the operator that applies them: the value, its slope, and the inverse the
# starting plane is fitted to (None where the target has no value under it).
kLinks = {
    "square": (np.square, lambda u: 2.0 * u, lambda y: np.sqrt(y) if (y >= 0).all() else None),
    "exp": (np.exp, np.exp, lambda y: np.log(y) if (y > 0).all() else None),
}
# Levenberg–Marquardt from the plane of the inverted target: a handful of steps reach the optimum.
kSteps = 60
kSettled = 1e-12


def fit(link: str, columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None = None):
    """The (weighted) least-squares coefficients of g(plane) (intercept last), or None where the
    target has no inverse under the link or the fit leaves the floats."""
    value, slope, inverse = kLinks[link]
    start = inverse(target)
    if start is None:
        return None
    design = plane_design(columns)
    root = np.ones_like(target) if weights is None else np.sqrt(weights)

    def at(t):  # the plane's values at t, and the weighted residuals of g(plane)
        with np.errstate(over="ignore", invalid="ignore"):
            u = design @ t
            return u, (value(u) - target) * root

    theta = plane_fit(columns, start, weights)
    u, r = at(theta)
    cost = float(r @ r)
    if not math.isfinite(cost):
        return None
    damping = 1e-3
    for _ in range(kSteps):
        with np.errstate(over="ignore", invalid="ignore"):
            jacobian = slope(u)[:, None] * design * root[:, None]
        if not np.isfinite(jacobian).all():
            return None
        scale = np.sqrt((jacobian * jacobian).sum(axis=0)) + 1e-300
        while True:
            system = np.vstack([jacobian, np.diag(math.sqrt(damping) * scale)])
            trial = theta + np.linalg.lstsq(system, np.concatenate([-r, np.zeros(theta.size)]), rcond=None)[0]
            u_trial, r_trial = at(trial)
            trial_cost = float(r_trial @ r_trial)
            if math.isfinite(trial_cost) and trial_cost <= cost:
                break
            damping *= 10.0
            if damping > 1e12:
                return theta
        settled = cost - trial_cost <= kSettled * cost
        theta, u, r, cost = trial, u_trial, r_trial, trial_cost
        damping = max(damping / 10.0, 1e-12)
        if settled:
            break
    return theta


def linked_plane(columns: np.ndarray, target: np.ndarray, weights: np.ndarray | None, links):
    """The plane through the link of `links` that predicts held-out rows best, when it beats the
    plane itself on them clearly (see _holdout.fixed_form_choice): (program, constants, mean
    squared error) over the columns that vary, else None."""
    rivals = {link: partial(plane_squared, **_form(link)) for link in links
              if link in kLinks and kLinks[link][2](target) is not None}
    link = fixed_form_choice(columns, target, weights, plane_squared, rivals)
    if link is None:
        return None
    found = fitted_form(columns, target, weights, **_form(link))
    return found if found is not None and math.isfinite(found[2]) else None


def _form(link: str) -> dict:
    """The plane through `link` as fitted_form and plane_squared take it."""
    return {"fit": partial(fit, link), "link": (link, kLinks[link][0])}
