// Products of whole powers of the variables (h·ω/(kb·T), u·v/c², (v/c)²) with their values
// and unit columns on the sample: the arguments of physics' exponentials, roots and cosines,
// and the terms and denominators of its ratios, which the level search need not have kept.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/search_sample.hpp"

namespace zan::discover::engine {

class VariableProducts {
public:
    // In order of cost: of one to kProductVariables variables with powers ±1, then of one to
    // three with one of them squared (u·v/c², v²/c), then squares of ratios of two (v²/c²);
    // at most kProducts, each finite and varying on the sample. Only the first
    // kProductVariableLimit variables take part.
    explicit VariableProducts(const SearchSample& sample);

    [[nodiscard]] std::size_t size() const noexcept { return powers_.size(); }
    [[nodiscard]] const std::vector<int>& powers(std::size_t g) const noexcept { return powers_[g]; }
    [[nodiscard]] const double* values(std::size_t g) const noexcept { return values_.data() + g * rows_; }
    // centred and of unit norm, weighted as the store's unit columns are
    [[nodiscard]] const double* unit(std::size_t g) const noexcept { return units_.data() + g * rows_; }
    [[nodiscard]] std::size_t variables(std::size_t g) const noexcept;
    [[nodiscard]] bool all_even(std::size_t g) const noexcept;

private:
    void keep(const SearchSample& sample, const std::vector<int>& powers);

    std::size_t rows_;
    std::vector<std::vector<int>> powers_;
    std::vector<double> values_, units_;  // rows_ per product
};

}  // namespace zan::discover::engine
