#include "core/discover/engine/node_store.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

NodeStore::NodeStore(std::size_t rows, const double* weights) : rows_(rows) {
    if (weights == nullptr) return;
    w_.assign(weights, weights + rows);
    for (double w : w_) root_w_.push_back(std::sqrt(w));
}

std::uint32_t NodeStore::add(Node node, const double* values) {
    node.offset = values_.size();
    values_.insert(values_.end(), values, values + rows_);
    if (w_.empty()) {
        const Moments m = Moments::of(values, values, rows_);
        const double norm = std::sqrt(m.m2_f);
        for (std::size_t i = 0; i < rows_; ++i) units_.push_back(norm > 0.0 ? (values[i] - m.mean_f) / norm : 0.0);
    } else {
        const Moments m = Moments::of_weighted(values, values, w_.data(), rows_);
        const double norm = std::sqrt(m.m2_f);
        for (std::size_t i = 0; i < rows_; ++i)
            units_.push_back(norm > 0.0 ? root_w_[i] * (values[i] - m.mean_f) / norm : 0.0);
    }
    if (by_size_.size() <= node.size) by_size_.resize(node.size + 1);
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    by_size_[node.size].push_back(index);
    nodes_.push_back(std::move(node));
    return index;
}

std::span<const std::uint32_t> NodeStore::of_size(std::size_t size) const noexcept {
    if (size >= by_size_.size()) return {};
    return by_size_[size];
}

std::span<const std::uint32_t> NodeStore::join_order(std::size_t size) const noexcept {
    if (size >= join_.size()) return {};
    return join_[size];
}

void NodeStore::append_to_join_order(std::size_t size, std::uint32_t node) {
    if (join_.size() <= size) join_.resize(size + 1);
    join_[size].push_back(node);
}

double NodeStore::best_nmse() const noexcept {
    double best = 1.0;
    for (const Node& n : nodes_) best = std::min(best, n.fit.nmse);
    return best;
}

std::size_t NodeStore::best_exact_size() const noexcept {
    std::size_t best = static_cast<std::size_t>(-1);
    for (const Node& n : nodes_)
        if (n.fit.nmse <= kExactNmse) best = std::min<std::size_t>(best, n.size);
    return best;
}

}  // namespace zan::discover::engine
