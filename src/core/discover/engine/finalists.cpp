#include "core/discover/engine/finalists.hpp"

#include <algorithm>
#include <map>

#include "core/discover/engine/level_search.hpp"
#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/tuning.hpp"

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
    const std::vector<Finalist>& ratios = state.sum_ratios();
    const std::size_t ratios_taken = hurry ? std::min<std::size_t>(1, ratios.size()) : ratios.size();
    out.insert(out.end(), ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios_taken));
    return out;
}

}  // namespace zan::discover::engine
