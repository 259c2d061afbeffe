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


P, Q, K = z.ZANPoint, z.ZANPair, z.ZANKnot

# Registration order within each class, text signatures and docstrings (None: no docstring).
METHODS = {
    P: [
        ("tension", "($self)", None),
        ("zan", "($self)", "Alias for tension() — zan(x, y) = exp(x) - ln(y)."),
        ("mirror_pulse", "($self)", None),
        ("pulse", "($self)", "Alias for mirror_pulse()."),
        ("frame_shift", "($self)", None),
        ("is_slipping", "($self)", None),
        ("conserves_tension", "($self, next, tol)", None),
        ("pair", "($self)", "Returns (exp(x), ln(|y|)) as an ZANPair — canonical frame coordinates."),
        ("euclidean_delta", "($self)", "Euclidean delta: sqrt(exp(2x) + (ln y)^2)."),
        ("minkowski_delta", "($self, plus_signature, c)",
         "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
         "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."),
        ("boost", "($self, phi, c)",
         "Lorentz boost by rapidity phi. Returns new ZANPoint with identical Δ_M.\n"
         "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
         "where t = exp(x_coord), x = ln(y_coord)."),
    ],
    Q: [
        ("from_values", "(real, imag)", None),
        ("from_polar", "(r, theta)", None),
        ("unit_i", "()", None),
        ("one", "()", None),
        ("zero", "()", None),
        ("rotate_phase", "($self, angle)", None),
        ("conjugate", "($self)", None),
    ],
    K: [
        ("mirror_pulse", "($self)", None),
        ("pulse", "($self)", "Alias for mirror_pulse()."),
        ("three_one_flip", "($self)", None),
        ("flip", "($self)", "Alias for three_one_flip()."),
        ("tread_yield", "($self)", None),
    ],
    z: [
        ("schrodinger_step_n", "(psi, v, dt, hbar)",
         "Batch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.\n"
         "Returns list of (real, imag) tuples."),
        ("rotate_phase_n", "(pairs, angles)", "Batch rotate_phase for a list of ZANPairs."),
        ("simulate_pulses_n", "(x0, y0, n_pulses)", "Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."),
        ("boost_n", "(points, phis, c)",
         "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
         "Returns Vec of (x', y') tuples."),
    ],
}


@pytest.mark.parametrize("owner", METHODS, ids=lambda o: o.__name__)
def test_methods_signatures_and_docstrings(owner):
    names = [name for name, _, _ in METHODS[owner]]
    if owner is not z:
        assert [m for m in vars(owner) if callable(getattr(owner, m)) and not m.startswith("__")] == names
    for name, sig, doc in METHODS[owner]:
        fn = getattr(owner, name)
        assert (fn.__text_signature__, fn.__doc__) == (sig, doc)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: P(1.0), TypeError, "ZANPoint.__new__() missing 1 required positional argument: 'y'"),
        (lambda: P(1, x=2), TypeError, "ZANPoint.__new__() got multiple values for argument 'x'"),
        (lambda: P(1, "a"), TypeError, "argument 'y': must be real number, not str"),
        (lambda: P(1, 2).tension(1), TypeError, "ZANPoint.tension() takes 0 positional arguments but 1 was given"),
        (lambda: P(1, 2).boost(0.1, d=2), TypeError, "ZANPoint.boost() got an unexpected keyword argument 'd'"),
        (lambda: P(1, 2).conserves_tension(1.0, 0.1), TypeError,
         "argument 'next': 'float' object cannot be converted to 'ZANPoint'"),
        (lambda: P(1, 2).minkowski_delta(1, 2.0), TypeError,
         "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"),
        (lambda: Q.one(1), TypeError, "ZANPair.one() takes 0 positional arguments but 1 was given"),
        (lambda: Q(1, 2).rotate_phase(), TypeError, "ZANPair.rotate_phase() missing 1 required positional argument: 'angle'"),
        (lambda: K((0, 1)), TypeError, "argument 'point': 'tuple' object cannot be converted to 'ZANPoint'"),
        (lambda: K(P(0, 1), n=2.5), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda: K(P(0, 1), n=2**63), OverflowError, "int too big to convert"),
        (lambda: K(P(0, 1), 1, 0.0, 4), TypeError, "ZANKnot.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: K(n=1), TypeError, "ZANKnot.__new__() missing 1 required positional argument: 'point'"),
        (lambda: z.rotate_phase_n([Q(1, 0)], [0.0]), TypeError,
         "argument 'pairs': 'ZANPair' object cannot be converted to 'PyTuple'"),
        (lambda: z.rotate_phase_n("ab", [0.0]), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
        (lambda: z.schrodinger_step_n([(1, 0)], [1.0], 0.5), TypeError,
         "schrodinger_step_n() missing 1 required positional argument: 'hbar'"),
        (lambda: z.simulate_pulses_n(0.0, 1.0, -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: z.simulate_pulses_n(0.0, 1.0, 2.0), TypeError,
         "argument 'n_pulses': 'float' object cannot be interpreted as an integer"),
        (lambda: z.boost_n(), TypeError, "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
        (lambda: z.boost_n([[1.0, 2.0]], [0.1], 1.0), TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: z.boost_n([(1.0, 2.0, 3.0)], [0.1], 1.0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (lambda: z.boost_n([(1.0, 2.0)], "ab", 1.0), TypeError, "argument 'phis': Can't extract `str` to `Vec`"),
    ],
)
def test_binding_and_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message
