// Where the rows of a discovery live. The search itself runs on a sample held in memory;
// every fitted formula is then verified and refitted on all rows through a DataSource,
// which needs to answer one question: the normal equations of a program's parameters
// against the target. In-process data answers it on the worker pool; distributed data
// answers it on the machines that hold the rows and merges the partial sums in order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/engine/lm.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

class DataSource {
public:
    virtual ~DataSource() = default;
    [[nodiscard]] virtual std::size_t rows() const = 0;
    // Σw over the rows: what a mean squared error divides by (the rows when unweighted).
    [[nodiscard]] virtual double weight_total() const { return static_cast<double>(rows()); }
    // JᵀWJ, JᵀWr and Σw·r² over every row for r = program(x; params) − y, J = ∂program/∂params
    // (W = I when unweighted). ok is false when any row has no value or a non-finite derivative.
    [[nodiscard]] virtual NormalEquations normal(const Expr& program, std::span<const double> params) = 0;
};

// Normal equations of a program over in-memory rows [0, n), each row weighted by its
// weight (no weights: every row counts once, and no multiplication by 1 is spent on it):
// computed in chunks of a fixed size on the worker pool and merged in chunk order, so the
// sums do not depend on the number of threads.
[[nodiscard]] NormalEquations normal_equations(const Expr& program, std::span<const double> params, Columns columns,
                                               std::span<const double> target,
                                               std::span<const double> weights = {});

// Σw, or the number of rows for no weights.
[[nodiscard]] double total_weight(std::span<const double> weights, std::size_t rows) noexcept;

// In-process rows: columns, target and weights (empty: all ones), borrowed for the
// source's lifetime.
class ColumnSource final : public DataSource {
public:
    ColumnSource(Columns columns, std::span<const double> target, std::span<const double> weights = {})
        : columns_(columns), target_(target), weights_(weights),
          weight_total_(total_weight(weights, target.size())) {}
    [[nodiscard]] std::size_t rows() const override { return target_.size(); }
    [[nodiscard]] double weight_total() const override { return weight_total_; }
    [[nodiscard]] NormalEquations normal(const Expr& program, std::span<const double> params) override {
        return normal_equations(program, params, columns_, target_, weights_);
    }
    [[nodiscard]] Columns columns() const noexcept { return columns_; }

private:
    Columns columns_;
    std::span<const double> target_;
    std::span<const double> weights_;
    double weight_total_;
};

// The LM problem of fitting a program's parameters to a data source.
class ProgramProblem final : public LmProblem {
public:
    ProgramProblem(const Expr& program, DataSource& source, std::size_t params)
        : program_(program), source_(source), params_(params) {}
    [[nodiscard]] std::size_t params() const override { return params_; }
    NormalEquations normal(std::span<const double> theta) override { return source_.normal(program_, theta); }

private:
    const Expr& program_;
    DataSource& source_;
    std::size_t params_;
};

}  // namespace zan::discover::engine
