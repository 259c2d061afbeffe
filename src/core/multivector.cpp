#include "core/multivector.hpp"

#include <algorithm>

#include "core/frame.hpp"

namespace zan::multivector {

Buffer<FloatVec> geometric_product_batch(std::span<const FloatVec> a, std::span<const FloatVec> b,
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
    return frame::zip_collect<FloatVec>(
        a, b, cost_ns, [&metric](const FloatVec& x, const FloatVec& y) { return geometric_product(x, y, metric); });
}

}  // namespace zan::multivector
