#include "core/discover/engine/verification.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/discover/engine/constant_snapping.hpp"
#include "core/discover/engine/noise_level.hpp"
#include "core/discover/engine/operator_use.hpp"
#include "core/discover/engine/poles.hpp"
#include "core/discover/engine/program.hpp"
#include "core/discover/engine/refit.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

// The best constant on the source's rows: the mean, as a fit.
Fitted best_constant(DataSource& source) {
    Expr mean_program;
    mean_program.tokens = {Token::make_param(0, 0.0)};
    const double start = 0.0;
    return refit(mean_program, std::span<const double>(&start, 1), source);
}

// The cost of the best constant: the target's spread on the source's rows; none for a target
// that is one number up to the rounding of its values, whose best constant misses some rows by
// their last bits (against which every formula would be measured).
double target_spread(DataSource& source, const Fitted& constant) {
    const double spread = constant.cost;
    Expr zero;
    zero.tokens = {Token::make_const(0.0)};
    const double squares = measure(zero, {}, source).cost;
    return std::isfinite(squares) && spread <= kTargetRounding * kTargetRounding * squares ? 0.0 : spread;
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

// A fit with its constants snapped, measured again on the rows: the formula as offered.
Fitted snapped_fit(const Fitted& fit, DataSource& source, double floor, double noise) {
    const Fitted snapped = snap_constants(fit, source, floor, noise);
    return measure(snapped.program, snapped.params, source);
}

// The fit without its outermost intercept (a program ending "c +", "c −"): a law through
// the origin found under noise with the intercept the noise kept, c·√L as √L·a + b. Snapping
// keeps the intercept when dropping it costs more than a parameter is worth, and the law two
// tokens shorter would not be offered at all; offered, the front weighs it by its own loss.
std::optional<Fitted> without_intercept(const Fitted& fit, DataSource& source, double floor, double noise) {
    const std::vector<Token>& tokens = fit.program.tokens;
    const std::size_t size = tokens.size();
    if (size < 3 || tokens[size - 2].kind != Token::Kind::Param || tokens[size - 1].kind != Token::Kind::Op ||
        (tokens[size - 1].op != Operator::Add && tokens[size - 1].op != Operator::Sub))
        return std::nullopt;
    // the intercept fixed at 0, which simplifying takes off with its operator
    std::vector<double> values = fit.params;
    std::vector<char> fixed(values.size(), 0);
    fixed[tokens[size - 2].index] = 1;
    values[tokens[size - 2].index] = 0.0;
    std::vector<double> free_values;
    const Expr program = freeze_and_simplify(fit.program, values, fixed, free_values);
    const Fitted fitted = measure(program, free_values, source);
    if (!fitted.ok) return std::nullopt;
    // only an intercept the rows cannot tell from none is dropped: by the F-test of the one
    // constant against the full fit's residual (a real offset, mcycle's or a growth curve's,
    // costs many times the residual per row to drop; the noise's costs about one)
    const double spare = static_cast<double>(source.rows()) - static_cast<double>(fit.params.size());
    if (!(spare >= 1.0) || (fitted.cost - fit.cost) * spare > kInterceptF * fit.cost) return std::nullopt;
    return snapped_fit(fitted, source, floor, noise);
}

}  // namespace

std::vector<Formula> verify(const std::vector<Finalist>& list, ColumnSource& rows, const EngineConfig& config) {
    const Fitted constant = best_constant(rows);
    const double spread = target_spread(rows, constant);
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
    // each finalist's slots: its snapped fit, and that fit without its intercept
    std::vector<std::optional<Formula>> slots(2 * list.size());
    pool::for_blocks(list.size(), row_ns, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            if (!fits[k]) continue;
            const Fitted chosen = snapped_fit(*fits[k], rows, kExactNmse * spread, noise);
            const auto admit = [&](const Fitted& found, std::optional<Formula>& slot) {
                // a fit whose variables all snapped away (1/(a·x + b) with a = 0) is a
                // constant: the best one, a single number, not 1/c or exp(c)
                const bool constant_only =
                    found.program.size() > 1 &&
                    std::none_of(found.program.tokens.begin(), found.program.tokens.end(),
                                 [](const Token& t) { return t.kind == Token::Kind::Var; });
                const Fitted& fit = constant_only ? constant : found;
                // a pole between the rows is an artefact of an approximation, but not of an
                // exact fit: data on both sides of a resonance do fit 1/(x² − c) exactly
                if (!fit.ok || !within_operators(fit.program, config.operators) ||
                    (fit.cost > kExactNmse * spread && divides_across_zero(fit.program, fit.params, rows.columns())))
                    return;
                Formula formula = make_formula(fit, n, spread);
                if (formula.complexity <= config.max_complexity) slot = std::move(formula);
            };
            admit(chosen, slots[2 * k]);
            if (!chosen.ok || chosen.cost <= kExactNmse * spread) continue;  // exact: nothing to drop
            if (const std::optional<Fitted> through = without_intercept(*fits[k], rows, kExactNmse * spread, noise))
                admit(*through, slots[2 * k + 1]);
        }
    });
    std::vector<Formula> out;
    for (std::optional<Formula>& f : slots)
        if (f) out.push_back(std::move(*f));
    return out;
}

std::vector<Formula> confirm(const std::vector<Formula>& front, DataSource& full) {
    const double spread = target_spread(full, best_constant(full));
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
