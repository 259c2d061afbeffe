// The kept building blocks (nodes) that every stage of the search shares: their programs,
// their values on the sample rows (as they are and as unit columns), the nodes of each
// size, the order in which each size is joined, and the value prints already kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// A kept building block: its program (Param slots read params) and its fit to the target.
struct Node {
    std::vector<Token> tokens;
    std::vector<double> params;
    std::uint32_t size = 0;  // tokens
    std::uint32_t vars = 0;  // bit i: variable i is used
    bool algebraic = true;   // built from variables, constants and arithmetic alone
    bool monomial = true;    // a product of variables (x, x·y, x²·y, ...)
    LinearFit fit;
    std::size_t offset = 0;  // of its sample values in the store
};

class NodeStore {
public:
    // weights: the rows' weights (null: unweighted), which the unit columns are weighted by.
    explicit NodeStore(std::size_t rows, const double* weights = nullptr);

    // Keeps the node with its values on the sample rows; its index is the node count before.
    std::uint32_t add(Node node, const double* values);

    [[nodiscard]] std::size_t size() const noexcept { return nodes_.size(); }
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] const Node& operator[](std::uint32_t i) const noexcept { return nodes_[i]; }
    [[nodiscard]] const std::vector<Node>& nodes() const noexcept { return nodes_; }
    [[nodiscard]] const double* values(std::uint32_t i) const noexcept { return values_.data() + nodes_[i].offset; }
    // The values centred and scaled to unit norm (0 for a constant node). With weights, the
    // weighted mean is taken off and each row is scaled by √w, so that a dot product of two
    // units (or of a unit and √w·(y − ȳ)) is a weighted correlation.
    [[nodiscard]] const double* unit(std::uint32_t i) const noexcept { return units_.data() + nodes_[i].offset; }
    [[nodiscard]] const double* weights() const noexcept { return w_.empty() ? nullptr : w_.data(); }
    [[nodiscard]] const double* root_weights() const noexcept { return root_w_.empty() ? nullptr : root_w_.data(); }

    [[nodiscard]] std::span<const std::uint32_t> of_size(std::size_t size) const noexcept;
    // The order in which the nodes of a size meet others: the chosen joiners first.
    [[nodiscard]] std::span<const std::uint32_t> join_order(std::size_t size) const noexcept;
    void append_to_join_order(std::size_t size, std::uint32_t node);

    [[nodiscard]] bool seen(std::uint64_t print) const { return seen_.count(print) != 0; }
    void mark_seen(std::uint64_t print) { seen_.insert(print); }

    [[nodiscard]] double best_nmse() const noexcept;
    // Fewest tokens of an exact node; the largest size_t when there is none.
    [[nodiscard]] std::size_t best_exact_size() const noexcept;

private:
    std::size_t rows_;
    std::vector<double> w_, root_w_;
    std::vector<Node> nodes_;
    std::vector<double> values_;
    std::vector<double> units_;
    std::vector<std::vector<std::uint32_t>> by_size_;
    std::vector<std::vector<std::uint32_t>> join_;
    std::unordered_set<std::uint64_t> seen_;
};

}  // namespace zan::discover::engine
