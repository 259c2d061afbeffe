// The Lorentz boost of a point of the zan plane. ZANPoint.boost and boost_n both call
// boost_point, so a single point and a batch agree bit for bit.
#pragma once

#include <algorithm>
#include <span>

#include "core/buffer.hpp"
#include "core/guards.hpp"
#include "core/pair.hpp"

namespace zan {

// (x, y) is boosted in the frame coordinates t = E(x) (time-like) and X = L(y)
// (space-like), then mapped back with a floored logarithm and a clamped exponential.
// The groupings are part of the result: (t ch) - ((X / c) s) and (X ch) - ((c t) s).
// c is not guarded: c = 0 lets IEEE infinities and NaN through (a NaN t1 is floored).
// Compiled once, out of line: when both operands of a product are NaN, which payload
// survives depends on the operand order the compiler picked, so every caller must run
// the very same instructions for a point and a batch to agree to the last bit.
[[nodiscard]] XY boost_point(double x, double y, double phi, double c) noexcept;

// Rough nanoseconds per boosted point (exp, two logs, sinh, cosh and a clamped exp).
inline constexpr double kBoostCostNs = 60.0;

// boost_n: point i with rapidity phis[i], zip-truncated, on the worker pool, into out
// (min(points.size(), phis.size()) slots). Out of line like boost_point, for the same reason:
// the list and array forms share these instructions.
void boost_into(std::span<const XY> points, std::span<const double> phis, double c, XY* out);

[[nodiscard]] inline Buffer<XY> boost_all(std::span<const XY> points, std::span<const double> phis, double c) {
    Buffer<XY> out(std::min(points.size(), phis.size()));
    boost_into(points, phis, c, out.data());
    return out;
}

}  // namespace zan
