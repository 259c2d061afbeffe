// The elementwise batch functions: convert, map one kernel in parallel, collect.
#include "core/elementwise.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace ew = zan::elementwise;

template <class Kernel>
Ref unary(PyObject*, const Args& args) {
    FloatVec xs = args.get(0, to_float_list);
    return float_list(ew::map<Kernel>(std::move(xs)));
}

// The second list is converted only once the first has succeeded.
template <class Kernel>
Ref binary(PyObject*, const Args& args) {
    FloatVec as = args.get(0, to_float_list);
    FloatVec bs = args.get(1, to_float_list);
    return float_list(ew::map<Kernel>(std::move(as), bs));
}

constexpr const char* kXs[] = {"xs"};
constexpr const char* kYs[] = {"ys"};
constexpr const char* kAsBs[] = {"as_", "bs"};
constexpr const char* kXsYs[] = {"xs", "ys"};
constexpr const char* kBasesExps[] = {"bases", "exps"};

constexpr Signature kExp{"exp_n()", kXs, 1};
constexpr Signature kLn{"ln_n()", kYs, 1};
constexpr Signature kSqrt{"sqrt_n()", kXs, 1};
constexpr Signature kSin{"sin_n()", kXs, 1};
constexpr Signature kCos{"cos_n()", kXs, 1};
constexpr Signature kAdd{"add_n()", kAsBs, 2};
constexpr Signature kSub{"sub_n()", kAsBs, 2};
constexpr Signature kMul{"mul_n()", kAsBs, 2};
constexpr Signature kDiv{"div_n()", kAsBs, 2};
constexpr Signature kTension{"tension_n()", kXsYs, 2};
constexpr Signature kPow{"pow_n()", kBasesExps, 2};

}  // namespace

PyMethodDef exp_n_def = method_def<kExp, unary<ew::Exp>>(
    "exp_n", "exp_n(xs)\n--\n\nBatch exp: [exp(x) for x in xs] — Rayon parallel.");
PyMethodDef ln_n_def = method_def<kLn, unary<ew::Ln>>(
    "ln_n", "ln_n(ys)\n--\n\nBatch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied.");
PyMethodDef add_n_def = method_def<kAdd, binary<ew::Add>>(
    "add_n", "add_n(as_, bs)\n--\n\nBatch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel.");
PyMethodDef sub_n_def = method_def<kSub, binary<ew::Sub>>(
    "sub_n", "sub_n(as_, bs)\n--\n\nBatch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel.");
PyMethodDef mul_n_def = method_def<kMul, binary<ew::Mul>>(
    "mul_n", "mul_n(as_, bs)\n--\n\nBatch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel.");
PyMethodDef div_n_def = method_def<kDiv, binary<ew::Div>>(
    "div_n", "div_n(as_, bs)\n--\n\nBatch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel.");
PyMethodDef sqrt_n_def = method_def<kSqrt, unary<ew::Sqrt>>(
    "sqrt_n", "sqrt_n(xs)\n--\n\nBatch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel.");
PyMethodDef sin_n_def = method_def<kSin, unary<ew::Sin>>(
    "sin_n", "sin_n(xs)\n--\n\nBatch sin: [sin(x) for x in xs] — Rayon parallel.");
PyMethodDef cos_n_def = method_def<kCos, unary<ew::Cos>>(
    "cos_n", "cos_n(xs)\n--\n\nBatch cos: [cos(x) for x in xs] — Rayon parallel.");
PyMethodDef tension_n_def = method_def<kTension, binary<ew::Tension>>(
    "tension_n",
    "tension_n(xs, ys)\n--\n\nBatch zan_tension: [zan(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel.");
PyMethodDef pow_n_def = method_def<kPow, binary<ew::Pow>>(
    "pow_n",
    "pow_n(bases, exps)\n--\n\nBatch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel.");

}  // namespace zan::py
