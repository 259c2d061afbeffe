// ZANKnot maths: a point with a wrapping pulse counter and a phase kept modulo 2 pi, and the
// pulse trajectory of simulate_pulses_n.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <new>

#include "core/buffer.hpp"
#include "core/guards.hpp"
#include "core/point.hpp"

namespace zan {

struct Knot {
    Point point;
    std::int64_t flip_count;
    double phase;
};

namespace knot {

inline constexpr double HALF_PI = 1.5707963267948966;
inline constexpr double TWO_PI = 6.283185307179586;

// The phase is the C remainder of theta by 2 pi (sign of the dividend: -1.0 stays -1.0).
[[nodiscard]] inline Knot make(Point p, std::int64_t n, double theta) noexcept {
    return {p, n, std::fmod(theta, TWO_PI)};
}

// Two's-complement increment without signed overflow.
[[nodiscard]] inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

[[nodiscard]] inline Knot mirror_pulse(const Knot& k) noexcept {
    return {point::mirror_pulse(k.point), wrapping_add(k.flip_count, 1), std::fmod(k.phase + HALF_PI, TWO_PI)};
}

// Four pulses, each exactly as mirror_pulse.
[[nodiscard]] inline Knot three_one_flip(const Knot& k) noexcept {
    return mirror_pulse(mirror_pulse(mirror_pulse(mirror_pulse(k))));
}

[[nodiscard]] inline double rho(const Knot& k) noexcept { return std::fabs(point::tension(k.point)); }

// 2 * (flip_count / 4) with the division truncating toward zero; cannot overflow.
[[nodiscard]] inline std::int64_t tread_yield(const Knot& k) noexcept { return 2 * (k.flip_count / 4); }

using Row3 = std::array<double, 3>;

// Rows (x, y, T(x, y)) of the pulse map from (x0, y0): row 0 is the start, unguarded, and
// row k + 1 holds (G(y_k), T(x_k, y_k), T of those), so its y is row k's tension exactly.
// A count whose rows cannot be addressed is refused with bad_alloc before anything is
// reserved; a reservation the system cannot satisfy throws bad_alloc as well.
[[nodiscard]] inline Buffer<Row3> simulate_pulses(double x0, double y0, std::uint64_t n_pulses) {
    Buffer<Row3> rows;
    if (n_pulses >= rows.max_size()) throw std::bad_alloc();
    const std::size_t count = static_cast<std::size_t>(n_pulses) + 1;
    rows.resize(count);
    double x = x0, y = y0, t = zan_tension(x0, y0);
    rows[0] = {x, y, t};
    for (std::size_t k = 1; k < count; ++k) {
        x = positive_guard(y);
        y = t;
        t = zan_tension(x, y);
        rows[k] = {x, y, t};
    }
    return rows;
}

}  // namespace knot
}  // namespace zan
