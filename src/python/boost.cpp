// boost_n: the Lorentz boost of ZANPoint.boost over lists of points, on the worker pool.
#include <span>

#include "core/boost.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

constexpr const char* kParams[] = {"points", "phis", "c"};
constexpr Signature kBoostN{"boost_n()", kParams, 3};

Ref boost_n(PyObject*, const Args& args) {
    const Buffer<XY> points = args.get(0, to_pairs);
    const FloatVec phis = args.get(1, to_float_list);
    const double c = args.get(2, to_float);
    const Buffer<XY> out = zan::boost_all(points, phis, c);
    return tuple_list(out);
}

}  // namespace

PyMethodDef boost_n_def = method_def<kBoostN, boost_n>(
    "boost_n",
    "boost_n(points, phis, c)\n--\n\n"
    "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
    "Returns Vec of (x', y') tuples.");

}  // namespace zan::py
