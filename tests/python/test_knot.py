"""ZANKnot pulses, counter and phase, its representation, and simulate_pulses_n."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import needs_throwing_new
from plane_ref import FLOOR, HALF_PI, INF, NAN, TWO_PI, E, G, T, exact, libm
from zan_math import zan_core as z

P, K = z.ZANPoint, z.ZANKnot
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)

edge = st.sampled_from([0.0, -0.0, 1e-310, 709.78, 710.0, 1.0, -3.0, INF, -INF, NAN])
coord = st.one_of(st.floats(), edge)


def ref_pulse(x, y, n, phase):
    g = G(y)
    t = E(x) - libm.log(g)
    return g, t, (n + 1 + 2**63) % 2**64 - 2**63, libm.fmod(phase + HALF_PI, TWO_PI)


def state(k):
    return exact([k.point.x, k.point.y, k.phase]) + [k.flip_count]


@settings(max_examples=200, deadline=None)
@given(x=coord, y=coord, n=st.integers(I64_MIN, I64_MAX), theta=coord)
def test_pulses_follow_the_stepwise_rules(x, y, n, theta):
    k = K(P(x, y), n, theta)
    phase = libm.fmod(theta, TWO_PI)
    assert state(k) == exact([x, y, phase]) + [n]
    assert exact([k.rho]) == exact([abs(T(x, y))])
    g, t, n1, phase1 = ref_pulse(x, y, n, phase)
    assert state(k.mirror_pulse()) == state(k.pulse()) == exact([g, t, phase1]) + [n1]
    four = k.mirror_pulse().mirror_pulse().mirror_pulse().mirror_pulse()
    assert state(k.three_one_flip()) == state(k.flip()) == state(four)
    quarter = abs(n) // 4
    assert k.tread_yield() == 2 * (quarter if n >= 0 else -quarter)


def test_trajectory_of_the_unit_point():
    k = K(P(0, 1)).mirror_pulse()
    assert state(k) == exact([1.0, 1.0, HALF_PI]) + [1]
    assert k.rho == math.e
    t3 = math.exp(math.e) - math.log(math.e - 1)
    four = K(P(0, 1)).three_one_flip()
    assert (four.point.x, four.point.y, four.flip_count, four.phase) == (math.e - 1, t3, 4, 0.0)


def test_phase_cycles_through_quarter_turns():
    k = K(P(0, 1))
    phases = []
    for _ in range(8):
        k = k.pulse()
        phases.append(k.phase)
    assert phases == [HALF_PI, math.pi, 3 * HALF_PI, 0.0] * 2


@pytest.mark.parametrize("theta, phase", [(-1.0, -1.0), (7.0, 7.0 - TWO_PI), (TWO_PI, 0.0), (-0.0, -0.0), (INF, NAN)])
def test_phase_is_the_c_remainder(theta, phase):
    assert exact([K(P(0, 1), theta=theta).phase]) == exact([phase])


@pytest.mark.parametrize("n, tread", [(-5, -2), (5, 2), (7, 2), (8, 4), (-8, -4), (0, 0), (I64_MIN, I64_MIN // 2),
                                      (I64_MAX, 2 * (I64_MAX // 4))])
def test_tread_yield_truncates_toward_zero(n, tread):
    assert K(P(0, 1), n=n).tread_yield() == tread


@pytest.mark.parametrize("n, pulses, expected", [(I64_MAX, 1, I64_MIN), (I64_MAX - 1, 4, I64_MIN + 2), (-1, 1, 0)])
def test_counter_wraps(n, pulses, expected):
    k = K(P(0, 1), n)
    k = k.flip() if pulses == 4 else k.pulse()
    assert k.flip_count == expected


def test_zero_y_point():
    k = K(P(0.5, 0.0))
    assert k.rho == abs(E(0.5) - math.log(FLOOR))
    assert k.pulse().point.x == FLOOR


def test_point_is_a_fresh_copy():
    source = P(1.0, 2.0)
    k = K(source)
    assert k.point is not k.point and k.point is not source
    assert type(k.point) is P and (k.point.x, k.point.y) == (1.0, 2.0)


@pytest.mark.parametrize(
    "knot, text",
    [
        (K(P(0, 1)), "ZANKnot(n=0, rho=1.0000, theta=0.0000, point=ZANPoint { x: 0.0, y: 1.0 })"),
        (K(P(2, 3), -7, -1.0), "ZANKnot(n=-7, rho=6.2904, theta=-1.0000, point=ZANPoint { x: 2.0, y: 3.0 })"),
        (K(P(1e-7, -0.0), I64_MIN), "ZANKnot(n=-9223372036854775808, rho=691.7755, theta=0.0000, "
                                    "point=ZANPoint { x: 1e-7, y: -0.0 })"),
        (K(P(1.5e16, 0.5), theta=0.00005),  # slipping: rho is exp(ln x) + ln 2, off x in the last bits
         "ZANKnot(n=0, rho=%.4f, theta=0.0001, point=ZANPoint { x: 1.5e16, y: 0.5 })" % T(1.5e16, 0.5)),
        (K(P(NAN, -INF)), "ZANKnot(n=0, rho=NaN, theta=0.0000, point=ZANPoint { x: NaN, y: -inf })"),
    ],
)
def test_repr(knot, text):
    assert repr(knot) == str(knot) == text


@settings(max_examples=100, deadline=None)
@given(x0=coord, y0=coord, n=st.integers(0, 30))
def test_simulation_matches_the_pulse_map(x0, y0, n):
    rows = z.simulate_pulses_n(x0, y0, n)
    assert len(rows) == n + 1
    x, y = x0, y0
    for row in rows:
        assert exact(row) == exact([x, y, T(x, y)])
        x, y = G(y), T(x, y)
    assert all(exact([nxt[1]]) == exact([prev[2]]) for prev, nxt in zip(rows, rows[1:]))


def test_simulation_known_rows():
    e = math.e
    t3 = math.exp(e) - math.log(e - 1)
    rows = z.simulate_pulses_n(0.0, 1.0, 4)
    assert rows[:4] == [(0.0, 1.0, 1.0), (1.0, 1.0, e), (1.0, e, e - 1), (e, e - 1, t3)]
    assert rows[4] == (e - 1, t3, math.exp(e - 1) - math.log(t3))
    assert z.simulate_pulses_n(0.0, 1.0, 0) == [(0.0, 1.0, 1.0)]
    # The start is stored unguarded; the tension guards y.
    assert exact(z.simulate_pulses_n(0.0, -0.0, 0)[0]) == exact([0.0, -0.0, 1.0 - math.log(FLOOR)])


@pytest.mark.parametrize("n_pulses", [2**64 - 1, 2**63, pytest.param(2**50, marks=needs_throwing_new)])
def test_counts_whose_rows_cannot_fit_raise_memory_error(n_pulses):
    with pytest.raises(MemoryError):
        z.simulate_pulses_n(0.0, 1.0, n_pulses)


def test_keyword_and_index_arguments():
    class Index:
        def __index__(self):
            return 6

    k = K(theta=1, n=True, point=P(0, 1))
    assert (k.flip_count, k.phase) == (1, 1.0) and type(k.flip_count) is int
    assert K(P(0, 1), Index()).flip_count == 6
    assert len(z.simulate_pulses_n(n_pulses=Index(), y0=1, x0=0)) == 7
