#include "core/discover/engine/snap.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zan::discover::engine {

std::vector<SnapCandidate> snap_candidates(double v, double tolerance) {
    std::vector<SnapCandidate> out;
    if (!std::isfinite(v)) return out;
    if (std::fabs(v) <= tolerance) out.push_back({0.0, 0});
    const double sign = v < 0.0 ? -1.0 : 1.0;
    const double mag = std::fabs(v);
    for (const SnapBase& basis : kSnapBases) {
        for (int inverse = 0; inverse < (basis.cost == 0 ? 1 : 2); ++inverse) {
            const double unit = inverse ? 1.0 / basis.value : basis.value;
            const double ratio = mag / unit;
            for (int q = 1; q <= kSnapMaxDenominator; ++q) {
                const double p = std::round(ratio * q);
                if (p < 1.0 || p > kSnapMaxNumerator * q) continue;
                // only fractions in lowest terms: 2/4 is 1/2's duplicate
                if (std::gcd(static_cast<long>(p), static_cast<long>(q)) != 1) continue;
                const double candidate = sign * (p / q) * unit;
                if (std::fabs(candidate - v) > tolerance * mag) continue;
                const int cost = basis.cost + inverse + (q == 1 ? 0 : 1 + q / 4) + (p > 9 ? 1 : 0);
                out.push_back({candidate, cost});
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [v](const SnapCandidate& a, const SnapCandidate& b) {
        if (a.cost != b.cost) return a.cost < b.cost;
        return std::fabs(a.value - v) < std::fabs(b.value - v);
    });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const SnapCandidate& a, const SnapCandidate& b) { return a.value == b.value; }),
              out.end());
    return out;
}

}  // namespace zan::discover::engine
