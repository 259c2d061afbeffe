#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <unordered_set>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"

namespace {
using namespace zan::discover;
using Op = Operator;

Token C(double v) { return Token::make_const(v); }
Token V(std::size_t i) { return Token::make_var(i); }
Token O(Operator op) { return Token::make_op(op); }
Expr E(std::vector<Token> t) { return Expr{std::move(t), 0}; }

using Ten = std::array<std::int64_t, 10>;

Ten repeated(std::int64_t hi, std::int64_t lo) { return {hi, lo, hi, lo, hi, lo, hi, lo, hi, lo}; }

TEST(Fingerprint, KnownValues) {
    struct Case {
        const char* what;
        std::vector<Token> program;
        std::size_t n_vars;
        Ten want;
    };
    const std::vector<Case> cases = {
        {"zero", {C(0.0)}, 1, repeated(0, 0)},
        {"one", {C(1.0)}, 1, repeated(1072693248, 0)},
        {"negative zero, distinct from zero", {C(-0.0)}, 1, repeated(-2147483648, 0)},
        {"first variable: the probe constants",
         {V(0)},
         1,
         {1071806604, 4235179544, 1072989394, 1328535667, 1073341303, 2610427048, 1072049730, 4277811695,
          1072905120, 82839073}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto f = fingerprint(E(c.program), c.n_vars);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->v, c.want);
        EXPECT_EQ(Fingerprint::from_bits(f->bits()), *f);
    }
}

TEST(Fingerprint, NoFingerprint) {
    struct Case {
        const char* what;
        std::vector<Token> program;
        std::size_t n_vars;
    };
    const std::vector<Case> cases = {
        {"variable beyond an empty probe input", {V(0)}, 0},
        {"second variable of one", {V(1)}, 1},
        {"log of a negative at the first probe", {V(0), C(1.0), O(Op::Sub), O(Op::Ln)}, 1},
        {"malformed", {V(0), V(0)}, 1},
        {"empty", {}, 1},
        {"non-finite leaf", {C(std::numeric_limits<double>::infinity())}, 1},
    };
    for (const auto& c : cases) EXPECT_FALSE(fingerprint(E(c.program), c.n_vars).has_value()) << c.what;
}

TEST(Fingerprint, OverflowAtTheSecondProbeOnly) {
    // variable 999 is 1000·γ ≈ 577 at probe 0 (exp passes) but 1000·A ≈ 1282 at probe 1
    const Expr e = E({V(999), O(Op::Exp)});
    std::vector<double> x0(1000), x1(1000);
    for (std::size_t i = 0; i < 1000; ++i) {
        x0[i] = probe_input(0, i);
        x1[i] = probe_input(1, i);
    }
    EXPECT_TRUE(eval(e, x0).has_value());
    EXPECT_FALSE(eval(e, x1).has_value());
    EXPECT_FALSE(fingerprint(e, 1000).has_value());
}

TEST(Fingerprint, CommutedOperandsMatchOnlyForSymmetricOperators) {
    const auto add_xy = fingerprint(E({V(0), V(1), O(Op::Add)}), 2);
    const auto add_yx = fingerprint(E({V(1), V(0), O(Op::Add)}), 2);
    const auto sub_xy = fingerprint(E({V(0), V(1), O(Op::Sub)}), 2);
    const auto sub_yx = fingerprint(E({V(1), V(0), O(Op::Sub)}), 2);
    ASSERT_TRUE(add_xy && add_yx && sub_xy && sub_yx);
    EXPECT_EQ(*add_xy, *add_yx);
    EXPECT_NE(*sub_xy, *sub_yx);
    // exp(0) and the constant 1 agree at every probe
    EXPECT_EQ(*fingerprint(E({C(0.0), O(Op::Exp)}), 1), *fingerprint(E({C(1.0)}), 1));
}

TEST(FingerprintSet, AgreesWithAStandardSet) {
    std::mt19937_64 rng(7);
    FingerprintSet set;
    std::unordered_set<Fingerprint, FingerprintHash> reference;
    std::vector<ProbeBits> inserted;
    for (int i = 0; i < 50000; ++i) {
        ProbeBits key{};
        if (!inserted.empty() && rng() % 3 == 0) {
            key = inserted[rng() % inserted.size()];  // a repeat
        } else if (rng() % 50 == 0) {
            key = ProbeBits{};  // the all-zero key is an ordinary key
        } else {
            for (auto& w : key) w = rng() % 8 == 0 ? 0 : rng();
        }
        const bool fresh = set.insert(key);
        const bool ref_fresh = reference.insert(Fingerprint::from_bits(key)).second;
        ASSERT_EQ(fresh, ref_fresh);
        if (fresh) inserted.push_back(key);
    }
    EXPECT_EQ(set.size(), reference.size());
    for (const auto& key : inserted) EXPECT_TRUE(set.contains(key));
    ProbeBits absent{};
    absent[0] = 1;
    EXPECT_EQ(set.contains(absent), reference.count(Fingerprint::from_bits(absent)) == 1);
}

}  // namespace
