"""find_formula on a set of small problems, with optional peers side by side.

For each problem (100 rows, default options) prints the wall time, the formula found and its
error. Then a 10,000-row search timed with one and with two worker threads (separate
interpreters) for the parallel speed-up of the whole search. Per-level candidate counts
(generated, fingerprinted, kept, scored) come from the C++ benchmark: bench/cpp.

Peers, when installed (`pip install gplearn pyoperon`): time and whether their best model
reaches an RMSE below 1e-6 on the exact problems.
"""

import math
import os
import random
import subprocess
import sys
import time

from zan_math import find_formula


def problems(rows=100, seed=1):
    rng = random.Random(seed)
    xs = [0.1 + 2.9 * i / (rows - 1) for i in range(rows)]
    ys = [0.5 + 1.5 * ((i * 7919) % rows) / rows for i in range(rows)]
    noise = lambda s: [rng.gauss(0.0, s) for _ in range(rows)]  # noqa: E731
    n1, n2, n3 = noise(0.05), noise(0.1), noise(0.02)
    return [
        ("x*sqrt(x)", [xs], [x * math.sqrt(x) for x in xs], True),
        ("(x+y)*x", [xs, ys], [(x + y) * x for x, y in zip(xs, ys)], True),
        ("sin(x)+x*x", [xs], [math.sin(x) + x * x for x in xs], True),
        ("exp(-x)*x", [xs], [math.exp(-x) * x for x in xs], True),
        ("x/y", [xs, ys], [x / y for x, y in zip(xs, ys)], True),
        ("ln(x)+y", [xs, ys], [math.log(x) + y for x, y in zip(xs, ys)], True),
        ("zan(x,y)", [xs, ys], [math.exp(x) - math.log(y) for x, y in zip(xs, ys)], True),
        ("x*sin(x)+noise", [xs], [x * math.sin(x) + e for x, e in zip(xs, n1)], False),
        ("x^2/y+noise", [xs, ys], [x * x / y + e for x, y, e in zip(xs, ys, n2)], False),
        ("cos(x)*y+noise", [xs, ys], [math.cos(x) * y + e for x, y, e in zip(xs, ys, n3)], False),
    ]


def rmse(pred, ys):
    return math.sqrt(sum((p - y) ** 2 for p, y in zip(pred, ys)) / len(ys))


def peers():
    found = []
    try:
        from gplearn.genetic import SymbolicRegressor

        def run_gplearn(cols, ys):
            model = SymbolicRegressor(population_size=1000, generations=20, random_state=0, n_jobs=1)
            rows = list(zip(*cols))
            model.fit(rows, ys)
            return rmse(model.predict(rows), ys)

        found.append(("gplearn", run_gplearn))
    except ImportError:
        pass
    try:
        import numpy as np
        from pyoperon.sklearn import SymbolicRegressor as OperonRegressor

        def run_operon(cols, ys):
            rows = np.array(list(zip(*cols)))
            model = OperonRegressor(random_state=0)
            model.fit(rows, np.array(ys))
            return rmse(model.predict(rows), ys)

        found.append(("pyoperon", run_operon))
    except ImportError:
        pass
    return found


def scaling():
    code = (
        "import math, time; from zan_math import find_formula\n"
        "n = 10000; xs = [0.1 + 2.9 * i / (n - 1) for i in range(n)]\n"
        "ys = [x * math.sin(x) + 0.01 * ((i * 7919) % 13) for i, x in enumerate(xs)]\n"
        "best = 1e9\n"
        "for _ in range(3):\n"
        "    t = time.perf_counter(); r = find_formula([xs], ys); best = min(best, time.perf_counter() - t)\n"
        "print(best, r.formula)\n"
    )
    out = {}
    for threads in ("1", "2"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        line = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        seconds, formula = line.stdout.split(" ", 1)
        out[threads] = (float(seconds), formula.strip())
    return out


def main():
    peer_list = peers()
    header = f"{'problem':<16} {'seconds':>8} {'error':>10}  formula"
    for name, _ in peer_list:
        header += f" | {name} s, rmse"
    print(header)
    total = 0.0
    for name, cols, ys, exact in problems():
        start = time.perf_counter()
        r = find_formula(cols, ys)
        seconds = time.perf_counter() - start
        total += seconds
        line = f"{name:<16} {seconds:>8.3f} {r.error:>10.3g}  {r.formula}"
        for _, run in peer_list:
            start = time.perf_counter()
            err = run(cols, ys)
            line += f" | {time.perf_counter() - start:.2f}, {err:.2g}"
        print(line)
    print(f"total {total:.3f} s for {len(problems())} searches of 100 rows")
    s = scaling()
    print(f"10,000 rows, full search: 1 thread {s['1'][0]:.3f} s, 2 threads {s['2'][0]:.3f} s, "
          f"speed-up {s['1'][0] / s['2'][0]:.2f}x ({s['2'][1]})")


if __name__ == "__main__":
    main()
