// The zan operator zan(x, y) = exp(x) - ln(y) and the guards that make it total.
// Every kernel that evaluates the operator goes through these inline functions, so
// batch functions, value classes and the expression evaluator agree bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace zan {

// An exponent above this is "slipping": E replaces it by its logarithm.
inline constexpr double SLIP_THRESHOLD = 709.78;
// Smallest magnitude fed to a logarithm; below it a divisor counts as zero.
inline constexpr double GUARD_FLOOR = 1e-300;
// Bound of the clamped exponential (an exact integer, distinct from SLIP_THRESHOLD).
inline constexpr double EXP_CLAMP = 709.0;

// E(x): exp(x), or exp(ln x) once x slips past the threshold (NaN fails the test).
// exp(ln x) is computed as written: it may differ from x in the last bits.
[[nodiscard]] inline double guarded_exp(double x) noexcept {
    return x > SLIP_THRESHOLD ? std::exp(std::log(x)) : std::exp(x);
}

// dE/dx: exp(x), and on the slipped branch d/dx exp(ln x) = exp(ln x) / x.
[[nodiscard]] inline double guarded_exp_slope(double x) noexcept {
    return x > SLIP_THRESHOLD ? std::exp(std::log(x)) / x : std::exp(x);
}

// G(y): positive and NaN pass; zero and negatives reflect, floored at GUARD_FLOOR.
// A positive y below the floor is left alone.
// Written without a branch: over data of mixed signs a branch on the sign is mispredicted
// half the time, which costs more than the logarithm that follows. Both candidates are
// computed and one is picked by its bits, so the result is exactly the branching rule's.
[[nodiscard]] inline double positive_guard(double y) noexcept {
    const double a = std::fabs(y);
    const double floored = a > GUARD_FLOOR ? a : GUARD_FLOOR;
    const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(!(y <= 0.0));  // y > 0 or NaN
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(y) & keep) |
                                 (std::bit_cast<std::uint64_t>(floored) & ~keep));
}

// dG/dy: 1 where y passes, -1 where it reflects, 0 where the floor holds it.
[[nodiscard]] inline double positive_guard_slope(double y) noexcept {
    if (y > 0.0 || std::isnan(y)) return 1.0;
    return std::fabs(y) > GUARD_FLOOR ? -1.0 : 0.0;
}

// L(y) = ln(G(y)): guarded log, reflect negatives, floor zeros.
[[nodiscard]] inline double guarded_ln(double y) noexcept { return std::log(positive_guard(y)); }

// A(y): magnitude floored at GUARD_FLOOR; an unordered (NaN) comparison yields the floor.
[[nodiscard]] inline double absolute_guard(double y) noexcept {
    const double a = std::fabs(y);
    return a > GUARD_FLOOR ? a : GUARD_FLOOR;
}

// T(x, y) = E(x) - L(y): exponential term first, then the logarithm, then one subtraction.
[[nodiscard]] inline double zan_tension(double x, double y) noexcept {
    const double e = guarded_exp(x);
    const double l = guarded_ln(y);
    return e - l;
}

// No absolute value: anything at or below the floor, negatives and NaN included, becomes it.
[[nodiscard]] inline double floor_guard(double t) noexcept { return t > GUARD_FLOOR ? t : GUARD_FLOOR; }

// exp of v clamped to [-709, 709] by two strict tests in this order; NaN passes through.
[[nodiscard]] inline double clamped_exp(double v) noexcept {
    if (-EXP_CLAMP > v) v = -EXP_CLAMP;
    if (EXP_CLAMP < v) v = EXP_CLAMP;
    return std::exp(v);
}

// Division guard of div_n: |b| < floor gives the default quiet NaN; |b| == floor divides.
[[nodiscard]] inline double guarded_div(double a, double b) noexcept {
    return std::fabs(b) < GUARD_FLOOR ? std::numeric_limits<double>::quiet_NaN() : a / b;
}

}  // namespace zan
