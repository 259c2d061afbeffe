#include "core/metric.hpp"

#include "core/frame.hpp"

namespace zan::metric {

FloatVec christoffel_batch(std::span<const Point> points, Indices idx, double rs) {
    return frame::map_collect<double>(points, 12, [idx, rs](const Point& p) { return christoffel(p[0], idx, rs); });
}

}  // namespace zan::metric
