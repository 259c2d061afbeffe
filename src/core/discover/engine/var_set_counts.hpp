// Counts per set of variables used (a bit mask): a flat table while the masks are few,
// a map beyond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

class VarSetCounts {
public:
    explicit VarSetCounts(std::size_t n_vars) {
        if (n_vars <= kFlatVariables) flat_.assign(std::size_t{1} << n_vars, 0);
    }
    std::size_t& operator[](std::uint32_t vars) { return flat_.empty() ? map_[vars] : flat_[vars]; }

private:
    std::vector<std::size_t> flat_;
    std::unordered_map<std::uint32_t, std::size_t> map_;
};

}  // namespace zan::discover::engine
