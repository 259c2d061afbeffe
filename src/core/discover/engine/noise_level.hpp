// How far a loss may lie above the lowest one any formula leaves on the same rows and still be
// taken for the noise alone.
#pragma once

#include <algorithm>

namespace zan::discover::engine {

// What the best of the searched formulas gains on the noise by chance, in units of the noise
// over the rows: a fit of p constants lowers the loss by about p/n of the noise, and the best
// of thousands of shapes by a few times more (the largest of many χ² draws grows as twice
// the log of their number), more where the noise is larger on some rows than on others. A
// law passed over for an approximation differs by far more: one 10% above the noise, on
// 1,000 rows, is a hundred such units.
inline constexpr double kNoiseChanceGain = 60.0;

[[nodiscard]] inline double noise_widening(double rows) { return 1.0 + kNoiseChanceGain / std::max(rows, 1.0); }

// The noise the fits can be held to: no more than the caller's estimate from the data
// (`estimate` < 0: not known, and then nothing is), nor than what the best of them leaves,
// widened by chance. Neighbours in many dimensions are far apart, so the data's estimate
// counts the law's change between them too; the lowest loss cannot fall below the noise by
// more than chance.
[[nodiscard]] inline double noise_level(double estimate, double lowest, double rows) {
    if (estimate < 0.0) return -1.0;
    return std::min(estimate, lowest * noise_widening(rows));
}

}  // namespace zan::discover::engine
