// Ratios over sums, roots of 1 ± m, and constants scanned inside products of variables, on
// leaves alone: every other block the stage needs it makes itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <vector>

#include "core/discover/engine/column_fit.hpp"
#include "core/discover/engine/monomial_fit.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/predict.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/sum_ratios.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/engine/variable_products.hpp"

namespace ze = zan::discover::engine;
namespace zd = zan::discover;
using zd::Operator;
using zd::Token;

namespace {

constexpr std::size_t kRows = 96;

using Law = std::function<double(double, double, double)>;

// Three positive columns that no two are affine copies of, and a law of them as target.
struct Leaves {
    std::vector<std::vector<double>> cols{3};
    std::vector<std::span<const double>> spans;
    std::vector<double> y;
    std::vector<double> w;
    ze::SearchSample sample;
    ze::NodeStore store;

    // weights: one per row, or empty for none
    explicit Leaves(const Law& law, std::vector<double> weights = {})
        : w(std::move(weights)), sample(make(law)), store(kRows, w.empty() ? nullptr : sample.weights()) {
        for (std::size_t v = 0; v < 3; ++v) {
            ze::Node n;
            n.tokens = {Token::make_var(v)};
            n.size = 1;
            n.vars = 1u << v;
            n.fit = sample.fit(sample.moments(cols[v].data()), cols[v].data());
            store.append_to_join_order(1, store.add(std::move(n), cols[v].data()));
        }
    }

    ze::SearchSample make(const Law& law) {
        for (std::size_t i = 0; i < kRows; ++i) {
            const double t = static_cast<double>(i);
            const double abc[3] = {1.0 + 2.0 * t / (kRows - 1.0), 2.0 + std::sin(1.3 * t), 2.0 + std::cos(0.7 * t * t)};
            for (std::size_t v = 0; v < 3; ++v) cols[v].push_back(abc[v]);
            y.push_back(law(abc[0], abc[1], abc[2]));
        }
        spans.assign(cols.begin(), cols.end());
        return ze::SearchSample(zd::Columns(spans), y, w);
    }

    [[nodiscard]] ze::SumRatios run(const ze::EngineConfig& config = {}) const {
        const ze::Control control;
        const ze::StopCondition never(control, 0.0, std::chrono::steady_clock::now());
        return ze::fit_sum_ratios(store, sample, config, never);
    }

    // The largest error, relative to |y|, of a finalist's program with its own parameters.
    [[nodiscard]] double worst_error(const ze::Finalist& f) const {
        std::vector<double> out(kRows);
        ze::predict(f.program, zd::Columns(spans), f.params, out.data());
        double worst = 0.0;
        for (std::size_t i = 0; i < kRows; ++i) worst = std::max(worst, std::fabs(out[i] - y[i]) / std::fabs(y[i]));
        return worst;
    }

    [[nodiscard]] static bool uses(const ze::Finalist& f, Operator op) {
        for (const Token& t : f.program.tokens)
            if (t.kind == Token::Kind::Op && t.op == op) return true;
        return false;
    }
};

struct Case {
    const char* name;
    Law law;
    double screening;  // the stage's own error bound: a scanned constant is only refined
    Operator needs;    // the operator of its block (Neg: none beyond arithmetic)
};

class SumRatiosRecover : public testing::TestWithParam<Case> {};

TEST_P(SumRatiosRecover, TheLawAsTheBestFinalist) {
    const Case& c = GetParam();
    const Leaves leaves(c.law);
    const ze::SumRatios found = leaves.run();
    ASSERT_FALSE(found.finalists.empty());
    EXPECT_LT(found.best_nmse, c.screening);
    const ze::Finalist& best = found.finalists.front();
    // the program says what the stage measured: its tokens, parameters and their order
    EXPECT_LT(leaves.worst_error(best), std::sqrt(c.screening) * 10.0) << c.name;
    EXPECT_LE(best.params.size(), ze::kMaxLmParams);
    if (c.needs != Operator::Neg) {
      EXPECT_TRUE(Leaves::uses(best, c.needs)) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SumRatiosRecover,
    testing::Values(
        // the relativistic sum of speeds: two numerator terms over 1 + c·(a·b/c²)
        Case{"sum_over_one_plus_product", [](double a, double b, double c) { return (a + b) / (1.0 + a * b / (c * c)); },
             ze::kExactNmse, Operator::Neg},
        // a numerator longer than any kept node, over e^{k·m} − 1 with k off the grid
        Case{"powers_over_exp_minus_one",
             [](double a, double b, double c) { return 2.0 * a * b * b / c / (std::exp(0.37 * a / b) - 1.0); }, 1e-6,
             Operator::Exp},
        // a numerator of two terms, one of them small, under a root of 1 + (b/c)²
        Case{"terms_over_root", [](double a, double b, double c) { return (c - a * b / 9.0) / std::sqrt(1.0 + b * b / (c * c)); },
             ze::kExactNmse, Operator::Sqrt},
        // an even pair of exponentials, e^{k·m} + e^{−k·m}, under a product of powers
        Case{"powers_over_twin_exponentials",
             [](double a, double b, double c) { return a * c / (std::exp(0.8 * b / c) + std::exp(-0.8 * b / c)); },
             1e-6, Operator::Exp},
        // a frequency no starting grid of a local fit reaches: many turns over the sample
        Case{"cosine_of_a_product", [](double a, double b, double) { return 0.5 - 0.5 * std::cos(4.9 * a * b); }, 1e-6,
             Operator::Cos}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(SumRatios, TanhOfAProductWhenAllowed) {
    const Leaves leaves([](double a, double b, double c) { return a * b * std::tanh(0.6 * b / c); });
    ze::EngineConfig config;
    config.operators |= zd::operator_bit(Operator::Tanh);
    const ze::SumRatios found = leaves.run(config);
    ASSERT_FALSE(found.finalists.empty());
    EXPECT_LT(found.best_nmse, 1e-6);
    EXPECT_TRUE(Leaves::uses(found.finalists.front(), Operator::Tanh));
}

TEST(SumRatios, WeightedRowsCountAsTheirWeights) {
    // rows of weight 0 hold a wrong target: only the weighted fit is exact
    std::vector<double> w(kRows);
    for (std::size_t i = 0; i < kRows; ++i) w[i] = i % 4 == 0 ? 0.0 : 1.0 + static_cast<double>(i % 3);
    std::size_t row = 0;
    const Leaves leaves(
        [&](double a, double b, double c) {
            const double law = (a + b) / (1.0 + a * b / (c * c));
            return row++ % 4 == 0 ? law + 5.0 : law;
        },
        w);
    const ze::SumRatios found = leaves.run();
    EXPECT_LE(found.best_nmse, ze::kExactNmse);
}

TEST(VariableProducts, EveryProductOnceInOrderOfCost) {
    const Leaves leaves([](double a, double, double) { return a; });
    const ze::VariableProducts products(leaves.sample);
    // powers ±1 of 1, 2, 3 variables (6 + 12 + 8), one squared (6 + 24 + 24), squares of two (12)
    ASSERT_EQ(products.size(), 92u);
    EXPECT_EQ(products.powers(0), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(products.powers(1), (std::vector<int>{-1, 0, 0}));
    bool uv_over_c2 = false;
    for (std::size_t g = 0; g < products.size(); ++g) {
        uv_over_c2 = uv_over_c2 || products.powers(g) == std::vector<int>{1, 1, -2};
        const std::vector<int>& p = products.powers(g);
        double mean = 0.0, norm = 0.0;
        for (std::size_t i = 0; i < kRows; ++i) {
            const double v = std::pow(leaves.cols[0][i], p[0]) * std::pow(leaves.cols[1][i], p[1]) *
                             std::pow(leaves.cols[2][i], p[2]);
            EXPECT_NEAR(products.values(g)[i], v, 1e-12 * std::fabs(v));
            mean += products.unit(g)[i];
            norm += products.unit(g)[i] * products.unit(g)[i];
        }
        EXPECT_NEAR(mean, 0.0, 1e-9);
        EXPECT_NEAR(norm, 1.0, 1e-12);
    }
    EXPECT_TRUE(uv_over_c2);
    EXPECT_TRUE(products.all_even(products.size() - 1));
    EXPECT_EQ(products.variables(products.size() - 1), 2u);
}

TEST(VariableProducts, ManyVariablesStayWithinTheCap) {
    std::vector<std::vector<double>> cols(30, std::vector<double>(16));
    for (std::size_t v = 0; v < cols.size(); ++v)
        for (std::size_t i = 0; i < 16; ++i) cols[v][i] = 1.0 + static_cast<double>((i * (v + 3)) % 7);
    std::vector<std::span<const double>> spans(cols.begin(), cols.end());
    const std::vector<double> y(16, 1.0);
    const ze::SearchSample sample{zd::Columns(spans), y};
    const ze::VariableProducts products(sample);
    EXPECT_EQ(products.size(), ze::kProducts);
    for (std::size_t g = 0; g < products.size(); ++g)
        for (std::size_t v = ze::kProductVariableLimit; v < cols.size(); ++v) EXPECT_EQ(products.powers(g)[v], 0);
}

TEST(SumRatios, OperatorsLeftOutAreNotUsed) {
    const Leaves leaves([](double a, double b, double) { return a / (std::exp(0.5 * a * b) - 1.0); });
    ze::EngineConfig config;
    config.operators &= ~zd::operator_bit(Operator::Exp) & ~zd::operator_bit(Operator::Cos);
    for (const ze::Finalist& f : leaves.run(config).finalists) {
        EXPECT_FALSE(Leaves::uses(f, Operator::Exp));
        EXPECT_FALSE(Leaves::uses(f, Operator::Cos));
    }
    config.operators &= ~zd::operator_bit(Operator::Mul);
    EXPECT_TRUE(leaves.run(config).finalists.empty());
}

TEST(SumRatios, NothingOnceStopped) {
    const Leaves leaves([](double a, double b, double c) { return (a + b) / (1.0 + a * b / (c * c)); });
    ze::Control control;
    control.should_stop = [] { return true; };
    const ze::StopCondition stopped(control, 0.0, std::chrono::steady_clock::now());
    const ze::SumRatios found = ze::fit_sum_ratios(leaves.store, leaves.sample, ze::EngineConfig{}, stopped);
    EXPECT_TRUE(found.finalists.empty());
    EXPECT_EQ(found.best_nmse, 1.0);
}

TEST(SumRatios, SameFinalistsEveryRun) {
    const Leaves leaves([](double a, double b, double c) { return a * c / (1.0 + 0.5 * std::exp(-b)); });
    const ze::SumRatios one = leaves.run(), two = leaves.run();
    ASSERT_EQ(one.finalists.size(), two.finalists.size());
    for (std::size_t k = 0; k < one.finalists.size(); ++k) {
        EXPECT_EQ(one.finalists[k].program.tokens, two.finalists[k].program.tokens);
        EXPECT_EQ(one.finalists[k].params, two.finalists[k].params);
    }
}

TEST(ColumnFit, CoefficientsOfAnExactSumAndDependentColumns) {
    const Leaves leaves([](double a, double b, double) { return 1.5 - 2.0 * a + 1e-6 * b; });
    const double* cols[2] = {leaves.cols[0].data(), leaves.cols[1].data()};
    const ze::ColumnFit fit = ze::fit_columns(cols, leaves.y.data(), kRows, nullptr);
    ASSERT_TRUE(fit.ok);
    EXPECT_NEAR(fit.coefficients[0], -2.0, 1e-12);
    EXPECT_NEAR(fit.coefficients[1], 1e-6, 1e-12);
    EXPECT_NEAR(fit.intercept, 1.5, 1e-12);
    EXPECT_LT(fit.sse, 1e-24);
    // weights of zero leave rows out: a target wrong on them still fits exactly
    std::vector<double> y = leaves.y, w(kRows, 1.0);
    for (std::size_t i = 0; i < kRows; i += 3) y[i] += 1.0, w[i] = 0.0;
    EXPECT_LT(ze::fit_columns(cols, y.data(), kRows, w.data()).sse, 1e-24);
    const double* twice[2] = {leaves.cols[0].data(), leaves.cols[0].data()};
    EXPECT_FALSE(ze::fit_columns(twice, leaves.y.data(), kRows, nullptr).ok);
}

TEST(MonomialFit, PowersAmplitudeAndTokens) {
    const Leaves leaves([](double a, double b, double c) { return -0.25 * a * a * a / (b * c * c); });
    const ze::LogColumns logs(leaves.sample);
    ASSERT_TRUE(logs.usable());
    std::vector<double> values;
    const ze::MonomialFit m = ze::fit_monomial(leaves.sample, logs, leaves.y.data(), values);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.powers, (std::vector<int>{3, -1, -2}));
    EXPECT_NEAR(m.amplitude, -0.25, 1e-12);
    // a·x³/y/z² as a program: the amplitude, then the factors
    ze::Finalist f;
    f.program.tokens = {Token::make_param(0, m.amplitude)};
    f.params = {m.amplitude};
    ze::append_monomial(f.program.tokens, m.powers);
    EXPECT_LT(leaves.worst_error(f), 1e-13);
    ze::Finalist product;
    ze::append_product(product.program.tokens, {0, -1, 0});  // 1/b
    std::vector<double> out(kRows);
    ze::predict(product.program, zd::Columns(leaves.spans), {}, out.data());
    EXPECT_DOUBLE_EQ(out[5], 1.0 / leaves.cols[1][5]);
    // a target of both signs has no logarithm
    std::vector<double> mixed = leaves.y;
    mixed[0] = -mixed[0];
    EXPECT_FALSE(ze::fit_monomial(leaves.sample, logs, mixed.data(), values).ok);
}

}  // namespace
