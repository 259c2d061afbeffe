// Interval arithmetic over expression programs: what a formula does on a whole box of
// inputs (each variable between a low and a high), not only on the rows it was fitted to.
// A formula is admitted on a box when it has a value at every point, has no pole there and
// stays within a bound; the rows alone cannot show a pole or a blow-up between them.
//
// Enclosures are sound twice over: every bound is rounded outward after each operation
// whose result is not exact, so the enclosure holds both for the exact real value of each
// operation and for the value the row evaluator (eval in expr.hpp) computes at a double
// point of the box. The rules follow the guarded semantics of operators.hpp exactly: a
// point where an operator's kernel gives NaN or a non-finite value has no value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover {

// The closed interval [lo, hi].
struct Interval {
    double lo;
    double hi;

    [[nodiscard]] bool contains(double v) const noexcept { return lo <= v && v <= hi; }
    [[nodiscard]] double width() const noexcept { return hi - lo; }
};

// Whether an operator or a program has a value at the points of a box. Unproven is the
// honest answer where an operand's enclosure reaches outside a domain: the enclosure is
// wider than the operand's values, so neither a value everywhere nor a point without one
// is shown.
enum class Definedness : std::uint8_t { Everywhere, Unproven, Nowhere };

// The values over a box: `range` (finite bounds, lo <= hi) encloses every value at the
// points that have one. Its range means nothing when `defined` is Nowhere.
struct Enclosure {
    Interval range;
    Definedness defined;
};

// ---- the rules of the operators -----------------------------------------------------

// An operator's rule: the enclosure of op(a, b) over a in `a`, b in `b` (b is ignored by
// a unary operator). Operands have finite bounds with lo <= hi.
using IntervalRule = Enclosure (*)(Interval a, Interval b) noexcept;

namespace interval_rules {
Enclosure neg(Interval a, Interval b) noexcept;
Enclosure inv(Interval a, Interval b) noexcept;
Enclosure exp(Interval a, Interval b) noexcept;
Enclosure ln(Interval a, Interval b) noexcept;
Enclosure sqrt(Interval a, Interval b) noexcept;
Enclosure sin(Interval a, Interval b) noexcept;
Enclosure cos(Interval a, Interval b) noexcept;
Enclosure abs(Interval a, Interval b) noexcept;
Enclosure zan(Interval a, Interval b) noexcept;
Enclosure add(Interval a, Interval b) noexcept;
Enclosure sub(Interval a, Interval b) noexcept;
Enclosure mul(Interval a, Interval b) noexcept;
Enclosure div(Interval a, Interval b) noexcept;
Enclosure square(Interval a, Interval b) noexcept;
// asin and acos have a value on [-1, 1] only; the others everywhere a finite one fits.
Enclosure asin(Interval a, Interval b) noexcept;
Enclosure acos(Interval a, Interval b) noexcept;
Enclosure atan(Interval a, Interval b) noexcept;
Enclosure tanh(Interval a, Interval b) noexcept;
Enclosure sinh(Interval a, Interval b) noexcept;
Enclosure cosh(Interval a, Interval b) noexcept;
}  // namespace interval_rules

struct IntervalRuleRow {
    std::string_view name;  // the operator's name in kOperators
    unsigned arity;
    IntervalRule rule;
};

// Row i is the rule of operator code i. Rows past kOperatorCount hold the rules of
// operators kOperators does not list yet, in their future code order; each takes effect
// as soon as the operator table lists its operator under the same code, name and arity
// (checked below). An operator appended later needs one row here, or the build fails.
inline constexpr IntervalRuleRow kIntervalRules[] = {
    {"neg", 1, interval_rules::neg},
    {"inv", 1, interval_rules::inv},
    {"exp", 1, interval_rules::exp},
    {"ln", 1, interval_rules::ln},
    {"sqrt", 1, interval_rules::sqrt},
    {"sin", 1, interval_rules::sin},
    {"cos", 1, interval_rules::cos},
    {"abs", 1, interval_rules::abs},
    {"zan", 2, interval_rules::zan},
    {"add", 2, interval_rules::add},
    {"sub", 2, interval_rules::sub},
    {"mul", 2, interval_rules::mul},
    {"div", 2, interval_rules::div},
    {"square", 1, interval_rules::square},
    {"asin", 1, interval_rules::asin},
    {"acos", 1, interval_rules::acos},
    {"atan", 1, interval_rules::atan},
    {"tanh", 1, interval_rules::tanh},
    {"sinh", 1, interval_rules::sinh},
    {"cosh", 1, interval_rules::cosh},
};

namespace interval_detail {
[[nodiscard]] consteval bool rules_match_operators() {
    for (std::size_t i = 0; i < kOperatorCount; ++i)
        if (kIntervalRules[i].name != kOperators[i].name || kIntervalRules[i].arity != kOperators[i].arity)
            return false;
    return true;
}
}  // namespace interval_detail
static_assert(std::size(kIntervalRules) >= kOperatorCount, "every operator of kOperators needs an interval rule");
static_assert(interval_detail::rules_match_operators(),
              "row i of kIntervalRules must be the rule of operator code i: same name, same arity");

// The row with that name, whether or not kOperators lists its operator yet; null if none.
[[nodiscard]] const IntervalRuleRow* interval_rule_named(std::string_view name) noexcept;

// Applies a rule to operand enclosures: Nowhere when an operand is, and a result can be
// no better defined than its operands. Bounds beyond the finite doubles mean values that
// are not finite, hence points without a value: they are cut to the largest finite
// double and the result is Unproven. An operand with a NaN bound or lo > hi is Nowhere.
[[nodiscard]] Enclosure apply_rule(const IntervalRuleRow& row, Enclosure a, Enclosure b) noexcept;

// The same for an operator of the table; a code outside it is Nowhere, as the row
// evaluator gives no value for it.
[[nodiscard]] Enclosure apply(Operator op, Enclosure a, Enclosure b) noexcept;

// ---- programs over a box ------------------------------------------------------------

// The enclosure of a postfix program over the box (variable i in box[i]); Param tokens
// read params as eval does. A program eval would reject for every row (empty, malformed,
// a variable beyond the box) is Nowhere, as is a NaN leaf.
[[nodiscard]] Enclosure enclose(const Expr& program, std::span<const double> params,
                                std::span<const Interval> box);

enum class BoxVerdict : std::uint8_t {
    Safe,       // a value at every point of the box, within the bound
    Unsafe,     // a point without a value or beyond the bound exists
    Undecided,  // the budget ran out first
};

struct BoxCheck {
    BoxVerdict verdict;
    // Unless Unsafe: the hull of the enclosures of the sub-boxes the search ended on,
    // tighter than the enclosure of the whole box. Unsafe: the whole box's enclosure.
    Enclosure range;
    std::size_t boxes;  // enclosures computed
};

// Deep enough that a sub-box around a pole shrinks until a midpoint lands where the value
// passes the bound: 1/(x − a) on [0, 1] passes 1e6 only within 1e-6 of a, which the lattice
// of the samples steps over. The budget, not the depth, bounds the work.
inline constexpr std::size_t kDefaultDepthLimit = 64;
inline constexpr std::size_t kDefaultBoxBudget = 2048;

// Branch and bound: is |program| <= bound with a value at every point of the box? Where
// the enclosure of a sub-box decides neither way (it overestimates: x*x - 2*x*y + y*y
// looks as if it could be negative), the sub-box's midpoint is evaluated and the sub-box
// is halved along the variable the program reads that is widest relative to its width in
// the box (columns have unrelated units), level by level, at most depth_limit times along
// any path and for at most box_budget enclosures in all (at least one). Deterministic: the
// same answer for the same input. Throws std::invalid_argument naming the fault for a NaN or negative bound or a
// box with a bound that is not finite or lo > hi.
[[nodiscard]] BoxCheck check_box(const Expr& program, std::span<const double> params,
                                 std::span<const Interval> box, double bound,
                                 std::size_t depth_limit = kDefaultDepthLimit,
                                 std::size_t box_budget = kDefaultBoxBudget);

inline constexpr std::size_t kDefaultSampleCount = 4096;

// At most `count` deterministic points of the box, point after point (box.size() values
// each): the largest grid with both ends of every side that fits when it has at least
// three points a side, else `count` points: every corner (while they take at most half of
// them) and Halton points. Empty for a box of no variables or a count of 0.
[[nodiscard]] std::vector<double> box_lattice(std::span<const Interval> box, std::size_t count);

// Decides by the data what check_box left Undecided: Unsafe when some point of a lattice
// over the variables the program reads (others at their midpoint) has no value or one
// beyond the bound, else Safe. Throws std::invalid_argument as check_box does, and for a
// count of 0.
[[nodiscard]] BoxVerdict decide_by_samples(const Expr& program, std::span<const double> params,
                                           std::span<const Interval> box, double bound,
                                           std::size_t count = kDefaultSampleCount);

// check_box, with an Undecided answer decided by samples: Safe or Unsafe.
[[nodiscard]] BoxVerdict admit_on_box(const Expr& program, std::span<const double> params,
                                      std::span<const Interval> box, double bound);

}  // namespace zan::discover
