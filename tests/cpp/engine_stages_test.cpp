// The level search's stages, each on a small case whose answer is known in closed form.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "core/discover/engine/candidate.hpp"
#include "core/discover/engine/constant_snapping.hpp"
#include "core/discover/engine/generation.hpp"
#include "core/discover/engine/inner_constant.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/pair_sums.hpp"
#include "core/discover/engine/pair_terms.hpp"
#include "core/discover/engine/residual_models.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/selection.hpp"
#include "core/discover/engine/sums.hpp"
#include "core/discover/engine/verification.hpp"

namespace ze = zan::discover::engine;
namespace zd = zan::discover;
using zd::Operator;
using zd::Token;

namespace {

// Columns a, b, c on [1, 3] that no two are affine copies of, and a target of them.
struct Fixture {
    std::vector<std::vector<double>> cols;
    std::vector<std::span<const double>> spans;
    std::vector<double> y;
    ze::SearchSample sample;
    ze::NodeStore store;

    template <class Law>
    Fixture(std::size_t vars, Law law) : cols(vars), y(64), sample(make(vars, law)), store(64) {
        for (std::size_t v = 0; v < vars; ++v) {  // the leaves, as the search starts
            ze::Node n;
            n.tokens = {Token::make_var(v)};
            n.size = 1;
            n.vars = 1u << v;
            n.fit = sample.fit(sample.moments(cols[v].data()), cols[v].data());
            store.append_to_join_order(1, store.add(std::move(n), cols[v].data()));
        }
    }

    template <class Law>
    ze::SearchSample make(std::size_t vars, Law law) {
        for (std::size_t i = 0; i < y.size(); ++i) {
            const double t = static_cast<double>(i);
            const double abc[3] = {1.0 + 2.0 * t / 63.0, 2.0 + std::sin(1.3 * t), 2.0 + std::cos(0.7 * t * t)};
            for (std::size_t v = 0; v < vars; ++v) cols[v].push_back(abc[v]);
            y[i] = law(abc[0], abc[1], abc[2]);
        }
        spans.assign(cols.begin(), cols.end());
        return ze::SearchSample(zd::Columns(spans), y);
    }
};

ze::SumTarget target_of(const ze::SearchSample& s) { return {s.y(), s.y_mean(), s.syy()}; }

TEST(EngineGeneration, CountsOfTheFirstLevels) {
    Fixture f(2, [](double a, double b, double) { return a + b; });
    ze::EngineConfig config;
    config.operators = zd::with_trig(zd::kDefaultOperators, false);
    const ze::AllowedOperators ops = ze::allowed_operators(config);
    ASSERT_EQ(ops.unary.size(), 5u);
    ASSERT_EQ(ops.binary.size(), 4u);
    // size 2: every unary operator over each leaf
    EXPECT_EQ(ze::generate_candidates(f.store, ops, config, 2).size(), 10u);
    // size 3, nothing kept at size 2: add a+b; mul a·a, a·b, b·b; sub and div both ways
    EXPECT_EQ(ze::generate_candidates(f.store, ops, config, 3).size(), 1u + 3u + 2u + 2u);
}

TEST(EngineInnerConstant, ScreeningMovesFromTheGridTowardTheConstant) {
    Fixture f(1, [](double a, double, double) { return 3.0 * std::exp(0.7 * a) - 1.0; });
    const ze::Candidate c{0, ze::kNone, Operator::Exp, ze::Make::Scale};
    std::vector<double> buf(64), scratch(4 * 64);
    double constant = 0.0;
    ze::LinearFit fit;
    ASSERT_TRUE(ze::fit_inner_constant(f.store, f.sample, c, buf.data(), scratch.data(), constant, fit));
    // a short screening fit: off the grid (0.5, 1) toward 0.7, and better than any grid point
    EXPECT_GT(constant, 0.6);
    EXPECT_LT(constant, 0.8);
    for (double g : ze::kScaleGrid) {
        if (!ze::compose(f.store, c, g, scratch.data())) continue;
        EXPECT_LT(fit.nmse, f.sample.fit(f.sample.moments(scratch.data()), scratch.data()).nmse) << g;
    }
    EXPECT_LT(fit.nmse, 1e-3);
}

TEST(EngineSums, LeastSquaresAndPursuitOfAnExactSum) {
    Fixture f(3, [](double a, double b, double) { return 3.0 + 2.0 * a - 0.5 * b; });
    const ze::SumPursuit pursuit(f.store);
    ze::SumFit sum;
    sum.terms = {0, 1};
    ASSERT_TRUE(pursuit.solve(sum, f.sample.y(), f.sample.y_mean()));
    EXPECT_NEAR(sum.coefficients[0], 2.0, 1e-12);
    EXPECT_NEAR(sum.coefficients[1], -0.5, 1e-12);
    EXPECT_NEAR(sum.intercept, 3.0, 1e-12);
    // from a, the pursuit takes b (not c) and stops there: exact
    const std::vector<char> every(f.store.size(), 1);
    const std::uint32_t start = 0;
    const std::vector<ze::SumFit> found = pursuit.pursue({&start, 1}, 30, 6, every, target_of(f.sample));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].terms, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_LE(found[0].nmse, ze::kExactNmse);
    EXPECT_EQ(found[0].size, 3u);  // a + b
    // linearly dependent terms have no solution
    ze::SumFit twice;
    twice.terms = {0, 0};
    EXPECT_FALSE(pursuit.solve(twice, f.sample.y(), f.sample.y_mean()));
}

TEST(EnginePairSums, BestPairAndRatio) {
    // y = (2a + 3b)/c: y·c is the pair a, b exactly
    Fixture f(3, [](double a, double b, double c) { return (2.0 * a + 3.0 * b) / c; });
    const ze::PairTerms terms(f.store);
    ASSERT_EQ(terms.size(), 3u);
    const ze::PairTarget t(f.sample.y(), f.store.values(2), 64);
    std::vector<double> cos(3);
    for (std::uint32_t j = 0; j < 3; ++j)
        cos[j] = [&] {
            double d = 0.0;
            for (std::size_t i = 0; i < 64; ++i) d += f.store.unit(j)[i] * t.centred[i];
            return d / std::sqrt(t.stt);
        }();
    EXPECT_EQ(terms.best_pair(cos, 2, false), (std::array<std::uint32_t, 2>{0, 1}));
    // every leaf keeps one sign well away from zero: all may divide
    EXPECT_EQ(ze::denominators(f.store).size(), 3u);
    std::vector<ze::SumFit> sums;
    const ze::Control control;
    const ze::StopCondition never(control, 0.0, std::chrono::steady_clock::now());
    ze::fit_pair_sums_and_ratios(f.store, f.sample, ze::EngineConfig{}, never, sums);
    bool exact_ratio = false;
    for (const ze::SumFit& s : sums)
        exact_ratio = exact_ratio || (s.denominator == 2 && s.nmse <= ze::kExactNmse && s.terms.size() == 2);
    EXPECT_TRUE(exact_ratio);
}

TEST(EngineSelection, BeamCapPerVariableSetAndDuplicates) {
    // beam of 4 over two variables: at most one candidate per set of variables in the beam
    Fixture f(2, [](double a, double b, double) { return std::exp(a) + 0.01 * b; });
    ze::EngineConfig config;
    config.small_size = 0;
    config.beam_per_size = 4;
    config.per_variable_set = 0;
    config.per_residual = 0;
    const std::vector<ze::Candidate> cands = {
        {0, ze::kNone, Operator::Exp, ze::Make::Unary}, {0, ze::kNone, Operator::Sin, ze::Make::Unary},
        {0, ze::kNone, Operator::Exp, ze::Make::Unary},  // a duplicate of the first
        {1, ze::kNone, Operator::Exp, ze::Make::Unary}, {1, ze::kNone, Operator::Ln, ze::Make::Unary}};
    std::vector<ze::Scored> scored(cands.size());
    const double errors[] = {1e-4, 0.5, 1e-4, 0.9, 0.95};
    for (std::size_t i = 0; i < cands.size(); ++i) scored[i].ok = true, scored[i].fit.nmse = errors[i], scored[i].fit.a = 1.0;
    const ze::ResidualModels none;
    EXPECT_EQ(ze::select_level(f.store, f.sample, none, config, cands, scored, 2), 2u);
    ASSERT_EQ(f.store.size(), 4u);
    EXPECT_EQ(f.store[2].tokens.back(), Token::make_op(Operator::Exp));  // exp(a), then exp(b)
    EXPECT_EQ(f.store[3].vars, 2u);
    EXPECT_EQ(f.store.join_order(2).size(), 2u);
    // a later level never keeps a print already kept
    const std::vector<ze::Candidate> again = {cands[2], cands[3]};
    const std::vector<ze::Scored> again_scored = {scored[2], scored[3]};
    EXPECT_EQ(ze::select_level(f.store, f.sample, none, config, again, again_scored, 2), 0u);
}

TEST(EngineSnapping, ConstantsNearSimpleValuesAreSnapped) {
    // y = 0.5·x² + 0·x, fitted a hair off: both snap, the program drops the zero term
    const std::vector<double> x = {1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5};
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = 0.5 * x[i] * x[i];
    zd::Expr e;
    e.tokens = {Token::make_var(0), Token::make_op(Operator::Square), Token::make_param(0, 0.0),
                Token::make_op(Operator::Mul), Token::make_var(0), Token::make_param(1, 0.0),
                Token::make_op(Operator::Mul), Token::make_op(Operator::Add)};
    EXPECT_EQ(ze::additive_slots(e, 2), (std::vector<char>{0, 0}));  // products, not summands
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    const ze::Fitted fitted{e, {0.5000001, 1e-9}, 1e-12, true};
    const ze::Fitted snapped = ze::snap_constants(fitted, source, 1e-20);
    EXPECT_TRUE(snapped.params.empty());
    EXPECT_LT(snapped.program.size(), e.size());
}

// y = 2.37·√x + b and a zigzag of ±0.01: √x·a + b is the fit.
std::vector<ze::Formula> verified_with_intercept(double b, double& through_origin) {
    std::vector<double> x(40), y(40);
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.2 + 0.045 * static_cast<double>(i);
        y[i] = 2.37 * std::sqrt(x[i]) + b + (i % 2 == 0 ? 0.01 : -0.01);
        sxy += std::sqrt(x[i]) * y[i];
        sxx += x[i];
    }
    through_origin = sxy / sxx;
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    ze::Finalist affine;
    affine.program.n_vars = 1;
    affine.program.tokens = {Token::make_var(0), Token::make_op(Operator::Sqrt), Token::make_param(0, 2.0),
                             Token::make_op(Operator::Mul), Token::make_param(1, 0.0), Token::make_op(Operator::Add)};
    affine.params = {2.0, 0.0};
    return ze::verify({affine}, source, ze::EngineConfig{});
}

TEST(EngineVerification, AnInterceptWithinTheNoiseIsAlsoOfferedDropped) {
    // a·√x, two tokens shorter, comes out beside the fit, a refitted to the closed form Σ√x·y / Σx
    double a = 0.0;
    const std::vector<ze::Formula> out = verified_with_intercept(0.001, a);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].complexity, 6u);
    EXPECT_EQ(out[1].complexity, 4u);
    ASSERT_EQ(out[1].constants.size(), 1u);
    EXPECT_NEAR(out[1].constants[0], a, 1e-9);
}

TEST(EngineVerification, AnInterceptTheRowsTellFromNoneIsKept) {
    double a = 0.0;
    const std::vector<ze::Formula> out = verified_with_intercept(0.1, a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].complexity, 6u);
}

TEST(EngineVerification, AFitOfNoVariableIsTheBestConstantAsOneNumber) {
    // 1/c, as a fit to 1/y comes back once its slope snaps to 0, is the mean at one token
    std::vector<double> x(30), y(30);
    double mean = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 1.0 + static_cast<double>(i);
        y[i] = 2950.0 + 700.0 * std::sin(3.7 * static_cast<double>(i));
        mean += y[i] / static_cast<double>(y.size());
    }
    const std::vector<std::span<const double>> cols = {x};
    ze::ColumnSource source(zd::Columns(cols), y);
    ze::Finalist f;
    f.program.n_vars = 1;
    f.program.tokens = {Token::make_param(0, 1.0), Token::make_op(Operator::Inv)};
    f.params = {1.0 / 3000.0};
    const std::vector<ze::Formula> out = ze::verify({f}, source, ze::EngineConfig{});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].complexity, 1u);
    EXPECT_NEAR(out[0].program.tokens[0].value, mean, 1e-9 * mean);
}

}  // namespace
