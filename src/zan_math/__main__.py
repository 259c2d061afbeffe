"""zan-discover: find a formula that explains a column of a CSV file.

    python -m zan_math [FILE] [--target NAME] [--json] [--plot FILE.png] [--time-limit S] ...

FILE is a CSV file with a header row and numeric columns ("-" reads standard input). The
target column (default: the last one) is explained by the other columns, under their own
names. Without FILE the search runs on the orbits of the eight planets and rediscovers
Kepler's third law. `--classic` runs the classic fixed search (`find_formula`) instead.

Exit status: 0 a formula was found; 1 none was (nothing within the limits explains the target
better than a constant); 2 usage or bad data (one line on standard error); 130 interrupted by
Ctrl-C, after printing the best formula found so far. --json does not change the status.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
import time
from typing import NoReturn, Sequence

from . import _options, zan_core

# Semi-major axis (AU) and sidereal orbital period (years) of the eight planets.
PLANETS_CSV = """a_au,period_years
0.387098,0.240846
0.723332,0.615198
1.000001,1.000017
1.523679,1.880815
5.2026,11.8626
9.5549,29.4475
19.2184,84.0205
30.07,164.79
"""

EXIT_FOUND, EXIT_NONE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
CLASSIC_MAX_COMPLEXITY = 8
CLASSIC_ONLY = ("beam_width", "precision_goal", "complexity_penalty")


class DataError(Exception):
    """A problem with the input file or the options, reported in one line with exit status 2."""


def variable_name(index: int) -> str:
    """The character a classic formula uses for variable `index`: x, y, z, then on by code point."""
    return chr((120 + index) % 256)


def read_table(text: str, source: str) -> tuple[list[str], list[list[float]]]:
    """Parses CSV text into its header and numeric columns."""
    rows = [row for row in csv.reader(io.StringIO(text)) if any(cell.strip() for cell in row)]
    if not rows:
        raise DataError(f"{source}: no header row (the file is empty)")
    header = [name.strip() for name in rows[0]]
    if all(_is_number(name) for name in header):
        raise DataError(f"{source}: no header row (the first row holds only numbers: {','.join(header)})")
    if len(header) < 2:
        raise DataError(f"{source}: need at least two columns (variables and a target), found {len(header)}")
    if len(set(header)) != len(header):
        twice = next(name for name in header if header.count(name) > 1)
        raise DataError(f"{source}: the header names column '{twice}' more than once")
    columns: list[list[float]] = [[] for _ in header]
    for line, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise DataError(f"{source}: row {line} has {len(row)} cells, the header has {len(header)}")
        for name, cell, column in zip(header, row, columns):
            try:
                column.append(float(cell))
            except ValueError:
                raise DataError(
                    f"{source}: row {line}, column '{name}': {cell.strip()!r} is not a number"
                ) from None
    if not columns[0]:
        raise DataError(f"{source}: the header is followed by no data rows")
    return header, columns


def check_finite(header: Sequence[str], columns: Sequence[Sequence[float]], source: str) -> None:
    """The engine needs every value finite and two rows at least (the classic search does not)."""
    for name, column in zip(header, columns):
        for line, value in enumerate(column, start=2):
            if not math.isfinite(value):
                raise DataError(f"{source}: row {line}, column '{name}': {value} is not a finite number")
    if len(columns[0]) < 2:
        raise DataError(f"{source}: need at least two data rows, found {len(columns[0])}")


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def load(path: str | None) -> tuple[str, str]:
    """Returns the CSV text and a name for messages."""
    if path is None:
        return PLANETS_CSV, "planets"
    if path == "-":
        return sys.stdin.read(), "<stdin>"
    try:
        with open(path, newline="", encoding="utf-8") as handle:
            return handle.read(), path
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise DataError(f"{path}: cannot read: {exc}") from None


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other failure; --help shows the usage.
        fail(f"{message} (see --help)", EXIT_USAGE)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _Parser(
        prog="zan-discover",
        description="Find a formula that explains the target column of a CSV file.",
        epilog="Without FILE, runs on the planets' semi-major axes (AU) and orbital periods (years). "
        "Exit status: 0 found, 1 no formula, 2 usage or bad data, 130 interrupted (Ctrl-C).",
    )
    parser.add_argument("file", nargs="?", help="CSV file with a header row; '-' for standard input")
    parser.add_argument("--target", metavar="NAME", help="column to explain (default: the last one)")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the data against the prediction, and the front")
    # The search's own options, as the options table declares them; --max-complexity also
    # serves the classic search, with its own default.
    for option in _options.OPTIONS:
        if option.flag is None:
            continue
        help_text = _options.cli_help(option)
        if option.name == "max_complexity":
            help_text = help_text.replace("(default 30;", f"(default 30, {CLASSIC_MAX_COMPLEXITY} with --classic;")
        if option.kind == "choice":
            parser.add_argument(option.flag, choices=option.choices, default=option.default, help=help_text)
        else:
            parser.add_argument(option.flag, type=int if option.kind == "int" else float, metavar="N" if option.kind == "int" else "S",
                                help=help_text)
    parser.add_argument("--no-trig", action="store_true", help="leave out sin and cos")
    parser.add_argument("--zan", action=argparse.BooleanOptionalAction, default=None,
                        help="use the zan operator (default: no; yes with --classic)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show progress on standard error (default: when it is a terminal)")
    classic = parser.add_argument_group("classic search")
    classic.add_argument("--classic", action="store_true", help="run the classic fixed search (find_formula)")
    classic.add_argument("--beam-width", type=int, metavar="N", help="beam width (default 2000)")
    classic.add_argument("--precision-goal", type=float, metavar="E",
                         help="stop once the penalised error is at most E (default 1e-10)")
    classic.add_argument("--complexity-penalty", type=float, metavar="P",
                         help="weight of the token count in the error (default 0.001)")
    args = parser.parse_args(argv)
    for option in ("max_complexity", "beam_width"):
        value = getattr(args, option)
        if value is not None and value < 0:
            parser.error(f"--{option.replace('_', '-')} must not be negative")
    if not args.classic:
        given = [name for name in CLASSIC_ONLY if getattr(args, name) is not None]
        if given:
            parser.error(f"--{given[0].replace('_', '-')} applies to the classic search only (add --classic)")
        for option in _options.OPTIONS:
            if option.flag is not None:
                try:
                    _options.check(option.name, getattr(args, option.name))
                except (TypeError, ValueError) as exc:
                    message = str(exc).removeprefix(option.name + " ").replace(", or None", "")
                    parser.error(f"{option.flag}: {message}")
    else:
        search_only = [o.flag for o in _options.OPTIONS
                       if o.flag and o.name != "max_complexity" and getattr(args, o.name) not in (None, o.default)]
        if args.plot or search_only:
            parser.error(f"{'--plot' if args.plot else search_only[0]} applies to the new search only (drop --classic)")
    return args


def fail(message: str, status: int) -> NoReturn:
    print(f"zan-discover: {message}", file=sys.stderr)
    raise SystemExit(status)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Ctrl-C outside the search (which returns what it found instead of raising).
        print("zan-discover: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader left (zan-discover | head): stop quietly, as SIGPIPE would have.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + 13


def _main(argv: Sequence[str] | None) -> int:
    args = parse_args(argv)
    try:
        text, source = load(args.file)
        header, columns = read_table(text, source)
        target = len(header) - 1
        if args.target is not None:
            if args.target not in header:
                raise DataError(f"{source}: no column named '{args.target}' (columns: {', '.join(header)})")
            target = header.index(args.target)
        if not args.classic:
            check_finite(header, columns, source)
        if args.plot and not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
            raise DataError(f"--plot {args.plot}: no such directory")
        # the input is checked before the plotting extra is asked for
        plotting = _plotting() if args.plot else None
    except DataError as exc:
        fail(str(exc), EXIT_USAGE)
    names = [name for k, name in enumerate(header) if k != target]
    x_data = [column for k, column in enumerate(columns) if k != target]
    if args.classic:
        return run_classic(args, source, header[target], names, x_data, columns[target])
    return run_discover(args, source, header[target], names, x_data, columns[target], plotting)


# ---- the new engine ---------------------------------------------------------------------------


def _plotting():
    from ._extras import require

    try:
        return require("matplotlib.figure", "plot", "--plot")
    except ImportError as exc:
        raise DataError(str(exc)) from None


def _finite_or_none(value: float) -> float | None:
    return value if math.isfinite(value) else None


def _uses_a_variable(formula) -> bool:
    return any(kind == "var" for kind, _ in formula.program)


def run_discover(args, source, target, names, x_data, y, plotting) -> int:
    import numpy as np

    from ._discover import discover
    from ._export import identifiers

    X = np.array(x_data, dtype=np.float64).T
    Y = np.array(y, dtype=np.float64)
    start = time.perf_counter()
    options = {o.name: getattr(args, o.name) for o in _options.OPTIONS if o.flag is not None}
    result = discover(
        X, Y, names=names, use_trig=not args.no_trig, use_zan=bool(args.zan), progress=args.progress, **options
    )
    seconds = time.perf_counter() - start
    best = result.best
    # A constant is no explanation unless the target is constant itself.
    found = best is not None and (_uses_a_variable(best) or best.loss == 0.0)
    status = EXIT_INTERRUPTED if result.stop_reason == "interrupt" else EXIT_FOUND if found else EXIT_NONE
    function = best.to_python(name=target) if best is not None else None
    shown = identifiers(names)
    renamed = {ident: name for ident, name in zip(shown, names) if ident != name}

    if args.json:
        print(json.dumps({
            "target": target,
            "formula": best.text if found else None,
            "complexity": best.complexity if found else None,
            "loss": _finite_or_none(best.loss) if found else None,
            "rmse": _finite_or_none(best.rmse) if found else None,
            "r2": _finite_or_none(best.r2) if found else None,
            "constants": list(best.constants) if found else None,
            "constant_errors": [_finite_or_none(e) for e in best.constant_errors] if found else None,
            "latex": best.latex() if found else None,
            "python": function if found else None,
            "variables": dict(zip(shown, names)),
            "front": [
                {"complexity": f.complexity, "loss": _finite_or_none(f.loss), "score": _finite_or_none(f.score),
                 "formula": f.text, "best": f is best}
                for f in result.front
            ],
            "rows": len(y),
            "interrupted": result.interrupted,
            "stop_reason": result.stop_reason,
            "seconds": seconds,
        }, ensure_ascii=False))
    else:
        print(f"data:      {source}, {len(y)} rows; target {target}; variables {', '.join(shown)}")
        for ident, name in renamed.items():
            print(f"           {ident} is the column {name!r}")
        if result.interrupted:
            if result.stop_reason == "time_limit":
                why = f"time limit ({args.time_limit:g} s) reached"
            else:
                why = "interrupted (Ctrl-C)" if result.stop_reason == "interrupt" else "stopped"
            print(f"stopped:   {why}; the best formula found so far:")
        if best is not None:
            print(f"formula:   {target} = {best.text}")
            print(f"fit:       rmse {best.rmse:.6g}, R² {best.r2:.10g}, complexity {best.complexity}")
            if best.constants:
                print("constants: " + ", ".join(_with_error(c, e) for c, e in zip(best.constants, best.constant_errors)))
            print("front:")
            print(_front_table(result.front, best))
            print("Python:")
            for line in function.splitlines():
                print(f"    {line}" if line else "")
        print(f"time:      {seconds:.3f} s")

    if not found:
        if status == EXIT_INTERRUPTED:
            print("zan-discover: interrupted before any formula was found", file=sys.stderr)
        elif best is None:
            print(f"zan-discover: no formula within the limits fits {target}", file=sys.stderr)
        else:
            print(f"zan-discover: no formula of {', '.join(shown)} explains {target} better than a constant",
                  file=sys.stderr)
    if args.plot and best is not None:
        try:
            draw(plotting, args.plot, X, Y, shown, target, result)
        except (OSError, ValueError) as exc:
            fail(f"--plot {args.plot}: {exc}", EXIT_USAGE)
    return status


def _with_error(value: float, error: float) -> str:
    """A fitted constant with its standard error, e.g. 0.99890 ± 0.00012."""
    if not math.isfinite(error):
        return f"{value:.10g}"
    return f"{value:.10g} ± {error:.2g}"


def _front_table(front, best) -> str:
    lines = ["    complexity          loss   score  formula"]
    for f in front:
        mark = "*" if f is best else " "
        lines.append(f"  {mark} {f.complexity:>8}  {f.loss:>12.6g}  {f.score + 0.0:>6.3g}  {f.text}")  # no -0
    return "\n".join(lines)


def draw(plotting, path: str, X, Y, names, target: str, result) -> None:
    """Two panels: the data against the chosen formula, and the front (loss per complexity)."""
    import numpy as np

    best = result.best
    title = f"{target} = {best.text}"
    figure = plotting.Figure(figsize=(9, 3.6), layout="constrained")
    data, front = figure.subplots(1, 2, width_ratios=(1.15, 1))
    if X.shape[1] == 1:
        x = X[:, 0]
        wide = bool(np.all(x > 0) and x.max() > 50 * x.min())
        grid = np.geomspace(x.min(), x.max(), 400) if wide else np.linspace(x.min(), x.max(), 400)
        data.plot(grid, best.predict(grid), color="C1", label="formula")
        data.scatter(x, Y, s=18, color="C0", zorder=3, label="data")
        if wide and np.all(Y > 0):
            data.set_xscale("log")
            data.set_yscale("log")
        data.set_xlabel(names[0])
        data.set_ylabel(target)
    else:
        predicted = best.predict(X)
        low = float(np.nanmin(np.concatenate([Y, predicted])))
        high = float(np.nanmax(np.concatenate([Y, predicted])))
        data.plot([low, high], [low, high], color="0.6", linewidth=1, label="formula = data")
        data.scatter(Y, predicted, s=12, color="C0", label="rows")
        data.set_xlabel(f"{target} (data)")
        data.set_ylabel(f"{target} (formula)")
    data.legend(loc="best", fontsize="small")
    data.set_title(title if len(title) <= 60 else title[:57] + "...", fontsize="medium")

    # An exact fit has loss 0, which a logarithmic axis cannot show: it sits on a floor
    # two decades under the smallest positive loss.
    positive = [f.loss for f in result.front if f.loss > 0]
    floor = min(positive) / 100 if positive else 1e-30
    complexity = [f.complexity for f in result.front]
    loss = [f.loss if f.loss > 0 else floor for f in result.front]
    front.step(complexity, loss, where="post", color="0.6", linewidth=1)
    front.scatter(complexity, loss, s=18, color="C0", zorder=3, label="best per complexity")
    chosen = best.loss if best.loss > 0 else floor
    front.scatter([best.complexity], [chosen], s=80, facecolors="none", edgecolors="C3", linewidths=1.5, zorder=4,
                  label="chosen" + ("" if best.loss > 0 else " (exact: loss 0)"))
    front.set_yscale("log")
    front.set_xlim(0, max(complexity) + 2)
    front.xaxis.get_major_locator().set_params(integer=True)
    front.set_xlabel("complexity (tokens)")
    front.set_ylabel("loss (mean squared error)")
    front.set_title("accuracy–simplicity front", fontsize="medium")
    front.legend(loc="upper right", fontsize="small")
    figure.savefig(path, dpi=80)


# ---- the classic search -----------------------------------------------------------------------


def run_classic(args, source, target, names, x_data, y) -> int:
    variables = {variable_name(i): name for i, name in enumerate(names)}
    penalty = 0.001 if args.complexity_penalty is None else args.complexity_penalty
    start = time.perf_counter()
    result = zan_core.find_formula(
        x_data,
        y,
        max_complexity=CLASSIC_MAX_COMPLEXITY if args.max_complexity is None else args.max_complexity,
        beam_width=2000 if args.beam_width is None else args.beam_width,
        precision_goal=1e-10 if args.precision_goal is None else args.precision_goal,
        use_trig=not args.no_trig,
        use_zan=args.zan is not False,
        complexity_penalty=penalty,
    )
    seconds = time.perf_counter() - start
    if result is None:
        fail(f"no formula could be scored on {source}", EXIT_NONE)

    if args.json:
        error = result.error if math.isfinite(result.error) else None
        print(json.dumps({
            "formula": result.formula,
            "error": error,
            "complexity": result.complexity,
            "latex": result.to_latex(),
            "python": result.to_python(),
            "variables": variables,
            "target": target,
            "seconds": seconds,
        }, ensure_ascii=False))
        return EXIT_FOUND

    print(f"data:       {source}, {len(y)} rows; target {target}")
    for letter, name in variables.items():
        print(f"  {letter} = {name}")
    print(f"formula:    {target} ≈ {result.formula}")
    print(f"error:      {result.error:.6g} (root-mean-square error × (1 + {penalty:g} × complexity))")
    print(f"complexity: {result.complexity} tokens")
    print(f"LaTeX:      {result.to_latex()}")
    print("Python:")
    for line in result.to_python().splitlines():
        print(f"    {line}")
    print(f"time:       {seconds:.3f} s")
    return EXIT_FOUND


if __name__ == "__main__":
    raise SystemExit(main())
