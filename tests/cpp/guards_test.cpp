#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/guards.hpp"

namespace {
using namespace zan;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(Guards, TensionBasics) {
    EXPECT_EQ(zan_tension(0.0, 1.0), 1.0);
    EXPECT_EQ(zan_tension(0.0, 0.0), 1.0 - std::log(1e-300));
    EXPECT_EQ(zan_tension(0.7, -3.0), zan_tension(0.7, 3.0));
    EXPECT_EQ(zan_tension(kInf, 2.0), kInf);
    EXPECT_TRUE(std::isnan(zan_tension(kNaN, 2.0)));
    EXPECT_TRUE(std::isnan(zan_tension(1.0, kNaN)));
}

TEST(Guards, SlippingExponential) {
    EXPECT_EQ(guarded_exp(709.78), std::exp(709.78));
    EXPECT_TRUE(std::isfinite(guarded_exp(709.78)));
    EXPECT_EQ(guarded_exp(710.0), std::exp(std::log(710.0)));
    EXPECT_NEAR(guarded_exp(710.0), 710.0, 1e-9);
    EXPECT_EQ(guarded_exp(-kInf), 0.0);
    EXPECT_EQ(guarded_exp(kInf), kInf);
}

TEST(Guards, LogAndAbsoluteGuardDifferBelowFloor) {
    EXPECT_EQ(guarded_ln(1e-310), std::log(1e-310));
    EXPECT_EQ(absolute_guard(1e-310), 1e-300);
    EXPECT_EQ(guarded_ln(0.0), std::log(1e-300));
    EXPECT_EQ(guarded_ln(-0.0), std::log(1e-300));
    EXPECT_EQ(guarded_ln(-5.0), std::log(5.0));
    EXPECT_TRUE(std::isnan(guarded_ln(kNaN)));
    EXPECT_EQ(absolute_guard(kNaN), 1e-300);
    EXPECT_EQ(positive_guard(-kInf), kInf);
}

TEST(Guards, FloorAndClamp) {
    EXPECT_EQ(floor_guard(kNaN), 1e-300);
    EXPECT_EQ(floor_guard(-5.0), 1e-300);
    EXPECT_EQ(floor_guard(2.0), 2.0);
    EXPECT_EQ(clamped_exp(1000.0), std::exp(709.0));
    EXPECT_EQ(clamped_exp(-1000.0), std::exp(-709.0));
    EXPECT_TRUE(std::isnan(clamped_exp(kNaN)));
}

TEST(Guards, DivisionFloorIsStrict) {
    EXPECT_TRUE(std::isnan(guarded_div(1.0, 0.0)));
    EXPECT_TRUE(std::isnan(guarded_div(1.0, -1e-301)));
    EXPECT_EQ(guarded_div(1.0, 1e-300), 1.0 / 1e-300);
    const double q = guarded_div(0.0, 0.0);
    EXPECT_FALSE(std::signbit(q));
    EXPECT_TRUE(std::isnan(guarded_div(1.0, kNaN)));
}
}  // namespace
