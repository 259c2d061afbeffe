// The discovery engine's numerical pieces: scaling statistics, Levenberg–Marquardt against
// closed-form fits, snapping, simplification, sampling, and whole searches.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/front.hpp"
#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/operator_use.hpp"
#include "core/discover/engine/poles.hpp"
#include "core/discover/engine/program.hpp"
#include "core/discover/engine/snap.hpp"

namespace ze = zan::discover::engine;
namespace zd = zan::discover;
using zd::Operator;
using zd::Token;

namespace {

std::vector<double> range(std::size_t n, double lo, double hi) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(n - 1);
    return v;
}

// A front entry of the given complexity and loss, all else default.
ze::Formula formula(std::size_t complexity, double loss) {
    ze::Formula f;
    f.complexity = complexity;
    f.loss = loss;
    return f;
}

}  // namespace

TEST(EngineMoments, MergedChunksEqualTheWhole) {
    const auto f = range(1000, -3.0, 7.0);
    std::vector<double> y(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) y[i] = 2.5 * f[i] - 1.0 + std::sin(f[i]);
    const ze::Moments whole = ze::Moments::of(f.data(), y.data(), f.size());
    ze::Moments merged;
    for (std::size_t b = 0; b < f.size(); b += 97)
        merged.merge(ze::Moments::of(f.data() + b, y.data() + b, std::min<std::size_t>(97, f.size() - b)));
    EXPECT_DOUBLE_EQ(merged.n, whole.n);
    EXPECT_NEAR(merged.c_fy / whole.c_fy, 1.0, 1e-12);
    EXPECT_NEAR(merged.m2_f / whole.m2_f, 1.0, 1e-12);
    const ze::LinearFit fit = ze::linear_fit(whole);
    EXPECT_GT(fit.a, 2.0);
    EXPECT_LT(fit.nmse, 0.1);
}

TEST(EngineMoments, ExactFitIsRecomputedFromResiduals) {
    const auto f = range(200, 1e3, 1e3 + 1.0);  // large offset: 1 − r² cancels badly
    std::vector<double> y(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) y[i] = 3.0 * f[i] + 7.0;
    const ze::Moments m = ze::Moments::of(y.data(), y.data(), y.size());
    const ze::LinearFit fit = ze::fit_column(f.data(), y.data(), f.size(), m.m2_y);
    EXPECT_LT(fit.nmse, 1e-20);
    EXPECT_NEAR(fit.a, 3.0, 1e-9);
}

TEST(EngineLm, MatchesClosedFormLinearFit) {
    // y = a·x + b by LM over the program  x p0 * p1 +  against the closed form
    const auto x = range(50, -2.0, 3.0);
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = 1.7 * x[i] - 0.3 + 0.01 * std::cos(7.0 * x[i]);
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_param(0, 0), Token::make_op(Operator::Mul), Token::make_param(1, 0),
                Token::make_op(Operator::Add)};
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    ze::ProgramProblem problem(e, source, 2);
    const double start[2] = {1.0, 0.0};
    const ze::LmResult r = ze::levenberg_marquardt(problem, start);
    const ze::LinearFit fit = ze::linear_fit(ze::Moments::of(x.data(), y.data(), x.size()));
    ASSERT_TRUE(r.ok);
    EXPECT_NEAR(r.theta[0], fit.a, 1e-10);
    EXPECT_NEAR(r.theta[1], fit.b, 1e-10);
}

TEST(EngineLm, RecoversAnInnerConstantAndSurvivesBadStarts) {
    // y = 2·exp(−0.5·x²): from a far start, and from one where the model has no value
    const auto x = range(80, -3.0, 3.0);
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = 2.0 * std::exp(-0.5 * x[i] * x[i]);
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_op(Operator::Square), Token::make_param(0, 0),
                Token::make_op(Operator::Mul), Token::make_op(Operator::Exp), Token::make_param(1, 0),
                Token::make_op(Operator::Mul)};
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    ze::ProgramProblem problem(e, source, 2);
    const double start[2] = {-2.0, 1.0};
    const ze::LmResult r = ze::levenberg_marquardt(problem, start);
    ASSERT_TRUE(r.ok);
    EXPECT_NEAR(r.theta[0], -0.5, 1e-9);
    EXPECT_NEAR(r.theta[1], 2.0, 1e-9);
    const double overflow[2] = {1e6, 1.0};  // exp overflows at the start: no fit, no NaN
    const ze::LmResult bad = ze::levenberg_marquardt(problem, overflow);
    EXPECT_FALSE(bad.ok);
}

TEST(EngineLm, RankDeficientProblemStaysFinite) {
    // p0 and p1 only ever appear as their product: a flat direction
    const auto x = range(30, 0.0, 1.0);
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = 6.0 * x[i];
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_param(0, 0), Token::make_op(Operator::Mul), Token::make_param(1, 0),
                Token::make_op(Operator::Mul)};
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    ze::ProgramProblem problem(e, source, 2);
    const double start[2] = {1.0, 1.0};
    const ze::LmResult r = ze::levenberg_marquardt(problem, start);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(std::isfinite(r.theta[0]) && std::isfinite(r.theta[1]));
    EXPECT_NEAR(r.theta[0] * r.theta[1], 6.0, 1e-8);
}

TEST(EngineSnap, SimplestCandidateFirst) {
    const auto c = ze::snap_candidates(0.3989422804014327, 1e-9);
    ASSERT_FALSE(c.empty());
    EXPECT_DOUBLE_EQ(c[0].value, 1.0 / 2.5066282746310002);
    EXPECT_DOUBLE_EQ(ze::snap_candidates(1.5000001, 1e-6)[0].value, 1.5);
    EXPECT_DOUBLE_EQ(ze::snap_candidates(-6.2831853, 1e-6)[0].value, -2.0 * std::numbers::pi);
    EXPECT_TRUE(ze::snap_candidates(0.123456789, 1e-9).empty());
}

TEST(EngineProgram, FreezingSimplifies) {
    // (x · p0) + p1 with p0 → 1 and p1 → 0 is x; with p0 → −1 it is −x + p1
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_param(0, 0), Token::make_op(Operator::Mul), Token::make_param(1, 0),
                Token::make_op(Operator::Add)};
    std::vector<double> left;
    const double ones[2] = {1.0, 0.0};
    const char both[2] = {1, 1};
    EXPECT_EQ(ze::freeze_and_simplify(e, ones, both, left).tokens, std::vector<Token>{Token::make_var(0)});
    const double neg[2] = {-1.0, 4.0};
    const char first[2] = {1, 0};
    const zd::Expr out = ze::freeze_and_simplify(e, neg, first, left);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], 4.0);
    EXPECT_EQ(out.tokens.size(), 4u);  // x neg p0 add
}

TEST(EngineProgram, RatioOverReciprocalIsAProduct) {
    // x / (1/y) → x·y
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_var(1), Token::make_op(Operator::Inv), Token::make_op(Operator::Div)};
    std::vector<double> left;
    EXPECT_EQ(ze::freeze_and_simplify(e, {}, {}, left).tokens,
              (std::vector<Token>{Token::make_var(0), Token::make_var(1), Token::make_op(Operator::Mul)}));
}

TEST(EnginePoles, DivisorThroughZeroBetweenRows) {
    // x / (x − 1): a pole at 1 lies between rows of [0, 2], none on [2, 3]; likewise 1/(x − 1)
    zd::Expr ratio, reciprocal;
    ratio.tokens = {Token::make_var(0), Token::make_var(0), Token::make_param(0, 1.0), Token::make_op(Operator::Sub),
                    Token::make_op(Operator::Div)};
    reciprocal.tokens = {Token::make_var(0), Token::make_param(0, 1.0), Token::make_op(Operator::Sub),
                         Token::make_op(Operator::Inv)};
    const double one = 1.0;
    for (const zd::Expr* e : {&ratio, &reciprocal}) {
        const std::vector<double> across = range(10, 0.05, 2.0), beyond = range(10, 2.0, 3.0);
        const std::span<const double> a[1] = {across}, b[1] = {beyond};
        EXPECT_TRUE(ze::divides_across_zero(*e, {&one, 1}, a));
        EXPECT_FALSE(ze::divides_across_zero(*e, {&one, 1}, b));
    }
}

TEST(EngineFront, RoundingIsNoGainAndTheSimplestIsScoredAgainstTheMean) {
    // the 3-token entry gains only rounding; the first drops from the variance (1) to 1e-2
    const std::vector<ze::Formula> front =
        ze::build_front({formula(2, 1e-2), formula(3, 1e-2 * (1.0 - 1e-12)), formula(5, 8e-3)}, 1.0);
    ASSERT_EQ(front.size(), 2u);
    EXPECT_EQ(front[1].complexity, 5u);
    EXPECT_DOUBLE_EQ(front[0].score, -std::log(1e-2));
    EXPECT_NEAR(front[1].score, -std::log(0.8) / 3.0, 1e-12);
    // within reach of the best loss, the simplest wins on its drop from the mean
    EXPECT_EQ(ze::choose(front, ze::Selection::Best, 1.0, 10, 100), 0u);
}

TEST(EngineOperators, AFormulaKeepsToTheSetItsFrameAside) {
    const Token x = Token::make_var(0), y = Token::make_var(1), c = Token::make_param(0, 0.0);
    const auto op = [](Operator o) { return Token::make_op(o); };
    const auto set = [](std::initializer_list<Operator> ops) {
        std::uint32_t s = 0;
        for (Operator o : ops) s |= zd::operator_bit(o);
        return s;
    };
    struct Case {
        std::vector<Token> tokens;
        std::uint32_t set;
        bool within;
    };
    const std::uint32_t arithmetic = set({Operator::Add, Operator::Sub, Operator::Mul, Operator::Div});
    for (const Case& k : std::vector<Case>{
             {{x, c, op(Operator::Mul), c, op(Operator::Add)}, 0, true},   // c·x + c: the frame
             {{c, op(Operator::Exp), x, op(Operator::Mul)}, 0, true},      // exp(c)·x: a constant scale
             {{x, y, op(Operator::Mul)}, set({Operator::Add}), false},     // a product needs mul
             {{c, x, op(Operator::Div)}, set({Operator::Mul}), false},     // c/x is a function of x
             {{c, x, op(Operator::Div)}, set({Operator::Inv}), true},
             {{x, y, op(Operator::Div)}, set({Operator::Mul, Operator::Inv}), true},
             {{x, op(Operator::Square)}, set({Operator::Mul}), true},
             {{x, op(Operator::Exp), y, op(Operator::Mul)}, arithmetic, false},
             {{x, op(Operator::Exp), y, op(Operator::Mul)}, arithmetic | set({Operator::Exp}), true},
             {{x, op(Operator::Asin)}, zd::kDefaultOperators, false},
         }) {
        zd::Expr e;
        e.tokens = k.tokens;
        EXPECT_EQ(ze::within_operators(e, k.set), k.within) << zd::to_string(e);
    }
}

TEST(EngineFront, ATargetOfOneNumberUpToItsRoundingKeepsTheConstant) {
    // 2.7 on thirty rows: the mean misses some rows by their last bit, a longer formula fits
    // that bit; the variance the formulas report is the rounding itself
    const std::vector<ze::Formula> front = ze::build_front({formula(1, 2e-31), formula(8, 0.0)}, 2e-31, 2.7);
    ASSERT_EQ(front.size(), 1u);
    EXPECT_EQ(ze::choose(front, ze::Selection::Accuracy, 2e-31, 10, 30, -1.0, 2.7), 0u);
    // a real spread far below the target's size is still told apart
    EXPECT_EQ(ze::build_front({formula(1, 1e-6), formula(5, 1e-8)}, 1e-6, 1e6).size(), 2u);
}

TEST(EngineFront, AFitClearlyAboveTheNoiseIsPassedOverWhereTheRowsTellItApart) {
    // an approximation 30% above the noise, the law, and a longer fit of the noise itself
    const std::vector<ze::Formula> front =
        ze::build_front({formula(5, 1.3e-4), formula(12, 1e-4), formula(25, 0.999e-4)}, 1.0);
    ASSERT_EQ(front.size(), 3u);
    struct Case {
        double noise;
        std::size_t rows, chosen;
    };
    for (const Case& c : {
             Case{-1.0, 1000, 0},   // the noise not known: the simplest near the best loss
             Case{1e-2, 1000, 1},   // the data's estimate far above: the front's lowest is the noise
             Case{1e-3, 5000, 1},   // more rows tell them apart better still
             Case{5e-5, 1000, 0},   // the front does not reach the data's estimate: approximations all
             Case{1e-2, 60, 0},     // on 60 rows chance alone moves a loss by 30%
         }) {
        EXPECT_EQ(ze::choose(front, ze::Selection::Best, 1.0, 10, c.rows, c.noise), c.chosen)
            << "noise " << c.noise << ", rows " << c.rows;
    }
}

TEST(EngineSample, EvenlySpacedAndComplete) {
    EXPECT_EQ(ze::sample_rows(5, 256).size(), 5u);
    const auto s = ze::sample_rows(1000, 10);
    ASSERT_EQ(s.size(), 10u);
    EXPECT_EQ(s.front(), 0u);
    EXPECT_EQ(s.back(), 900u);
}

TEST(EngineSearch, FindsALawAndAgreesWithItself) {
    // y = 1.5·p·V: scaling recovers it at four tokens once 1.5 is snapped
    const auto p = range(60, 1.0, 4.0);
    std::vector<double> v(p.size()), y(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        v[i] = 2.0 + std::sin(3.0 * static_cast<double>(i));
        y[i] = 1.5 * p[i] * v[i];
    }
    const std::vector<std::span<const double>> cols = {p, v};
    ze::EngineConfig config;
    const ze::Result a = ze::discover(zd::Columns(cols), y, config);
    const ze::Result b = ze::discover(zd::Columns(cols), y, config);
    ASSERT_FALSE(a.front.empty());
    const ze::Formula& best = a.front[a.best];
    EXPECT_LT(best.nmse, 1e-20);
    EXPECT_EQ(best.complexity, 5u);  // p v mul 1.5 mul
    ASSERT_EQ(a.front.size(), b.front.size());
    for (std::size_t i = 0; i < a.front.size(); ++i) EXPECT_EQ(a.front[i].program, b.front[i].program);
}
