// The level search on the sample rows: level by level, candidates of one size more are
// generated from the kept nodes, scored, and the chosen ones kept; sums of kept nodes are
// fitted after each level; pair sums, polynomials and ratios once the levels are done.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/generation.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/residual_models.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/stop_condition.hpp"
#include "core/discover/engine/sum_fit.hpp"
#include "core/discover/engine/sum_ratios.hpp"

namespace zan::discover::engine {

class LevelSearch {
public:
    // weights: one per sample row, or empty for none.
    LevelSearch(Columns sample, std::span<const double> target, std::span<const double> weights,
                const EngineConfig& config, const Control& control, StopCondition::Clock::time_point start);

    void run(std::vector<LevelReport>& reports);

    [[nodiscard]] bool interrupted() const noexcept { return interrupted_; }
    [[nodiscard]] const NodeStore& store() const noexcept { return store_; }
    [[nodiscard]] const std::vector<Node>& nodes() const noexcept { return store_.nodes(); }
    [[nodiscard]] const std::vector<SumFit>& sums() const noexcept { return sums_; }
    // Ratios over sums and blocks with a constant inside a product, as finished programs.
    [[nodiscard]] const std::vector<Finalist>& sum_ratios() const noexcept { return sum_ratios_.finalists; }
    [[nodiscard]] double best_nmse() const;
    // The lowest NMSE of t ≈ a·node + b over the kept nodes (t on the sample rows): how
    // near another target is to what this search holds.
    [[nodiscard]] double nearest(std::span<const double> t) const;

private:
    [[nodiscard]] std::size_t best_exact_size() const;
    void add_leaves();
    bool report(std::size_t size, std::size_t candidates, std::size_t kept, std::vector<LevelReport>& reports);

    const EngineConfig& config_;
    StopCondition stop_;
    SearchSample sample_;
    AllowedOperators operators_;
    NodeStore store_;
    ResidualModels residuals_;
    std::vector<SumFit> sums_;
    SumRatios sum_ratios_;
    bool interrupted_ = false;
};

}  // namespace zan::discover::engine
