// Christoffel symbols of the Schwarzschild metric in the time-radius sector, evaluated at
// radii read on a logarithmic scale (r = E(x)). Index 0 is t, index 1 is r; every other
// index takes part in no non-zero symbol.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/buffer.hpp"
#include "core/guards.hpp"

namespace zan::metric {

using Point = std::array<double, 2>;

// Added to rs before it bounds the radius from below, so a point at or inside the
// horizon gets a large finite symbol instead of a division by zero.
inline constexpr double RADIUS_FLOOR = 1e-9;

// The larger of a and e, ignoring a NaN operand (NaN only comes out when both are NaN);
// on a tie e is returned.
[[nodiscard]] inline double max_ignoring_nan(double a, double e) noexcept {
    if (std::isnan(e)) return a;
    if (std::isnan(a)) return e;
    return a > e ? a : e;
}

struct Indices {
    std::uint64_t lam, mu, nu;
};

// Gamma^lam_{mu nu} at the point whose first coordinate is x. Every step is one IEEE
// operation in the order written: the results are bit-exact, not just close.
[[nodiscard]] inline double christoffel(double x, Indices idx, double rs) noexcept {
    const double e = guarded_exp(x);
    const double a = rs + RADIUS_FLOOR;
    const double r = max_ignoring_nan(a, e);
    // Both tests are false for NaN, which then flows through the formulas below.
    if (0.0 >= r) return 0.0;
    if (rs >= r) return 0.0;

    const auto [lam, mu, nu] = idx;
    if (lam == 0 && ((mu == 0 && nu == 1) || (mu == 1 && nu == 0))) {
        // Gamma^t_{tr} = Gamma^t_{rt} = rs / (2r(r - rs))
        const double d = (r - rs) * (r + r);
        return rs / d;
    }
    if (lam == 1 && mu == 0 && nu == 0) {
        // Gamma^r_{tt} = rs(r - rs) / (2r^3), written as ((1 - rs/r) rs) / (2r r)
        const double num = (1.0 - rs / r) * rs;
        const double den = (r + r) * r;
        return num / den;
    }
    if (lam == 1 && mu == 1 && nu == 1) {
        // Gamma^r_{rr} = -rs / (2r(r - rs))
        const double d = (r - rs) * (r + r);
        return (-rs) / d;
    }
    return 0.0;
}

// One symbol per point, in input order, into out (points.size() slots); the second
// coordinate of a point is not used.
void christoffel_into(std::span<const Point> points, Indices idx, double rs, double* out);

[[nodiscard]] inline FloatVec christoffel_batch(std::span<const Point> points, Indices idx, double rs) {
    FloatVec out(points.size());
    christoffel_into(points, idx, rs, out.data());
    return out;
}

}  // namespace zan::metric
