// The front: the best formula per complexity, kept when it beats every simpler one, each
// scored by its drop of log-loss per added token; and the choice of the reported one.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/engine.hpp"

namespace zan::discover::engine {

// The loss under which formulas are not told apart: kLossFloor of the target's variance, and
// never below the rounding of its values, whose root mean square is `magnitude`.
[[nodiscard]] double loss_floor(double target_variance, double magnitude);

// The front of the formulas; scores are filled in.
[[nodiscard]] std::vector<Formula> build_front(std::vector<Formula> formulas, double target_variance,
                                               double magnitude = 0.0);
// The chosen formula among those with at most max_constants fitted constants (or the
// fewest any formula has), measured on `rows` rows; `noise`, the data's estimate of the
// target's noise variance (below 0: not known), narrows the choice to the formulas that fit
// within it when the best of them does; `magnitude` as for build_front.
[[nodiscard]] std::size_t choose(const std::vector<Formula>& front, Selection selection, double target_variance,
                                 std::size_t max_constants, std::size_t rows, double noise = -1.0,
                                 double magnitude = 0.0);

// Constants a formula fitted: its parameters and its snapped literals other than 1.
[[nodiscard]] std::size_t fitted_constants(const Formula& f);

}  // namespace zan::discover::engine
