#include "core/discover/engine/pair_sums.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/pair_terms.hpp"
#include "core/discover/engine/sums.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

// The fits of one target: y itself (denominator kNone) or y·D.
class TargetFits {
public:
    TargetFits(const NodeStore& store, const SearchSample& sample, const EngineConfig& config, const PairTerms& terms)
        : store_(store), sample_(sample), config_(config), terms_(terms), pursuit_(store),
          every_(store.size(), 1) {}

    // Pair sums and polynomials of y.
    [[nodiscard]] std::vector<SumFit> pair_sums_and_polynomials() const {
        const PairTarget t(sample_.y(), nullptr, sample_.rows(), sample_.weights(), sample_.root_weights());
        std::vector<SumFit> out;
        if (!t.usable()) return out;
        std::vector<double> cos(terms_.size());
        (void)cosines(t, kNone, cos);
        const SumTarget target{t.values.data(), t.mean, t.stt};
        // a plain sum goes on over every kept node: its other terms may be large ones
        const auto pair = terms_.best_pair(cos, kNone, false);
        if (pair[0] != kNone && config_.max_complexity > 0)
            for (SumFit& s : pursuit_.pursue(pair, config_.max_complexity, config_.max_terms, every_, target))
                out.push_back(std::move(s));
        const auto poly = terms_.best_pair(cos, kNone, true);
        if (poly[0] != kNone)
            for (SumFit& s : pursuit_.pursue(poly, config_.max_complexity, config_.max_terms, terms_.monomial(), target))
                out.push_back(std::move(s));
        judge(out, nullptr, kNone);
        return out;
    }

    // Ratios over the denominator node d: the node that best explains y·D alone, and a
    // pursuit of y·D over the small nodes from their best pair.
    [[nodiscard]] std::vector<SumFit> ratios(std::uint32_t d) const {
        const double* g = store_.values(d);
        const PairTarget t(sample_.y(), g, sample_.rows(), sample_.weights(), sample_.root_weights());
        std::vector<SumFit> out;
        if (!t.usable()) return out;
        std::vector<double> cos(terms_.size());
        const std::uint32_t best_any = cosines(t, d, cos);
        const SumTarget target{t.values.data(), t.mean, t.stt};
        if (best_any != kNone) {
            SumFit single;
            single.terms = {best_any};
            single.size = store_[best_any].size;
            if (pursuit_.solve(single, target.y, target.mean)) out.push_back(std::move(single));
        }
        const std::size_t room = store_[d].size + 1;
        const auto pair = terms_.best_pair(cos, d, false);
        if (pair[0] != kNone && room < config_.max_complexity)
            for (SumFit& s : pursuit_.pursue(pair, config_.max_complexity - room, kRatioTerms, terms_.small(), target))
                out.push_back(std::move(s));
        judge(out, g, d);
        return out;
    }

private:
    // The cosine of the target with each term into cos; with a denominator d, the node
    // other than d that best explains the target alone (y·D ≈ a·D + b is y ≈ a + b/D: a
    // law of D, never mind the ratio).
    std::uint32_t cosines(const PairTarget& t, std::uint32_t d, std::vector<double>& cos) const {
        const std::size_t n = sample_.rows();
        std::uint32_t best_any = kNone;
        double r2_any = 0.0;
        for (std::uint32_t j = 0; j < store_.size(); ++j) {
            const double r = dot(store_.unit(j), t.centred.data(), n) / std::sqrt(t.stt);
            if (terms_.is_term(j)) cos[terms_.index_of(j)] = r;
            if (d != kNone && j != d && r * r > r2_any) r2_any = r * r, best_any = j;
        }
        return best_any;
    }

    // Each fit judged by y's own error.
    void judge(std::vector<SumFit>& fits, const double* g, std::uint32_t d) const {
        const std::size_t n = sample_.rows();
        const double* y = sample_.y();
        const double* w = sample_.weights();
        const std::size_t room = g ? store_[d].size + 1 : 0;
        for (SumFit& s : fits) {
            double sse = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double num = numerator_at(s, store_, i);
                const double r = y[i] - (g ? num / g[i] : num);
                sse += w ? w[i] * r * r : r * r;
            }
            s.nmse = std::isfinite(sse) && sample_.syy() > 0.0 ? sse / sample_.syy() : 1.0;
            s.denominator = d;
            s.size += room;
        }
    }

    const NodeStore& store_;
    const SearchSample& sample_;
    const EngineConfig& config_;
    const PairTerms& terms_;
    const SumPursuit pursuit_;
    const std::vector<char> every_;
};

}  // namespace

std::vector<std::uint32_t> denominators(const NodeStore& store) {
    const std::size_t n = store.rows();
    std::vector<std::uint32_t> dens;
    for (std::uint32_t j = 0; j < store.size(); ++j) {
        if (store[j].size > kDenominatorSize) continue;
        const double* g = store.values(j);
        const double* u = store.unit(j);
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
    // physics' denominators are mostly algebraic (m1 + m2, c² + u·v): those first, small first
    std::stable_sort(dens.begin(), dens.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (store[a].algebraic != store[b].algebraic) return store[a].algebraic != 0;
        return store[a].size < store[b].size;
    });
    if (dens.size() > kMaxDenominators) dens.resize(kMaxDenominators);
    return dens;
}

void fit_pair_sums_and_ratios(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
                              const StopCondition& stop, std::vector<SumFit>& sums) {
    std::vector<std::uint32_t> dens = denominators(store);
    if (dens.empty()) return;
    // y itself first (kNone), then each denominator
    dens.insert(dens.begin(), kNone);
    const PairTerms terms(store);
    const TargetFits fits(store, sample, config, terms);
    const std::size_t n = sample.rows(), m = terms.size();
    std::vector<std::vector<SumFit>> found(dens.size());
    const double cost = static_cast<double>((store.size() + m * kRatioTerms) * n + m * m * 4);
    pool::for_blocks(dens.size(), cost, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            if (stop.reached()) return;
            found[k] = dens[k] == kNone ? fits.pair_sums_and_polynomials() : fits.ratios(dens[k]);
        }
    });
    if (stop.reached()) return;
    std::set<std::pair<std::vector<std::uint32_t>, std::uint32_t>> known;
    auto fresh = [&](const SumFit& s) {
        std::vector<std::uint32_t> key = s.terms;
        std::sort(key.begin(), key.end());
        return known.insert({key, s.denominator}).second;
    };
    for (const SumFit& s : sums) fresh(s);
    // the plain sums, then the best ratios
    for (SumFit& s : found[0])
        if (fresh(s)) sums.push_back(std::move(s));
    std::vector<SumFit> ratios;
    for (std::size_t k = 1; k < found.size(); ++k)
        for (SumFit& s : found[k]) ratios.push_back(std::move(s));
    std::stable_sort(ratios.begin(), ratios.end(), [](const SumFit& a, const SumFit& b) { return a.nmse < b.nmse; });
    std::size_t kept = 0;
    for (SumFit& s : ratios) {
        if (kept == kRatiosKept || !(s.nmse < 1.0)) break;
        if (!fresh(s)) continue;
        sums.push_back(std::move(s));
        ++kept;
    }
}

}  // namespace zan::discover::engine
