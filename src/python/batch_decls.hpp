// The parallel batch functions, each declared once: its Python name, parameter names,
// docstring text, parameter kinds and core call. batch_forms.hpp generates the list form
// (zan_core) and the array form (zan_math.arrays) of each from this one declaration.
// Adding a batch function: declare it here, list it in AllBatches, register its list form
// in zan_core (registry.hpp, module.cpp) and add both stubs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>

#include "core/boost.hpp"
#include "core/elementwise.hpp"
#include "core/metric.hpp"
#include "core/multivector.hpp"
#include "core/octonion.hpp"
#include "python/batch_forms.hpp"

namespace zan::py::batch {

namespace ew = zan::elementwise;

static_assert(std::is_same_v<XY, metric::Point> && std::is_same_v<Row8, octonion::Octonion>);

// ---- Elementwise --------------------------------------------------------------------------

template <class Kernel>
struct Unary {
    using Params = std::tuple<Column>;
    using Result = Column;
    static void compute(double* out, std::span<const double> xs) { ew::apply<Kernel>(xs.data(), out, xs.size()); }
};

template <class Kernel>
struct Binary {
    using Params = std::tuple<Column, Column>;
    using Result = Column;
    static void compute(double* out, std::span<const double> a, std::span<const double> b) {
        ew::apply<Kernel>(a.data(), b.data(), out, std::min(a.size(), b.size()));
    }
};

inline constexpr const char* kXs[] = {"xs"};
inline constexpr const char* kAsBs[] = {"as_", "bs"};

struct exp_n : Unary<ew::Exp> {
    static constexpr const char* name = "exp_n";
    static constexpr auto& params = kXs;
    static constexpr const char* doc = "Batch exp: [exp(x) for x in xs] — Rayon parallel.";
};
struct ln_n : Unary<ew::Ln> {
    static constexpr const char* name = "ln_n";
    static constexpr const char* params[] = {"ys"};
    static constexpr const char* doc = "Batch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied.";
};
struct add_n : Binary<ew::Add> {
    static constexpr const char* name = "add_n";
    static constexpr auto& params = kAsBs;
    static constexpr const char* doc = "Batch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel.";
};
struct sub_n : Binary<ew::Sub> {
    static constexpr const char* name = "sub_n";
    static constexpr auto& params = kAsBs;
    static constexpr const char* doc = "Batch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel.";
};
struct mul_n : Binary<ew::Mul> {
    static constexpr const char* name = "mul_n";
    static constexpr auto& params = kAsBs;
    static constexpr const char* doc = "Batch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel.";
};
struct div_n : Binary<ew::Div> {
    static constexpr const char* name = "div_n";
    static constexpr auto& params = kAsBs;
    static constexpr const char* doc = "Batch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel.";
};
struct sqrt_n : Unary<ew::Sqrt> {
    static constexpr const char* name = "sqrt_n";
    static constexpr auto& params = kXs;
    static constexpr const char* doc = "Batch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel.";
};
struct sin_n : Unary<ew::Sin> {
    static constexpr const char* name = "sin_n";
    static constexpr auto& params = kXs;
    static constexpr const char* doc = "Batch sin: [sin(x) for x in xs] — Rayon parallel.";
};
struct cos_n : Unary<ew::Cos> {
    static constexpr const char* name = "cos_n";
    static constexpr auto& params = kXs;
    static constexpr const char* doc = "Batch cos: [cos(x) for x in xs] — Rayon parallel.";
};
struct tension_n : Binary<ew::Tension> {
    static constexpr const char* name = "tension_n";
    static constexpr const char* params[] = {"xs", "ys"};
    static constexpr const char* doc = "Batch zan_tension: [zan(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel.";
};
struct pow_n : Binary<ew::Pow> {
    static constexpr const char* name = "pow_n";
    static constexpr const char* params[] = {"bases", "exps"};
    static constexpr const char* doc = "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel.";
};

// ---- Boost, Christoffel symbols, octonions, geometric products -------------------------------

struct boost_n {
    static constexpr const char* name = "boost_n";
    static constexpr const char* params[] = {"points", "phis", "c"};
    static constexpr const char* doc =
        "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
        "Returns Vec of (x', y') tuples.";
    using Params = std::tuple<Pairs, Column, Real>;
    using Result = Pairs;
    static void compute(XY* out, std::span<const XY> points, std::span<const double> phis, double c) {
        boost_into(points, phis, c, out);
    }
};

struct christoffel_batch_n {
    static constexpr const char* name = "christoffel_batch_n";
    static constexpr const char* params[] = {"points", "lam", "mu", "nu", "rs"};
    static constexpr const char* doc =
        "Batch Schwarzschild Christoffel evaluation.\n"
        "points: Vec of (x, _) where r = exp(x).\n"
        "Returns Vec of \u0393^lam_{mu nu} values for each point.";
    using Params = std::tuple<Pairs, Index, Index, Index, Real>;
    using Result = Column;
    static void compute(double* out, std::span<const XY> points, std::uint64_t lam, std::uint64_t mu,
                        std::uint64_t nu, double rs) {
        metric::christoffel_into(points, {lam, mu, nu}, rs, out);
    }
};

struct octonion_mul_n {
    static constexpr const char* name = "octonion_mul_n";
    static constexpr const char* params[] = {"a_batch", "b_batch"};
    static constexpr const char* doc =
        "Batch octonion multiplication (Rayon parallel).\n"
        "a_batch, b_batch: each is a Vec of 8-element float lists.\n"
        "Returns Vec of 8-element results.";
    using Params = std::tuple<Octonions, Octonions>;
    using Result = Octonions;
    static void compute(Row8* out, std::span<const Row8> a, std::span<const Row8> b) {
        octonion::multiply_into(a, b, out);
    }
};

struct geometric_product_n {
    static constexpr const char* name = "geometric_product_n";
    static constexpr const char* params[] = {"a_batch", "b_batch", "signature"};
    static constexpr const char* doc =
        "Batch geometric product (Rayon parallel).\n"
        "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
        "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
        "Returns Vec of result coefficient arrays.";
    using Params = std::tuple<Multivectors, Multivectors, SmallInts>;
    using Result = Multivectors;
    // Lists: rows of their own lengths; arrays: dense rows. The same product code runs either way.
    static void compute(Buffer<FloatVec>& out, std::span<const FloatVec> a, std::span<const FloatVec> b,
                        std::span<const std::int8_t> sig) {
        out = multivector::geometric_product_batch(a, b, sig);
    }
    static void compute(double* out, Dense a, Dense b, std::span<const std::int8_t> sig) {
        multivector::geometric_product_dense(a.data, a.rows, a.width, b.data, b.rows, b.width, sig, out);
    }
};

template <class... D>
struct List {};

// Every parallel batch function, in zan_core's registration order.
using AllBatches = List<boost_n, exp_n, ln_n, add_n, sub_n, mul_n, div_n, sqrt_n, sin_n, cos_n, tension_n, pow_n,
                        christoffel_batch_n, octonion_mul_n, geometric_product_n>;

}  // namespace zan::py::batch
