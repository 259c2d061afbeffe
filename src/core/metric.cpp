#include "core/metric.hpp"

#include "core/pool.hpp"

namespace zan::metric {

FloatVec christoffel_batch(std::span<const Point> points, Indices idx, double rs) {
    FloatVec out(points.size());
    const Point* p = points.data();
    pool::map_index(points.size(), 12, out.data(), [&](std::size_t i) { return christoffel(p[i][0], idx, rs); });
    return out;
}

}  // namespace zan::metric
