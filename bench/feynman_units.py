"""SI units of the AI Feynman table's variables and outputs, for searching its laws with units.

The table gives no units, so they come from the physics of each law and are checked against its
formula: every law must be dimensionally consistent (:func:`check`; run this file to see it).
A name keeps one meaning across the table where it can (q a charge, c the speed of light, h
Planck's constant); where a law uses a name for something else (n a count in one law, a number
density in another), that law overrides it.

Angles and pure numbers are "1". Numbers in the formulas (π, 2, 1/2) are dimensionless: none of
the laws holds a dimensional physical constant as a number.
"""

from __future__ import annotations

import sys
from fractions import Fraction

# The meaning a name has in most laws of the table.
UNITS: dict[str, str] = {
    # mechanics
    "m": "kg", "m_0": "kg", "m1": "kg", "m2": "kg",
    "x": "m", "x1": "m", "x2": "m", "x3": "m", "y": "m", "y1": "m", "y2": "m", "y3": "m",
    "z": "m", "z1": "m", "z2": "m", "r": "m", "r1": "m", "r2": "m", "d": "m", "d1": "m", "d2": "m",
    "foc": "m", "lambd": "m",
    "A": "m^2", "V": "m^3", "V1": "m^3", "V2": "m^3",
    "t": "s", "t1": "s",
    "v": "m/s", "u": "m/s", "w": "m/s", "v1": "m/s", "c": "m/s",
    "a": "m/s^2", "g": "m/s^2",
    "omega": "1/s", "omega_0": "1/s",
    "k": "1/m",
    "p": "kg*m/s", "L": "J*s", "Jz": "J*s", "h": "J*s",
    "F": "N", "Nn": "N", "k_spring": "N/m", "tau": "N*m",
    "E_n": "J", "K": "J", "U": "J",
    "G": "m^3/(kg*s^2)",
    "pr": "Pa", "Y": "Pa", "mu_S": "Pa", "rho": "kg/m^3",
    "Pwr": "W", "flux": "W/m^2", "Int": "W/m^2", "Int_0": "W/m^2", "I1": "W/m^2", "I2": "W/m^2",
    "L_rad": "J/m^2",  # energy per area and per unit of angular frequency
    # heat
    "T": "K", "T1": "K", "T2": "K", "kb": "J/K", "kappa": "W/(m*K)",
    "mob": "s/kg", "mu_drift": "s/kg",  # mobility: speed per force
    "D": "m^2/s",
    # electromagnetism
    "q": "C", "q1": "C", "q2": "C", "C": "F", "I": "A", "I_0": "A",
    "epsilon": "F/m", "Ef": "V/m", "Volt": "V", "E_den": "J/m^3",
    "B": "T", "Bx": "T", "By": "T", "Bz": "T", "H": "T", "A_vec": "T*m",
    "p_d": "C*m", "mom": "A*m^2", "M": "A/m", "Pol": "C/m^2", "sigma_den": "C/m^2",
    "rho_c": "C/m^3", "rho_c_0": "C/m^3", "j": "A/m^2",
    "n_rho": "1/m^3", "n_0": "1/m^3",
    # pure numbers: angles, ratios, counts, indices, probabilities
    "theta": "1", "theta1": "1", "theta2": "1", "delta": "1", "alpha": "1", "n": "1", "mu": "1",
    "chi": "1", "Gamma": "1", "g_": "1", "sigma": "1", "prob": "1", "f": "1",
}  # fmt: skip

# Laws where a name means something else than in UNITS.
OVERRIDES: dict[str, dict[str, str]] = {
    # the normal density of a length: f per metre
    "I.6.2": {"theta": "m", "sigma": "m", "f": "1/m"},
    "I.6.2b": {"theta": "m", "theta1": "m", "sigma": "m", "f": "1/m"},
    # work as the dot product of a force and a displacement
    "I.11.19": {"y1": "N", "y2": "N", "y3": "N", "A": "J"},
    # n a number density
    "I.40.1": {"n": "1/m^3"},
    "II.11.17": {"n": "1/m^3"},
    "II.35.18": {"n": "1/m^3"},
    # n a number density and alpha a polarisability volume
    "II.11.27": {"n": "1/m^3", "alpha": "m^3"},
    "II.11.28": {"n": "1/m^3", "alpha": "m^3"},
    # an angular distribution of a rate
    "III.17.37": {"f": "1/s", "beta": "1/s"},
}


def units_of(law: str, names, output: str) -> tuple[dict[str, str], str]:
    """The units of a law's variables by name, and of its output."""
    table = {**UNITS, **OVERRIDES.get(law, {})}
    missing = [n for n in (*names, output) if n not in table]
    if missing:
        raise KeyError(f"{law}: no unit for {', '.join(missing)}")
    return {n: table[n] for n in names}, table[output]


def dimension_of(expr, dimensions: dict) -> tuple[Fraction, ...]:
    """The dimension of a SymPy expression whose symbols have these dimensions; ValueError where
    it adds unlike quantities or takes a function of a dimensional one."""
    import sympy

    zero = (Fraction(0),) * len(next(iter(dimensions.values())))
    if expr.is_Symbol:
        return dimensions[expr.name]
    if expr.is_Number or expr in (sympy.pi, sympy.E):
        return zero
    if expr.is_Add:
        parts = {dimension_of(a, dimensions) for a in expr.args}
        if len(parts) > 1:
            raise ValueError(f"{expr} adds quantities of different dimensions")
        return parts.pop()
    if expr.is_Mul:
        out = zero
        for a in expr.args:
            out = tuple(x + y for x, y in zip(out, dimension_of(a, dimensions)))
        return out
    if expr.is_Pow:
        base, power = expr.args
        if dimension_of(power, dimensions) != zero:
            raise ValueError(f"{expr} raises to a dimensional power")
        inner = dimension_of(base, dimensions)
        if inner == zero:
            return zero
        if not power.is_Rational:
            raise ValueError(f"{expr} raises a dimensional quantity to a power that is not a number")
        return tuple(x * Fraction(int(power.p), int(power.q)) for x in inner)
    if isinstance(expr, sympy.Function):
        for a in expr.args:
            if dimension_of(a, dimensions) != zero:
                raise ValueError(f"{expr} takes {type(expr).__name__} of a dimensional quantity")
        return zero
    raise ValueError(f"{expr}: cannot tell the dimension of {type(expr).__name__}")


def inconsistencies(laws) -> list[str]:
    """Each law (feynman_table.Law) whose formula's dimension is not its output's, with why."""
    from zan_math._units import format_dimension, parse_unit

    out = []
    for law in laws:
        try:
            units, y_unit = units_of(law.name, law.names, law.output)
            dims = {n: parse_unit(u).dimension for n, u in units.items()}
            have = dimension_of(law.expr, dims)
            want = parse_unit(y_unit).dimension
        except KeyError as exc:
            out.append(exc.args[0])
            continue
        except ValueError as exc:
            out.append(f"{law.name}: {exc}")
            continue
        if have != want:
            out.append(f"{law.name}: the formula is in {format_dimension(have)}, {law.output} in "
                       f"{format_dimension(want)}")
    return out


def check(path: str | None = None) -> int:
    import feynman_table

    laws = feynman_table.load(path or feynman_table.DEFAULT_TABLE)
    bad = inconsistencies(laws)
    for line in bad:
        print(line)
    print(f"{len(laws) - len(bad)}/{len(laws)} laws dimensionally consistent with these units")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(check(sys.argv[1] if len(sys.argv) > 1 else None))
