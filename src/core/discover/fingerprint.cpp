#include "core/discover/fingerprint.hpp"

#include <memory>

namespace zan::discover {

std::optional<ProbeBits> probe_bits(const Expr& e, std::size_t n_vars, std::span<const double> params) {
    // One probe input, refilled for each probe; small variable counts stay off the heap.
    constexpr std::size_t kInline = 16;
    double inline_x[kInline];
    std::unique_ptr<double[]> heap_x;
    double* x = inline_x;
    if (n_vars > kInline) {
        heap_x = std::make_unique<double[]>(n_vars);
        x = heap_x.get();
    }
    ProbeBits bits{};
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        for (std::size_t i = 0; i < n_vars; ++i) x[i] = probe_input(k, i);
        const std::optional<double> v = eval(e, std::span<const double>(x, n_vars), params);
        if (!v || !is_finite(*v)) return std::nullopt;
        bits[k] = std::bit_cast<std::uint64_t>(*v);
    }
    return bits;
}

std::optional<Fingerprint> fingerprint(const Expr& e, std::size_t n_vars, std::span<const double> params) {
    const std::optional<ProbeBits> b = probe_bits(e, n_vars, params);
    if (!b) return std::nullopt;
    return Fingerprint::from_bits(*b);
}

std::size_t FingerprintSet::capacity_for(std::size_t n) noexcept {
    std::size_t cap = 64;
    while (cap / 4 * 3 < n) cap *= 2;
    return cap;
}

void FingerprintSet::rehash(std::size_t capacity) {
    ctrl_.assign(capacity, 0);
    slot_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (std::size_t d = 0; d < keys_.size(); ++d) {
        std::size_t pos = hashes_[d] & mask_;
        while (ctrl_[pos] != 0) pos = (pos + 1) & mask_;
        ctrl_[pos] = tag(hashes_[d]);
        slot_[pos] = static_cast<std::uint32_t>(d);
    }
}

void FingerprintSet::reserve(std::size_t n) {
    const std::size_t cap = capacity_for(n);
    if (cap > ctrl_.size()) rehash(cap);
}

bool FingerprintSet::insert(const ProbeBits& key, std::uint64_t hash) {
    const std::uint8_t t = tag(hash);
    std::size_t pos = hash & mask_;
    while (ctrl_[pos] != 0) {
        if (ctrl_[pos] == t && keys_[slot_[pos]] == key) return false;
        pos = (pos + 1) & mask_;
    }
    const std::size_t d = keys_.size();
    keys_.push_back(key);
    hashes_.push_back(hash);
    if (capacity_for(d + 1) > ctrl_.size()) {
        rehash(capacity_for(d + 1));
    } else {
        ctrl_[pos] = t;
        slot_[pos] = static_cast<std::uint32_t>(d);
    }
    return true;
}

bool FingerprintSet::contains(const ProbeBits& key) const noexcept {
    const std::uint64_t hash = hash_bits(key);
    const std::uint8_t t = tag(hash);
    std::size_t pos = hash & mask_;
    while (ctrl_[pos] != 0) {
        if (ctrl_[pos] == t && keys_[slot_[pos]] == key) return true;
        pos = (pos + 1) & mask_;
    }
    return false;
}

}  // namespace zan::discover
