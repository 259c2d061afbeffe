// Pairs and ratios, once the levels are done and nothing fits exactly. Ratios: y = N/D
// with D a small kept node that keeps one sign on the sample and N a kept node or a short
// sum of them, as in (m1·r1 + m2·r2)/(m1 + m2). Multiplied through, y·D = N is an
// ordinary fit of the target y·D: for each denominator, the node that best explains it
// alone, and a short pursuit from the best pair of small nodes, every pair being tried
// through their Gram matrix. No column depends on y, so no fit can be the identity y = y.
// The same pair search serves y itself, whose greedy sums may start from a term that is
// none of the law's.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/search_state.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

constexpr std::uint32_t kDenominatorSize = 6;  // largest denominator, in tokens
constexpr std::size_t kMaxDenominators = 256;
constexpr std::uint32_t kTermSize = 5;         // largest term of a pursued numerator
constexpr std::size_t kMaxPairTerms = 512;     // the smallest ones
constexpr std::size_t kRatioTerms = 3;         // most terms of a numerator
// Pairs of terms closer to collinear than this (1 − cos²) are not told apart from one.
constexpr double kIndependentPair = 1e-10;
constexpr std::size_t kRatiosKept = 12;        // best ratios handed on
// A denominator's smallest magnitude on the sample, relative to its largest: below it a
// pole sits too close to the data for the ratio to mean anything between the rows.
constexpr double kDenominatorMargin = 1e-3;

}  // namespace

void SearchState::fit_ratios() {
    if (!config_.fit_ratios || nodes_.size() < 2 || best_nmse() <= kExactNmse) return;
    const std::size_t n = ns_;
    std::vector<std::uint32_t> dens;
    for (std::uint32_t j = 0; j < nodes_.size(); ++j) {
        if (nodes_[j].size > kDenominatorSize) continue;
        const double* g = pred(j);
        const double* u = units_.data() + nodes_[j].offset;
        const bool positive = g[0] > 0.0;
        double lo = std::numeric_limits<double>::infinity(), hi = 0.0, spread = 0.0;
        bool one_sign = true;
        for (std::size_t i = 0; i < n; ++i) {
            one_sign = one_sign && (g[i] > 0.0) == positive && g[i] != 0.0;
            lo = std::min(lo, std::fabs(g[i]));
            hi = std::max(hi, std::fabs(g[i]));
            spread = std::max(spread, std::fabs(u[i]));
        }
        if (one_sign && spread > 0.0 && lo > kDenominatorMargin * hi) dens.push_back(j);
    }
    if (dens.empty()) return;
    // physics' denominators are mostly algebraic (m1 + m2, c² + u·v): those first, small first
    std::stable_sort(dens.begin(), dens.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (nodes_[a].algebraic != nodes_[b].algebraic) return nodes_[a].algebraic;
        return nodes_[a].size < nodes_[b].size;
    });
    if (dens.size() > kMaxDenominators) dens.resize(kMaxDenominators);
    // and first no denominator at all: the pair search serves plain sums too, whose greedy
    // pursuit can start from a term that is neither of the law's
    dens.insert(dens.begin(), kNone);
    // The numerators' terms: the small nodes, with the Gram matrix of their unit columns,
    // so every pair of them is tried by a 2×2 solve (a greedy first term is often neither
    // of the law's: m1·r1 + m2·r2 is best approached by (m1 + r2)²).
    std::vector<char> small(nodes_.size(), 0), monomial(nodes_.size(), 0);
    std::vector<std::uint32_t> terms;
    for (std::uint32_t j = 0; j < nodes_.size() && terms.size() < kMaxPairTerms; ++j)
        if (nodes_[j].size <= kTermSize) {
            small[j] = 1;
            terms.push_back(j);
            monomial[j] = nodes_[j].monomial;
        }
    const std::size_t m = terms.size();
    std::vector<double> gram(m * m, 0.0);
    pool::for_blocks(m, static_cast<double>(m * n) / 2.0, [&](std::size_t b, std::size_t e) {
        for (std::size_t a = b; a < e; ++a) {
            const double* ua = units_.data() + nodes_[terms[a]].offset;
            for (std::size_t c = 0; c < a; ++c) {
                const double* uc = units_.data() + nodes_[terms[c]].offset;
                gram[a * m + c] = dot(ua, uc, n);
            }
        }
    });

    // Per denominator D: the node that best explains y·D alone, and a pursuit of y·D over
    // the small nodes from the best of them; each fit is then judged by y's own error.
    const std::vector<char> every(nodes_.size(), 1);
    std::vector<std::size_t> index_of(nodes_.size(), 0);
    for (std::size_t a = 0; a < m; ++a) index_of[terms[a]] = a;
    std::vector<std::vector<SumFit>> found(dens.size());
    const double cost = static_cast<double>((nodes_.size() + m * kRatioTerms) * n + m * m * 4);
    pool::for_blocks(dens.size(), cost, [&](std::size_t b, std::size_t e) {
        std::vector<double> t(n), centred(n), cos(m);
        for (std::size_t k = b; k < e; ++k) {
            if (stopped()) return;
            const std::uint32_t d = dens[k];
            const double* g = d == kNone ? nullptr : pred(d);
            double mean = 0.0;
            for (std::size_t i = 0; i < n; ++i) mean += t[i] = g ? y_[i] * g[i] : y_[i];
            mean /= static_cast<double>(n);
            double stt = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                centred[i] = t[i] - mean;
                stt += centred[i] * centred[i];
            }
            if (!(stt > 0.0) || !std::isfinite(stt)) continue;
            std::uint32_t best_any = kNone;
            double r2_any = 0.0;
            for (std::uint32_t j = 0; j < nodes_.size(); ++j) {
                const double* u = units_.data() + nodes_[j].offset;
                const double r = dot(u, centred.data(), n) / std::sqrt(stt);
                if (small[j]) cos[index_of[j]] = r;
                // y·D ≈ a·D + b is y ≈ a + b/D: a law of D, never mind the ratio
                if (g && j != d && r * r > r2_any) r2_any = r * r, best_any = j;
            }
            // the pair of terms that explains most of y·D
            std::array<std::uint32_t, 2> pair{kNone, kNone}, pair_poly{kNone, kNone};
            double r2_pair = 0.0, r2_poly = 0.0;
            for (std::size_t a = 0; a < m; ++a)
                for (std::size_t c = 0; c < a && terms[a] != d; ++c) {
                    if (terms[c] == d) continue;
                    const double g2 = gram[a * m + c];
                    const double rest = 1.0 - g2 * g2;
                    if (!(rest > kIndependentPair)) continue;
                    const double r2 = (cos[a] * cos[a] + cos[c] * cos[c] - 2.0 * g2 * cos[a] * cos[c]) / rest;
                    if (r2 > r2_pair) r2_pair = r2, pair = {terms[c], terms[a]};
                    if (!g && monomial[terms[a]] && monomial[terms[c]] && r2 > r2_poly)
                        r2_poly = r2, pair_poly = {terms[c], terms[a]};
                }
            std::vector<SumFit>& out = found[k];
            if (best_any != kNone) {
                SumFit single;
                single.terms = {best_any};
                single.size = nodes_[best_any].size;
                if (solve_sum(single, t.data(), mean)) out.push_back(std::move(single));
            }
            const std::size_t room = g ? nodes_[d].size + 1 : 0;
            // a plain sum goes on over every kept node: its other terms may be large ones
            if (pair[0] != kNone && room < config_.max_complexity)
                for (SumFit& s : pursue(pair, config_.max_complexity - room, g ? kRatioTerms : config_.max_terms,
                                        g ? small : every, t.data(), mean, stt))
                    out.push_back(std::move(s));
            // and polynomials from monomials alone: any other small term fits a
            // polynomial of high degree well enough to be chosen and then block it
            if (pair_poly[0] != kNone)
                for (SumFit& s : pursue(pair_poly, config_.max_complexity, config_.max_terms, monomial, t.data(), mean,
                                        stt))
                    out.push_back(std::move(s));
            for (SumFit& s : out) {
                double sse = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    double num = s.intercept;
                    for (std::size_t c = 0; c < s.terms.size(); ++c) num += s.coefficients[c] * pred(s.terms[c])[i];
                    const double r = y_[i] - (g ? num / g[i] : num);
                    sse += r * r;
                }
                s.nmse = std::isfinite(sse) && syy_ > 0.0 ? sse / syy_ : 1.0;
                s.denominator = d;
                s.size += room;
            }
        }
    });
    if (stopped()) return;
    std::set<std::pair<std::vector<std::uint32_t>, std::uint32_t>> known;
    auto fresh = [&](const SumFit& s) {
        std::vector<std::uint32_t> key = s.terms;
        std::sort(key.begin(), key.end());
        return known.insert({key, s.denominator}).second;
    };
    for (const SumFit& s : sums_) fresh(s);
    // the plain sums, then the best ratios
    for (SumFit& s : found[0])
        if (fresh(s)) sums_.push_back(std::move(s));
    std::vector<SumFit> ratios;
    for (std::size_t k = 1; k < found.size(); ++k)
        for (SumFit& s : found[k]) ratios.push_back(std::move(s));
    std::stable_sort(ratios.begin(), ratios.end(), [](const SumFit& a, const SumFit& b) { return a.nmse < b.nmse; });
    std::size_t kept = 0;
    for (SumFit& s : ratios) {
        if (kept == kRatiosKept || !(s.nmse < 1.0)) break;
        if (!fresh(s)) continue;
        sums_.push_back(std::move(s));
        ++kept;
    }
}

}  // namespace zan::discover::engine
