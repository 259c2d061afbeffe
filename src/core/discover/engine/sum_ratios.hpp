// Ratios over sums and blocks with a constant inside a product of variables: the forms the
// level search cannot reach because a sum sits under a division, or a fitted constant sits
// inside a product of several variables, as in
//   (u + v)/(1 + u·v/c²)       N/(1 + c·d), d a small kept node;
//   h·ω/(e^{k·h·ω/(kb·T)} − 1) N/(1 + c·e^{k·m}), m a product or ratio of variables;
//   m·c²/√(1 − v²/c²)          N/√(1 ± m);
//   n₀/(e^{k·m} + e^{−k·m})     N/(e^{k·m} ± e^{−k·m});
//   n·μ·tanh(k·μ·B/(kb·T))     N·tanh(k·m);
//   sin²(k·E·t/h)              a·cos(k·m) + b (and a·sin(k·m) + b).
// N/(1 + c·d) multiplied through is y = N − c·(y·d): linear in c and in N's coefficients, so
// one least-squares fit over the column y·d and a pair of terms finds an exact ratio. N is a
// short sum of small kept nodes, or a constant times a product of powers of the variables
// found from logarithms, which reaches numerators longer than any kept node (h·ω³/c²).
// A constant inside a block is scanned over a grid and refined around its best point; the
// whole formula is then refitted with the other finalists.
#pragma once

#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/finalists.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/stop_condition.hpp"

namespace zan::discover::engine {

struct SumRatios {
    std::vector<Finalist> finalists;  // best first, at most kSumRatiosKept
    double best_nmse = 1.0;           // of the first, on the sample
};

// Nothing when the search is stopped, or when no form fits better than the target's mean.
[[nodiscard]] SumRatios fit_sum_ratios(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
                                       const StopCondition& stop);

}  // namespace zan::discover::engine
