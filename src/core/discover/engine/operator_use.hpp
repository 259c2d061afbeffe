// Whether a program keeps to the operators a caller allowed: every way the engine builds a
// formula (the level search, sums, monomials, transformed targets, the package's own
// additions) ends at this one check before the formula is offered.
#pragma once

#include <cstdint>

#include "core/discover/expr.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover::engine {

// Whether `program` uses only the operators of `set` (bit i: operator code i), its frame
// aside: a scale by a constant (c·e, e/c, −e) and a sum or difference (the engine's sums of
// terms, with an empty set too) are the frame of every formula, and a function of constants
// alone is a constant. A function of the variables, and a product or quotient of two
// expressions of them, is the set's to allow; equivalent spellings count (x/y by mul and inv,
// c/x by inv, x² by mul).
[[nodiscard]] bool within_operators(const Expr& program, std::uint32_t set);

// Whether `set` allows the unary `op` of an expression of the variables (as within_operators
// reads it: −e always, x² by mul, 1/x by div).
[[nodiscard]] bool function_allowed(std::uint32_t set, Operator op);

}  // namespace zan::discover::engine
