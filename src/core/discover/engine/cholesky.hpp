// Small dense symmetric solves by Cholesky: the LM steps and the fits of a few columns.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

namespace zan::discover::engine {

// Solves (A + damping·diag(A))·x = b for the leading p×p block of A, stored row-major with rows
// of kStride; false when a pivot is not above pivot_floor or a solution is not finite.
template <std::size_t kStride>
[[nodiscard]] bool cholesky_solve(std::span<const double> a, std::span<const double> b, std::size_t p,
                                  double damping, double pivot_floor, std::span<double> x) {
    std::array<double, kStride * kStride> l{};
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = a[i * kStride + j];
            if (i == j) {
                // a zero diagonal (a parameter with no effect) still gets a little damping
                const double d = a[i * kStride + i];
                s += damping * (d > 0.0 ? d : 1e-12);
            }
            for (std::size_t k = 0; k < j; ++k) s -= l[i * kStride + k] * l[j * kStride + k];
            if (i == j) {
                if (!(s > pivot_floor) || !std::isfinite(s)) return false;
                l[i * kStride + i] = std::sqrt(s);
            } else {
                l[i * kStride + j] = s / l[j * kStride + j];
            }
        }
    }
    std::array<double, kStride> z{};
    for (std::size_t i = 0; i < p; ++i) {
        double s = b[i];
        for (std::size_t k = 0; k < i; ++k) s -= l[i * kStride + k] * z[k];
        z[i] = s / l[i * kStride + i];
    }
    for (std::size_t i = p; i-- > 0;) {
        double s = z[i];
        for (std::size_t k = i + 1; k < p; ++k) s -= l[k * kStride + i] * x[k];
        x[i] = s / l[i * kStride + i];
    }
    for (std::size_t i = 0; i < p; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

}  // namespace zan::discover::engine
