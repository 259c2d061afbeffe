"""The options of a discovery, each declared once: name, kind, default, allowed values, meaning.

:func:`~zan_math.discover`, :class:`~zan_math.FormulaRegressor` (its signature and its
scikit-learn ``_parameter_constraints``), the command line's flags and help, the Dask path and
the README's table are made from :data:`OPTIONS` or checked against it in the tests; the engine's
own defaults and hard limits (``_native.engine_defaults()``) are checked against it too.

Every value is checked once, before any work, by :func:`check`: a wrong type is a ``TypeError``
and a value outside its range a ``ValueError``, both naming the keyword and what it accepts.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

__all__ = ["Option", "OPTIONS", "check", "check_all", "defaults", "engine_options", "describe_range"]


@dataclass(frozen=True)
class Option:
    """One keyword of :func:`~zan_math.discover`.

    ``kind`` is ``"int"``, ``"float"``, ``"bool"``, ``"choice"``, ``"operators"``, ``"progress"``,
    ``"domain"``, ``"units"`` or ``"unit"``. ``low``/``high`` bound a number (inclusive;
    ``low_open`` excludes ``low``); ``choices`` lists a choice's values; ``none``: the default
    None means "none" (no limit, or decided at run time). None, given for any option, stands for
    its default. ``unit``: what a number counts. ``engine``: the value goes to the native engine
    under this name. ``flag``: the command line's flag, when it has one.
    """

    name: str
    kind: str
    default: Any
    meaning: str
    low: float | None = None
    high: float | None = None
    low_open: bool = False
    choices: tuple[str, ...] = ()
    none: bool = False
    unit: str = ""
    engine: bool = True
    flag: str | None = None


# The engine's fixed-size structures and the bound on a search without a time limit set the
# upper limits: a sum's coefficients, its intercept and two inner constants fill the
# Levenberg–Marquardt problem; larger blocks or formulas multiply the candidates per level.
OPTIONS: tuple[Option, ...] = (
    Option("max_complexity", "int", 30, "largest formula reported, in tokens", low=1, high=60,
           flag="--max-complexity"),
    Option("time_limit", "float", None, "stop the search after this many seconds",
           low=0, high=1e9, low_open=True, none=True, unit="seconds", flag="--time-limit"),
    Option("selection", "choice", "best",
           "how the best formula is chosen from the front: 'best' (the largest gain per token near the "
           "lowest loss, checked on held-out rows: an overfit gives way to a simpler formula, the constant to "
           "none) or 'accuracy' (the lowest loss)", choices=("best", "accuracy"), flag="--selection"),
    Option("sample_rows", "int", 256, "rows the search runs on (a deterministic, evenly spread sample)",
           low=8, high=1024, flag="--sample-rows"),
    Option("search_size", "int", 10, "largest building block the search makes, in tokens", low=1, high=16,
           flag="--search-size"),
    Option("max_terms", "int", 6, "most terms in a fitted sum", low=1, high=7, flag="--max-terms"),
    Option("operators", "operators", None,
           "the operators the search may use, by name (e.g. ['add', 'sub', 'mul', 'div', 'exp', 'asin']), or changes "
           "to the default set (['+asin', '-cos']); None: the default set, as use_trig and use_zan say",
           none=True, flag="--operators"),
    Option("use_trig", "bool", True, "use sin and cos"),
    Option("use_zan", "bool", False, "use the zan operator zan(a, b) = exp(a) - ln(b)"),
    Option("margin", "float", 0.25,
           "share of each variable's range by which the box a formula must have a value on (and stay within "
           "ten times the target's range on) extends past the rows; exact fits need only the rows' own box",
           low=0, high=10, engine=False, flag="--margin"),
    Option("domain", "domain", None,
           "a box the formula must hold on as well, {name: (low, high)}, for variables known to go further",
           none=True, engine=False),
    Option("units", "units", None,
           "the variables' units, {name: unit} or in column order (e.g. {'m': 'kg', 'v': 'm/s'}): the search then "
           "runs on dimensionless groups and reports only formulas of consistent units; needs y_units",
           none=True, engine=False, flag="--units"),
    Option("y_units", "unit", None, "the target's unit (e.g. 'J'), with units", none=True, engine=False,
           flag="--y-units"),
    Option("progress", "progress", None,
           "True: show progress on standard error; False: never; None: when it is a terminal; "
           "a callable: receives a LevelInfo after each level (returning False stops the search)",
           none=True, engine=False),
)

_BY_NAME = {option.name: option for option in OPTIONS}


def defaults() -> dict[str, Any]:
    """Every option's default, by name."""
    return {option.name: option.default for option in OPTIONS}


def _number(value: float) -> str:
    if value == math.inf:
        return "infinity"
    return str(int(value)) if float(value).is_integer() and abs(value) < 1e15 else f"{value:g}"


def describe_range(option: Option) -> str:
    """What the option accepts, in words: ``an integer from 1 to 60``, ``'best' or 'accuracy'``."""
    if option.kind == "int":
        text = f"an integer from {_number(option.low)} to {_number(option.high)}"
    elif option.kind == "float":
        unit = f" of {option.unit}" if option.unit else ""
        if option.low_open and option.low == 0:
            text = f"a positive number{unit}, at most {_number(option.high)}"
        else:
            low = f"above {_number(option.low)}" if option.low_open else f"from {_number(option.low)}"
            text = f"a number{unit} {low} up to {_number(option.high)}"
    elif option.kind == "bool":
        text = "True or False"
    elif option.kind == "choice":
        text = " or ".join(repr(c) for c in option.choices)
    elif option.kind == "progress":
        text = "True, False, None or a callable"
    elif option.kind == "domain":
        text = "a mapping of variable names to (low, high)"
    elif option.kind == "units":
        text = "a mapping of variable names to units, or a sequence of units"
    elif option.kind == "unit":
        text = "a unit, as text"
    else:
        text = "a sequence of operator names, or of changes to the default set (+name, -name)"
    if option.none and option.kind not in ("progress",):
        text += ", or None"
    return text


def _type_error(option: Option, value: Any) -> TypeError:
    return TypeError(f"{option.name} must be {describe_range(option)}, got {type(value).__name__} {value!r}")


def _range_error(option: Option, value: Any) -> ValueError:
    return ValueError(f"{option.name} must be {describe_range(option)}, got {value!r}")


def check(name: str, value: Any) -> Any:
    """The value of option `name`, checked and normalised (numpy scalars to Python numbers)."""
    option = _BY_NAME.get(name)
    if option is None:
        raise TypeError(f"unknown option {name!r}")
    if value is None:  # None stands for the default, as it always has
        return option.default
    kind = option.kind
    if kind == "int":
        # bool is an int to Python, never a size to a user
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise _type_error(option, value)
        value = int(value)
        if not option.low <= value <= option.high:
            raise _range_error(option, value)
        return value
    if kind == "float":
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise _type_error(option, value)
        value = float(value)
        too_low = value <= option.low if option.low_open else value < option.low
        if math.isnan(value) or too_low or value > option.high:
            raise _range_error(option, value)
        return value
    if kind == "bool":
        # numpy's bool_ is not a bool subclass; 0 and 1 are refused, as 'no' would be
        if isinstance(value, bool) or type(value).__name__ == "bool_":
            return bool(value)
        raise _type_error(option, value)
    if kind == "choice":
        if not isinstance(value, str):
            raise _type_error(option, value)
        if value not in option.choices:
            raise _range_error(option, value)
        return value
    if kind == "progress":
        if isinstance(value, bool) or callable(value) or type(value).__name__ == "bool_":
            return value if callable(value) else bool(value)
        raise _type_error(option, value)
    if kind == "operators":
        return _operator_set(option, value)
    if kind == "units":
        if isinstance(value, str) or not (hasattr(value, "items") or isinstance(value, (list, tuple))):
            raise _type_error(option, value)
        return dict(value) if hasattr(value, "items") else tuple(value)
    if kind == "unit":
        if not isinstance(value, str):
            raise _type_error(option, value)
        return value
    if kind == "domain":
        if not hasattr(value, "items"):
            raise _type_error(option, value)
        checked = {}
        for key, pair in value.items():
            try:
                low, high = (float(v) for v in pair)
            except (TypeError, ValueError):
                raise TypeError(f"domain[{key!r}] must be a (low, high) pair of numbers, got {pair!r}") from None
            if not (math.isfinite(low) and math.isfinite(high) and low <= high):
                raise ValueError(f"domain[{key!r}] must be finite with low <= high, got {pair!r}")
            checked[str(key)] = (low, high)
        return checked
    raise AssertionError(f"option {name} has an unknown kind {kind!r}")


def _operator_set(option: Option, value: Any) -> tuple[str, ...]:
    """The operators named, as a tuple in the table's order; '+name' and '-name' change the
    default set instead."""
    from ._operators import operators

    if isinstance(value, str) or not isinstance(value, (list, tuple, set, frozenset)):
        raise _type_error(option, value)
    table = operators()
    items = [str(v) if isinstance(v, str) else v for v in value]
    if not all(isinstance(v, str) for v in items):
        raise _type_error(option, value)
    changes = [v for v in items if v[:1] in "+-"]
    if changes and len(changes) != len(items):
        raise ValueError("operators must name a whole set or only changes to the default set (+name, -name), not both")
    chosen = {n for n, row in table.items() if row.default} if changes else set()
    for item in items:
        name = item[1:] if changes else item
        if name not in table:
            raise ValueError(f"operators: unknown operator {name!r}; the operators are {', '.join(table)}")
        if changes and item[0] == "-":
            chosen.discard(name)
        else:
            chosen.add(name)
    return tuple(n for n in table if n in chosen)


def check_all(given: dict[str, Any]) -> dict[str, Any]:
    """Every option, checked: the given values, and the defaults for the rest."""
    values = defaults()
    for name, value in given.items():
        values[name] = check(name, value)
    if values["operators"] is not None and (values["use_trig"] is not True or values["use_zan"] is not False):
        raise ValueError("give the operators either as operators or by use_trig and use_zan, not both")
    return values


def engine_options(values: dict[str, Any]) -> dict[str, Any]:
    """The checked values the native engine takes (no None: the engine's own default applies);
    an operator set replaces use_trig and use_zan."""
    out = {o.name: values[o.name] for o in OPTIONS if o.engine and values[o.name] is not None}
    if "operators" in out:
        out["operators"] = list(out["operators"])
        del out["use_trig"], out["use_zan"]
    return out


def sklearn_constraints() -> dict[str, list]:
    """scikit-learn's ``_parameter_constraints`` for the options (needs scikit-learn)."""
    from numbers import Integral, Real

    from sklearn.utils._param_validation import Interval, StrOptions

    constraints: dict[str, list] = {}
    for option in OPTIONS:
        if option.kind == "int":
            rule: list = [Interval(Integral, option.low, option.high, closed="both")]
        elif option.kind == "float":
            rule = [Interval(Real, option.low, option.high, closed="right" if option.low_open else "both")]
        elif option.kind == "bool":
            rule = ["boolean"]
        elif option.kind == "choice":
            rule = [StrOptions(set(option.choices))]
        elif option.kind == "progress":
            rule = ["boolean", callable]
        elif option.kind == "domain":
            rule = [dict]
        elif option.kind == "units":
            rule = [dict, list, tuple]
        elif option.kind == "unit":
            rule = [str]
        else:
            rule = [list, tuple, set, frozenset]
        rule.append(None)  # the default
        constraints[option.name] = rule
    return constraints


def markdown_table() -> str:
    """The README's table of options."""
    lines = ["| option | default | allowed | meaning |", "|---|---|---|---|"]
    for o in OPTIONS:
        lines.append(f"| `{o.name}` | `{o.default!r}` | {describe_range(o)} | {o.meaning} |")
    return "\n".join(lines)


def cli_help(option: Option) -> str:
    """The command line's help for an option's flag: its meaning, default and range."""
    if option.default is None:
        default = "none"
    elif option.kind in ("int", "float"):
        default = _number(option.default)
    else:
        default = str(option.default)
    allowed = describe_range(option).removesuffix(", or None")
    return f"{option.meaning} (default {default}; {allowed})".replace("%", "%%")
