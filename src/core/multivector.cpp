#include "core/multivector.hpp"

#include <immintrin.h>

#include <algorithm>

#include "core/pool.hpp"

namespace zan::multivector {
namespace {

// Work grows with the square of a product's width; the estimate only decides whether
// waking the pool pays off.
[[nodiscard]] double cost_per_product(double mean_square_width) noexcept { return 20.0 + mean_square_width; }

// One product a b -> r whose factors all come from the table (a and r as wide as the
// table, b at least as wide).
struct Product {
    const double* a;
    const double* b;
    double* r;
};

// The table loop of geometric_product_into, one product at a time.
void products_scalar(const Product* ps, std::size_t count, const SignTable& table) {
    const std::size_t m = table.width();
    for (std::size_t p = 0; p < count; ++p) {
        const double* a = ps[p].a;
        const double* b = ps[p].b;
        double* r = ps[p].r;
        std::fill_n(r, m, 0.0);
        for (std::size_t i = 0; i < m; ++i) {
            const double ai = a[i];
            if (ai == 0.0) continue;
            const double* g = table.row(i);
            for (std::size_t j = 0; j < m; ++j) {
                const double bj = b[j];
                if (bj == 0.0) continue;
                const std::size_t k = i ^ j;
                r[k] = bj * (g[j] * ai) + r[k];
            }
        }
    }
}

// Four products side by side, one per lane: every lane receives exactly the operations of
// products_scalar, in its order, and a term whose a[i] or b[j] is zero (either sign) is
// masked out rather than skipped.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kMaxWidth = SignTable::kMaxWidth;

// When both operands are NaN the result carries the first source's payload. The compiler
// may swap the operands of a product or a sum it sees, so the order is pinned here to the
// one the scalar loops compile to: (g * a[i]) before b[j], the new term before r[k].
__attribute__((target("avx2"))) inline __m256d mul_keep_first(__m256d first, __m256d second) {
    __m256d r;
    asm("vmulpd %2, %1, %0" : "=x"(r) : "x"(first), "x"(second));
    return r;
}
__attribute__((target("avx2"))) inline __m256d add_keep_first(__m256d first, __m256d second) {
    __m256d r;
    asm("vaddpd %2, %1, %0" : "=x"(r) : "x"(first), "x"(second));
    return r;
}

__attribute__((target("avx2"))) void products_avx2(const Product* ps, std::size_t count, const SignTable& table) {
    const std::size_t m = table.width();
    alignas(32) double zero_row[kMaxWidth] = {};
    double scratch[kLanes][kMaxWidth];
    __m256d A[kMaxWidth], B[kMaxWidth], nzA[kMaxWidth], nzB[kMaxWidth], R[kMaxWidth];
    const __m256d zero = _mm256_setzero_pd();
    for (std::size_t p = 0; p < count; p += kLanes) {
        const std::size_t lanes = std::min(kLanes, count - p);
        const double* a[kLanes];
        const double* b[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            a[l] = l < lanes ? ps[p + l].a : zero_row;  // an all-zero lane contributes no term
            b[l] = l < lanes ? ps[p + l].b : zero_row;
        }
        for (std::size_t i = 0; i < m; ++i) {
            A[i] = _mm256_setr_pd(a[0][i], a[1][i], a[2][i], a[3][i]);
            B[i] = _mm256_setr_pd(b[0][i], b[1][i], b[2][i], b[3][i]);
            nzA[i] = _mm256_cmp_pd(A[i], zero, _CMP_NEQ_UQ);  // NaN is never zero
            nzB[i] = _mm256_cmp_pd(B[i], zero, _CMP_NEQ_UQ);
            R[i] = zero;
        }
        for (std::size_t i = 0; i < m; ++i) {
            if (_mm256_movemask_pd(nzA[i]) == 0) continue;
            const __m256d ai = A[i];
            const __m256d nza = nzA[i];
            const double* g = table.row(i);
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t k = i ^ j;
                const __m256d t = _mm256_mul_pd(_mm256_set1_pd(g[j]), ai);  // g is never NaN
                const __m256d sum = add_keep_first(mul_keep_first(t, B[j]), R[k]);
                R[k] = _mm256_blendv_pd(R[k], sum, _mm256_and_pd(nza, nzB[j]));
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            alignas(32) double lane[kLanes];
            _mm256_store_pd(lane, R[k]);
            for (std::size_t l = 0; l < lanes; ++l) scratch[l][k] = lane[l];
        }
        for (std::size_t l = 0; l < lanes; ++l) std::copy_n(scratch[l], m, ps[p + l].r);
    }
}

// Eight products side by side with AVX-512: the lanes and the operand order of
// products_avx2, a zero term's lane left out by a write mask instead of a blend.
constexpr std::size_t kWideLanes = 8;
constexpr std::size_t kTargets = 4;

__attribute__((target("avx512f"))) inline __m512d mul_keep_first(__m512d first, __m512d second) {
    __m512d r;
    asm("vmulpd %2, %1, %0" : "=v"(r) : "v"(first), "v"(second));
    return r;
}
// first + r in the lanes of mask, r elsewhere; first's payload when both are NaN.
__attribute__((target("avx512f"))) inline __m512d masked_add_keep_first(__m512d r, __mmask8 mask, __m512d first) {
    asm("vaddpd %0, %1, %0%{%2%}" : "+v"(r) : "v"(first), "Yk"(mask));
    return r;
}

__attribute__((target("avx512f"))) void products_avx512(const Product* ps, std::size_t count,
                                                        const SignTable& table) {
    const std::size_t m = table.width();
    alignas(64) double zero_row[kMaxWidth] = {};
    double scratch[kWideLanes][kMaxWidth];
    __m512d A[kMaxWidth], B[kMaxWidth], R[kMaxWidth];
    __mmask8 nzA[kMaxWidth], nzB[kMaxWidth];
    const __m512d zero = _mm512_setzero_pd();
    for (std::size_t p = 0; p < count; p += kWideLanes) {
        const std::size_t lanes = std::min(kWideLanes, count - p);
        const double* a[kWideLanes];
        const double* b[kWideLanes];
        for (std::size_t l = 0; l < kWideLanes; ++l) {
            a[l] = l < lanes ? ps[p + l].a : zero_row;  // an all-zero lane contributes no term
            b[l] = l < lanes ? ps[p + l].b : zero_row;
        }
        for (std::size_t i = 0; i < m; ++i) {
            A[i] = _mm512_setr_pd(a[0][i], a[1][i], a[2][i], a[3][i], a[4][i], a[5][i], a[6][i], a[7][i]);
            B[i] = _mm512_setr_pd(b[0][i], b[1][i], b[2][i], b[3][i], b[4][i], b[5][i], b[6][i], b[7][i]);
            nzA[i] = _mm512_cmp_pd_mask(A[i], zero, _CMP_NEQ_UQ);  // NaN is never zero
            nzB[i] = _mm512_cmp_pd_mask(B[i], zero, _CMP_NEQ_UQ);
            R[i] = zero;
        }
        if (m >= kTargets) {
            // Target blades four at a time, each summing its terms in increasing i in a
            // register of its own: the four sums are independent, so their additions overlap.
            for (std::size_t k = 0; k < m; k += kTargets) {
                __m512d acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;  // named: kept in registers
                const double* g0 = table.target(k);
                const double* g1 = table.target(k + 1);
                const double* g2 = table.target(k + 2);
                const double* g3 = table.target(k + 3);
                for (std::size_t i = 0; i < m; ++i) {
                    const __mmask8 nza = nzA[i];
                    const __m512d ai = A[i];
                    const std::size_t j = i ^ k;  // j ^ 1, j ^ 2, j ^ 3 for the next targets
                    // g is never NaN, so the order of g * a[i] does not matter.
                    acc0 = masked_add_keep_first(acc0, nza & nzB[j],
                                                 mul_keep_first(_mm512_mul_pd(_mm512_set1_pd(g0[i]), ai), B[j]));
                    acc1 = masked_add_keep_first(acc1, nza & nzB[j ^ 1],
                                                 mul_keep_first(_mm512_mul_pd(_mm512_set1_pd(g1[i]), ai), B[j ^ 1]));
                    acc2 = masked_add_keep_first(acc2, nza & nzB[j ^ 2],
                                                 mul_keep_first(_mm512_mul_pd(_mm512_set1_pd(g2[i]), ai), B[j ^ 2]));
                    acc3 = masked_add_keep_first(acc3, nza & nzB[j ^ 3],
                                                 mul_keep_first(_mm512_mul_pd(_mm512_set1_pd(g3[i]), ai), B[j ^ 3]));
                }
                R[k] = acc0;
                R[k + 1] = acc1;
                R[k + 2] = acc2;
                R[k + 3] = acc3;
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) {
                const __mmask8 nza = nzA[i];
                if (nza == 0) continue;
                const __m512d ai = A[i];
                const double* g = table.row(i);
                for (std::size_t j = 0; j < m; ++j) {
                    const std::size_t k = i ^ j;
                    const __m512d t = _mm512_mul_pd(_mm512_set1_pd(g[j]), ai);  // g is never NaN
                    R[k] = masked_add_keep_first(R[k], nza & nzB[j], mul_keep_first(t, B[j]));
                }
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            alignas(64) double lane[kWideLanes];
            _mm512_store_pd(lane, R[k]);
            for (std::size_t l = 0; l < lanes; ++l) scratch[l][k] = lane[l];
        }
        for (std::size_t l = 0; l < lanes; ++l) std::copy_n(scratch[l], m, ps[p + l].r);
    }
}

enum class Isa { kScalar, kAvx2, kAvx512 };

const Isa kIsa = [] {
    __builtin_cpu_init();  // this may run before the runtime's own initialisation of the CPU model
    if (__builtin_cpu_supports("avx512f")) return Isa::kAvx512;
    if (__builtin_cpu_supports("avx2")) return Isa::kAvx2;
    return Isa::kScalar;
}();

void products(const Product* ps, std::size_t count, const SignTable& table) {
    switch (kIsa) {
        case Isa::kAvx512: products_avx512(ps, count, table); break;
        case Isa::kAvx2: products_avx2(ps, count, table); break;
        case Isa::kScalar: products_scalar(ps, count, table); break;
    }
}

// Collects the table-eligible products of a block and runs them in groups; every other
// product (its width not the table's, or b too short: it may fault) runs on its own, in
// order, through geometric_product_into.
class Batcher {
public:
    Batcher(const Metric& metric, const SignTable& table) : metric_(metric), table_(table) {}

    void add(std::span<const double> a, std::span<const double> b, double* r) {
        if (a.size() != table_.width() || b.size() < a.size()) {
            geometric_product_into(a, b, metric_, table_, r);
            return;
        }
        pending_[count_++] = {a.data(), b.data(), r};
        if (count_ == kGroup) flush();
    }
    void flush() {
        products(pending_, count_, table_);
        count_ = 0;
    }

private:
    static constexpr std::size_t kGroup = 64;
    const Metric& metric_;
    const SignTable& table_;
    Product pending_[kGroup];
    std::size_t count_ = 0;
};

}  // namespace

SignTable::SignTable(std::size_t m, const Metric& metric, std::size_t sig_size) {
    if (m == 0 || m > kMaxWidth || !std::has_single_bit(m) ||
        static_cast<std::size_t>(std::countr_zero(m)) > sig_size)
        return;
    width_ = m;
    factors_.resize(m * m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t parity_i = swap_parity_mask(i);
        for (std::size_t j = 0; j < m; ++j)
            factors_[i * m + j] = negate_if(metric.factor(i & j), std::popcount(j & parity_i) & 1u);
    }
    by_target_.resize(m * m);
    for (std::size_t k = 0; k < m; ++k)
        for (std::size_t i = 0; i < m; ++i) by_target_[k * m + i] = factors_[i * m + (i ^ k)];
}

void geometric_product_into(std::span<const double> a, std::span<const double> b, const Metric& metric,
                            const SignTable& table, double* r) {
    const std::size_t n = a.size();
    if (n == table.width() && b.size() >= n) {
        const Product p{a.data(), b.data(), r};
        products(&p, 1, table);
        return;
    }
    std::fill_n(r, n, 0.0);
    const std::size_t nb = std::min(n, b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const double ai = a[i];
        if (ai == 0.0) continue;
        const std::uint64_t parity_i = swap_parity_mask(i);
        for (std::size_t j = 0; j < nb; ++j) {
            const double bj = b[j];
            if (bj == 0.0) continue;
            const double g = negate_if(metric.factor(i & j), std::popcount(j & parity_i) & 1u);
            const std::size_t k = i ^ j;
            if (k >= n) panic(index_out_of_bounds(n, k));
            r[k] = bj * (g * ai) + r[k];
        }
        if (nb < n) panic(index_out_of_bounds(b.size(), b.size()));
    }
}

Buffer<FloatVec> geometric_product_batch(std::span<const FloatVec> a, std::span<const FloatVec> b,
                                          Signature sig) {
    const std::size_t n = std::min(a.size(), b.size());
    double terms = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto len = static_cast<double>(a[i].size());
        terms += len * len;
    }
    const double cost_ns = n == 0 ? 0.0 : cost_per_product(terms / static_cast<double>(n));

    const Metric metric(sig);
    const SignTable table(n == 0 ? 0 : a[0].size(), metric, sig.size());
    Buffer<FloatVec> out(n);
    pool::for_blocks(n, cost_ns, [&](std::size_t begin, std::size_t end) {
        Batcher batcher(metric, table);
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = FloatVec(a[i].size());
            batcher.add(a[i], b[i], out[i].data());
        }
        batcher.flush();
    });
    return out;
}

void geometric_product_dense(const double* a, std::size_t na, std::size_t wa, const double* b, std::size_t nb,
                             std::size_t wb, Signature sig, double* out) {
    const std::size_t n = std::min(na, nb);
    const auto w = static_cast<double>(wa);
    const Metric metric(sig);
    const SignTable table(wa, metric, sig.size());
    pool::for_blocks(n, cost_per_product(w * w), [&](std::size_t begin, std::size_t end) {
        Batcher batcher(metric, table);
        for (std::size_t i = begin; i < end; ++i) batcher.add({a + i * wa, wa}, {b + i * wb, wb}, out + i * wa);
        batcher.flush();
    });
}

}  // namespace zan::multivector
