import math

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from zan_math import zan_core as z

LN2 = math.log(2.0)
TRIPLES = [(0, 0, 1), (0, 1, 0), (1, 0, 0), (1, 1, 1), (0, 0, 0), (1, 0, 1), (2, 2, 2), (3, 1, 3)]


def reference(x, lam, mu, nu, rs):
    """The symbol step by step in Python floats (the same IEEE operations, same libm)."""
    e = math.exp(math.log(x)) if x > 709.78 else math.exp(x)
    a = rs + 1e-9
    r = a if math.isnan(e) else e if math.isnan(a) else (a if a > e else e)
    if 0 >= r or rs >= r:
        return 0.0
    if (lam, mu, nu) in ((0, 0, 1), (0, 1, 0)):
        return rs / ((r - rs) * (r + r))
    if (lam, mu, nu) == (1, 0, 0):
        return ((1 - rs / r) * rs) / ((r + r) * r)
    if (lam, mu, nu) == (1, 1, 1):
        return (-rs) / ((r - rs) * (r + r))
    return 0.0


def test_text_signature_and_docstring():
    fn = z.christoffel_batch_n
    assert fn.__text_signature__ == "(points, lam, mu, nu, rs)"
    assert fn.__doc__ == (
        "Batch Schwarzschild Christoffel evaluation.\n"
        "points: Vec of (x, _) where r = exp(x).\n"
        "Returns Vec of \u0393^lam_{mu nu} values for each point."
    )


@pytest.mark.parametrize("idx, expected", list(zip(TRIPLES, [0.25, 0.25, 0.0625, -0.25, 0.0, 0.0, 0.0, 0.0])))
def test_radius_two(idx, expected):
    assert z.christoffel_batch_n([(LN2, 123.0)], *idx, 1.0) == [expected]


def test_horizon_is_floored_to_a_large_finite_value():
    (v,) = z.christoffel_batch_n([(0.0, 0.0)], 0, 0, 1, 1.0)
    assert v == pytest.approx(5.0e8, rel=1e-6)
    assert bits([v]) == bits([reference(0.0, 0, 0, 1, 1.0)])


@pytest.mark.parametrize("x, rs", [(0.0, 0.0), (-1000.0, -1.0), (0.0, 1e8), (18.0, 1e8)])
def test_degenerate_radii(x, rs):
    out = [z.christoffel_batch_n([(x, 0.0)], *idx, rs=rs)[0] for idx in TRIPLES]
    if rs == 0.0:
        # Only the (1, 1, 1) symbol carries the sign of -rs.
        assert bits(out) == bits([0.0, 0.0, 0.0, -0.0, 0.0, 0.0, 0.0, 0.0])
    else:
        # rs = -1 with e = 0 gives r = 0; rs = 1e8 swallows the floor, so r = rs at or inside it.
        assert bits(out) == bits([0.0] * len(TRIPLES))


finite_or_not = st.floats(allow_nan=True, allow_infinity=True)


@given(
    st.lists(st.tuples(st.one_of(st.floats(-50, 800), finite_or_not), finite_or_not), max_size=20),
    st.sampled_from(TRIPLES),
    st.one_of(st.floats(-10, 1e9), finite_or_not),
)
def test_matches_the_stepwise_rule_bit_for_bit(points, idx, rs):
    out = z.christoffel_batch_n(points, *idx, rs)
    assert bits(out) == bits([reference(x, *idx, rs) for x, _ in points])


def test_large_batch_keeps_input_order():
    xs = [i * 1e-4 - 3.0 for i in range(200_000)]
    out = z.christoffel_batch_n([(x, 0.0) for x in xs], 1, 0, 0, 0.5)
    assert bits(out) == bits([reference(x, 1, 0, 0, 0.5) for x in xs])


def test_arguments():
    assert z.christoffel_batch_n([], 0, 0, 1, 1.0) == []
    assert z.christoffel_batch_n(points=[(LN2, 0)], lam=True, mu=1, nu=2**64 - 1, rs=1) == [0.0]
    with pytest.raises(OverflowError):
        z.christoffel_batch_n([(0.0, 0.0)], -1, 0, 1, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'points': "):
        z.christoffel_batch_n([(1.0, "a")], 0, 0, 1, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'mu': "):
        z.christoffel_batch_n([(1.0, 2.0)], 0, 1.0, 1, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'rs': "):
        z.christoffel_batch_n([(1.0, 2.0)], 0, 0, 1, "1")
