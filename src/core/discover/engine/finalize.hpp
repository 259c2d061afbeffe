// From the search's kept nodes and sums to the reported front: each finalist is refitted
// on all rows, its constants snapped to simple values where the fit allows, and the best
// formula per complexity kept when it beats every simpler one.
#pragma once

#include <vector>

#include "core/discover/engine/engine.hpp"

namespace zan::discover::engine {

class LevelSearch;

// A formula ready for verification: a program whose Param slots are all its constants.
struct Finalist {
    Expr program;
    std::vector<double> params;
};

// hurry: the search was stopped; only the best finalist of each kind, so the answer comes fast.
[[nodiscard]] std::vector<Finalist> finalists(const LevelSearch& state, std::size_t n_vars, bool hurry = false);

// Refits, snaps and measures every finalist on the validation rows (held in memory).
[[nodiscard]] std::vector<Formula> verify(const std::vector<Finalist>& finalists, ColumnSource& rows,
                                          const EngineConfig& config, const Control& control);

// Refits the formulas of a front on all rows (wherever they live) and measures them there;
// a formula without a value on some row is dropped.
[[nodiscard]] std::vector<Formula> confirm(const std::vector<Formula>& front, DataSource& full, const Control& control);

// The front of the formulas and the index of the chosen one; scores are filled in.
[[nodiscard]] std::vector<Formula> build_front(std::vector<Formula> formulas, double target_variance);
// The chosen formula among those with at most max_constants fitted constants (or the
// fewest any formula has), measured on `rows` rows.
[[nodiscard]] std::size_t choose(const std::vector<Formula>& front, Selection selection, double target_variance,
                                 std::size_t max_constants, std::size_t rows);

// Constants a formula fitted: its parameters and its snapped literals other than 1.
[[nodiscard]] std::size_t fitted_constants(const Formula& f);

}  // namespace zan::discover::engine
