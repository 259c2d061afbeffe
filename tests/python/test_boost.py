"""boost_n: the per-point rule of ZANPoint.boost on lists, in parallel and in input order."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import bits, run_python
from plane_ref import FLOOR, INF, NAN, boost, exact
from zan_math import zan_core as z

edge = st.sampled_from([0.0, -0.0, 1e-310, -2.0, 709.78, 710.0, INF, -INF, NAN])
coord = st.one_of(st.floats(), edge)


def flat(tuples):
    return exact([v for t in tuples for v in t])


@settings(max_examples=200, deadline=None)
@given(points=st.lists(st.tuples(coord, coord), max_size=30), phis=st.lists(st.one_of(st.floats(-800, 800), edge), max_size=30),
       c=coord)
def test_batch_equals_the_method_and_the_stepwise_rule(points, phis, c):
    out = z.boost_n(points, phis, c)
    assert len(out) == min(len(points), len(phis))
    assert all(type(t) is tuple and len(t) == 2 for t in out)
    via_method = [z.ZANPoint(x, y).boost(phi, c) for (x, y), phi in zip(points, phis)]
    # One shared kernel: equal to the last bit, NaN signs and payloads included.
    assert bits([v for t in out for v in t]) == bits([v for p in via_method for v in (p.x, p.y)])
    assert flat(out) == flat(boost(x, y, phi, c) for (x, y), phi in zip(points, phis))


@pytest.mark.parametrize(
    "points, phis, c, expected",
    [
        ([(0.0, 1.0)], [0.0], 1.0, [(0.0, 1.0)]),
        ([(0.5, 2.0)], [0.3], 1.0, [(0.414, 1.25)]),
        ([(1.0, math.e)], [0.5], 2.0, [(1.03, 0.182)]),
        ([(0.0, 1.0)], [1.0], 1.0, [(0.434, 0.309)]),
        ([(0.0, 1.0), (1.0, 1.0)], [0.0], 1.0, [(0.0, 1.0)]),
    ],
)
def test_documented_values(points, phis, c, expected):
    got = z.boost_n(points, phis, c)
    assert len(got) == len(expected)
    for (x, y), (ex, ey) in zip(got, expected):
        assert x == pytest.approx(ex, abs=5e-3) and y == pytest.approx(ey, abs=5e-3)


def test_zero_speed_and_saturation():
    # Y / c = 0 / 0 is NaN, so w is NaN and floored.
    assert z.boost_n([(0.0, 1.0)], [0.0], 0.0) == [(math.log(FLOOR), 1.0)]
    (x_hi, y_hi), (x_lo, y_lo) = z.boost_n([(0.0, 5.0), (0.0, 0.2)], [60.0, -60.0], 1.0)
    assert x_hi == x_lo == math.log(FLOOR)
    assert (y_hi, y_lo) == (math.exp(709.0), math.exp(-709.0))


def test_negative_y_is_reflected_and_empty_inputs():
    assert z.boost_n([(0.0, -2.0)], [0.3], 1.0) == z.boost_n([(0.0, 2.0)], [0.3], 1.0)
    assert z.boost_n([], [0.3], 1.0) == z.boost_n([(0.0, 2.0)], [], 1.0) == []
    assert z.boost_n(points=((1, True),), phis=range(1), c=True) == [(1.0, 1.0)]


def test_parallel_batches_keep_order_and_bits():
    out = run_python(
        """
        import random
        from zan_math import zan_core as z
        rng = random.Random(5)
        pts = [(rng.uniform(-5, 800), rng.uniform(-50, 50)) for _ in range(40_000)]
        phis = [rng.uniform(-3, 3) for _ in range(40_000)]
        batch = z.boost_n(pts, phis, 1.7)
        single = [z.ZANPoint(x, y).boost(phi, 1.7) for (x, y), phi in zip(pts, phis)]
        print(batch == [(p.x, p.y) for p in single])
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert out.split() == ["True"]
