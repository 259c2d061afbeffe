// Verification: each finalist refitted on the validation rows, its constants snapped, and
// measured; then the formulas of the front measured again on all rows.
#pragma once

#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/data_source.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/finalists.hpp"

namespace zan::discover::engine {

// Refits, snaps and measures every finalist on the validation rows (held in memory).
[[nodiscard]] std::vector<Formula> verify(const std::vector<Finalist>& finalists, ColumnSource& rows,
                                          const EngineConfig& config);

// Refits the formulas of a front on all rows (wherever they live) and measures them there;
// a formula without a value on some row is dropped.
[[nodiscard]] std::vector<Formula> confirm(const std::vector<Formula>& front, DataSource& full);

}  // namespace zan::discover::engine
