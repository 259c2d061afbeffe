#include "core/discover/engine/constant_snapping.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/engine/program.hpp"
#include "core/discover/engine/snap.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover::engine {

// The parameter slots that are an operand of a sum or difference: for them zero, which
// drops the term, is worth trying whatever their size (an intercept of 2.25 days beside
// periods of thousands of days is the law plus what the data's own error fits).
std::vector<char> additive_slots(const Expr& program, std::size_t slots) {
    std::vector<char> out(slots, 0);
    std::vector<std::size_t> stack;
    for (std::size_t i = 0; i < program.tokens.size(); ++i) {
        const Token& t = program.tokens[i];
        if (t.kind != Token::Kind::Op) {
            stack.push_back(i);
            continue;
        }
        const std::size_t k = arity(t.op);
        const bool sum = t.op == Operator::Add || t.op == Operator::Sub;
        for (std::size_t j = 0; j < k; ++j) {
            const Token& operand = program.tokens[stack.back()];
            if (sum && operand.kind == Token::Kind::Param && operand.index < slots) out[operand.index] = 1;
            stack.pop_back();
        }
        stack.push_back(i);
    }
    return out;
}

// Snaps constants one at a time, simplest candidate first, keeping a snap only while
// the cost grows by less than one parameter is worth by the Bayesian information
// criterion (ln(n)/n of the cost, the residual variance times ln n) or stays under the
// exact-fit floor.
Fitted snap_constants(Fitted fit, DataSource& source, double floor, double noise) {
    const double n = static_cast<double>(source.rows());
    std::vector<char> fixed(fit.params.size(), 0);
    std::vector<double> values = fit.params;
    const std::vector<char> additive = additive_slots(fit.program, fit.params.size());
    // "1.875·log(…)" reads as a law when the fit is only near one: an approximation's
    // constants are not simple numbers, however close they come to one. Dropping a term that
    // does not pay for itself is another matter, and stays open to it.
    const bool approximation = noise >= 0.0 && fit.cost > std::max(noise, floor);
    for (std::size_t slot = 0; slot < fit.params.size(); ++slot) {
        const double limit = std::max(fit.cost * (1.0 + std::log(n) / n), floor);
        std::vector<SnapCandidate> cands;
        if (!approximation) cands = snap_candidates(values[slot], kSnapTolerance);
        if (additive[slot] && (cands.empty() || cands.front().value != 0.0))
            cands.insert(cands.begin(), SnapCandidate{0.0, 0});
        for (std::size_t t = 0; t < std::min(kSnapTries, cands.size()); ++t) {
            std::vector<char> trial_fixed = fixed;
            trial_fixed[slot] = 1;
            std::vector<double> trial_values = values;
            trial_values[slot] = cands[t].value;
            std::vector<double> free_params;
            // freeze the fixed ones in a copy of the original program, keeping slot numbers
            Expr frozen = fit.program;
            std::vector<std::size_t> renumber(values.size());
            std::size_t next = 0;
            for (std::size_t k = 0; k < values.size(); ++k)
                if (!trial_fixed[k]) {
                    renumber[k] = next++;
                    free_params.push_back(trial_values[k]);
                }
            for (Token& tok : frozen.tokens) {
                if (tok.kind != Token::Kind::Param) continue;
                if (trial_fixed[tok.index]) tok = Token::make_const(trial_values[tok.index]);
                else tok.index = renumber[tok.index];
            }
            Fitted trial = free_params.empty() ? Fitted{} : refit(frozen, free_params, source);
            if (free_params.empty()) {
                NormalEquations ne = source.normal(frozen, {});
                trial.cost = ne.cost;
                trial.ok = ne.ok;
            }
            if (!trial.ok || !(trial.cost <= limit)) continue;
            fixed = trial_fixed;
            values = trial_values;
            for (std::size_t k = 0, j = 0; k < values.size(); ++k)
                if (!fixed[k]) values[k] = trial.params[j++];
            break;
        }
    }
    Fitted out;
    std::vector<double> free_values;
    out.program = freeze_and_simplify(fit.program, values, fixed, free_values);
    out.params = free_values;
    out.ok = true;
    return out;
}

}  // namespace zan::discover::engine
