#include "core/octonion.hpp"

#include "core/frame.hpp"

namespace zan::octonion {

void multiply_into(std::span<const Octonion> a, std::span<const Octonion> b, Octonion* out) {
    frame::zip_into(a, b, 40, out, [](const Octonion& x, const Octonion& y) { return multiply(x, y); });
}

}  // namespace zan::octonion
