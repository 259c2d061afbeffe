// Settings of the discovery engine, with every default and every allowed range in this
// one place. The limits keep the engine's fixed-size structures in bounds and a search
// without a time limit bounded in time and memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/discover/engine/lm.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover::engine {

// How the reported best formula is chosen from the front.
enum class Selection : std::uint8_t {
    Best,      // largest drop of log-loss per added token among near-minimal losses
    Accuracy,  // plain lowest loss
};

// Each sum of terms is one LM problem: its coefficients and intercept must fit in it.
inline constexpr std::size_t kMaxTermsLimit = kMaxLmParams - 1;
// A single formula is refitted as a·f + b around its inner constants.
inline constexpr std::size_t kMaxInnerConstantsLimit = kMaxLmParams - 2;
// With fewer sample rows than the constants of the largest fit, a sum passes through every
// row and looks exact.
inline constexpr std::size_t kMinSampleRows = kMaxLmParams;
// The upper limits bound a search on data nothing explains (pure noise, four variables),
// where no exact fit ends it early. Its time grows about linearly with the sample rows
// (defaults ×4: ×10 the time), the validation rows (8192: ~10 s) and the depth, and with
// the square of the joined blocks; the sums' pursuits grow with max_complexity (1000: ×5).
// Every one at its limit at once takes about a minute on two cores and a few hundred MB.
inline constexpr std::size_t kMaxSampleRows = 1024;
inline constexpr std::size_t kMaxValidationRows = 8192;
inline constexpr std::size_t kMaxSearchSize = 16;
inline constexpr std::size_t kMaxComplexityLimit = 60;
inline constexpr std::size_t kMaxBeamPerSize = 300;
inline constexpr std::size_t kMaxJoinPerSize = 96;
// Every distinct candidate up to small_size is kept: their number grows exponentially.
inline constexpr std::size_t kMaxSmallSize = 4;
inline constexpr std::size_t kMaxPerVariableSet = 16;
// Scored candidates record their fit against this many residual models.
inline constexpr std::size_t kMaxResidualModels = 4;
inline constexpr std::size_t kMaxPerResidual = 48;
inline constexpr std::size_t kMaxSumStarts = 16;

struct EngineConfig {
    std::size_t max_complexity = 30;     // largest formula reported, in tokens
    std::size_t search_size = 10;        // largest building block the search makes
    std::size_t sample_rows = 256;       // rows the search runs on (of the validation rows)
    std::size_t validation_rows = 4096;  // rows the finalists are refitted and snapped on; the
                                         // front they make is then measured on all rows
    std::size_t beam_per_size = 200;     // best candidates kept per size
    std::size_t join_per_size = 64;      // of those, the ones joined by binary operators
    std::size_t small_size = 4;          // every distinct candidate up to this size is kept
    std::size_t per_variable_set = 4;    // best kept per (size, variables used)
    std::size_t residual_models = 4;     // models whose residuals pick building blocks
    std::size_t per_residual = 12;       // blocks kept per residual model
    std::size_t max_terms = 6;           // terms of a fitted sum
    std::size_t sum_starts = 8;          // first terms tried by the sum selection
    std::size_t max_inner_constants = 2; // fitted constants inside one formula
    std::size_t max_constant_block = 6;  // largest block given an inner constant
    std::uint32_t operators = kDefaultOperators;  // bit i: the level search may use operator code i
    bool transform_target = true;        // try ln y, y², 1/y when nothing fits exactly
    bool fit_ratios = true;              // try y = N/D with small denominators D
    Selection selection = Selection::Best;
    double time_limit = 0.0;             // seconds; 0 for none
    // The target's noise as a share of its variance, when the caller could tell it (below 0:
    // not known). A fit that leaves more than the noise is an approximation: its constants are
    // what the data say, not "nice" numbers near them, so they are not snapped.
    double noise_nmse = -1.0;
};

// A whole-number setting, its value and its allowed range [lo, hi].
struct CountRange {
    const char* name;
    std::size_t value, lo, hi;
};

// Every whole-number setting of config with its range, in the order of the fields.
[[nodiscard]] std::vector<CountRange> count_ranges(const EngineConfig& config);

// The first setting outside its allowed range, as "name must be in [lo, hi], got v";
// nothing when every setting is allowed.
[[nodiscard]] std::optional<std::string> invalid_option(const EngineConfig& config);

}  // namespace zan::discover::engine
