// The residuals of the best few models so far: they pick building blocks that explain
// what those models miss, since the blocks of a law often fit y poorly on their own.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/sum_fit.hpp"

namespace zan::discover::engine {

class ResidualModels {
public:
    // At most `wanted` (and kMaxResidualModels) residuals, of the best sums of two and of three
    // terms, then of the best simple node and the best node of all.
    void update(const NodeStore& store, const SearchSample& sample, const std::vector<SumFit>& sums,
                std::size_t wanted);

    [[nodiscard]] std::size_t size() const noexcept { return residuals_.size(); }
    // Centred (and, with weights, times w), so that a candidate's covariance with one is a
    // plain dot product.
    [[nodiscard]] const std::vector<double>& residual(std::size_t k) const noexcept { return residuals_[k]; }
    [[nodiscard]] double norm(std::size_t k) const noexcept { return norms_[k]; }  // its squared norm

private:
    void add(std::vector<double> r, const double* weights);

    std::vector<std::vector<double>> residuals_;
    std::vector<double> norms_;
};

}  // namespace zan::discover::engine
