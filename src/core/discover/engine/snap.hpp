// Simple values a fitted constant may stand for: small rationals, alone or times one of
// π, π², √2, √π, √(2π), e (or divided by it), ordered from the simplest.
#pragma once

#include <numbers>
#include <string_view>
#include <vector>

namespace zan::discover::engine {

// A snapped value is sign · p/q · base or sign · p/q / base, q ≤ kSnapMaxDenominator and
// p ≤ kSnapMaxNumerator · q, in lowest terms.
inline constexpr int kSnapMaxDenominator = 10;
inline constexpr int kSnapMaxNumerator = 12;

struct SnapBase {
    double value;
    int cost;                // added to the candidate's cost: 1 first, so a plain rational wins a tie
    std::string_view sympy;  // the exact value as a SymPy expression, for the exports
};

inline constexpr SnapBase kSnapBases[] = {
    {1.0, 0, "1"},
    {std::numbers::pi, 3, "pi"},
    {std::numbers::pi * std::numbers::pi, 4, "pi**2"},
    {std::numbers::sqrt2, 3, "sqrt(2)"},
    {1.7724538509055159, 4, "sqrt(pi)"},    // √π
    {2.5066282746310002, 4, "sqrt(2*pi)"},  // √(2π)
    {std::numbers::e, 4, "E"},
};

struct SnapCandidate {
    double value;
    int cost;  // simplicity rank: integers first, then small fractions, then the constants
};

// The candidates within a relative distance `tolerance` of v, simplest first (ties: the
// nearest). Zero is a candidate for |v| below `tolerance`.
[[nodiscard]] std::vector<SnapCandidate> snap_candidates(double v, double tolerance);

}  // namespace zan::discover::engine
