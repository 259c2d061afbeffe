// Scoring: each candidate's best linear scaling a·f + b against the target on the sample,
// and its fit to each residual model, in parallel; slot i belongs to candidate i.
#pragma once

#include <vector>

#include "core/discover/engine/candidate.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/residual_models.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/stop_condition.hpp"

namespace zan::discover::engine {

// A candidate constant on the sample, or without a value on some row, is not ok. Once the
// search is stopped the remaining slots are left unscored.
[[nodiscard]] std::vector<Scored> score_candidates(const NodeStore& store, const SearchSample& sample,
                                                   const ResidualModels& residuals,
                                                   const std::vector<Candidate>& cands, const StopCondition& stop);

}  // namespace zan::discover::engine
