#include "core/discover/engine/scoring.hpp"

#include <algorithm>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/inner_constant.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {

std::vector<Scored> score_candidates(const NodeStore& store, const SearchSample& sample,
                                     const ResidualModels& residuals, const std::vector<Candidate>& cands,
                                     const StopCondition& stop) {
    const std::size_t n = sample.rows();
    std::vector<Scored> out(cands.size());
    auto score_range = [&](std::size_t b, std::size_t e) {
        std::vector<double> buf(n), scratch(4 * n);
        for (std::size_t i = b; i < e; ++i) {
            if ((i - b) % kStopCheckInterval == 0 && stop.reached()) return;
            const Candidate& c = cands[i];
            Scored& s = out[i];
            double constant = 0.0;
            const bool fitted_inside = has_inner_constant(c);
            if (fitted_inside ? !fit_inner_constant(store, sample, c, buf.data(), scratch.data(), constant, s.fit)
                              : !compose(store, c, 0.0, buf.data()))
                continue;
            // one pass of moments serves the fit and the residual models
            const Moments m = sample.moments(buf.data());
            if (!fitted_inside) s.fit = sample.fit(m, buf.data());
            if (s.fit.a == 0.0 || !(s.fit.nmse < 1.0)) continue;  // constant on the sample
            s.ok = true;
            s.constant = constant;
            for (std::size_t k = 0; k < residuals.size(); ++k) {
                const std::vector<double>& r = residuals.residual(k);
                const double c_fr = dot(buf.data(), r.data(), n);
                s.residual_fit[k] = static_cast<float>(c_fr * c_fr / (m.m2_f * residuals.norm(k)));
            }
        }
    };
    // The candidates with an inner constant, which come last, cost a grid and an LM fit
    // each: shared out on their own, they spread over the threads instead of falling to
    // whichever takes the list's last blocks.
    const auto first_fitted = std::find_if(cands.begin(), cands.end(), has_inner_constant);
    const std::size_t split = static_cast<std::size_t>(first_fitted - cands.begin());
    const double cost = static_cast<double>(n) * kCandidateRowNs * kScoringPasses;
    pool::for_blocks(split, cost, score_range);
    pool::for_blocks(cands.size() - split, cost * kFittedCost, [&](std::size_t b, std::size_t e) {
        score_range(split + b, split + e);
    });
    return out;
}

}  // namespace zan::discover::engine
