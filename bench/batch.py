"""Elementwise batch functions against the conversion floor, pure Python and NumPy.

Prints time ratios measured side by side in one run (lower is better for zan_core):
  floor  = zan_core / array('d', ...).tolist() round trip of the same inputs
  python = zan_core / the pure-Python equivalent
  numpy  = zan_core / NumPy round trip (np.f(np.asarray(xs)).tolist())
  ndarray-in = zan_core with a float64 ndarray input / with the same values as a list
"""

import array
import math
import operator
import sys
import timeit

import numpy as np

from zan_math import zan_core as z


def best(fn, n):
    number = max(1, int(2e5 // n))
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def cases(xs, ys, axs, ays):
    return {
        "ln_n": (lambda: z.ln_n(ys), lambda: list(map(math.log, ys)), lambda: np.log(np.asarray(ys)).tolist(),
                 lambda: z.ln_n(ays), 1),
        "exp_n": (lambda: z.exp_n(xs), lambda: list(map(math.exp, xs)), lambda: np.exp(np.asarray(xs)).tolist(),
                  lambda: z.exp_n(axs), 1),
        "add_n": (lambda: z.add_n(xs, ys), lambda: list(map(operator.add, xs, ys)),
                  lambda: np.add(np.asarray(xs), np.asarray(ys)).tolist(), lambda: z.add_n(axs, ays), 2),
        "tension_n": (lambda: z.tension_n(xs, ys), lambda: [math.exp(x) - math.log(y) for x, y in zip(xs, ys)],
                      lambda: (np.exp(np.asarray(xs)) - np.log(np.asarray(ys))).tolist(),
                      lambda: z.tension_n(axs, ays), 2),
        "pow_n": (lambda: z.pow_n(ys, xs), lambda: list(map(math.pow, ys, xs)),
                  lambda: np.power(np.abs(np.asarray(ys)), np.asarray(xs)).tolist(), lambda: z.pow_n(ays, axs), 2),
    }


def main():
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}")
    print(f"{'function':<10} {'n':>8} {'us/call':>10} {'floor':>7} {'python':>7} {'numpy':>7} {'ndarray-in':>10}")
    for n in (1_000, 100_000, 1_000_000):
        xs = [((i * 7919) % 1000) / 500.0 - 1.0 for i in range(n)]
        ys = [((i * 104729) % 1000) / 100.0 + 0.01 for i in range(n)]
        axs, ays = np.asarray(xs), np.asarray(ys)
        floor1 = best(lambda: array.array("d", xs).tolist(), n)
        floor2 = best(lambda: (array.array("d", ys), array.array("d", xs).tolist()), n)
        for name, (ours, python, numpy_rt, ours_nd, nin) in cases(xs, ys, axs, ays).items():
            t = best(ours, n)
            floor = floor1 if nin == 1 else floor2
            print(f"{name:<10} {n:>8} {t * 1e6:>10.1f} {t / floor:>7.2f} {t / best(python, n):>7.2f} "
                  f"{t / best(numpy_rt, n):>7.2f} {best(ours_nd, n) / t:>10.2f}")
    one = [2.0]
    t_one = best(lambda: z.ln_n(one), 1)
    t_fsum = best(lambda: math.fsum(one), 1)
    print(f"ln_n of a one-element list: {t_one * 1e9:.0f} ns = {t_one / t_fsum:.2f}x math.fsum")


if __name__ == "__main__":
    main()
