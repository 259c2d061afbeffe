// Selection: which scored candidates of a level become kept nodes. Candidates are ranked
// by error; the best fill a beam (capped per set of variables), then each set of variables,
// each residual model and every small monomial get their quota. A candidate whose value
// print an earlier level or an already taken candidate has is a duplicate. The kept ones
// join the store in candidate order, and the level's join order is set.
#pragma once

#include <cstddef>
#include <vector>

#include "core/discover/engine/candidate.hpp"
#include "core/discover/engine/config.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/residual_models.hpp"
#include "core/discover/engine/search_sample.hpp"

namespace zan::discover::engine {

// Keeps the chosen candidates of formula size `size` in the store; returns how many.
std::size_t select_level(NodeStore& store, const SearchSample& sample, const ResidualModels& residuals,
                         const EngineConfig& config, const std::vector<Candidate>& cands,
                         const std::vector<Scored>& scored, std::size_t size);

}  // namespace zan::discover::engine
