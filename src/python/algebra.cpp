// Algebra and geometry batches: Schwarzschild Christoffel symbols, octonion products and
// geometric products, each converted in parameter order, then mapped over the pool.
#include "core/metric.hpp"
#include "core/multivector.hpp"
#include "core/octonion.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

#include <type_traits>

namespace zan::py {
namespace {

static_assert(std::is_same_v<XY, metric::Point> && std::is_same_v<Row8, octonion::Octonion>);

Ref christoffel_batch_n(PyObject*, const Args& args) {
    Buffer<XY> points = args.get(0, to_pairs);
    const metric::Indices idx{args.get(1, to_uint64), args.get(2, to_uint64), args.get(3, to_uint64)};
    const double rs = args.get(4, to_float);
    return float_list(metric::christoffel_batch(points, idx, rs));
}

Ref octonion_mul_n(PyObject*, const Args& args) {
    Buffer<Row8> a = args.get(0, to_rows8);
    Buffer<Row8> b = args.get(1, to_rows8);
    return nested_float_lists(octonion::multiply_batch(a, b));
}

Ref geometric_product_n(PyObject*, const Args& args) {
    std::vector<FloatVec> a = args.get(0, to_float_lists);
    std::vector<FloatVec> b = args.get(1, to_float_lists);
    std::vector<std::int8_t> sig = args.get(2, to_small_ints);
    return nested_float_lists(multivector::geometric_product_batch(a, b, sig));
}

constexpr const char* kChristoffelParams[] = {"points", "lam", "mu", "nu", "rs"};
constexpr const char* kBatchPair[] = {"a_batch", "b_batch"};
constexpr const char* kGeometricParams[] = {"a_batch", "b_batch", "signature"};

constexpr Signature kChristoffel{"christoffel_batch_n()", kChristoffelParams, 5};
constexpr Signature kOctonion{"octonion_mul_n()", kBatchPair, 2};
constexpr Signature kGeometric{"geometric_product_n()", kGeometricParams, 3};

}  // namespace

PyMethodDef christoffel_batch_n_def = method_def<kChristoffel, christoffel_batch_n>(
    "christoffel_batch_n",
    "christoffel_batch_n(points, lam, mu, nu, rs)\n--\n\n"
    "Batch Schwarzschild Christoffel evaluation.\n"
    "points: Vec of (x, _) where r = exp(x).\n"
    "Returns Vec of \u0393^lam_{mu nu} values for each point.");
PyMethodDef octonion_mul_n_def = method_def<kOctonion, octonion_mul_n>(
    "octonion_mul_n",
    "octonion_mul_n(a_batch, b_batch)\n--\n\n"
    "Batch octonion multiplication (Rayon parallel).\n"
    "a_batch, b_batch: each is a Vec of 8-element float lists.\n"
    "Returns Vec of 8-element results.");
PyMethodDef geometric_product_n_def = method_def<kGeometric, geometric_product_n>(
    "geometric_product_n",
    "geometric_product_n(a_batch, b_batch, signature)\n--\n\n"
    "Batch geometric product (Rayon parallel).\n"
    "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
    "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
    "Returns Vec of result coefficient arrays.");

}  // namespace zan::py
