// A formula's values on many rows, for users: rows without a value are NaN, and the
// rest are exactly what the row evaluator gives.
#pragma once

#include <span>

#include "core/discover/expr.hpp"

namespace zan::discover::engine {

// out[i] for every row i of the columns (rows counted by the first column), on the pool.
void predict(const Expr& program, Columns columns, std::span<const double> params, double* out);

}  // namespace zan::discover::engine
