#include "core/discover/engine/variable_products.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/monomial_fit.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {
namespace {

// Calls f(members) for every set of r of the first `vars` variables, as the variables' indices.
template <class F>
void for_each_subset(std::size_t vars, std::size_t r, F&& f) {
    std::vector<std::size_t> members;
    for (std::uint32_t set = 0; set < (std::uint32_t{1} << vars); ++set) {
        if (static_cast<std::size_t>(std::popcount(set)) != r) continue;
        members.clear();
        for (std::size_t x = 0; x < vars; ++x)
            if (set >> x & 1u) members.push_back(x);
        f(members);
    }
}

}  // namespace

VariableProducts::VariableProducts(const SearchSample& sample) : rows_(sample.rows()) {
    const std::size_t vars = std::min(sample.vars(), kProductVariableLimit);
    std::vector<int> p(sample.vars(), 0);
    // each member's magnitude, and a sign per member from the bits of `signs`
    auto each_sign = [&](const std::vector<std::size_t>& members, auto magnitude) {
        for (std::uint32_t signs = 0; signs < (std::uint32_t{1} << members.size()); ++signs) {
            std::fill(p.begin(), p.end(), 0);
            for (std::size_t b = 0; b < members.size(); ++b)
                p[members[b]] = (signs >> b & 1u) ? -magnitude(b) : magnitude(b);
            keep(sample, p);
        }
    };
    for (std::size_t r = 1; r <= std::min(kProductVariables, vars); ++r)
        for_each_subset(vars, r, [&](const auto& members) { each_sign(members, [](std::size_t) { return 1; }); });
    for (std::size_t r = 1; r <= std::min<std::size_t>(3, vars); ++r)
        for_each_subset(vars, r, [&](const auto& members) {
            for (std::size_t squared = 0; squared < r; ++squared)
                each_sign(members, [squared](std::size_t b) { return b == squared ? 2 : 1; });
        });
    if (vars >= 2)
        for_each_subset(vars, 2, [&](const auto& members) { each_sign(members, [](std::size_t) { return 2; }); });
}

void VariableProducts::keep(const SearchSample& sample, const std::vector<int>& powers) {
    if (powers_.size() == kProducts) return;
    const std::size_t n = rows_;
    std::vector<double> v(n, 1.0);
    for (std::size_t x = 0; x < powers.size(); ++x)
        if (powers[x] != 0)
            for (std::size_t i = 0; i < n; ++i) v[i] *= whole_power(sample.column(x)[i], powers[x]);
    // √w·(v − v̄), as the store's unit columns
    const double* w = sample.weights();
    const double* root = sample.root_weights();
    double s = 0.0, total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += w ? w[i] * v[i] : v[i];
        total += w ? w[i] : 1.0;
    }
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = (root ? root[i] : 1.0) * (v[i] - s / total);
    const double norm = std::sqrt(dot(u.data(), u.data(), n));
    if (!(norm > 0.0) || !std::isfinite(norm)) return;
    for (double& x : u) x /= norm;
    powers_.push_back(powers);
    values_.insert(values_.end(), v.begin(), v.end());
    units_.insert(units_.end(), u.begin(), u.end());
}

std::size_t VariableProducts::variables(std::size_t g) const noexcept {
    return static_cast<std::size_t>(std::count_if(powers_[g].begin(), powers_[g].end(), [](int p) { return p != 0; }));
}

bool VariableProducts::all_even(std::size_t g) const noexcept {
    return std::all_of(powers_[g].begin(), powers_[g].end(), [](int p) { return p % 2 == 0; });
}

}  // namespace zan::discover::engine
