// A print of a column of values up to scale, offset and sign, rounded: equal for x, 2x + 1
// and −x. Two candidates with one print are one building block to the linear scaling
// every candidate gets, so only the first is kept.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/discover/engine/linear_fit.hpp"

namespace zan::discover::engine {

[[nodiscard]] inline std::uint64_t mix_print(std::uint64_t h, std::uint64_t v) noexcept {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdull;
}

// The print of f's n values, whose moments are m; 0 for a constant column.
[[nodiscard]] inline std::uint64_t affine_print(const double* f, std::size_t n, const Moments& m) noexcept {
    const double sd = std::sqrt(m.m2_f / m.n);
    if (!(sd > 0.0)) return 0;
    double sign = 0.0;
    std::uint64_t h = 0x12345;
    for (std::size_t i = 0; i < n; ++i) {
        double z = (f[i] - m.mean_f) / sd;
        if (sign == 0.0 && std::fabs(z) > 1e-3) sign = z > 0.0 ? 1.0 : -1.0;
        z *= sign == 0.0 ? 1.0 : sign;
        h = mix_print(h, static_cast<std::uint64_t>(std::llround(z * 1e6)));
    }
    return h;
}

}  // namespace zan::discover::engine
