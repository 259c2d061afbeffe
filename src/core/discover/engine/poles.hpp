// Poles between the rows: a formula that divides by a value taking both signs over the
// rows passes, somewhere between two of them, through a pole that no row shows. Unless it
// fits the rows exactly, it is wrong everywhere near the pole, and is not reported.
#pragma once

#include <span>

#include "core/discover/expr.hpp"

namespace zan::discover::engine {

// True when some divisor of the program (of a division or a reciprocal) is positive on
// one row and negative on another. Rows without a value are not this test's concern.
[[nodiscard]] bool divides_across_zero(const Expr& program, std::span<const double> params, Columns columns);

}  // namespace zan::discover::engine
