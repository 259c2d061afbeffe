// Weighted least squares of a target on a few columns and an intercept, for the stages that
// screen many small fits. The columns are centred and scaled before the normal equations
// are formed, so that columns of very different sizes (y·e^{k·m} beside a variable) do not
// spoil the solve.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace zan::discover::engine {

// Most columns of one fit: the normal equations stay a few dozen numbers.
inline constexpr std::size_t kMaxFitColumns = 12;

struct ColumnFit {
    std::vector<double> coefficients;  // one per column
    double intercept = 0.0;
    double sse = 0.0;  // Σw·r² of t on the rows
    bool ok = false;   // false: too many columns, a constant column, or columns dependent on the rows
};

// t ≈ intercept + Σ coefficient·column over n rows, weighted by w (null: unweighted).
[[nodiscard]] ColumnFit fit_columns(std::span<const double* const> columns, const double* t, std::size_t n,
                                    const double* w);

}  // namespace zan::discover::engine
