"""Conversion of arguments: accepted kinds, exact messages, and hostile objects."""

import array
import math

import numpy as np
import pytest

from zan_math import zan_core as z


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom("no float for you")


class WrongFloat:
    def __float__(self):
        return "not a float"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class LyingLen(list):
    def __len__(self):
        return 10**15


class FailingLen:
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError


class MidwayIter(list):
    def __iter__(self):
        yield 1.0
        raise Boom("midway")


class Shrinker:
    """Empties its list the moment it is converted."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 5.0


class FloatSub(float):
    def __float__(self):  # never consulted: a float subclass is read directly
        return 99.0


@pytest.mark.parametrize(
    "value, expected",
    [
        ((1, 2, True), [0.0, 0.6931471805599453, 0.0]),
        (range(1, 3), [0.0, 0.6931471805599453]),
        ([Index(1)], [0.0]),
        ([FloatSub(1.0)], [0.0]),
        (np.array([1.0, 2.0]), [0.0, 0.6931471805599453]),
        (np.array([1, 2], dtype=np.int32), [0.0, 0.6931471805599453]),
        (np.array([1.0, 2.0], dtype=np.float32), [0.0, 0.6931471805599453]),
        (array.array("d", [1.0, 2.0]), [0.0, 0.6931471805599453]),
        (memoryview(array.array("d", [1.0])), [0.0]),
        (LyingLen([1.0, 1.0]), [0.0, 0.0]),
        (FailingLen(), [math.log(1e-300), 0.0, 0.6931471805599453]),
        ([], []),
    ],
)
def test_accepted_float_lists(value, expected):
    assert z.ln_n(value) == expected


def test_buffer_fast_path_matches_list_path():
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.normal(size=5000) * 1e3, [0.0, -0.0, np.inf, -np.inf, np.nan, 1e-310]])
    for fn in (z.ln_n, z.exp_n, z.sqrt_n, z.sin_n):
        from_list = fn(values.tolist())
        assert np.array_equal(fn(values), from_list, equal_nan=True)
        assert np.array_equal(fn(array.array("d", values)), from_list, equal_nan=True)
        # strided views are not contiguous and take the generic path
        assert np.array_equal(fn(values[::2]), fn(values.tolist()[::2]), equal_nan=True)


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", TypeError, "argument 'ys': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'ys': 'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'ys': 'NoneType' object cannot be converted to 'Sequence'"),
        ({1.0: 2.0}, TypeError, "argument 'ys': 'dict' object cannot be converted to 'Sequence'"),
        ([1.0, "a"], TypeError, "argument 'ys': must be real number, not str"),
        ([10**400], OverflowError, "int too large to convert to float"),
        ([BadFloat()], Boom, "no float for you"),
        (MidwayIter([1.0, 2.0]), Boom, "midway"),
    ],
)
def test_refused_float_lists(value, exc, message):
    with pytest.raises(exc) as info:
        z.ln_n(value)
    assert str(info.value) == message


def test_wrong_float_type_is_a_prefixed_type_error():
    with pytest.raises(TypeError, match=r"^argument 'ys': .*__float__ returned non-float"):
        z.ln_n([WrongFloat()])


def test_second_list_named_in_its_error():
    with pytest.raises(TypeError, match="^argument 'bs': "):
        z.add_n([1.0], ["x"])
    with pytest.raises(TypeError, match="^argument 'exps': "):
        z.pow_n([1.0], "x")
    with pytest.raises(TypeError, match="^argument 'ys': "):
        z.tension_n([1.0], 3)


def test_prefixed_error_keeps_the_cause():
    class Caused:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        z.ln_n([Caused()])
    assert str(info.value) == "argument 'ys': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_list_mutated_during_conversion():
    target = [1.0, 2.0, 3.0]
    target.insert(1, Shrinker(target))
    # The second item empties the list: conversion stops there, as list iteration would.
    assert z.exp_n(target) == [z.exp_n([1.0])[0], z.exp_n([5.0])[0]]


def test_subclass_of_list_with_own_iteration_is_respected():
    class Reversed(list):
        def __iter__(self):
            return iter(list.__reversed__(self))

    assert z.sub_n(Reversed([1.0, 2.0]), [0.0, 0.0]) == [2.0, 1.0]


def test_inputs_are_not_modified_and_results_are_new():
    xs = [1.0, 4.0]
    out = z.sqrt_n(xs)
    assert xs == [1.0, 4.0]
    assert out == [1.0, 2.0] and out is not xs
