#include "core/octonion.hpp"

#include "core/frame.hpp"

namespace zan::octonion {

Buffer<Octonion> multiply_batch(std::span<const Octonion> a, std::span<const Octonion> b) {
    return frame::zip_collect<Octonion>(a, b, 40, [](const Octonion& x, const Octonion& y) { return multiply(x, y); });
}

}  // namespace zan::octonion
