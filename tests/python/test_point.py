"""ZANPoint: guarded tension, pulses, frame shift, deltas, boost, representation, binding."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plane_ref import A, E, FLOOR, G, INF, L, NAN, boost, exact, libm
from zan_math import zan_core as z

P = z.ZANPoint

edge = st.sampled_from([0.0, -0.0, 1e-300, -1e-300, 1e-310, 709.78, 710.0, 355.0, -745.0, 1.0, -3.0, INF, -INF, NAN])
coord = st.one_of(st.floats(), edge)


def xy(p):
    return exact([p.x, p.y])


@settings(max_examples=300, deadline=None)
@given(x=coord, y=coord, y2=coord, phi=st.one_of(st.floats(-50, 50), edge), c=st.one_of(st.floats(), edge),
       tol=st.one_of(st.floats(), edge))
def test_every_method_follows_the_stepwise_rules(x, y, y2, phi, c, tol):
    p = P(x, y)
    e, l = E(x), L(y)
    assert exact([p.tension(), p.zan()]) == exact([e - l, e - l])
    assert xy(p.mirror_pulse()) == xy(p.pulse()) == exact([G(y), e - l])
    a = A(y)
    assert xy(p.frame_shift()) == exact([a, e - libm.log(a)])
    assert p.is_slipping() is (x > 709.78)
    pair = p.pair()
    assert exact([pair.real, pair.imag]) == exact([e, l])
    assert exact([p.euclidean_delta()]) == exact([libm.sqrt(l * l + e * e)])
    m = c * l
    assert exact([p.minkowski_delta(True, c)]) == exact([libm.sqrt(abs(e * e - m * m))])
    assert exact([p.minkowski_delta(False, c)]) == exact([libm.sqrt(abs(m * m - e * e))])
    assert xy(p.boost(phi, c)) == exact(boost(x, y, phi, c))
    l2 = L(y2)
    expected = True if not math.isfinite(e) else tol > abs(((e - l2) + l2) - e)
    assert p.conserves_tension(P(NAN, y2), tol) is expected


@pytest.mark.parametrize(
    "x, y, tension, slipping",
    [
        (0, 1, 1.0, False),
        (2, 3, math.exp(2) - math.log(3), False),
        (1.5, 0.0, E(1.5) - math.log(FLOOR), False),
        (1.5, -0.0, E(1.5) - math.log(FLOOR), False),
        (1.5, -3.0, E(1.5) - math.log(3.0), False),
        (1.5, 1e-310, E(1.5) - math.log(1e-310), False),  # a positive subnormal is not raised
        (709.78, 1.0, math.exp(709.78), False),
        (710.0, 1.0, math.exp(math.log(710.0)), True),
        (INF, 2.0, INF, True),
        (NAN, 2.0, NAN, False),
    ],
)
def test_documented_tensions_and_slipping(x, y, tension, slipping):
    p = P(x, y)
    assert exact([p.tension()]) == exact([tension]) and p.is_slipping() is slipping


def test_pulse_of_a_point_and_nan_y_under_both_guards():
    assert xy(P(2, 3).pulse()) == exact([3.0, math.exp(2) - math.log(3)])
    assert xy(P(1, NAN).frame_shift()) == exact([FLOOR, math.e - math.log(FLOOR)])
    pulsed = P(1, NAN).mirror_pulse()
    assert math.isnan(pulsed.x) and math.isnan(pulsed.y)


@pytest.mark.parametrize("x", [INF, NAN])
@pytest.mark.parametrize("tol", [0.0, -1.0, NAN])
def test_non_finite_exponential_always_conserves(x, tol):
    assert P(x, 1.0).conserves_tension(P(0.0, 5.0), tol) is True


@pytest.mark.parametrize("x", [0.0, -20.0, 700.0, 709.78, 710.0])
def test_zero_tolerance_never_conserves_a_finite_point(x):
    assert P(x, 2.0).conserves_tension(P(x, 3.0), 0.0) is False


def test_minkowski_flag_rule_and_keywords():
    p = P(y=4.0, x=0.5)
    assert p.minkowski_delta(True, 2.0) == p.minkowski_delta(c=2.0, plus_signature=False) == p.minkowski_delta(np.bool_(True), 2.0)


@pytest.mark.parametrize(
    "phi, c, expected",
    [
        (0.0, 1.0, (2.0, 3.0)),
        (0.0, 0.0, (math.log(FLOOR), 3.0)),  # X / c = ln 3 / 0 = inf, times sinh 0 = 0 gives NaN: floored
        (0.3, 0.0, (math.log(FLOOR), math.exp(math.log(3) * math.cosh(0.3)))),  # t1 = -inf
    ],
)
def test_boost_identity_and_zero_speed(phi, c, expected):
    got = P(2, 3).boost(phi, c)
    assert got.x == pytest.approx(expected[0], rel=1e-15) and got.y == pytest.approx(expected[1], rel=1e-15)


@pytest.mark.parametrize(
    "x, y, text",
    [
        (2, 3, "ZANPoint(x=2.000000, y=3.000000)"),
        (1e-7, -0.0, "ZANPoint(x=0.000000, y=-0.000000)"),
        (2.0**-7, -(2.0**-7), "ZANPoint(x=0.007812, y=-0.007812)"),  # exact ties round to even
        (0.0078125000000001, 1e20, "ZANPoint(x=0.007813, y=100000000000000000000.000000)"),
        (NAN, -NAN, "ZANPoint(x=NaN, y=NaN)"),
        (INF, -INF, "ZANPoint(x=inf, y=-inf)"),
    ],
)
def test_repr(x, y, text):
    assert repr(P(x, y)) == text
