// Weighted rows: a whole-number weight must act exactly as that many copies of the row, in
// every stage that sums over rows, and bad weights are refused by name.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/engine/data_source.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/search_sample.hpp"
#include "core/discover/engine/sums.hpp"

namespace ze = zan::discover::engine;
namespace zd = zan::discover;
using zd::Operator;
using zd::Token;

namespace {

// Rows of two variables with a noisy target, their weights 1 to 3, and the same rows given
// as many times as their weight.
struct Rows {
    std::vector<std::vector<double>> cols{2}, dup_cols{2};
    std::vector<double> y, w, dup_y;
    std::vector<std::span<const double>> spans, dup_spans;

    explicit Rows(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i);
            const double a = 1.0 + 2.0 * t / static_cast<double>(n), b = 2.0 + std::sin(1.3 * t);
            const double target = 1.7 * a * b + 0.3 * std::cos(5.1 * t);
            const double weight = static_cast<double>(1 + i % 3);
            cols[0].push_back(a);
            cols[1].push_back(b);
            y.push_back(target);
            w.push_back(weight);
            for (std::size_t k = 0; k < 1 + i % 3; ++k) {
                dup_cols[0].push_back(a);
                dup_cols[1].push_back(b);
                dup_y.push_back(target);
            }
        }
        spans.assign(cols.begin(), cols.end());
        dup_spans.assign(dup_cols.begin(), dup_cols.end());
    }
};

void expect_near_relative(double a, double b, double tolerance = 1e-12) {
    EXPECT_NEAR(a, b, tolerance * std::max(1.0, std::fabs(b)));
}

TEST(EngineWeights, NormalEquationsCountAWeightAsCopiesOfTheRow) {
    const Rows rows(50);
    zd::Expr e;  // c0·a·b + c1
    e.tokens = {Token::make_var(0), Token::make_var(1), Token::make_op(Operator::Mul), Token::make_param(0, 0.0),
                Token::make_op(Operator::Mul), Token::make_param(1, 0.0), Token::make_op(Operator::Add)};
    const std::vector<double> params = {1.5, 0.2};
    const ze::NormalEquations weighted = ze::normal_equations(e, params, zd::Columns(rows.spans), rows.y, rows.w);
    const ze::NormalEquations copies = ze::normal_equations(e, params, zd::Columns(rows.dup_spans), rows.dup_y);
    ASSERT_TRUE(weighted.ok && copies.ok);
    expect_near_relative(weighted.cost, copies.cost);
    for (std::size_t j = 0; j < 2; ++j) {
        expect_near_relative(weighted.jtr[j], copies.jtr[j]);
        for (std::size_t k = 0; k < 2; ++k)
            expect_near_relative(weighted.jtj[j * ze::kMaxLmParams + k], copies.jtj[j * ze::kMaxLmParams + k]);
    }
    ze::ColumnSource source(zd::Columns(rows.spans), rows.y, rows.w);
    EXPECT_DOUBLE_EQ(source.weight_total(), static_cast<double>(rows.dup_y.size()));
}

TEST(EngineWeights, LinearScalingAndSumsAreWeightedLeastSquares) {
    const Rows rows(64);
    const ze::SearchSample weighted(zd::Columns(rows.spans), rows.y, rows.w);
    const ze::SearchSample copies(zd::Columns(rows.dup_spans), rows.dup_y);
    expect_near_relative(weighted.y_mean(), copies.y_mean());
    expect_near_relative(weighted.syy(), copies.syy());
    const ze::LinearFit fw = weighted.fit(weighted.moments(rows.cols[0].data()), rows.cols[0].data());
    const ze::LinearFit fc = copies.fit(copies.moments(rows.dup_cols[0].data()), rows.dup_cols[0].data());
    expect_near_relative(fw.a, fc.a);
    expect_near_relative(fw.b, fc.b);
    expect_near_relative(fw.nmse, fc.nmse);

    // a sum of both columns by the pursuit: the same coefficients and error
    ze::NodeStore store_w(rows.y.size(), weighted.weights()), store_c(rows.dup_y.size());
    for (std::size_t v = 0; v < 2; ++v) {
        ze::Node n;
        n.tokens = {Token::make_var(v)};
        n.size = 1;
        store_w.add(n, rows.cols[v].data());
        store_c.add(n, rows.dup_cols[v].data());
    }
    const std::vector<char> allowed(2, 1);
    const std::vector<std::uint32_t> start = {0};
    const auto sums_w = ze::SumPursuit(store_w).pursue(start, 30, 2, allowed,
                                                       {weighted.y(), weighted.y_mean(), weighted.syy()});
    const auto sums_c =
        ze::SumPursuit(store_c).pursue(start, 30, 2, allowed, {copies.y(), copies.y_mean(), copies.syy()});
    ASSERT_EQ(sums_w.size(), 1u);
    ASSERT_EQ(sums_c.size(), 1u);
    expect_near_relative(sums_w[0].intercept, sums_c[0].intercept, 1e-10);
    for (std::size_t t = 0; t < 2; ++t) expect_near_relative(sums_w[0].coefficients[t], sums_c[0].coefficients[t], 1e-10);
    expect_near_relative(sums_w[0].nmse, sums_c[0].nmse, 1e-10);
}

TEST(EngineWeights, RowsOfWeightZeroAreLeftOut) {
    // y = 2x + 1 on the even rows, 5x on the odd ones, which weigh nothing
    std::vector<double> x, y, w;
    for (std::size_t i = 0; i < 40; ++i) {
        const double v = 0.5 + 0.1 * static_cast<double>(i);
        x.push_back(v);
        y.push_back(i % 2 == 0 ? 2.0 * v + 1.0 : 5.0 * v);
        w.push_back(i % 2 == 0 ? 1.0 : 0.0);
    }
    const std::vector<std::span<const double>> cols = {x};
    const ze::Result r = ze::discover(zd::Columns(cols), y, w, ze::EngineConfig{});
    ASSERT_FALSE(r.front.empty());
    const ze::Formula& best = r.front[r.best];
    EXPECT_LT(best.loss, 1e-20);
    EXPECT_LE(best.complexity, 5u);
}

struct BadWeights {
    std::vector<double> w;
    const char* message;
};

class EngineBadWeights : public ::testing::TestWithParam<BadWeights> {};

TEST_P(EngineBadWeights, AreRefusedByName) {
    const std::vector<double> x = {1.0, 2.0, 3.0, 4.0}, y = {2.0, 4.0, 6.0, 8.0};
    const std::vector<std::span<const double>> cols = {x};
    try {
        (void)ze::discover(zd::Columns(cols), y, GetParam().w, ze::EngineConfig{});
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Weights, EngineBadWeights,
    ::testing::Values(BadWeights{{1.0, 1.0}, "one weight per row"}, BadWeights{{1.0, -1.0, 1.0, 1.0}, "not negative"},
                      BadWeights{{1.0, NAN, 1.0, 1.0}, "finite"}, BadWeights{{0.0, 0.0, 0.0, 0.0}, "all be zero"},
                      BadWeights{{0.0, 0.0, 0.0, 2.0}, "two rows of positive weight"}));

}  // namespace
