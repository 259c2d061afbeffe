// The discovery engine: a search over postfix programs scored with linear scaling, that
// keeps building blocks as well as winners, fits sums of terms and constants inside
// formulas, snaps constants to simple values, and reports the accuracy–simplicity front.
//
// Deterministic: every sum over rows runs in one thread in a fixed order, candidates are
// ranked by a total order, and parallel work only ever fills slots of a fixed layout, so
// the same inputs give the same front bit for bit for any number of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/data_source.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

struct Formula {
    Expr program;                   // Param token k reads constants[k]
    std::vector<double> constants;  // fitted, after snapping
    std::size_t complexity = 0;     // tokens of the program, constants included
    double loss = 0.0;              // mean squared error on all rows
    double nmse = 1.0;              // loss over the target's variance
    double score = 0.0;             // drop of log-loss per token against the simpler entry
};

// Progress after each level of the search.
struct LevelReport {
    std::size_t level = 0;           // formula size this level built
    std::size_t candidates = 0;      // candidates scored
    std::size_t kept = 0;            // building blocks kept
    double best_nmse = 1.0;          // best normalised error so far (sample rows)
    std::size_t best_complexity = 0;
    double seconds = 0.0;            // since the search started
};

struct Control {
    // Called after each level; returning false stops the search (what was found is kept).
    std::function<bool(const LevelReport&)> on_level;
    // Polled often, from any thread: true stops the search as soon as possible.
    std::function<bool()> should_stop;
};

struct Result {
    std::vector<Formula> front;  // complexity rising, loss strictly falling
    std::size_t best = 0;        // index into front (front empty: nothing fitted)
    bool interrupted = false;    // stopped by the time limit or should_stop
    std::vector<LevelReport> levels;
};

// Searches on a sample of the validation rows (held in memory, at least two; a
// deterministic sample of all rows, see sample_rows), refits and snaps the finalists on
// the validation rows, and measures the front on all rows through `full`. Settings outside
// their ranges (invalid_option), no variable, fewer than two rows or columns of another
// length than the target throw std::invalid_argument naming what is wrong.
//
// validation_weights: one weight per validation row (empty: every row counts once), each
// finite and positive: every fit is then weighted least squares and every loss a weighted
// mean squared error, Σw·r²/Σw. `full` weights its own rows alike.
[[nodiscard]] Result discover(Columns validation, std::span<const double> validation_target,
                              std::span<const double> validation_weights, DataSource& full,
                              const EngineConfig& config, const Control& control = {});
[[nodiscard]] Result discover(Columns validation, std::span<const double> validation_target, DataSource& full,
                              const EngineConfig& config, const Control& control = {});

// In-memory data: at most config.validation_rows of the rows validate, and at most
// config.sample_rows of those are searched. weights: one per row (empty: all ones), finite
// and not negative, not all zero; a row of weight 0 counts as absent.
[[nodiscard]] Result discover(Columns columns, std::span<const double> target, std::span<const double> weights,
                              const EngineConfig& config, const Control& control = {});
[[nodiscard]] Result discover(Columns columns, std::span<const double> target, const EngineConfig& config,
                              const Control& control = {});

// Rows of a deterministic sample of `rows` rows, at most `limit` of them: evenly spaced,
// in row order; all rows when there are no more than the limit.
[[nodiscard]] std::vector<std::size_t> sample_rows(std::size_t rows, std::size_t limit);

}  // namespace zan::discover::engine
