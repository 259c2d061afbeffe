"""A step-by-step model of the zan plane maths: one IEEE operation per Python operation and the
C library for every transcendental function, so results can be compared bit for bit."""

import ctypes
import ctypes.util
import math
import struct

import numpy as np

libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log", "sin", "cos", "sinh", "cosh", "atan2", "fmod", "sqrt"):
    getattr(libm, _name).restype = ctypes.c_double
    getattr(libm, _name).argtypes = [ctypes.c_double] * (2 if _name in ("atan2", "fmod") else 1)

NAN = float("nan")
INF = float("inf")
FLOOR = 1e-300
HALF_PI = 1.5707963267948966
TWO_PI = 6.283185307179586


def fdiv(a, b):
    """IEEE division (Python's own raises on a zero divisor)."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def E(x):
    return libm.exp(libm.log(x)) if x > 709.78 else libm.exp(x)


def G(y):
    if y > 0 or math.isnan(y):
        return y
    return abs(y) if abs(y) > FLOOR else FLOOR


def L(y):
    return libm.log(G(y))


def A(y):
    return abs(y) if abs(y) > FLOOR else FLOOR


def T(x, y):
    e = E(x)
    return e - L(y)


def clamped_exp(v):
    if -709.0 > v:
        v = -709.0
    if 709.0 < v:
        v = 709.0
    return libm.exp(v)


def boost(x, y, phi, c):
    t, X = E(x), L(y)
    s, ch = libm.sinh(phi), libm.cosh(phi)
    t1 = t * ch - fdiv(X, c) * s
    t2 = t1 if t1 > FLOOR else FLOOR
    X1 = X * ch - (c * t) * s
    return (libm.log(t2), clamped_exp(X1))


def rotate(p, q, a):
    s, co = libm.sin(a), libm.cos(a)
    return (co * p - s * q, co * q + s * p)


def exact(values):
    """Bit patterns for comparison, with every NaN alike: IEEE fixes the bits of each result but not the
    sign or payload of a NaN produced from NaN operands, which depends on the operand order the
    compiler picks for commutative operations."""
    return ["nan" if math.isnan(v) else struct.pack("<d", v) for v in values]
