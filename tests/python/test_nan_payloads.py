"""A method and its batch (or two spellings of one operation) agree to the last bit even when
NaNs with different payloads and signs meet: which payload an IEEE sum or product passes on
depends on operand order, so each shared kernel must be the same compiled code everywhere."""

import itertools
import math
import struct

import pytest

from conftest import bits
from zan_math import zan_core as z


def nan(payload, negative=False):
    return struct.unpack("<d", struct.pack("<Q", (negative << 63) | 0x7FF8000000000000 | payload))[0]


GRID = [nan(1), nan(2, True), nan(0x5A5A), math.nan, 0.0, -0.0, 1.0, -2.5, math.inf]
QUADS = list(itertools.product(GRID, repeat=4))


@pytest.mark.parametrize("start", range(0, len(QUADS), 729))
def test_boost_batch_equals_method(start):
    quads = QUADS[start:start + 729]
    for x, y, phi, c in quads:
        batch = z.boost_n([(x, y)], [phi], c)[0]
        point = z.ZANPoint(x, y).boost(phi, c)
        assert bits(batch) == bits([point.x, point.y]), (x, y, phi, c)


def test_rotation_batch_equals_method():
    for re, im, angle in itertools.product(GRID, repeat=3):
        batch = z.rotate_phase_n([(re, im)], [angle])[0]
        pair = z.ZANPair(re, im).rotate_phase(angle)
        assert bits(batch) == bits([pair.real, pair.imag]), (re, im, angle)
        # A potential step is the rotation by ((-v) * dt) / hbar, here with dt = hbar = 1.
        step = z.schrodinger_step_n([(re, im)], [-angle], 1.0, 1.0)[0]
        assert bits(step) == bits(batch), (re, im, angle)


def test_abs_equals_modulus():
    for re, im in itertools.product(GRID, repeat=2):
        pair = z.ZANPair(re, im)
        assert bits([abs(pair)]) == bits([pair.modulus]), (re, im)
