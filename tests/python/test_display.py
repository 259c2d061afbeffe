"""The HTML views of discovered formulas (Jupyter's _repr_html_ / _repr_latex_) and the HTML
report, read back with the standard library's HTML and XML parsers, and in a browser when one
is installed."""

import html
import importlib.util
import json
import math
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from html.parser import HTMLParser
from xml.dom import minidom

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zan_math import DiscoveryResult, Formula, discover
from zan_math._display import floored_losses, report_html, with_error
from zan_math._mathml import _ELEMENTS, _Refused, _rebuilt, formula_mathml
from zan_math.__main__ import DataError, write_report

SVG = "{http://www.w3.org/2000/svg}"
MATHML = "{http://www.w3.org/1998/Math/MathML}"
HOSTILE_NAMES = ["<script>alert(1)</script>", r"$\frac{$", "a_b^c", "100%", "#", "&amp;", '"quoted"', "\\(x"]


class Page(HTMLParser):
    """What a browser would build: the rows of each table, the marked ones, the start tags, and
    the text inside <math> elements (typeset) apart from the rest (plain)."""

    VOID = {"meta", "br", "img", "input", "link", "hr"}

    def __init__(self, text):
        super().__init__()
        self.tags, self.rows, self.chosen, self.typeset, self.plain = [], [], [], [], []
        self.stack = []
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        classes = (dict(attrs).get("class") or "").split()
        if tag == "tr":
            self.rows.append(attrs)
            if "zan-chosen" in classes:
                self.chosen.append(len(self.rows) - 1)
        if tag not in self.VOID:
            self.stack.append(tag == "math" or (bool(self.stack) and self.stack[-1]))

    def handle_endtag(self, tag):
        if tag not in self.VOID and self.stack:
            self.stack.pop()

    def handle_data(self, data):
        (self.typeset if self.stack and self.stack[-1] else self.plain).append(data)


def svgs(text):
    """Every inline SVG, parsed as XML (which fails on anything ill-formed)."""
    return [ET.fromstring(chunk) for chunk in re.findall(r"<svg\b.*?</svg>", text, re.S)]


# Formulas are typeset as MathML through SymPy, and shown as text without it.
HAVE_SYMPY = importlib.util.find_spec("sympy") is not None


def maths(text):
    """Every <math> element, parsed as XML: HTML's named entities, which SymPy writes, would fail
    here, as would anything ill-formed; and no element outside MathML's presentation set."""
    trees = [ET.fromstring(chunk) for chunk in re.findall(r"<math\b.*?</math>", text, re.S)]
    for tree in trees:
        assert {e.tag.removeprefix(MATHML) for e in tree.iter()} <= _ELEMENTS | {"math"}
    return trees


def formula(loss, complexity, names=("x",)):
    program = (("var", 0), ("param", 0), ("op", "mul"))
    return Formula(program, (2.0,), names, complexity, loss, 0.5, 0.1)


def result_of(front, best_index):
    best = front[best_index] if best_index is not None else None
    return DiscoveryResult(front, best, ("x",), False, None, [])


@pytest.fixture(scope="module")
def kepler():
    a = np.array([0.387098, 0.723332, 1.000001, 1.523679, 5.2026, 9.5549, 19.2184, 30.07])
    period = np.array([0.240846, 0.615198, 1.000017, 1.880815, 11.8626, 29.4475, 84.0205, 164.79])
    return a.reshape(-1, 1), period, discover(a.reshape(-1, 1), period, names=["a"])


# ---- the notebook view -------------------------------------------------------------------------


def test_result_view_has_a_row_per_formula_and_marks_the_chosen(kepler):
    _, _, result = kepler
    page = Page(result._repr_html_())
    shown = result.shown_front  # 8 rows support one fitted constant: the longer fits are left off
    assert len(shown) < len(result.front) and "not shown" in result._repr_html_()
    assert len(page.rows) == len(shown) + 1  # and the header
    assert page.chosen == [shown.index(result.best) + 1]
    assert len(maths(result._repr_html_())) == (len(shown) if HAVE_SYMPY else 0)
    best = result.best
    lines = "".join(page.plain)
    assert "constants of the chosen formula: " + with_error(best.constants[0], best.constant_errors[0]) in lines
    (plot,) = svgs(result._repr_html_())
    assert len(plot.findall(f"{SVG}circle")) == len(shown) + 1  # a ring around the chosen


@pytest.mark.parametrize(
    "losses, chosen, plotted",
    [
        ([4.0, 0.5, 0.0], 2, 3),  # an exact fit sits on the floor under the others
        ([0.0], 0, 1),  # an exact fit and nothing else
        ([math.nan, 1.0, math.inf], 1, 1),  # no place on the axis, but a row in the table
        ([math.nan], 0, 0),
    ],
    ids=["exact", "exact-alone", "non-finite", "nothing-finite"],
)
def test_zero_and_non_finite_losses(losses, chosen, plotted):
    front = [formula(loss, k + 1) for k, loss in enumerate(losses)]
    text = result_of(front, chosen)._repr_html_()
    page = Page(text)
    assert len(page.rows) == len(front) + 1 and page.chosen == [chosen + 1]
    (plot,) = svgs(text)
    box = plot.find(f"{SVG}rect")
    top, bottom = float(box.get("y")), float(box.get("y")) + float(box.get("height"))
    dots = [c for c in plot.findall(f"{SVG}circle") if c.get("r") != "6"]
    assert len(dots) == plotted
    assert all(top <= float(c.get("cy")) <= bottom for c in plot.iter(f"{SVG}circle"))
    assert ("no finite loss" in "".join(plot.itertext())) == (plotted == 0)


@pytest.mark.parametrize(
    "losses, expected, floor",
    [
        ([1.0, 1e-3, 0.0], [1.0, 1e-3, 1e-5], 1e-5),
        ([0.0, 0.0], [1e-30, 1e-30], 1e-30),
        ([math.nan, 2.0, math.inf, 0.0], [None, 2.0, None, 0.02], 0.02),
    ],
)
def test_floored_losses(losses, expected, floor):
    assert floored_losses(losses) == (expected, floor)


def test_nothing_found_shows_an_empty_table():
    page = Page(result_of([], None)._repr_html_())
    assert len(page.rows) == 1 and page.chosen == []
    assert "none chosen" in "".join(page.plain)


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_names_stay_text(name):
    f = formula(0.25, 3, names=(name,))
    view = f._repr_html_()
    report = report_html(result_of([f], 0), [[1.0], [2.0]], [2.0, 4.0], title=name, target=name)
    for text in (view, report):
        page = Page(text)
        assert "script" not in page.tags
        assert name in "".join(page.plain)  # the title, the target, or the line naming the column
        assert all(name not in chunk for chunk in page.typeset if chunk != name)  # but the target's <mtext>
        assert bool(maths(text)) == HAVE_SYMPY and all(tree is not None for tree in svgs(text))
    if HAVE_SYMPY:
        (headline, *_) = maths(report)
        assert "".join(headline.find(f"{MATHML}mrow/{MATHML}mtext").itertext()) == name


def test_formula_latex_with_and_without_sympy(monkeypatch, kepler):
    best = kepler[2].best
    assert best._repr_latex_() == f"${best.latex()}$"
    monkeypatch.setitem(sys.modules, "sympy", None)
    plain = best._repr_latex_()
    assert plain.startswith("$") and plain.endswith("$") and "a" in plain


def test_without_sympy_the_formulas_show_as_text(monkeypatch, kepler):
    X, y, result = kepler
    monkeypatch.setitem(sys.modules, "sympy", None)
    for text in (result._repr_html_(), report_html(result, X, y)):
        assert "<math" not in text
        assert f"<code>{result.best.text}</code>" in text


def test_regressor_view_before_and_after_fit(kepler):
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor

    X, y, _ = kepler
    model = FormulaRegressor()
    assert "zan-view" not in model._repr_html_()  # scikit-learn's own diagram until fitted
    model.fit(X, y)
    shown = model.result_.shown_front  # 8 training rows: the formulas with more constants are left off
    assert len(shown) < len(model.front_)
    for text in (model._repr_html_(), model._repr_mimebundle_()["text/html"]):
        page = Page(text)
        assert len(page.rows) == len(shown) + 1 and len(page.chosen) == 1
        plain = "".join(page.plain)
        assert "FormulaRegressor" in plain and "not shown" in plain and "constants of the chosen" in plain


def test_regressor_view_when_the_search_finds_nothing(monkeypatch):
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor, estimator

    empty = DiscoveryResult([], None, ("x",), False, None, [])
    monkeypatch.setattr(estimator, "discover", lambda *args, **kwargs: empty)
    model = FormulaRegressor().fit([[1.0], [2.0], [3.0]], [1.0, 2.0, 4.0])
    page = Page(model._repr_html_())
    assert len(page.rows) == 2 and page.chosen == [1]
    assert "best_ is the mean of y" in "".join(page.plain)


# ---- what the views say besides the front ------------------------------------------------------


def noted_result(beats_mean, set_aside):
    result = result_of([formula(0.5, 3)], 0)
    result.beats_mean, result.set_aside, result.rows = beats_mean, set_aside, 40
    return result


@pytest.mark.parametrize(
    "beats_mean, set_aside, expected, absent",
    [
        (False, (), ["better than the mean"], ["set aside"]),
        (True, ("<i>z</i>", "w"), ["set aside before the search", "'<i>z</i>', 'w'"], ["better than the mean"]),
        (True, (), [], ["better than the mean", "set aside"]),
    ],
    ids=["constant-chosen", "columns-set-aside", "neither"],
)
def test_notes_on_the_mean_and_the_columns_set_aside(beats_mean, set_aside, expected, absent):
    result = noted_result(beats_mean, set_aside)
    for text in (result._repr_html_(), report_html(result)):
        plain = "".join(Page(text).plain)
        assert all(phrase in plain for phrase in expected) and not any(phrase in plain for phrase in absent)
        assert "<i>" not in text


@pytest.mark.parametrize(
    "errors, shown",
    [((0.00034,), "2.00000 ± 0.00034"), ((math.nan,), "2"), ((math.inf,), "2"), ((0.0,), "2")],
    ids=["known", "unknown", "infinite", "exact"],
)
def test_constants_with_their_standard_errors(errors, shown):
    f = Formula((("var", 0), ("param", 0), ("op", "mul")), (2.0,), ("x",), 3, 0.5, 0.5, 0.1, errors)
    plain = "".join(Page(f._repr_html_()).plain)
    assert f"constants: {shown}" in plain and (shown.endswith("2") == ("±" not in plain))


@pytest.mark.parametrize(
    "value, error, shown",
    [
        (0.9988975162, 0.00034, "0.99890 ± 0.00034"),
        (1.994874209e-10, 5.2e-16, "1.9948742e-10 ± 5.2e-16"),
        (12345.678, 340.0, "12350 ± 340"),
        (0.003, 0.5, "0.00 ± 0.5"),
        (0.0, 0.012, "0.000 ± 0.012"),
        (-7.123456789012, 1e-14, "-7.123456789 ± 1e-14"),
        (5.0, 1e300, "5. ± 1e+300"),
    ],
    ids=["digits", "tiny", "large", "error-beyond-value", "zero", "ten-at-most", "vast-error"],
)
def test_constants_printed_to_the_digits_their_errors_support(value, error, shown):
    from zan_math._display import with_error

    assert with_error(value, error) == shown


# ---- the report --------------------------------------------------------------------------------


def test_report_with_the_data(kepler):
    X, y, result = kepler
    text = report_html(result, X, y, title="Kepler", target="period")
    assert text.startswith("<!DOCTYPE html>")
    page = Page(text)
    assert page.tags.count("table") == 1 and len(page.rows) == len(result.shown_front) + 1
    front, versus, residuals = svgs(text)
    assert len(versus.findall(f"{SVG}circle")) == len(residuals.findall(f"{SVG}circle")) == len(y)
    assert len(svgs(report_html(result))) == 1  # without the rows, the front alone


def test_report_of_many_rows_plots_a_sample_and_names_the_rows_left_out():
    x = np.linspace(0.0, 1.0, 5000)
    y = np.sqrt(x)
    front = [Formula((("var", 0), ("op", "sqrt")), (), ("x",), 2, 0.0, 0.0, 0.0)]
    X = np.concatenate([x, [-1.0]]).reshape(-1, 1)  # sqrt(-1): no value on the last row
    text = report_html(result_of(front, 0), X, np.concatenate([y, [0.0]]))
    _, versus, _ = svgs(text)
    assert len(versus.findall(f"{SVG}circle")) == 2000
    plain = "".join(Page(text).plain)
    assert "1 of 5001 rows left out" in plain and "2000 of 5000 rows shown" in plain


def test_report_refuses_rows_that_do_not_match(kepler):
    X, y, result = kepler
    with pytest.raises(ValueError, match="rows but y has"):
        report_html(result, X, y[:-1])


@given(st.text(max_size=20), st.text(max_size=20))
@settings(max_examples=60, deadline=None)
def test_any_title_and_target_give_a_well_formed_page(title, target):
    f = formula(0.5, 3)
    text = report_html(result_of([f, formula(0.0, 5)], 1), [[1.0], [2.0]], [1.0, 3.0], title=title, target=target)
    page = Page(text)
    assert "script" not in page.tags and len(page.rows) == 3
    assert len(svgs(text)) == 3 and len(maths(text)) == (3 if HAVE_SYMPY else 0)


@pytest.mark.parametrize("where", ["folder", "folder/", "missing/report.html"])
def test_write_report_refuses_a_folder_or_a_missing_one(tmp_path, kepler, where):
    (tmp_path / "folder").mkdir()
    with pytest.raises(DataError, match="--report .*(names a folder|no such directory)"):
        write_report(str(tmp_path / where), kepler[2], kepler[0], kepler[1], "period")


def test_write_report_writes_the_page(tmp_path, kepler):
    X, y, result = kepler
    path = tmp_path / "report.html"
    write_report(str(path), result, X, y, "period")
    assert len(svgs(path.read_text(encoding="utf-8"))) == 3


# ---- formulas in MathML ------------------------------------------------------------------------


def mathml_of(program, constants, names, **keywords):
    pytest.importorskip("sympy")
    markup = formula_mathml(Formula(program, constants, names, 3, 0.0, 0.0, 0.0), **keywords)
    assert markup is not None
    (tree,) = maths(markup)
    return markup, tree


def identifiers_shown(tree):
    """Each variable as shown: its name, and its subscripts joined by spaces."""
    shown = []
    for element in tree.iter():
        tag = element.tag.removeprefix(MATHML)
        if tag == "msub":
            head, below = list(element)
            shown.append(f"{head.text}_{' '.join(below.itertext())}")
        elif tag == "mi" and element not in {c for e in tree.iter(f"{MATHML}msub") for c in e.iter()}:
            shown.append(element.text)
    return shown


@pytest.mark.parametrize(
    "names, expected",
    [
        (("mass (kg)", "v"), ["mass_kg", "v"]),  # mass with the subscript kg
        (("lambda", "x2"), ["λ", "x2"]),  # a Greek letter; x2 is not x with the subscript 2
        (("N", "beta_1"), ["N", "β_1"]),  # a name SymPy keeps for itself, shown as it is
        (("a_b", "a__b"), ["a_b", "a__b"]),  # both would read a_b: each is shown whole
    ],
)
def test_variables_are_shown_as_in_the_latex_view(names, expected):
    _, tree = mathml_of((("var", 0), ("var", 1), ("op", "add")), (), names)
    assert sorted(identifiers_shown(tree)) == sorted(expected)


def test_mathml_is_plain_markup(kepler):
    markup, _ = mathml_of((("var", 0), ("op", "exp"), ("param", 0), ("op", "sub")), (0.1234567890123,), ("x",))
    assert "&" not in markup  # SymPy's &InvisibleTimes; and the like are characters now
    assert "\u2212" in markup and "0.123456789" in markup and "0.1234567890123" not in markup
    assert "\u2147" not in markup and "<mi>e</mi>" in markup
    kepler_markup = formula_mathml(kepler[2].best, display="block", target="T")
    assert 'display="block"' in kepler_markup and "<mtext>T</mtext><mo>=</mo>" in kepler_markup
    assert ">/</mo>" in kepler_markup and "bevelled" not in kepler_markup  # a^(3/2) with a slash


def dom(text):
    return minidom.parseString(text).documentElement


@pytest.mark.parametrize(
    "printed, expected",
    [
        ("<mrow><mi>x</mi><mo>&lt;</mo><mn>0</mn></mrow>", "<mrow><mi>x</mi><mo>&lt;</mo><mn>0</mn></mrow>"),
        ("<mo>&amp;InvisibleTimes;</mo>", "<mo>\u2062</mo>"),  # SymPy writes entities into text
        ('<mo stretchy="false">(</mo>', '<mo stretchy="false">(</mo>'),
    ],
)
def test_printed_markup_is_rebuilt_escaped(printed, expected):
    assert _rebuilt(dom(printed)) == expected


@pytest.mark.parametrize(
    "printed",
    [
        "<mrow><script>alert(1)</script></mrow>",
        '<mi onclick="alert(1)">x</mi>',
        '<mstyle mathvariant="x&quot;onload=&quot;y">x</mstyle>',
        '<mrow><a href="javascript:alert(1)">x</a></mrow>',
        "<mfenced><mi>x</mi></mfenced>",  # not in MathML Core
    ],
)
def test_anything_else_is_refused(printed):
    with pytest.raises(_Refused):
        _rebuilt(dom(printed))


@given(st.lists(st.text(min_size=1, max_size=12), min_size=2, max_size=2, unique=True))
@settings(max_examples=60, deadline=None)
def test_any_column_names_give_well_formed_mathml(names):
    program = (("var", 0), ("var", 1), ("param", 0), ("op", "add"), ("op", "div"), ("op", "sqrt"))
    markup, tree = mathml_of(program, (1.5,), names)
    assert tree.get("display") == "inline" and len(identifiers_shown(tree)) == 2


# ---- in a browser ------------------------------------------------------------------------------

# Run after the page has loaded, in a copy of the report (which itself holds no script): what the
# browser laid out, written where --dump-dom shows it.
LAYOUT_PROBE = """<script>
addEventListener("load", () => {
  const box = (element) => element.getBoundingClientRect();
  const fraction = document.querySelector("td.zan-formula mfrac");
  const [over, under] = fraction.children;
  const formulas = [...document.querySelectorAll("td.zan-formula math")];
  document.body.dataset.layout = JSON.stringify({
    rows: document.querySelectorAll("tbody tr").length,
    stacked: box(over).bottom <= box(under).top,
    mathml: formulas.every((m) => m.namespaceURI === "http://www.w3.org/1998/Math/MathML"),
    drawn: formulas.every((m) => box(m).width > 0 && box(m).height > 0),
    plots: [...document.querySelectorAll("svg")].filter((s) => box(s).width > 300).length,
  });
});
</script>"""


@pytest.mark.skipif(shutil.which("chromium") is None, reason="needs chromium on PATH")
def test_a_browser_lays_the_formulas_out_as_mathematics(tmp_path):
    pytest.importorskip("sympy")
    x = np.linspace(1.0, 3.0, 40)
    X = np.column_stack([x, x[::-1]])
    over_sum = (("var", 0), ("var", 1), ("param", 0), ("op", "add"), ("op", "div"))  # x/(y + 1.5)
    front = [formula(0.5, 3, ("x", "y")), Formula(over_sum, (1.5,), ("x", "y"), 5, 0.0, 0.0, 0.0)]
    page = tmp_path / "report.html"
    text = report_html(result_of(front, 1), X, x / (x[::-1] + 1.5))
    page.write_text(text.replace("</body>", LAYOUT_PROBE + "</body>"), encoding="utf-8")
    run = subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}",
         "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    found = re.search(r'data-layout="([^"]*)"', run.stdout)
    assert found, f"chromium wrote no layout (status {run.returncode}): {run.stderr[-500:]}"
    layout = json.loads(html.unescape(found.group(1)))
    assert layout == {"rows": 2, "stacked": True, "mathml": True, "drawn": True, "plots": 3}
