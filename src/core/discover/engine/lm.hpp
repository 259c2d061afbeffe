// A small Levenberg–Marquardt for the constants of one formula (at most kMaxLmParams),
// working from normal equations so that the rows may live anywhere: a problem returns
// JᵀJ, Jᵀr and the cost at a parameter vector, however it sums them.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace zan::discover::engine {

inline constexpr std::size_t kMaxLmParams = 8;

struct NormalEquations {
    std::size_t params = 0;
    std::array<double, kMaxLmParams * kMaxLmParams> jtj{};  // row-major, symmetric
    std::array<double, kMaxLmParams> jtr{};                 // Jᵀr, r = model − target
    double cost = 0.0;                                      // Σr²
    bool ok = false;                                        // every row had a finite value and Jacobian

    void merge(const NormalEquations& o) noexcept;
};

class LmProblem {
public:
    virtual ~LmProblem() = default;
    [[nodiscard]] virtual std::size_t params() const = 0;
    // The normal equations at theta; ok false when the model has no value somewhere.
    virtual NormalEquations normal(std::span<const double> theta) = 0;
};

struct LmResult {
    std::vector<double> theta;
    double cost = 0.0;
    bool ok = false;
    std::size_t iterations = 0;
};

struct LmOptions {
    std::size_t max_iterations = 30;
    double relative_cost_tolerance = 1e-12;
    double step_tolerance = 1e-10;
};

// Minimises the cost from start. Deterministic; never returns a non-finite theta as ok.
[[nodiscard]] LmResult levenberg_marquardt(LmProblem& problem, std::span<const double> start,
                                           const LmOptions& options = {});

// Solves (A + damping·diag(A))·x = b for a small symmetric positive semi-definite A by
// Cholesky; false when the damped matrix is not positive definite.
[[nodiscard]] bool solve_damped(std::span<const double> a, std::span<const double> b, std::size_t p, double damping,
                                std::span<double> x);

}  // namespace zan::discover::engine
