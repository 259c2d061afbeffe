// Snapping: a refitted formula's constants replaced by simple values (small rationals,
// alone or times π, √2, ...) where the fit allows it, one at a time, the others refitted.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/data_source.hpp"
#include "core/discover/engine/refit.hpp"

namespace zan::discover::engine {

// The parameter slots that are an operand of a sum or difference.
[[nodiscard]] std::vector<char> additive_slots(const Expr& program, std::size_t slots);

// The formula with every constant that may be snapped snapped, and the rest as refitted;
// floor: a cost under which a fit counts as exact; noise: the cost the data's own noise
// leaves (below 0: not known). A fit that leaves more than both is an approximation, whose
// constants are kept as fitted.
[[nodiscard]] Fitted snap_constants(Fitted fit, DataSource& source, double floor, double noise = -1.0);

}  // namespace zan::discover::engine
