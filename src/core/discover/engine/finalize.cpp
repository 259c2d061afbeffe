#include "core/discover/engine/finalize.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>

#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/poles.hpp"
#include "core/discover/engine/program.hpp"
#include "core/discover/engine/level_search.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/engine/snap.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

// y ≈ a·body + b with body's own constants first, then a and b.
Finalist scaled(const Node& n, std::size_t n_vars) {
    Finalist f;
    f.program.n_vars = n_vars;
    f.program.tokens = n.tokens;
    f.params = n.params;
    const std::size_t p = n.params.size();
    f.program.tokens.push_back(Token::make_param(p, n.fit.a));
    f.program.tokens.push_back(Token::make_op(Operator::Mul));
    f.program.tokens.push_back(Token::make_param(p + 1, n.fit.b));
    f.program.tokens.push_back(Token::make_op(Operator::Add));
    f.params.push_back(n.fit.a);
    f.params.push_back(n.fit.b);
    return f;
}

// intercept + Σ cᵢ·termᵢ, over the denominator if there is one; the terms' own constants
// are refitted with the coefficients while they all fit in one LM problem (a constant
// fitted to y alone is rarely the one a term of a sum needs), else kept as fitted on the
// sample.
Finalist summed(const SumFit& s, const std::vector<Node>& nodes, std::size_t n_vars) {
    Finalist f;
    f.program.n_vars = n_vars;
    std::size_t inner = 0;
    for (std::uint32_t t : s.terms) inner += nodes[t].params.size();
    if (s.denominator != kNone) inner += nodes[s.denominator].params.size();
    const bool free_inner = inner + s.terms.size() + 1 <= kMaxLmParams;
    auto append = [&](const Node& n) {
        const std::size_t shift = f.params.size();
        for (Token t : n.tokens) {
            if (t.kind == Token::Kind::Param)
                t = free_inner ? Token::make_param(t.index + shift, n.params[t.index]) : Token::make_const(n.params[t.index]);
            f.program.tokens.push_back(t);
        }
        if (free_inner) f.params.insert(f.params.end(), n.params.begin(), n.params.end());
    };
    for (std::size_t k = 0; k < s.terms.size(); ++k) {
        append(nodes[s.terms[k]]);
        f.program.tokens.push_back(Token::make_param(f.params.size(), s.coefficients[k]));
        f.params.push_back(s.coefficients[k]);
        f.program.tokens.push_back(Token::make_op(Operator::Mul));
        if (k > 0) f.program.tokens.push_back(Token::make_op(Operator::Add));
    }
    f.program.tokens.push_back(Token::make_param(f.params.size(), s.intercept));
    f.params.push_back(s.intercept);
    f.program.tokens.push_back(Token::make_op(Operator::Add));
    if (s.denominator != kNone) {
        append(nodes[s.denominator]);
        f.program.tokens.push_back(Token::make_op(Operator::Div));
    }
    return f;
}

struct Fitted {
    Expr program;
    std::vector<double> params;
    double cost = 0.0;
    bool ok = false;
};

Fitted refit(const Expr& program, std::span<const double> start, DataSource& source) {
    Fitted out;
    out.program = program;
    ProgramProblem problem(out.program, source, start.size());
    LmResult r = levenberg_marquardt(problem, start);
    out.params = r.theta;
    out.cost = r.cost;
    out.ok = r.ok;
    return out;
}

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
Fitted snap(Fitted fit, DataSource& source, double floor) {
    const double n = static_cast<double>(source.rows());
    std::vector<char> fixed(fit.params.size(), 0);
    std::vector<double> values = fit.params;
    const std::vector<char> additive = additive_slots(fit.program, fit.params.size());
    for (std::size_t slot = 0; slot < fit.params.size(); ++slot) {
        const double limit = std::max(fit.cost * (1.0 + std::log(n) / n), floor);
        std::vector<SnapCandidate> cands = snap_candidates(values[slot], kSnapTolerance);
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

}  // namespace

std::vector<Finalist> finalists(const LevelSearch& state, std::size_t n_vars, bool hurry) {
    // a stopped search still reports a front, from the single best of each kind
    const std::size_t per_size = hurry ? 1 : kPerSize;
    const std::size_t sums_per_terms = hurry ? 1 : kSumsPerTerms;
    std::vector<Finalist> out;
    const std::vector<Node>& nodes = state.nodes();
    std::map<std::size_t, std::vector<std::uint32_t>> by_size;
    for (std::uint32_t i = 0; i < nodes.size(); ++i) by_size[nodes[i].size].push_back(i);
    for (auto& [size, members] : by_size) {
        std::stable_sort(members.begin(), members.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return nodes[a].fit.nmse < nodes[b].fit.nmse; });
        for (std::size_t k = 0; k < std::min(per_size, members.size()); ++k)
            out.push_back(scaled(nodes[members[k]], n_vars));
    }
    // ratios are a kind of their own beside the sums of as many terms
    std::map<std::pair<bool, std::size_t>, std::vector<const SumFit*>> by_terms;
    for (const SumFit& s : state.sums()) by_terms[{s.denominator != kNone, s.terms.size()}].push_back(&s);
    for (auto& [terms, members] : by_terms) {
        std::stable_sort(members.begin(), members.end(),
                         [](const SumFit* a, const SumFit* b) { return a->nmse < b->nmse; });
        for (std::size_t k = 0; k < std::min(sums_per_terms, members.size()); ++k)
            out.push_back(summed(*members[k], nodes, n_vars));
    }
    return out;
}

namespace {

// The cost of the best constant: the target's spread on the source's rows.
double target_spread(DataSource& source) {
    Expr mean_program;
    mean_program.tokens = {Token::make_param(0, 0.0)};
    const double start = 0.0;
    return refit(mean_program, std::span<const double>(&start, 1), source).cost;
}

Fitted measure(const Expr& program, std::span<const double> params, DataSource& source) {
    if (!params.empty()) return refit(program, params, source);
    Fitted out;
    out.program = program;
    const NormalEquations ne = source.normal(program, {});
    out.cost = ne.cost;
    out.ok = ne.ok;
    return out;
}

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

std::vector<Formula> verify(const std::vector<Finalist>& list, ColumnSource& rows, const EngineConfig& config,
                            const Control& control) {
    const double spread = target_spread(rows);
    const double n = static_cast<double>(rows.rows());
    // Finalists are independent: each is refitted on its own thread into its own slot, so
    // the result is the same for any number of threads.
    std::vector<std::optional<Formula>> slots(list.size());
    pool::for_blocks(list.size(), n * kFinalistRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            const Fitted fitted = refit(list[k].program, list[k].params, rows);
            if (!fitted.ok) continue;
            const Fitted snapped = snap(fitted, rows, kExactNmse * spread);
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

std::vector<Formula> confirm(const std::vector<Formula>& front, DataSource& full, const Control& control) {
    const double spread = target_spread(full);
    const double n = static_cast<double>(full.rows());
    std::vector<Formula> out;
    for (const Formula& f : front) {
        const Fitted fit = measure(f.program, f.constants, full);
        if (!fit.ok) continue;  // no value on some row beyond the sample
        out.push_back(make_formula(fit, n, spread));
    }
    return out;
}

std::vector<Formula> build_front(std::vector<Formula> formulas, double target_variance) {
    const double floor = kLossFloor * target_variance;
    auto floored = [&](const Formula& f) { return std::max(f.loss, floor); };
    std::stable_sort(formulas.begin(), formulas.end(), [&](const Formula& a, const Formula& b) {
        if (a.complexity != b.complexity) return a.complexity < b.complexity;
        return a.loss < b.loss;
    });
    std::vector<Formula> front;
    for (Formula& f : formulas) {
        if (!std::isfinite(f.loss)) continue;
        if (!front.empty() && !(floored(f) < floored(front.back()) * (1.0 - kLossTie))) continue;
        if (!front.empty() && f.complexity == front.back().complexity) continue;
        if (front.empty()) {
            // against the best constant (one token, the target's variance): the simplest
            // formula's own drop, so that it can be chosen when it is near the best loss
            const double baseline = std::max(target_variance, floor);
            f.score = f.complexity > 1 && floored(f) < baseline
                          ? -(std::log(floored(f)) - std::log(baseline)) / static_cast<double>(f.complexity - 1)
                          : 0.0;
        } else {
            const Formula& prev = front.back();
            f.score = -(std::log(floored(f)) - std::log(floored(prev))) /
                      static_cast<double>(f.complexity - prev.complexity);
        }
        front.push_back(std::move(f));
    }
    return front;
}

std::size_t choose(const std::vector<Formula>& front, Selection selection, double target_variance,
                   std::size_t max_constants, std::size_t rows) {
    if (front.empty()) return 0;
    // Formulas with more constants than the rows can pin down are on the front but are
    // chosen only when no other is.
    std::size_t fewest = static_cast<std::size_t>(-1);
    for (const Formula& f : front) fewest = std::min(fewest, fitted_constants(f));
    const std::size_t allowed = std::max(max_constants, fewest);
    std::vector<char> eligible(front.size(), 0);
    for (std::size_t i = 0; i < front.size(); ++i) eligible[i] = fitted_constants(front[i]) <= allowed;
    std::size_t last = front.size() - 1;
    while (!eligible[last]) --last;
    if (selection == Selection::Accuracy) return last;
    const double floor = kLossFloor * target_variance;
    const double min_loss = std::max(front[last].loss, floor);
    // "Near the minimum": within 1.5x, widened by twice the relative spread of a mean
    // squared error over `rows` rows (√(2/n)): on few rows, losses differ by chance.
    const double near = 1.5 + 2.0 * std::sqrt(2.0 / static_cast<double>(std::max<std::size_t>(rows, 1)));
    std::size_t best = last;
    double best_score = -1.0;
    for (std::size_t i = 0; i < front.size(); ++i) {
        if (!eligible[i] || std::max(front[i].loss, floor) > near * min_loss) continue;
        if (front[i].score > best_score) {
            best_score = front[i].score;
            best = i;
        }
    }
    return best;
}

std::size_t fitted_constants(const Formula& f) {
    // snapped constants count too: each was chosen to fit (the 1 of 1 − x was not)
    return static_cast<std::size_t>(std::count_if(f.program.tokens.begin(), f.program.tokens.end(), [](const Token& t) {
        return t.kind == Token::Kind::Param || (t.kind == Token::Kind::Const && t.value != 1.0);
    }));
}

}  // namespace zan::discover::engine
