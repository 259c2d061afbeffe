"""Type stubs of the native module zan_math.zan_core."""

from collections.abc import Sequence
from typing import ClassVar, final

__all__ = [
    "ZANPoint",
    "ZANPair",
    "ZANKnot",
    "schrodinger_step_n",
    "rotate_phase_n",
    "simulate_pulses_n",
    "boost_n",
    "exp_n",
    "ln_n",
    "add_n",
    "sub_n",
    "mul_n",
    "div_n",
    "sqrt_n",
    "sin_n",
    "cos_n",
    "tension_n",
    "pow_n",
    "christoffel_batch_n",
    "octonion_mul_n",
    "geometric_product_n",
    "PySearchResult",
    "find_formula",
]

class PanicException(BaseException): ...

@final
class ZANPoint:
    def __new__(cls, x: float, y: float) -> ZANPoint: ...
    def tension(self) -> float: ...
    def zan(self) -> float:
        """Alias for tension() — zan(x, y) = exp(x) - ln(y)."""
    def mirror_pulse(self) -> ZANPoint: ...
    def pulse(self) -> ZANPoint:
        """Alias for mirror_pulse()."""
    def frame_shift(self) -> ZANPoint: ...
    def is_slipping(self) -> bool: ...
    def conserves_tension(self, next: ZANPoint, tol: float) -> bool: ...
    def pair(self) -> ZANPair:
        """Returns (exp(x), ln(|y|)) as an ZANPair — canonical frame coordinates."""
    def euclidean_delta(self) -> float:
        """Euclidean delta: sqrt(exp(2x) + (ln y)^2)."""
    def minkowski_delta(self, plus_signature: bool, c: float) -> float:
        """Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).
        plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."""
    def boost(self, phi: float, c: float) -> ZANPoint:
        """Lorentz boost by rapidity phi. Returns new ZANPoint with identical Δ_M.
        Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)
        where t = exp(x_coord), x = ln(y_coord)."""
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...

@final
class ZANPair:
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, real: float, imag: float) -> ZANPair: ...
    @staticmethod
    def from_values(real: float, imag: float) -> ZANPair: ...
    @staticmethod
    def from_polar(r: float, theta: float) -> ZANPair: ...
    @staticmethod
    def unit_i() -> ZANPair: ...
    @staticmethod
    def one() -> ZANPair: ...
    @staticmethod
    def zero() -> ZANPair: ...
    def rotate_phase(self, angle: float) -> ZANPair: ...
    def conjugate(self) -> ZANPair: ...
    @property
    def real(self) -> float: ...
    @property
    def imag(self) -> float: ...
    @property
    def real_tension(self) -> float: ...
    @property
    def imag_tension(self) -> float: ...
    @property
    def modulus(self) -> float: ...
    @property
    def argument(self) -> float: ...
    def __abs__(self) -> float: ...
    # Both operands must be ZANPairs; anything else is NotImplemented, so the reflected
    # forms only ever see another ZANPair too.
    def __add__(self, other: ZANPair, /) -> ZANPair: ...
    def __radd__(self, other: ZANPair, /) -> ZANPair: ...
    def __sub__(self, other: ZANPair, /) -> ZANPair: ...
    def __rsub__(self, other: ZANPair, /) -> ZANPair: ...
    def __mul__(self, other: ZANPair, /) -> ZANPair: ...
    def __rmul__(self, other: ZANPair, /) -> ZANPair: ...
    def __truediv__(self, other: ZANPair, /) -> ZANPair: ...
    def __rtruediv__(self, other: ZANPair, /) -> ZANPair: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class ZANKnot:
    def __new__(cls, point: ZANPoint, n: int = 0, theta: float = 0.0) -> ZANKnot: ...
    def mirror_pulse(self) -> ZANKnot: ...
    def pulse(self) -> ZANKnot:
        """Alias for mirror_pulse()."""
    def three_one_flip(self) -> ZANKnot: ...
    def flip(self) -> ZANKnot:
        """Alias for three_one_flip()."""
    def tread_yield(self) -> int: ...
    @property
    def point(self) -> ZANPoint: ...
    @property
    def flip_count(self) -> int: ...
    @property
    def phase(self) -> float: ...
    @property
    def rho(self) -> float: ...

def schrodinger_step_n(
    psi: Sequence[tuple[float, float]], v: Sequence[float], dt: float, hbar: float
) -> list[tuple[float, float]]:
    """Batch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.
    Returns list of (real, imag) tuples."""

def rotate_phase_n(pairs: Sequence[tuple[float, float]], angles: Sequence[float]) -> list[tuple[float, float]]:
    """Batch rotate_phase for a list of ZANPairs."""

def simulate_pulses_n(x0: float, y0: float, n_pulses: int) -> list[tuple[float, float, float]]:
    """Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."""

def boost_n(points: Sequence[tuple[float, float]], phis: Sequence[float], c: float) -> list[tuple[float, float]]:
    """Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.
    Returns Vec of (x', y') tuples."""

def exp_n(xs: Sequence[float]) -> list[float]:
    """Batch exp: [exp(x) for x in xs] — Rayon parallel."""

def ln_n(ys: Sequence[float]) -> list[float]:
    """Batch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied."""

def add_n(as_: Sequence[float], bs: Sequence[float]) -> list[float]:
    """Batch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def sub_n(as_: Sequence[float], bs: Sequence[float]) -> list[float]:
    """Batch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def mul_n(as_: Sequence[float], bs: Sequence[float]) -> list[float]:
    """Batch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def div_n(as_: Sequence[float], bs: Sequence[float]) -> list[float]:
    """Batch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel."""

def sqrt_n(xs: Sequence[float]) -> list[float]:
    """Batch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel."""

def sin_n(xs: Sequence[float]) -> list[float]:
    """Batch sin: [sin(x) for x in xs] — Rayon parallel."""

def cos_n(xs: Sequence[float]) -> list[float]:
    """Batch cos: [cos(x) for x in xs] — Rayon parallel."""

def tension_n(xs: Sequence[float], ys: Sequence[float]) -> list[float]:
    """Batch zan_tension: [zan(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel."""

def pow_n(bases: Sequence[float], exps: Sequence[float]) -> list[float]:
    """Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel."""

def christoffel_batch_n(
    points: Sequence[tuple[float, float]], lam: int, mu: int, nu: int, rs: float
) -> list[float]:
    """Batch Schwarzschild Christoffel evaluation.
    points: Vec of (x, _) where r = exp(x).
    Returns Vec of Γ^lam_{mu nu} values for each point."""

def octonion_mul_n(a_batch: Sequence[Sequence[float]], b_batch: Sequence[Sequence[float]]) -> list[list[float]]:
    """Batch octonion multiplication (Rayon parallel).
    a_batch, b_batch: each is a Vec of 8-element float lists.
    Returns Vec of 8-element results."""

def geometric_product_n(
    a_batch: Sequence[Sequence[float]], b_batch: Sequence[Sequence[float]], signature: Sequence[int]
) -> list[list[float]]:
    """Batch geometric product (Rayon parallel).
    a_batch, b_batch: each is a Vec of flat coefficient arrays.
    signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).
    Returns Vec of result coefficient arrays."""

@final
class PySearchResult:
    """Python-facing formula discovery result."""

    @property
    def formula(self) -> str: ...
    @property
    def error(self) -> float: ...
    @property
    def complexity(self) -> int: ...
    @property
    def params(self) -> list[float]: ...
    def to_latex(self) -> str: ...
    def to_python(self) -> str: ...

def find_formula(
    x_data: Sequence[Sequence[float]],
    y_data: Sequence[float],
    max_complexity: int = 8,
    beam_width: int = 2000,
    precision_goal: float = 1e-10,
    use_trig: bool = True,
    use_zan: bool = True,
    complexity_penalty: float = 0.001,
) -> PySearchResult | None:
    """Find a formula fitting x_data → y_data.
    x_data: list of column vectors (one per variable), or a single 1D list for univariate.
    y_data: target values (1D list)."""
