// Octonion products. An octonion is eight coefficients on e0 (the real unit) .. e7; the
// product is fixed by the multiplication table below and is neither commutative nor
// associative.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "core/buffer.hpp"

namespace zan::octonion {

using Octonion = std::array<double, 8>;

// e_i * e_j = sign * e_index.
struct Unit {
    std::int8_t sign;
    std::uint8_t index;
};

// Row i is the left factor's basis element, column j the right factor's.
inline constexpr Unit kTable[8][8] = {
    {{+1, 0}, {+1, 1}, {+1, 2}, {+1, 3}, {+1, 4}, {+1, 5}, {+1, 6}, {+1, 7}},
    {{+1, 1}, {-1, 0}, {+1, 4}, {+1, 7}, {-1, 2}, {+1, 6}, {-1, 5}, {-1, 3}},
    {{+1, 2}, {-1, 4}, {-1, 0}, {+1, 5}, {+1, 1}, {-1, 3}, {+1, 7}, {-1, 6}},
    {{+1, 3}, {-1, 7}, {-1, 5}, {-1, 0}, {+1, 6}, {+1, 2}, {-1, 4}, {+1, 1}},
    {{+1, 4}, {+1, 2}, {-1, 1}, {-1, 6}, {-1, 0}, {+1, 7}, {+1, 3}, {-1, 5}},
    {{+1, 5}, {-1, 6}, {+1, 3}, {-1, 2}, {-1, 7}, {-1, 0}, {+1, 1}, {+1, 4}},
    {{+1, 6}, {+1, 5}, {-1, 7}, {+1, 4}, {-1, 3}, {-1, 1}, {-1, 0}, {+1, 2}},
    {{+1, 7}, {+1, 3}, {+1, 6}, {-1, 1}, {+1, 5}, {-1, 4}, {-1, 2}, {-1, 0}},
};

namespace detail {

// The rule the table encodes: e0 is the identity, e_i e_i = -e0, and for each triple
// (t, t+1, t+3) (indices cyclic in 1..7) every cyclic rotation (p, q, s) gives
// e_p e_q = +e_s and e_q e_p = -e_s.
constexpr bool table_follows_rule() {
    for (int i = 0; i < 8; ++i) {
        if (kTable[0][i].sign != 1 || kTable[0][i].index != i) return false;
        if (kTable[i][0].sign != 1 || kTable[i][0].index != i) return false;
    }
    for (int i = 1; i < 8; ++i)
        if (kTable[i][i].sign != -1 || kTable[i][i].index != 0) return false;
    auto cyc = [](int t) { return (t - 1) % 7 + 1; };
    for (int t = 1; t <= 7; ++t) {
        const int tri[3] = {t, cyc(t + 1), cyc(t + 3)};
        for (int rot = 0; rot < 3; ++rot) {
            const int p = tri[rot], q = tri[(rot + 1) % 3], s = tri[(rot + 2) % 3];
            if (kTable[p][q].sign != 1 || kTable[p][q].index != s) return false;
            if (kTable[q][p].sign != -1 || kTable[q][p].index != s) return false;
        }
    }
    return true;
}

}  // namespace detail

static_assert(detail::table_follows_rule(), "octonion table disagrees with its construction rule");

// a * b. Zero coefficients (of either sign) are skipped, so inf * 0 contributes nothing
// and a slot that receives no term stays +0.0; NaN never compares equal to zero and is
// never skipped. Each slot receives its terms in increasing order of i, each term being
// (s * a_i) * b_j added to the running value.
[[nodiscard]] inline Octonion multiply(const Octonion& a, const Octonion& b) noexcept {
    Octonion r{};
    for (int i = 0; i < 8; ++i) {
        const double ai = a[i];
        if (ai == 0.0) continue;
        for (int j = 0; j < 8; ++j) {
            const double bj = b[j];
            if (bj == 0.0) continue;
            const Unit u = kTable[i][j];
            const double term = static_cast<double>(u.sign) * ai * bj;
            r[u.index] = term + r[u.index];
        }
    }
    return r;
}

// Pairwise products a[i] * b[i] into out; stops at the shorter batch (out holds that many).
void multiply_into(std::span<const Octonion> a, std::span<const Octonion> b, Octonion* out);

[[nodiscard]] inline Buffer<Octonion> multiply_batch(std::span<const Octonion> a, std::span<const Octonion> b) {
    Buffer<Octonion> out(std::min(a.size(), b.size()));
    multiply_into(a, b, out.data());
    return out;
}

}  // namespace zan::octonion
