// Geometric products in a Clifford algebra with a diagonal metric. A multivector is a
// flat array of coefficients; coefficient t multiplies the blade whose bitmask is t (bit
// k set when e_(k+1) is a factor, factors in increasing k). The signature gives the
// square of each basis vector, any value in -128..127, 0 for a null direction.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/panic.hpp"

namespace zan::multivector {

using Signature = std::span<const std::int8_t>;

// Bit p is set when blade i has an odd number of factors above position p: moving a
// factor e_(p+1) of the right blade past them flips the sign once per factor.
[[nodiscard]] inline std::uint64_t swap_parity_mask(std::uint64_t i) noexcept {
    std::uint64_t mask = 0;
    std::uint64_t above = 0;
    for (int p = std::bit_width(i) - 1; p >= 0; --p) {
        mask |= above << p;
        above ^= (i >> p) & 1;
    }
    return mask;
}

// Sign and metric factor of blade i times blade j: the reordering sign times sig[p] for
// every common factor p, multiplied in increasing p starting from 1.0. IEEE products are
// symmetric in sign, so applying the reordering sign once at the end gives the very bits
// of negating before each factor. Faults when a common factor has no signature entry.
[[nodiscard]] inline double blade_sign(std::uint64_t i, std::uint64_t j, std::uint64_t parity_i, Signature sig) {
    double g = 1.0;
    for (std::uint64_t common = i & j; common != 0; common &= common - 1) {
        const auto p = static_cast<std::size_t>(std::countr_zero(common));
        if (p >= sig.size()) panic(index_out_of_bounds(sig.size(), p));
        g = g * static_cast<double>(sig[p]);
    }
    return (std::popcount(j & parity_i) & 1) ? -g : g;
}

// a b under sig. The result has the length N of a; b is read up to index N - 1 only.
// Zero coefficients (either sign) are skipped, so inf * 0 contributes nothing and a blade
// that receives no term stays +0.0; NaN is never skipped. Each r[k] receives its terms in
// increasing i, then j, each as b[j] * (g * a[i]) added to the running value.
// Faults, in loop order: b shorter than a, a common factor beyond the signature, a target
// blade i ^ j at or beyond N. The output array is the only allocation.
[[nodiscard]] inline FloatVec geometric_product(std::span<const double> a, std::span<const double> b,
                                                Signature sig) {
    const std::size_t n = a.size();
    FloatVec r(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double ai = a[i];
        if (ai == 0.0) continue;
        const std::uint64_t parity_i = swap_parity_mask(i);
        for (std::size_t j = 0; j < n; ++j) {
            if (j >= b.size()) panic(index_out_of_bounds(b.size(), j));
            const double bj = b[j];
            if (bj == 0.0) continue;
            const double g = blade_sign(i, j, parity_i, sig);
            const std::size_t k = i ^ j;
            if (k >= n) panic(index_out_of_bounds(n, k));
            r[k] = bj * (g * ai) + r[k];
        }
    }
    return r;
}

// Pairwise products a[i] b[i] in input order; stops at the shorter batch. A fault in any
// element, on any thread, aborts the whole batch.
[[nodiscard]] std::vector<FloatVec> geometric_product_batch(std::span<const FloatVec> a,
                                                            std::span<const FloatVec> b, Signature sig);

}  // namespace zan::multivector
