// The Lorentz boost of a point of the zan plane. ZANPoint.boost and boost_n both call
// boost_point, so a single point and a batch agree bit for bit.
#pragma once

#include <span>

#include "core/buffer.hpp"
#include "core/frame.hpp"
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

// boost_n: point i with rapidity phis[i], zip-truncated, on the worker pool.
[[nodiscard]] inline Buffer<XY> boost_all(std::span<const XY> points, std::span<const double> phis, double c) {
    return frame::zip_collect<XY>(points, phis, kBoostCostNs,
                                  [c](const XY& p, double phi) { return boost_point(p[0], p[1], phi, c); });
}

}  // namespace zan
