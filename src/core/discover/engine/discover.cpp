// The engine's entry points: search on the sample, verify on all rows, build the front.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/finalists.hpp"
#include "core/discover/engine/front.hpp"
#include "core/discover/engine/verification.hpp"
#include "core/discover/engine/level_search.hpp"
#include "core/discover/engine/row_copy.hpp"
#include "core/discover/engine/transformed_targets.hpp"
#include "core/discover/engine/tuning.hpp"

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

// Refuses settings outside their ranges and data the search cannot run on, naming what is
// wrong, before any work is done.
void check_inputs(Columns columns, std::span<const double> target, const EngineConfig& config) {
    if (const std::optional<std::string> wrong = invalid_option(config)) throw std::invalid_argument(*wrong);
    if (columns.empty()) throw std::invalid_argument("columns must hold at least one variable");
    if (target.size() < 2) throw std::invalid_argument("discover needs at least two rows, got " + std::to_string(target.size()));
    for (const std::span<const double>& c : columns)
        if (c.size() != target.size())
            throw std::invalid_argument("every column must hold one value per row of the target (" +
                                        std::to_string(target.size()) + "), one holds " + std::to_string(c.size()));
}

// Weights the engine can use: one per row, finite, not negative.
void check_weights(std::span<const double> weights, std::size_t rows) {
    if (weights.empty()) return;
    if (weights.size() != rows)
        throw std::invalid_argument("weights must hold one weight per row of the target (" + std::to_string(rows) +
                                    "), got " + std::to_string(weights.size()));
    for (std::size_t i = 0; i < weights.size(); ++i)
        if (!std::isfinite(weights[i]) || weights[i] < 0.0)
            throw std::invalid_argument("weights must be finite and not negative, got " + std::to_string(weights[i]) +
                                        " at row " + std::to_string(i));
}

// The rows of positive weight; all rows when none has weight 0.
std::vector<std::size_t> weighted_rows(std::span<const double> weights) {
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < weights.size(); ++i)
        if (weights[i] > 0.0) rows.push_back(i);
    return rows;
}

// The root mean square of the target's values, the scale of their rounding.
double magnitude_of(std::span<const double> target) {
    double squares = 0.0;
    for (double y : target) squares += y * y;
    return target.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(target.size()));
}

double variance_of(const std::vector<Formula>& formulas) {
    for (const Formula& f : formulas)
        if (f.nmse > 0.0) return f.loss / f.nmse;
    return 0.0;
}

}  // namespace

Result discover(Columns validation, std::span<const double> validation_target, DataSource& full,
                const EngineConfig& config, const Control& control) {
    return discover(validation, validation_target, {}, full, config, control);
}

Result discover(Columns validation, std::span<const double> validation_target,
                std::span<const double> validation_weights, DataSource& full, const EngineConfig& config,
                const Control& control) {
    check_inputs(validation, validation_target, config);
    check_weights(validation_weights, validation_target.size());
    if (!validation_weights.empty() && weighted_rows(validation_weights).size() != validation_target.size())
        throw std::invalid_argument("every validation row must have a positive weight");
    const auto start = std::chrono::steady_clock::now();
    Result result;
    // the weights travel with their rows into the search's sample
    const RowCopy search(validation, validation_target, sample_rows(validation_target.size(), config.sample_rows),
                         validation_weights);
    LevelSearch state(search.view(), search.target, search.weights, config, control, start);
    state.run(result.levels);
    result.interrupted = state.interrupted();

    std::vector<Finalist> candidates = finalists(state, validation.size(), result.interrupted);
    if (config.transform_target && !result.interrupted && state.best_nmse() > kExactNmse) {
        std::vector<Finalist> more = transformed_finalists(search, state, config, control, start);
        candidates.insert(candidates.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    ColumnSource rows(validation, validation_target, validation_weights);
    std::vector<Formula> formulas = verify(candidates, rows, config);
    const double validation_variance = variance_of(formulas);
    const double magnitude = magnitude_of(validation_target);
    std::vector<Formula> front = build_front(std::move(formulas), validation_variance, magnitude);
    if (full.rows() != validation_target.size()) {
        // the validation rows chose the front; all rows measure it
        std::vector<Formula> measured = confirm(front, full);
        const double variance = variance_of(measured);
        front = build_front(std::move(measured), variance, magnitude);
    }
    const double variance = variance_of(front);
    result.front = std::move(front);
    const std::size_t max_constants = std::max<std::size_t>(1, full.rows() / kRowsPerConstant);
    const double noise = config.noise_nmse < 0.0 ? -1.0 : config.noise_nmse * variance;
    result.best = choose(result.front, config.selection, variance, max_constants, full.rows(), noise, magnitude);
    return result;
}

Result discover(Columns columns, std::span<const double> target, const EngineConfig& config, const Control& control) {
    return discover(columns, target, {}, config, control);
}

Result discover(Columns columns, std::span<const double> target, std::span<const double> weights,
                const EngineConfig& config, const Control& control) {
    check_weights(weights, target.size());
    if (!weights.empty()) {
        // a row of weight 0 counts for nothing in any sum: it is left out, so that the
        // samples hold only rows that count
        const std::vector<std::size_t> kept = weighted_rows(weights);
        if (kept.size() != target.size()) {
            if (kept.empty()) throw std::invalid_argument("weights must not all be zero");
            if (kept.size() < 2)
                throw std::invalid_argument("discover needs at least two rows of positive weight, got " +
                                            std::to_string(kept.size()));
            const RowCopy counted(columns, target, kept, weights);
            return discover(counted.view(), counted.target, counted.weights, config, control);
        }
    }
    check_inputs(columns, target, config);
    ColumnSource full(columns, target, weights);
    if (target.size() <= config.validation_rows) return discover(columns, target, weights, full, config, control);
    const std::vector<std::size_t> pick = sample_rows(target.size(), config.validation_rows);
    const RowCopy validation(columns, target, pick, weights);
    return discover(validation.view(), validation.target, validation.weights, full, config, control);
}

}  // namespace zan::discover::engine
