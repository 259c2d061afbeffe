// Value signatures of expressions: the program's values at five fixed probe inputs,
// compared bit for bit, so that expressions computing the same function (as IEEE
// arithmetic evaluates it at the probes) are recognised as one.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"

namespace zan::discover {

// Multipliers of the probe inputs, in probe order: γ, A, φ, ln 2, ζ(3).
inline constexpr std::array<double, 5> PROBE_CONSTANTS = {
    0.5772156649015328, 1.2824271291006226, 1.618033988749895, 0.6931471805599453, 1.2020569031595942,
};
inline constexpr std::size_t kProbeCount = PROBE_CONSTANTS.size();

// Input of variable i at probe k: (i + 1) times the probe constant, one rounding.
[[nodiscard]] inline double probe_input(std::size_t k, std::size_t i) noexcept {
    return static_cast<double>(i + 1) * PROBE_CONSTANTS[k];
}

// Bit patterns of the five probe values; equal exactly when the fingerprints are.
using ProbeBits = std::array<std::uint64_t, kProbeCount>;

// Ten signed integers: upper 32 bits of probe value k (sign-extended), then its lower
// 32 bits (zero-extended), for k = 0..4.
struct Fingerprint {
    std::array<std::int64_t, 2 * kProbeCount> v{};

    [[nodiscard]] static Fingerprint from_bits(const ProbeBits& bits) noexcept {
        Fingerprint f;
        for (std::size_t k = 0; k < kProbeCount; ++k) {
            const auto w = static_cast<std::int64_t>(bits[k]);
            f.v[2 * k] = w >> 32;
            f.v[2 * k + 1] = w & 0xFFFFFFFFll;
        }
        return f;
    }
    [[nodiscard]] ProbeBits bits() const noexcept {
        ProbeBits b{};
        for (std::size_t k = 0; k < kProbeCount; ++k)
            b[k] = (static_cast<std::uint64_t>(v[2 * k]) << 32) | static_cast<std::uint64_t>(v[2 * k + 1]);
        return b;
    }
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// The five probe values of the program (each finite), or nothing at the first probe
// without a finite value; the later probes are then not evaluated.
[[nodiscard]] std::optional<ProbeBits> probe_bits(const Expr& e, std::size_t n_vars,
                                                  std::span<const double> params = {});

[[nodiscard]] std::optional<Fingerprint> fingerprint(const Expr& e, std::size_t n_vars,
                                                     std::span<const double> params = {});

// 64-bit mix of the probe bits in order.
[[nodiscard]] inline std::uint64_t hash_bits(const ProbeBits& b) noexcept {
    std::uint64_t h = 0x243F6A8885A308D3ull;
    for (std::uint64_t w : b) {
        h ^= w;
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
    return h;
}

// Hash over the ten integers in order, consistent with Fingerprint equality.
struct FingerprintHash {
    [[nodiscard]] std::size_t operator()(const Fingerprint& f) const noexcept {
        return static_cast<std::size_t>(hash_bits(f.bits()));
    }
};

// Insert-only open-addressing set of fingerprints, stored densely as their probe bits in
// insertion order. The table holds per slot a control byte (seven bits of the hash) and
// the index of the key, so growing it moves no key and recomputes no hash. Not
// thread-safe.
class FingerprintSet {
public:
    FingerprintSet() { rehash(64); }

    // True when the fingerprint was new (and is now in the set).
    bool insert(const ProbeBits& key) { return insert(key, hash_bits(key)); }
    bool insert(const ProbeBits& key, std::uint64_t hash);
    bool insert(const Fingerprint& f) { return insert(f.bits()); }

    [[nodiscard]] bool contains(const ProbeBits& key) const noexcept;
    [[nodiscard]] bool contains(const Fingerprint& f) const noexcept { return contains(f.bits()); }
    [[nodiscard]] std::size_t size() const noexcept { return keys_.size(); }
    // Room for n keys in all without growing the table (the keys themselves grow as usual).
    void reserve(std::size_t n);

private:
    void rehash(std::size_t capacity);
    [[nodiscard]] static std::uint8_t tag(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(0x80u | (hash >> 57));
    }
    // The table grows past 3/4 full.
    [[nodiscard]] static std::size_t capacity_for(std::size_t n) noexcept;

    std::vector<std::uint8_t> ctrl_;   // 0: empty; else 0x80 | top seven hash bits
    std::vector<std::uint32_t> slot_;  // index into keys_ of an occupied slot
    std::vector<ProbeBits> keys_;
    std::vector<std::uint64_t> hashes_;
    std::size_t mask_ = 0;
};

}  // namespace zan::discover
