import math

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from zan_math import zan_core as z


def basis(k, scale=1.0):
    row = [0.0] * 8
    row[k] = scale
    return row


def rule_table():
    """e_i e_j from the construction rule: e0 the identity, e_i^2 = -1, and for each triple
    (t, t+1, t+3) cyclic in 1..7, rotations multiply to +the third, reversals to minus it."""
    table = {(0, j): (1, j) for j in range(8)} | {(i, 0): (1, i) for i in range(8)}
    table |= {(i, i): (-1, 0) for i in range(1, 8)}
    for t in range(1, 8):
        tri = [t, (t % 7) + 1, ((t + 2) % 7) + 1]
        for r in range(3):
            p, q, s = tri[r], tri[(r + 1) % 3], tri[(r + 2) % 3]
            table[p, q] = (1, s)
            table[q, p] = (-1, s)
    return table


TABLE = rule_table()


def reference(a, b):
    r = [0.0] * 8
    for i in range(8):
        if a[i] == 0:
            continue
        for j in range(8):
            if b[j] == 0:
                continue
            s, k = TABLE[i, j]
            r[k] = s * a[i] * b[j] + r[k]
    return r


def test_text_signature_and_docstring():
    assert z.octonion_mul_n.__text_signature__ == "(a_batch, b_batch)"
    assert z.octonion_mul_n.__doc__ == (
        "Batch octonion multiplication (Rayon parallel).\n"
        "a_batch, b_batch: each is a Vec of 8-element float lists.\n"
        "Returns Vec of 8-element results."
    )


def test_basis_products_follow_the_rule():
    pairs = [(i, j) for i in range(8) for j in range(8)]
    out = z.octonion_mul_n([basis(i) for i, _ in pairs], [basis(j) for _, j in pairs])
    assert out == [basis(TABLE[p][1], TABLE[p][0]) for p in pairs]
    assert out[1 * 8 + 2] == basis(4) and out[2 * 8 + 1] == basis(4, -1.0)


def test_not_associative():
    (e4,) = z.octonion_mul_n([basis(1)], [basis(2)])
    (left,) = z.octonion_mul_n([e4], [basis(3)])
    (e5,) = z.octonion_mul_n([basis(2)], [basis(3)])
    (right,) = z.octonion_mul_n([basis(1)], [e5])
    assert left == basis(6, -1.0) and right == basis(6)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        # inf * 0 terms are left out rather than turning into NaN.
        (basis(0, math.inf), basis(1), basis(1, math.inf)),
        # NaN is never skipped: it reaches every slot its row touches, and only those.
        (basis(0, math.nan), basis(1), basis(1, math.nan)),
        ([-0.0] * 8, [math.inf] * 8, [0.0] * 8),
    ],
)
def test_zero_coefficients_are_skipped(a, b, expected):
    assert bits(z.octonion_mul_n([a], [b])[0]) == bits(expected)


coeff = st.floats(-1e6, 1e6).map(lambda v: 0.0 if abs(v) < 1 else v)
octonions = st.lists(coeff, min_size=8, max_size=8)


@given(octonions, octonions)
def test_norm_is_multiplicative(a, b):
    (p,) = z.octonion_mul_n([a], [b])
    norm = lambda v: math.sqrt(math.fsum(c * c for c in v))
    assert norm(p) == pytest.approx(norm(a) * norm(b), rel=1e-12, abs=1e-300)


wild = st.lists(st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1.0])), min_size=8, max_size=8)


@given(st.lists(st.tuples(wild, wild), max_size=10))
def test_matches_the_summation_order_bit_for_bit(pairs):
    out = z.octonion_mul_n([a for a, _ in pairs], [b for _, b in pairs])
    assert [bits(r) for r in out] == [bits(reference(a, b)) for a, b in pairs]


def test_batches_pair_up_to_the_shorter_in_input_order():
    a = [[float(i + k) for k in range(8)] for i in range(100_003)]
    b = [[float(k - i % 5) for k in range(8)] for i in range(100_000)]
    out = z.octonion_mul_n(a, b)
    assert len(out) == 100_000
    assert out[::9973] == [reference(a[i], b[i]) for i in range(0, 100_000, 9973)]
    assert z.octonion_mul_n(a[:3], b[:2]) == out[:2]
    assert z.octonion_mul_n([], b) == [] and z.octonion_mul_n(a, []) == []


@pytest.mark.parametrize(
    "a, b, error, message",
    [
        ([[1.0] * 7], [[1.0] * 8], ValueError, r"^expected a sequence of length 8 \(got 7\)$"),
        ([[1.0] * 8], [[1.0] * 9], ValueError, r"^expected a sequence of length 8 \(got 9\)$"),
        ([1.0], [[1.0] * 8], TypeError, r"^argument 'a_batch': 'float' object cannot be converted to 'Sequence'$"),
        ([[1.0] * 8], "12345678", TypeError, r"^argument 'b_batch': Can't extract `str` to `Vec`$"),
        ([[1.0] * 7 + ["x"]], [[1.0] * 8], TypeError, r"^argument 'a_batch': "),
    ],
)
def test_conversion_errors(a, b, error, message):
    with pytest.raises(error, match=message):
        z.octonion_mul_n(a, b)
