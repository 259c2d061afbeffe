#include "core/discover/engine/sums.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {

void SumPursuit::weighted_normal(const SumFit& sum, const double* y, double y_mean, const double* w,
                                 std::vector<double>& means, std::vector<double>& gram,
                                 std::vector<double>& rhs) const {
    const std::size_t n = store_.rows();
    const std::size_t k = sum.terms.size();
    for (std::size_t a = 0; a < k; ++a) {
        const double* fa = store_.values(sum.terms[a]);
        means[a] = Moments::of_weighted(fa, fa, w, n).mean_f;
    }
    for (std::size_t a = 0; a < k; ++a) {
        const double* fa = store_.values(sum.terms[a]);
        for (std::size_t i = 0; i < n; ++i) rhs[a] += w[i] * (fa[i] - means[a]) * (y[i] - y_mean);
        for (std::size_t b = 0; b <= a; ++b) {
            const double* fb = store_.values(sum.terms[b]);
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) s += w[i] * (fa[i] - means[a]) * (fb[i] - means[b]);
            gram[a * k + b] = gram[b * k + a] = s;
        }
    }
}

bool SumPursuit::solve(SumFit& best, const double* y, double y_mean) const {
    const std::size_t n = store_.rows();
    const std::size_t k = best.terms.size();
    std::vector<double> gram(k * k), rhs(k);
    std::vector<double> means(k);
    if (const double* w = store_.weights()) {
        weighted_normal(best, y, y_mean, w, means, gram, rhs);
    } else {
        for (std::size_t a = 0; a < k; ++a) {
            const double* fa = store_.values(best.terms[a]);
            means[a] = std::accumulate(fa, fa + n, 0.0) / static_cast<double>(n);
        }
        for (std::size_t a = 0; a < k; ++a) {
            const double* fa = store_.values(best.terms[a]);
            for (std::size_t i = 0; i < n; ++i) rhs[a] += (fa[i] - means[a]) * (y[i] - y_mean);
            for (std::size_t b = 0; b <= a; ++b) {
                const double* fb = store_.values(best.terms[b]);
                double s = 0.0;
                for (std::size_t i = 0; i < n; ++i) s += (fa[i] - means[a]) * (fb[i] - means[b]);
                gram[a * k + b] = gram[b * k + a] = s;
            }
        }
    }
    // small dense solve by Gaussian elimination with partial pivoting
    std::vector<double> coef(k);
    {
        std::vector<double> m(gram);
        std::vector<double> v(rhs);
        for (std::size_t c = 0; c < k; ++c) {
            std::size_t piv = c;
            for (std::size_t r = c + 1; r < k; ++r)
                if (std::fabs(m[r * k + c]) > std::fabs(m[piv * k + c])) piv = r;
            if (!(std::fabs(m[piv * k + c]) > 0.0)) return false;
            if (piv != c) {
                for (std::size_t j = 0; j < k; ++j) std::swap(m[c * k + j], m[piv * k + j]);
                std::swap(v[c], v[piv]);
            }
            for (std::size_t r = c + 1; r < k; ++r) {
                const double f = m[r * k + c] / m[c * k + c];
                for (std::size_t j = c; j < k; ++j) m[r * k + j] -= f * m[c * k + j];
                v[r] -= f * v[c];
            }
        }
        for (std::size_t c = k; c-- > 0;) {
            double s = v[c];
            for (std::size_t j = c + 1; j < k; ++j) s -= m[c * k + j] * coef[j];
            coef[c] = s / m[c * k + c];
        }
    }
    best.coefficients = coef;
    best.intercept = y_mean;
    for (std::size_t a = 0; a < k; ++a) best.intercept -= coef[a] * means[a];
    return true;
}

std::vector<SumFit> SumPursuit::pursue(std::span<const std::uint32_t> start, std::size_t max_size,
                                       std::size_t max_terms, const std::vector<char>& allowed,
                                       const SumTarget& target) const {
    const std::size_t n = store_.rows();
    const std::size_t count = store_.size();
    std::vector<std::uint32_t> chosen;
    std::vector<std::vector<double>> q;  // orthonormal basis of the chosen centred columns
    // With weights every column and the residual are scaled by √w: least squares there is
    // weighted least squares of the columns as they are.
    const double* root = store_.root_weights();
    std::vector<double> residual(n);
    for (std::size_t i = 0; i < n; ++i) residual[i] = target.y[i] - target.mean;
    if (root != nullptr)
        for (std::size_t i = 0; i < n; ++i) residual[i] *= root[i];
    std::vector<double> col(n);
    std::size_t size = 0;

    auto add_column = [&](std::uint32_t j) -> bool {
        const double* f = store_.values(j);
        double norm0 = 0.0;
        if (root == nullptr) {
            const double mean = std::accumulate(f, f + n, 0.0) / static_cast<double>(n);
            for (std::size_t i = 0; i < n; ++i) {
                col[i] = f[i] - mean;
                norm0 += col[i] * col[i];
            }
        } else {
            const double mean = Moments::of_weighted(f, f, store_.weights(), n).mean_f;
            for (std::size_t i = 0; i < n; ++i) {
                col[i] = root[i] * (f[i] - mean);
                norm0 += col[i] * col[i];
            }
        }
        for (const auto& b : q) {  // modified Gram–Schmidt, twice for stability
            for (int pass = 0; pass < 2; ++pass) {
                const double d = dot(b.data(), col.data(), n);
                for (std::size_t i = 0; i < n; ++i) col[i] -= d * b[i];
            }
        }
        const double norm = dot(col.data(), col.data(), n);
        if (!(norm > kIndependence * kIndependence * norm0) || !(norm0 > 0.0)) return false;
        const double inv = 1.0 / std::sqrt(norm);
        for (std::size_t i = 0; i < n; ++i) col[i] *= inv;
        const double d = dot(col.data(), residual.data(), n);
        for (std::size_t i = 0; i < n; ++i) residual[i] -= d * col[i];
        q.push_back(col);
        return true;
    };

    std::vector<SumFit> out;
    std::vector<char> excluded(count, 0);
    for (std::size_t j = 0; j < count; ++j) excluded[j] = !allowed[j];
    // Σ (u_j·q_k)² over the chosen basis: the part of column j the chosen terms already span
    std::vector<double> spanned(count, 0.0);
    auto absorb = [&](const std::vector<double>& qk) {
        for (std::uint32_t j = 0; j < count; ++j) {
            if (excluded[j]) continue;
            const double d = dot(store_.unit(j), qk.data(), n);
            spanned[j] += d * d;
        }
    };
    auto fitted = [&] {
        const double sse = dot(residual.data(), residual.data(), n);
        SumFit fit;
        fit.terms = chosen;
        fit.nmse = target.syy > 0.0 ? sse / target.syy : 0.0;
        fit.size = size;
        if (solve(fit, target.y, target.mean)) out.push_back(std::move(fit));
        return !out.empty() && out.back().nmse <= kExactNmse;
    };
    for (std::uint32_t j : start) {
        if (!add_column(j)) return out;
        excluded[j] = 1;
        absorb(q.back());
        size += (chosen.empty() ? 0 : 1) + store_[j].size;
        chosen.push_back(j);
    }
    if (chosen.size() >= 2 && fitted()) return out;
    while (chosen.size() < max_terms) {
        // Orthogonal least squares: the node whose new direction removes the most of the
        // residual (lowest index on a tie). Plain correlation with the residual would keep
        // choosing near-copies of the chosen terms in correlated families such as powers.
        std::uint32_t pick = kNone;
        double best_gain = 0.0;
        for (std::uint32_t j = 0; j < count; ++j) {
            if (excluded[j] || size + 1 + store_[j].size > max_size) continue;
            const double rest = 1.0 - spanned[j];
            if (!(rest > kIndependence)) continue;
            const double d = dot(store_.unit(j), residual.data(), n);
            const double gain = d * d / rest;
            if (gain > best_gain) {
                best_gain = gain;
                pick = j;
            }
        }
        if (pick == kNone) break;
        excluded[pick] = 1;
        if (!add_column(pick)) continue;
        absorb(q.back());
        chosen.push_back(pick);
        size += 1 + store_[pick].size;
        if (fitted()) break;
    }
    return out;
}

void fit_sums(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
              const StopCondition& stop, std::vector<SumFit>& sums) {
    const std::size_t count = store.size();
    if (count < 2 || config.max_terms < 2) return;
    // Two dictionaries: every node, and the algebraic ones alone. Transcendental terms
    // approximate a polynomial well enough to be chosen first and then never let the
    // pursuit reach it exactly; without them it does.
    std::vector<char> all(count, 1), algebraic(count, 0);
    for (std::uint32_t j = 0; j < count; ++j) algebraic[j] = store[j].algebraic;
    struct Start {
        std::uint32_t node;
        const std::vector<char>* allowed;
    };
    std::vector<Start> starts;
    for (const std::vector<char>* dict : {&all, &algebraic}) {
        std::vector<std::uint32_t> order;
        for (std::uint32_t j = 0; j < count; ++j)
            if ((*dict)[j]) order.push_back(j);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return store[a].fit.nmse < store[b].fit.nmse; });
        const std::size_t wanted = dict == &all ? config.sum_starts : config.sum_starts / 2;
        for (std::size_t k = 0; k < std::min(wanted, order.size()); ++k) starts.push_back({order[k], dict});
        // and from the best simple nodes, a law's likely main effects
        std::size_t simple = 0;
        for (std::size_t k = wanted; k < order.size() && simple < kSimpleStarts; ++k)
            if (store[order[k]].size <= kSimpleSize) {
                starts.push_back({order[k], dict});
                ++simple;
            }
    }
    const SumPursuit pursuit(store);
    const SumTarget y{sample.y(), sample.y_mean(), sample.syy()};
    std::vector<std::vector<SumFit>> found(starts.size());
    const double cost = static_cast<double>(count * sample.rows() * config.max_terms) * 2.0;
    pool::for_blocks(starts.size(), cost, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            if (stop.reached()) return;
            found[i] = pursuit.pursue({&starts[i].node, 1}, config.max_complexity, config.max_terms,
                                      *starts[i].allowed, y);
        }
    });
    std::set<std::vector<std::uint32_t>> known;
    for (const SumFit& s : sums) {
        std::vector<std::uint32_t> key = s.terms;
        std::sort(key.begin(), key.end());
        known.insert(key);
    }
    for (std::vector<SumFit>& prefixes : found)
        for (SumFit& s : prefixes) {
            if (s.terms.size() < 2 || s.coefficients.empty()) continue;
            std::vector<std::uint32_t> key = s.terms;
            std::sort(key.begin(), key.end());
            if (!known.insert(key).second) continue;
            sums.push_back(std::move(s));
        }
}

}  // namespace zan::discover::engine
