"""Reference and memory leak checks.

Every public function, constructor, method, attribute and operator is called many times with
valid input and with each kind of bad input (binding errors, conversion errors, the internal
faults of geometric_product_n). Three things must stay flat: the reference counts of every
argument and of everything inside it, the Python-side memory seen by tracemalloc, and the
resident memory of the process (which also sees native allocations)."""

import ctypes
import gc
import os
import sys
import tracemalloc
from array import array

import numpy as np
import pytest

from conftest import SANITIZED
from zan_math import zan_core as z

pytestmark = pytest.mark.slow

N = 2000  # elements of the list arguments: a leak of one per call shows up at once in RSS
PAGE = os.sysconf("SC_PAGE_SIZE")
# 400 calls of each case make a leak of one block per call show in the resident memory; under
# the sanitizers LeakSanitizer checks that instead, and the reference counts need few calls.
ROUNDS, TRACED_ROUNDS = (40 if SANITIZED else 400), 50

P, Q, K = z.ZANPoint, z.ZANPair, z.ZANKnot


_libc = ctypes.CDLL(None)


def resident_bytes():
    """Resident memory after handing free heap pages back, so that it tracks live memory."""
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Explodes:
    """A number whose every conversion raises."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __index__(self):
        raise ArithmeticError("no index")


class WrongFloat:
    def __float__(self):
        return "1.0"


class BadLen(list):
    def __len__(self):
        raise RuntimeError("no len")


class Shrinks:
    """Empties its list the first time it is converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        del self.owner[1:]
        return 2.0


def shrinking_list():
    xs = [1.0, 0.0, 3.0, 4.0]
    xs[1] = Shrinks(xs)
    return xs


XS = [i * 0.01 - 7.0 for i in range(N)]
YS = [i * 0.003 + 0.5 for i in range(N)]
MIXED = [i if i % 3 else True for i in range(N)]
ARR = np.linspace(-3.0, 3.0, N)
ARR_I = np.arange(N, dtype=np.int32)
DARR = array("d", XS)
PAIRS = [(x, y) for x, y in zip(XS, YS)]
ROWS = [[float(k + i) for k in range(8)] for i in range(N // 8)]
MV = [[1.0, 2.0, 0.0, 4.0, 0.5, -1.0, 0.0, 2.0] for _ in range(N // 8)]
SIG = [1, -1, 0]
LONG_BAD = XS[:-1] + ["a"]
HUGE = XS[:-1] + [10**400]
PT, PT2 = P(0.5, 2.0), P(-1.0, 3.0)
PR, PR2 = Q(1.5, -2.0), Q(0.25, 4.0)
KN = K(PT, 5, 1.0)
RESULT = z.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], max_complexity=3, beam_width=10)
assert RESULT is not None


def elementwise_cases():
    cases = []
    unary = ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"]
    binary = ["add_n", "sub_n", "mul_n", "div_n", "tension_n", "pow_n"]
    for name in unary:
        f = getattr(z, name)
        cases += [
            (f, (XS,), {}), (f, (ARR,), {}), (f, (tuple(MIXED),), {}), (f, (DARR,), {}), (f, (ARR_I,), {}),
            (f, ("abc",), {}), (f, (5,), {}), (f, (LONG_BAD,), {}), (f, (HUGE,), {}), (f, ([Explodes()],), {}),
            (f, ([WrongFloat()],), {}), (f, (BadLen(XS),), {}), (f, (shrinking_list(),), {}),
            (f, (XS, XS), {}), (f, (), {"zs": XS}), (f, (), {}),
        ]
    for name in binary:
        f = getattr(z, name)
        cases += [
            (f, (XS, YS), {}), (f, (ARR, MIXED), {}), (f, (XS, YS[:10]), {}), (f, (XS, LONG_BAD), {}),
            (f, (LONG_BAD, XS), {}), (f, (XS, "abc"), {}), (f, (XS,), {}), (f, (XS, YS), {"bases": XS}),
            (f, (XS, YS, XS), {}),
        ]
    return cases


def pair_list_cases():
    bad_pairs = [[(1.0, 2.0), [1.0, 2.0]], [(1.0, 2.0, 3.0)], [(1.0, "y")], [(Explodes(), 1.0)], "ab", 3.0]
    cases = [
        (z.boost_n, (PAIRS, XS, 1.0), {}), (z.boost_n, (PAIRS, XS), {"c": Explodes()}),
        (z.rotate_phase_n, (PAIRS, XS), {}), (z.rotate_phase_n, (), {"pairs": PAIRS, "angles": LONG_BAD}),
        (z.schrodinger_step_n, (PAIRS, YS, 0.1, 1.0), {}), (z.schrodinger_step_n, (PAIRS, YS, 0.1), {}),
        (z.christoffel_batch_n, (PAIRS, 0, 0, 1, 1.0), {}), (z.christoffel_batch_n, (PAIRS, 1, 0, 0, 2.0), {}),
        (z.christoffel_batch_n, (PAIRS, -1, 0, 1, 1.0), {}), (z.christoffel_batch_n, (PAIRS, 0.5, 0, 1, 1.0), {}),
        (z.christoffel_batch_n, (PAIRS, 0, 0, 2**64, 1.0), {}), (z.christoffel_batch_n, (PAIRS, 0, 0, 1, "rs"), {}),
    ]
    for bad in bad_pairs:
        cases += [(z.boost_n, (bad, XS, 1.0), {}), (z.rotate_phase_n, (bad, XS), {}),
                  (z.christoffel_batch_n, (bad, 0, 0, 1, 1.0), {})]
    return cases


def algebra_cases():
    return [
        (z.octonion_mul_n, (ROWS, ROWS[::-1]), {}), (z.octonion_mul_n, (np.ones((50, 8)), ROWS), {}),
        (z.octonion_mul_n, (ROWS + [[1.0] * 7], ROWS), {}), (z.octonion_mul_n, (ROWS, ROWS[:-1] + [[1.0] * 7 + ["a"]]), {}),
        (z.octonion_mul_n, (ROWS, [3.0]), {}), (z.octonion_mul_n, (ROWS,), {}),
        (z.geometric_product_n, (MV, MV, SIG), {}), (z.geometric_product_n, (MV, MV, [1, 1, 200]), {}),
        (z.geometric_product_n, (MV, MV, [1, 1.0, 1]), {}), (z.geometric_product_n, (MV, [[1.0, "b"]], SIG), {}),
        (z.geometric_product_n, ([XS], [YS], SIG), {}),
        # Internal faults: b shorter than a, a common vector beyond the signature, a target
        # blade beyond a non-power-of-two length; raised from worker threads for long batches.
        (z.geometric_product_n, (MV, [[0.0, 1.0]] * len(MV), SIG), {}),
        (z.geometric_product_n, ([[0.0, 1.0]] * 500, [[0.0, 1.0]] * 500, []), {}),
        (z.geometric_product_n, ([[0.0, 1.0, 1.0]] * 500, [[0.0, 1.0, 1.0]] * 500, [1, 1]), {}),
    ]


def point_cases():
    return [
        (P, (0.5, 2.0), {}), (P, (), {"x": 1, "y": True}), (P, ("a", 1.0), {}), (P, (1.0,), {}),
        (P, (1.0, 2.0, 3.0), {}), (P, (Explodes(), 1.0), {}), (P.__new__, (P, 1.0, 2.0), {}),
        (PT.tension, (), {}), (PT.zan, (), {}), (PT.mirror_pulse, (), {}), (PT.pulse, (), {}),
        (PT.frame_shift, (), {}), (PT.is_slipping, (), {}), (PT.pair, (), {}), (PT.euclidean_delta, (), {}),
        (PT.conserves_tension, (PT2, 1e-9), {}), (PT.conserves_tension, (PR, 1e-9), {}),
        (PT.minkowski_delta, (True, 1.0), {}), (PT.minkowski_delta, (1, 1.0), {}),
        (PT.minkowski_delta, (np.bool_(False), 2.0), {}), (PT.boost, (0.3, 1.0), {}),
        (PT.boost, (0.3,), {}), (PT.tension, (1,), {}), (PT.tension, (), {"x": 1}),
        (repr, (PT,), {}), (getattr, (PT, "x"), {}), (getattr, (PT, "y"), {}),
    ]


def pair_cases():
    return [
        (Q, (1.0, 2.0), {}), (Q, ("a", 1.0), {}), (Q, (1.0,), {}), (Q.from_values, (1.0, 2.0), {}),
        (Q.from_polar, (2.0, 0.5), {}), (Q.from_polar, (2.0, None), {}), (Q.unit_i, (), {}), (Q.one, (), {}),
        (Q.zero, (), {}), (Q.zero, (1,), {}), (PR.rotate_phase, (0.5,), {}), (PR.rotate_phase, ([],), {}),
        (PR.conjugate, (), {}), (abs, (PR,), {}), (repr, (PR,), {}),
        (PR.__add__, (PR2,), {}), (PR.__sub__, (PR2,), {}), (PR.__mul__, (PR2,), {}), (PR.__truediv__, (PR2,), {}),
        (PR.__add__, (1.0,), {}), (PR.__eq__, (PR2,), {}), (PR.__ne__, (PR,), {}), (PR.__eq__, (3,), {}),
        (PR.__lt__, (PR2,), {}), (hash, (PR,), {}),
        (getattr, (PR, "real"), {}), (getattr, (PR, "modulus"), {}), (getattr, (PR, "argument"), {}),
        (getattr, (PR, "imag"), {}), (getattr, (PR, "real_tension"), {}), (getattr, (PR, "imag_tension"), {}),
    ]


def knot_cases():
    return [
        (K, (PT,), {}), (K, (PT, 3, 0.5), {}), (K, (PT,), {"n": 2**63}), (K, (PR,), {}), (K, (PT, 1.5), {}),
        (K, (), {}), (KN.mirror_pulse, (), {}), (KN.pulse, (), {}), (KN.three_one_flip, (), {}), (KN.flip, (), {}),
        (KN.tread_yield, (), {}), (repr, (KN,), {}), (getattr, (KN, "point"), {}), (getattr, (KN, "rho"), {}),
        (getattr, (KN, "flip_count"), {}), (getattr, (KN, "phase"), {}),
        (z.simulate_pulses_n, (0.5, 2.0, 200), {}), (z.simulate_pulses_n, (0.5, 2.0, -1), {}),
        (z.simulate_pulses_n, (0.5, 2.0, 1.0), {}), (z.simulate_pulses_n, (0.5, 2.0, 2**64 - 1), {}),
        (z.simulate_pulses_n, (0.5, 2.0), {"n": 1}),
    ]


def discovery_cases():
    x3 = [[1.0, 2.0, 3.0]]
    return [
        (z.find_formula, (x3, [2.0, 4.0, 6.0]), {}),
        (z.find_formula, ([XS[:40], YS[:40]], YS[:40]), {"max_complexity": 3, "beam_width": 30}),
        (z.find_formula, (x3, [3.3, -1.7, 12.1]), {"max_complexity": 4, "beam_width": 40, "use_trig": False}),
        (z.find_formula, ([], [1.0]), {}), (z.find_formula, ([[1.0, 2.0], [1.0]], [1.0, 2.0]), {}),
        (z.find_formula, ([1.0, 2.0], [1.0, 2.0]), {}), (z.find_formula, (x3, "abc"), {}),
        (z.find_formula, (x3, [1.0]), {"use_zan": 1}), (z.find_formula, (x3, [1.0]), {"beam_width": -1}),
        (z.find_formula, (x3, [1.0]), {"max_complexity": 2.0}), (z.find_formula, (x3,), {}),
        (z.find_formula, (x3, [1.0]), {"tol": 1}),
        (z.PySearchResult, (), {}), (RESULT.to_latex, (), {}), (RESULT.to_python, (), {}), (RESULT.to_python, (1,), {}),
        (repr, (RESULT,), {}), (getattr, (RESULT, "formula"), {}), (getattr, (RESULT, "error"), {}),
        (getattr, (RESULT, "complexity"), {}), (getattr, (RESULT, "params"), {}),
    ]


FAMILIES = {
    "elementwise": elementwise_cases,
    "pair lists and christoffel": pair_list_cases,
    "octonion and geometric": algebra_cases,
    "ZANPoint": point_cases,
    "ZANPair": pair_cases,
    "ZANKnot and simulate_pulses_n": knot_cases,
    "find_formula and PySearchResult": discovery_cases,
}


def tracked_objects(cases):
    """Every argument and everything reachable inside lists, tuples and dicts of arguments."""
    seen, out = set(), []
    stack = [obj for f, args, kwargs in cases for obj in (f, *args, *kwargs.values())]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        out.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(iter(obj))
        elif isinstance(obj, np.ndarray) and obj.dtype == object:
            stack.extend(obj.ravel())
    return out


def run(cases, rounds):
    outcomes = {}
    for _ in range(rounds):
        for i, (f, args, kwargs) in enumerate(cases):
            try:
                result = f(*args, **kwargs)
                outcomes[i] = None
                del result
            except (Exception, z.PanicException) as exc:
                outcomes[i] = type(exc)
                del exc
    return outcomes


@pytest.mark.parametrize("family", FAMILIES)
def test_no_leaks(family, capfd):
    cases = FAMILIES[family]()
    objects = tracked_objects(cases)
    outcomes = run(cases, 3)  # warm-up: type caches, the pool, interned strings
    # Each family mixes successes with every kind of failure.
    kinds = set(outcomes.values())
    assert None in kinds and TypeError in kinds

    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    rss = resident_bytes()
    run(cases, ROUNDS)
    gc.collect()
    grown = resident_bytes() - rss
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, refs, after) if a != b]
    assert not changed, f"reference counts changed: {changed[:5]}"
    if not SANITIZED:  # AddressSanitizer keeps freed blocks in quarantine; LeakSanitizer checks instead
        assert grown < 4 << 20, f"resident memory grew by {grown / 2**20:.1f} MiB"

    tracemalloc.start()
    try:
        run(cases, 2)
        gc.collect()
        base, _ = tracemalloc.get_traced_memory()
        run(cases, TRACED_ROUNDS)
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current - base < 16 << 10, f"traced Python memory grew by {current - base} bytes"
    capfd.readouterr()  # the fault diagnostics of the PanicException cases


def test_leak_checks_see_a_leak():
    """The three measures are sharp enough: keeping the argument and the result of each call trips them."""
    hoard = []
    cases = [(lambda xs: hoard.append((xs, z.exp_n(xs))), (XS,), {})]
    refs = sys.getrefcount(XS)
    rss = resident_bytes()
    run(cases, ROUNDS)
    assert resident_bytes() - rss > 4 << 20 or SANITIZED
    assert sys.getrefcount(XS) == refs + ROUNDS
    tracemalloc.start()
    try:
        base, _ = tracemalloc.get_traced_memory()
        run(cases, TRACED_ROUNDS)
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current - base > 16 << 10
