#include "core/multivector.hpp"

#include <algorithm>

#include "core/frame.hpp"
#include "core/pool.hpp"

namespace zan::multivector {
namespace {

// Work grows with the square of a product's width; the estimate only decides whether
// waking the pool pays off.
[[nodiscard]] double cost_per_product(double mean_square_width) noexcept { return 20.0 + mean_square_width; }

}  // namespace

SignTable::SignTable(std::size_t m, const Metric& metric, std::size_t sig_size) {
    if (m == 0 || m > kMaxWidth || !std::has_single_bit(m) || static_cast<std::size_t>(std::countr_zero(m)) > sig_size)
        return;
    width_ = m;
    factors_.resize(m * m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t parity_i = swap_parity_mask(i);
        for (std::size_t j = 0; j < m; ++j)
            factors_[i * m + j] = negate_if(metric.factor(i & j), std::popcount(j & parity_i) & 1u);
    }
}

void geometric_product_into(std::span<const double> a, std::span<const double> b, const Metric& metric,
                            const SignTable& table, double* r) {
    const std::size_t n = a.size();
    std::fill_n(r, n, 0.0);
    if (n == table.width() && b.size() >= n) {
        // No term can fault: the factors come from the table, the loop is otherwise the one below.
        for (std::size_t i = 0; i < n; ++i) {
            const double ai = a[i];
            if (ai == 0.0) continue;
            const double* g = table.row(i);
            for (std::size_t j = 0; j < n; ++j) {
                const double bj = b[j];
                if (bj == 0.0) continue;
                const std::size_t k = i ^ j;
                r[k] = bj * (g[j] * ai) + r[k];
            }
        }
        return;
    }
    const std::size_t nb = std::min(n, b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const double ai = a[i];
        if (ai == 0.0) continue;
        const std::uint64_t parity_i = swap_parity_mask(i);
        for (std::size_t j = 0; j < nb; ++j) {
            const double bj = b[j];
            if (bj == 0.0) continue;
            const double g = negate_if(metric.factor(i & j), std::popcount(j & parity_i) & 1u);
            const std::size_t k = i ^ j;
            if (k >= n) panic(index_out_of_bounds(n, k));
            r[k] = bj * (g * ai) + r[k];
        }
        if (nb < n) panic(index_out_of_bounds(b.size(), b.size()));
    }
}

Buffer<FloatVec> geometric_product_batch(std::span<const FloatVec> a, std::span<const FloatVec> b,
                                          Signature sig) {
    const std::size_t n = std::min(a.size(), b.size());
    double terms = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto len = static_cast<double>(a[i].size());
        terms += len * len;
    }
    const double cost_ns = n == 0 ? 0.0 : cost_per_product(terms / static_cast<double>(n));

    const Metric metric(sig);
    const SignTable table(n == 0 ? 0 : a[0].size(), metric, sig.size());
    return frame::zip_collect<FloatVec>(a, b, cost_ns, [&](const FloatVec& x, const FloatVec& y) {
        FloatVec r(x.size());
        geometric_product_into(x, y, metric, table, r.data());
        return r;
    });
}

void geometric_product_dense(const double* a, std::size_t na, std::size_t wa, const double* b, std::size_t nb,
                             std::size_t wb, Signature sig, double* out) {
    const std::size_t n = std::min(na, nb);
    const auto w = static_cast<double>(wa);
    const Metric metric(sig);
    const SignTable table(wa, metric, sig.size());
    pool::for_blocks(n, cost_per_product(w * w), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            geometric_product_into({a + i * wa, wa}, {b + i * wb, wb}, metric, table, out + i * wa);
    });
}

}  // namespace zan::multivector
