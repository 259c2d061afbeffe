#include "core/discover/engine/verification.hpp"

#include <algorithm>
#include <optional>

#include "core/discover/engine/constant_snapping.hpp"
#include "core/discover/engine/noise_level.hpp"
#include "core/discover/engine/poles.hpp"
#include "core/discover/engine/refit.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

// The cost of the best constant: the target's spread on the source's rows.
double target_spread(DataSource& source) {
    Expr mean_program;
    mean_program.tokens = {Token::make_param(0, 0.0)};
    const double start = 0.0;
    return refit(mean_program, std::span<const double>(&start, 1), source).cost;
}

// rows: Σw over the rows measured (their number when unweighted).
Formula make_formula(const Fitted& fit, double rows, double spread) {
    Formula formula;
    formula.program = fit.program;
    formula.constants = fit.params;
    for (Token& t : formula.program.tokens)
        if (t.kind == Token::Kind::Param) t.value = formula.constants[t.index];
    formula.complexity = formula.program.size();
    formula.loss = fit.cost / rows;
    formula.nmse = spread > 0.0 ? fit.cost / spread : 0.0;
    return formula;
}

}  // namespace

std::vector<Formula> verify(const std::vector<Finalist>& list, ColumnSource& rows, const EngineConfig& config) {
    const double spread = target_spread(rows);
    const double n = rows.weight_total();
    const double row_ns = static_cast<double>(rows.rows()) * kFinalistRowNs;
    // Finalists are independent: each is refitted on its own thread into its own slot, so
    // the result is the same for any number of threads.
    std::vector<std::optional<Fitted>> fits(list.size());
    std::vector<char> counted(list.size(), 0);
    pool::for_blocks(list.size(), row_ns, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            Fitted fitted = refit(list[k].program, list[k].params, rows);
            if (!fitted.ok) continue;
            // what a fit through a pole between the rows leaves tells nothing of the noise
            // (it reaches the rows of the largest noise in a target divided by a small value)
            counted[k] = fitted.program.size() <= config.max_complexity &&
                         !(fitted.cost > kExactNmse * spread &&
                           divides_across_zero(fitted.program, fitted.params, rows.columns()));
            fits[k] = std::move(fitted);
        }
    });
    // the lowest cost of the refits, in their order: the same for any number of threads
    double lowest = spread;
    for (std::size_t k = 0; k < fits.size(); ++k)
        if (counted[k]) lowest = std::min(lowest, fits[k]->cost);
    const double estimate = config.noise_nmse < 0.0 ? -1.0 : config.noise_nmse * spread;
    const double noise = noise_level(estimate, lowest, static_cast<double>(rows.rows()));
    std::vector<std::optional<Formula>> slots(list.size());
    pool::for_blocks(list.size(), row_ns, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            if (!fits[k]) continue;
            const Fitted snapped = snap_constants(*fits[k], rows, kExactNmse * spread, noise);
            const Fitted chosen = measure(snapped.program, snapped.params, rows);
            // a pole between the rows is an artefact of an approximation, but not of an
            // exact fit: data on both sides of a resonance do fit 1/(x² − c) exactly
            if (!chosen.ok || (chosen.cost > kExactNmse * spread &&
                               divides_across_zero(chosen.program, chosen.params, rows.columns())))
                continue;
            Formula formula = make_formula(chosen, n, spread);
            if (formula.complexity <= config.max_complexity) slots[k] = std::move(formula);
        }
    });
    std::vector<Formula> out;
    for (std::optional<Formula>& f : slots)
        if (f) out.push_back(std::move(*f));
    return out;
}

std::vector<Formula> confirm(const std::vector<Formula>& front, DataSource& full) {
    const double spread = target_spread(full);
    const double n = full.weight_total();
    std::vector<Formula> out;
    for (const Formula& f : front) {
        const Fitted fit = measure(f.program, f.constants, full);
        if (!fit.ok) continue;  // no value on some row beyond the sample
        out.push_back(make_formula(fit, n, spread));
    }
    return out;
}

}  // namespace zan::discover::engine
