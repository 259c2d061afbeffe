"""Units: parsing, dimensionless groups, and discovery through them."""

import math
from fractions import Fraction

import numpy as np
import pytest
from conftest import whole_searches
from hypothesis import given, settings
from hypothesis import strategies as st

from zan_math import discover
from zan_math._units import (
    dimensional_analysis,
    discover_with_units,
    format_dimension,
    kMaxReferenceSets,
    kTurn,
    monomial_program,
    parse_unit,
    reference_sets,
    units_option,
)


@pytest.mark.parametrize(
    "text, dimension, scale",
    [
        ("kg*m/s^2", "m kg s^-2", 1.0),
        ("N", "m kg s^-2", 1.0),
        ("J", "m^2 kg s^-2", 1.0),
        ("kg m2 s-2", "m^2 kg s^-2", 1.0),
        ("kg·m²·s⁻²", "m^2 kg s^-2", 1.0),
        ("m^3/(kg*s^2)", "m^3 kg^-1 s^-2", 1.0),
        ("(m/s)**2", "m^2 s^-2", 1.0),
        ("J/kg/K", "m^2 s^-2 K^-1", 1.0),
        ("m/s*kg", "m kg s^-1", 1.0),  # left to right, as Python reads it
        ("m^(1/2)", "m^(1/2)", 1.0),
        ("m^0.5", "m^(1/2)", 1.0),
        ("km", "m", 1e3),
        ("µm", "m", 1e-6),
        ("um", "m", 1e-6),
        ("dam", "m", 10.0),
        ("ms", "s", 1e-3),
        ("min", "s", 60.0),
        ("h", "s", 3600.0),
        ("hPa", "m^-1 kg s^-2", 100.0),
        ("Pa", "m^-1 kg s^-2", 1.0),
        ("mol", "mol", 1.0),
        ("mmol", "mol", 1e-3),
        ("cd", "cd", 1.0),
        ("g", "kg", 1e-3),
        ("MeV", "m^2 kg s^-2", 1.602176634e-13),
        ("Ω", "m^2 kg s^-3 A^-2", 1.0),
        ("ohm", "m^2 kg s^-3 A^-2", 1.0),
        ("V/A", "m^2 kg s^-3 A^-2", 1.0),
        ("T", "kg s^-2 A^-1", 1.0),
        ("rad", "1", 1.0),
        ("deg", "1", math.pi / 180),
        ("1/s", "s^-1", 1.0),
        ("Hz", "s^-1", 1.0),
        ("", "1", 1.0),
        ("1", "1", 1.0),
        ("  m  /  s ", "m s^-1", 1.0),
        ("L", "m^3", 1e-3),
        ("AU", "m", 149_597_870_700.0),
    ],
)
def test_parse_unit(text, dimension, scale):
    unit = parse_unit(text)
    assert format_dimension(unit.dimension) == dimension
    assert unit.scale == pytest.approx(scale, rel=1e-12)


@pytest.mark.parametrize(
    "text, message",
    [
        ("kg/ha", "unknown unit 'ha' at position 3"),
        ("mh", "unknown unit 'mh' at position 0"),  # the hour takes no prefix
        ("m/", "a unit is missing at position 2"),
        ("(m/s", "parenthesis opened at position 0 is not closed"),
        ("2m", "the number 2 stands where a unit should"),
        ("m^", "a number is expected for the power at position 2"),
        ("m^(1/0)", "a power divides by zero"),
        ("m2.5", "an integer power is expected at position 1"),
        ("m_e", "unexpected '_' at position 1"),
        ("²", "unexpected '²' at position 0"),
        ("km^999", "beyond the range of floats"),
        ("1/dA330", "beyond the range of floats"),
    ],
)
def test_parse_unit_errors(text, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("^", r"\^")):
        parse_unit(text)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="mkgsAKNJ()^*/·²⁻-0123456789. µΩhd_", max_size=30))
def test_any_text_is_a_unit_or_a_value_error(text):
    try:
        unit = parse_unit(text)
    except ValueError as exc:
        assert "position" in str(exc) or "range of floats" in str(exc)
    else:
        assert len(unit.dimension) == 7 and 0 < unit.scale < math.inf


def test_deep_parentheses_are_refused():
    with pytest.raises(ValueError, match="nest deeper than"):
        parse_unit("(" * 2000 + "m" + ")" * 2000)


def test_units_option():
    assert units_option("m=kg, v = m/s,E=") == {"m": "kg", "v": "m/s", "E": ""}
    with pytest.raises(ValueError, match="name=unit pairs"):
        units_option("m:kg")
    with pytest.raises(ValueError, match="twice"):
        units_option("m=kg,m=g")


def _dims(*texts):
    return [parse_unit(t).dimension for t in texts]


@pytest.mark.parametrize(
    "variables, target, groups, monomial",
    [
        # a dimensionless variable is a group alone; a length beside a length, their ratio
        (("m", "m/s^2", "kg", "rad"), "s", [(0, 0, 0, 1)], ["1/2", "-1/2", "0", "0"]),
        (("kg", "m/s", "m/s"), "J", [(0, -1, 1)], ["1", "2", "0"]),
        (("m^3/s^2", "s"), "m", [], ["1/3", "2/3"]),  # Kepler: a root of G·M·T²
        (("m^2", "m"), "m", [(1, -2)], ["0", "1"]),
        (("m", "km"), "1", [(-1, 1)], ["0", "0"]),  # groups are made from dimensions alone
    ],
)
def test_dimensional_analysis(variables, target, groups, monomial):
    analysis = dimensional_analysis(_dims(*variables), parse_unit(target).dimension)
    assert [tuple(g) for g in analysis.groups] == groups
    assert [str(e) for e in analysis.monomial] == monomial


_dimension = st.lists(st.integers(-3, 3), min_size=7, max_size=7).map(lambda d: tuple(map(Fraction, d)))


@settings(max_examples=200, deadline=None)
@given(st.lists(_dimension, min_size=1, max_size=7), st.lists(st.integers(-2, 2), min_size=7, max_size=7))
def test_groups_are_dimensionless_independent_and_complete(dimensions, combination):
    """Every group is dimensionless, they are independent, and there are n − rank of them; the
    monomial has the target's dimension (made here as a combination of the variables')."""
    n = len(dimensions)
    target = tuple(sum((c * d[i] for c, d in zip(combination, dimensions)), Fraction(0)) for i in range(7))
    analysis = dimensional_analysis(dimensions, target)
    matrix = np.array([[float(x) for x in d] for d in dimensions]).T  # 7 × n
    rank = np.linalg.matrix_rank(matrix) if n else 0
    assert len(analysis.groups) == n - rank
    for group in analysis.groups:
        assert all(sum(e * d[i] for e, d in zip(group, dimensions)) == 0 for i in range(7))
        assert math.gcd(*group) == 1
    if analysis.groups:
        assert np.linalg.matrix_rank(np.array(analysis.groups, dtype=float)) == len(analysis.groups)
    made = tuple(sum((e * d[i] for e, d in zip(analysis.monomial, dimensions)), Fraction(0)) for i in range(7))
    assert made == target


def test_dimensional_analysis_refuses_units_out_of_reach():
    with pytest.raises(ValueError, match=r"the units of y \(s\) cannot be made from those of the variables \(m: kg, x: m\)"):
        dimensional_analysis(_dims("kg", "m"), parse_unit("s").dimension, ["m", "x"])


@pytest.mark.parametrize(
    "exponents",
    [[1, 0, 0], [2, -1, 0], [0, 0, -3], [5, -4, 1], ["1/2", "-1/2", 0], ["3/2", 0, "-1/2"], ["1/3", "2/3", 0],
     ["-5/4", 1, 0], [0, 0, 0]],
)
def test_monomial_program_computes_the_product_of_powers(exponents):
    exponents = [Fraction(e) for e in exponents]
    rng = np.random.default_rng(0)
    columns = rng.uniform(0.5, 3.0, (3, 20))
    program = monomial_program(exponents)
    out = np.empty(20)
    if not program:
        assert not any(exponents)
        return
    from zan_math import _native

    _native.predict(program, (), columns, out)
    expected = np.prod([c ** float(e) for c, e in zip(columns, exponents)], axis=0)
    np.testing.assert_allclose(out, expected, rtol=1e-13)


def test_monomial_program_keeps_the_sign_of_a_whole_power():
    """m·sqrt(L): a negative m stays negative rather than vanishing into a square root."""
    program = monomial_program([Fraction(1), Fraction(1, 2)])
    out = np.empty(1)
    from zan_math import _native

    _native.predict(program, (), np.array([[-2.0], [4.0]]), out)
    assert out[0] == -4.0


# ---- discovery through units ------------------------------------------------------------------


def _relative_error(formula, X, y):
    return float(np.max(np.abs(formula.predict(X) / y - 1)))


def _gravity(rows=200, seed=0):
    rng = np.random.default_rng(seed)
    m1, m2, G = rng.uniform(1, 2, (3, rows))
    x1, y1, z1 = rng.uniform(3, 4, (3, rows))
    x2, y2, z2 = rng.uniform(1, 2, (3, rows))
    F = G * m1 * m2 / ((x2 - x1) ** 2 + (y2 - y1) ** 2 + (z2 - z1) ** 2)
    return np.column_stack([m1, m2, G, x1, x2, y1, y2, z1, z2]), F


GRAVITY_NAMES = ("m1", "m2", "G", "x1", "x2", "y1", "y2", "z1", "z2")
GRAVITY_UNITS = {"m1": "kg", "m2": "kg", "G": "m^3/(kg*s^2)", **{n: "m" for n in GRAVITY_NAMES[3:]}}


@whole_searches
def test_newtons_gravitation_in_nine_variables():
    """F = G·m1·m2/r² over 9 variables: through 6 groups and the monomial G·m1·m2/x1², the rest
    is 1/(sum of three squared differences) of ratios, which the search finds exactly."""
    X, F = _gravity()
    result = discover_with_units(discover, X, F, GRAVITY_NAMES, GRAVITY_UNITS, "N", progress=False)
    assert result.monomial == "m1*m2*G/x1**2"
    assert result.groups == ("pi0 = m2/m1", "pi1 = x2/x1", "pi2 = y1/x1", "pi3 = y2/x1", "pi4 = z1/x1",
                             "pi5 = z2/x1")  # fmt: skip
    assert result.best.names == GRAVITY_NAMES
    assert _relative_error(result.best, X, F) < 1e-12
    fresh, F_fresh = _gravity(50, seed=1)
    assert _relative_error(result.best, fresh, F_fresh) < 1e-12


@whole_searches
@pytest.mark.parametrize(
    "names, units, law, text",
    [
        # the pendulum, with a mass and a small amplitude it does not depend on
        (("L", "g", "m", "theta"), ("m", "m/s^2", "kg", "rad"), lambda L, g, m, th: 2 * math.pi * np.sqrt(L / g),
         "6.283185307*sqrt(L/g)"),
        (("m", "v", "c"), ("kg", "m/s", "m/s"), lambda m, v, c: m * c**2 / np.sqrt(1 - v**2 / c**2), None),
        # lengths in cm and km: only the constant changes
        (("L", "g"), ("cm", "km/s^2"), lambda L, g: 2 * math.pi * np.sqrt(L / 100 / (g * 1000)),
         f"{2 * math.pi * math.sqrt(1e-5):.10g}*sqrt(L/g)"),
    ],
)
def test_laws_recovered_exactly(names, units, law, text):
    rng = np.random.default_rng(3)
    ranges = {"L": (0.1, 2), "g": (1, 20), "m": (1, 5), "theta": (0, 0.1), "v": (1, 2), "c": (3, 10)}
    X = np.column_stack([rng.uniform(*ranges[n], 100) for n in names])
    y = law(*X.T)
    result = discover_with_units(discover, X, y, names, units, "s" if "L" in names else "J", progress=False)
    assert _relative_error(result.best, X, y) < 1e-12
    assert result.beats_mean
    if text is not None:
        assert result.best.text == text


def test_losses_are_measured_on_y_and_the_front_keeps_the_search_order():
    rng = np.random.default_rng(5)
    X = rng.uniform(1, 3, (60, 3))
    y = X[:, 0] * X[:, 1] ** 2 * np.exp(X[:, 2] / X[:, 1]) * (1 + 0.01 * rng.standard_normal(60))
    result = discover_with_units(discover, X, y, ["m", "v", "w"], ["kg", "m/s", "m/s"], "J", progress=False)
    inner = result.dimensionless
    assert len(result.front) == len(inner.front)
    for f in result.front:
        assert f.complexity == len(f.program)  # the tokens the caller reads
        assert f.names == ("m", "v", "w")
        assert f.loss == pytest.approx(float(np.mean((f.predict(X) - y) ** 2)), rel=1e-12)
        assert f.nmse == pytest.approx(f.loss / np.var(y), rel=1e-12)
    assert result.best in result.front
    assert "through y = " in repr(result)


def test_names_from_a_dataframe_and_units_in_order():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(2)
    frame = pd.DataFrame({"v": rng.uniform(1, 3, 40), "t": rng.uniform(1, 3, 40)})
    d = frame["v"].to_numpy() / 3.6 * frame["t"].to_numpy()  # km/h times s, in metres
    result = discover_with_units(discover, frame, d, None, ["km/h", "s"], "m", progress=False)
    assert result.best.names == ("v", "t")
    assert result.monomial == "v*t"
    assert _relative_error(result.best, frame, d) < 1e-12


@pytest.mark.parametrize(
    "units, y_units, error, message",
    [
        ({"a": "kg", "b": "m"}, "s", ValueError, r"the units of y \(s\) cannot be made"),
        ({"a": "kg"}, "kg", ValueError, "units has no unit for 'b'"),
        ({"a": "kg", "b": "m", "c": "s"}, "kg", ValueError, "units names 'c', which is not a variable"),
        ({"a": "kg", "b": "mx"}, "kg", ValueError, "the unit of 'b': unknown unit 'mx' at position 0"),
        ({"a": "kg", "b": 3}, "kg", TypeError, "the unit of 'b': a unit must be text"),
        ({"a": "kg", "b": "m"}, None, ValueError, "y_units must be given"),
        ({"a": "kg", "b": "m"}, "kg/", ValueError, "y_units: a unit is missing at position 3"),
        (["kg"], "kg", ValueError, "units has 1 entries for 2 variables"),
        ("kg", "kg", TypeError, "units must map variable names to units"),
    ],
)
def test_bad_units_are_refused_by_name(units, y_units, error, message):
    X = np.ones((10, 2)) + np.arange(20).reshape(10, 2)
    with pytest.raises(error, match=message):
        discover_with_units(discover, X, X[:, 0], ["a", "b"], units, y_units, progress=False)


@pytest.mark.parametrize(
    "b_unit, message",
    [
        ("m", r"the group pi0 = b/a has no finite value at row 1"),
        ("kg", r"the monomial a, which carries the units of y, is 0 at row 1"),
    ],
)
def test_a_zero_where_the_groups_divide_is_named(b_unit, message):
    X = np.array([[1.0, 2.0], [0.0, 3.0], [2.0, 1.0]])
    with pytest.raises(ValueError, match=message):
        discover_with_units(discover, X, np.arange(1.0, 4.0), ["a", "b"], {"a": "m", "b": b_unit}, "m", progress=False)


def test_options_reach_the_search_and_client_is_refused():
    X = np.column_stack([np.linspace(1, 2, 20), np.linspace(2, 5, 20)])
    with pytest.raises(ValueError, match="max_complexity"):
        discover_with_units(discover, X, X[:, 0], ["a", "b"], ["m", "m"], "m", max_complexity=0)
    with pytest.raises(ValueError, match="client"):
        discover_with_units(discover, X, X[:, 0], ["a", "b"], ["m", "m"], "m", client=object())


# ---- other reference variables, a turn, and the variables themselves ----------------------------


def _dims(*units):
    return [parse_unit(u).dimension for u in units]


def _is_dimensionless(exponents, dims):
    return all(sum(e * d[k] for e, d in zip(exponents, dims)) == 0 for k in range(len(dims[0])))


@pytest.mark.parametrize(
    "units, y_unit, first",
    [
        (("kg", "kg", "m", "m"), "m", (0, 2)),           # the centre of mass
        (("m", "m/s", "m/s", "s"), "s", (0, 3)),         # the Lorentz transformation of time
        (("J*s", "1/s", "J/K", "K", "m/s"), "J/m^2", (0, 1, 3, 4)),  # Planck's radiation law
        (("1", "rad"), "1", ()),                         # nothing to choose
    ],
)
def test_reference_sets_start_with_the_default_and_each_makes_dimensionless_groups(units, y_unit, first):
    dims, target = _dims(*units), parse_unit(y_unit).dimension
    sets = reference_sets(dims, target)
    assert sets[0] == first
    assert len(sets) == len(set(sets)) <= kMaxReferenceSets
    weights = []
    for reference in sets:
        analysis = dimensional_analysis(dims, target, reference=reference)
        assert all(_is_dimensionless(g, dims) for g in analysis.groups)
        carried = [sum(e * d[k] for e, d in zip(analysis.monomial, dims)) for k in range(len(target))]
        assert carried == list(target)
        weights.append(sum(abs(e) for g in analysis.groups for e in g) + sum(abs(e) for e in analysis.monomial))
    assert weights[1:] == sorted(weights[1:])


def test_other_references_make_other_groups():
    # t1 through x, c, u, t with c and t for references: x/(c·t) and u/c, y = t·F.
    analysis = dimensional_analysis(_dims("m", "m/s", "m/s", "s"), parse_unit("s").dimension, reference=(3, 1))
    assert analysis.groups == ((1, -1, 0, -1), (0, -1, 1, 0))
    assert analysis.monomial == (0, 0, 0, 1)


@pytest.mark.parametrize("reference", [(1, 2), (0,), (0, 7), (0, 0)])
def test_references_that_are_not_a_basis_are_refused(reference):
    with pytest.raises(ValueError, match="not a set of reference variables"):
        dimensional_analysis(_dims("m", "m/s", "m/s", "s"), parse_unit("s").dimension, reference=reference)


class _Searches:
    """A discover that records what it searched: on groups it stops at complexity 1 (never the
    law), on the variables it searches in full, unless `exact_on_groups`."""

    def __init__(self, exact_on_groups=False, interrupt_at=None):
        self.names, self.exact_on_groups, self.interrupt_at = [], exact_on_groups, interrupt_at

    def __call__(self, X, y, names, **options):
        self.names.append(tuple(names))
        on_groups = names[0].startswith("pi")
        if on_groups and not self.exact_on_groups:
            options["max_complexity"] = 1
        if len(self.names) == self.interrupt_at:
            options["progress"] = lambda info: False
        return discover(X, y, names=names, **options)


def _sum_of_lengths(rows=80):
    rng = np.random.default_rng(7)
    X = rng.uniform(1, 3, (rows, 2))
    return X, X[:, 0] + 3 * X[:, 1]


def test_the_variables_are_searched_when_no_groups_are_exact():
    X, y = _sum_of_lengths()
    search = _Searches()
    result = discover_with_units(search, X, y, ["a", "b"], ["m", "m"], "m", progress=False)
    # the default references, the other one, the groups by a turn and by its inverse, the variables
    assert search.names == [("pi0",)] * 4 + [("a", "b")]
    assert not result.through_groups and result.groups == ()
    assert result.best.nmse <= 1e-20 and result.best.names == ("a", "b")
    assert "found on the variables" in repr(result)


def test_the_groups_are_also_searched_scaled_by_a_turn():
    # radians are dimensionless, so the 2π between h and ħ is invisible to the groups
    X, y = _sum_of_lengths()
    seen = []

    def search(X, y, names, **options):
        seen.append(np.array(X, dtype=float))
        return discover(X, y, names=names, **{**options, "max_complexity": 1})

    discover_with_units(search, X, y, ["a", "b"], ["m", "m"], "m", progress=False)
    assert any(np.allclose(s, seen[0] * kTurn, rtol=1e-15) for s in seen[1:])
    assert any(np.allclose(s, seen[0] / kTurn, rtol=1e-15) for s in seen[1:])


@pytest.mark.parametrize("noise", [0.0, 0.01])
def test_a_law_found_through_groups_ends_the_tries(noise):
    # exact, or within the noise with few constants: other groups could not do better
    X, y = _sum_of_lengths()
    y = y * (1 + noise * np.random.default_rng(1).standard_normal(y.shape))
    search = _Searches(exact_on_groups=True)
    result = discover_with_units(search, X, y, ["a", "b"], ["m", "m"], "m", progress=False)
    assert search.names == [("pi0",)]
    assert result.through_groups and result.best.text == "(3*b/a + 1)*a"


@pytest.mark.parametrize("interrupt_at", [1, 2, 3])
def test_an_interrupted_search_is_not_followed_by_others(interrupt_at):
    X, y = _sum_of_lengths()
    search = _Searches(interrupt_at=interrupt_at)
    discover_with_units(search, X, y, ["a", "b"], ["m", "m"], "m", progress=False)
    assert search.names == [("pi0",)] * interrupt_at


@whole_searches
def test_an_inexact_search_on_the_variables_is_not_taken():
    # Noise: nothing is exact, and the result stays one through groups, of consistent units.
    X, y = _sum_of_lengths()
    y = y * (1 + 0.01 * np.random.default_rng(1).standard_normal(y.shape))
    search = _Searches()
    result = discover_with_units(search, X, y, ["a", "b"], ["m", "m"], "m", progress=False)
    assert search.names[-1] == ("a", "b")
    assert result.through_groups and result.groups


def test_the_centre_of_mass_is_found_through_other_references():
    rng = np.random.default_rng(11)
    X = rng.uniform(1, 5, (300, 4))
    m1, m2, r1, r2 = X.T
    y = (m1 * r1 + m2 * r2) / (m1 + m2)
    result = discover_with_units(discover, X, y, ["m1", "m2", "r1", "r2"], ["kg", "kg", "m", "m"], "m",
                                 progress=False)  # fmt: skip
    assert result.through_groups
    assert _relative_error(result.best, X, y) < 1e-12


@whole_searches
def test_a_law_with_hbar_is_found_through_groups():
    """Bose–Einstein occupation 1/(exp(ħω/kT) − 1) with h given: the group kT/(hω) needs 2π,
    which the search fits inside the exponential or takes from the groups scaled by a turn."""
    rng = np.random.default_rng(13)
    X = rng.uniform(1, 5, (300, 4))
    h, omega, kb, T = X.T
    y = 1 / (np.exp(h / (2 * math.pi) * omega / (kb * T)) - 1)
    result = discover_with_units(discover, X, y, ["h", "omega", "kb", "T"], ["J*s", "1/s", "J/K", "K"], "1",
                                 progress=False)  # fmt: skip
    assert result.through_groups
    assert _relative_error(result.best, X, y) < 1e-10
