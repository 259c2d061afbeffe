"""boost_n and the value classes: time ratios measured side by side in one run.

What is measured (best of 7 repeats with the garbage collector off, as timeit does; lower ratios
are better for zan_core):
  floor    boost_n / the conversion floor: converting the same values to native float arrays and
           building the output list of n fresh (x, y) tuples back from native arrays, with no
           arithmetic: array('d', phis); list(zip(array('d', xs).tolist(), array('d', ys).tolist())),
           xs and ys being the coordinates unpacked from the points beforehand (so this floor does
           not include reading the input tuples, which boost_n does).
  python   boost_n / a pure-Python loop [ZANPoint(x, y).boost(phi, c) for ...] read back as tuples.
  threads  the whole boost_n call with RAYON_NUM_THREADS=1 against 2, each in its own process (the
           pool size is fixed when the pool is created). Conversions dominate the call and stay on
           the calling thread; the compute step alone, without any Python object, is timed by
           bench/cpp/boost_bench.cpp (BM_BoostSerial against BM_BoostPool), whose ratio this
           script prints too when that benchmark has been built (ZAN_BOOST_BENCH=path/to/binary,
           default build/cpp-bench/bench/cpp/zan_core_bench).
  method   ZANPoint(2, 3).tension() / complex(2, 3).conjugate(): construction plus one method call
           on a value class against the same on a built-in type (target: within 1.5x).
"""

import array
import json
import os
import subprocess
import sys
import timeit

from zan_math import zan_core as z

C = 1.3


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def inputs(n):
    points = [(((i * 7919) % 1000) / 250.0 - 2.0, ((i * 104729) % 1000) / 100.0 + 0.01) for i in range(n)]
    phis = [((i * 31) % 200) / 100.0 - 1.0 for i in range(n)]
    return points, phis


def measure(n):
    """Seconds for: boost_n, the conversion floor, input conversion only, output building only."""
    points, phis = inputs(n)
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    ax, ay = array.array("d", xs), array.array("d", ys)
    number = max(1, int(2e5 // n))
    return {
        "boost_n": best(lambda: z.boost_n(points, phis, C), number),
        "floor": best(lambda: (array.array("d", phis),
                               list(zip(array.array("d", xs).tolist(), array.array("d", ys).tolist()))), number),
        "input": best(lambda: z.boost_n(points, [], C), number),
        "output": best(lambda: list(zip(ax.tolist(), ay.tolist())), number),
    }


def in_subprocess(n, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--child", str(n)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return eval(out)  # a dict of floats printed by the child below


def kernel_speed_up():
    binary = os.environ.get("ZAN_BOOST_BENCH", "build/cpp-bench/bench/cpp/zan_core_bench")
    if not os.path.exists(binary):
        print(f"compute step alone: build bench/cpp (ZAN_BUILD_BENCH=ON) to time it ({binary} not found)")
        return
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run([binary, "--benchmark_filter=Boost", "--benchmark_format=json"], env=env, check=True,
                         capture_output=True, text=True).stdout
    runs = {b["name"]: b for b in json.loads(out)["benchmarks"]}
    for n in (100_000, 1_000_000):
        serial, pool = runs[f"BM_BoostSerial/{n}/real_time"], runs[f"BM_BoostPool/{n}/real_time"]
        print(f"n={n}: compute step alone {serial['real_time']:.2f} ms on the caller, "
              f"{pool['real_time']:.2f} ms on the pool of {pool['pool']:.0f}: "
              f"{serial['real_time'] / pool['real_time']:.2f}x")


def main():
    print(f"Python {sys.version.split()[0]}, CPUs available: {len(os.sched_getaffinity(0))}")
    print(f"{'n':>8} {'boost_n ms':>11} {'floor':>7} {'python':>7}")
    P = z.ZANPoint
    for n in (100_000, 1_000_000):
        t = measure(n)
        points, phis = inputs(n)
        t_py = best(lambda: [(q.x, q.y) for q in (P(x, y).boost(phi, C) for (x, y), phi in zip(points, phis))], 1)
        print(f"{n:>8} {t['boost_n'] * 1e3:>11.2f} {t['boost_n'] / t['floor']:>7.2f} {t['boost_n'] / t_py:>7.3f}")

    for n in (100_000, 1_000_000):
        one, two = in_subprocess(n, 1), in_subprocess(n, 2)
        print(f"n={n}: whole call {one['boost_n'] * 1e3:.2f} ms on 1 thread, {two['boost_n'] * 1e3:.2f} ms on 2: "
              f"{one['boost_n'] / two['boost_n']:.2f}x (input conversion alone {one['input'] * 1e3:.2f} ms)")
    kernel_speed_up()

    t_point = best(lambda: P(2, 3).tension(), 200_000)
    t_complex = best(lambda: complex(2, 3).conjugate(), 200_000)
    print(f"ZANPoint(2, 3).tension() {t_point * 1e9:.0f} ns, complex(2, 3).conjugate() {t_complex * 1e9:.0f} ns: "
          f"{t_point / t_complex:.2f}x")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        print(measure(int(sys.argv[2])))
    else:
        main()
