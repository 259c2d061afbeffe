"""ZANPair arithmetic, tolerant equality, representation, and rotate_phase_n / schrodinger_step_n."""

import math
import operator
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plane_ref import FLOOR, INF, NAN, exact, fdiv, libm, rotate
from zan_math import zan_core as z

Q = z.ZANPair

edge = st.sampled_from([0.0, -0.0, 1e-160, 1e-300, 1.0, -2.5, 1e300, INF, -INF, NAN])
num = st.one_of(st.floats(), edge)


def parts(pair):
    return exact([pair.real, pair.imag])


def ref_div(p, q, c, d):
    den = d * d + c * c
    if abs(den) < FLOOR:
        den = FLOOR
    return (fdiv(c * p + q * d, den), fdiv(c * q - p * d, den))


@settings(max_examples=300, deadline=None)
@given(p=num, q=num, c=num, d=num, angle=num)
def test_operations_follow_the_stepwise_rules(p, q, c, d, angle):
    a, b = Q(p, q), Q(c, d)
    assert parts(a + b) == exact([c + p, d + q])
    assert parts(a - b) == exact([p - c, q - d])
    assert parts(a * b) == exact([c * p - d * q, c * q + d * p])
    assert parts(a / b) == exact(ref_div(p, q, c, d))
    assert (a == b) is (abs(p - c) < 1e-9 and abs(q - d) < 1e-9)
    assert (a != b) is not (a == b)
    assert exact([a.modulus, abs(a)]) == exact([libm.sqrt(q * q + p * p)] * 2)
    assert exact([a.argument]) == exact([libm.atan2(q, p)])
    assert exact([a.real_tension, a.imag_tension]) == exact([p, q])
    assert parts(a.rotate_phase(angle)) == exact(rotate(p, q, angle))
    assert parts(Q.from_polar(c, angle)) == exact([libm.cos(angle) * c, libm.sin(angle) * c])


def test_known_values():
    assert parts(Q(1, 2) * Q(3, 4)) == exact([-5.0, 10.0])
    assert (Q(1, 2) / Q(3, 4)) == Q(0.44, 0.08)
    assert parts(Q(1, 2) / Q.zero()) == exact([0.0, 0.0])
    assert parts(Q(1, 2) / Q(1e-200, 0.0)) == exact([1e-200 / FLOOR, 2e-200 / FLOOR])  # floor, not |other|^2
    assert parts(Q.from_polar(2, 0)) == exact([2.0, 0.0])
    assert Q.unit_i().argument == math.pi / 2
    assert Q(-1, -0.0).argument == -math.pi
    assert Q(3, 4).modulus == abs(Q(3, 4)) == 5.0


@pytest.mark.parametrize("maker, expected", [(Q.unit_i, (0.0, 1.0)), (Q.one, (1.0, 0.0)), (Q.zero, (0.0, 0.0)),
                                             (lambda: Q.from_values(imag=-0.0, real=2), (2.0, -0.0))])
def test_static_constructors(maker, expected):
    pair = maker()
    assert type(pair) is Q and parts(pair) == exact(expected)


def test_conjugate_flips_only_the_sign_bit():
    payload = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]  # NaN with a payload
    assert parts(Q(1, 0.0).conjugate()) == exact([1.0, -0.0])
    assert struct.pack("<d", Q(1, payload).conjugate().imag) == bytes.fromhex("0100000000f8ffff")


@pytest.mark.parametrize(
    "other, equal",
    [(Q(1 + 5e-10, 2), True), (Q(1, 2 - 9.9e-10), True), (Q(1 + 2e-9, 2), False), (Q(1, 2 + 2e-9), False),
     (Q(1, NAN), False), ((1, 2), False), (1 + 2j, False), (None, False)],
)
def test_tolerant_equality(other, equal):
    assert (Q(1, 2) == other) is equal
    assert (Q(1, 2) != other) is not equal
    assert (other == Q(1, 2)) is equal
    nan_pair = Q(NAN, 0.0)
    assert not (nan_pair == nan_pair) and nan_pair != nan_pair


@pytest.mark.parametrize("op", [operator.add, operator.sub, operator.mul, operator.truediv])
@pytest.mark.parametrize("other", [1, 1.0, 1j, (1, 2), z.ZANPoint(1, 2)])
def test_no_mixed_arithmetic(op, other):
    with pytest.raises(TypeError):
        op(Q(1, 2), other)
    with pytest.raises(TypeError):
        op(other, Q(1, 2))


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering_no_hash(op):
    with pytest.raises(TypeError):
        op(Q(1, 2), Q(3, 4))
    with pytest.raises(TypeError, match="unhashable type"):
        hash(Q(1, 2))
    with pytest.raises(TypeError):
        -Q(1, 2)


@pytest.mark.parametrize(
    "real, imag, text",
    [
        (1, -2, "ZANPair(1.000000 - 2.000000i)"),
        (0.5, -0.0, "ZANPair(0.500000 + 0.000000i)"),
        (-0.0, 0.0, "ZANPair(-0.000000 + 0.000000i)"),
        (1, NAN, "ZANPair(1.000000 - NaNi)"),
        (NAN, -INF, "ZANPair(NaN - infi)"),
        (-INF, INF, "ZANPair(-inf + infi)"),
        (2.0**-7, -(2.0**-7), "ZANPair(0.007812 - 0.007812i)"),
        (1e-7, 2.4e-6, "ZANPair(0.000000 + 0.000002i)"),
    ],
)
def test_repr_sign_rule(real, imag, text):
    assert repr(Q(real, imag)) == str(Q(real, imag)) == text


@settings(max_examples=100, deadline=None)
@given(pairs=st.lists(st.tuples(num, num), max_size=20), angles=st.lists(num, max_size=20), dt=num, hbar=num)
def test_batches_match_the_scalar_rotation(pairs, angles, dt, hbar):
    out = z.rotate_phase_n(pairs, angles)
    assert len(out) == min(len(pairs), len(angles))
    assert [exact(t) for t in out] == [exact(rotate(p, q, a)) for (p, q), a in zip(pairs, angles)]
    out = z.schrodinger_step_n(pairs, angles, dt, hbar)
    assert [exact(t) for t in out] == [exact(rotate(p, q, fdiv((-v) * dt, hbar))) for (p, q), v in zip(pairs, angles)]


def test_batch_examples():
    got = z.rotate_phase_n([(1, 0), (0, 1), (5, 5)], [math.pi / 2, math.pi])
    assert got == [(math.cos(math.pi / 2), 1.0), (-math.sin(math.pi), -1.0)]
    assert z.schrodinger_step_n([(1, 0)], [1.0], 0.5, 1.0) == [(math.cos(0.5), -math.sin(0.5))]
    (nan_pair,) = z.schrodinger_step_n([(1, 0)], [1.0], 0.5, 0.0)
    assert all(math.isnan(v) for v in nan_pair)
    assert z.schrodinger_step_n([], [1.0], 0.5, 1.0) == z.schrodinger_step_n([(1, 0)], [], 0.5, 1.0) == []
    assert z.rotate_phase_n(pairs=[(1, 0)], angles=(0,)) == [(1.0, 0.0)]
