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

Result discover(Columns sample, std::span<const double> sample_target, DataSource& full, const EngineConfig& config,
                const Control& control) {
    const auto start = std::chrono::steady_clock::now();
    Result result;
    SearchState state(sample, sample_target, config, control, start);
    state.run(result.levels);
    result.interrupted = state.interrupted();

    ColumnSource sample_source(sample, sample_target);
    std::vector<Formula> formulas = verify(finalists(state, sample.size()), sample_source, full, config, control);
    double variance = 0.0;
    if (!formulas.empty()) {
        // loss / nmse is the target's variance on all rows
        for (const Formula& f : formulas)
            if (f.nmse > 0.0) {
                variance = f.loss / f.nmse;
                break;
            }
    }
    result.front = build_front(std::move(formulas), variance);
    result.best = choose(result.front, config.selection, variance);
    return result;
}

Result discover(Columns columns, std::span<const double> target, const EngineConfig& config, const Control& control) {
    const std::vector<std::size_t> rows = sample_rows(target.size(), config.sample_rows);
    std::vector<std::vector<double>> cols(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        cols[c].reserve(rows.size());
        for (std::size_t r : rows) cols[c].push_back(columns[c][r]);
    }
    std::vector<double> y;
    y.reserve(rows.size());
    for (std::size_t r : rows) y.push_back(target[r]);
    std::vector<std::span<const double>> spans(cols.begin(), cols.end());
    ColumnSource full(columns, target);
    return discover(Columns(spans), y, full, config, control);
}

}  // namespace zan::discover::engine
