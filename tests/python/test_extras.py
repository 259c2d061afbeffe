"""The optional dependencies: nothing imports them eagerly, and everything but the features that
need them works when they are missing (simulated by blocking them in sys.modules, which makes
every import of them fail as if they were not installed)."""

import json
import subprocess
import sys
import textwrap

import pytest

from zan_math import _extras

# Top-level modules of every extra, and the large dependencies they bring.
OPTIONAL = ["sklearn", "pandas", "sympy", "matplotlib", "dask", "distributed", "tqdm", "scipy"]
BLOCK = f"import sys\nfor _name in {OPTIONAL!r}:\n    sys.modules[_name] = None\n"


def run_blocked(code, *, stdin=None):
    """Runs code in a fresh interpreter in which no optional dependency can be imported."""
    return subprocess.run(
        [sys.executable, "-c", BLOCK + textwrap.dedent(code)],
        input=stdin,
        capture_output=True,
        text=True,
        timeout=120,
    )


def run_cli_blocked(*args, stdin=None):
    code = f"""
        import runpy
        sys.argv = ["zan-discover", *{list(args)!r}]
        runpy.run_module("zan_math", run_name="__main__", alter_sys=True)
    """
    return run_blocked(code, stdin=stdin)


def test_import_loads_no_optional_dependency():
    code = """
        import sys
        import zan_math, zan_core
        from zan_math import _export, _extras
        print(sorted(m for m in sys.modules if m.partition(".")[0] in OPTIONAL))
    """
    proc = subprocess.run(
        [sys.executable, "-c", f"OPTIONAL = {OPTIONAL!r}\n" + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


def test_core_works_without_extras():
    proc = run_blocked(
        """
        import numpy as np
        import zan_math
        from zan_math import zan_core, _export
        assert zan_core.ln_n([1.0]) == [0.0]
        program = (("var", 0), ("var", 0), ("op", "mul"), ("param", 0), ("op", "mul"))
        f = _export.to_numpy(program, (0.5,), ("v",))
        assert f(np.array([[2.0]])).tolist() == [2.0]
        assert _export.to_latex(program, (0.5,), ("v",))
        if hasattr(zan_math, "discover"):
            result = zan_math.discover(np.arange(1.0, 9.0), 3.0 * np.arange(1.0, 9.0))
            assert result.best.predict(np.array([[10.0]])).shape == (1,)
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


@pytest.mark.parametrize("args, stdin", [(["--json"], None), (["-", "--json"], "a,b,t\n1,5,6\n2,7,9\n3,11,14\n")])
def test_command_line_works_without_extras(args, stdin):
    proc = run_cli_blocked(*args, stdin=stdin)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["formula"]


@pytest.mark.parametrize(
    "module, extra, distribution",
    [
        ("sklearn.base", "sklearn", "scikit-learn"),
        ("pandas", "sklearn", "pandas"),
        ("sympy", "sympy", "sympy"),
        ("matplotlib.pyplot", "plot", "matplotlib"),
        ("dask.distributed", "dask", "dask[distributed]"),
        ("tqdm", "progress", "tqdm"),
    ],
)
def test_missing_extra_is_named(monkeypatch, module, extra, distribution):
    # The module itself too: another test may have imported it already.
    for name in {module.partition(".")[0], module}:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError) as info:
        _extras.require(module, extra, "Formula.sympy()")
    message = str(info.value)
    assert message.startswith(f"Formula.sympy() requires the optional dependency {distribution}")
    assert message.endswith(f"pip install 'zan_math[{extra}]'")
    assert info.value.name == module


def test_broken_install_keeps_the_original_error():
    # scikit-learn present but its own dependency SciPy missing: the cause is shown, not hidden.
    pytest.importorskip("sklearn")
    code = """
        import sys
        sys.modules["scipy"] = None
        from zan_math import _extras
        try:
            _extras.require("sklearn.linear_model", "sklearn")
        except ImportError as exc:
            print(exc)
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "requires the optional dependency scikit-learn (importing it failed: " in proc.stdout
    assert "scipy" in proc.stdout and proc.stdout.rstrip().endswith("pip install 'zan_math[sklearn]'")

