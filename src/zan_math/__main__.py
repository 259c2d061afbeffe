"""zan-discover: find the simplest formula that fits a column of a CSV file.

    python -m zan_math [FILE] [--target NAME] [--json] [search options]

FILE is a CSV file with a header row and numeric columns ("-" reads standard input). The
target column (default: the last one) is explained by the other columns, which become the
variables x, y, z, ... in their order. Without FILE the search runs on the orbits of the
eight planets and rediscovers Kepler's third law.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import sys
import time
from typing import NoReturn, Sequence

from . import zan_core

# Semi-major axis (AU) and sidereal orbital period (years) of the eight planets.
PLANETS_CSV = """planet_a_au,period_years
0.387098,0.240846
0.723332,0.615198
1.000001,1.000017
1.523679,1.880815
5.2026,11.8626
9.5549,29.4475
19.2184,84.0205
30.07,164.79
"""


class DataError(Exception):
    """A problem with the input file, reported in one line with exit status 2."""


def variable_name(index: int) -> str:
    """The character a formula uses for variable `index`: x, y, z, then on by code point."""
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


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="zan-discover",
        description="Find the simplest formula that fits the target column of a CSV file.",
        epilog="Without FILE, runs on the planets' semi-major axes (AU) and orbital periods (years).",
    )
    parser.add_argument("file", nargs="?", help="CSV file with a header row; '-' for standard input")
    parser.add_argument("--target", metavar="NAME", help="column to explain (default: the last one)")
    parser.add_argument("--max-complexity", type=int, default=8, metavar="N", help="token budget (default 8)")
    parser.add_argument("--beam-width", type=int, default=2000, metavar="N", help="beam width (default 2000)")
    parser.add_argument("--precision-goal", type=float, default=1e-10, metavar="E",
                        help="stop once the penalised error is at most E (default 1e-10)")
    parser.add_argument("--complexity-penalty", type=float, default=0.001, metavar="P",
                        help="weight of the token count in the error (default 0.001)")
    parser.add_argument("--no-trig", action="store_true", help="leave out sin and cos")
    parser.add_argument("--no-zan", action="store_true", help="leave out the zan operator")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    args = parser.parse_args(argv)
    for option in ("max_complexity", "beam_width"):
        if getattr(args, option) < 0:
            parser.error(f"--{option.replace('_', '-')} must not be negative")
    return args


def fail(message: str, status: int) -> NoReturn:
    print(f"zan-discover: {message}", file=sys.stderr)
    raise SystemExit(status)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        text, source = load(args.file)
        header, columns = read_table(text, source)
        target = len(header) - 1
        if args.target is not None:
            if args.target not in header:
                raise DataError(f"{source}: no column named '{args.target}' (columns: {', '.join(header)})")
            target = header.index(args.target)
    except DataError as exc:
        fail(str(exc), 2)

    names = [name for k, name in enumerate(header) if k != target]
    x_data = [column for k, column in enumerate(columns) if k != target]
    variables = {variable_name(i): name for i, name in enumerate(names)}

    start = time.perf_counter()
    result = zan_core.find_formula(
        x_data,
        columns[target],
        max_complexity=args.max_complexity,
        beam_width=args.beam_width,
        precision_goal=args.precision_goal,
        use_trig=not args.no_trig,
        use_zan=not args.no_zan,
        complexity_penalty=args.complexity_penalty,
    )
    seconds = time.perf_counter() - start
    if result is None:
        fail(f"no formula could be scored on {source}", 1)

    if args.json:
        error = result.error if math.isfinite(result.error) else None
        print(json.dumps({
            "formula": result.formula,
            "error": error,
            "complexity": result.complexity,
            "latex": result.to_latex(),
            "python": result.to_python(),
            "variables": variables,
            "target": header[target],
            "seconds": seconds,
        }, ensure_ascii=False))
        return 0

    print(f"data:       {source}, {len(columns[0])} rows; target {header[target]}")
    for letter, name in variables.items():
        print(f"  {letter} = {name}")
    print(f"formula:    {header[target]} ≈ {result.formula}")
    print(f"error:      {result.error:.6g} (root-mean-square error × (1 + {args.complexity_penalty:g} × complexity))")
    print(f"complexity: {result.complexity} tokens")
    print(f"LaTeX:      {result.to_latex()}")
    print("Python:")
    for line in result.to_python().splitlines():
        print(f"    {line}")
    print(f"time:       {seconds:.3f} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
