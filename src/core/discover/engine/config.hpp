// Settings of the discovery engine, with every default in this one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/discover/operators.hpp"

namespace zan::discover::engine {

// How the reported best formula is chosen from the front.
enum class Selection : std::uint8_t {
    Best,      // largest drop of log-loss per added token among near-minimal losses
    Accuracy,  // plain lowest loss
};

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
};

// Normalised error below which a fit counts as exact: rounding of double arithmetic on
// noiseless data stays many orders below it, any real misfit far above.
inline constexpr double kExactNmse = 1e-20;
// Loss floor, relative to the target's variance, under which losses are not told apart
// when the front is built and scored.
inline constexpr double kLossFloor = 1e-14;
// A longer formula joins the front only when its loss is lower by more than this share:
// a gain of rounding (exp(1.5·ln a) against exp(0.75·ln a²)) is not an improvement.
inline constexpr double kLossTie = 1e-9;

}  // namespace zan::discover::engine
