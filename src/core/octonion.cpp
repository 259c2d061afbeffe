#include "core/octonion.hpp"

#include <algorithm>

#include "core/pool.hpp"

namespace zan::octonion {

Buffer<Octonion> multiply_batch(std::span<const Octonion> a, std::span<const Octonion> b) {
    const std::size_t n = std::min(a.size(), b.size());
    Buffer<Octonion> out(n);
    const Octonion* pa = a.data();
    const Octonion* pb = b.data();
    pool::map_index(n, 40, out.data(), [&](std::size_t i) { return multiply(pa[i], pb[i]); });
    return out;
}

}  // namespace zan::octonion
