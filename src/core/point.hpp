// ZANPoint maths: a point (x, y) of the zan plane and its tension E(x) - L(y). Each step is
// one IEEE operation in the order written; the guards are those of guards.hpp.
#pragma once

#include <cmath>

#include "core/boost.hpp"
#include "core/guards.hpp"
#include "core/pair.hpp"

namespace zan {

struct Point {
    double x;
    double y;
};

namespace point {

[[nodiscard]] inline double tension(Point p) noexcept { return zan_tension(p.x, p.y); }

// (x, y) -> (G(y), T(x, y)): the guarded y moves to the x slot, the tension to the y slot.
[[nodiscard]] inline Point mirror_pulse(Point p) noexcept {
    const double e = guarded_exp(p.x);
    const double g = positive_guard(p.y);
    const double t = e - std::log(g);
    return {g, t};
}

// Like the pulse, but with the absolute guard: NaN and tiny magnitudes become the floor.
[[nodiscard]] inline Point frame_shift(Point p) noexcept {
    const double a = absolute_guard(p.y);
    const double e = guarded_exp(p.x);
    return {a, e - std::log(a)};
}

// The exact test that switches E to exp(ln x); NaN is not slipping.
[[nodiscard]] inline bool is_slipping(Point p) noexcept { return p.x > SLIP_THRESHOLD; }

// Canonical frame coordinates (E(x), L(y)).
[[nodiscard]] inline Pair frame_pair(Point p) noexcept { return {guarded_exp(p.x), guarded_ln(p.y)}; }

[[nodiscard]] inline double euclidean_delta(Point p) noexcept {
    const double e = guarded_exp(p.x);
    const double l = guarded_ln(p.y);
    return std::sqrt(l * l + e * e);
}

// Both signatures give the same magnitude; the flag only picks the order of the difference.
[[nodiscard]] inline double minkowski_delta(Point p, bool plus_signature, double c) noexcept {
    const double e = guarded_exp(p.x);
    const double l = guarded_ln(p.y);
    const double m = c * l;
    const double f = plus_signature ? e * e - m * m : m * m - e * e;
    return std::sqrt(std::fabs(f));
}

[[nodiscard]] inline Point boost(Point p, double phi, double c) noexcept {
    const XY r = boost_point(p.x, p.y, phi, c);
    return {r[0], r[1]};
}

// Whether forming the tension E(x) - L(next.y) and adding L back returns E(x) within tol.
// A non-finite E(x) conserves trivially.
[[nodiscard]] inline bool conserves_tension(Point p, Point next, double tol) noexcept {
    const double a = guarded_exp(p.x);
    if (!std::isfinite(a)) return true;
    const double l = guarded_ln(next.y);
    const double r = std::fabs(((a - l) + l) - a);
    return tol > r;
}

}  // namespace point
}  // namespace zan
