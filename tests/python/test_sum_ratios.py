"""Laws that only a ratio over a sum, or a constant scanned inside a product of variables,
brings within reach: each must come back exact from noise-free rows."""

import math

import numpy as np
import pytest
from conftest import whole_searches

from zan_math import discover

LAWS = {
    # the relativistic sum of speeds: a sum over 1 + u·v/c²
    "sum over one plus a product": (lambda c, v, u: (u + v) / (1 + u * v / c**2), [(3, 10), (1, 2), (1, 2)]),
    # Bose–Einstein occupation: a constant inside e^{k·h·ω/(kb·T)} − 1
    "one over exp minus one": (lambda h, w, kb, t: 1 / (np.exp(h * w / (2 * math.pi * kb * t)) - 1),
                               [(1, 5)] * 4),
    # a frequency of several turns over the rows, inside sin² of a product
    "sine squared of a product": (lambda e, t, h: np.sin(2 * math.pi * e * t / h) ** 2, [(1, 2), (1, 2), (1, 4)]),
}


def rows(f, ranges, n, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.uniform(lo, hi, n) for lo, hi in ranges])
    return X, f(*X.T)


@whole_searches
@pytest.mark.parametrize("name", sorted(LAWS))
def test_law_comes_back_exact(name):
    f, ranges = LAWS[name]
    X, y = rows(f, ranges, 300, 0)
    best = discover(X, y).best
    Xt, yt = rows(f, ranges, 400, 99)
    err = np.max(np.abs(best.predict(Xt) - yt) / np.maximum(np.abs(yt), 1e-3 * np.sqrt(np.mean(yt**2))))
    assert err < 1e-6, best.text
