// Generation: every candidate of one formula size from the kept nodes, in a fixed order.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/candidate.hpp"
#include "core/discover/engine/config.hpp"
#include "core/discover/engine/node_store.hpp"

namespace zan::discover::engine {

struct AllowedOperators {
    std::vector<Operator> unary, binary;
};

// The operators a search may build with, from its settings.
[[nodiscard]] AllowedOperators allowed_operators(const EngineConfig& config);

[[nodiscard]] std::vector<Candidate> generate_candidates(const NodeStore& store, const AllowedOperators& operators,
                                                         const EngineConfig& config, std::size_t size);

}  // namespace zan::discover::engine
