#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/guards.hpp"

namespace {
using namespace zan::discover;
using Op = Operator;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Token C(double v) { return Token::make_const(v); }
Token V(std::size_t i) { return Token::make_var(i); }
Token P(std::size_t slot, double v) { return Token::make_param(slot, v); }
Token O(Operator op) { return Token::make_op(op); }
Expr E(std::vector<Token> t) { return Expr{std::move(t), 0}; }

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

struct EvalCase {
    const char* what;
    std::vector<Token> program;
    std::vector<double> x;
    std::vector<double> params;
    std::optional<double> want;
};

TEST(Eval, Table) {
    const std::vector<EvalCase> cases = {
        {"lone variable", {V(0)}, {2.0}, {}, 2.0},
        {"variable beyond the row", {V(0)}, {}, {}, std::nullopt},
        {"second variable beyond a one-value row", {V(1)}, {1.0}, {}, std::nullopt},
        {"two values left", {C(1.0), C(2.0)}, {}, {}, std::nullopt},
        {"too few operands", {O(Op::Add)}, {}, {}, std::nullopt},
        {"binary with one operand", {V(0), O(Op::Sub)}, {1.0}, {}, std::nullopt},
        {"empty program", {}, {1.0}, {}, std::nullopt},
        {"left operand pushed first (Sub)", {V(0), V(1), O(Op::Sub)}, {5.0, 3.0}, {}, 2.0},
        {"left operand pushed first (Div)", {V(0), V(1), O(Op::Div)}, {5.0, 3.0}, {}, 5.0 / 3.0},
        {"zan", {V(0), V(1), O(Op::Zan)}, {2.0, 3.0}, {}, std::exp(2.0) - std::log(3.0)},
        {"ln of zero", {V(0), O(Op::Ln)}, {0.0}, {}, std::nullopt},
        {"ln of negative zero", {V(0), O(Op::Ln)}, {-0.0}, {}, std::nullopt},
        {"ln of negative", {V(0), O(Op::Ln)}, {-1.0}, {}, std::nullopt},
        {"zan reflects a negative log argument", {C(0.0), V(0), O(Op::Zan)}, {-1.0}, {}, 1.0},
        {"sqrt of negative zero", {V(0), O(Op::Sqrt)}, {-0.0}, {}, -0.0},
        {"sqrt of a tiny negative", {V(0), O(Op::Sqrt)}, {-1e-300}, {}, std::nullopt},
        {"inv below the floor", {V(0), O(Op::Inv)}, {1e-301}, {}, std::nullopt},
        {"inv at the floor", {V(0), O(Op::Inv)}, {1e-300}, {}, 1.0 / 1e-300},
        {"div by the floor", {C(1.0), V(0), O(Op::Div)}, {-1e-300}, {}, 1.0 / -1e-300},
        {"div below the floor", {C(1.0), V(0), O(Op::Div)}, {1e-301}, {}, std::nullopt},
        {"exp overflow", {V(0), O(Op::Exp)}, {710.0}, {}, std::nullopt},
        {"zan exponential slips", {V(0), C(1.0), O(Op::Zan)}, {710.0}, {}, std::exp(std::log(710.0)) - 0.0},
        {"nan leaf unchecked", {C(kNaN)}, {}, {}, kNaN},
        {"infinite variable unchecked", {V(0)}, {kInf}, {}, kInf},
        {"nan through an operator", {C(kNaN), O(Op::Neg)}, {}, {}, std::nullopt},
        {"abs of nan", {V(0), O(Op::Abs)}, {kNaN}, {}, std::nullopt},
        {"nan passes the ln domain test then fails", {V(0), O(Op::Ln)}, {kNaN}, {}, std::nullopt},
        {"param stored value", {P(0, 2.5)}, {}, {}, 2.5},
        {"param from params", {P(0, 2.5)}, {}, {7.0}, 7.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<double> got = eval(E(c.program), c.x, c.params);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_TRUE(same_bits(*got, *c.want)) << *got << " vs " << *c.want;
        }
    }
}

TEST(EvalBatch, ZeroRowsIsAnEmptyValueEvenForMalformedPrograms) {
    const std::vector<std::vector<double>> cols = {{}};
    for (const Expr& e : {E({V(0), O(Op::Ln)}), E({}), E({O(Op::Add)}), E({V(5)})}) {
        const auto r = eval_batch(e, cols);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->empty());
    }
}

TEST(EvalBatch, OneFailingRowFailsTheBatch) {
    const Expr ln = E({V(0), O(Op::Ln)});
    EXPECT_TRUE(eval_batch(ln, {{1.0}}).has_value());
    EXPECT_FALSE(eval_batch(ln, {{1.0, 0.0}}).has_value());
}

TEST(EvalBatch, FailingRowAtBlockBoundaries) {
    const Expr ln = E({V(0), O(Op::Ln)});
    const std::size_t B = EvalWorkspace::kBlock;
    for (std::size_t n : {B - 1, B, B + 1, 3 * B + 7}) {
        for (std::size_t bad : {std::size_t{0}, B - 1, B, B + 1, n - 1}) {
            if (bad >= n) continue;
            std::vector<double> col(n, 2.0);
            col[bad] = -1.0;
            EXPECT_FALSE(eval_batch(ln, {col}).has_value()) << n << " " << bad;
        }
        const auto ok = eval_batch(ln, {std::vector<double>(n, 2.0)});
        ASSERT_TRUE(ok.has_value());
        EXPECT_EQ(ok->size(), n);
        EXPECT_EQ(ok->back(), std::log(2.0));
    }
}

// ---- column-wise against row-by-row on random programs and data ----------------------

class RandomPrograms {
public:
    explicit RandomPrograms(std::uint64_t seed) : rng_(seed) {}

    Expr well_formed(std::size_t n_vars, int budget) {
        Expr e;
        grow(e.tokens, n_vars, budget);
        return e;
    }

    // Any token sequence: mostly malformed.
    Expr arbitrary(std::size_t n_vars) {
        Expr e;
        const int n = pick(0, 6);
        for (int i = 0; i < n; ++i) e.tokens.push_back(any_token(n_vars + 1));
        return e;
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double value() {
        static const double specials[] = {0.0, -0.0, 1.0, -1.0, 1e-300, 1e-301, 710.0, -3.5, 0.5, kNaN, kInf};
        if (pick(0, 9) == 0) return specials[pick(0, 10)];
        return std::uniform_real_distribution<double>(-4.0, 4.0)(rng_);
    }
    std::mt19937_64& rng() { return rng_; }

private:
    Token leaf(std::size_t n_vars) {
        switch (pick(0, 5)) {
            case 0: return C(value());
            case 1: return P(static_cast<std::size_t>(pick(0, 2)), value());
            default: return V(static_cast<std::size_t>(pick(0, static_cast<int>(n_vars) - 1)));
        }
    }
    Token any_token(std::size_t n_vars) {
        if (pick(0, 1) == 0) return leaf(n_vars);
        return O(static_cast<Operator>(pick(0, kOperatorCount - 1)));
    }
    void grow(std::vector<Token>& out, std::size_t n_vars, int budget) {
        if (budget <= 1 || pick(0, 3) == 0) {
            out.push_back(leaf(n_vars));
            return;
        }
        const auto op = static_cast<Operator>(pick(0, kOperatorCount - 1));
        if (arity(op) == 1) {
            grow(out, n_vars, budget - 1);
        } else {
            const int left = pick(1, budget - 2 > 1 ? budget - 2 : 1);
            grow(out, n_vars, left);
            grow(out, n_vars, budget - 1 - left);
        }
        out.push_back(O(op));
    }

    std::mt19937_64 rng_;
};

TEST(EvalBatch, ColumnWiseEqualsRowByRow) {
    RandomPrograms gen(20240611);
    const std::size_t B = EvalWorkspace::kBlock;
    const std::size_t row_counts[] = {0, 1, 7, B - 1, B, B + 1, 2 * B + 3};
    EvalWorkspace ws;
    int succeeded = 0, failed = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n_vars = static_cast<std::size_t>(gen.pick(1, 3));
        const std::size_t n = row_counts[gen.pick(0, 6)];
        std::vector<std::vector<double>> cols(n_vars, std::vector<double>(n));
        const bool tame = gen.pick(0, 1) == 0;  // data without special values mostly evaluates
        for (auto& c : cols)
            for (double& v : c) v = tame ? std::uniform_real_distribution<double>(0.1, 3.0)(gen.rng()) : gen.value();
        // later columns may be longer; their tails must never be read
        for (std::size_t j = 1; j < n_vars; ++j) cols[j].push_back(kNaN);
        const Expr e = gen.pick(0, 4) == 0 ? gen.arbitrary(n_vars) : gen.well_formed(n_vars, gen.pick(1, 9));
        const std::vector<double> params = gen.pick(0, 1) ? std::vector<double>{} : std::vector<double>{9.0};

        std::vector<std::span<const double>> spans(cols.begin(), cols.end());
        std::vector<double> out(n);
        const bool ok = eval_batch_into(e, Columns(spans), params, out.data(), ws);

        bool want_ok = true;
        std::vector<double> want(n);
        std::vector<double> row(n_vars);
        for (std::size_t i = 0; i < n && want_ok; ++i) {
            for (std::size_t j = 0; j < n_vars; ++j) row[j] = cols[j][i];
            const auto v = eval(e, row, params);
            if (!v) want_ok = false;
            else want[i] = *v;
        }
        ASSERT_EQ(ok, want_ok) << "trial " << trial << ": " << to_string(e) << " rows " << n;
        if (ok) {
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_TRUE(same_bits(out[i], want[i])) << "trial " << trial << " row " << i;
            ++succeeded;
        } else {
            ++failed;
        }
    }
    // both outcomes must be exercised in quantity
    EXPECT_GT(succeeded, 500);
    EXPECT_GT(failed, 500);
}

// ---- column-wise with derivatives ---------------------------------------------------

TEST(EvalBatchDual, ValuesAndOutcomeOfEvalBatchInto) {
    RandomPrograms gen(20250301);
    const std::size_t B = DualWorkspace::kBlock;
    const std::size_t row_counts[] = {0, 1, 7, B - 1, B, B + 1, 2 * B + 3};
    EvalWorkspace ws;
    DualWorkspace dws;
    int succeeded = 0, with_tangent = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const std::size_t n_vars = static_cast<std::size_t>(gen.pick(1, 3));
        const std::size_t n = row_counts[gen.pick(0, 6)];
        std::vector<std::vector<double>> cols(n_vars, std::vector<double>(n));
        const bool tame = gen.pick(0, 1) == 0;
        for (auto& c : cols)
            for (double& v : c) v = tame ? std::uniform_real_distribution<double>(0.1, 3.0)(gen.rng()) : gen.value();
        const Expr e = gen.pick(0, 4) == 0 ? gen.arbitrary(n_vars) : gen.well_formed(n_vars, gen.pick(1, 9));
        // slots 0..2 occur; from n_params on they are constants without a tangent
        const std::vector<double> params = {0.7, 1.3, 2.0};
        const std::size_t n_params = static_cast<std::size_t>(gen.pick(0, 3));

        std::vector<std::span<const double>> spans(cols.begin(), cols.end());
        std::vector<double> want(n), out(n), dout(n_params * n, kNaN);
        const bool want_ok = eval_batch_into(e, Columns(spans), params, want.data(), ws);
        const bool ok = eval_batch_dual(e, Columns(spans), params, n_params, out.data(), dout.data(), dws);
        ASSERT_EQ(ok, want_ok) << "trial " << trial << ": " << to_string(e) << " rows " << n;
        if (!ok) continue;
        ++succeeded;
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(out[i], want[i])) << "trial " << trial << " row " << i;
        // a program without a parameter slot below n_params has zero derivatives
        bool has_param = false;
        for (const Token& t : e.tokens) has_param |= t.kind == Token::Kind::Param && t.index < n_params;
        with_tangent += has_param && n > 0;
        if (!has_param) {
            for (double d : dout) ASSERT_EQ(d, 0.0) << "trial " << trial;
        }
    }
    EXPECT_GT(succeeded, 300);
    EXPECT_GT(with_tangent, 50);
}

TEST(EvalBatchDual, DerivativesMatchCentralDifferences) {
    using K = Op;
    const Token x = V(0), y = V(1);
    struct Case {
        const char* what;
        std::vector<Token> program;
        std::vector<double> params;
    };
    const std::vector<Case> cases = {
        {"p0 * exp(p1 * x) + p2", {P(0, 0), P(1, 0), x, O(K::Mul), O(K::Exp), O(K::Mul), P(2, 0), O(K::Add)},
         {1.5, -0.4, 0.25}},
        {"sqrt(x^2 + p0) / (p1 - x)", {x, O(K::Square), P(0, 0), O(K::Add), O(K::Sqrt), P(1, 0), x, O(K::Sub), O(K::Div)},
         {0.5, 5.0}},
        {"zan(p0 * x, x + p1)", {P(0, 0), x, O(K::Mul), x, P(1, 0), O(K::Add), O(K::Zan)}, {0.8, 0.3}},
        {"zan(x, x - p0), reflected", {x, x, P(0, 0), O(K::Sub), O(K::Zan)}, {4.0}},
        {"sin(p0 x)^2 p1 - cos(y / p0)",
         {P(0, 0), x, O(K::Mul), O(K::Sin), O(K::Square), P(1, 0), O(K::Mul), y, P(0, 0), O(K::Div), O(K::Cos), O(K::Sub)},
         {1.7, -2.0}},
        {"ln(abs(p0 - x)) * inv(p1) + neg(p2 * y)",
         {P(0, 0), x, O(K::Sub), O(K::Abs), O(K::Ln), P(1, 0), O(K::Inv), O(K::Mul), P(2, 0), y, O(K::Mul), O(K::Neg),
          O(K::Add)},
         {4.5, 0.6, 1.1}},
    };
    const std::size_t n = DualWorkspace::kBlock + 3;
    std::vector<double> cx(n), cy(n);
    for (std::size_t i = 0; i < n; ++i) {
        cx[i] = 0.1 + 2.9 * static_cast<double>(i) / static_cast<double>(n);
        cy[i] = 0.5 + std::sin(0.1 * static_cast<double>(i));
    }
    const std::span<const double> cols[] = {cx, cy};
    EvalWorkspace ws;
    DualWorkspace dws;
    for (const Case& c : cases) {
        const Expr e = E(c.program);
        const std::size_t P = c.params.size();
        std::vector<double> out(n), dout(P * n), hi(n), lo(n);
        ASSERT_TRUE(eval_batch_dual(e, cols, c.params, P, out.data(), dout.data(), dws)) << c.what;
        for (std::size_t k = 0; k < P; ++k) {
            std::vector<double> p = c.params;
            const double h = 1e-6 * std::max(1.0, std::fabs(p[k]));
            p[k] = c.params[k] + h;
            ASSERT_TRUE(eval_batch_into(e, cols, p, hi.data(), ws));
            p[k] = c.params[k] - h;
            ASSERT_TRUE(eval_batch_into(e, cols, p, lo.data(), ws));
            for (std::size_t i = 0; i < n; ++i) {
                const double fd = (hi[i] - lo[i]) / (2.0 * h);
                ASSERT_NEAR(dout[k * n + i], fd, 1e-6 * std::max(1.0, std::fabs(fd)))
                    << c.what << ": parameter " << k << " row " << i;
            }
        }
    }
}

// ---- text form ----------------------------------------------------------------------

TEST(ToString, Table) {
    struct Case {
        std::vector<Token> program;
        const char* text;
    };
    const std::vector<Case> cases = {
        {{}, "?"},
        {{V(0), O(Op::Zan)}, "zan(, x)"},
        {{V(0), O(Op::Sub)}, "( - x)"},
        {{O(Op::Neg)}, "(-)"},
        {{V(0), V(1)}, "y"},
        {{V(0), V(1), V(2), O(Op::Add)}, "(y + z)"},
        {{C(3.141592653589793)}, "\xCF\x80"},
        {{C(-3.141592653589793)}, "-3.1416"},
        {{C(std::nextafter(3.141592653589793, 4.0))}, "3.1416"},
        {{C(2.718281828459045)}, "e"},
        {{C(2.5)}, "2.5000"},
        {{C(0.0)}, "0.0000"},
        {{C(-0.0)}, "-0.0000"},
        {{C(0.00025)}, "0.0003"},
        {{C(0.00015)}, "0.0001"},
        {{C(0.03125)}, "0.0312"},
        {{C(-kInf)}, "-inf"},
        {{P(2, 0.5)}, "c2(0.5000)"},
        {{P(0, 3.141592653589793)}, "c0(3.1416)"},
        {{V(3)}, "{"},
        {{V(8)}, "\xC2\x80"},
        {{V(135)}, "\xC3\xBF"},
        {{V(0), C(1.0), O(Op::Add)}, "(x + 1.0000)"},
        {{V(0), O(Op::Exp), V(0), O(Op::Ln), O(Op::Mul)}, "(exp(x) * ln(x))"},
        {{V(0), V(1), O(Op::Zan)}, "zan(x, y)"},
        {{V(0), O(Op::Neg), O(Op::Inv), O(Op::Sqrt), O(Op::Sin), O(Op::Cos), O(Op::Abs)},
         "abs(cos(sin(sqrt((1/(-x))))))"},
        {{V(0), V(1), O(Op::Sub), V(2), O(Op::Div)}, "((x - y) / z)"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_string(E(c.program)), c.text);
    EXPECT_EQ(to_string(E({V(136)})), std::string(1, '\0'));
    EXPECT_EQ(to_string(E({V(256 + 1)})), "y");
}

TEST(ToString, DeepProgramDoesNotExhaustTheStack) {
    Expr e = E({V(0)});
    for (int i = 0; i < 200000; ++i) e.tokens.push_back(O(Op::Neg));
    const std::string s = to_string(e);
    EXPECT_EQ(s.size(), 200000u * 3 + 1);
}

TEST(ToLatex, Rewrites) {
    EXPECT_EQ(to_latex("sqrt(x)"), "\\sqrt{x}");
    EXPECT_EQ(to_latex("sqrt(sqrt(x))"), "\\sqrt{\\sqrt{x}}");
    EXPECT_EQ(to_latex("(\xCF\x80 * x)"), "(\xCF\x80 * x)");
    EXPECT_EQ(to_latex("zan(x, 1.0000)"), "\\mathrm{zan}(x, 1.0000)");
    EXPECT_EQ(to_latex("(exp(x) * sqrt((x + 1.0000)))"), "(\\exp(x) * \\sqrt{(x + 1.0000)})");
    EXPECT_EQ(to_latex("(sqrt(ln((x + 1.0000))) + sqrt(sin(cos(x))))"),
              "(\\sqrt{\\ln((x + 1.0000))} + \\sqrt{\\sin(\\cos(x))})");
    EXPECT_EQ(to_latex("sqrt(zan(sqrt(x), (1/y)))"), "\\sqrt{\\mathrm{zan}(\\sqrt{x}, (1/y))}");
    EXPECT_EQ(to_latex("abs((-x))"), "abs((-x))");
    EXPECT_EQ(to_latex("pi"), "\\pi");
    EXPECT_EQ(to_latex("sqrt(x"), "\\sqrt{x");
    EXPECT_EQ(to_latex("x)) + sqrt(y)"), "x)) + \\sqrt{y}");
}

TEST(ToLatexPython, SquareRewrites) {
    EXPECT_EQ(to_latex("((x + y) ^ 2)"), "((x + y)^{2})");
    EXPECT_EQ(to_python("exp((x ^ 2))"), "import math\nf = lambda x: math.exp((x**2))");
}

TEST(ToPython, Rewrites) {
    const std::string prefix = "import math\nf = lambda x: ";
    EXPECT_EQ(to_python("zan(x, 1.0000)"), prefix + "zan(x, 1.0000)");
    EXPECT_EQ(to_python("sqrt(abs(x))"), prefix + "math.sqrt(abs(x))");
    EXPECT_EQ(to_python("(exp(x) * ln(x))"), prefix + "(math.exp(x) * math.log(x))");
    EXPECT_EQ(to_python("(sin(x) - cos(y))"), prefix + "(math.sin(x) - math.cos(y))");
    EXPECT_EQ(to_python("?"), prefix + "?");
}

}  // namespace
