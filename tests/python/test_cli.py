"""The zan-discover command line (python -m zan_math)."""

import json
import subprocess
import sys

import pytest


def cli(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "zan_math", *args], input=stdin, capture_output=True, text=True, timeout=300
    )


def test_embedded_planets_rediscover_keplers_law():
    proc = cli("--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] in ("(x * sqrt(x))", "(sqrt(x) * x)")
    assert out["variables"] == {"x": "planet_a_au"}
    assert set(out) >= {"formula", "error", "complexity", "latex", "python", "variables", "seconds"}
    assert out["python"].startswith("import math\nf = lambda x: ")


def test_text_output_from_a_file(tmp_path):
    data = tmp_path / "d.csv"
    data.write_text("a,b,t\n1,5,6\n2,7,9\n3,11,14\n4,2,6\n")
    proc = cli(str(data), "--max-complexity", "4")
    assert proc.returncode == 0, proc.stderr
    assert "x = a" in proc.stdout and "y = b" in proc.stdout
    assert "(y + x)" in proc.stdout and "LaTeX:" in proc.stdout and "time:" in proc.stdout


def test_target_option_and_stdin():
    proc = cli("-", "--target", "a", "--json", "--no-trig", "--no-zan", stdin="a,b\n2,1\n4,2\n6,3\n")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] == "(x + x)" and out["variables"] == {"x": "b"} and out["error"] == 0.0


def test_non_finite_error_is_null():
    proc = cli("-", "--json", stdin="a,b\n1,nan\n2,nan\n")
    out = json.loads(proc.stdout)
    assert out["error"] is None


@pytest.mark.parametrize(
    "content, args, needle",
    [
        (None, ["/nonexistent/file.csv"], "no such file"),
        ("", [], "no header row"),
        ("1,2\n3,4\n", [], "no header row"),
        ("a,b\n1,x\n", [], "row 2, column 'b'"),
        ("a,b\n1,2\n", ["--target", "c"], "no column named 'c'"),
        ("a\n1\n2\n", [], "at least two columns"),
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
