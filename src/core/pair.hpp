// ZANPair arithmetic: a (real, imag) pair with a floored division, a tolerant equality and
// phase rotation. Every step is one IEEE operation in the order written; nothing here may be
// fused or reassociated (the build uses -ffp-contract=off).
#pragma once

#include <array>
#include <cmath>
#include <span>

#include "core/buffer.hpp"
#include "core/guards.hpp"

namespace zan {

using XY = std::array<double, 2>;

struct Pair {
    double re;
    double im;
};

namespace pair {

// Absolute tolerance of the pair equality, per component.
inline constexpr double EQ_TOL = 1e-9;

[[nodiscard]] inline Pair from_polar(double r, double theta) noexcept {
    const double re = std::cos(theta) * r;
    const double im = std::sin(theta) * r;
    return {re, im};
}

// o = c + d i on the right of every operator.
[[nodiscard]] inline Pair add(Pair a, Pair o) noexcept { return {o.re + a.re, o.im + a.im}; }
[[nodiscard]] inline Pair sub(Pair a, Pair o) noexcept { return {a.re - o.re, a.im - o.im}; }

[[nodiscard]] inline Pair mul(Pair a, Pair o) noexcept {
    const double re = o.re * a.re - o.im * a.im;
    const double im = o.re * a.im + o.im * a.re;
    return {re, im};
}

// The squared modulus of the divisor is floored at GUARD_FLOOR (a NaN one is kept), so a
// zero divisor gives zeros rather than infinities.
[[nodiscard]] inline Pair div(Pair a, Pair o) noexcept {
    const double c = o.re, d = o.im, p = a.re, q = a.im;
    double den = d * d + c * c;
    if (std::fabs(den) < GUARD_FLOOR) den = GUARD_FLOOR;
    const double re = (c * p + q * d) / den;
    const double im = (c * q - p * d) / den;
    return {re, im};
}

// Strict absolute tolerance, real part first; any NaN makes the pairs unequal.
[[nodiscard]] inline bool equal(Pair a, Pair o) noexcept {
    return std::fabs(a.re - o.re) < EQ_TOL && std::fabs(a.im - o.im) < EQ_TOL;
}

// modulus and rotate are compiled once, out of line (pair.cpp): with NaN on both sides of
// a sum or product, the payload that survives depends on the operand order in the machine
// code, and abs() and .modulus, or a method and its batch, must agree to the last bit.
[[nodiscard]] double modulus(Pair a) noexcept;
[[nodiscard]] inline double argument(Pair a) noexcept { return std::atan2(a.im, a.re); }

// Flips the sign bit of the imaginary part only: 0.0 becomes -0.0, a NaN keeps its payload.
[[nodiscard]] inline Pair conjugate(Pair a) noexcept { return {a.re, -a.im}; }

// Multiplication by e^{i angle}: sine first, then cosine.
[[nodiscard]] Pair rotate(Pair a, double angle) noexcept;

// Sequential batch rotations: element i is pairs[i] turned by angles[i], zip-truncated.
[[nodiscard]] inline Buffer<XY> rotate_each(std::span<const XY> pairs, std::span<const double> angles) {
    const std::size_t n = pairs.size() < angles.size() ? pairs.size() : angles.size();
    Buffer<XY> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Pair r = rotate({pairs[i][0], pairs[i][1]}, angles[i]);
        out[i] = {r.re, r.im};
    }
    return out;
}

// One potential-phase step psi_i * exp(-i v_i dt / hbar); hbar is not guarded.
[[nodiscard]] inline Buffer<XY> schrodinger_step(std::span<const XY> psi, std::span<const double> v, double dt,
                                                 double hbar) {
    const std::size_t n = psi.size() < v.size() ? psi.size() : v.size();
    Buffer<XY> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double angle = ((-v[i]) * dt) / hbar;
        const Pair r = rotate({psi[i][0], psi[i][1]}, angle);
        out[i] = {r.re, r.im};
    }
    return out;
}

}  // namespace pair
}  // namespace zan
