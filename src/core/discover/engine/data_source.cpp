#include "core/discover/engine/data_source.hpp"

#include <algorithm>
#include <cmath>

#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

// Rows summed in one piece; a fixed size keeps the order of additions fixed.
constexpr std::size_t kChunkRows = 4096;

NormalEquations chunk_normal(const Expr& program, std::span<const double> params, Columns columns,
                             std::span<const double> target, std::span<const double> weights, std::size_t begin,
                             std::size_t end, DualWorkspace& ws, std::vector<double>& values, std::vector<double>& tangents) {
    const std::size_t n = end - begin;
    const std::size_t p = params.size();
    NormalEquations ne;
    ne.params = p;
    std::vector<std::span<const double>> cut(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) cut[c] = columns[c].subspan(begin, n);
    values.resize(n);
    tangents.resize(n * p);
    if (!eval_batch_dual(program, Columns(cut), params, p, values.data(), tangents.data(), ws)) return ne;
    const double* y = target.data() + begin;
    if (weights.empty()) {
        for (std::size_t i = 0; i < n; ++i) {
            const double r = values[i] - y[i];
            ne.cost += r * r;
            for (std::size_t j = 0; j < p; ++j) {
                const double dj = tangents[j * n + i];
                ne.jtr[j] += dj * r;
                for (std::size_t k = 0; k <= j; ++k) ne.jtj[j * kMaxLmParams + k] += dj * tangents[k * n + i];
            }
        }
    } else {
        const double* w = weights.data() + begin;
        for (std::size_t i = 0; i < n; ++i) {
            const double r = values[i] - y[i];
            const double wr = w[i] * r;
            ne.cost += wr * r;
            for (std::size_t j = 0; j < p; ++j) {
                const double dj = tangents[j * n + i];
                const double wdj = w[i] * dj;
                ne.jtr[j] += dj * wr;
                for (std::size_t k = 0; k <= j; ++k) ne.jtj[j * kMaxLmParams + k] += wdj * tangents[k * n + i];
            }
        }
    }
    ne.ok = std::isfinite(ne.cost);
    for (std::size_t j = 0; j < p && ne.ok; ++j) ne.ok = std::isfinite(ne.jtr[j]) && std::isfinite(ne.jtj[j * kMaxLmParams + j]);
    return ne;
}

}  // namespace

double total_weight(std::span<const double> weights, std::size_t rows) noexcept {
    if (weights.empty()) return static_cast<double>(rows);
    double total = 0.0;
    for (double w : weights) total += w;
    return total;
}

NormalEquations normal_equations(const Expr& program, std::span<const double> params, Columns columns,
                                 std::span<const double> target, std::span<const double> weights) {
    const std::size_t rows = target.size();
    const std::size_t chunks = (rows + kChunkRows - 1) / kChunkRows;
    std::vector<NormalEquations> parts(chunks);
    const double cost = static_cast<double>(kChunkRows) * static_cast<double>(program.size() * (params.size() + 1)) * 3.0;
    pool::for_blocks(chunks, cost, [&](std::size_t b, std::size_t e) {
        DualWorkspace ws;
        std::vector<double> values, tangents;
        for (std::size_t c = b; c < e; ++c) {
            const std::size_t begin = c * kChunkRows;
            parts[c] = chunk_normal(program, params, columns, target, weights, begin, std::min(rows, begin + kChunkRows), ws,
                                    values, tangents);
        }
    });
    NormalEquations total;
    total.params = params.size();
    total.ok = true;
    for (const NormalEquations& part : parts) total.merge(part);
    // symmetric: the lower triangle was summed, mirror it
    for (std::size_t j = 0; j < total.params; ++j)
        for (std::size_t k = 0; k < j; ++k) total.jtj[k * kMaxLmParams + j] = total.jtj[j * kMaxLmParams + k];
    return total;
}

}  // namespace zan::discover::engine
