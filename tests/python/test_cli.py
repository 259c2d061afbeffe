"""The zan-discover command line (python -m zan_math): the new engine by default, the classic
search behind --classic, JSON, plots, and the exit statuses."""

import json
import struct
import subprocess
import sys
from types import SimpleNamespace
from unittest.mock import patch

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zan_math.__main__ import FAST_READ_MIN_CHARS, SEPARATORS, DataError, read_numbers_fast, read_table


def cli(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "zan_math", *args], input=stdin, capture_output=True, text=True, timeout=300
    )


def write_csv(path, header, rows):
    path.write_text(",".join(header) + "\n" + "".join(",".join(repr(float(v)) for v in row) + "\n" for row in rows))
    return str(path)


KINETIC = [(1, 1, 0.5), (2, 1, 1), (2, 2, 4), (3, 2, 6), (1, 3, 4.5), (4, 3, 18), (5, 1, 2.5)]


# ---- the new engine ---------------------------------------------------------------------------


def test_embedded_planets_give_keplers_law():
    proc = cli("--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["target"] == "period_years" and out["variables"] == {"a_au": "a_au"}
    assert out["complexity"] == 6 and out["formula"].endswith("*a_au*sqrt(a_au)"), out["formula"]
    assert [e["best"] for e in out["front"]].count(True) == 1
    assert f"formula:   period_years = {out['formula']}" in cli().stdout


def test_text_output_names_the_columns_and_runs_as_python(tmp_path):
    data = write_csv(tmp_path / "k.csv", ["mass (kg)", "v", "E"], KINETIC)
    proc = cli(data)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "formula:   E = 0.5*mass_kg*v**2" in lines
    assert "           mass_kg is the column 'mass (kg)'" in lines
    assert any(line.startswith("  *        6") and line.endswith("0.5*mass_kg*v**2") for line in lines)
    assert proc.stderr == ""  # no progress when standard error is not a terminal
    source = json.loads(cli(data, "--json").stdout)["python"]
    namespace = {}
    exec(source, namespace)  # noqa: S102 - the command's own output
    assert [namespace["E"](m, v) for m, v, _ in KINETIC] == [e for _, _, e in KINETIC]


def test_json_front_and_formula(tmp_path):
    data = write_csv(tmp_path / "k.csv", ["m", "v", "E"], KINETIC)
    out = json.loads(cli(data, "--json").stdout)
    assert out["formula"] == "0.5*m*v**2" and out["complexity"] == 6 and out["loss"] == 0.0
    assert out["python"].startswith("import math") and "def E(m, v):" in out["python"]
    front = out["front"]
    assert [e["complexity"] for e in front] == sorted(e["complexity"] for e in front)
    assert all(set(e) == {"complexity", "loss", "score", "formula", "best", "shown"} for e in front)
    assert front[-1]["formula"] == out["formula"] and out["interrupted"] is False


def test_time_limit_stops_the_search(tmp_path):
    rng = np.random.default_rng(4)
    X = rng.uniform(1, 2, (300, 4))
    y = X[:, 0] * np.exp(X[:, 1]) / (X[:, 2] + np.sin(X[:, 3])) + 0.01 * rng.standard_normal(300)
    data = write_csv(tmp_path / "n.csv", ["a", "b", "c", "d", "t"], np.column_stack([X, y]))
    out = json.loads(cli(data, "--json", "--time-limit", "0.3").stdout)
    assert out["interrupted"] and out["stop_reason"] == "time_limit" and out["formula"]
    text = cli(data, "--time-limit", "0.3")
    assert text.returncode == 0 and "stopped:   time limit (0.3 s) reached" in text.stdout


@pytest.mark.parametrize("one_variable", [True, False], ids=["curve", "scatter"])
def test_plot_writes_a_png(tmp_path, one_variable):
    pytest.importorskip("matplotlib")
    args = [] if one_variable else [write_csv(tmp_path / "k.csv", ["m", "v", "E"], KINETIC)]
    picture = tmp_path / "out.png"
    proc = cli(*args, "--plot", str(picture))
    assert proc.returncode == 0, proc.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# ---- exit statuses ------------------------------------------------------------------------------

STATUS_CASES = {
    "found": ("m,v,E\n1,1,0.5\n2,1,1\n2,2,4\n3,2,6\n", [], 0),
    "no formula within the limits": ("x,t\n1,2\n2,4\n3,7\n", ["--max-complexity", "1"], 1),
    "nothing beats a constant": ("x,t\n1,2\n1,4\n1,7\n", [], 1),
    "bad data": ("x,t\n1,2\n2,nan\n", [], 2),
    "bad option": ("x,t\n1,2\n2,4\n", ["--beam-width", "9"], 2),
}


@pytest.mark.parametrize("case", sorted(STATUS_CASES))
def test_exit_status_is_the_same_with_and_without_json(case):
    stdin, args, status = STATUS_CASES[case]
    text, machine = cli("-", *args, stdin=stdin), cli("-", "--json", *args, stdin=stdin)
    assert text.returncode == machine.returncode == status, (text.stderr, machine.stderr)
    if status == 1:
        assert json.loads(machine.stdout)["formula"] is None
        assert text.stderr.startswith("zan-discover: no formula")
    if status != 0:
        assert len(text.stderr.strip().splitlines()) == 1


@pytest.mark.parametrize(
    "content, args, needle",
    [
        (None, ["/nonexistent/file.csv"], "no such file"),
        ("", [], "no header row"),
        ("1,2\n3,4\n", [], "no header row"),
        ("a,b\n1,x\n", [], "row 2, column 'b'"),
        ("a,b\n1,2\n", ["--target", "c"], "no column named 'c'"),
        ("a\n1\n2\n", [], "at least two columns"),
        ("a,b\n1,2\n3,inf\n", [], "row 3, column 'b': inf is not a finite number"),
        ("a,b\n1,2\n", [], "need at least two data rows"),
        ("a,a\n1,2\n3,4\n", [], "names column 'a' more than once"),
        ("a,b\n1,2\n3,4\n", ["--plot", "/nonexistent/dir/p.png"], "no such directory"),
        ("a,b\n1,2\n3,4\n", ["--classic", "--time-limit", "1"], "new search only"),
        ("a,b\n1,2\n3,4\n", ["--time-limit", "0"], "positive number of seconds"),
        ("a,b\n1,2\n3,4\n", ["--no-such-option"], "unrecognized arguments"),
        ("a b\n1 2\n3 4\n", [], "no separator found; tried ',', ';' and tab"),
        ("a,b;c\n1,2;3\n4,5;6\n", [], "cannot tell the separator: ',' and ';'"),
        ('a,b\n"' + "x" * 200_000 + '",1\n', [], "line 2: field larger than field limit"),
        ("a,b\n1,2\n3,4\n", ["--plot", "."], "--plot .: names a folder"),
        ("a,b\n1,2\n3,4\n", ["--plot", "/nonexistent/dir/"], "names a folder"),
        ("a,b\n1,2\n3,4\n", ["--report", ""], "--report needs a file name"),
        ("a,b\n1,2\n3,4\n", ["--classic", "--complexity-penalty", "-5"], "--complexity-penalty must be"),
        ("a,b\n1,2\n3,4\n", ["--classic", "--max-complexity", "0"], "--max-complexity must be at least 1"),
        ("a,\"b\n1,2\n3,4\n", [], "quote that is never closed"),
        ("a,b\n1,2\n3,4\n", ["--operators", "-cos,-nosuch"], "nosuch"),
    ],
)
def test_bad_input_exits_2_with_one_line(tmp_path, content, args, needle):
    if content is not None:
        path = tmp_path / "bad.csv"
        path.write_text(content)
        args = [str(path), *args]
    proc = cli(*args)
    assert proc.returncode == 2
    assert needle in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1


# ---- reading the data ---------------------------------------------------------------------------

KINETIC_TEXT = "m,v,E\n" + "".join(f"{m},{v},{e}\n" for m, v, e in KINETIC)


@pytest.mark.parametrize(
    "separator, bom, line_end, via",
    [
        (",", True, "\n", "file"),
        (",", True, "\n", "stdin"),
        (";", False, "\r\n", "file"),
        (";", True, "\n", "stdin"),
        ("\t", False, "\n", "file"),
        ("\t", True, "\r", "stdin"),
    ],
)
def test_separators_byte_order_marks_and_line_ends(tmp_path, separator, bom, line_end, via):
    text = ("\ufeff" if bom else "") + KINETIC_TEXT.replace(",", separator).replace("\n", line_end)
    args = ["--json", "--target", "m", "--max-complexity", "1"]  # the names are the point, not the search
    if via == "file":
        path = tmp_path / "k.csv"
        path.write_bytes(text.encode("utf-8"))
        proc = cli(str(path), *args)
    else:
        proc = subprocess.run(
            [sys.executable, "-m", "zan_math", "-", *args], input=text.encode("utf-8"), capture_output=True, timeout=300
        )
    out = json.loads(proc.stdout)
    assert out["target"] == "m" and out["variables"] == {"v": "v", "E": "E"} and out["rows"] == len(KINETIC)


def test_stdin_that_is_not_utf8_is_one_line():
    proc = subprocess.run([sys.executable, "-m", "zan_math", "-"], input=b"a,b\n\xff,1\n", capture_output=True)
    assert proc.returncode == 2
    assert proc.stderr.decode().startswith("zan-discover: <stdin>: cannot read: 'utf-8' codec can't decode")
    assert len(proc.stderr.splitlines()) == 1


def large_table(fault=None, at=3000, rows=5000):
    lines = [f"{k},{k * 0.5!r},{k * 0.25 - 7!r}" for k in range(rows)]
    if fault is not None:
        lines[at] = fault
    text = "a,b,t\n" + "\n".join(lines) + "\n"
    assert len(text) > FAST_READ_MIN_CHARS  # through the fast reader first
    return text


def without_pyarrow(parser):
    """The fast reader falls back on NumPy's parser where pyarrow is missing."""
    if parser == "pyarrow":
        pytest.importorskip("pyarrow")
        return {}
    return {"pyarrow": None}


PARSERS = ["pyarrow", "numpy"]


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize(
    "fault, message",
    [
        ("1,x,2", "row 3002, column 'b': 'x' is not a number"),
        ("1,,2", "row 3002, column 'b': '' is not a number"),
        ("1,NA,2", "row 3002, column 'b': 'NA' is not a number"),
        ("1,TRUE,2", "row 3002, column 'b': 'TRUE' is not a number"),
        ("1,2", "row 3002 has 2 cells, the header has 3"),
        ("1,2,3,4", "row 3002 has 4 cells, the header has 3"),
    ],
)
def test_large_file_faults_name_the_row_and_cell(parser, fault, message):
    with patch.dict(sys.modules, without_pyarrow(parser)), pytest.raises(DataError, match=message):
        read_table(large_table(fault), "big.csv")


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize(
    "row, fast",
    [("17, 2.5e-310 ,0.1000000000000000055511151231257827", True), ("1_000,1,2", False)],
    ids=["fast", "underscores: float() alone reads them"],
)
def test_large_file_values_are_those_of_float(parser, row, fast):
    text = large_table(row)
    with patch.dict(sys.modules, without_pyarrow(parser)):
        assert (read_numbers_fast(text.partition("\n")[2], ",", 3) is not None) == fast
        header, columns = read_table(text, "big.csv")
    rows = [line.split(",") for line in text.splitlines()[1:]]
    assert header == ["a", "b", "t"]
    for k, column in enumerate(columns):
        assert bits(column) == bits(float(row[k]) for row in rows)


def bits(values):
    return [struct.pack("<d", v) for v in values]


CELLS = st.one_of(
    st.floats().map(repr),
    st.sampled_from(["nan", "-inf", "Infinity", "NA", "TRUE", "", " ", "1_0", "0x1", "1e", ".5", "5.", "+-1", "１"]),
    st.text(alphabet='0123456789.eE+-_ nNaAiIfF"', max_size=6),
)


@pytest.mark.parametrize("parser", PARSERS)
@given(data=st.data())
@settings(max_examples=150, deadline=None)
def test_fast_reader_never_reads_otherwise_than_the_careful_one(parser, data):
    # The fast reader may refuse what the careful one reads (it then falls back on it), but what
    # it does read must come out bit for bit the same.
    width = data.draw(st.integers(2, 3))
    separator = data.draw(st.sampled_from(SEPARATORS))
    rows = data.draw(st.lists(st.lists(CELLS, min_size=width - 1, max_size=width + 1), min_size=1, max_size=4))
    body = "".join(separator.join(row) + "\n" for row in rows)
    with patch.dict(sys.modules, without_pyarrow(parser)):
        fast = read_numbers_fast(body, separator, width)
    if fast is None:
        return
    header, careful = read_table(separator.join("abc"[:width]) + "\n" + body, "t")
    assert [bits(column) for column in fast] == [bits(column) for column in careful]


# ---- plotting -----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", [r"$\frac{$", "a_b^c", "100%", "#", "$x$", "\\"])
def test_plot_shows_tex_like_names_as_they_are(tmp_path, name):
    pytest.importorskip("matplotlib")
    data = tmp_path / "k.csv"
    data.write_text(KINETIC_TEXT.replace("E", name, 1), encoding="utf-8")
    picture = tmp_path / "p.png"
    proc = cli(str(data), "--plot", str(picture))
    assert proc.returncode == 0 and proc.stderr == ""
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "path, needle",
    [
        ("picture", "the name has no suffix to tell the format; use one such as .png, .pdf, .svg"),
        ("picture.xyz", "no picture format is named '.xyz'"),
    ],
)
def test_plot_format_is_checked_before_the_search(tmp_path, path, needle):
    pytest.importorskip("matplotlib")
    proc = cli("--plot", str(tmp_path / path))
    assert proc.returncode == 2 and proc.stdout == ""
    assert needle in proc.stderr and len(proc.stderr.splitlines()) == 1


def test_plot_that_fails_while_writing_is_one_line(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "p.png"
    picture.symlink_to("/nonexistent/dir/p.png")  # the folder is there, the file cannot be made
    proc = cli("--plot", str(picture))
    assert proc.returncode == 2 and proc.stdout.startswith("data:")
    assert proc.stderr.startswith(f"zan-discover: --plot {picture}: ") and len(proc.stderr.splitlines()) == 1


def test_draw_reports_a_fault_of_matplotlib_in_one_line():
    pytest.importorskip("matplotlib")
    from zan_math.__main__ import draw

    class Broken:
        def Figure(self, **_):  # noqa: N802 - matplotlib's name
            raise RuntimeError("bad\n   ^\nparser state")

    result = SimpleNamespace(best=SimpleNamespace(text="x"))
    with pytest.raises(ValueError, match=r"^bad \^ parser state$"):
        draw(Broken(), "p.png", None, None, ["x"], "y", result)


# ---- the classic search --------------------------------------------------------------------------


def test_classic_embedded_planets_rediscover_keplers_law():
    proc = cli("--classic", "--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] in ("(x * sqrt(x))", "(sqrt(x) * x)")
    assert out["variables"] == {"x": "a_au"}
    assert set(out) >= {"formula", "error", "complexity", "latex", "python", "variables", "seconds"}
    assert out["python"].startswith("import math\nf = lambda x: ")


def test_classic_text_output_from_a_file(tmp_path):
    data = tmp_path / "d.csv"
    data.write_text("a,b,t\n1,5,6\n2,7,9\n3,11,14\n4,2,6\n")
    proc = cli(str(data), "--classic", "--max-complexity", "4")
    assert proc.returncode == 0, proc.stderr
    assert "x = a" in proc.stdout and "y = b" in proc.stdout
    assert "(y + x)" in proc.stdout and "LaTeX:" in proc.stdout and "time:" in proc.stdout


def test_classic_target_option_and_stdin():
    args = ["-", "--classic", "--target", "a", "--json", "--no-trig", "--no-zan"]
    proc = cli(*args, stdin="a,b\n2,1\n4,2\n6,3\n")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] == "(x + x)" and out["variables"] == {"x": "b"} and out["error"] == 0.0


def test_classic_non_finite_error_is_null():
    proc = cli("-", "--classic", "--json", stdin="a,b\n1,nan\n2,nan\n")
    out = json.loads(proc.stdout)
    assert out["error"] is None  # the classic search accepts NaN cells; the new one refuses them
