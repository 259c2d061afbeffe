// Dot products of sample columns: the innermost loop of the sums, the ratios and the
// residual models. Four running sums break the chain of dependent additions, which the
// compiler may not reorder in floating point itself; their order is fixed, so the result
// is the same on every run and for any number of threads.
#pragma once

#include <cstddef>

namespace zan::discover::engine {

[[nodiscard]] inline double dot(const double* a, const double* b, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

}  // namespace zan::discover::engine
