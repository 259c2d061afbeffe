"""Long searches: other threads keep running, progress is shown only where it belongs, time
limits and Ctrl-C stop the search with what it found (in process and at the command line)."""

import _thread
import os
import pty
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from zan_math import discover


def noisy_four_variables(rows=300, seed=4):
    rng = np.random.default_rng(seed)
    X = rng.uniform(1, 2, (rows, 4))
    y = X[:, 0] * np.exp(X[:, 1]) / (X[:, 2] + np.sin(X[:, 3])) + 0.01 * rng.standard_normal(rows)
    return X, y


def test_other_threads_keep_running_during_a_search():
    X, y = noisy_four_variables()
    count = [0]
    done = threading.Event()

    def counter():
        while not done.is_set():
            count[0] += 1

    seen = []
    thread = threading.Thread(target=counter)
    thread.start()
    try:
        discover(X, y, time_limit=1.0, progress=lambda info: seen.append(count[0]))
    finally:
        done.set()
        thread.join()
    # Levels 5 and 6 take most of the second; if the engine held the interpreter lock while it
    # worked, the counter could move only in the instants between levels.
    assert seen[-1] - seen[3] > 10_000, seen


def test_progress_display_on_request_and_quiet_otherwise(capsys, monkeypatch):
    X, y = noisy_four_variables(rows=60)
    discover(X, y, search_size=3)  # standard error is captured: not a terminal
    discover(X, y, search_size=3, progress=False)
    assert capsys.readouterr().err == ""
    discover(X, y, search_size=3, progress=True)
    err = capsys.readouterr().err
    assert "discover" in err and "level 3," in err and err.endswith("\n")
    monkeypatch.setitem(sys.modules, "tqdm", None)  # without the progress extra: a plain line
    discover(X, y, search_size=3, progress=True, time_limit=60)
    err = capsys.readouterr().err
    assert err.startswith("\rdiscover: ") and "level 3, " in err and err.endswith(" s   \n")


def test_time_limit_in_the_estimator():
    pytest.importorskip("sklearn")
    from zan_math import FormulaRegressor

    X, y = noisy_four_variables()
    model = FormulaRegressor(time_limit=0.2).fit(X, y)
    assert model.interrupted_ and model.stop_reason_ == "time_limit"
    assert model.best_ in model.front_ and model.score(X, y) > 0.5


def test_ctrl_c_returns_what_was_found():
    X, y = noisy_four_variables()
    levels = []

    def on_level(info):
        levels.append(info.level)
        if info.level == 4:
            _thread.interrupt_main()  # Ctrl-C, as the main thread receives it

    # Python's own Ctrl-C handler, even where this runs with SIGINT ignored (a background
    # job of a non-interactive shell): interrupt_main does nothing for an ignored signal.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        result = discover(X, y, progress=on_level)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert result.interrupted and result.stop_reason == "interrupt"
    assert result.front and result.best is not None and max(levels) < 11


@pytest.mark.skipif(sys.platform != "linux", reason="pseudo-terminal and signals as on Linux")
def test_sigint_to_the_command_line_prints_the_best_so_far(tmp_path):
    X, y = noisy_four_variables()
    data = tmp_path / "noisy.csv"
    data.write_text("a,b,c,d,t\n" + "".join(",".join(repr(float(v)) for v in row) + "\n" for row in np.column_stack([X, y])))
    # Standard error on a pseudo-terminal, as in an interactive shell: progress is shown there,
    # and the first level it reports tells that the search is under way.
    leader, follower = pty.openpty()
    # Ctrl-C's default action even if this test runs where SIGINT is ignored (a background
    # job of a non-interactive shell), which the child would inherit.
    run = (
        "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
        f"sys.argv = ['zan-discover', {str(data)!r}]; runpy.run_module('zan_math', run_name='__main__')"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", run],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=follower,
    )  # fmt: skip
    os.close(follower)
    shown = bytearray()
    started = threading.Event()

    def drain():  # keeps reading, so the child never blocks on a full terminal
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the child closed its end
                return
            if not chunk:
                return
            shown.extend(chunk)
            if b"level 1," in shown:
                started.set()

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        while not started.wait(0.1) and proc.poll() is None:
            pass
        assert started.is_set(), bytes(shown)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
        reader.join(10)
        os.close(leader)
    text = out.decode()
    assert proc.returncode == 130, (text, bytes(shown))
    assert "stopped:   interrupted (Ctrl-C); the best formula found so far:" in text, bytes(shown)
    assert "formula:   t = " in text and "def t(a, b, c, d):" in text

