// Simple values a fitted constant may stand for: small rationals, alone or times one of
// π, √2, √π, √(2π), e (or divided by it), ordered from the simplest.
#pragma once

#include <vector>

namespace zan::discover::engine {

struct SnapCandidate {
    double value;
    int cost;  // simplicity rank: integers first, then small fractions, then the constants
};

// The candidates within a relative distance `tolerance` of v, simplest first (ties: the
// nearest). Zero is a candidate for |v| below `tolerance`.
[[nodiscard]] std::vector<SnapCandidate> snap_candidates(double v, double tolerance);

}  // namespace zan::discover::engine
