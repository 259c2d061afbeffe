// The fitted constant inside a candidate u(c·e), u(e + c) or u(c − e): the best point of a
// fixed grid, then a short Levenberg–Marquardt fit of (c, a, b) in a·u(…) + b.
#pragma once

#include "core/discover/engine/candidate.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"

namespace zan::discover::engine {

// The constant and the candidate's linear fit with it; the candidate's values are left in
// buf (the sample's rows). scratch: 4 × the sample's rows. False when no grid point gives
// values.
bool fit_inner_constant(const NodeStore& store, const SearchSample& sample, const Candidate& c, double* buf,
                        double* scratch, double& constant, LinearFit& fit);

}  // namespace zan::discover::engine
