"""The AI Feynman reach benchmark's own judgement: reading the table, sampling laws where they
have a value, and telling the law's structure from a formula that only fits."""

import os
import re
import sys

import numpy as np
import pytest

pytest.importorskip("sympy")
pytest.importorskip("scipy")

BENCH = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
# The benchmark's directory holds modules named like packages other tests import (distributed):
# it is on the path only while these import.
_path = list(sys.path)
sys.path.insert(0, BENCH)
try:
    import feynman
    import feynman_table
    import feynman_units
    from feynman_table import Law
finally:
    sys.path[:] = _path

XY = (("x", 1.0, 5.0), ("y", 1.0, 5.0))


def law(truth, ranges=XY, rows=200):
    return Law("t", truth, ranges, 0, rows)


def judge(truth, program, constants):
    p = law(truth)
    Xt, yt = p.test_data(500)
    return feynman.has_structure(program, constants, p, Xt, yt)


X, Y = ("var", 0), ("var", 1)
MUL, ADD, DIV, SIN = ("op", "mul"), ("op", "add"), ("op", "div"), ("op", "sin")


@pytest.mark.parametrize("truth, program, constants, expected", [
    # The right form with constants far off (as noise leaves them) refits to the law.
    ("2.5*x*y", [("param", 0), X, MUL, Y, MUL], [2.3], True),
    # A constant shown as a simple value was fitted too: it is freed, not kept.
    ("0.3*x/y", [("const", 0.5), X, MUL, Y, DIV], [], True),
    ("sin(1.3*x) + y", [("param", 0), X, MUL, SIN, Y, ADD], [1.2], True),
    # A wrong form stays inexact whatever its constants.
    ("2.5*x*y", [("param", 0), X, MUL, ("param", 1), Y, MUL, ADD], [2.0, 3.0], False),
    ("x/(1 + y)", [X, ("param", 0), Y, MUL, DIV], [0.3], False),
    # The law plus a term whose coefficient refits to zero is not the law's form.
    ("x*y", [X, Y, MUL, ("param", 0), X, SIN, MUL, ADD], [0.2], False),
    # No constants: judged as it is.
    ("x*y", [X, Y, MUL], [], True),
    ("x*y", [X, Y, ADD], [], False),
])
def test_structure(truth, program, constants, expected):
    assert judge(truth, program, constants) is expected


@pytest.mark.parametrize("program, fitted, expected", [
    ([("param", 0), X, MUL], [0.0], True),
    ([("param", 0), ("op", "neg"), X, MUL], [0.0], True),  # a sign does not hide it
    ([("param", 0), X, DIV], [0.0], True),
    ([X, ("param", 0), ADD], [0.0], False),                 # an offset may vanish
    ([X, ("param", 0), MUL, SIN], [1e-3], False),           # small, not gone
    ([("param", 0), ("param", 1), MUL, X, ADD], [0.0, 1.0], False),  # no variable beside it
])
def test_vanished_term(program, fitted, expected):
    start = [1.0] * len(fitted)
    assert feynman.vanished_term(program, start, fitted) is expected


def test_sampling_keeps_rows_with_a_value():
    # arcsin(x/y) has a value on part of the box only; the rows kept are all there and as many
    # as asked, the same on every call.
    p = law("arcsin(x/y)", rows=300)
    X1, y1 = p.data(0.0)
    X2, _ = p.data(0.0)
    assert X1.shape == (300, 2) and np.all(np.isfinite(y1)) and np.all(X1[:, 0] <= X1[:, 1])
    assert np.array_equal(X1, X2)
    assert p.needs == ("asin",)


def test_a_law_without_values_is_an_error():
    with pytest.raises(ValueError, match="finite value"):
        law("sqrt(-x*y)").data(0.0)


def test_noise_scales_with_the_spread_of_y():
    p = law("x*y", rows=2000)
    _, clean = p.data(0.0)
    _, noisy = p.data(0.1)
    assert np.std(noisy - clean) == pytest.approx(0.1 * np.std(clean), rel=0.1)


def write(tmp_path, body):
    path = tmp_path / "table.csv"
    path.write_text("Filename,Number,Output,Formula,# variables,v1_name,v1_low,v1_high,v2_name,v2_low,v2_high\n" + body)
    return str(path)


@pytest.mark.parametrize("body, message", [
    ("A,1,f,x*z,2,x,1,2,,,\n", "z, which has no range"),
    ("A,1,f,x,1,x,3,2,,,\n", "range of x is .* empty"),
    ("A,1,f,x,1,x,one,2,,,\n", "low end of x is 'one'"),
    ("A,1,f,x,1,x,1,2,,,\nA,2,f,x,1,x,1,2,,,\n", "appears twice"),
    ("A,1,f,x**,1,x,1,2,,,\n", "cannot read the formula"),
])
def test_bad_tables_are_refused_by_what_is_wrong(tmp_path, body, message):
    with pytest.raises(ValueError, match=message):
        feynman_table.load(write(tmp_path, body))


def test_variables_are_counted_by_name_not_by_the_column(tmp_path):
    # The "# variables" column says 1; the row names two.
    (p,) = feynman_table.load(write(tmp_path, "A,1,f,x*y,1,x,1,2,y,1,2\n"))
    assert p.names == ("x", "y")


def test_missing_table_names_the_option(tmp_path):
    with pytest.raises(FileNotFoundError, match="--data"):
        feynman_table.load(str(tmp_path / "absent.csv"))
    with pytest.raises(SystemExit, match="--data"):
        feynman.main(["--data", str(tmp_path / "absent.csv")])


def test_unknown_law_names_are_listed(tmp_path):
    laws = feynman_table.load(write(tmp_path, "A,1,f,x,1,x,1,2,,,\n"))
    with pytest.raises(ValueError, match="unknown laws: B"):
        feynman_table.select(laws, "A,B")


@pytest.mark.skipif(not os.path.isfile(feynman_table.DEFAULT_TABLE), reason="the AI Feynman table is not beside the project")
def test_the_public_table():
    laws = feynman_table.load()
    assert len(laws) == 100
    by_name = {p.name: p for p in laws}
    # Rows whose "# variables" column is wrong.
    assert [len(by_name[n].names) for n in ("I.18.14", "II.37.1", "III.10.19")] == [4, 3, 4]
    assert sorted(n for n, p in by_name.items() if p.needs) == ["I.26.2", "I.30.5", "II.35.21"]


def test_a_run_end_to_end(tmp_path, capsys):
    table = write(tmp_path, "K,1,E,1/2*x*y**2,2,x,1,5,y,1,5\n")
    out = tmp_path / "out.json"
    assert feynman.main(["--data", table, "--noise", "0", "--rows", "200", "--json", str(out)]) == 0
    import json

    result = json.loads(out.read_text())
    assert result["summary"]["ours_0"]["exact"] == 1
    assert "exact   1/1" in capsys.readouterr().out


@pytest.mark.parametrize("truth, names, output, problem", [
    ("sqrt((x2-x1)**2 + y**2)", "x1 x2 y", "d", None),
    ("x/t*exp(-x/(v*t))", "x t v", "v", None),
    ("x + t", "x t", "d", "adds quantities of different dimensions"),
    ("v*exp(x)", "v x", "v", "takes exp of a dimensional quantity"),
    ("x**t", "x t", "d", "raises to a dimensional power"),
    ("x*y", "x y", "d", r"the formula is in m\^2, d in m"),
    ("x*w_unknown", "x w_unknown", "d", "no unit for w_unknown"),
])
def test_the_units_check_finds_what_is_inconsistent(truth, names, output, problem):
    p = Law("t", truth, tuple((n, 1.0, 2.0) for n in names.split()), 0, 10, output)
    found = feynman_units.inconsistencies([p])
    if problem is None:
        assert found == []
    else:
        assert len(found) == 1 and re.search(problem, found[0])


@pytest.mark.skipif(not os.path.isfile(feynman_table.DEFAULT_TABLE), reason="the AI Feynman table is not beside the project")
def test_the_units_make_every_law_of_the_table_consistent():
    laws = feynman_table.load()
    assert feynman_units.inconsistencies(laws) == []
    # a name that means something else in one law is told apart there
    assert feynman_units.units_of("I.40.1", ["n_0"], "n")[1] == "1/m^3"
    assert feynman_units.units_of("III.4.32", ["h"], "n")[1] == "1"


def test_a_run_with_units(tmp_path, capsys):
    table = write(tmp_path, "K,1,E_n,1/2*m*v**2,2,m,1,5,v,1,5\n")
    out = tmp_path / "out.json"
    assert feynman.main(["--data", table, "--noise", "0", "--rows", "200", "--units", "--json", str(out)]) == 0
    import json

    result = json.loads(out.read_text())
    assert result["summary"]["ours_0"]["exact"] == 1 and result["summary"]["units"] is True
    assert result["results"][0]["ours"]["through"]["monomial"] == "m*v**2"
    with pytest.raises(SystemExit, match="--units: .*\n  K: no unit for E$"):
        feynman.main(["--data", write(tmp_path, "K,1,E,1/2*m*v**2,2,m,1,5,v,1,5\n"), "--noise", "0", "--units"])
