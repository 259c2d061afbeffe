#include "core/discover/engine/lm.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/engine/cholesky.hpp"

namespace zan::discover::engine {

void NormalEquations::merge(const NormalEquations& o) noexcept {
    params = o.params;
    for (std::size_t i = 0; i < params * kMaxLmParams; ++i) jtj[i] += o.jtj[i];
    for (std::size_t i = 0; i < params; ++i) jtr[i] += o.jtr[i];
    cost += o.cost;
    ok = ok && o.ok;
}

bool solve_damped(std::span<const double> a, std::span<const double> b, std::size_t p, double damping,
                  std::span<double> x) {
    return cholesky_solve<kMaxLmParams>(a, b, p, damping, 0.0, x);
}

LmResult levenberg_marquardt(LmProblem& problem, std::span<const double> start, const LmOptions& options) {
    const std::size_t p = problem.params();
    LmResult result;
    result.theta.assign(start.begin(), start.end());
    NormalEquations ne = problem.normal(result.theta);
    if (!ne.ok || !std::isfinite(ne.cost)) return result;
    result.cost = ne.cost;
    result.ok = true;

    // Nielsen's damping update: shrink on success, grow geometrically on failure.
    double damping = 1e-3, growth = 2.0;
    std::vector<double> trial(p);
    double step[kMaxLmParams] = {};
    double neg_g[kMaxLmParams] = {};
    for (std::size_t it = 0; it < options.max_iterations; ++it) {
        result.iterations = it + 1;
        if (ne.cost == 0.0) break;
        for (std::size_t i = 0; i < p; ++i) neg_g[i] = -ne.jtr[i];
        bool accepted = false;
        for (int attempt = 0; attempt < 12 && !accepted; ++attempt) {
            if (!solve_damped(ne.jtj, std::span<const double>(neg_g, p), p, damping, std::span<double>(step, p))) {
                damping *= growth;
                growth *= 2.0;
                continue;
            }
            double norm_step = 0.0, norm_theta = 0.0;
            for (std::size_t i = 0; i < p; ++i) {
                trial[i] = result.theta[i] + step[i];
                norm_step += step[i] * step[i];
                norm_theta += result.theta[i] * result.theta[i];
            }
            if (std::sqrt(norm_step) < options.step_tolerance * (std::sqrt(norm_theta) + options.step_tolerance))
                return result;
            NormalEquations next = problem.normal(trial);
            if (next.ok && std::isfinite(next.cost) && next.cost < ne.cost) {
                const double drop = ne.cost - next.cost;
                // predicted drop of the damped model: step·(damping·D·step − g), g = Jᵀr
                double predicted = 0.0;
                for (std::size_t i = 0; i < p; ++i)
                    predicted += step[i] * (damping * ne.jtj[i * kMaxLmParams + i] * step[i] + neg_g[i]);
                const double rho = predicted > 0.0 ? drop / predicted : 0.0;
                const double t = 2.0 * rho - 1.0;
                damping *= std::max(1.0 / 3.0, 1.0 - t * t * t);
                growth = 2.0;
                result.theta = trial;
                const bool converged = drop <= options.relative_cost_tolerance * ne.cost;
                ne = next;
                result.cost = ne.cost;
                accepted = true;
                if (converged) return result;
            } else {
                damping *= growth;
                growth *= 2.0;
            }
        }
        if (!accepted) break;
    }
    return result;
}

}  // namespace zan::discover::engine
