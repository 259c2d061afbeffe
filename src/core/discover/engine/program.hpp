// Building and tidying the programs the engine reports: a body scaled as a·f + b with
// its constants as parameters, sums of terms, and the simplification that follows
// snapping (x·1 → x, x + 0 → x, x·(−1) → −x, 0 − x → −x, x + (−y) → x − y, x/(1/y) → x·y).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"

namespace zan::discover::engine {

// Appends `body` to out with its parameter slots moved up by `shift`.
void append_shifted(std::vector<Token>& out, std::span<const Token> body, std::size_t shift);

// Number of parameter slots a program uses (the largest slot + 1).
[[nodiscard]] std::size_t param_count(std::span<const Token> tokens);

// Replaces every Param slot listed in `fixed` (fixed[slot] true) by a constant of the
// value in params, renumbers the others in order, and simplifies. The surviving
// parameter values are written to params_out.
[[nodiscard]] Expr freeze_and_simplify(const Expr& program, std::span<const double> params,
                                       std::span<const char> fixed, std::vector<double>& params_out);

}  // namespace zan::discover::engine
