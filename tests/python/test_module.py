import importlib
import sys

import pytest

import zan_math
from zan_math import zan_core as z

ELEMENTWISE = {
    "exp_n": ("(xs)", "Batch exp: [exp(x) for x in xs] — Rayon parallel."),
    "ln_n": ("(ys)", "Batch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied."),
    "add_n": ("(as_, bs)", "Batch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel."),
    "sub_n": ("(as_, bs)", "Batch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel."),
    "mul_n": ("(as_, bs)", "Batch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel."),
    "div_n": ("(as_, bs)", "Batch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel."),
    "sqrt_n": ("(xs)", "Batch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel."),
    "sin_n": ("(xs)", "Batch sin: [sin(x) for x in xs] — Rayon parallel."),
    "cos_n": ("(xs)", "Batch cos: [cos(x) for x in xs] — Rayon parallel."),
    "tension_n": ("(xs, ys)", "Batch zan_tension: [zan(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel."),
    "pow_n": ("(bases, exps)", "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel."),
}

REGISTRATION_ORDER = [
    "ZANPoint", "ZANPair", "ZANKnot", "schrodinger_step_n", "rotate_phase_n", "simulate_pulses_n",
    "boost_n", "exp_n", "ln_n", "add_n", "sub_n", "mul_n", "div_n", "sqrt_n", "sin_n", "cos_n",
    "tension_n", "pow_n", "christoffel_batch_n", "octonion_mul_n", "geometric_product_n",
    "PySearchResult", "find_formula",
]


def test_all_follows_registration_order():
    registered = [name for name in REGISTRATION_ORDER if hasattr(z, name)]
    assert z.__all__ == registered
    assert set(ELEMENTWISE) <= set(z.__all__)


def test_module_surface():
    assert z.__doc__ == ""
    assert issubclass(z.PanicException, BaseException)
    assert not issubclass(z.PanicException, Exception)
    assert zan_math.PanicException is z.PanicException
    for name in z.__all__:
        assert getattr(zan_math, name) is getattr(z, name)


@pytest.mark.parametrize("name", sorted(ELEMENTWISE))
def test_signatures_and_docstrings(name):
    fn = getattr(z, name)
    sig, doc = ELEMENTWISE[name]
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == doc
    assert fn.__name__ == name
    assert fn.__module__ == "zan_core"
    assert type(fn).__name__ == "builtin_function_or_method"


def test_reimport_returns_the_same_module():
    again = importlib.import_module("zan_math.zan_core")
    assert again is z
    saved = sys.modules.pop("zan_math.zan_core")
    try:
        fresh = importlib.import_module("zan_math.zan_core")
        assert fresh is saved
        assert fresh.ln_n([1.0]) == [0.0]
    finally:
        sys.modules["zan_math.zan_core"] = saved


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: z.ln_n(), "ln_n() missing 1 required positional argument: 'ys'"),
        (lambda: z.add_n(), "add_n() missing 2 required positional arguments: 'as_' and 'bs'"),
        (lambda: z.add_n(bs=[1.0]), "add_n() missing 1 required positional argument: 'as_'"),
        (lambda: z.ln_n([1.0], [2.0]), "ln_n() takes 1 positional arguments but 2 were given"),
        (lambda: z.add_n([1.0], [2.0], [3.0]), "add_n() takes 2 positional arguments but 3 were given"),
        (lambda: z.ln_n(xs=[1.0]), "ln_n() got an unexpected keyword argument 'xs'"),
        (lambda: z.ln_n([1.0], ys=[1.0]), "ln_n() got multiple values for argument 'ys'"),
        (lambda: z.add_n([1.0], [2.0], as_=[3.0]), "add_n() got multiple values for argument 'as_'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_accepts_keywords_in_any_order():
    assert z.ln_n(ys=[1.0]) == [0.0]
    assert z.sub_n(bs=[1.0], as_=[3.0]) == [2.0]
    assert z.pow_n([2.0], exps=[3.0]) == [8.0]


def test_binding_errors_come_before_conversion():
    # A mistyped first argument and a surplus keyword: the binding error wins.
    with pytest.raises(TypeError, match="unexpected keyword"):
        z.add_n("abc", [1.0], cs=[1.0])
