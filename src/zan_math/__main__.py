"""Command line of zan_math (a short demonstration until formula discovery lands)."""

import math

from . import zan_core


def main() -> int:
    xs = [0.0, 0.5, 1.0, 709.78, 710.0]
    ys = [1.0, 0.0, -3.0, 1e-310, math.e]
    print("xs            ", xs)
    print("ys            ", ys)
    print("tension_n     ", zan_core.tension_n(xs, ys))
    print("exp_n(xs)     ", zan_core.exp_n(xs))
    print("ln_n(ys)      ", zan_core.ln_n(ys))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
