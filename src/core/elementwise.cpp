#include "core/elementwise.hpp"

#include "core/pool.hpp"

namespace zan::elementwise {
namespace {

// The loops over one block. Element i reads only index i of its inputs before writing
// out[i], so an output that is exactly an input carries no dependence between iterations
// (ivdep), and the compiler may vectorise without checking for overlap; partial overlaps
// never reach here (the array form copies such an input first). The kernels that call the
// C library stay scalar either way.
template <class Kernel>
void unary_loop(const double* in, double* out, std::size_t n) {
    const Kernel k{};
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out[i] = k(in[i]);
}

template <class Kernel>
void binary_loop(const double* a, const double* b, double* out, std::size_t n) {
    const Kernel k{};
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out[i] = k(a[i], b[i]);
}

// The same loops for machines with AVX2: four lanes per instruction, same IEEE operations.
template <class Kernel>
__attribute__((target("avx2"), optimize("tree-vectorize"))) void unary_loop_avx2(const double* in, double* out,
                                                                                 std::size_t n) {
    const Kernel k{};
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out[i] = k(in[i]);
}

template <class Kernel>
__attribute__((target("avx2"), optimize("tree-vectorize"))) void binary_loop_avx2(const double* a, const double* b,
                                                                                  double* out, std::size_t n) {
    const Kernel k{};
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out[i] = k(a[i], b[i]);
}

const bool kHasAvx2 = [] {
    __builtin_cpu_init();  // this may run before the runtime's own initialisation of the CPU model
    return __builtin_cpu_supports("avx2") != 0;
}();

}  // namespace

template <class Kernel>
void apply(const double* in, double* out, std::size_t n) {
    pool::for_blocks(n, Kernel::cost, [&](std::size_t b, std::size_t e) {
        if (kHasAvx2) {
            unary_loop_avx2<Kernel>(in + b, out + b, e - b);
        } else {
            unary_loop<Kernel>(in + b, out + b, e - b);
        }
    });
}

template <class Kernel>
void apply(const double* a, const double* b, double* out, std::size_t n) {
    pool::for_blocks(n, Kernel::cost, [&](std::size_t begin, std::size_t end) {
        if (kHasAvx2) {
            binary_loop_avx2<Kernel>(a + begin, b + begin, out + begin, end - begin);
        } else {
            binary_loop<Kernel>(a + begin, b + begin, out + begin, end - begin);
        }
    });
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
