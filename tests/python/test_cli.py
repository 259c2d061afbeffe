"""The zan-discover command line (python -m zan_math): the new engine by default, the classic
search behind --classic, JSON, plots, and the exit statuses."""

import json
import subprocess
import sys

import numpy as np
import pytest


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
    assert all(set(e) == {"complexity", "loss", "score", "formula", "best"} for e in front)
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
