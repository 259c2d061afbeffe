"""The HTML views of discovered formulas (Jupyter's _repr_html_ / _repr_latex_) and the HTML
report, read back with the standard library's HTML and XML parsers."""

import math
import re
import sys
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zan_math import DiscoveryResult, Formula, discover
from zan_math._display import floored_losses, report_html
from zan_math.__main__ import DataError, write_report

SVG = "{http://www.w3.org/2000/svg}"
MATHJAX_SCRIPTS = 2  # the report's: MathJax's settings and MathJax itself
HOSTILE_NAMES = ["<script>alert(1)</script>", r"$\frac{$", "a_b^c", "100%", "#", "&amp;", '"quoted"', "\\(x"]


class Page(HTMLParser):
    """What a browser would build: the rows of each table, the marked ones, the start tags, and
    the text MathJax would typeset (inside an element of class mathjax_process)."""

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
            self.stack.append("mathjax_process" in classes or (bool(self.stack) and self.stack[-1]))

    def handle_endtag(self, tag):
        if tag not in self.VOID and self.stack:
            self.stack.pop()

    def handle_data(self, data):
        (self.typeset if self.stack and self.stack[-1] else self.plain).append(data)


def svgs(text):
    """Every inline SVG, parsed as XML (which fails on anything ill-formed)."""
    return [ET.fromstring(chunk) for chunk in re.findall(r"<svg\b.*?</svg>", text, re.S)]


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
    typeset = "".join(page.typeset)
    assert typeset.count(r"\(") == len(shown) and result.best.latex() in typeset
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
    for text, scripts in ((view, 0), (report, MATHJAX_SCRIPTS)):
        page = Page(text)
        assert page.tags.count("script") == scripts
        assert name in "".join(page.plain)  # shown as it is, where MathJax does not look
        assert all(name not in chunk for chunk in page.typeset)
        assert all(tree is not None for tree in svgs(text))


def test_formula_latex_with_and_without_sympy(monkeypatch, kepler):
    best = kepler[2].best
    assert best._repr_latex_() == f"${best.latex()}$"
    monkeypatch.setitem(sys.modules, "sympy", None)
    plain = best._repr_latex_()
    assert plain.startswith("$") and plain.endswith("$") and "a" in plain


def test_regressor_view_before_and_after_fit(kepler):
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor

    X, y, _ = kepler
    model = FormulaRegressor()
    assert "zan-view" not in model._repr_html_()  # scikit-learn's own diagram until fitted
    model.fit(X, y)
    for text in (model._repr_html_(), model._repr_mimebundle_()["text/html"]):
        page = Page(text)
        assert len(page.rows) == len(model.front_) + 1 and len(page.chosen) == 1
        assert "FormulaRegressor" in "".join(page.plain)


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
    assert page.tags.count("script") == MATHJAX_SCRIPTS and len(page.rows) == 3
    assert len(svgs(text)) == 3


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
