#include "core/discover/engine/column_fit.hpp"

#include <array>
#include <cmath>

#include "core/discover/engine/cholesky.hpp"

namespace zan::discover::engine {
namespace {

// Below this share of its own norm left after the columns before it, a column depends on
// them: its coefficient would be rounding.
constexpr double kPivotFloor = 1e-12;

double weighted_mean(const double* v, std::size_t n, const double* w, double total) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += w ? w[i] * v[i] : v[i];
    return s / total;
}

}  // namespace

ColumnFit fit_columns(std::span<const double* const> columns, const double* t, std::size_t n, const double* w) {
    ColumnFit out;
    const std::size_t p = columns.size();
    if (p > kMaxFitColumns || n == 0) return out;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += w ? w[i] : 1.0;
    if (!(total > 0.0)) return out;
    std::array<double, kMaxFitColumns> mean{}, norm{}, rhs{};
    std::array<double, kMaxFitColumns * kMaxFitColumns> gram{};
    const double mean_t = weighted_mean(t, n, w, total);
    for (std::size_t a = 0; a < p; ++a) {
        mean[a] = weighted_mean(columns[a], n, w, total);
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double d = columns[a][i] - mean[a];
            s += w ? w[i] * d * d : d * d;
        }
        norm[a] = std::sqrt(s);
        if (!(norm[a] > 0.0) || !std::isfinite(norm[a])) return out;
    }
    for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double d = (columns[a][i] - mean[a]) * (columns[b][i] - mean[b]);
                s += w ? w[i] * d : d;
            }
            gram[a * kMaxFitColumns + b] = gram[b * kMaxFitColumns + a] = s / (norm[a] * norm[b]);
        }
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double d = (columns[a][i] - mean[a]) * (t[i] - mean_t);
            s += w ? w[i] * d : d;
        }
        rhs[a] = s / norm[a];
    }
    // the scaled Gram matrix has a diagonal of 1: no damping, and pivots against that scale
    std::array<double, kMaxFitColumns> beta{};
    if (!cholesky_solve<kMaxFitColumns>(gram, rhs, p, 0.0, kPivotFloor, beta)) return out;
    out.coefficients.resize(p);
    out.intercept = mean_t;
    for (std::size_t a = 0; a < p; ++a) {
        out.coefficients[a] = beta[a] / norm[a];
        out.intercept -= out.coefficients[a] * mean[a];
    }
    // the error measured on the rows, not from the normal equations: exact fits must show 0
    for (std::size_t i = 0; i < n; ++i) {
        double f = out.intercept;
        for (std::size_t a = 0; a < p; ++a) f += out.coefficients[a] * columns[a][i];
        const double r = t[i] - f;
        out.sse += w ? w[i] * r * r : r * r;
    }
    out.ok = std::isfinite(out.sse) && std::isfinite(out.intercept);
    return out;
}

}  // namespace zan::discover::engine
