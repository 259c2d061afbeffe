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

void FingerprintSet::rehash(std::size_t capacity) {
    std::vector<std::uint8_t> old_ctrl(capacity, 0);
    std::vector<ProbeBits> old_keys(capacity);
    old_ctrl.swap(ctrl_);
    old_keys.swap(keys_);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < old_ctrl.size(); ++i) {
        if (old_ctrl[i] == 0) continue;
        std::size_t pos = hash_bits(old_keys[i]) & mask_;
        while (ctrl_[pos] != 0) pos = (pos + 1) & mask_;
        ctrl_[pos] = old_ctrl[i];
        keys_[pos] = old_keys[i];
    }
}

void FingerprintSet::reserve(std::size_t n) {
    std::size_t cap = ctrl_.size();
    while (cap < 2 * n) cap *= 2;
    if (cap != ctrl_.size()) rehash(cap);
}

bool FingerprintSet::insert(const ProbeBits& key, std::uint64_t hash) {
    if (2 * (size_ + 1) > ctrl_.size()) rehash(ctrl_.size() * 2);
    const std::uint8_t t = tag(hash);
    std::size_t pos = hash & mask_;
    while (ctrl_[pos] != 0) {
        if (ctrl_[pos] == t && keys_[pos] == key) return false;
        pos = (pos + 1) & mask_;
    }
    ctrl_[pos] = t;
    keys_[pos] = key;
    ++size_;
    return true;
}

bool FingerprintSet::contains(const ProbeBits& key) const noexcept {
    const std::uint64_t hash = hash_bits(key);
    const std::uint8_t t = tag(hash);
    std::size_t pos = hash & mask_;
    while (ctrl_[pos] != 0) {
        if (ctrl_[pos] == t && keys_[pos] == key) return true;
        pos = (pos + 1) & mask_;
    }
    return false;
}

}  // namespace zan::discover
