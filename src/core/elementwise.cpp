#include "core/elementwise.hpp"

#include "core/pool.hpp"

namespace zan::elementwise {

template <class Kernel>
void apply(const double* in, double* out, std::size_t n) {
    const Kernel k{};
    pool::map_index(n, Kernel::cost, out, [&](std::size_t i) { return k(in[i]); });
}

template <class Kernel>
void apply(const double* a, const double* b, double* out, std::size_t n) {
    const Kernel k{};
    pool::map_index(n, Kernel::cost, out, [&](std::size_t i) { return k(a[i], b[i]); });
}

template void apply<Ln>(const double*, double*, std::size_t);
template void apply<Exp>(const double*, double*, std::size_t);
template void apply<Sqrt>(const double*, double*, std::size_t);
template void apply<Sin>(const double*, double*, std::size_t);
template void apply<Cos>(const double*, double*, std::size_t);
template void apply<Add>(const double*, const double*, double*, std::size_t);
template void apply<Sub>(const double*, const double*, double*, std::size_t);
template void apply<Mul>(const double*, const double*, double*, std::size_t);
template void apply<Div>(const double*, const double*, double*, std::size_t);
template void apply<Pow>(const double*, const double*, double*, std::size_t);
template void apply<Tension>(const double*, const double*, double*, std::size_t);

}  // namespace zan::elementwise
