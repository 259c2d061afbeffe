"""zan_math.arrays against NumPy expressions, clifford, kingdon, the C library over a plain
C++ loop, and the list functions, measured side by side in one run.

Each row times one job both ways, interleaved (best of several rounds, as many as fit in a few
seconds, so that load from other processes hits both alike), and prints the ratio with its target:
  vs NumPy    NumPy's time / ours for the same values (tension: the guarded expression
              np.where(x > 709.78, exp(log x), exp x) - log(guard(y)); add/mul: the ufunc;
              boost: the boost written as NumPy array expressions; octonions: np.einsum over
              the 8x8x8 multiplication table)
  vs limit    our time / the C library's log, exp or sin over a plain C++ loop split in two
              halves on two threads into a preallocated output (bench/cpp/arrays_limit_bench.cpp,
              run between our rounds; the limit is the CPU time of one half, what two free
              threads take; needs the C++ benchmarks built, ZAN_CPP_BENCH=path, default
              build/cpp-bench/...)
  vs list     the list function's time (lists in, list out) / ours on the same values
  vs peer     clifford's or kingdon's time / ours for geometric products of (n, 2^d) arrays,
              kingdon's including its layout change ((n, 2^d) -> its (2^d, n) and back), and,
              for information, kingdon's product alone on data already in its layout
  1 element   our call on a 1-element array / math.fsum on a 1-element list
The CPU-time column gives the same ratio in CPU seconds of the whole process (our pool's
threads included): on a machine shared with other work, where wall-clock ratios of parallel
code suffer from preemption, it says how much work each side does.
Set ZAN_BENCH_QUICK=1 for fewer rounds.
"""

import json
import math
import os
import subprocess
import sys
import time
import timeit

import numpy as np

from zan_math import arrays
from zan_math import zan_core as z

ROUNDS = 3 if os.environ.get("ZAN_BENCH_QUICK") else 7
BUDGET = 0.5 if os.environ.get("ZAN_BENCH_QUICK") else 3.0  # seconds per row beyond the minimum rounds
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CPP_BENCH = os.environ.get("ZAN_CPP_BENCH", os.path.join(ROOT, "build/cpp-bench/bench/cpp/zan_core_bench"))
rng = np.random.default_rng(3)
ROWS = []


class Timing(float):
    """Best wall-clock seconds of a call, with its best CPU seconds (all threads) as .cpu."""

    def __new__(cls, wall, cpu):
        t = super().__new__(cls, wall)
        t.cpu = cpu
        return t


def side_by_side(*fns, rounds=ROUNDS):
    """Best times of each function, the functions interleaved round by round: at least
    `rounds` rounds, more while the budget lasts, so that short calls get many chances at
    a moment when no other process holds a CPU."""
    wall = [math.inf] * len(fns)
    cpu = [math.inf] * len(fns)
    start = time.perf_counter()
    done = 0
    while done < rounds or (time.perf_counter() - start < BUDGET and done < 400):
        for k, fn in enumerate(fns):
            c, t = time.process_time(), time.perf_counter()
            fn()
            wall[k] = min(wall[k], time.perf_counter() - t)
            cpu[k] = min(cpu[k], time.process_time() - c)
        done += 1
    return [Timing(w, c) for w, c in zip(wall, cpu)]


def row(case, ours, comparison, ratio, target, higher_is_better=True, cpu=None):
    met = ratio >= target if higher_is_better else ratio <= target
    sign = ">=" if higher_is_better else "<="
    cpu_text = f"{cpu:.2f}x" if cpu is not None else "-"
    ROWS.append((case, comparison, ours, ratio, cpu_text, f"{sign} {target:g}", "yes" if met else "NO"))
    print(f"{case:<30} {comparison:<28} {ours * 1e3:>9.4g} ms {ratio:>8.2f}x {cpu_text:>8}   {sign} {target:<5g} "
          f"{'yes' if met else 'NO'}", flush=True)


def check(ours, theirs, name, tol=1e-9):
    ours, theirs = np.asarray(ours), np.asarray(theirs)
    ok = np.allclose(ours, theirs, rtol=tol, atol=tol, equal_nan=True)
    if not ok:
        raise SystemExit(f"{name}: the peer disagrees with zan_math.arrays")


# ---- 10^6 elements ------------------------------------------------------------------------

def limits_once():
    """Seconds per call of each C++ limit loop, one short Google Benchmark run; {} when the
    benchmark binary is missing."""
    if not os.path.exists(CPP_BENCH):
        return {}
    out = subprocess.run([CPP_BENCH, "--benchmark_filter=^BM_Limit", "--benchmark_format=json",
                          "--benchmark_min_time=0.05"], check=True, capture_output=True, text=True).stdout
    # cpu_time is the calling thread's: the time of its half, which is what two free threads
    # take for the whole; the wall time adds however long the other thread waits for a CPU.
    return {b["run_name"].split("/")[0]: b["cpu_time"] / 1e3 for b in json.loads(out)["benchmarks"]}


def guarded_tension(x, y):
    with np.errstate(all="ignore"):
        e = np.where(x > 709.78, np.exp(np.log(x)), np.exp(x))
        g = np.where((y > 0) | np.isnan(y), y, np.maximum(np.abs(y), 1e-300))
        return e - np.log(g)


def million():
    n = 1_000_000
    x = rng.uniform(-5, 5, n)
    y = rng.uniform(-5, 5, n)
    xl, yl = x.tolist(), y.tolist()
    check(arrays.tension_n(x, y), guarded_tension(x, y), "tension expression")
    # The list functions take tens of milliseconds: timed apart, so that the short calls get
    # their many rounds.
    t_ours, t_np = side_by_side(lambda: arrays.tension_n(x, y), lambda: guarded_tension(x, y))
    row("tension_n 1e6", t_ours, "guarded NumPy expression", t_np / t_ours, 3, cpu=t_np.cpu / t_ours.cpu)
    t_ours, t_list = side_by_side(lambda: arrays.tension_n(x, y), lambda: z.tension_n(xl, yl), rounds=3)
    row("tension_n 1e6", t_ours, "list function", t_list / t_ours, 10, cpu=t_list.cpu / t_ours.cpu)

    for name, ufunc in [("add_n", np.add), ("mul_n", np.multiply)]:
        ours = getattr(arrays, name)
        t_ours, t_np = side_by_side(lambda: ours(x, y), lambda: ufunc(x, y))
        row(f"{name} 1e6", t_ours, f"np.{ufunc.__name__}", t_ours / t_np, 1.3, higher_is_better=False,
            cpu=t_ours.cpu / t_np.cpu)
        t_ours, t_list = side_by_side(lambda: ours(x, y), lambda: getattr(z, name)(xl, yl), rounds=3)
        row(f"{name} 1e6", t_ours, "list function", t_list / t_ours, 10, cpu=t_list.cpu / t_ours.cpu)

    # Our calls and the C++ limit loops alternate, round by round, best of each.
    cases = [("ln_n", 1e-3, 1e3, "BM_LimitLog"), ("exp_n", -50.0, 50.0, "BM_LimitExp"),
             ("sin_n", -10.0, 10.0, "BM_LimitSin")]
    data = {name: rng.uniform(lo, hi, n) for name, lo, hi, _ in cases}
    out = np.empty(n)
    best = {}
    limit = {}
    if not os.path.exists(CPP_BENCH):
        print(f"(no C++ limit: {CPP_BENCH} not built; `make bench` builds it)")
    for _ in range(ROUNDS):
        for key, seconds in limits_once().items():
            limit[key] = min(limit.get(key, math.inf), seconds)
        for name, _, _, _ in cases:
            v, f = data[name], getattr(arrays, name)
            t_new, t_out = side_by_side(lambda: f(v), lambda: f(v, out=out), rounds=5)
            best[name] = tuple(map(min, zip(best.get(name, (t_new, t_out)), (t_new, t_out))))
    for name, _, _, bench in cases:
        t_ours, t_out = best[name]
        if bench in limit:
            # CPU time: ours over all threads against both halves of the loop.
            row(f"{name} 1e6", t_ours, "C loop, 2 threads", t_ours / limit[bench], 1.3, higher_is_better=False,
                cpu=t_ours.cpu / (2 * limit[bench]))
            row(f"{name} 1e6, out=", t_out, "C loop, 2 threads", t_out / limit[bench], 1.3, higher_is_better=False,
                cpu=t_out.cpu / (2 * limit[bench]))
        v, f = data[name], getattr(arrays, name)
        vl = v.tolist()
        t_ours, t_list = side_by_side(lambda: f(v), lambda: getattr(z, name)(vl), rounds=3)
        row(f"{name} 1e6", t_ours, "list function", t_list / t_ours, 10, cpu=t_list.cpu / t_ours.cpu)


# ---- 10^5 elements: products and boosts ----------------------------------------------------

def kingdon_runs(sig):
    try:
        from kingdon import Algebra
    except ImportError:
        return None
    alg = Algebra(signature=sig)
    keys = tuple(range(2 ** len(sig)))

    def whole(a, b):  # (n, 2^d) arrays in, (n, 2^d) array out
        x = alg.multivector(values=a.T.copy(), keys=keys)
        y = alg.multivector(values=b.T.copy(), keys=keys)
        p = x * y
        r = np.zeros((len(keys), a.shape[0]))
        r[list(p.keys())] = np.asarray(p.values())
        return r.T.copy()

    def product_only(a, b):
        x = alg.multivector(values=a.T.copy(), keys=keys)
        y = alg.multivector(values=b.T.copy(), keys=keys)
        return lambda: x * y

    return whole, product_only


def clifford_run(sig):
    try:
        import clifford
    except ImportError:
        return None
    layout, _ = clifford.Cl(sig=sig)
    perm = np.array([sum(1 << (k - 1) for k in t) for t in layout.bladeTupList])
    inverse = np.argsort(perm)
    gmt = layout.gmt_func

    def run(a, b):
        pa, pb = a[:, perm], b[:, perm]
        r = np.array([gmt(u, v) for u, v in zip(pa, pb)])
        return r[:, inverse]

    return run


def products():
    n = 100_000
    for d, sig, target in [(3, [1, 1, 1], 4), (5, [1, 1, 1, 1, -1], 10)]:
        a = rng.uniform(-1, 1, (n, 2 ** d))
        b = rng.uniform(-1, 1, (n, 2 ** d))
        ours = lambda: arrays.geometric_product_n(a, b, sig)
        k = kingdon_runs(sig)
        if k is None:
            print("(kingdon not installed: pip install '.[bench]')")
        else:
            whole, product_only = k
            check(ours()[:1000], whole(a[:1000], b[:1000]), "kingdon")
            bare = product_only(a, b)
            bare()
            t_ours, t_k, t_bare = side_by_side(ours, lambda: whole(a, b), bare)
            row(f"geometric_product_n d={d} 1e5", t_ours, "kingdon, arrays in and out", t_k / t_ours, target,
                cpu=t_k.cpu / t_ours.cpu)
            ROWS.append((f"geometric_product_n d={d} 1e5", "kingdon, product alone", t_ours,
                         t_bare / t_ours, f"{t_bare.cpu / t_ours.cpu:.2f}x", "(info)", ""))
            print(f"{'':<30} {'kingdon, product alone':<28} {'':>12} {t_bare / t_ours:>8.2f}x "
                  f"{t_bare.cpu / t_ours.cpu:>7.2f}x   (info)")
        c = clifford_run(sig)
        if c is None:
            print("(clifford not installed: pip install '.[bench]')")
        else:
            part = 5000
            check(ours()[:200], c(a[:200], b[:200]), "clifford")
            t_ours, t_c = side_by_side(ours, lambda: c(a[:part], b[:part]), rounds=3)
            row(f"geometric_product_n d={d} 1e5", t_ours, f"clifford (on {part}, scaled)", t_c * n / part / t_ours,
                target, cpu=t_c.cpu * n / part / t_ours.cpu)

    table = np.zeros((8, 8, 8))
    for i, j in np.ndindex(8, 8):
        ea, eb = np.eye(8)[i], np.eye(8)[j]
        table[i, j] = arrays.octonion_mul_n(ea[None], eb[None])[0]
    a = rng.uniform(-1, 1, (n, 8))
    b = rng.uniform(-1, 1, (n, 8))
    einsum = lambda: np.einsum("ni,ijk,nj->nk", a, table, b)
    check(arrays.octonion_mul_n(a, b), einsum(), "einsum")
    t_ours, t_np = side_by_side(lambda: arrays.octonion_mul_n(a, b), einsum)
    row("octonion_mul_n 1e5", t_ours, "np.einsum over the table", t_np / t_ours, 5, cpu=t_np.cpu / t_ours.cpu)

    pts = np.stack([rng.uniform(-2, 2, n), rng.uniform(0.01, 10, n)], axis=1)
    phis = rng.uniform(-1, 1, n)
    c = 1.3

    def boost_numpy():
        x, y = pts[:, 0], pts[:, 1]
        with np.errstate(all="ignore"):
            t = np.where(x > 709.78, np.exp(np.log(x)), np.exp(x))
            g = np.where((y > 0) | np.isnan(y), y, np.maximum(np.abs(y), 1e-300))
            X = np.log(g)
            s, ch = np.sinh(phis), np.cosh(phis)
            t1 = t * ch - (X / c) * s
            x1 = X * ch - (c * t) * s
            return np.stack([np.log(np.where(t1 > 1e-300, t1, 1e-300)), np.exp(np.clip(x1, -709.0, 709.0))], axis=1)

    check(arrays.boost_n(pts, phis, c), boost_numpy(), "boost expression")
    t_ours, t_np = side_by_side(lambda: arrays.boost_n(pts, phis, c), boost_numpy)
    row("boost_n 1e5", t_ours, "NumPy expression", t_np / t_ours, 5, cpu=t_np.cpu / t_ours.cpu)


def one_element():
    x = np.array([0.5])
    xl = [0.5]
    number = 200_000
    t_ours, t_fsum = [], []
    for _ in range(ROUNDS):
        t_ours.append(timeit.timeit("f(x)", globals={"f": arrays.ln_n, "x": x}, number=number) / number)
        t_fsum.append(timeit.timeit("f(x)", globals={"f": math.fsum, "x": xl}, number=number) / number)
    row("ln_n, 1 element", min(t_ours), "math.fsum([x])", min(t_ours) / min(t_fsum), 3, higher_is_better=False)
    t_add = min(timeit.repeat("f(x, x)", globals={"f": arrays.add_n, "x": x}, number=number, repeat=ROUNDS)) / number
    row("add_n, 1 element", t_add, "math.fsum([x])", t_add / min(t_fsum), 3, higher_is_better=False)


def main():
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'case':<30} {'against':<28} {'ours':>12} {'ratio':>9} {'cpu':>8}   target")
    million()
    products()
    one_element()
    print("\n| case | against | ours (ms) | ratio | CPU-time ratio | target | met |\n|---|---|---:|---:|---:|---|---|")
    for case, against, ours, ratio, cpu, target, met in ROWS:
        print(f"| {case} | {against} | {ours * 1e3:.4g} | {ratio:.2f}x | {cpu} | {target} | {met} |")


if __name__ == "__main__":
    main()
