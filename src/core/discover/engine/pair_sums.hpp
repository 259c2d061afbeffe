// Pair sums, polynomials and ratios, once the levels are done and nothing fits exactly.
//
// Pair sums: a pursuit of y that starts from the pair of small nodes that explains it best,
// since the greedy sums of the levels may start from a term that is none of the law's.
// Polynomials: the same from the best pair of monomials, over monomials alone (any other
// small term fits a polynomial of high degree well enough to be chosen and then block it).
// Ratios: y = N/D with D a small kept node that keeps one sign on the sample and N a kept
// node or a short sum of them, as in (m1·r1 + m2·r2)/(m1 + m2). Multiplied through, y·D = N
// is an ordinary fit of the target y·D: the node that best explains it alone, and a short
// pursuit from the best pair of small nodes. No column depends on y, so no fit can be the
// identity y = y.
#pragma once

#include <cstdint>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/stop_condition.hpp"
#include "core/discover/engine/sum_fit.hpp"

namespace zan::discover::engine {

// The nodes that may divide: small, one sign on the sample with a margin from zero, not
// constant; algebraic ones first, small first, at most kMaxDenominators.
[[nodiscard]] std::vector<std::uint32_t> denominators(const NodeStore& store);

// The stage: adds the new pair sums and polynomials, then the best new ratios, to `sums`.
// Nothing when no node may divide, and nothing at all when the search is stopped.
void fit_pair_sums_and_ratios(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
                              const StopCondition& stop, std::vector<SumFit>& sums);

}  // namespace zan::discover::engine
