#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/operators.hpp"
#include "core/discover/classic_search.hpp"

namespace {
using namespace zan::discover;
using Op = Operator;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

TEST(OperatorTable, NamesAritiesAndCodes) {
    const char* names[] = {"neg", "inv", "exp", "ln",  "sqrt", "sin",  "cos",  "abs",  "zan",  "add",
                           "sub", "mul", "div", "square", "asin", "acos", "atan", "tanh", "sinh", "cosh"};
    const unsigned arities[] = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1};
    ASSERT_EQ(std::size(names), kOperatorCount);
    for (std::size_t i = 0; i < kOperatorCount; ++i) {
        const auto op = static_cast<Operator>(i);
        EXPECT_EQ(info(op).name, names[i]);
        EXPECT_EQ(arity(op), arities[i]) << names[i];
        Operator back{};
        ASSERT_TRUE(operator_named(names[i], back));
        EXPECT_EQ(back, op);
    }
    Operator unused{};
    EXPECT_FALSE(operator_named("pow", unused));
    EXPECT_EQ(static_cast<int>(Op::Square), 13);
    // commutative exactly where swapping the operands never changes the bits
    for (const OperatorInfo& row : kOperators) {
        if (row.arity == 2) {
            EXPECT_EQ(row.commutative, row.op == Op::Add || row.op == Op::Mul) << row.name;
        }
    }
}

// ---- partial derivatives against central differences -------------------------------

struct Point {
    Operator op;
    double a, b;
};

// Points inside each domain, away from kinks and guards; the zan points cover the
// slipped exponential (a > 709.78) and the reflected logarithm (b < 0).
const std::vector<Point> kPoints = {
    {Op::Neg, 1.3, 0}, {Op::Inv, 0.7, 0},   {Op::Inv, -2.5, 0},  {Op::Exp, 1.1, 0},   {Op::Exp, -3.0, 0},
    {Op::Ln, 0.4, 0},  {Op::Ln, 7.0, 0},    {Op::Sqrt, 0.3, 0},  {Op::Sqrt, 12.0, 0}, {Op::Sin, 0.9, 0},
    {Op::Sin, -2.0, 0}, {Op::Cos, 0.9, 0},  {Op::Cos, 4.0, 0},   {Op::Abs, -1.7, 0},  {Op::Abs, 2.2, 0},
    {Op::Zan, 0.5, 2.0}, {Op::Zan, -1.0, -3.0}, {Op::Zan, 720.0, 0.25}, {Op::Add, 1.5, -2.5},
    {Op::Sub, 1.5, -2.5}, {Op::Mul, 1.5, -2.5}, {Op::Div, 1.5, -2.5}, {Op::Div, -0.3, 0.8},
    {Op::Square, -1.2, 0}, {Op::Square, 3.0, 0}, {Op::Asin, 0.3, 0}, {Op::Asin, -0.9, 0},
    {Op::Acos, 0.3, 0}, {Op::Acos, -0.9, 0}, {Op::Atan, 0.4, 0}, {Op::Atan, -7.0, 0},
    {Op::Tanh, 0.6, 0}, {Op::Tanh, -3.0, 0}, {Op::Sinh, 1.2, 0}, {Op::Sinh, -4.0, 0},
    {Op::Cosh, 1.2, 0}, {Op::Cosh, -4.0, 0},
};

TEST(OperatorTable, PartialsMatchCentralDifferences) {
    std::set<Operator> covered;
    for (const Point& p : kPoints) {
        covered.insert(p.op);
        const OperatorInfo& row = info(p.op);
        const double r = row.value(p.a, p.b);
        ASSERT_TRUE(is_finite(r)) << row.name;
        const Partials d = row.partials(p.a, p.b, r);
        auto diff = [&](double x0, bool first) {
            const double h = 1e-6 * std::max(1.0, std::fabs(x0));
            const double hi = first ? row.value(p.a + h, p.b) : row.value(p.a, p.b + h);
            const double lo = first ? row.value(p.a - h, p.b) : row.value(p.a, p.b - h);
            return (hi - lo) / (2.0 * h);
        };
        const double fa = diff(p.a, true);
        EXPECT_NEAR(d.da, fa, 1e-6 * std::max(1.0, std::fabs(fa))) << row.name << " at " << p.a << ", " << p.b;
        if (row.arity == 2) {
            const double fb = diff(p.b, false);
            EXPECT_NEAR(d.db, fb, 1e-6 * std::max(1.0, std::fabs(fb))) << row.name << " at " << p.a << ", " << p.b;
        } else {
            EXPECT_EQ(d.db, 0.0) << row.name;
        }
    }
    EXPECT_EQ(covered.size(), kOperatorCount);
}

TEST(OperatorTable, PartialsAtGuardsAndKinks) {
    // zan: a floored logarithm does not move with b; abs has slope 0 at 0
    EXPECT_EQ(info(Op::Zan).partials(0.0, 0.0, kernels::zan(0.0, 0.0)).db, 0.0);
    EXPECT_EQ(info(Op::Zan).partials(0.0, -1e-300, kernels::zan(0.0, -1e-300)).db, 0.0);
    EXPECT_EQ(info(Op::Abs).partials(0.0, 0.0, 0.0).da, 0.0);
    // sqrt at 0, asin and acos at ±1: unbounded, reported as non-finite for the caller to reject
    EXPECT_FALSE(is_finite(info(Op::Sqrt).partials(0.0, 0.0, 0.0).da));
    for (Op op : {Op::Asin, Op::Acos})
        for (double edge : {-1.0, 1.0}) {
            const double r = apply(op, edge, 0.0);
            ASSERT_TRUE(is_finite(r)) << info(op).name << " at " << edge;
            EXPECT_FALSE(is_finite(info(op).partials(edge, 0.0, r).da)) << info(op).name << " at " << edge;
        }
}

TEST(OperatorTable, InverseSinesHaveNoValueOutsideTheirDomain) {
    for (Op op : {Op::Asin, Op::Acos}) {
        for (double a : {-1.0 - 1e-15, 1.0 + 2e-16 * 2, 2.0, -7.5, std::numeric_limits<double>::infinity()})
            EXPECT_TRUE(std::isnan(apply(op, a, 0.0))) << info(op).name << " at " << a;
        EXPECT_EQ(apply(op, 1.0, 0.0), op == Op::Asin ? std::asin(1.0) : 0.0);
        EXPECT_TRUE(std::isnan(apply(op, std::numeric_limits<double>::quiet_NaN(), 0.0)));
    }
    // overflow is no value for the evaluators (not finite), as for exp
    const double big[] = {800.0};
    double out[1];
    EXPECT_FALSE(apply_block(Op::Sinh, big, nullptr, out, 1));
    EXPECT_FALSE(apply_block(Op::Cosh, big, nullptr, out, 1));
    EXPECT_TRUE(apply_block(Op::Tanh, big, nullptr, out, 1));
    EXPECT_EQ(out[0], 1.0);
}

// ---- operator sets ------------------------------------------------------------------

TEST(OperatorSets, TheDefaultIsTheSetTheSearchHasAlwaysUsed) {
    EXPECT_EQ(kDefaultOperators, operator_set({Op::Inv, Op::Exp, Op::Ln, Op::Sqrt, Op::Square, Op::Sin, Op::Cos,
                                               Op::Add, Op::Sub, Op::Mul, Op::Div}));
    for (Op op : {Op::Asin, Op::Acos, Op::Atan, Op::Tanh, Op::Sinh, Op::Cosh, Op::Zan, Op::Neg, Op::Abs})
        EXPECT_FALSE(contains(kDefaultOperators, op)) << info(op).name;
}

TEST(OperatorSets, TheOldSwitchesMapOntoTheSet) {
    const std::uint32_t no_trig = with_trig(kDefaultOperators, false);
    EXPECT_FALSE(contains(no_trig, Op::Sin) || contains(no_trig, Op::Cos));
    EXPECT_EQ(with_trig(no_trig, true), kDefaultOperators);
    // every circular function leaves with use_trig = false, only the default ones come back
    const std::uint32_t chosen = operator_set({Op::Add, Op::Asin, Op::Atan, Op::Tanh});
    EXPECT_EQ(with_trig(chosen, false), operator_set({Op::Add, Op::Tanh}));
    EXPECT_EQ(with_trig(chosen, true), chosen | operator_set({Op::Sin, Op::Cos}));
    EXPECT_EQ(with_zan(kDefaultOperators, true), kDefaultOperators | operator_bit(Op::Zan));
    EXPECT_EQ(with_zan(with_zan(kDefaultOperators, true), false), kDefaultOperators);
    EXPECT_EQ(kAllOperators, (std::uint32_t{1} << kOperatorCount) - 1);
}

TEST(OperatorSets, TheLevelSearchTriesTheDefaultOperatorsInItsFixedOrder) {
    // the order decides which of two equal candidates is kept: it must not move
    EXPECT_EQ(search_operators(kDefaultOperators, 1),
              (std::vector<Op>{Op::Inv, Op::Exp, Op::Ln, Op::Sqrt, Op::Square, Op::Sin, Op::Cos}));
    EXPECT_EQ(search_operators(with_zan(kDefaultOperators, true), 2),
              (std::vector<Op>{Op::Add, Op::Sub, Op::Mul, Op::Div, Op::Zan}));
    // operators without a rank follow in code order
    EXPECT_EQ(search_operators(operator_set({Op::Cosh, Op::Asin, Op::Square, Op::Neg, Op::Mul}), 1),
              (std::vector<Op>{Op::Square, Op::Neg, Op::Asin, Op::Cosh}));
}

// ---- block passes -------------------------------------------------------------------

std::vector<double> sample(std::size_t n, double lo, double hi, double phase) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = lo + (hi - lo) * (0.5 + 0.5 * std::sin(phase + 0.37 * static_cast<double>(i)));
    return v;
}

TEST(ApplyBlockDual, ValuesAsApplyBlockAndTangentsByTheChainRule) {
    constexpr std::size_t n = 300, P = 2;  // over one chunk of 256 rows
    // inside every domain, the inverse sines' [-1, 1] included
    const std::vector<double> a = sample(n, 0.2, 0.95, 0.1), b = sample(n, 0.5, 2.0, 1.7);
    const std::vector<double> da = sample(P * n, -1.0, 1.0, 2.3), db = sample(P * n, -1.0, 1.0, 0.9);
    for (const OperatorInfo& row : kOperators) {
        std::vector<double> want(n), got(n), dgot(P * n);
        ASSERT_TRUE(apply_block(row.op, a.data(), b.data(), want.data(), n)) << row.name;
        ASSERT_TRUE(apply_block_dual(row.op, a.data(), da.data(), b.data(), db.data(), got.data(), dgot.data(), n, P));
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(same_bits(got[i], want[i])) << row.name << " row " << i;
            const Partials p = row.partials(a[i], b[i], want[i]);
            for (std::size_t k = 0; k < P; ++k) {
                const double t = row.arity == 1 ? p.da * da[k * n + i] : p.da * da[k * n + i] + p.db * db[k * n + i];
                ASSERT_TRUE(same_bits(dgot[k * n + i], t)) << row.name << " row " << i << " k " << k;
            }
        }
        // a null tangent is zero: only the other operand's term remains
        ASSERT_TRUE(apply_block_dual(row.op, a.data(), nullptr, b.data(), db.data(), got.data(), dgot.data(), n, P));
        for (std::size_t i = 0; i < n; ++i) {
            const Partials p = row.partials(a[i], b[i], want[i]);
            EXPECT_EQ(dgot[n + i], row.arity == 1 ? 0.0 : p.db * db[n + i]) << row.name;
        }
    }
    // a failing row fails the pass, as in apply_block
    std::vector<double> neg = a, out(n), dout(P * n);
    neg[200] = -1.0;
    EXPECT_FALSE(apply_block_dual(Op::Ln, neg.data(), da.data(), nullptr, nullptr, out.data(), dout.data(), n, P));
}

// ---- Square in every reader of the table ---------------------------------------------

TEST(Square, EvaluationFingerprintAndRenderings) {
    const Expr sq{{Token::make_var(0), Token::make_op(Op::Square)}, 1};
    EXPECT_EQ(eval(sq, std::vector<double>{-3.0}), 9.0);
    EXPECT_FALSE(eval(sq, std::vector<double>{1e200}).has_value());  // overflow: no value
    const auto batch = eval_batch(sq, {std::vector<double>{1.5, -2.0, 0.0}});
    ASSERT_TRUE(batch.has_value());
    EXPECT_EQ(*batch, (std::vector<double>{2.25, 4.0, 0.0}));

    // same function as x * x, bit for bit, so the same fingerprint
    const Expr xx{{Token::make_var(0), Token::make_var(0), Token::make_op(Op::Mul)}, 1};
    ASSERT_TRUE(fingerprint(sq, 1).has_value());
    EXPECT_EQ(fingerprint(sq, 1), fingerprint(xx, 1));

    const Expr nested{{Token::make_var(0), Token::make_const(1.0), Token::make_op(Op::Add), Token::make_op(Op::Square),
                       Token::make_op(Op::Sqrt)},
                      1};
    const std::string text = to_string(nested);
    EXPECT_EQ(text, "sqrt(((x + 1.0000) ^ 2))");
    EXPECT_EQ(to_latex(text), "\\sqrt{((x + 1.0000)^{2})}");
    EXPECT_EQ(to_python(text), "import math\nf = lambda x: math.sqrt(((x + 1.0000)**2))");
}

TEST(Square, NotPartOfTheClassicSearch) {
    // x² is found as x * x: the classic operator set is fixed
    std::vector<double> x, y;
    for (int i = 1; i <= 20; ++i) {
        x.push_back(0.25 * i);
        y.push_back(0.25 * i * 0.25 * i);
    }
    const auto best = search({x}, y, 1, SearchConfig{});
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->formula, "(x * x)");
}

}  // namespace
