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
    "x, y, tension",
    [
        (0, 1, 1.0),
        (2, 3, math.exp(2) - math.log(3)),
        (1.5, 0.0, E(1.5) - math.log(FLOOR)),
        (1.5, -0.0, E(1.5) - math.log(FLOOR)),
        (1.5, -3.0, E(1.5) - math.log(3.0)),
        (1.5, 1e-310, E(1.5) - math.log(1e-310)),
        (INF, 2.0, INF),
        (NAN, 2.0, NAN),
        (1.0, NAN, NAN),
    ],
)
def test_tension_guards(x, y, tension):
    assert exact([P(x, y).tension()]) == exact([tension])


@pytest.mark.parametrize(
    "x, slipping, exp_term",
    [(709.78, False, math.exp(709.78)), (710.0, True, math.exp(math.log(710.0))), (INF, True, INF), (NAN, False, NAN)],
)
def test_slipping_threshold(x, slipping, exp_term):
    p = P(x, 1.0)
    assert p.is_slipping() is slipping
    assert exact([p.pair().real]) == exact([exp_term])


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


def test_minkowski_flag_rule():
    p = P(0.5, 4.0)
    assert p.minkowski_delta(True, 2.0) == p.minkowski_delta(False, 2.0) == p.minkowski_delta(np.bool_(True), 2.0)
    with pytest.raises(TypeError, match=r"^argument 'plus_signature': 'int' object cannot be converted to 'PyBool'$"):
        p.minkowski_delta(1, 2.0)


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


METHOD_DOCS = [
    ("tension", "($self)", None),
    ("zan", "($self)", "Alias for tension() — zan(x, y) = exp(x) - ln(y)."),
    ("mirror_pulse", "($self)", None),
    ("pulse", "($self)", "Alias for mirror_pulse()."),
    ("frame_shift", "($self)", None),
    ("is_slipping", "($self)", None),
    ("conserves_tension", "($self, next, tol)", None),
    ("pair", "($self)", "Returns (exp(x), ln(|y|)) as an ZANPair — canonical frame coordinates."),
    ("euclidean_delta", "($self)", "Euclidean delta: sqrt(exp(2x) + (ln y)^2)."),
    ("minkowski_delta", "($self, plus_signature, c)",
     "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
     "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."),
    ("boost", "($self, phi, c)",
     "Lorentz boost by rapidity phi. Returns new ZANPoint with identical Δ_M.\n"
     "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
     "where t = exp(x_coord), x = ln(y_coord)."),
]


def test_methods_in_registration_order_with_signatures_and_docs():
    assert [m for m in P.__dict__ if not m.startswith("__") and m not in ("x", "y")] == [m[0] for m in METHOD_DOCS]
    for name, sig, doc in METHOD_DOCS:
        method = getattr(P, name)
        assert (method.__text_signature__, method.__doc__) == (sig, doc)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: P(1.0), TypeError, "ZANPoint.__new__() missing 1 required positional argument: 'y'"),
        (lambda: P(), TypeError, "ZANPoint.__new__() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda: P(1, 2, 3), TypeError, "ZANPoint.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: P(1, x=2), TypeError, "ZANPoint.__new__() got multiple values for argument 'x'"),
        (lambda: P(1, "a"), TypeError, "argument 'y': must be real number, not str"),
        (lambda: P(10**400, 1), OverflowError, "int too large to convert to float"),
        (lambda: P(1, 2).tension(1), TypeError, "ZANPoint.tension() takes 0 positional arguments but 1 was given"),
        (lambda: P(1, 2).boost(0.1), TypeError, "ZANPoint.boost() missing 1 required positional argument: 'c'"),
        (lambda: P(1, 2).boost(0.1, c=1, d=2), TypeError, "ZANPoint.boost() got an unexpected keyword argument 'd'"),
        (lambda: P(1, 2).conserves_tension(1.0, 0.1), TypeError,
         "argument 'next': 'float' object cannot be converted to 'ZANPoint'"),
        (lambda: P(1, 2).conserves_tension(P(1, 2), None), TypeError, "argument 'tol': must be real number, not NoneType"),
    ],
)
def test_binding_and_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message


def test_keywords_and_numeric_conversions():
    p = P(y=True, x=2)
    assert (p.x, p.y) == (2.0, 1.0) and type(p.x) is float
    assert xy(p.boost(c=1.0, phi=0.0)) == xy(p.boost(0.0, 1.0))
