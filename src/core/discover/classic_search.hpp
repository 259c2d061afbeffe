// Bottom-up beam search for the formula with the smallest complexity-penalised RMSE.
//
// Leaves (0.0, 1.0, the variables) are scored first; each level then extends every beam
// entry by one unary operator and joins every pair of beam entries by one binary
// operator. Candidates whose fingerprint was seen before, or that have none, are dropped
// before they are evaluated on the data. The best ⌊beam_width / 4⌋ results of a level
// are appended to the beam. The outcome depends only on the inputs, never on the number
// of worker threads or their scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"

namespace zan::discover {

struct SearchConfig {
    std::uint64_t max_complexity = 8;  // at most max_complexity - 1 levels; token bound of joins
    std::uint64_t beam_width = 2000;   // each level appends its best beam_width / 4 results
    double precision_goal = 1e-10;     // stop once the best error is <= this
    double complexity_penalty = 0.001;  // error = rmse * (tokens * penalty + 1)
    bool use_trig = true;              // adds Sin and Cos to the unary operators
    bool use_zan = true;               // adds Zan to the binary operators
};

struct SearchResult {
    std::string formula;         // to_string(expr)
    std::vector<double> params;  // always empty: the search fits no parameters
    Expr expr;
    double error = 0.0;          // penalised error
    std::uint64_t complexity = 0;  // token count of expr
};

// Work of one step of the search (level 0 is the leaf step).
struct LevelStats {
    std::size_t level = 0;
    std::size_t generated = 0;         // candidates enumerated (entries already handled skipped)
    std::size_t with_fingerprint = 0;  // of those, with a finite value at every probe
    std::size_t kept = 0;              // of those, with a fingerprint not seen before
    std::size_t scored = 0;            // of those, evaluated on every data row
    std::size_t beam_size = 0;         // beam length after the step
    double generate_seconds = 0.0;     // enumeration, fingerprints and the seen-set test
    double score_seconds = 0.0;        // evaluation on the data and the penalised errors
    double seconds = 0.0;              // the whole step
};

struct SearchStats {
    std::vector<LevelStats> levels;
    double seconds = 0.0;
};

// Scores of one level, computed on the worker pool: for each candidate in order that
// evaluates on every row, its result; the others are left out. Data as for `search`.
[[nodiscard]] std::vector<SearchResult> score_level(std::span<const Expr> candidates, Columns columns,
                                                    std::span<const double> targets, const SearchConfig& config);

// Folds results into best in order: a result replaces best only with a strictly smaller
// error (never when either error is NaN), so among equal errors the first one stays.
void update_best(std::optional<SearchResult>& best, std::span<const SearchResult> results);

// The best result of the whole search, or nothing when no expression could be scored.
//
// Precondition: at least one column and no column shorter than the first (rows are
// counted by the first column), and n_vars == columns.size(). Data breaking it is not
// read out of bounds: every column is then taken as cut to the shortest one, and no
// column at all counts as zero rows.
[[nodiscard]] std::optional<SearchResult> search(Columns columns, std::span<const double> targets,
                                                 std::size_t n_vars, const SearchConfig& config,
                                                 SearchStats* stats = nullptr);

[[nodiscard]] std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns,
                                                 std::span<const double> targets, std::size_t n_vars,
                                                 const SearchConfig& config, SearchStats* stats = nullptr);

namespace detail {
// Bound on the predictions the search keeps for beam entries (in values; entries over it
// are evaluated in full instead). Results never depend on it; tests lower it to exercise
// both paths. Not thread-safe: set it only while no search runs.
void set_prediction_budget(std::size_t values);
[[nodiscard]] std::size_t prediction_budget();
}  // namespace detail

}  // namespace zan::discover
