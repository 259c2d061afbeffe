#include "core/metric.hpp"

#include "core/frame.hpp"

namespace zan::metric {

void christoffel_into(std::span<const Point> points, Indices idx, double rs, double* out) {
    frame::map_into(points, 12, out, [idx, rs](const Point& p) { return christoffel(p[0], idx, rs); });
}

}  // namespace zan::metric
