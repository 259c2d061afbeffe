#include "core/pair.hpp"

#include <cmath>

namespace zan::pair {

double modulus(Pair a) noexcept { return std::sqrt(a.im * a.im + a.re * a.re); }

Pair rotate(Pair a, double angle) noexcept {
    const double s = std::sin(angle);
    const double co = std::cos(angle);
    return {co * a.re - s * a.im, co * a.im + s * a.re};
}

}  // namespace zan::pair
