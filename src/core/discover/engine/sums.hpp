// Sums of terms: least-squares sums of kept nodes, and the greedy pursuit that builds them
// term by term (orthogonal least squares against the residual), so that polynomials and
// sums such as sin(x) + sin(y²) are fitted exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/stop_condition.hpp"
#include "core/discover/engine/sum_fit.hpp"

namespace zan::discover::engine {

// A target on the sample rows: its values, (weighted) mean and centred sum of squares.
struct SumTarget {
    const double* y;
    double mean;
    double syy;
};

class SumPursuit {
public:
    explicit SumPursuit(const NodeStore& store) : store_(store) {}

    // Coefficients and intercept of sum.terms by least squares on the centred columns;
    // false when the terms are linearly dependent on the sample.
    bool solve(SumFit& sum, const double* y, double y_mean) const;

    // One pursuit of the target from the terms `start`, of at most max_terms terms and
    // max_size tokens, over the nodes `allowed`: every prefix of two or more terms, as
    // fitted sums. It stops at the first exact one.
    [[nodiscard]] std::vector<SumFit> pursue(std::span<const std::uint32_t> start, std::size_t max_size,
                                             std::size_t max_terms, const std::vector<char>& allowed,
                                             const SumTarget& target) const;

private:
    // The weighted means, centred Gram matrix and right-hand side of the sum's terms.
    void weighted_normal(const SumFit& sum, const double* y, double y_mean, const double* w,
                         std::vector<double>& means, std::vector<double>& gram, std::vector<double>& rhs) const;

    const NodeStore& store_;
};

// Pursuits of y from the best nodes (over every node, and over the algebraic ones alone)
// and from the best simple ones; new sums are added to `sums`.
void fit_sums(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
              const StopCondition& stop, std::vector<SumFit>& sums);

}  // namespace zan::discover::engine
