// Geometric products in a Clifford algebra with a diagonal metric. A multivector is a
// flat array of coefficients; coefficient t multiplies the blade whose bitmask is t (bit
// k set when e_(k+1) is a factor, factors in increasing k). The signature gives the
// square of each basis vector, any value in -128..127, 0 for a null direction.
#pragma once

#include <algorithm>
#include <array>
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

// The metric factor of the factors two blades share: sig[p] for every common p, multiplied
// in increasing p starting from 1.0. Built once per batch and read by every element; the
// factors of the low masks come from a table, since their products would otherwise cost a
// data-dependent loop (and its mispredicted branches) on every term.
class Metric {
public:
    static constexpr unsigned kTableBits = 8;

    explicit Metric(Signature sig) : sig_(sig) {
        covered_ = sig.size() >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << sig.size()) - 1;
        table_size_ = std::size_t{1} << std::min<std::size_t>(sig.size(), kTableBits);
        for (std::size_t c = 0; c < table_size_; ++c) table_[c] = product(c);
    }

    // Faults when a common factor has no signature entry, naming the lowest such one.
    [[nodiscard]] double factor(std::uint64_t common) const {
        if (common < table_size_) return table_[common];
        if ((common & ~covered_) != 0) {
            const std::size_t p = sig_.size() + static_cast<std::size_t>(std::countr_zero(common >> sig_.size()));
            panic(index_out_of_bounds(sig_.size(), p));
        }
        return product(common);
    }

private:
    [[nodiscard]] double product(std::uint64_t common) const noexcept {
        double g = 1.0;
        for (; common != 0; common &= common - 1) g = g * static_cast<double>(sig_[std::countr_zero(common)]);
        return g;
    }

    Signature sig_;
    std::uint64_t covered_;
    std::size_t table_size_;
    std::array<double, std::size_t{1} << kTableBits> table_;
};

// -g when odd is 1, by its sign bit. IEEE products are symmetric in sign, so negating the
// finished metric factor once gives the very bits of negating before each of its factors.
[[nodiscard]] inline double negate_if(double g, std::uint64_t odd) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(g) ^ (odd << 63));
}

// The signed metric factors of every blade pair of one width m, m * m of them: row i holds
// the factor that multiplies a[i] b[j] on its way to blade i ^ j. Worth building once per
// batch when every product has the same width; only for widths where no term can fault
// (a power of two whose every basis vector has a signature entry).
class SignTable {
public:
    static constexpr std::size_t kMaxWidth = 64;

    // The table for width m, or an empty one when m does not qualify.
    SignTable(std::size_t m, const Metric& metric, std::size_t sig_size);

    [[nodiscard]] std::size_t width() const noexcept { return width_; }
    [[nodiscard]] const double* row(std::size_t i) const noexcept { return factors_.data() + i * width_; }
    // The same factors by target blade: entry i of target k multiplies a[i] b[i ^ k].
    [[nodiscard]] const double* target(std::size_t k) const noexcept { return by_target_.data() + k * width_; }

private:
    std::size_t width_ = 0;
    std::vector<double> factors_;
    std::vector<double> by_target_;
};

// a b under the metric into r, which has the length N of a; b is read up to index N - 1 only.
// Zero coefficients (either sign) are skipped, so inf * 0 contributes nothing and a blade
// that receives no term stays +0.0; NaN is never skipped. Each r[k] receives its terms in
// increasing i, then j, each as b[j] * (g * a[i]) added to the running value.
// Faults, in loop order: a common factor beyond the signature or a target blade i ^ j at
// or beyond N, then, once the j loop runs off the end of b, b shorter than a.
// table (of any width, or empty) only saves recomputing the factors: the result is the same.
void geometric_product_into(std::span<const double> a, std::span<const double> b, const Metric& metric,
                            const SignTable& table, double* r);

// Pairwise products a[i] b[i] in input order; stops at the shorter batch. A fault in any
// element, on any thread, aborts the whole batch.
[[nodiscard]] Buffer<FloatVec> geometric_product_batch(std::span<const FloatVec> a,
                                                        std::span<const FloatVec> b, Signature sig);

// The same over dense row-major batches: na rows of width wa, nb rows of width wb; out holds
// min(na, nb) rows of width wa. Every product runs through the code of the list batch.
void geometric_product_dense(const double* a, std::size_t na, std::size_t wa, const double* b, std::size_t nb,
                             std::size_t wb, Signature sig, double* out);

}  // namespace zan::multivector
