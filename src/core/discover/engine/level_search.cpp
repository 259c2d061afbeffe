#include "core/discover/engine/level_search.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/discover/engine/affine_print.hpp"
#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/pair_sums.hpp"
#include "core/discover/engine/scoring.hpp"
#include "core/discover/engine/selection.hpp"
#include "core/discover/engine/sums.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

LevelSearch::LevelSearch(Columns sample, std::span<const double> target, std::span<const double> weights,
                         const EngineConfig& config, const Control& control, StopCondition::Clock::time_point start)
    : config_(config), stop_(control, config.time_limit, start), sample_(sample, target, weights),
      operators_(allowed_operators(config)), store_(target.size(), sample_.weights()) {}

void LevelSearch::add_leaves() {
    for (std::size_t v = 0; v < sample_.vars(); ++v) {
        const std::vector<double>& column = sample_.column(v);
        Node n;
        n.tokens = {Token::make_var(v)};
        n.size = 1;
        n.vars = 1u << std::min<std::size_t>(v, 31);
        const Moments m = sample_.weights() ? sample_.moments(column.data())
                                            : Moments::of(column.data(), sample_.y(), sample_.rows());
        n.fit = sample_.fit(m, column.data());
        store_.mark_seen(affine_print(column.data(), sample_.rows(), m));
        store_.append_to_join_order(1, store_.add(std::move(n), column.data()));
    }
}

void LevelSearch::run(std::vector<LevelReport>& reports) {
    add_leaves();
    report(1, sample_.vars(), sample_.vars(), reports);
    std::size_t exact_level = 0;
    for (std::size_t size = 2; size <= config_.search_size; ++size) {
        if (stop_.reached()) {
            interrupted_ = true;
            break;
        }
        residuals_.update(store_, sample_, sums_, config_.residual_models);
        const std::vector<Candidate> cands = generate_candidates(store_, operators_, config_, size);
        const std::vector<Scored> scored = score_candidates(store_, sample_, residuals_, cands, stop_);
        if (stop_.reached()) {
            interrupted_ = true;
            break;
        }
        const std::size_t kept = select_level(store_, sample_, residuals_, config_, cands, scored, size);
        fit_sums(store_, sample_, config_, stop_, sums_);
        if (!report(size, cands.size(), kept, reports)) {
            interrupted_ = true;
            break;
        }
        // once an exact fit is known, a couple more levels may still find a shorter one
        if (exact_level == 0 && best_nmse() <= kExactNmse) exact_level = size;
        if (exact_level != 0 && (size >= best_exact_size() || size >= exact_level + 2)) break;
    }
    if (interrupted_ || stop_.reached()) return;
    if (config_.fit_ratios && store_.size() >= 2 && best_nmse() > kExactNmse)
        fit_pair_sums_and_ratios(store_, sample_, config_, stop_, sums_);
    if (config_.fit_ratios && best_nmse() > kExactNmse && !stop_.reached())
        sum_ratios_ = fit_sum_ratios(store_, sample_, config_, stop_);
}

bool LevelSearch::report(std::size_t size, std::size_t candidates, std::size_t kept,
                         std::vector<LevelReport>& reports) {
    LevelReport r;
    r.level = size;
    r.candidates = candidates;
    r.kept = kept;
    r.best_nmse = best_nmse();
    r.best_complexity = best_exact_size();
    r.seconds = stop_.elapsed();
    reports.push_back(r);
    return !stop_.control().on_level || stop_.control().on_level(r);
}

double LevelSearch::best_nmse() const {
    double best = store_.best_nmse();
    for (const SumFit& s : sums_) best = std::min(best, s.nmse);
    // the sum ratios' fits are left out: an exact one is often long, and the transformed
    // targets, tried only when nothing is exact, may still find a short one (1/(x² − 4))
    return best;
}

std::size_t LevelSearch::best_exact_size() const {
    std::size_t best = store_.best_exact_size();
    for (const SumFit& s : sums_)
        if (s.nmse <= kExactNmse) best = std::min(best, s.size);
    return best;
}

double LevelSearch::nearest(std::span<const double> t) const {
    const std::size_t n = sample_.rows();
    std::vector<double> centred(n);
    if (const double* w = sample_.weights()) {
        // √w·(t − t̄): its dot with a weighted unit column is a weighted covariance
        const double mean = Moments::of_weighted(t.data(), t.data(), w, n).mean_f;
        const double* root = sample_.root_weights();
        for (std::size_t i = 0; i < n; ++i) centred[i] = root[i] * (t[i] - mean);
    } else {
        const double mean = std::accumulate(t.begin(), t.end(), 0.0) / static_cast<double>(n);
        for (std::size_t i = 0; i < n; ++i) centred[i] = t[i] - mean;
    }
    const double stt = dot(centred.data(), centred.data(), n);
    if (!(stt > 0.0) || !std::isfinite(stt)) return 1.0;
    double best = 0.0;
    for (std::uint32_t j = 0; j < store_.size(); ++j) {
        const double d = dot(store_.unit(j), centred.data(), n);
        best = std::max(best, d * d / stt);
    }
    return std::max(0.0, 1.0 - best);
}

}  // namespace zan::discover::engine
