// Finalists: from the search's kept nodes and sums, the formulas worth refitting on the
// validation rows: each node as a·node + b, and each sum (or ratio) with its coefficients,
// the best few of each size and of each number of terms.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/expr.hpp"

namespace zan::discover::engine {

class LevelSearch;

// A formula ready for verification: a program whose Param slots are all its constants.
struct Finalist {
    Expr program;
    std::vector<double> params;
};

// hurry: the search was stopped; only the best finalist of each kind, so the answer comes fast.
[[nodiscard]] std::vector<Finalist> finalists(const LevelSearch& state, std::size_t n_vars, bool hurry = false);

}  // namespace zan::discover::engine
