"""Rules shared by ZANPoint, ZANPair and ZANKnot: final, immutable, slot-less value classes."""

import inspect
import weakref

import pytest

from zan_math import zan_core as z

SAMPLES = {
    "ZANPoint": (lambda: z.ZANPoint(2.0, 3.0), "(x, y)", ["x", "y"]),
    "ZANPair": (lambda: z.ZANPair(1.0, 2.0), "(real, imag)", ["real", "imag", "real_tension", "imag_tension", "modulus", "argument"]),
    "ZANKnot": (lambda: z.ZANKnot(z.ZANPoint(0.0, 1.0)), "(point, n=0, theta=0.0)", ["point", "flip_count", "phase", "rho"]),
}


@pytest.mark.parametrize("name", SAMPLES)
def test_class_surface(name):
    cls = getattr(z, name)
    _, signature, _ = SAMPLES[name]
    assert cls.__module__ == "zan_core"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert not cls.__doc__


@pytest.mark.parametrize("name", SAMPLES)
def test_attributes_are_read_only_and_registered_in_order(name):
    make, _, attrs = SAMPLES[name]
    obj = make()
    cls = type(obj)
    assert [a for a in cls.__dict__ if a in attrs] == attrs
    for attr in attrs:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1.0)
        with pytest.raises(AttributeError):
            delattr(obj, attr)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("name", SAMPLES)
def test_cannot_be_subclassed_or_patched(name):
    cls = getattr(z, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("name", SAMPLES)
def test_str_is_repr_and_new_goes_through_the_binder(name):
    make, _, _ = SAMPLES[name]
    obj = make()
    assert str(obj) == repr(obj)
    cls = type(obj)
    with pytest.raises(TypeError, match=rf"^{name}\.__new__\(\) got an unexpected keyword argument 'bogus'$"):
        cls.__new__(cls, bogus=1)


def test_point_and_knot_use_identity_semantics():
    p = z.ZANPoint(1.0, 2.0)
    assert p != z.ZANPoint(1.0, 2.0) and p == p
    assert hash(p) == object.__hash__(p)
    k = z.ZANKnot(p)
    assert k != z.ZANKnot(p) and hash(k) == object.__hash__(k)
