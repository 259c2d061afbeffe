#include "core/discover/engine/pair_terms.hpp"

#include <cmath>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {

PairTarget::PairTarget(const double* y, const double* g, std::size_t n, const double* w, const double* root)
    : values(n), centred(n) {
    if (w != nullptr) {
        for (std::size_t i = 0; i < n; ++i) values[i] = g ? y[i] * g[i] : y[i];
        mean = Moments::of_weighted(values.data(), values.data(), w, n).mean_f;
        for (std::size_t i = 0; i < n; ++i) {
            centred[i] = root[i] * (values[i] - mean);
            stt += centred[i] * centred[i];
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) mean += values[i] = g ? y[i] * g[i] : y[i];
    mean /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        centred[i] = values[i] - mean;
        stt += centred[i] * centred[i];
    }
}

bool PairTarget::usable() const noexcept { return stt > 0.0 && std::isfinite(stt); }

PairTerms::PairTerms(const NodeStore& store)
    : small_(store.size(), 0), monomial_(store.size(), 0), index_of_(store.size(), 0) {
    const std::size_t n = store.rows();
    for (std::uint32_t j = 0; j < store.size() && terms_.size() < kMaxPairTerms; ++j)
        if (store[j].size <= kTermSize) {
            small_[j] = 1;
            terms_.push_back(j);
            monomial_[j] = store[j].monomial;
        }
    const std::size_t m = terms_.size();
    for (std::size_t a = 0; a < m; ++a) index_of_[terms_[a]] = a;
    gram_.assign(m * m, 0.0);
    pool::for_blocks(m, static_cast<double>(m * n) / 2.0, [&](std::size_t b, std::size_t e) {
        for (std::size_t a = b; a < e; ++a) {
            const double* ua = store.unit(terms_[a]);
            for (std::size_t c = 0; c < a; ++c) gram_[a * m + c] = dot(ua, store.unit(terms_[c]), n);
        }
    });
}

std::array<std::uint32_t, 2> PairTerms::best_pair(const std::vector<double>& cos, std::uint32_t excluded,
                                                  bool monomials_only) const {
    const std::size_t m = terms_.size();
    std::array<std::uint32_t, 2> pair{kNone, kNone};
    double r2_best = 0.0;
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t c = 0; c < a && terms_[a] != excluded; ++c) {
            if (terms_[c] == excluded) continue;
            const double g2 = gram_[a * m + c];
            const double rest = 1.0 - g2 * g2;
            if (!(rest > kIndependentPair)) continue;
            if (monomials_only && !(monomial_[terms_[a]] && monomial_[terms_[c]])) continue;
            const double r2 = (cos[a] * cos[a] + cos[c] * cos[c] - 2.0 * g2 * cos[a] * cos[c]) / rest;
            if (r2 > r2_best) r2_best = r2, pair = {terms_[c], terms_[a]};
        }
    return pair;
}

}  // namespace zan::discover::engine
