// The operators of expression programs, each defined once: name, arity, guarded value,
// partial derivatives and renderings, in the table kOperators. The row and column
// evaluators, the fingerprints, the text forms, the classic search and the fitting of
// constants all read that table, so no operator rule is written twice.
//
// Every value is computed with the guards of core/guards.hpp; a failed domain test gives
// NaN, and the evaluators treat every non-finite result as "no value".
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "core/guards.hpp"

namespace zan::discover {

// The code is the position in this list. Codes never change meaning: fingerprints and the
// classic search's enumeration order depend on 0..12, so new operators are appended.
enum class Operator : std::uint8_t { Neg, Inv, Exp, Ln, Sqrt, Sin, Cos, Abs, Zan, Add, Sub, Mul, Div, Square };

inline constexpr std::size_t kOperatorCount = 14;

// ∂r/∂a and ∂r/∂b of r = op(a, b); db is 0 for a unary operator.
struct Partials {
    double da;
    double db;
};

// A text rewrite of to_latex / to_python: every `from` becomes `to`; when `close` is not
// empty, `from` ends with "(" and the parenthesis closing it becomes `close`.
struct TextRewrite {
    std::string_view from;
    std::string_view to;
    std::string_view close;
};

struct OperatorInfo {
    Operator op;
    std::string_view name;  // the program token's name, e.g. ("op", "div")
    unsigned arity;         // 1 or 2
    bool commutative;       // binary: op(a, b) and op(b, a) agree bit for bit
    // The value, NaN when the domain test fails. The tests are ordered comparisons, so a
    // NaN operand passes them and yields NaN. b is ignored by a unary operator.
    double (*value)(double a, double b) noexcept;
    // The partial derivatives at (a, b), where value gave the finite r. They may be
    // non-finite where the derivative is unbounded (sqrt at 0, 1/a near 0): callers that
    // need a finite Jacobian test it.
    Partials (*partials)(double a, double b, double r) noexcept;
    // to_string: prefix, left operand, [middle, right operand], suffix.
    std::string_view prefix;
    std::string_view middle;
    std::string_view suffix;
    std::string_view symbol;  // infix symbol of an arithmetic binary operator, else empty
    TextRewrite latex;        // rewrite of the text form in to_latex (empty `from`: none)
    TextRewrite python;       // rewrite of the text form in to_python (empty `from`: none)
};

// ---- kernels ------------------------------------------------------------------------

namespace kernels {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double neg(double a, double) noexcept { return -a; }
inline double inv(double a, double) noexcept { return guarded_div(1.0, a); }
inline double exp(double a, double) noexcept { return std::exp(a); }
inline double ln(double a, double) noexcept { return a <= 0.0 ? kNaN : std::log(a); }
inline double sqrt(double a, double) noexcept { return a < 0.0 ? kNaN : std::sqrt(a); }
inline double sin(double a, double) noexcept { return std::sin(a); }
inline double cos(double a, double) noexcept { return std::cos(a); }
inline double abs(double a, double) noexcept { return std::fabs(a); }
inline double zan(double a, double b) noexcept { return zan_tension(a, b); }
inline double add(double a, double b) noexcept { return a + b; }
inline double sub(double a, double b) noexcept { return a - b; }
inline double mul(double a, double b) noexcept { return a * b; }
inline double div(double a, double b) noexcept { return guarded_div(a, b); }
inline double square(double a, double) noexcept { return a * a; }

inline Partials d_neg(double, double, double) noexcept { return {-1.0, 0.0}; }
// -1/a² as -r², which stays finite wherever r² does
inline Partials d_inv(double, double, double r) noexcept { return {-(r * r), 0.0}; }
inline Partials d_exp(double, double, double r) noexcept { return {r, 0.0}; }
inline Partials d_ln(double a, double, double) noexcept { return {1.0 / a, 0.0}; }
// +inf at a == 0, where the slope is unbounded
inline Partials d_sqrt(double, double, double r) noexcept { return {0.5 / r, 0.0}; }
inline Partials d_sin(double a, double, double) noexcept { return {std::cos(a), 0.0}; }
inline Partials d_cos(double a, double, double) noexcept { return {-std::sin(a), 0.0}; }
inline Partials d_abs(double a, double, double) noexcept { return {a > 0.0 ? 1.0 : (a < 0.0 ? -1.0 : 0.0), 0.0}; }
// E(a) - ln(G(b)): dE/da, and -G'(b)/G(b) (zero where G is floored)
inline Partials d_zan(double a, double b, double) noexcept {
    return {guarded_exp_slope(a), -positive_guard_slope(b) / positive_guard(b)};
}
inline Partials d_add(double, double, double) noexcept { return {1.0, 1.0}; }
inline Partials d_sub(double, double, double) noexcept { return {1.0, -1.0}; }
inline Partials d_mul(double a, double b, double) noexcept { return {b, a}; }
// -a/b² as -r/b, which stays finite wherever r does and b is not tiny
inline Partials d_div(double, double b, double r) noexcept { return {1.0 / b, -r / b}; }
inline Partials d_square(double a, double, double) noexcept { return {2.0 * a, 0.0}; }

}  // namespace kernels

// ---- the table ----------------------------------------------------------------------

inline constexpr OperatorInfo kOperators[kOperatorCount] = {
    {Operator::Neg, "neg", 1, false, kernels::neg, kernels::d_neg, "(-", "", ")", "", {}, {}},
    {Operator::Inv, "inv", 1, false, kernels::inv, kernels::d_inv, "(1/", "", ")", "", {}, {}},
    {Operator::Exp, "exp", 1, false, kernels::exp, kernels::d_exp, "exp(", "", ")", "",
     {"exp(", "\\exp(", ""}, {"exp(", "math.exp(", ""}},
    {Operator::Ln, "ln", 1, false, kernels::ln, kernels::d_ln, "ln(", "", ")", "",
     {"ln(", "\\ln(", ""}, {"ln(", "math.log(", ""}},
    {Operator::Sqrt, "sqrt", 1, false, kernels::sqrt, kernels::d_sqrt, "sqrt(", "", ")", "",
     {"sqrt(", "\\sqrt{", "}"}, {"sqrt(", "math.sqrt(", ""}},
    {Operator::Sin, "sin", 1, false, kernels::sin, kernels::d_sin, "sin(", "", ")", "",
     {"sin(", "\\sin(", ""}, {"sin(", "math.sin(", ""}},
    {Operator::Cos, "cos", 1, false, kernels::cos, kernels::d_cos, "cos(", "", ")", "",
     {"cos(", "\\cos(", ""}, {"cos(", "math.cos(", ""}},
    {Operator::Abs, "abs", 1, false, kernels::abs, kernels::d_abs, "abs(", "", ")", "", {}, {}},
    {Operator::Zan, "zan", 2, false, kernels::zan, kernels::d_zan, "zan(", ", ", ")", "",
     {"zan(", "\\mathrm{zan}(", ""}, {}},
    {Operator::Add, "add", 2, true, kernels::add, kernels::d_add, "(", " + ", ")", "+", {}, {}},
    {Operator::Sub, "sub", 2, false, kernels::sub, kernels::d_sub, "(", " - ", ")", "-", {}, {}},
    {Operator::Mul, "mul", 2, true, kernels::mul, kernels::d_mul, "(", " * ", ")", "*", {}, {}},
    {Operator::Div, "div", 2, false, kernels::div, kernels::d_div, "(", " / ", ")", "/", {}, {}},
    {Operator::Square, "square", 1, false, kernels::square, kernels::d_square, "(", "", " ^ 2)", "",
     {" ^ 2)", "^{2})", ""}, {" ^ 2)", "**2)", ""}},
};

namespace detail {
[[nodiscard]] consteval bool table_in_code_order() {
    for (std::size_t i = 0; i < kOperatorCount; ++i)
        if (static_cast<std::size_t>(kOperators[i].op) != i) return false;
    return true;
}
}  // namespace detail
static_assert(detail::table_in_code_order(), "row i of kOperators must define operator code i");

// Precondition: op is one of the enumerators.
[[nodiscard]] constexpr const OperatorInfo& info(Operator op) noexcept {
    return kOperators[static_cast<std::size_t>(op)];
}

// A code outside the table counts as binary, as codes from 8 on did before Square.
[[nodiscard]] constexpr std::size_t arity(Operator op) noexcept {
    const auto i = static_cast<std::size_t>(op);
    return i < kOperatorCount ? kOperators[i].arity : 2;
}

// The operator with that name, or false.
[[nodiscard]] constexpr bool operator_named(std::string_view name, Operator& out) noexcept {
    for (const OperatorInfo& row : kOperators)
        if (row.name == name) {
            out = row.op;
            return true;
        }
    return false;
}

// Finite: neither NaN nor an infinity.
[[nodiscard]] inline bool is_finite(double v) noexcept {
    return std::fabs(v) <= std::numeric_limits<double>::max();
}

// Calls f with the operator's code as a compile-time constant, so that f can inline that
// row's kernels; `fallback` for a code outside the table. Adding an operator adds a case.
//
// The evaluators' inline entry points are hidden: each shared object calls its own copy
// directly (an exported inline function would be reached through the PLT per block).
template <class R, class F>
[[nodiscard, gnu::always_inline]] inline R dispatch(Operator op, R fallback, F&& f) {
    using enum Operator;
    auto row = [&](auto code) -> R { return f(code); };
    switch (op) {
        case Neg: return row(std::integral_constant<std::size_t, 0>{});
        case Inv: return row(std::integral_constant<std::size_t, 1>{});
        case Exp: return row(std::integral_constant<std::size_t, 2>{});
        case Ln: return row(std::integral_constant<std::size_t, 3>{});
        case Sqrt: return row(std::integral_constant<std::size_t, 4>{});
        case Sin: return row(std::integral_constant<std::size_t, 5>{});
        case Cos: return row(std::integral_constant<std::size_t, 6>{});
        case Abs: return row(std::integral_constant<std::size_t, 7>{});
        case Zan: return row(std::integral_constant<std::size_t, 8>{});
        case Add: return row(std::integral_constant<std::size_t, 9>{});
        case Sub: return row(std::integral_constant<std::size_t, 10>{});
        case Mul: return row(std::integral_constant<std::size_t, 11>{});
        case Div: return row(std::integral_constant<std::size_t, 12>{});
        case Square: return row(std::integral_constant<std::size_t, 13>{});
    }
    return fallback;
}
static_assert(static_cast<std::size_t>(Operator::Square) + 1 == kOperatorCount,
              "dispatch lists every operator: a new one needs its case");

// ---- evaluation ---------------------------------------------------------------------

// The operator's value at (a, b), NaN when the domain test fails or the code is unknown.
[[nodiscard, gnu::always_inline]] inline double apply(Operator op, double a, double b) noexcept {
    return dispatch(op, kernels::kNaN, [&](auto code) { return kOperators[code].value(a, b); });
}

namespace detail {
template <std::size_t Code>
[[gnu::always_inline]] inline bool block_pass(const double* a, const double* b, double* dst, std::size_t n) noexcept {
    constexpr auto value = kOperators[Code].value;
    bool ok = true;
    if constexpr (kOperators[Code].arity == 1) {
        for (std::size_t i = 0; i < n; ++i) {
            const double r = value(a[i], 0.0);
            dst[i] = r;
            ok &= is_finite(r);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const double r = value(a[i], b[i]);
            dst[i] = r;
            ok &= is_finite(r);
        }
    }
    return ok;
}
}  // namespace detail

// One pass of an operator over n values: dst[i] = op(a[i], b[i]) (b unused, may be null,
// for a unary operator). False when any result is not finite. dst may alias a or b.
[[gnu::visibility("hidden")]] inline bool apply_block(Operator op, const double* a, const double* b, double* dst,
                                                     std::size_t n) {
    return dispatch(op, false, [&](auto code) { return detail::block_pass<decltype(code)::value>(a, b, dst, n); });
}

// Forward mode over a block: dst[i] = op(a[i], b[i]) as apply_block gives it, and for each
// parameter k < n_params the tangent ddst[k*stride + i] = ∂op/∂a · da[k*stride + i]
// + ∂op/∂b · db[k*stride + i]. A null da or db is a zero tangent (its term is left out,
// so an unbounded partial of an operand without parameters does no harm). False when
// any value is not finite; the tangents are then unspecified. Tangents are not tested:
// they may be non-finite where a partial is. dst may alias a or b, ddst da or db.
bool apply_block_dual(Operator op, const double* a, const double* da, const double* b, const double* db,
                      double* dst, double* ddst, std::size_t n, std::size_t n_params, std::size_t stride);

// The same with stride n: tangents[k*n + i].
inline bool apply_block_dual(Operator op, const double* a, const double* da, const double* b, const double* db,
                             double* dst, double* ddst, std::size_t n, std::size_t n_params) {
    return apply_block_dual(op, a, da, b, db, dst, ddst, n, n_params, n);
}

}  // namespace zan::discover
