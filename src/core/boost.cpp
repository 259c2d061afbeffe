#include "core/boost.hpp"

#include <cmath>

#include "core/frame.hpp"

namespace zan {

XY boost_point(double x, double y, double phi, double c) noexcept {
    const double t = guarded_exp(x);
    const double X = guarded_ln(y);
    const double s = std::sinh(phi);
    const double ch = std::cosh(phi);
    const double t1 = t * ch - (X / c) * s;
    const double t2 = floor_guard(t1);
    const double X1 = X * ch - (c * t) * s;
    return {std::log(t2), clamped_exp(X1)};
}

void boost_into(std::span<const XY> points, std::span<const double> phis, double c, XY* out) {
    frame::zip_into(points, phis, kBoostCostNs, out,
                    [c](const XY& p, double phi) { return boost_point(p[0], p[1], phi, c); });
}

}  // namespace zan
