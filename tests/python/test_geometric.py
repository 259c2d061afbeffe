import random
import re

import pytest
from hypothesis import given, strategies as st

from conftest import bits
from zan_math import PanicException
from zan_math import zan_core as z

INF = float("inf")


class Fault(Exception):
    pass


def oob(length, index):
    return Fault(f"index out of bounds: the len is {length} but the index is {index}")


def reference(a, b, sig):
    """The product loop written out literally, one sign flip or factor per bit."""
    n = len(a)
    r = [0.0] * n
    for i in range(n):
        if a[i] == 0:
            continue
        for j in range(n):
            if j >= len(b):
                raise oob(len(b), j)
            if b[j] == 0:
                continue
            g = 1.0
            for p in range(j.bit_length()):
                if not (j >> p) & 1:
                    continue
                if bin(i >> (p + 1)).count("1") % 2:
                    g = -g
                if (i >> p) & 1:
                    if p >= len(sig):
                        raise oob(len(sig), p)
                    g *= float(sig[p])
            k = i ^ j
            if k >= n:
                raise oob(n, k)
            r[k] = b[j] * (g * a[i]) + r[k]
    return r


def blade(k, n, scale=1.0):
    row = [0.0] * n
    row[k] = scale
    return row


def gp(a, b, sig):
    return z.geometric_product_n([a], [b], sig)[0]


def test_text_signature_and_docstring():
    assert z.geometric_product_n.__text_signature__ == "(a_batch, b_batch, signature)"
    assert z.geometric_product_n.__doc__ == (
        "Batch geometric product (Rayon parallel).\n"
        "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
        "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
        "Returns Vec of result coefficient arrays."
    )


E1, E2, E12 = 1, 2, 3


@pytest.mark.parametrize(
    "sig, a, b, expected",
    [
        ([1, 1], blade(E1, 4), blade(E2, 4), [0, 0, 0, 1]),
        ([1, 1], blade(E2, 4), blade(E1, 4), [0, 0, 0, -1]),
        ([1, 1], blade(E1, 4), blade(E1, 4), [1, 0, 0, 0]),
        ([1, 1], blade(E12, 4), blade(E12, 4), [-1, 0, 0, 0]),
        ([1, -1], blade(E12, 4), blade(E12, 4), [1, 0, 0, 0]),
        ([1, -1], blade(E2, 4), blade(E2, 4), [-1, 0, 0, 0]),
        ([1, 1], [1, 2, 3, 4], [5, 6, 7, 8], [6, 20, 14, 24]),
        ([1, 1, 1], blade(E1, 8), blade(E2, 8), blade(3, 8)),
        ([1, 1, 1], blade(5, 8), blade(6, 8), blade(3, 8, -1.0)),  # e1e3 e2e3 = -e1e2
        ([2, 3], blade(E12, 4), blade(E12, 4), [-6, 0, 0, 0]),
        ([-128], blade(E1, 2), blade(E1, 2), [-128, 0]),
        # A null direction: e3 squares to zero, and the cross terms of (e1 + e3)^2 cancel.
        ([1, 1, 0], blade(4, 8), blade(4, 8), [0] * 8),
        ([1, 1, 0], [0, 1, 0, 0, 1, 0, 0, 0], [0, 1, 0, 0, 1, 0, 0, 0], [1] + [0] * 7),
        # Blades beyond the signature are fine while they share no factor.
        ([], blade(E1, 4), blade(E2, 4), [0, 0, 0, 1]),
        # Zero terms are skipped: inf * 0 never happens, and an all-zero a reads nothing.
        ([1, 1], [INF, 0, 0, 0], [0, 1, 0, 0], [0, INF, 0, 0]),
        ([1, 1], blade(E1, 4), [0, 0, 0, 0, 99], [0, 0, 0, 0]),
        ([], [0.0] * 5, [], [0.0] * 5),
        ([], [], [1.0], []),
    ],
)
def test_products(sig, a, b, expected):
    assert bits(gp(a, b, sig)) == bits([float(v) for v in expected])


@pytest.mark.parametrize(
    "a, b, sig, length, index",
    [
        ([0, 1, 1], [0, 1, 1], [1, 1], 3, 3),  # e1 e2 lands on blade 3 of a length-3 array
        ([0, 1, 0, 0], [0, 1], [1, 1], 2, 2),  # b shorter than a
        (blade(E1, 4), blade(E1, 4), [], 0, 0),  # common factor without a signature entry
        (blade(7, 8), blade(6, 8), [1], 1, 1),  # the lowest common factor beyond it is named
        (blade(256 + 7, 512), blade(256 + 1, 512), [1] * 8, 8, 8),
    ],
)
def test_faults(a, b, sig, length, index, capfd):
    message = f"index out of bounds: the len is {length} but the index is {index}"
    with pytest.raises(PanicException, match=f"^{message}$"):
        gp(a, b, sig)
    err = capfd.readouterr().err
    assert re.search(r"thread '.*' \(\d+\) panicked at src/core/\S+:\d+:\d+:\n" + message + "\n", err)


def test_fault_on_a_worker_aborts_the_whole_batch(capfd):
    a = [[1.0, 2.0, 3.0, 4.0]] * 100_000
    b = [[5.0, 6.0, 7.0, 8.0]] * 100_000
    b[50_000] = [5.0, 6.0]
    with pytest.raises(PanicException, match="^index out of bounds: the len is 2 but the index is 2$"):
        z.geometric_product_n(a, b, [1, 1])
    assert "panicked at" in capfd.readouterr().err
    # The pool survives the fault.
    b[50_000] = [5.0, 6.0, 7.0, 8.0]
    assert z.geometric_product_n(a, b, [1, 1]) == [[6.0, 20.0, 14.0, 24.0]] * 100_000


coeff = st.one_of(st.sampled_from([0.0, -0.0, 1.0, INF]), st.floats(allow_nan=True))


@given(
    st.lists(st.tuples(st.lists(coeff, max_size=9), st.lists(coeff, max_size=9)), max_size=4),
    st.lists(st.integers(-128, 127), max_size=4),
)
def test_matches_the_literal_loop(pairs, sig):
    expected = []
    try:
        expected = [bits(reference(a, b, sig)) for a, b in pairs]
    except Fault as fault:
        with pytest.raises(PanicException) as got:
            z.geometric_product_n([a for a, _ in pairs], [b for _, b in pairs], sig)
        # Which failing element is reported is open when several fail: only check a lone one.
        failing = [p for p in pairs if _fails(*p, sig)]
        if len(failing) == 1:
            assert str(got.value) == str(fault)
        return
    out = z.geometric_product_n([a for a, _ in pairs], [b for _, b in pairs], sig)
    assert [bits(r) for r in out] == expected


def _fails(a, b, sig):
    try:
        reference(a, b, sig)
    except Fault:
        return True
    return False


small = st.integers(-4, 4).map(float)


@given(st.integers(0, 4).flatmap(lambda d: st.tuples(
    st.lists(st.sampled_from([1, -1, 0, 2]), min_size=d, max_size=d),
    *[st.lists(small, min_size=2**d, max_size=2**d)] * 3,
)))
def test_associative(case):
    sig, a, b, c = case
    ab, bc = z.geometric_product_n([a, b], [b, c], sig)
    assert z.geometric_product_n([ab], [c], sig) == z.geometric_product_n([a], [bc], sig)


@pytest.mark.parametrize("sig", [[2, -1, 3, 1, -2, 1, 1, 3, -1, 2], [1] * 9 + [0], [127, -125, 123, 121, -119, 117, 113, -111, 109, 107]])
def test_many_common_factors_match_the_literal_loop(sig):
    # Blades sharing up to ten factors; the last signature makes the metric products round,
    # so their order matters too.
    rng = random.Random(len(sig))
    masks = [0, 1, 255, 256, 511, 512 + 3, 1023] + [rng.randrange(1024) for _ in range(20)]
    a = [0.0] * 1024
    b = [0.0] * 1024
    for m in masks:
        a[m], b[m ^ 0x2A5] = rng.uniform(-2, 2), rng.uniform(-2, 2)
        b[m] = rng.uniform(-2, 2)
    assert bits(gp(a, b, sig)) == bits(reference(a, b, sig))


def test_batches_of_mixed_lengths_pair_up_to_the_shorter():
    a = [blade(E1, 2), blade(E1, 4), [], blade(E2, 8), blade(E1, 2)]
    b = [blade(E1, 2), blade(E2, 8), [1.0], blade(E1, 8)]
    out = z.geometric_product_n(a, b, [1, 1, 1, 1])
    assert out == [[1.0, 0.0], [0.0, 0.0, 0.0, 1.0], [], blade(3, 8, -1.0)]
    assert z.geometric_product_n([], b, []) == [] and z.geometric_product_n(a, [], []) == []


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([[1.0]], [[1.0]], [1, 128]), OverflowError, r"^out of range integral type conversion attempted$"),
        (([[1.0]], [[1.0]], [-129]), OverflowError, r"^out of range integral type conversion attempted$"),
        (([[1.0]], [[1.0]], [1.0]), TypeError, r"^argument 'signature': "),
        (([[1.0]], [[1.0]], "11"), TypeError, r"^argument 'signature': Can't extract `str` to `Vec`$"),
        (([["1"]], [[1.0]], [1]), TypeError, r"^argument 'a_batch': "),
        (([[1.0]], [1.0], [1]), TypeError, r"^argument 'b_batch': 'float' object cannot be converted to 'Sequence'$"),
    ],
)
def test_conversion_errors(args, error, message):
    with pytest.raises(error, match=message):
        z.geometric_product_n(*args)
