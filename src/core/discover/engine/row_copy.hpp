// Copies of chosen rows of the columns and target, held in memory: the validation rows
// and the search's sample.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"

namespace zan::discover::engine {

// Copies of the given rows of the columns, target and weights (none when there are none).
struct RowCopy {
    std::vector<std::vector<double>> columns;
    std::vector<double> target;
    std::vector<double> weights;
    std::vector<std::span<const double>> spans;

    RowCopy(Columns from, std::span<const double> y, const std::vector<std::size_t>& pick,
            std::span<const double> w = {})
        : columns(from.size()) {
        for (std::size_t c = 0; c < from.size(); ++c) {
            columns[c].reserve(pick.size());
            for (std::size_t r : pick) columns[c].push_back(from[c][r]);
        }
        target.reserve(pick.size());
        for (std::size_t r : pick) target.push_back(y[r]);
        if (!w.empty()) {
            weights.reserve(pick.size());
            for (std::size_t r : pick) weights.push_back(w[r]);
        }
        spans.assign(columns.begin(), columns.end());
    }
    [[nodiscard]] Columns view() const { return Columns(spans); }
};

}  // namespace zan::discover::engine
