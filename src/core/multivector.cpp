#include "core/multivector.hpp"

#include <algorithm>

#include "core/pool.hpp"

namespace zan::multivector {

std::vector<FloatVec> geometric_product_batch(std::span<const FloatVec> a, std::span<const FloatVec> b,
                                              Signature sig) {
    const std::size_t n = std::min(a.size(), b.size());
    // Work grows with the square of each element's length; the average only decides
    // whether waking the pool pays off.
    double terms = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto len = static_cast<double>(a[i].size());
        terms += len * len;
    }
    const double cost_ns = n == 0 ? 0.0 : 20.0 + 1.0 * terms / static_cast<double>(n);

    const Metric metric(sig);
    std::vector<FloatVec> out(n);
    const FloatVec* pa = a.data();
    const FloatVec* pb = b.data();
    pool::map_index(n, cost_ns, out.data(), [&](std::size_t i) { return geometric_product(pa[i], pb[i], metric); });
    return out;
}

}  // namespace zan::multivector
