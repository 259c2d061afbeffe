#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "core/format.hpp"

namespace {
using zan::format::exponent2;
using zan::format::fixed;
using zan::format::shortest;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Case {
    double v;
    const char* text;
};

TEST(FixedFormat, Table) {
    struct FixedCase {
        double v;
        int decimals;
        const char* text;
    };
    const FixedCase cases[] = {
        // exact binary ties go to the even digit, in both directions
        {0.03125, 4, "0.0312"},
        {0.0078125, 6, "0.007812"},
        {0.1875, 3, "0.188"},
        {0.125, 2, "0.12"},
        {0.375, 2, "0.38"},
        {2.5, 0, "2"},
        {3.5, 0, "4"},
        // decimal-looking ties are decided by the exact binary value
        {0.00025, 4, "0.0003"},
        {0.00015, 4, "0.0001"},
        {1.0 / 3.0, 4, "0.3333"},
        {-2.0 / 3.0, 4, "-0.6667"},
        {1.0, 4, "1.0000"},
        {1e20, 4, "100000000000000000000.0000"},
        {0.0, 4, "0.0000"},
        {-0.0, 4, "-0.0000"},
        {-1e-10, 4, "-0.0000"},
        {5e-324, 4, "0.0000"},
        {kNaN, 4, "NaN"},
        {-kNaN, 4, "NaN"},
        {kInf, 4, "inf"},
        {-kInf, 6, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(fixed(c.v, c.decimals), c.text) << c.v << " @" << c.decimals;
}

TEST(FixedFormat, LargestDoubleHasAllIntegerDigits) {
    const std::string s = fixed(std::numeric_limits<double>::max(), 4);
    EXPECT_EQ(s.size(), 309u + 5u);
    EXPECT_EQ(s.substr(0, 5), "17976");
    EXPECT_EQ(s.substr(s.size() - 5), ".0000");
}

TEST(FixedFormat, AppendKeepsPrefix) {
    std::string s = "rho=";
    zan::format::append_fixed(s, 1.5, 4);
    EXPECT_EQ(s, "rho=1.5000");
}

TEST(ShortestFormat, Table) {
    const Case cases[] = {
        {2.0, "2.0"},
        {0.5, "0.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1, "0.1"},
        {1e-4, "0.0001"},
        {0.00012, "0.00012"},
        {9.9e-5, "9.9e-5"},
        {1e-7, "1e-7"},
        {-2.5e-5, "-2.5e-5"},
        {1234.5, "1234.5"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e16"},
        {1.5e16, "1.5e16"},
        {-1.2345678901234568e17, "-1.2345678901234568e17"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(shortest(c.v), c.text);
}

TEST(ShortestFormat, ReadsBackToTheSameDouble) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        double v;
        const std::uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string s = shortest(v);
        EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
        EXPECT_EQ(s.find('+'), std::string::npos) << s;
    }
}

TEST(Exponent2Format, Table) {
    const Case cases[] = {
        {0.5, "5.00e-1"},
        {25.0, "2.50e1"},
        {0.0, "0.00e0"},
        {-0.0, "-0.00e0"},
        {1.0, "1.00e0"},
        {9.999, "1.00e1"},
        {-9.999e-10, "-1.00e-9"},
        {1.125, "1.12e0"},
        {1.375, "1.38e0"},
        {-1234.5, "-1.23e3"},
        {1e-10, "1.00e-10"},
        {1e300, "1.00e300"},
        {5e-324, "4.94e-324"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(exponent2(c.v), c.text) << c.v;
}

}  // namespace
