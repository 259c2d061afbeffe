// The engine's settings: every field outside its range is refused by name with its range,
// and the engine entry refuses them (and data it cannot search) before any work.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/engine.hpp"

namespace ze = zan::discover::engine;
namespace zd = zan::discover;

namespace {

struct Case {
    const char* field;
    std::function<void(ze::EngineConfig&)> set;
    const char* range;  // as the message gives it, or "" for a message without one
};

class EngineOptionOutOfRange : public testing::TestWithParam<Case> {};

TEST_P(EngineOptionOutOfRange, IsNamedWithItsRange) {
    ze::EngineConfig config;
    GetParam().set(config);
    const std::optional<std::string> wrong = ze::invalid_option(config);
    ASSERT_TRUE(wrong.has_value());
    EXPECT_EQ(wrong->rfind(GetParam().field, 0), 0u) << *wrong;
    EXPECT_NE(wrong->find(GetParam().range), std::string::npos) << *wrong;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, EngineOptionOutOfRange,
    testing::Values(
        // the fixed-size LM arrays: coefficients and intercept, or a·f + b around the constants
        Case{"max_terms", [](ze::EngineConfig& c) { c.max_terms = 8; }, "[1, 7], got 8"},
        Case{"max_inner_constants", [](ze::EngineConfig& c) { c.max_inner_constants = 7; }, "[0, 6]"},
        Case{"max_complexity", [](ze::EngineConfig& c) { c.max_complexity = 0; }, "[1, "},
        Case{"sample_rows", [](ze::EngineConfig& c) { c.sample_rows = 1; }, "[8, "},
        Case{"sample_rows", [](ze::EngineConfig& c) { c.sample_rows = 0; }, "got 0"},
        Case{"validation_rows", [](ze::EngineConfig& c) { c.validation_rows = ze::kMaxValidationRows + 1; }, "[8, "},
        Case{"search_size", [](ze::EngineConfig& c) { c.search_size = 1000000000; }, "got 1000000000"},
        Case{"beam_per_size", [](ze::EngineConfig& c) { c.beam_per_size = 0; }, "[1, "},
        Case{"join_per_size", [](ze::EngineConfig& c) { c.join_per_size = ze::kMaxJoinPerSize + 1; }, "[1, "},
        Case{"small_size", [](ze::EngineConfig& c) { c.small_size = ze::kMaxSmallSize + 1; }, "[0, "},
        Case{"residual_models", [](ze::EngineConfig& c) { c.residual_models = 5; }, "[0, 4]"},
        Case{"time_limit", [](ze::EngineConfig& c) { c.time_limit = -1.0; }, ""},
        Case{"time_limit", [](ze::EngineConfig& c) { c.time_limit = std::nan(""); }, ""},
        // two wrong: the first field is named
        Case{"max_complexity", [](ze::EngineConfig& c) { c.max_complexity = 0, c.max_terms = 0; }, "[1, "}));

TEST(EngineOptions, DefaultsAndEveryLimitAreAllowed) {
    EXPECT_FALSE(ze::invalid_option({}).has_value());
    ze::EngineConfig high;
    high.max_complexity = ze::kMaxComplexityLimit;
    high.search_size = ze::kMaxSearchSize;
    high.sample_rows = ze::kMaxSampleRows;
    high.validation_rows = ze::kMaxValidationRows;
    high.beam_per_size = ze::kMaxBeamPerSize;
    high.join_per_size = ze::kMaxJoinPerSize;
    high.max_terms = ze::kMaxTermsLimit;
    high.max_inner_constants = ze::kMaxInnerConstantsLimit;
    high.time_limit = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ze::invalid_option(high), std::nullopt);
    ze::EngineConfig low;
    low.max_complexity = 1;
    low.search_size = 1;
    low.sample_rows = ze::kMinSampleRows;
    low.max_terms = 1;
    low.max_inner_constants = 0;
    EXPECT_EQ(ze::invalid_option(low), std::nullopt);
}

TEST(EngineOptions, TheEngineRefusesBeforeComputing) {
    std::vector<double> x(40), y(40);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1.0 + 0.1 * static_cast<double>(i), y[i] = x[i] * x[i];
    const std::vector<std::span<const double>> cols = {x};
    auto run = [&](const ze::EngineConfig& config, std::span<const double> target) {
        try {
            (void)ze::discover(zd::Columns(cols), target, config);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    ze::EngineConfig config;
    config.max_terms = 8;  // once a crash: the sums' LM problems have room for 8 constants
    EXPECT_EQ(run(config, y).rfind("max_terms must be in [1, 7]", 0), 0u);
    EXPECT_NE(run({}, std::span<const double>(y).first(1)).find("at least two rows"), std::string::npos);
    EXPECT_NE(run({}, std::span<const double>(y).first(20)).find("one value per row"), std::string::npos);
    const std::vector<std::span<const double>> none;
    EXPECT_THROW((void)ze::discover(zd::Columns(none), y, ze::EngineConfig{}), std::invalid_argument);
    EXPECT_EQ(run({}, y), "no error");
}

}  // namespace
