// The small kept nodes as terms of short sums, with the Gram matrix of their unit columns,
// so that every pair of them is tried against a target by a 2×2 solve: a greedy first
// term is often neither of a law's (m1·r1 + m2·r2 is best approached by (m1 + r2)²).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/engine/node_store.hpp"

namespace zan::discover::engine {

// A target of the pair search on the sample rows: y itself or y·D, centred.
struct PairTarget {
    std::vector<double> values;
    std::vector<double> centred;  // values − mean, times √w with weights
    double mean = 0.0;            // weighted with weights
    double stt = 0.0;             // centred sum of squares, weighted with weights

    // y·D for a denominator node's values g, or y itself for a null g; w the rows' weights
    // and root their square roots (both null: unweighted).
    PairTarget(const double* y, const double* g, std::size_t n, const double* w = nullptr,
               const double* root = nullptr);
    [[nodiscard]] bool usable() const noexcept;  // a spread, and a finite one
};

class PairTerms {
public:
    explicit PairTerms(const NodeStore& store);

    [[nodiscard]] std::size_t size() const noexcept { return terms_.size(); }
    [[nodiscard]] const std::vector<char>& small() const noexcept { return small_; }       // per node
    [[nodiscard]] const std::vector<char>& monomial() const noexcept { return monomial_; }  // per node, terms only
    [[nodiscard]] bool is_term(std::uint32_t node) const noexcept { return small_[node] != 0; }
    [[nodiscard]] std::size_t index_of(std::uint32_t node) const noexcept { return index_of_[node]; }

    // The pair of terms, other than `excluded`, that explains most of a target whose cosines
    // with the terms are `cos`, and its r²; with monomials_only, of monomials alone.
    // {kNone, kNone} when no pair is independent enough or explains anything.
    [[nodiscard]] std::array<std::uint32_t, 2> best_pair(const std::vector<double>& cos, std::uint32_t excluded,
                                                         bool monomials_only) const;

private:
    std::vector<std::uint32_t> terms_;
    std::vector<char> small_, monomial_;
    std::vector<std::size_t> index_of_;
    std::vector<double> gram_;  // lower triangle used: gram_[a·m + c], c < a
};

}  // namespace zan::discover::engine
