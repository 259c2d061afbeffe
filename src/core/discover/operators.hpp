// The operators of expression programs, each defined once: name, arity, guarded value,
// partial derivatives, the level search's use of it and every rendering, in the table
// kOperators. The row and column evaluators, the fingerprints, the text forms, the classic
// search, the fitting of constants, the engine's operator set and (through the private
// native module) the package's exports all read that table, so no operator rule is
// written twice.
//
// Every value is computed with the guards of core/guards.hpp; a failed domain test gives
// NaN, and the evaluators treat every non-finite result as "no value".
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/guards.hpp"

namespace zan::discover {

// The code is the position in this list. Codes never change meaning: fingerprints and the
// classic search's enumeration order depend on 0..13, so new operators are appended.
enum class Operator : std::uint8_t {
    Neg, Inv, Exp, Ln, Sqrt, Sin, Cos, Abs, Zan, Add, Sub, Mul, Div, Square,
    Asin, Acos, Atan, Tanh, Sinh, Cosh,
};

inline constexpr std::size_t kOperatorCount = 20;

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

// How tightly a rendering binds, loosest first: an operand that binds less tightly than
// its place needs parentheses. Atom: the rendering delimits its operands itself (a call,
// a fraction), so they are never wrapped.
enum class Binding : std::uint8_t { Sum = 1, Product, Negation, Power, Atom };

// An export's form of an operator: "$a" and "$b" stand for the rendered operands.
struct Rendering {
    std::string_view form;
    Binding binding = Binding::Atom;
};

// The fitted constant the level search may put inside a block under a unary operator:
// u(c·e), u(e + c), or both u(e + c) and u(c − e). Periodic and saturating functions take
// a scale (a frequency, a length); functions with a pole or a domain edge take a shift.
enum class InnerConstant : std::uint8_t { None, Scale, Shift, ShiftReflect };

inline constexpr std::uint8_t kUnranked = 255;
inline constexpr double kTwoPi = 2.0 * std::numbers::pi;

struct OperatorInfo {
    Operator op;
    std::string_view name = {};  // the program token's name, e.g. ("op", "div")
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
    std::string_view prefix = {};
    std::string_view middle = {};
    std::string_view suffix = {};
    std::string_view symbol = {};  // infix symbol of an arithmetic binary operator, else empty
    // The classic search's to_latex / to_python rewrites of that text (empty `from`:
    // none). Only operators the classic search uses have one: "sin(" would also match
    // inside "asin(".
    TextRewrite latex = {};
    TextRewrite python = {};

    // -- the level search --
    bool in_default_set = false;  // used unless the caller picks the operators
    // The level search tries a block's operators by this rank, then by code. Which of two
    // equal candidates is kept depends on that order, so the ranked rows keep their ranks.
    std::uint8_t search_rank = kUnranked;
    bool trig = false;            // a circular function: dropped by use_trig = false
    // The period of a periodic function (2π for sin and cos), 0 for none: a periodic term
    // over more turns than the rows sample has, at the rows, values no smooth law ties together.
    double period = 0.0;
    InnerConstant inner = InnerConstant::None;

    // -- the exports (zan_math._export, through _native.operators()) --
    Rendering text = {};         // readable infix, e.g. "log($a)", "$a/$b"
    Rendering exact = {};        // Python that computes the engine's value bit for bit
    std::string_view helper = {};  // the guarded Python helper `exact` calls, if any
    // What the `math` call of `exact` raises where the engine has no value ("" for none).
    std::string_view raises = {};
    Rendering tex = {};          // LaTeX, without SymPy
    std::string_view numpy = {};   // a NumPy expression over a, b (without the guard)
    std::string_view sympy = {};   // a SymPy expression over a, b (the plain form)
    // Where the value exists, over a and b (with abs), e.g. "a > 0"; empty for a total
    // operator. A failed test is NaN in every export.
    std::string_view guard = {};
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
inline double asin(double a, double) noexcept { return a < -1.0 || a > 1.0 ? kNaN : std::asin(a); }
inline double acos(double a, double) noexcept { return a < -1.0 || a > 1.0 ? kNaN : std::acos(a); }
inline double atan(double a, double) noexcept { return std::atan(a); }
inline double tanh(double a, double) noexcept { return std::tanh(a); }
inline double sinh(double a, double) noexcept { return std::sinh(a); }
inline double cosh(double a, double) noexcept { return std::cosh(a); }

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
// ±1/√(1 − a²): +inf at a = ±1, where the slope is unbounded
inline Partials d_asin(double a, double, double) noexcept { return {1.0 / std::sqrt(1.0 - a * a), 0.0}; }
inline Partials d_acos(double a, double, double) noexcept { return {-1.0 / std::sqrt(1.0 - a * a), 0.0}; }
inline Partials d_atan(double a, double, double) noexcept { return {1.0 / (1.0 + a * a), 0.0}; }
// 1 − r², which stays finite where a is large
inline Partials d_tanh(double, double, double r) noexcept { return {1.0 - r * r, 0.0}; }
inline Partials d_sinh(double a, double, double) noexcept { return {std::cosh(a), 0.0}; }
inline Partials d_cosh(double a, double, double) noexcept { return {std::sinh(a), 0.0}; }

}  // namespace kernels

// ---- the table ----------------------------------------------------------------------

namespace detail {
using enum Binding;
using enum InnerConstant;
}  // namespace detail

inline constexpr OperatorInfo kOperators[kOperatorCount] = {
    {.op = Operator::Neg, .name = "neg", .arity = 1, .commutative = false,
     .value = kernels::neg, .partials = kernels::d_neg, .prefix = "(-", .suffix = ")",
     .text = {"-$a", detail::Negation}, .exact = {"-$a", detail::Negation},
     .tex = {"-$a", detail::Negation}, .numpy = "np.negative(a)", .sympy = "-a"},
    {.op = Operator::Inv, .name = "inv", .arity = 1, .commutative = false,
     .value = kernels::inv, .partials = kernels::d_inv, .prefix = "(1/", .suffix = ")",
     .in_default_set = true, .search_rank = 1, .inner = detail::ShiftReflect,
     .text = {"1/$a", detail::Product}, .exact = {"_div(1.0, $a)"}, .helper = "_div",
     .tex = {"\\frac{1}{$a}"}, .numpy = "1.0 / a", .sympy = "1/a", .guard = "abs(a) >= 1e-300"},
    {.op = Operator::Exp, .name = "exp", .arity = 1, .commutative = false,
     .value = kernels::exp, .partials = kernels::d_exp, .prefix = "exp(", .suffix = ")",
     .latex = {"exp(", "\\exp(", ""}, .python = {"exp(", "math.exp(", ""},
     .in_default_set = true, .search_rank = 2, .inner = detail::Scale,
     .text = {"exp($a)"}, .exact = {"_exp($a)"}, .helper = "_exp",
     .tex = {"\\exp{\\left($a\\right)}"}, .numpy = "np.exp(a)", .sympy = "exp(a)"},
    {.op = Operator::Ln, .name = "ln", .arity = 1, .commutative = false,
     .value = kernels::ln, .partials = kernels::d_ln, .prefix = "ln(", .suffix = ")",
     .latex = {"ln(", "\\ln(", ""}, .python = {"ln(", "math.log(", ""},
     .in_default_set = true, .search_rank = 3, .inner = detail::ShiftReflect,
     .text = {"log($a)"}, .exact = {"_ln($a)"}, .helper = "_ln",
     .tex = {"\\ln{\\left($a\\right)}"}, .numpy = "np.log(a)", .sympy = "log(a)", .guard = "a > 0"},
    {.op = Operator::Sqrt, .name = "sqrt", .arity = 1, .commutative = false,
     .value = kernels::sqrt, .partials = kernels::d_sqrt, .prefix = "sqrt(", .suffix = ")",
     .latex = {"sqrt(", "\\sqrt{", "}"}, .python = {"sqrt(", "math.sqrt(", ""},
     .in_default_set = true, .search_rank = 4, .inner = detail::ShiftReflect,
     .text = {"sqrt($a)"}, .exact = {"_sqrt($a)"}, .helper = "_sqrt",
     .tex = {"\\sqrt{$a}"}, .numpy = "np.sqrt(a)", .sympy = "sqrt(a)", .guard = "a >= 0"},
    {.op = Operator::Sin, .name = "sin", .arity = 1, .commutative = false,
     .value = kernels::sin, .partials = kernels::d_sin, .prefix = "sin(", .suffix = ")",
     .latex = {"sin(", "\\sin(", ""}, .python = {"sin(", "math.sin(", ""},
     .in_default_set = true, .search_rank = 6, .trig = true, .period = kTwoPi, .inner = detail::Scale,
     .text = {"sin($a)"}, .exact = {"math.sin($a)"}, .raises = "ValueError",
     .tex = {"\\sin{\\left($a\\right)}"}, .numpy = "np.sin(a)", .sympy = "sin(a)"},
    {.op = Operator::Cos, .name = "cos", .arity = 1, .commutative = false,
     .value = kernels::cos, .partials = kernels::d_cos, .prefix = "cos(", .suffix = ")",
     .latex = {"cos(", "\\cos(", ""}, .python = {"cos(", "math.cos(", ""},
     .in_default_set = true, .search_rank = 7, .trig = true, .period = kTwoPi, .inner = detail::Scale,
     .text = {"cos($a)"}, .exact = {"math.cos($a)"}, .raises = "ValueError",
     .tex = {"\\cos{\\left($a\\right)}"}, .numpy = "np.cos(a)", .sympy = "cos(a)"},
    {.op = Operator::Abs, .name = "abs", .arity = 1, .commutative = false,
     .value = kernels::abs, .partials = kernels::d_abs, .prefix = "abs(", .suffix = ")",
     .inner = detail::Shift,
     .text = {"abs($a)"}, .exact = {"abs($a)"},
     .tex = {"\\left|$a\\right|"}, .numpy = "np.abs(a)", .sympy = "Abs(a)"},
    {.op = Operator::Zan, .name = "zan", .arity = 2, .commutative = false,
     .value = kernels::zan, .partials = kernels::d_zan, .prefix = "zan(", .middle = ", ", .suffix = ")",
     .latex = {"zan(", "\\mathrm{zan}(", ""},
     .search_rank = 5,
     .text = {"zan($a, $b)"}, .exact = {"_zan($a, $b)"}, .helper = "_zan",
     .tex = {"\\operatorname{zan}\\left($a, $b\\right)"}, .numpy = "zan(a, b)", .sympy = "exp(a) - log(b)"},
    {.op = Operator::Add, .name = "add", .arity = 2, .commutative = true,
     .value = kernels::add, .partials = kernels::d_add, .prefix = "(", .middle = " + ", .suffix = ")", .symbol = "+",
     .in_default_set = true, .search_rank = 1,
     .text = {"$a + $b", detail::Sum}, .exact = {"$a + $b", detail::Sum},
     .tex = {"$a + $b", detail::Sum}, .numpy = "np.add(a, b)", .sympy = "a + b"},
    {.op = Operator::Sub, .name = "sub", .arity = 2, .commutative = false,
     .value = kernels::sub, .partials = kernels::d_sub, .prefix = "(", .middle = " - ", .suffix = ")", .symbol = "-",
     .in_default_set = true, .search_rank = 2,
     .text = {"$a - $b", detail::Sum}, .exact = {"$a - $b", detail::Sum},
     .tex = {"$a - $b", detail::Sum}, .numpy = "np.subtract(a, b)", .sympy = "a - b"},
    {.op = Operator::Mul, .name = "mul", .arity = 2, .commutative = true,
     .value = kernels::mul, .partials = kernels::d_mul, .prefix = "(", .middle = " * ", .suffix = ")", .symbol = "*",
     .in_default_set = true, .search_rank = 3,
     .text = {"$a*$b", detail::Product}, .exact = {"$a*$b", detail::Product},
     .tex = {"$a $b", detail::Product}, .numpy = "np.multiply(a, b)", .sympy = "a*b"},
    {.op = Operator::Div, .name = "div", .arity = 2, .commutative = false,
     .value = kernels::div, .partials = kernels::d_div, .prefix = "(", .middle = " / ", .suffix = ")", .symbol = "/",
     .in_default_set = true, .search_rank = 4,
     .text = {"$a/$b", detail::Product}, .exact = {"_div($a, $b)"}, .helper = "_div",
     .tex = {"\\frac{$a}{$b}"}, .numpy = "a / b", .sympy = "a/b", .guard = "abs(b) >= 1e-300"},
    {.op = Operator::Square, .name = "square", .arity = 1, .commutative = false,
     .value = kernels::square, .partials = kernels::d_square, .prefix = "(", .suffix = " ^ 2)",
     .latex = {" ^ 2)", "^{2})", ""}, .python = {" ^ 2)", "**2)", ""},
     .in_default_set = true, .search_rank = 5, .inner = detail::Shift,
     .text = {"$a**2", detail::Power}, .exact = {"_sq($a)"}, .helper = "_sq",
     .tex = {"$a^{2}", detail::Power}, .numpy = "a * a", .sympy = "a**2"},
    {.op = Operator::Asin, .name = "asin", .arity = 1, .commutative = false,
     .value = kernels::asin, .partials = kernels::d_asin, .prefix = "asin(", .suffix = ")",
     .trig = true, .inner = detail::Scale,
     .text = {"asin($a)"}, .exact = {"math.asin($a)"}, .raises = "ValueError",
     .tex = {"\\arcsin{\\left($a\\right)}"}, .numpy = "np.arcsin(a)", .sympy = "asin(a)", .guard = "abs(a) <= 1"},
    {.op = Operator::Acos, .name = "acos", .arity = 1, .commutative = false,
     .value = kernels::acos, .partials = kernels::d_acos, .prefix = "acos(", .suffix = ")",
     .trig = true, .inner = detail::Scale,
     .text = {"acos($a)"}, .exact = {"math.acos($a)"}, .raises = "ValueError",
     .tex = {"\\arccos{\\left($a\\right)}"}, .numpy = "np.arccos(a)", .sympy = "acos(a)", .guard = "abs(a) <= 1"},
    {.op = Operator::Atan, .name = "atan", .arity = 1, .commutative = false,
     .value = kernels::atan, .partials = kernels::d_atan, .prefix = "atan(", .suffix = ")",
     .trig = true, .inner = detail::Scale,
     .text = {"atan($a)"}, .exact = {"_atan($a)"}, .helper = "_atan",
     .tex = {"\\arctan{\\left($a\\right)}"}, .numpy = "np.arctan(a)", .sympy = "atan(a)"},
    {.op = Operator::Tanh, .name = "tanh", .arity = 1, .commutative = false,
     .value = kernels::tanh, .partials = kernels::d_tanh, .prefix = "tanh(", .suffix = ")",
     .inner = detail::Scale,
     .text = {"tanh($a)"}, .exact = {"_tanh($a)"}, .helper = "_tanh",
     .tex = {"\\tanh{\\left($a\\right)}"}, .numpy = "np.tanh(a)", .sympy = "tanh(a)"},
    {.op = Operator::Sinh, .name = "sinh", .arity = 1, .commutative = false,
     .value = kernels::sinh, .partials = kernels::d_sinh, .prefix = "sinh(", .suffix = ")",
     .inner = detail::Scale,
     .text = {"sinh($a)"}, .exact = {"math.sinh($a)"}, .raises = "OverflowError",
     .tex = {"\\sinh{\\left($a\\right)}"}, .numpy = "np.sinh(a)", .sympy = "sinh(a)"},
    {.op = Operator::Cosh, .name = "cosh", .arity = 1, .commutative = false,
     .value = kernels::cosh, .partials = kernels::d_cosh, .prefix = "cosh(", .suffix = ")",
     .inner = detail::Scale,
     .text = {"cosh($a)"}, .exact = {"math.cosh($a)"}, .raises = "OverflowError",
     .tex = {"\\cosh{\\left($a\\right)}"}, .numpy = "np.cosh(a)", .sympy = "cosh(a)"},
};

namespace detail {
[[nodiscard]] consteval bool table_in_code_order() {
    for (std::size_t i = 0; i < kOperatorCount; ++i)
        if (static_cast<std::size_t>(kOperators[i].op) != i) return false;
    return true;
}

[[nodiscard]] consteval bool mentions(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// A form names each operand the row has, and no other.
[[nodiscard]] consteval bool form_fits(const Rendering& r, unsigned arity) {
    return mentions(r.form, "$a") && mentions(r.form, "$b") == (arity == 2);
}

// Every row is complete: a distinct name, every rendering over its operands, a helper that
// its exact form calls, an inner constant only under a unary operator, a symmetric
// rendering never claimed for an operator whose operands do not commute.
[[nodiscard]] consteval bool rows_complete() {
    for (std::size_t i = 0; i < kOperatorCount; ++i) {
        const OperatorInfo& row = kOperators[i];
        if (row.name.empty() || (row.arity != 1 && row.arity != 2)) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (kOperators[j].name == row.name) return false;
        if (!form_fits(row.text, row.arity) || !form_fits(row.exact, row.arity) || !form_fits(row.tex, row.arity))
            return false;
        if (row.numpy.empty() || row.sympy.empty() || row.prefix.empty() || row.suffix.empty()) return false;
        if (!row.helper.empty() && !row.exact.form.starts_with(row.helper)) return false;
        if (row.arity == 2 && row.inner != InnerConstant::None) return false;
        if (row.commutative && row.arity != 2) return false;
    }
    return true;
}
}  // namespace detail
static_assert(detail::table_in_code_order(), "row i of kOperators must define operator code i");
static_assert(detail::rows_complete(), "every row of kOperators needs a distinct name and all its renderings");
static_assert(kOperatorCount <= 32, "an operator set is a 32-bit mask");

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

// ---- operator sets ------------------------------------------------------------------

// A set of operators is a mask: bit i stands for operator code i.
[[nodiscard]] constexpr std::uint32_t operator_bit(Operator op) noexcept {
    return std::uint32_t{1} << static_cast<unsigned>(op);
}

[[nodiscard]] constexpr std::uint32_t operator_set(std::initializer_list<Operator> ops) noexcept {
    std::uint32_t set = 0;
    for (Operator op : ops) set |= operator_bit(op);
    return set;
}

[[nodiscard]] constexpr bool contains(std::uint32_t set, Operator op) noexcept { return (set & operator_bit(op)) != 0; }

namespace detail {
[[nodiscard]] consteval std::uint32_t rows_where(bool OperatorInfo::*column) {
    std::uint32_t set = 0;
    for (const OperatorInfo& row : kOperators)
        if (row.*column) set |= operator_bit(row.op);
    return set;
}
}  // namespace detail

// The operators the level search uses unless the caller picks them.
inline constexpr std::uint32_t kDefaultOperators = detail::rows_where(&OperatorInfo::in_default_set);
// The circular functions and their inverses.
inline constexpr std::uint32_t kTrigOperators = detail::rows_where(&OperatorInfo::trig);
inline constexpr std::uint32_t kAllOperators =
    kOperatorCount == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << kOperatorCount) - 1;

// The set with the default circular functions added, or with every circular function
// taken out: what the switch use_trig has always meant.
[[nodiscard]] constexpr std::uint32_t with_trig(std::uint32_t set, bool on) noexcept {
    return on ? set | (kDefaultOperators & kTrigOperators) : set & ~kTrigOperators;
}

// The set with zan added or taken out (use_zan).
[[nodiscard]] constexpr std::uint32_t with_zan(std::uint32_t set, bool on) noexcept {
    return on ? set | operator_bit(Operator::Zan) : set & ~operator_bit(Operator::Zan);
}

// The operators of the set with that arity, in the order the level search tries them
// (search_rank, then code).
[[nodiscard]] std::vector<Operator> search_operators(std::uint32_t set, unsigned arity);

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
        case Asin: return row(std::integral_constant<std::size_t, 14>{});
        case Acos: return row(std::integral_constant<std::size_t, 15>{});
        case Atan: return row(std::integral_constant<std::size_t, 16>{});
        case Tanh: return row(std::integral_constant<std::size_t, 17>{});
        case Sinh: return row(std::integral_constant<std::size_t, 18>{});
        case Cosh: return row(std::integral_constant<std::size_t, 19>{});
    }
    return fallback;
}
static_assert(static_cast<std::size_t>(Operator::Cosh) + 1 == kOperatorCount,
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
