"""Fuzzing every function, constructor, method and operator with arbitrary Python values.

Whatever it is given, a call returns a value of its documented type or raises an ordinary
Exception subclass with a message: never a crash, never SystemError, and never
PanicException except for the documented index faults of geometric_product_n.

The normal suite runs a few thousand calls. ZAN_FUZZ_EXAMPLES=N spreads about N calls over
the targets (run it under `make sanitize` for the long campaign), e.g.
    ZAN_FUZZ_EXAMPLES=100000 make sanitize-py SAN_PYTEST_ARGS=tests/python/test_fuzz.py
"""

import inspect
import math
import os
import sys
from array import array
from collections import Counter

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zan_math import zan_core as z

# Hostile values legitimately trigger the host's conversion warnings.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning",
                                        "ignore:Casting complex values")

P, Q, K, R = z.ZANPoint, z.ZANPair, z.ZANKnot, z.PySearchResult
RESULT = z.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], max_complexity=3, beam_width=10)

# ---------------------------------------------------------------------------------------------
# Objects whose conversions misbehave.


class Hostile:
    """Raises, or answers with the wrong type, from one protocol method."""

    def __init__(self, method, behaviour):
        self.method, self.behaviour = method, behaviour

    def _answer(self, method, good):
        if method != self.method:
            raise TypeError(f"no {method}")
        if self.behaviour == "raise":
            raise ArithmeticError(f"{method} refused")
        if self.behaviour == "wrong":
            return "wrong"
        if self.behaviour == "huge":
            return 10**30 if method != "__float__" else 1e308
        if self.behaviour == "negative":
            return -5
        if self.behaviour == "subclass":
            return type("Sub", (type(good),), {})(good)
        return good

    def __float__(self):
        return self._answer("__float__", 1.5)

    def __index__(self):
        return self._answer("__index__", 3)

    def __len__(self):
        return self._answer("__len__", 2)

    def __iter__(self):
        if self.method != "__iter__":
            raise TypeError("no __iter__")
        if self.behaviour == "raise":
            raise ArithmeticError("__iter__ refused")
        if self.behaviour == "wrong":
            return 5
        return iter([1.0, "x", Hostile("__float__", "raise")])

    def __getitem__(self, k):
        if self.method != "__getitem__":
            raise IndexError(k)
        if self.behaviour == "raise":
            raise ArithmeticError("__getitem__ refused")
        if self.behaviour == "wrong":
            return "wrong" if k < 8 else self._stop(k)
        return float(k) if k < 8 else self._stop(k)

    @staticmethod
    def _stop(k):
        raise IndexError(k)

    def __repr__(self):
        return f"Hostile({self.method}, {self.behaviour})"


class Mutator:
    """Changes the list that holds it while that list is converted."""

    def __init__(self, action):
        self.action, self.owner = action, None

    def __float__(self):
        self._mutate()
        return 0.5

    def __index__(self):
        self._mutate()
        return 1

    def _mutate(self):
        owner = self.owner
        if owner is None:
            return
        if self.action == "clear":
            owner.clear()
        elif self.action == "grow":
            owner.extend([2.0] * 50)
        elif self.action == "swap":
            owner[:] = ["a", (1, 2), None] * 3
        elif self.action == "shrink_rows":
            for row in owner:
                if isinstance(row, list):
                    del row[1:]

    def __repr__(self):
        return f"Mutator({self.action})"


def mutating_list(items, action, at):
    xs = list(items)
    m = Mutator(action)
    xs.insert(min(at, len(xs)), m)
    m.owner = xs
    return xs


def mutating_outer(rows, action, at):
    """A list of rows (lists or pairs) one of whose numbers changes the outer list."""
    outer = [list(r) for r in rows] or [[]]
    m = Mutator(action)
    row = outer[min(at, len(outer) - 1)]
    row.insert(min(at, len(row)), m)
    if len(row) == 2 and at % 2:
        outer[outer.index(row)] = tuple(row)
    m.owner = outer
    return outer


class FakeNumpyBool:
    """A type that claims to be numpy's bool but has no truth value of its own."""

    __module__ = "numpy"


FakeNumpyBool.__name__ = "bool_"


# ---------------------------------------------------------------------------------------------
# Strategies.

huge_ints = st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**400, -(10**400)])
ints = st.one_of(st.integers(-300, 300), st.integers(), huge_ints)
floats = st.one_of(st.floats(), st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e-300, 709.78]))
numpy_scalars = st.one_of(
    st.floats(width=32).map(np.float32), st.floats().map(np.float64), st.integers(-128, 127).map(np.int8),
    st.integers(0, 2**64 - 1).map(np.uint64), st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.booleans().map(np.bool_), st.complex_numbers(allow_nan=True).map(np.complex128), st.text(max_size=3).map(np.str_),
)
DTYPES = ["<f8", ">f8", "f4", "i4", "u8", "?", "c16", "O", "i1"]


@st.composite
def numpy_arrays(draw, children):
    dtype = draw(st.sampled_from(DTYPES))
    shape = draw(st.sampled_from([(0,), (1,), (5,), (8,), (3, 2), (2, 8), (4, 8), ()]))
    size = int(np.prod(shape))
    if dtype == "O":
        values = draw(st.lists(children, min_size=size, max_size=size))
        arr = np.empty(size, dtype=object)
        for i, v in enumerate(values):
            arr[i] = v
        arr = arr.reshape(shape)
    else:
        values = draw(st.lists(st.floats(-1e6, 1e6, allow_nan=False), min_size=size, max_size=size))
        arr = np.array(values, dtype=np.float64).reshape(shape).astype(dtype)
    if draw(st.booleans()) and arr.ndim >= 1 and arr.shape[0] > 1:
        arr = arr[::-1] if draw(st.booleans()) else arr[::2]  # views that are not C-contiguous
    return arr


hostiles = st.builds(
    Hostile,
    st.sampled_from(["__float__", "__index__", "__len__", "__iter__", "__getitem__"]),
    st.sampled_from(["raise", "wrong", "huge", "negative", "subclass", "good"]),
)
instances = st.sampled_from([P(0.5, 2.0), Q(1.0, -1.0), K(P(0.0, 1.0), 3, 0.5), RESULT, FakeNumpyBool()])
atoms = st.one_of(
    st.none(), st.booleans(), ints, floats, st.complex_numbers(), st.text(max_size=6), st.binary(max_size=6),
    numpy_scalars, hostiles, instances, st.builds(range, st.integers(-3, 12)),
    st.sampled_from([object(), type, int, math, Ellipsis, NotImplemented, {1: 2.0}, {1.0, 2.0}, bytearray(b"ab")]),
)


def extend(children):
    return st.one_of(
        st.lists(children, max_size=6),
        st.tuples(children, children),
        st.lists(children, max_size=3).map(tuple),
        st.lists(children, min_size=8, max_size=8),
        numpy_arrays(children),
        st.lists(floats, max_size=8).map(lambda v: array("d", v)),
        st.lists(st.integers(-100, 100), max_size=8).map(lambda v: array("i", v)),
        st.lists(floats, max_size=8).map(lambda v: memoryview(array("d", v))),
        st.builds(mutating_list, st.lists(children, max_size=5), st.sampled_from(["clear", "grow", "swap", "shrink_rows"]),
                  st.integers(0, 5)),
        st.builds(mutating_outer, st.lists(st.lists(floats, max_size=8), max_size=4),
                  st.sampled_from(["clear", "grow", "swap", "shrink_rows"]), st.integers(0, 8)),
    )


anything = st.recursive(atoms, extend, max_leaves=24)

# Plausible values of each argument kind, so that calls also get past the first conversion.
number = st.one_of(floats, st.integers(-10, 10), st.booleans(), numpy_scalars, hostiles)
float_list = st.one_of(st.lists(number, max_size=12), st.lists(floats, max_size=40).map(np.array))
pair_list = st.lists(st.one_of(st.tuples(number, number), anything), max_size=12)
rows8 = st.lists(st.one_of(st.lists(number, min_size=8, max_size=8), anything), max_size=6)
blade_list = st.lists(st.one_of(st.lists(st.sampled_from([0.0, 1.0, -2.0, math.inf, math.nan]), max_size=9), anything), max_size=5)
small_ints = st.lists(st.one_of(st.integers(-130, 130), anything), max_size=4)
count = st.one_of(st.integers(-2, 300), huge_ints, hostiles, anything)
flag = st.one_of(st.booleans(), st.booleans().map(np.bool_), anything)


def kind(plausible):
    """Mostly a plausible value of the kind, so that calls get past the first conversion."""
    return st.one_of(plausible, plausible, plausible, anything)


def bounded(value, limit):
    """Keeps counts that would only cost time or memory (not find faults) small."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) and limit < value < 2**64:
        return int(value) % limit
    return value


FLOAT, FLOATS, PAIRS = kind(number), kind(float_list), kind(pair_list)

# (callable, argument strategies, result check). Every public name and member is a target.
is_float = lambda r: type(r) is float  # noqa: E731
is_bool = lambda r: type(r) is bool  # noqa: E731
is_float_list = lambda r: type(r) is list and all(type(v) is float for v in r)  # noqa: E731


def is_tuples(n):
    return lambda r: type(r) is list and all(type(t) is tuple and len(t) == n and all(type(v) is float for v in t) for t in r)


def is_rows(width=None):
    return lambda r: type(r) is list and all(is_float_list(row) and (width is None or len(row) == width) for row in r)


def is_a(cls):
    return lambda r: type(r) is cls


PT, PR, KN = P(0.5, 2.0), Q(1.5, -2.0), K(P(0.5, 2.0), 5, 1.0)

TARGETS = {
    **{name: (getattr(z, name), [FLOATS], is_float_list) for name in ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"]},
    **{name: (getattr(z, name), [FLOATS, FLOATS], is_float_list)
       for name in ["add_n", "sub_n", "mul_n", "div_n", "tension_n", "pow_n"]},
    "boost_n": (z.boost_n, [PAIRS, FLOATS, FLOAT], is_tuples(2)),
    "rotate_phase_n": (z.rotate_phase_n, [PAIRS, FLOATS], is_tuples(2)),
    "schrodinger_step_n": (z.schrodinger_step_n, [PAIRS, FLOATS, FLOAT, FLOAT], is_tuples(2)),
    "simulate_pulses_n": (z.simulate_pulses_n, [FLOAT, FLOAT, count.map(lambda v: bounded(v, 2000))], is_tuples(3)),
    "christoffel_batch_n": (z.christoffel_batch_n, [PAIRS, kind(count), kind(count), kind(count), FLOAT], is_float_list),
    "octonion_mul_n": (z.octonion_mul_n, [kind(rows8), kind(rows8)], is_rows(8)),
    "geometric_product_n": (z.geometric_product_n, [kind(blade_list), kind(blade_list), kind(small_ints)], is_rows()),
    "find_formula": (
        z.find_formula,
        [kind(st.lists(float_list, max_size=3)), FLOATS, count.map(lambda v: bounded(v, 5)),
         count.map(lambda v: bounded(v, 40)), FLOAT, flag, flag, FLOAT],
        lambda r: r is None or type(r) is R,
    ),
    "ZANPoint": (P, [FLOAT, FLOAT], is_a(P)),
    "ZANPoint.__new__": (P.__new__, [st.one_of(st.just(P), anything), FLOAT, FLOAT], is_a(P)),
    "ZANPoint.conserves_tension": (PT.conserves_tension, [kind(instances), FLOAT], is_bool),
    "ZANPoint.minkowski_delta": (PT.minkowski_delta, [flag, FLOAT], is_float),
    "ZANPoint.boost": (PT.boost, [FLOAT, FLOAT], is_a(P)),
    **{f"ZANPoint.{m}": (getattr(PT, m), [], check) for m, check in [
        ("tension", is_float), ("zan", is_float), ("mirror_pulse", is_a(P)), ("pulse", is_a(P)),
        ("frame_shift", is_a(P)), ("is_slipping", is_bool), ("pair", is_a(Q)), ("euclidean_delta", is_float)]},
    "ZANPair": (Q, [FLOAT, FLOAT], is_a(Q)),
    "ZANPair.from_values": (Q.from_values, [FLOAT, FLOAT], is_a(Q)),
    "ZANPair.from_polar": (Q.from_polar, [FLOAT, FLOAT], is_a(Q)),
    "ZANPair.rotate_phase": (PR.rotate_phase, [FLOAT], is_a(Q)),
    **{f"ZANPair.{m}": (getattr(Q, m), [], is_a(Q)) for m in ["unit_i", "one", "zero"]},
    "ZANPair.conjugate": (PR.conjugate, [], is_a(Q)),
    **{f"ZANPair.{op}": (getattr(PR, op), [kind(instances)], lambda r: r is NotImplemented or type(r) in (Q, bool))
       for op in ["__add__", "__sub__", "__mul__", "__truediv__", "__eq__", "__ne__", "__lt__"]},
    "ZANKnot": (K, [kind(instances), kind(count), FLOAT], is_a(K)),
    **{f"ZANKnot.{m}": (getattr(KN, m), [], is_a(K)) for m in ["mirror_pulse", "pulse", "three_one_flip", "flip"]},
    "ZANKnot.tread_yield": (KN.tread_yield, [], lambda r: type(r) is int),
    "PySearchResult": (R, [anything], lambda r: False),
    "PySearchResult.to_latex": (RESULT.to_latex, [], lambda r: type(r) is str),
    "PySearchResult.to_python": (RESULT.to_python, [], lambda r: type(r) is str),
}



def parameter_names(fn):
    try:
        return list(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        return None


BUDGET = int(os.environ.get("ZAN_FUZZ_EXAMPLES", "2000"))
PER_TARGET = max(10, BUDGET // len(TARGETS))
CALLS = Counter()


def check_call(name, call, accepts):
    CALLS["calls"] += 1
    try:
        result = call()
    except z.PanicException as exc:
        CALLS["PanicException"] += 1
        assert name == "geometric_product_n", f"{name} raised PanicException: {exc}"
        assert str(exc).startswith("index out of bounds: the len is "), str(exc)
        return
    except SystemError as exc:
        raise AssertionError(f"{name} raised SystemError: {exc}") from exc
    except MemoryError:
        CALLS["MemoryError"] += 1
        return
    except Exception as exc:  # noqa: BLE001 - any ordinary exception is an acceptable outcome
        CALLS[type(exc).__name__] += 1
        assert str(exc), f"{name} raised {type(exc).__name__} without a message"
        return
    CALLS["returned"] += 1
    assert accepts(result), f"{name} returned {type(result).__name__}: {result!r}"[:300]


@pytest.mark.parametrize("name", TARGETS)
@settings(max_examples=PER_TARGET, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_arbitrary_arguments(name, data, capfd):
    fn, params, accepts = TARGETS[name]
    args = [data.draw(p, label=f"arg{i}") for i, p in enumerate(params)]
    # Mostly the full positional call; sometimes by keyword, with an argument too many or too few.
    shape = data.draw(st.sampled_from(["positional"] * 12 + ["keywords"] * 2 + ["extra", "missing", "junk keyword"]))
    kwargs = {}
    names = parameter_names(fn)
    if shape == "keywords" and names:
        split = data.draw(st.integers(0, len(args)))
        kwargs = dict(zip(names[split:], args[split:]))
        args = args[:split]
    elif shape == "extra":
        args.append(data.draw(anything))
    elif shape == "missing" and args:
        args.pop()
    elif shape == "junk keyword":
        kwargs = {data.draw(st.sampled_from(["x", "ys", "zz", "as_", "point", "signature"])): data.draw(anything)}
    check_call(name, lambda: fn(*args, **kwargs), accepts)
    capfd.readouterr()  # diagnostics of the documented faults


# ---------------------------------------------------------------------------------------------
# Well-behaved containers of every kind: the converted values must be exactly what Python's
# float() makes of each item, whatever the container, dtype, byte order or stride.

plain_floats = st.floats(width=32) | st.floats() | st.integers(-(2**53), 2**53)


@st.composite
def float_sequences(draw):
    values = draw(st.lists(plain_floats, max_size=20))
    form = draw(st.sampled_from(["list", "tuple", "ndarray", "array", "memoryview", "range", "bools"]))
    if form == "list":
        return values
    if form == "tuple":
        return tuple(values)
    if form == "range":
        return range(draw(st.integers(-5, 5)), draw(st.integers(-5, 30)), draw(st.sampled_from([1, 2, 3, -1])))
    if form == "bools":
        return [bool(v) for v in values] if draw(st.booleans()) else np.array([bool(v) for v in values])
    if form in ("array", "memoryview"):
        typecode = draw(st.sampled_from(["d", "f"]))
        arr = array(typecode, [float(v) for v in values])
        if form == "array":
            return arr
        view = memoryview(arr)
        return view[::2] if draw(st.booleans()) else view
    dtype = draw(st.sampled_from(["<f8", ">f8", "f4", "f2", "i8", "u4", "i1"]))
    with np.errstate(all="ignore"):
        arr = np.array([float(v) for v in values], dtype=np.float64).astype(dtype)
    step = draw(st.sampled_from([1, 1, 2, -1]))
    return arr[::step]


def exact(values):
    return [v.hex() if v == v else "nan" for v in values]


@settings(max_examples=max(100, BUDGET // 10), deadline=None, database=None)
@given(float_sequences(), float_sequences())
def test_every_container_converts_like_float(xs, ys):
    expected = [float(a) + float(b) for a, b in zip(xs, ys)]
    assert exact(z.add_n(xs, ys)) == exact(expected)
    assert exact(z.sqrt_n(xs)) == exact([math.sqrt(abs(float(a))) for a in xs])
