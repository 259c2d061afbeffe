#include "core/discover/operators.hpp"

#include <algorithm>

namespace zan::discover {
namespace {

// Rows per pass: the partials of a chunk stay on the stack between its two loops.
constexpr std::size_t kChunk = 256;

// Values and partials first (each row reads its operands before writing dst, so dst
// may alias them), then one tight loop per parameter for the tangents.
template <std::size_t Code>
bool dual_chunk(const double* a, const double* da, const double* b, const double* db, double* dst, double* ddst,
                std::size_t n, std::size_t n_params, std::size_t stride) noexcept {
    constexpr OperatorInfo row = kOperators[Code];
    constexpr auto value = row.value;
    constexpr auto partials = row.partials;
    constexpr bool unary = row.arity == 1;
    double pa[kChunk], pb[kChunk];
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = a[i];
        const double y = unary ? 0.0 : b[i];
        const double r = value(x, y);
        const Partials p = partials(x, y, r);
        dst[i] = r;
        ok &= is_finite(r);
        pa[i] = p.da;
        pb[i] = p.db;
    }
    if (!ok) return false;
    if (unary) db = nullptr;
    for (std::size_t k = 0; k < n_params; ++k) {
        double* t = ddst + k * stride;
        const double* ta = da ? da + k * stride : nullptr;
        const double* tb = db ? db + k * stride : nullptr;
        if (ta && tb) {
            for (std::size_t i = 0; i < n; ++i) t[i] = pa[i] * ta[i] + pb[i] * tb[i];
        } else if (ta) {
            for (std::size_t i = 0; i < n; ++i) t[i] = pa[i] * ta[i];
        } else if (tb) {
            for (std::size_t i = 0; i < n; ++i) t[i] = pb[i] * tb[i];
        } else {
            std::fill(t, t + n, 0.0);
        }
    }
    return true;
}

}  // namespace

std::vector<Operator> search_operators(std::uint32_t set, unsigned arity) {
    std::vector<Operator> ops;
    for (const OperatorInfo& row : kOperators)
        if (row.arity == arity && contains(set, row.op)) ops.push_back(row.op);
    std::stable_sort(ops.begin(), ops.end(),
                     [](Operator x, Operator y) { return info(x).search_rank < info(y).search_rank; });
    return ops;
}

bool apply_block_dual(Operator op, const double* a, const double* da, const double* b, const double* db,
                      double* dst, double* ddst, std::size_t n, std::size_t n_params, std::size_t stride) {
    return dispatch(op, false, [&](auto code) {
        constexpr std::size_t c = decltype(code)::value;
        for (std::size_t r0 = 0; r0 < n; r0 += kChunk) {
            const std::size_t len = std::min(kChunk, n - r0);
            const bool binary = kOperators[c].arity == 2;
            if (!dual_chunk<c>(a + r0, da ? da + r0 : nullptr, binary ? b + r0 : nullptr,
                               binary && db ? db + r0 : nullptr, dst + r0, ddst + r0, len, n_params, stride))
                return false;
        }
        return true;
    });
}

}  // namespace zan::discover
