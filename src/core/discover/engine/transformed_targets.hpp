// Transformed targets: the search fits g ≈ t(y) and the formula is y = inverse(g). Many
// laws are sums after a logarithm, a square or a reciprocal (products, Pythagorean
// distances, resistances in parallel) and so come within reach of the sums of terms.
#pragma once

#include <chrono>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/finalists.hpp"
#include "core/discover/engine/level_search.hpp"
#include "core/discover/engine/row_copy.hpp"

namespace zan::discover::engine {

// Finalists of searches on transformed targets, mapped back to formulas of y; tried only
// when the plain search found no exact fit, and in turn until one fits exactly: nearest
// first to what the plain search holds, whose blocks depend on the variables alone.
[[nodiscard]] std::vector<Finalist> transformed_finalists(const RowCopy& search, const LevelSearch& plain,
                                                          const EngineConfig& config, const Control& control,
                                                          std::chrono::steady_clock::time_point start);

}  // namespace zan::discover::engine
