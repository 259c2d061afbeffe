// The rows a search runs on: copies of the sample's columns and target, with the target's
// mean and centred sum of squares, which every candidate's scoring needs.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

class SearchSample {
public:
    SearchSample(Columns columns, std::span<const double> target);

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t vars() const noexcept { return vars_; }
    [[nodiscard]] const std::vector<double>& column(std::size_t v) const noexcept { return columns_[v]; }
    [[nodiscard]] const double* y() const noexcept { return y_.data(); }
    [[nodiscard]] double y_mean() const noexcept { return y_mean_; }
    [[nodiscard]] double syy() const noexcept { return syy_; }  // Σ(y − ȳ)²
    // The moments of f against y, from the target's half known already.
    [[nodiscard]] Moments moments(const double* f) const noexcept;
    // The linear fit of f to y from its moments.
    [[nodiscard]] LinearFit fit(const Moments& m, const double* f) const noexcept {
        return fit_column(m, f, y_.data(), rows_, syy_);
    }

private:
    std::size_t rows_, vars_;
    std::vector<std::vector<double>> columns_;
    std::vector<double> y_, centred_;
    double y_mean_ = 0.0, syy_ = 0.0;
};

}  // namespace zan::discover::engine
