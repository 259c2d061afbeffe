// The engine's entry points: search on the sample, verify on all rows, build the front.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/finalize.hpp"
#include "core/discover/engine/search_state.hpp"

namespace zan::discover::engine {

std::vector<std::size_t> sample_rows(std::size_t rows, std::size_t limit) {
    std::vector<std::size_t> out;
    if (limit == 0 || rows <= limit) {
        out.resize(rows);
        for (std::size_t i = 0; i < rows; ++i) out[i] = i;
        return out;
    }
    out.reserve(limit);
    // evenly spaced; integer arithmetic so the choice is the same on every machine
    for (std::size_t i = 0; i < limit; ++i) out.push_back(static_cast<std::size_t>((static_cast<unsigned __int128>(i) * rows) / limit));
    return out;
}

namespace {

// Copies of the given rows of the columns and target.
struct Rows {
    std::vector<std::vector<double>> columns;
    std::vector<double> target;
    std::vector<std::span<const double>> spans;

    Rows(Columns from, std::span<const double> y, const std::vector<std::size_t>& pick) : columns(from.size()) {
        for (std::size_t c = 0; c < from.size(); ++c) {
            columns[c].reserve(pick.size());
            for (std::size_t r : pick) columns[c].push_back(from[c][r]);
        }
        target.reserve(pick.size());
        for (std::size_t r : pick) target.push_back(y[r]);
        spans.assign(columns.begin(), columns.end());
    }
    [[nodiscard]] Columns view() const { return Columns(spans); }
};

double variance_of(const std::vector<Formula>& formulas) {
    for (const Formula& f : formulas)
        if (f.nmse > 0.0) return f.loss / f.nmse;
    return 0.0;
}

}  // namespace

Result discover(Columns validation, std::span<const double> validation_target, DataSource& full,
                const EngineConfig& config, const Control& control) {
    const auto start = std::chrono::steady_clock::now();
    Result result;
    const Rows search(validation, validation_target, sample_rows(validation_target.size(), config.sample_rows));
    SearchState state(search.view(), search.target, config, control, start);
    state.run(result.levels);
    result.interrupted = state.interrupted();

    ColumnSource rows(validation, validation_target);
    std::vector<Formula> formulas = verify(finalists(state, validation.size()), rows, config, control);
    const double validation_variance = variance_of(formulas);
    std::vector<Formula> front = build_front(std::move(formulas), validation_variance);
    if (full.rows() != validation_target.size()) {
        // the validation rows chose the front; all rows measure it
        std::vector<Formula> measured = confirm(front, full, control);
        const double variance = variance_of(measured);
        front = build_front(std::move(measured), variance);
    }
    const double variance = variance_of(front);
    result.front = std::move(front);
    result.best = choose(result.front, config.selection, variance);
    return result;
}

Result discover(Columns columns, std::span<const double> target, const EngineConfig& config, const Control& control) {
    ColumnSource full(columns, target);
    if (target.size() <= config.validation_rows) return discover(columns, target, full, config, control);
    const Rows validation(columns, target, sample_rows(target.size(), config.validation_rows));
    return discover(validation.view(), validation.target, full, config, control);
}

}  // namespace zan::discover::engine
