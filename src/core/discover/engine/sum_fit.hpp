// A least-squares sum of kept nodes, and the values it gives on the sample rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/engine/node_store.hpp"

namespace zan::discover::engine {

// y ≈ intercept + Σ coefficient·term, or with a denominator node D,
// y ≈ (intercept + Σ coefficient·term) / D.
struct SumFit {
    std::vector<std::uint32_t> terms;  // node indices
    std::uint32_t denominator = kNone;
    std::vector<double> coefficients;
    double intercept = 0.0;
    double nmse = 1.0;
    std::size_t size = 0;  // tokens of the terms and the additions between them (and of a
                           // denominator and its division)
};

// The numerator intercept + Σ coefficient·term on sample row i.
[[nodiscard]] inline double numerator_at(const SumFit& s, const NodeStore& store, std::size_t i) noexcept {
    double num = s.intercept;
    for (std::size_t t = 0; t < s.terms.size(); ++t) num += s.coefficients[t] * store.values(s.terms[t])[i];
    return num;
}

}  // namespace zan::discover::engine
