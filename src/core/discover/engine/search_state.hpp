// State of one search on the sample rows: the kept building blocks (nodes) with their
// predictions, the fingerprints seen, and the sums of terms fitted so far.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/program.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover::engine {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// How a candidate is made from kept nodes: an operator over one or two of them, or a
// unary operator over a node with a fitted constant (c·e, e + c, c − e) inside.
// u(e + 1) and u(1 − e) are the fixed-constant forms physics is full of (ln(1 + x),
// √(1 − v²/c²), 1/(1 + x)): exact without any fitting.
enum class Make : std::uint8_t { Unary, Binary, Scale, Shift, Reflect, AddOne, OneMinus };

struct Candidate {
    std::uint32_t left = kNone, right = kNone;
    Operator op = Operator::Add;
    Make make = Make::Unary;
};

struct Scored {
    LinearFit fit;
    double constant = 0.0;                // the fitted inner constant of Scale/Shift/Reflect
    std::array<float, 4> residual_fit{};  // r² against each residual model
    bool ok = false;
};

// A kept building block: its program (Param slots read params) and its sample values.
struct Node {
    std::vector<Token> tokens;
    std::vector<double> params;
    std::uint32_t size = 0;  // tokens
    std::uint32_t vars = 0;  // bit i: variable i is used
    bool algebraic = true;   // built from variables, constants and arithmetic alone
    bool monomial = true;    // a product of variables (x, x·y, x²·y, ...)
    LinearFit fit;
    std::size_t offset = 0;  // of its sample values in the prediction store
};

// A least-squares sum of kept nodes: y ≈ intercept + Σ coefficient·term, or with a
// denominator node D, y ≈ (intercept + Σ coefficient·term) / D.
struct SumFit {
    std::vector<std::uint32_t> terms;  // node indices
    std::uint32_t denominator = kNone;
    std::vector<double> coefficients;
    double intercept = 0.0;
    double nmse = 1.0;
    std::size_t size = 0;  // tokens of the terms and the additions between them (and of a
                           // denominator and its division)
};

class SearchState {
public:
    using Clock = std::chrono::steady_clock;

    SearchState(Columns sample, std::span<const double> target, const EngineConfig& config, const Control& control,
                Clock::time_point start);

    void run(std::vector<LevelReport>& reports);

    [[nodiscard]] bool interrupted() const noexcept { return interrupted_; }
    [[nodiscard]] const std::vector<Node>& nodes() const noexcept { return nodes_; }
    [[nodiscard]] const std::vector<SumFit>& sums() const noexcept { return sums_; }
    [[nodiscard]] double best_nmse() const;
    // The lowest NMSE of t ≈ a·node + b over the kept nodes (t on the sample rows): how
    // near another target is to what this search holds.
    [[nodiscard]] double nearest(std::span<const double> t) const;
    [[nodiscard]] bool stopped() const;

private:
    class VariantProblem final : public LmProblem {
    public:
        // scratch: 4 × the sample's rows
        VariantProblem(const SearchState& s, const Candidate& c, double* scratch) : s_(s), cand_(c), buf_(scratch) {}
        [[nodiscard]] std::size_t params() const override { return 3; }
        NormalEquations normal(std::span<const double> theta) override;

    private:
        const SearchState& s_;
        const Candidate& cand_;
        double* buf_;
    };

    [[nodiscard]] const double* pred(std::uint32_t node) const noexcept { return preds_.data() + nodes_[node].offset; }
    [[nodiscard]] double elapsed() const;
    [[nodiscard]] Moments moments(const double* f) const noexcept;  // of f against y
    // Whether the candidate is a product of variables (its node's `monomial`).
    [[nodiscard]] bool makes_monomial(const Candidate& c) const noexcept;
    [[nodiscard]] std::size_t best_exact_size() const;
    bool compose(const Candidate& c, double constant, double* out) const;
    bool fit_constant(const Candidate& c, double* buf, double* scratch, double& constant, LinearFit& fit) const;
    [[nodiscard]] Node materialise(const Candidate& c, double constant, const LinearFit& fit) const;
    void add_node(Node node, const double* values);
    void add_leaves();
    [[nodiscard]] std::vector<Candidate> generate(std::size_t size) const;
    [[nodiscard]] std::vector<Scored> score(const std::vector<Candidate>& cands) const;
    void update_residual_models();
    std::size_t select(const std::vector<Candidate>& cands, const std::vector<Scored>& scored, std::size_t size);
    void fit_sums(std::size_t size);
    [[nodiscard]] std::vector<SumFit> pursue(std::span<const std::uint32_t> start, std::size_t max_size,
                                             std::size_t max_terms,
                                             const std::vector<char>& allowed, const double* y, double y_mean,
                                             double syy) const;
    bool solve_sum(SumFit& sum, const double* y, double y_mean) const;
    void fit_ratios();
    bool report(std::size_t size, std::size_t candidates, std::size_t kept, std::vector<LevelReport>& reports);

    const EngineConfig& config_;
    const Control& control_;
    Clock::time_point start_;
    std::size_t ns_, nv_;
    std::vector<std::vector<double>> cols_;
    std::vector<double> y_, yc_;  // the target, and centred
    double y_mean_ = 0.0, syy_ = 0.0;
    std::vector<Operator> unary_, binary_;

    std::vector<Node> nodes_;
    std::vector<double> preds_;
    std::vector<double> units_;  // sample values centred and scaled to unit norm (0: constant)
    std::vector<std::vector<std::uint32_t>> by_size_;  // kept nodes per size
    std::vector<std::vector<std::uint32_t>> join_;     // of those, the ones joined
    std::unordered_set<std::uint64_t> seen_;
    std::vector<std::vector<double>> residuals_;
    std::vector<double> residual_norms_;
    std::vector<SumFit> sums_;
    bool interrupted_ = false;
};

}  // namespace zan::discover::engine
