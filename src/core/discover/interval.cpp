#include "core/discover/interval.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

#include "core/guards.hpp"

namespace zan::discover {
namespace {

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// ---- outward rounding ---------------------------------------------------------------

[[nodiscard]] double down(double x) noexcept { return std::nextafter(x, -kInf); }
[[nodiscard]] double up(double x) noexcept { return std::nextafter(x, kInf); }

// The library's exp, log, sin, ... are faithful to within a known number of ulps (one for
// most, two for sinh, cosh and tanh) but not promised monotone: between two points f may
// come out that far beyond its exact value, itself beyond the library's value at an end
// by as much again. Twice the error past the library's value at an end covers both the
// exact value and the library's at every point in between.
[[nodiscard]] double widen_down(double v, int ulps) noexcept {
    for (int i = 0; i < ulps; ++i) v = down(v);
    return v;
}
[[nodiscard]] double widen_up(double v, int ulps) noexcept {
    for (int i = 0; i < ulps; ++i) v = up(v);
    return v;
}

constexpr int kFaithfulUlps = 2;  // error within one ulp
constexpr int kHyperbolicUlps = 4;  // error within two ulps

[[nodiscard]] double lib_down(double v) noexcept { return widen_down(v, kFaithfulUlps); }
[[nodiscard]] double lib_up(double v) noexcept { return widen_up(v, kFaithfulUlps); }

// A library function, the one argument where every library gives the exact value
// (exp(0) = 1, ln(1) = 0, ...) and the ulps to widen by elsewhere. Not widening at the
// exact point keeps sqrt(ln(x)) on x >= 1 defined.
struct LibraryFunction {
    double (*f)(double);
    double exact_at;
    int ulps;
};

[[nodiscard]] double f_down(LibraryFunction fn, double x) noexcept {
    const double v = fn.f(x);
    return x == fn.exact_at ? v : widen_down(v, fn.ulps);
}
[[nodiscard]] double f_up(LibraryFunction fn, double x) noexcept {
    const double v = fn.f(x);
    return x == fn.exact_at ? v : widen_up(v, fn.ulps);
}

constexpr LibraryFunction kExp{[](double x) { return std::exp(x); }, 0.0, kFaithfulUlps};
constexpr LibraryFunction kLog{[](double x) { return std::log(x); }, 1.0, kFaithfulUlps};
constexpr LibraryFunction kSin{[](double x) { return std::sin(x); }, 0.0, kFaithfulUlps};
constexpr LibraryFunction kCos{[](double x) { return std::cos(x); }, 0.0, kFaithfulUlps};
constexpr LibraryFunction kAsin{[](double x) { return std::asin(x); }, 0.0, kFaithfulUlps};
constexpr LibraryFunction kAcos{[](double x) { return std::acos(x); }, 1.0, kFaithfulUlps};
constexpr LibraryFunction kAtan{[](double x) { return std::atan(x); }, 0.0, kFaithfulUlps};
constexpr LibraryFunction kTanh{[](double x) { return std::tanh(x); }, 0.0, kHyperbolicUlps};
constexpr LibraryFunction kSinh{[](double x) { return std::sinh(x); }, 0.0, kHyperbolicUlps};
constexpr LibraryFunction kCosh{[](double x) { return std::cosh(x); }, 0.0, kHyperbolicUlps};

// Below this magnitude the error of a product, quotient or square root may underflow,
// and the fma test of exactness would miss it.
constexpr double kExactnessFloor = 0x1p-900;

[[nodiscard]] bool sum_exact(double a, double b, double s) noexcept {
    if (!is_finite(s)) return false;
    const double bb = s - a;
    return (a - (s - bb)) + (b - bb) == 0.0;  // the rounding error of a + b (two-sum)
}
[[nodiscard]] bool product_exact(double a, double b, double r) noexcept {
    if (a == 0.0 || b == 0.0) return true;
    return is_finite(r) && std::fabs(r) >= kExactnessFloor && std::fma(a, b, -r) == 0.0;
}
[[nodiscard]] bool quotient_exact(double a, double b, double r) noexcept {
    if (a == 0.0) return true;
    return is_finite(r) && std::fabs(r) >= kExactnessFloor && std::fabs(a) >= kExactnessFloor &&
           std::fma(r, b, -a) == 0.0;
}

[[nodiscard]] double add_down(double a, double b) noexcept {
    const double s = a + b;
    return sum_exact(a, b, s) ? s : down(s);
}
[[nodiscard]] double add_up(double a, double b) noexcept {
    const double s = a + b;
    return sum_exact(a, b, s) ? s : up(s);
}
[[nodiscard]] double mul_down(double a, double b) noexcept {
    const double r = a * b;
    return product_exact(a, b, r) ? r : down(r);
}
[[nodiscard]] double mul_up(double a, double b) noexcept {
    const double r = a * b;
    return product_exact(a, b, r) ? r : up(r);
}
[[nodiscard]] double div_down(double a, double b) noexcept {
    const double r = a / b;
    return quotient_exact(a, b, r) ? r : down(r);
}
[[nodiscard]] double div_up(double a, double b) noexcept {
    const double r = a / b;
    return quotient_exact(a, b, r) ? r : up(r);
}
[[nodiscard]] bool root_exact(double a, double r) noexcept {
    return a == 0.0 || (a >= kExactnessFloor && std::fma(r, r, -a) == 0.0);
}
[[nodiscard]] double sqrt_down(double a) noexcept {
    const double r = std::sqrt(a);
    return root_exact(a, r) ? r : down(r);
}
[[nodiscard]] double sqrt_up(double a) noexcept {
    const double r = std::sqrt(a);
    return root_exact(a, r) ? r : up(r);
}

// ---- building blocks of the rules ---------------------------------------------------

[[nodiscard]] Enclosure everywhere(double lo, double hi) noexcept { return {{lo, hi}, Definedness::Everywhere}; }
[[nodiscard]] Enclosure nowhere() noexcept { return {{0.0, 0.0}, Definedness::Nowhere}; }
[[nodiscard]] Enclosure where(bool all, double lo, double hi) noexcept {
    return {{lo, hi}, all ? Definedness::Everywhere : Definedness::Unproven};
}

[[nodiscard]] Interval hull(Interval a, Interval b) noexcept {
    return {std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

[[nodiscard]] Enclosure increasing(LibraryFunction fn, Interval a) noexcept {
    return everywhere(f_down(fn, a.lo), f_up(fn, a.hi));
}

// |x| over a: the interval of magnitudes.
[[nodiscard]] Interval magnitude(Interval a) noexcept {
    if (a.lo >= 0.0) return a;
    if (a.hi <= 0.0) return {-a.hi, -a.lo};
    return {0.0, std::max(-a.lo, a.hi)};
}

[[nodiscard]] Interval clamp(Interval r, double lo, double hi) noexcept {
    return {std::clamp(r.lo, lo, hi), std::clamp(r.hi, lo, hi)};
}

// The hull of op over the four corners of a × b, each rounded outward: a product's or a
// quotient's extremes lie at corners.
template <class Down, class Up>
[[nodiscard]] Interval corners(Interval a, Interval b, Down down, Up up) noexcept {
    const double xs[2] = {a.lo, a.hi};
    const double ys[2] = {b.lo, b.hi};
    double lo = kInf, hi = -kInf;
    for (double x : xs)
        for (double y : ys) {
            lo = std::min(lo, down(x, y));
            hi = std::max(hi, up(x, y));
        }
    return {lo, hi};
}

// a / b where b has one sign and no point in the guard band.
[[nodiscard]] Interval quotient(Interval a, Interval b) noexcept { return corners(a, b, div_down, div_up); }

// Magnitudes below this have no value as divisors (guarded_div).
constexpr double kDivisorFloor = GUARD_FLOOR;

// Arguments beyond this magnitude get sin, cos in [-1, 1]: below it the phase of an
// argument is known to kPhaseMargin periods, which decides where the extremes lie.
constexpr double kLargeArgument = 1e8;
constexpr double kPhaseMargin = 1e-8;

// May [lo, hi] hold offset + 2πk for some integer k? Errs towards yes.
[[nodiscard]] bool may_hold_phase(Interval a, double offset) noexcept {
    const double t_lo = (a.lo - offset) / kTwoPi;
    const double t_hi = (a.hi - offset) / kTwoPi;
    return std::floor(t_hi + kPhaseMargin) >= std::ceil(t_lo - kPhaseMargin);
}

// sin or cos over a: monotone between its extremes, which lie at max_at + 2πk and at
// max_at + π + 2πk.
[[nodiscard]] Enclosure periodic(LibraryFunction fn, double max_at, Interval a) noexcept {
    if (!(std::max(-a.lo, a.hi) <= kLargeArgument) || a.hi - a.lo >= kTwoPi) return everywhere(-1.0, 1.0);
    double lo = std::min(f_down(fn, a.lo), f_down(fn, a.hi));
    double hi = std::max(f_up(fn, a.lo), f_up(fn, a.hi));
    if (may_hold_phase(a, max_at)) hi = 1.0;
    if (may_hold_phase(a, max_at + std::numbers::pi)) lo = -1.0;
    const Interval r = clamp({lo, hi}, -1.0, 1.0);
    return everywhere(r.lo, r.hi);
}

// The guarded exponential E of zan over a: exp up to SLIP_THRESHOLD, exp(ln x) past it.
[[nodiscard]] Interval guarded_exp_range(Interval a) noexcept {
    bool any = false;
    Interval r{0.0, 0.0};
    if (a.lo <= SLIP_THRESHOLD) {
        r = {std::max(0.0, f_down(kExp, a.lo)), f_up(kExp, std::min(a.hi, SLIP_THRESHOLD))};
        any = true;
    }
    if (a.hi > SLIP_THRESHOLD) {
        const double from = std::max(a.lo, up(SLIP_THRESHOLD));
        const Interval slipped{lib_down(std::exp(lib_down(std::log(from)))),
                               lib_up(std::exp(lib_up(std::log(a.hi))))};
        r = any ? hull(r, slipped) : slipped;
    }
    return r;
}

// The guard G of zan over b: b where positive, else |b| floored at GUARD_FLOOR. Always
// positive: a positive operand is a double, at least the least subnormal, so zan has a
// finite value at every point (the operator is total by design; its values near b = 0
// are bounded by about 745 plus the exponential term).
[[nodiscard]] Interval positive_guard_range(Interval b) noexcept {
    bool any = false;
    Interval r{0.0, 0.0};
    if (b.lo <= 0.0) {
        const Interval m = magnitude({b.lo, std::min(b.hi, 0.0)});
        r = {std::max(m.lo, GUARD_FLOOR), std::max(m.hi, GUARD_FLOOR)};
        any = true;
    }
    if (b.hi > 0.0) {
        const Interval positive{std::max(b.lo, std::numeric_limits<double>::denorm_min()), b.hi};
        r = any ? hull(r, positive) : positive;
    }
    return r;
}

[[nodiscard]] Definedness worse(Definedness a, Definedness b) noexcept { return std::max(a, b); }

}  // namespace

// ---- the rules ----------------------------------------------------------------------

namespace interval_rules {

Enclosure neg(Interval a, Interval) noexcept { return everywhere(-a.hi, -a.lo); }

Enclosure div(Interval a, Interval b) noexcept {
    const bool positive = b.hi >= kDivisorFloor;
    const bool negative = b.lo <= -kDivisorFloor;
    if (!positive && !negative) return nowhere();
    Interval r{kInf, -kInf};
    if (positive) r = hull(r, quotient(a, {std::max(b.lo, kDivisorFloor), b.hi}));
    if (negative) r = hull(r, quotient(a, {b.lo, std::min(b.hi, -kDivisorFloor)}));
    return where(b.lo >= kDivisorFloor || b.hi <= -kDivisorFloor, r.lo, r.hi);
}

Enclosure inv(Interval a, Interval) noexcept { return div({1.0, 1.0}, a); }

Enclosure exp(Interval a, Interval) noexcept {
    return everywhere(std::max(0.0, f_down(kExp, a.lo)), f_up(kExp, a.hi));
}

// Defined for positive arguments; towards 0 the logarithm is unbounded below.
Enclosure ln(Interval a, Interval) noexcept {
    if (a.hi <= 0.0) return nowhere();
    return where(a.lo > 0.0, a.lo > 0.0 ? f_down(kLog, a.lo) : -kMax, f_up(kLog, a.hi));
}

Enclosure sqrt(Interval a, Interval) noexcept {
    if (a.hi < 0.0) return nowhere();
    return where(a.lo >= 0.0, std::max(0.0, sqrt_down(std::max(a.lo, 0.0))), sqrt_up(a.hi));
}

Enclosure sin(Interval a, Interval) noexcept { return periodic(kSin, std::numbers::pi / 2.0, a); }
Enclosure cos(Interval a, Interval) noexcept { return periodic(kCos, 0.0, a); }

Enclosure abs(Interval a, Interval) noexcept {
    const Interval m = magnitude(a);
    return everywhere(m.lo, m.hi);
}

// E(a) - ln(G(b)): both terms are finite for finite operands, so zan has a value everywhere.
Enclosure zan(Interval a, Interval b) noexcept {
    const Interval e = guarded_exp_range(a);
    const Interval g = positive_guard_range(b);
    const Interval l{f_down(kLog, g.lo), f_up(kLog, g.hi)};
    return everywhere(add_down(e.lo, -l.hi), add_up(e.hi, -l.lo));
}

Enclosure add(Interval a, Interval b) noexcept { return everywhere(add_down(a.lo, b.lo), add_up(a.hi, b.hi)); }
Enclosure sub(Interval a, Interval b) noexcept { return everywhere(add_down(a.lo, -b.hi), add_up(a.hi, -b.lo)); }

// Operands are finite, so no corner is 0 · ∞.
Enclosure mul(Interval a, Interval b) noexcept {
    const Interval r = corners(a, b, mul_down, mul_up);
    return everywhere(r.lo, r.hi);
}

Enclosure square(Interval a, Interval) noexcept {
    const Interval m = magnitude(a);
    return everywhere(mul_down(m.lo, m.lo), mul_up(m.hi, m.hi));
}

Enclosure asin(Interval a, Interval) noexcept {
    if (a.hi < -1.0 || a.lo > 1.0) return nowhere();
    const Interval in = clamp(a, -1.0, 1.0);
    return where(a.lo >= -1.0 && a.hi <= 1.0, f_down(kAsin, in.lo), f_up(kAsin, in.hi));
}

Enclosure acos(Interval a, Interval) noexcept {
    if (a.hi < -1.0 || a.lo > 1.0) return nowhere();
    const Interval in = clamp(a, -1.0, 1.0);
    return where(a.lo >= -1.0 && a.hi <= 1.0, std::max(0.0, f_down(kAcos, in.hi)), f_up(kAcos, in.lo));
}

Enclosure atan(Interval a, Interval) noexcept { return increasing(kAtan, a); }

Enclosure tanh(Interval a, Interval) noexcept {
    const Interval r = clamp(increasing(kTanh, a).range, -1.0, 1.0);
    return everywhere(r.lo, r.hi);
}

Enclosure sinh(Interval a, Interval) noexcept { return increasing(kSinh, a); }

Enclosure cosh(Interval a, Interval) noexcept {
    const Interval m = magnitude(a);
    return everywhere(std::max(1.0, f_down(kCosh, m.lo)), f_up(kCosh, m.hi));
}

}  // namespace interval_rules

// ---- applying a rule ----------------------------------------------------------------

const IntervalRuleRow* interval_rule_named(std::string_view name) noexcept {
    for (const IntervalRuleRow& row : kIntervalRules)
        if (row.name == name) return &row;
    return nullptr;
}

namespace {

// False for an operand without values. Bounds past the finite doubles are cut, and the
// points beyond them, which have no value, make the result Unproven.
bool take_operand(Enclosure& e, Definedness& operands) noexcept {
    if (e.defined == Definedness::Nowhere || !(e.range.lo <= e.range.hi)) return false;
    operands = worse(operands, e.defined);
    if (!is_finite(e.range.lo) || !is_finite(e.range.hi)) {
        operands = worse(operands, Definedness::Unproven);
        e.range = clamp(e.range, -kMax, kMax);
    }
    return true;
}

}  // namespace

Enclosure apply_rule(const IntervalRuleRow& row, Enclosure a, Enclosure b) noexcept {
    Definedness operands = Definedness::Everywhere;
    if (!take_operand(a, operands)) return nowhere();
    if (row.arity == 2 && !take_operand(b, operands)) return nowhere();
    Enclosure r = row.rule(a.range, row.arity == 2 ? b.range : Interval{0.0, 0.0});
    if (r.defined == Definedness::Nowhere) return r;
    r.defined = worse(r.defined, operands);
    if (!(r.range.lo <= r.range.hi)) return {{-kMax, kMax}, Definedness::Unproven};
    if (!is_finite(r.range.lo) || !is_finite(r.range.hi)) {
        // values past the finite doubles: those points have no value
        r.defined = worse(r.defined, Definedness::Unproven);
        r.range = clamp(r.range, -kMax, kMax);
    }
    return r;
}

Enclosure apply(Operator op, Enclosure a, Enclosure b) noexcept {
    const auto code = static_cast<std::size_t>(op);
    if (code >= kOperatorCount) return nowhere();
    return apply_rule(kIntervalRules[code], a, b);
}

// ---- programs over a box ------------------------------------------------------------

namespace {

// True when the program leaves one value from well-formed steps, reading only variables
// of the box: what eval needs to give a value on any row.
bool well_formed(const Expr& program, std::size_t n_vars) noexcept {
    std::size_t sp = 0;
    for (const Token& t : program.tokens) {
        if (t.kind == Token::Kind::Var && t.index >= n_vars) return false;
        if (t.kind != Token::Kind::Op) {
            ++sp;
            continue;
        }
        const std::size_t n = arity(t.op);
        if (sp < n) return false;
        sp -= n - 1;
    }
    return sp == 1;
}

double leaf_value(const Token& t, std::span<const double> params) noexcept {
    return t.kind == Token::Kind::Param && t.index < params.size() ? params[t.index] : t.value;
}

// The enclosure over a box already checked; `stack` is reusable scratch.
Enclosure enclose_into(const Expr& program, std::span<const double> params, std::span<const Interval> box,
                       std::vector<Enclosure>& stack) {
    if (!well_formed(program, box.size())) return nowhere();
    stack.clear();
    bool infinite_leaf = false;
    for (const Token& t : program.tokens) {
        switch (t.kind) {
            case Token::Kind::Const:
            case Token::Kind::Param: {
                const double v = leaf_value(t, params);
                // an infinite constant may still give values (exp(-inf) = 0): no claim at all
                infinite_leaf |= std::isinf(v);
                stack.push_back(std::isnan(v) ? nowhere() : everywhere(v, v));
                break;
            }
            case Token::Kind::Var: stack.push_back(everywhere(box[t.index].lo, box[t.index].hi)); break;
            case Token::Kind::Op:
                if (arity(t.op) == 1) {
                    stack.back() = apply(t.op, stack.back(), stack.back());
                } else {
                    const Enclosure b = stack.back();
                    stack.pop_back();
                    stack.back() = apply(t.op, stack.back(), b);
                }
                break;
        }
    }
    if (infinite_leaf) return {{-kMax, kMax}, Definedness::Unproven};
    return stack.back();
}

void check_bound(double bound) {
    if (std::isnan(bound) || bound < 0.0)
        throw std::invalid_argument("bound must be a non-negative number, got " + std::to_string(bound));
}

void check_box_sides(std::span<const Interval> box) {
    for (std::size_t i = 0; i < box.size(); ++i) {
        const Interval& side = box[i];
        if (!is_finite(side.lo) || !is_finite(side.hi) || !(side.lo <= side.hi))
            throw std::invalid_argument("box side of variable " + std::to_string(i) + " must have finite low <= high, got [" +
                                        std::to_string(side.lo) + ", " + std::to_string(side.hi) + "]");
    }
}

// The variables the program reads, in index order.
std::vector<std::size_t> variables_read(const Expr& program, std::size_t n_vars) {
    std::vector<bool> read(n_vars, false);
    for (const Token& t : program.tokens)
        if (t.kind == Token::Kind::Var && t.index < n_vars) read[t.index] = true;
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < n_vars; ++i)
        if (read[i]) out.push_back(i);
    return out;
}

// Halves do not overflow where the width would.
double half_width(Interval a) noexcept { return a.hi / 2.0 - a.lo / 2.0; }
double midpoint(Interval a) noexcept { return std::clamp(a.lo / 2.0 + a.hi / 2.0, a.lo, a.hi); }

bool within(double v, double bound) noexcept { return std::fabs(v) <= bound; }

// Has the program, at x, no value or one beyond the bound?
bool fails_at(const Expr& program, std::span<const double> x, std::span<const double> params, double bound) {
    const std::optional<double> v = eval(program, x, params);
    return !v || !within(*v, bound);
}

// The read variable whose side of the sub-box is widest relative to its side of the whole
// box, among those its midpoint splits; box.size() if none.
std::size_t variable_to_split(const std::vector<std::size_t>& read, std::span<const Interval> box,
                              std::span<const Interval> sub, std::span<const double> mid) {
    std::size_t split = box.size();
    double widest = 0.0;
    for (std::size_t i : read) {
        const double whole_half = half_width(box[i]);
        const double rel = whole_half > 0.0 ? half_width(sub[i]) / whole_half : 0.0;
        if (rel > widest && sub[i].lo < mid[i] && mid[i] < sub[i].hi) {
            widest = rel;
            split = i;
        }
    }
    return split;
}

// Is the sub-box one point as far as the program can tell?
bool single_point(const std::vector<std::size_t>& read, std::span<const Interval> sub) {
    return std::all_of(read.begin(), read.end(), [&](std::size_t i) { return sub[i].lo == sub[i].hi; });
}

}  // namespace

Enclosure enclose(const Expr& program, std::span<const double> params, std::span<const Interval> box) {
    check_box_sides(box);
    std::vector<Enclosure> stack;
    stack.reserve(program.tokens.size());
    return enclose_into(program, params, box, stack);
}

BoxCheck check_box(const Expr& program, std::span<const double> params, std::span<const Interval> box, double bound,
                   std::size_t depth_limit, std::size_t box_budget) {
    check_bound(bound);
    check_box_sides(box);
    const std::size_t d = box.size();
    const std::vector<std::size_t> read = variables_read(program, d);
    box_budget = std::max<std::size_t>(box_budget, 1);  // the whole box is always examined

    std::vector<Enclosure> stack;
    stack.reserve(program.tokens.size());
    // Sub-boxes to examine, level by level (sides d at a time, and each one's depth), from
    // `next` on. Level by level, not depth first: near a pole the halves beside it stay open
    // too, and a depth-first descent spends the budget on them before a midpoint lands on it.
    std::vector<Interval> pending(box.begin(), box.end());
    std::vector<std::size_t> depths{0};
    std::size_t next = 0;
    std::vector<Interval> cur(d);
    std::vector<double> mid(d);

    BoxCheck out{BoxVerdict::Safe, nowhere(), 0};
    Enclosure whole = nowhere();
    bool undecided = false;
    bool any_leaf = false;
    auto end_on = [&](const Enclosure& e) {
        out.range.range = any_leaf ? hull(out.range.range, e.range) : e.range;
        any_leaf = true;
    };

    while (next < depths.size()) {
        const std::size_t depth = depths[next];
        std::copy_n(pending.begin() + static_cast<std::ptrdiff_t>(next * d), d, cur.begin());
        ++next;

        const Enclosure e = enclose_into(program, params, cur, stack);
        if (++out.boxes == 1) whole = e;
        const bool beyond = e.range.lo > bound || e.range.hi < -bound;
        if (e.defined == Definedness::Nowhere || beyond) return {BoxVerdict::Unsafe, whole, out.boxes};
        if (e.defined == Definedness::Everywhere && within(e.range.lo, bound) && within(e.range.hi, bound)) {
            end_on(e);
            continue;
        }

        for (std::size_t i = 0; i < d; ++i) mid[i] = midpoint(cur[i]);
        if (fails_at(program, mid, params, bound)) return {BoxVerdict::Unsafe, whole, out.boxes};

        if (single_point(read, cur)) {  // and its value was just found good
            end_on(e);
            continue;
        }
        const std::size_t split = variable_to_split(read, box, cur, mid);
        const bool room = out.boxes + (depths.size() - next) + 2 <= box_budget;
        if (split == d || depth >= depth_limit || !room) {
            end_on(e);
            undecided = true;
            continue;
        }
        const std::size_t base = pending.size();
        pending.insert(pending.end(), cur.begin(), cur.end());  // the lower half
        pending[base + split].hi = mid[split];
        pending.insert(pending.end(), cur.begin(), cur.end());  // the upper half
        pending[base + d + split].lo = mid[split];
        depths.push_back(depth + 1);
        depths.push_back(depth + 1);
    }
    out.verdict = undecided ? BoxVerdict::Undecided : BoxVerdict::Safe;
    out.range.defined = undecided ? Definedness::Unproven : Definedness::Everywhere;
    return out;
}

// ---- deciding by samples ------------------------------------------------------------

namespace {

// The largest k with k^d <= count.
std::size_t grid_side(std::size_t d, std::size_t count) {
    std::size_t k = 1;
    for (;;) {
        std::size_t p = 1;
        for (std::size_t i = 0; i < d && p <= count; ++i) p *= k + 1;
        if (p > count) return k;
        ++k;
    }
}

// The point t in [0, 1] of a side.
double on_side(Interval side, double t) noexcept {
    return std::clamp((1.0 - t) * side.lo + t * side.hi, side.lo, side.hi);
}

// The first n primes: the bases of the Halton points, one a dimension.
std::vector<std::size_t> first_primes(std::size_t n) {
    std::vector<std::size_t> primes;
    for (std::size_t c = 2; primes.size() < n; ++c)
        if (std::none_of(primes.begin(), primes.end(), [c](std::size_t p) { return c % p == 0; })) primes.push_back(c);
    return primes;
}

// The radical inverse of n in base b: n's digits mirrored about the point, in [0, 1).
// Each dimension alone is spread as evenly as a grid of the same size, at every prefix.
double radical_inverse(std::size_t n, std::size_t base) {
    const double inv_base = 1.0 / static_cast<double>(base);
    double scale = inv_base, t = 0.0;
    for (; n > 0; n /= base, scale *= inv_base) t += static_cast<double>(n % base) * scale;
    return t;
}

}  // namespace

std::vector<double> box_lattice(std::span<const Interval> box, std::size_t count) {
    const std::size_t d = box.size();
    std::vector<double> out;
    if (d == 0 || count == 0) return out;
    const std::size_t k = grid_side(d, count);
    if (k >= 3) {
        std::size_t total = 1;
        for (std::size_t i = 0; i < d; ++i) total *= k;
        out.reserve(total * d);
        std::vector<std::size_t> at(d, 0);
        for (std::size_t n = 0; n < total; ++n) {
            for (std::size_t i = 0; i < d; ++i)
                out.push_back(on_side(box[i], static_cast<double>(at[i]) / static_cast<double>(k - 1)));
            for (std::size_t i = 0; i < d && ++at[i] == k; ++i) at[i] = 0;
        }
        return out;
    }
    std::size_t corners = 0;
    if (d < 64 && (std::size_t{1} << d) <= count / 2) corners = std::size_t{1} << d;
    out.reserve(count * d);
    for (std::size_t c = 0; c < corners; ++c)
        for (std::size_t i = 0; i < d; ++i) out.push_back((c >> i) & 1 ? box[i].hi : box[i].lo);
    const std::vector<std::size_t> bases = first_primes(d);
    for (std::size_t n = corners; n < count; ++n)
        for (std::size_t i = 0; i < d; ++i)
            out.push_back(on_side(box[i], radical_inverse(n - corners + 1, bases[i])));
    return out;
}

BoxVerdict decide_by_samples(const Expr& program, std::span<const double> params, std::span<const Interval> box,
                             double bound, std::size_t count) {
    check_bound(bound);
    check_box_sides(box);
    if (count == 0) throw std::invalid_argument("sample count must be positive");
    const std::vector<std::size_t> read = variables_read(program, box.size());
    std::vector<double> x(box.size());
    for (std::size_t i = 0; i < box.size(); ++i) x[i] = midpoint(box[i]);
    if (read.empty()) return fails_at(program, x, params, bound) ? BoxVerdict::Unsafe : BoxVerdict::Safe;

    std::vector<Interval> sides;
    for (std::size_t i : read) sides.push_back(box[i]);
    const std::vector<double> points = box_lattice(sides, count);
    for (std::size_t p = 0; p < points.size(); p += read.size()) {
        for (std::size_t j = 0; j < read.size(); ++j) x[read[j]] = points[p + j];
        if (fails_at(program, x, params, bound)) return BoxVerdict::Unsafe;
    }
    return BoxVerdict::Safe;
}

BoxVerdict admit_on_box(const Expr& program, std::span<const double> params, std::span<const Interval> box,
                        double bound) {
    const BoxCheck check = check_box(program, params, box, bound);
    if (check.verdict != BoxVerdict::Undecided) return check.verdict;
    return decide_by_samples(program, params, box, bound);
}

}  // namespace zan::discover
