#include "core/discover/engine/config.hpp"

#include <cmath>
#include <string>

namespace zan::discover::engine {

std::vector<CountRange> count_ranges(const EngineConfig& c) {
    // in the order of the fields, so that the first one wrong is the one named
    return {
        {"max_complexity", c.max_complexity, 1, kMaxComplexityLimit},
        {"search_size", c.search_size, 1, kMaxSearchSize},
        {"sample_rows", c.sample_rows, kMinSampleRows, kMaxSampleRows},
        {"validation_rows", c.validation_rows, kMinSampleRows, kMaxValidationRows},
        {"beam_per_size", c.beam_per_size, 1, kMaxBeamPerSize},
        {"join_per_size", c.join_per_size, 1, kMaxJoinPerSize},
        {"small_size", c.small_size, 0, kMaxSmallSize},
        {"per_variable_set", c.per_variable_set, 0, kMaxPerVariableSet},
        {"residual_models", c.residual_models, 0, kMaxResidualModels},
        {"per_residual", c.per_residual, 0, kMaxPerResidual},
        {"max_terms", c.max_terms, 1, kMaxTermsLimit},
        {"sum_starts", c.sum_starts, 0, kMaxSumStarts},
        {"max_inner_constants", c.max_inner_constants, 0, kMaxInnerConstantsLimit},
        {"max_constant_block", c.max_constant_block, 0, kMaxSearchSize},
    };
}

std::optional<std::string> invalid_option(const EngineConfig& c) {
    for (const CountRange& r : count_ranges(c))
        if (r.value < r.lo || r.value > r.hi)
            return std::string(r.name) + " must be in [" + std::to_string(r.lo) + ", " + std::to_string(r.hi) +
                   "], got " + std::to_string(r.value);
    if ((c.operators & ~kAllOperators) != 0) return "operators holds a bit of no operator";
    if (c.selection != Selection::Best && c.selection != Selection::Accuracy) return "selection is not a known choice";
    // infinity is allowed: it is no limit, as 0 is
    if (!(c.time_limit >= 0.0))
        return "time_limit must be 0 (none) or a positive number of seconds, got " + std::to_string(c.time_limit);
    return std::nullopt;
}

}  // namespace zan::discover::engine
