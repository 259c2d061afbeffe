"""zan-discover: find a formula that explains a column of a CSV file.

    python -m zan_math [FILE] [--target NAME] [--json] [--plot FILE.png] [--report FILE.html]
                       [--time-limit S] ...

FILE is UTF-8 CSV text (a byte-order mark and any line ends are read) with a header row and
numeric columns, separated by ',', ';' or tab: whichever splits the header into the most cells
("-" reads standard input). The target column (default: the last one) is explained by the
other columns, under their own names. Without FILE the search runs on the orbits of the eight
planets and rediscovers Kepler's third law. `--classic` runs the classic fixed search
(`find_formula`) instead.

The text output names the chosen formula, its fit, its constants with their standard errors
and the front the rows support. `--plot` draws a picture in the format its suffix names;
`--report` writes an HTML page with no script (formulas in MathML, plots in SVG). Both paths
are checked before the search.

Exit status: 0 a formula was found; 1 none was (nothing within the limits explains the target
better than a constant); 2 usage or bad data (one line on standard error); 130 interrupted by
Ctrl-C, after printing the best formula found so far; 141 when the reader of the output goes
away. --json does not change the status.
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
from typing import TYPE_CHECKING, NoReturn, Sequence

from . import _options, zan_core

if TYPE_CHECKING:
    import numpy as np

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


# Separators a header line may use; the one that splits it into the most columns is taken.
SEPARATORS = (",", ";", "\t")
# Below this many characters of data rows the careful reader alone is quick enough, and
# importing a fast parser would cost more than it saves.
FAST_READ_MIN_CHARS = 1 << 16


def read_table(text: str, source: str) -> tuple[list[str], list[np.ndarray]]:
    """Parses CSV text into its header and numeric columns (float64 arrays).

    Large inputs go through a fast parser first (pyarrow's when installed, else NumPy's); when
    it refuses the rows, the careful reader below reads them instead and names the row and cell
    at fault. Either way the values are those of Python's float().
    """
    import numpy as np

    text = text.removeprefix("\ufeff")
    if "\r" in text:  # old Mac line ends, which the csv module refuses outside quotes
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    separator = _separator(text, source)
    reader = csv.reader(io.StringIO(text), delimiter=separator)
    rows = _rows(reader, source)
    first = next(rows, None)
    if first is None:
        raise DataError(f"{source}: no header row (the file is empty)")
    if any("\n" in name for name in first):
        raise DataError(f"{source}: the header has a quote that is never closed")
    header = [name.strip() for name in first]
    if all(_is_number(name) for name in header):
        raise DataError(f"{source}: no header row (the first row holds only numbers: {','.join(header)})")
    if len(header) < 2:
        raise DataError(
            f"{source}: need at least two columns (variables and a target), found {len(header)}"
            f" (no separator found; tried {_separator_names(SEPARATORS)})"
        )
    if len(set(header)) != len(header):
        twice = next(name for name in header if header.count(name) > 1)
        raise DataError(f"{source}: the header names column '{twice}' more than once")
    body = _after_lines(text, reader.line_num)
    if len(body) >= FAST_READ_MIN_CHARS:
        fast = read_numbers_fast(body, separator, len(header))
        if fast is not None:
            return header, fast
    columns: list[list[float]] = [[] for _ in header]
    for line, row in enumerate(rows, start=2):
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
    return header, [np.array(column, dtype=np.float64) for column in columns]


def _rows(reader, source: str):
    """The rows that hold something, with the csv module's own complaints as DataError."""
    try:
        for row in reader:
            if any(cell.strip() for cell in row):
                yield row
    except csv.Error as exc:
        raise DataError(f"{source}: line {reader.line_num}: {exc}") from None


def _separator_names(separators: Sequence[str]) -> str:
    shown = ["tab" if s == "\t" else repr(s) for s in separators]
    return ", ".join(shown[:-1]) + " and " + shown[-1]


def _separator(text: str, source: str) -> str:
    """The separator of the header line: of those that split it into the most cells, the one
    that splits the next line alike. A single column keeps ',' (and is refused by the caller)."""
    lines = (line for line in _lines(text) if line.strip())
    header, following = next(lines, ""), next(lines, "")

    def cells(line: str, separator: str) -> int:
        return len(next(csv.reader([line], delimiter=separator), []))

    counts = {s: cells(header, s) for s in SEPARATORS}
    most = max(counts.values())
    if most < 2:
        return SEPARATORS[0]
    tied = [s for s in SEPARATORS if counts[s] == most]
    if len(tied) > 1:
        tied = [s for s in tied if cells(following, s) == most] or tied
    if len(tied) > 1:
        raise DataError(
            f"{source}: cannot tell the separator: {_separator_names(tied)} each split the header into {most} cells"
        )
    return tied[0]


def _lines(text: str):
    """The lines of `text`, read one by one (a large file is not split whole to read its head)."""
    start = 0
    while start < len(text):
        end = text.find("\n", start)
        end = len(text) if end < 0 else end + 1
        yield text[start:end]
        start = end


def _after_lines(text: str, count: int) -> str:
    """`text` without its first `count` lines."""
    end = -1
    for _ in range(count):
        end = text.find("\n", end + 1)
        if end < 0:
            return ""
    return text[end + 1 :]


def read_numbers_fast(body: str, separator: str, width: int) -> list[np.ndarray] | None:
    """The columns of CSV data rows (no header), or None when the fast parser refuses them
    (the careful reader then finds the fault and names it).

    Both parsers round as float() does and accept no more than it: pyarrow is told that no
    cell is missing or boolean, so a blank or "NA" cell is refused, never a silent NaN.
    """
    import numpy as np

    if not body.strip():
        return None
    try:
        import pyarrow
        import pyarrow.csv
    except ImportError:
        pyarrow = None
    if pyarrow is None:
        try:
            data = np.loadtxt(
                io.StringIO(body), delimiter=separator, dtype=np.float64, ndmin=2, comments=None, quotechar='"'
            )
        except ValueError:
            return None
        return [np.ascontiguousarray(column) for column in data.T] if data.shape[1] == width else None
    names = [f"c{k}" for k in range(width)]
    try:
        table = pyarrow.csv.read_csv(
            io.BytesIO(body.encode("utf-8")),
            read_options=pyarrow.csv.ReadOptions(column_names=names),
            parse_options=pyarrow.csv.ParseOptions(delimiter=separator),
            convert_options=pyarrow.csv.ConvertOptions(
                column_types=dict.fromkeys(names, pyarrow.float64()),
                null_values=[],
                true_values=[],
                false_values=[],
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except (pyarrow.ArrowException, ValueError):
        return None
    return [np.array(column.to_numpy(), dtype=np.float64) for column in table.columns]


def check_finite(header: Sequence[str], columns: Sequence[np.ndarray], source: str) -> None:
    """The engine needs every value finite and two rows at least (the classic search does not)."""
    import numpy as np

    for name, column in zip(header, columns):
        values = np.asarray(column, dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            line = int(bad[0]) + 2
            raise DataError(f"{source}: row {line}, column '{name}': {float(values[bad[0]])} is not a finite number")
    if len(columns[0]) < 2:
        raise DataError(f"{source}: need at least two data rows, found {len(columns[0])}")


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def load(path: str | None) -> tuple[str, str]:
    """Returns the CSV text (without a byte-order mark) and a name for messages."""
    if path is None:
        return PLANETS_CSV, "planets"
    if path == "-":
        stream = getattr(sys.stdin, "buffer", None)
        if stream is None:  # a text stream put in its place
            return sys.stdin.read().removeprefix("\ufeff"), "<stdin>"
        try:
            return stream.read().decode("utf-8-sig"), "<stdin>"
        except UnicodeDecodeError as exc:
            raise DataError(f"<stdin>: cannot read: {exc}") from None
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            return handle.read(), path
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise DataError(f"{path}: cannot read: {exc}") from None


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other failure; --help shows the usage.
        fail(f"{message} (see --help)", EXIT_USAGE)


def _joined_values(argv: list[str]) -> list[str]:
    """`--operators -cos,-sin` as `--operators=-cos,-sin`: a value that starts with '-' (the
    changes to the default set) would otherwise read as an option of its own."""
    out: list[str] = []
    for arg in argv:
        if out and out[-1] == "--operators" and arg.startswith("-") and arg != "--" and not arg.startswith("--"):
            out[-1] = f"--operators={arg}"
        else:
            out.append(arg)
    return out


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
    parser.add_argument("--report", metavar="FILE.html",
                        help="write an HTML page: the front with the formulas typeset, predicted against observed, "
                        "residuals")
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
        elif option.kind == "operators":
            parser.add_argument(option.flag, metavar="NAME,...", help=help_text,
                                type=lambda text: tuple(t.strip() for t in text.split(",") if t.strip()))
        elif option.kind in ("units", "unit"):
            example = "NAME=UNIT,..." if option.kind == "units" else "UNIT"
            parser.add_argument(option.flag, metavar=example, help=help_text)
        else:
            metavar = "N" if option.kind == "int" else "S" if option.unit == "seconds" else "X"
            parser.add_argument(option.flag, type=int if option.kind == "int" else float, metavar=metavar,
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
    args = parser.parse_args(_joined_values(sys.argv[1:] if argv is None else list(argv)))
    for option in ("max_complexity", "beam_width"):
        value = getattr(args, option)
        if value is not None and value < 0:
            parser.error(f"--{option.replace('_', '-')} must not be negative")
    for flag, value in (("--plot", args.plot), ("--report", args.report)):
        if value == "":
            parser.error(f"{flag} needs a file name")
    if not args.classic:
        given = [name for name in CLASSIC_ONLY if getattr(args, name) is not None]
        if given:
            parser.error(f"--{given[0].replace('_', '-')} applies to the classic search only (add --classic)")
        if args.units is not None:
            from ._units import units_option

            try:
                args.units = units_option(args.units)
            except ValueError as exc:
                parser.error(f"--units: {exc}")
        for option in _options.OPTIONS:
            if option.flag is not None:
                try:
                    _options.check(option.name, getattr(args, option.name))
                except (TypeError, ValueError) as exc:
                    message = str(exc).removeprefix(option.name + " ").replace(", or None", "")
                    parser.error(f"{option.flag}: {message}")
    else:
        # the classic search takes these as they come: a negative penalty rewards length (the
        # formula 0 with a negative error), NaN never stops it, and no formula has 0 tokens
        for flag, value, least in (("--precision-goal", args.precision_goal, 0.0),
                                   ("--complexity-penalty", args.complexity_penalty, 0.0),
                                   ("--max-complexity", args.max_complexity, 1)):
            if value is not None and not (math.isfinite(value) and value >= least):
                kind = "a finite number of " if isinstance(least, float) else ""
                parser.error(f"{flag} must be {kind}at least {least:g}, got {value}")
        search_only = [o.flag for o in _options.OPTIONS
                       if o.flag and o.name != "max_complexity" and getattr(args, o.name) not in (None, o.default)]
        drawn = [flag for flag, value in (("--plot", args.plot), ("--report", args.report)) if value]
        if drawn or search_only:
            parser.error(f"{(drawn + search_only)[0]} applies to the new search only (drop --classic)")
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
        if args.plot:
            check_output_path("--plot", args.plot, "fit.png")
        if args.report:
            check_output_path("--report", args.report, "report.html")
        # the input is checked before the plotting extra is asked for
        plotting = _plotting() if args.plot else None
        if plotting is not None:
            check_picture_format(plotting, args.plot)
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
    from ._display import with_error
    from ._export import identifiers

    X = np.array(x_data, dtype=np.float64).T
    Y = np.array(y, dtype=np.float64)
    start = time.perf_counter()
    options = {o.name: getattr(args, o.name) for o in _options.OPTIONS if o.flag is not None}
    try:
        result = discover(
            X, Y, names=names, use_trig=not args.no_trig, use_zan=bool(args.zan), progress=args.progress, **options
        )
    except (TypeError, ValueError) as exc:  # the data or the options, said in one line
        fail(str(exc), EXIT_USAGE)
    seconds = time.perf_counter() - start
    best = result.best
    # A constant is no explanation unless the target is constant itself.
    found = best is not None and (_uses_a_variable(best) or best.loss == 0.0)
    status = EXIT_INTERRUPTED if result.stop_reason == "interrupt" else EXIT_FOUND if found else EXIT_NONE
    function = best.to_python(name=target) if best is not None else None
    shown = identifiers(names)
    renamed = {ident: name for ident, name in zip(shown, names) if ident != name}

    if args.json:
        shown_front = result.shown_front
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
                 "formula": f.text, "best": f is best, "shown": f in shown_front}
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
                print("constants: " + ", ".join(with_error(c, e) for c, e in zip(best.constants, best.constant_errors)))
            print("front:")
            print(_front_table(result.shown_front, best))
            note = result._hidden_note()
            if note:
                print(f"    ({note})")
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
    if args.report and best is not None:
        try:
            write_report(args.report, result, X, Y, target)
        except DataError as exc:
            fail(str(exc), EXIT_USAGE)
    return status


def _front_table(front, best) -> str:
    lines = ["    complexity          loss   score  formula"]
    for f in front:
        mark = "*" if f is best else " "
        lines.append(f"  {mark} {f.complexity:>8}  {f.loss:>12.6g}  {f.score + 0.0:>6.3g}  {f.text}")  # no -0
    return "\n".join(lines)


def check_output_path(option: str, path: str, example: str) -> None:
    """Refuses, before the search, a path that names a folder or lies in none that can be written."""
    if path.endswith(tuple(filter(None, (os.sep, os.altsep)))) or os.path.isdir(path):
        raise DataError(f"{option} {path}: names a folder; name a file in it, such as {os.path.join(path, example)}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise DataError(f"{option} {path}: no such directory")
    if not os.access(folder, os.W_OK):
        raise DataError(f"{option} {path}: the folder {folder} is not writable")


def check_picture_format(plotting, path: str) -> None:
    """The suffix says the picture's format; without one matplotlib would add '.png' to the name
    unasked, so a path without a suffix is refused like one with a format it cannot write."""
    known = plotting.Figure().canvas.get_supported_filetypes()
    suffix = os.path.splitext(path)[1].lower()
    if suffix[1:] not in known:
        formats = ", ".join(f".{name}" for name in ("png", "pdf", "svg") if name in known)
        what = f"no picture format is named '{suffix}'" if suffix else "the name has no suffix to tell the format"
        raise DataError(f"--plot {path}: {what}; use one such as {formats}")


def _plain(text: str) -> str:
    """`text` as matplotlib shows it literally: a '$' would start mathematical notation."""
    return text.replace("$", r"\$")


def draw(plotting, path: str, X, Y, names, target: str, result) -> None:
    """Two panels: the data against the chosen formula, and the front (loss per complexity).

    Every failure is a ValueError or OSError of one line, for the caller's one-line message.
    """
    import matplotlib

    try:
        with matplotlib.rc_context({"text.usetex": False}):
            _draw(plotting, path, X, Y, names, target, result)
    except OSError:
        raise
    except Exception as exc:  # matplotlib's own faults come in many types, some over several lines
        raise ValueError(" ".join(str(exc).split()) or type(exc).__name__) from exc


def _draw(plotting, path: str, X, Y, names, target: str, result) -> None:
    import numpy as np

    from ._display import floored_losses

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
        data.set_xlabel(_plain(names[0]))
        data.set_ylabel(_plain(target))
    else:
        predicted = best.predict(X)
        both = np.concatenate([Y, predicted])
        both = both[np.isfinite(both)]  # the formula may have no value on some rows
        low, high = float(both.min()), float(both.max())
        data.plot([low, high], [low, high], color="0.6", linewidth=1, label="formula = data")
        data.scatter(Y, predicted, s=12, color="C0", label="rows")
        data.set_xlabel(_plain(f"{target} (data)"))
        data.set_ylabel(_plain(f"{target} (formula)"))
    data.legend(loc="best", fontsize="small")
    data.set_title(_plain(title if len(title) <= 60 else title[:57] + "..."), fontsize="medium")

    entries = result.shown_front
    losses, _ = floored_losses([f.loss for f in entries])
    shown = [(f.complexity, loss) for f, loss in zip(entries, losses) if loss is not None]
    complexity = [c for c, _ in shown]
    loss = [v for _, v in shown]
    front.step(complexity, loss, where="post", color="0.6", linewidth=1)
    front.scatter(complexity, loss, s=18, color="C0", zorder=3, label="best per complexity")
    chosen = losses[entries.index(best)] if best in entries else None
    if chosen is not None:
        front.scatter([best.complexity], [chosen], s=80, facecolors="none", edgecolors="C3", linewidths=1.5,
                      zorder=4, label="chosen" + ("" if best.loss > 0 else " (exact: loss 0)"))  # fmt: skip
    front.set_yscale("log")
    front.set_xlim(0, max(complexity, default=best.complexity) + 2)
    front.xaxis.get_major_locator().set_params(integer=True)
    front.set_xlabel("complexity (tokens)")
    front.set_ylabel("loss (mean squared error)")
    front.set_title("accuracy–simplicity front", fontsize="medium")
    front.legend(loc="upper right", fontsize="small")
    figure.savefig(path, dpi=80)


def write_report(path: str, result, X, y, target_name: str) -> None:
    """Writes the HTML report of `result` (front, and the fit on the rows X, y) to `path`."""
    from ._display import report_html

    check_output_path("--report", path, "report.html")
    page = report_html(result, X, y, title=f"zan-discover: {target_name}", target=target_name)
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(page)
    except OSError as exc:
        raise DataError(f"--report {path}: cannot write: {exc.strerror or exc}") from None


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
