#include "core/discover/engine/residual_models.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

void ResidualModels::add(std::vector<double> r, const double* w) {
    double norm = 0.0;
    if (w == nullptr) {
        const double mean = std::accumulate(r.begin(), r.end(), 0.0) / static_cast<double>(r.size());
        for (double& v : r) v -= mean;
        norm = dot(r.data(), r.data(), r.size());
    } else {
        const double mean = Moments::of_weighted(r.data(), r.data(), w, r.size()).mean_f;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const double c = r[i] - mean;
            norm += w[i] * c * c;
            r[i] = w[i] * c;
        }
    }
    if (!(norm > 0.0) || !std::isfinite(norm)) return;
    residuals_.push_back(std::move(r));
    norms_.push_back(norm);
}

void ResidualModels::update(const NodeStore& store, const SearchSample& sample, const std::vector<SumFit>& sums,
                            std::size_t wanted_models) {
    residuals_.clear();
    norms_.clear();
    const std::size_t n = sample.rows();
    const double* y = sample.y();
    const std::size_t wanted = std::min(wanted_models, kMaxResidualModels);
    // the best sums of two and of three terms: what a short sum misses is what the law's
    // remaining term must supply (longer sums fit their residual away with stray terms)
    for (std::size_t terms = 2; terms <= 3 && residuals_.size() < wanted / 2; ++terms) {
        const SumFit* best = nullptr;
        for (const SumFit& s : sums)
            if (s.terms.size() == terms && s.denominator == kNone && s.nmse > kExactNmse &&
                (best == nullptr || s.nmse < best->nmse))
                best = &s;
        if (best == nullptr) continue;
        std::vector<double> r(n);
        for (std::size_t j = 0; j < n; ++j) r[j] = y[j] - numerator_at(*best, store, j);
        add(std::move(r), sample.weights());
    }
    // then the best simple node and the best node of all: the residual of a law's main
    // effect is its other terms
    auto residual_of = [&](std::uint32_t i) {
        const Node& node = store[i];
        std::vector<double> r(n);
        const double* f = store.values(i);
        for (std::size_t j = 0; j < n; ++j) r[j] = y[j] - (node.fit.a * f[j] + node.fit.b);
        add(std::move(r), sample.weights());
    };
    std::uint32_t best_small = kNone, best_any = kNone;
    for (std::uint32_t i = 0; i < store.size(); ++i) {
        const Node& node = store[i];
        if (node.fit.nmse <= kExactNmse) continue;
        if (node.size <= kSimpleResidualSize && (best_small == kNone || node.fit.nmse < store[best_small].fit.nmse))
            best_small = i;
        if (best_any == kNone || node.fit.nmse < store[best_any].fit.nmse) best_any = i;
    }
    if (best_small != kNone && residuals_.size() < wanted) residual_of(best_small);
    if (best_any != kNone && best_any != best_small && residuals_.size() < wanted) residual_of(best_any);
}

}  // namespace zan::discover::engine
