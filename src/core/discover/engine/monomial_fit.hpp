// A target that is a constant times a product of whole powers of the variables,
// a·Π x_v^{p_v}, found from the least-squares fit of ln|t| on the variables' logarithms with
// the exponents rounded: the numerators of many laws (h·ω³/c², m·c²) are such products and
// too long for the level search to build.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/search_sample.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

// The largest |exponent| of one variable in a fitted monomial.
inline constexpr int kMaxMonomialPower = 3;

// The logarithms of the sample's columns; usable only when every value is positive.
class LogColumns {
public:
    explicit LogColumns(const SearchSample& sample);
    [[nodiscard]] bool usable() const noexcept { return usable_; }
    [[nodiscard]] std::size_t vars() const noexcept { return logs_.size(); }
    [[nodiscard]] const double* column(std::size_t v) const noexcept { return logs_[v].data(); }

private:
    std::vector<std::vector<double>> logs_;
    bool usable_ = false;
};

struct MonomialFit {
    std::vector<int> powers;  // one per variable
    double amplitude = 0.0;   // a, by least squares of t on the rounded monomial
    // Σw·r² of the logarithms' fit before rounding: smooth in any constant t depends on,
    // where the rounded fit jumps
    double log_sse = 0.0;
    bool ok = false;
};

// The monomial of t (one sign, no zero, on the sample rows); values receives Π x_v^{p_v}.
// finish false: the logarithms' fit alone (log_sse), for screening.
[[nodiscard]] MonomialFit fit_monomial(const SearchSample& sample, const LogColumns& logs, const double* t,
                                       std::vector<double>& values, bool finish = true);

// x^p for a whole p of at most kMaxMonomialPower, by multiplications.
[[nodiscard]] inline double whole_power(double x, int p) noexcept {
    double v = 1.0;
    for (int k = 0; k < (p < 0 ? -p : p); ++k) v *= x;
    return p < 0 ? 1.0 / v : v;
}

// Appends the factors of the monomial to a program that holds its amplitude: ·x, ·x², /x, ...
void append_monomial(std::vector<Token>& tokens, const std::vector<int>& powers);
// Appends the monomial itself (x·y²/z; 1/z when no power is positive).
void append_product(std::vector<Token>& tokens, const std::vector<int>& powers);

}  // namespace zan::discover::engine
