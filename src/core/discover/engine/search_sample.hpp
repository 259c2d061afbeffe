// The rows a search runs on: copies of the sample's columns, target and weights, with the
// target's mean and centred sum of squares, which every candidate's scoring needs. With
// weights every mean and sum over the rows is weighted; without, no weight is touched.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

class SearchSample {
public:
    SearchSample(Columns columns, std::span<const double> target, std::span<const double> weights = {});

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t vars() const noexcept { return vars_; }
    [[nodiscard]] const std::vector<double>& column(std::size_t v) const noexcept { return columns_[v]; }
    [[nodiscard]] const double* y() const noexcept { return y_.data(); }
    // The rows' weights and their square roots; null when unweighted.
    [[nodiscard]] const double* weights() const noexcept { return w_.empty() ? nullptr : w_.data(); }
    [[nodiscard]] const double* root_weights() const noexcept { return root_w_.empty() ? nullptr : root_w_.data(); }
    [[nodiscard]] double y_mean() const noexcept { return y_mean_; }
    [[nodiscard]] double syy() const noexcept { return syy_; }  // Σw(y − ȳ)²
    // The moments of f against y, from the target's half known already.
    [[nodiscard]] Moments moments(const double* f) const noexcept;
    // The linear fit of f to y from its moments.
    [[nodiscard]] LinearFit fit(const Moments& m, const double* f) const noexcept;

private:
    [[nodiscard]] Moments weighted_moments(const double* f) const noexcept;

    std::size_t rows_, vars_;
    std::vector<std::vector<double>> columns_;
    std::vector<double> y_, w_, root_w_;
    std::vector<double> centred_;  // y − ȳ, times w when weighted
    double y_mean_ = 0.0, syy_ = 0.0;
};

}  // namespace zan::discover::engine
