#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/classic_search.hpp"
#include "core/pool.hpp"

namespace {
using namespace zan::discover;
using Op = Operator;
using Data = std::vector<std::vector<double>>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// ---- a literal reference: full enumeration at every level, row-by-row evaluation -------

struct Reference {
    std::optional<SearchResult> best;
    std::vector<std::size_t> kept;    // per step, leaf step first
    std::vector<std::size_t> scored;  // per step
};

std::vector<Op> unary_list(const SearchConfig& c) {
    std::vector<Op> u = {Op::Neg, Op::Inv, Op::Exp, Op::Ln, Op::Sqrt};
    if (c.use_trig) u.insert(u.end(), {Op::Sin, Op::Cos});
    return u;
}
std::vector<Op> binary_list(const SearchConfig& c) {
    std::vector<Op> b = {Op::Add, Op::Sub, Op::Mul, Op::Div};
    if (c.use_zan) b.push_back(Op::Zan);
    return b;
}

// Every candidate of one level over the whole beam, before any filtering.
std::vector<Expr> enumerate_level(const std::vector<Expr>& beam, std::size_t n_vars, const SearchConfig& c) {
    std::vector<Expr> out;
    for (const Expr& e : beam)
        for (Op u : unary_list(c)) out.push_back(Expr::unary(e, u, n_vars));
    for (std::size_t i = 0; i < beam.size(); ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            const Expr& a = beam[i];
            const Expr& b = beam[j];
            if (a.size() + b.size() >= c.max_complexity) continue;
            for (Op o : binary_list(c)) {
                out.push_back(Expr::join(a, b, o, n_vars));
                if (o == Op::Sub || o == Op::Div || o == Op::Zan) out.push_back(Expr::join(b, a, o, n_vars));
            }
        }
    return out;
}

std::vector<SearchResult> reference_score(const std::vector<Expr>& cands, const Data& cols,
                                          const std::vector<double>& targets, const SearchConfig& c) {
    std::vector<SearchResult> out;
    const std::size_t n = cols[0].size();
    for (const Expr& e : cands) {
        std::vector<double> preds;
        bool ok = true;
        for (std::size_t i = 0; i < n && ok; ++i) {
            std::vector<double> row;
            for (const auto& col : cols) row.push_back(col[i]);
            const auto v = eval(e, row);
            if (v) preds.push_back(*v);
            else ok = false;
        }
        if (!ok) continue;
        double sum = -0.0;
        for (std::size_t i = 0; i < std::min(n, targets.size()); ++i) {
            const double d = preds[i] - targets[i];
            sum = sum + d * d;
        }
        const double rmse = std::sqrt(sum / static_cast<double>(targets.size()));
        const double error = rmse * (static_cast<double>(e.size()) * c.complexity_penalty + 1.0);
        out.push_back(SearchResult{to_string(e), {}, e, error, e.size()});
    }
    return out;
}

Reference reference_search(const Data& cols, const std::vector<double>& targets, std::size_t n_vars,
                           const SearchConfig& c) {
    Reference ref;
    std::unordered_set<Fingerprint, FingerprintHash> seen;
    auto filter = [&](const std::vector<Expr>& generated) {
        std::vector<Expr> kept;
        for (const Expr& e : generated) {
            const auto f = fingerprint(e, n_vars);
            if (f && seen.insert(*f).second) kept.push_back(e);
        }
        return kept;
    };
    auto fold = [&](const std::vector<SearchResult>& results) {
        for (const auto& r : results)
            if (!ref.best || ref.best->error > r.error) ref.best = r;
    };
    auto goal = [&] { return ref.best && c.precision_goal >= ref.best->error; };

    std::vector<Expr> generated = {Expr{{Token::make_const(0.0)}, 0}, Expr{{Token::make_const(1.0)}, 0}};
    for (std::size_t j = 0; j < n_vars; ++j) generated.push_back(Expr{{Token::make_var(j)}, j + 1});
    const std::vector<Expr> leaves = filter(generated);
    std::vector<SearchResult> results = reference_score(leaves, cols, targets, c);
    ref.kept.push_back(leaves.size());
    ref.scored.push_back(results.size());
    fold(results);
    if (goal()) return ref;
    std::vector<Expr> beam = leaves;
    if (c.max_complexity < 2) return ref;
    for (std::uint64_t level = 1; level < c.max_complexity; ++level) {
        if (beam.empty()) break;
        const std::vector<Expr> cands = filter(enumerate_level(beam, n_vars, c));
        ref.kept.push_back(cands.size());
        if (cands.empty()) {
            ref.scored.push_back(0);
            break;
        }
        results = reference_score(cands, cols, targets, c);
        ref.scored.push_back(results.size());
        fold(results);
        if (goal()) break;
        std::stable_sort(results.begin(), results.end(),
                         [](const SearchResult& a, const SearchResult& b) { return a.error < b.error; });
        if (results.size() > c.beam_width) results.resize(c.beam_width);
        const std::size_t append = std::min<std::size_t>(c.beam_width / 4, results.size());
        for (std::size_t r = 0; r < append; ++r) beam.push_back(results[r].expr);
    }
    return ref;
}

void expect_same(const std::optional<SearchResult>& got, const std::optional<SearchResult>& want) {
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!got) return;
    EXPECT_EQ(got->formula, want->formula);
    EXPECT_TRUE(same_bits(got->error, want->error)) << got->error << " vs " << want->error;
    EXPECT_EQ(got->complexity, want->complexity);
    EXPECT_EQ(got->expr, want->expr);
    EXPECT_TRUE(got->params.empty());
}

TEST(SearchReference, LevelOneGenerationOrder) {
    // the reference's own enumeration follows the documented order
    SearchConfig c;
    c.use_trig = c.use_zan = false;
    c.max_complexity = 3;
    const std::vector<Expr> leaves = {Expr{{Token::make_const(0.0)}, 0}, Expr{{Token::make_const(1.0)}, 0},
                                      Expr{{Token::make_var(0)}, 1}};
    std::vector<std::string> got;
    for (const Expr& e : enumerate_level(leaves, 1, c)) got.push_back(to_string(e));
    std::vector<std::string> want;
    for (const char* a : {"0.0000", "1.0000", "x"})
        for (const char* t : {"(-%)", "(1/%)", "exp(%)", "ln(%)", "sqrt(%)"}) {
            std::string s = t;
            s.replace(s.find('%'), 1, a);
            want.push_back(s);
        }
    const char* pairs[][2] = {{"0.0000", "0.0000"}, {"1.0000", "0.0000"}, {"1.0000", "1.0000"},
                              {"x", "0.0000"},      {"x", "1.0000"},      {"x", "x"}};
    for (const auto& p : pairs) {
        const std::string a = p[0], b = p[1];
        want.push_back("(" + a + " + " + b + ")");
        want.push_back("(" + a + " - " + b + ")");
        want.push_back("(" + b + " - " + a + ")");
        want.push_back("(" + a + " * " + b + ")");
        want.push_back("(" + a + " / " + b + ")");
        want.push_back("(" + b + " / " + a + ")");
    }
    EXPECT_EQ(got, want);
}

// ---- the engine against the reference -------------------------------------------------

struct Problem {
    const char* name;
    Data cols;
    std::vector<double> targets;
    SearchConfig config;
};

std::vector<Problem> problems() {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 0.1);
    auto config = [](std::uint64_t mc, std::uint64_t bw, bool trig, bool zan, double penalty) {
        SearchConfig c;
        c.max_complexity = mc;
        c.beam_width = bw;
        c.use_trig = trig;
        c.use_zan = zan;
        c.complexity_penalty = penalty;
        return c;
    };
    std::vector<Problem> ps;
    {
        Problem p{"noisy one variable", {{}}, {}, config(7, 40, true, true, 0.001)};
        for (int i = 0; i < 12; ++i) {
            const double x = 0.2 + 0.25 * i;
            p.cols[0].push_back(x);
            p.targets.push_back(x * std::sin(x) + 0.3 * x * x + noise(rng));
        }
        ps.push_back(p);
    }
    {
        Problem p{"two variables", {{}, {}}, {}, config(6, 28, false, true, 0.01)};
        for (int i = 0; i < 10; ++i) {
            const double x = 0.5 + 0.3 * i, y = 2.0 - 0.17 * i;
            p.cols[0].push_back(x);
            p.cols[1].push_back(y);
            p.targets.push_back(x * y - y + noise(rng));
        }
        ps.push_back(p);
    }
    {
        // zeros and negatives in the data: many fingerprinted candidates fail on it
        Problem p{"failing rows", {{-2.0, -1.0, 0.0, 0.5, 1.0, 3.0}}, {3.9, 1.2, 0.1, 0.3, 1.1, 9.4},
                  config(6, 36, true, true, 0.001)};
        ps.push_back(p);
    }
    {
        // no penalty and coarse data: many exact ties in the error
        Problem p{"ties", {{1.0, 1.0, 2.0, 2.0}}, {3.0, 3.0, 5.0, 5.5}, config(6, 24, false, false, 0.0)};
        ps.push_back(p);
    }
    ps.push_back(Problem{"narrow beam", ps[0].cols, ps[0].targets, config(7, 5, true, true, 0.001)});
    ps.push_back(Problem{"beam below four", ps[0].cols, ps[0].targets, config(7, 3, true, true, 0.001)});
    ps.push_back(Problem{"nan targets", ps[0].cols, std::vector<double>(12, kNaN), config(5, 20, true, true, 0.001)});
    ps.push_back(Problem{"more targets than rows", {{0.5, 1.5, 2.5}}, {1.0, 2.0, 4.0, 7.0, 1.0},
                         config(6, 30, true, true, 0.001)});
    return ps;
}

TEST(Search, MatchesFullEnumerationReference) {
    for (const Problem& p : problems()) {
        SCOPED_TRACE(p.name);
        SearchStats stats;
        const auto got = search(p.cols, p.targets, p.cols.size(), p.config, &stats);
        const Reference want = reference_search(p.cols, p.targets, p.cols.size(), p.config);
        expect_same(got, want.best);
        std::vector<std::size_t> kept, scored;
        for (const auto& l : stats.levels) {
            kept.push_back(l.kept);
            scored.push_back(l.scored);
        }
        EXPECT_EQ(kept, want.kept);
        EXPECT_EQ(scored, want.scored);
        if (p.config.beam_width >= 4) {
            EXPECT_GE(stats.levels.size(), 4u);
        }
    }
}

TEST(Search, StoredAndRecomputedPredictionsAgree) {
    // without stored predictions every candidate is evaluated in full; with a tiny store
    // some operands are stored and others not
    const std::size_t saved = detail::prediction_budget();
    for (std::size_t budget : {std::size_t{0}, std::size_t{40}}) {
        detail::set_prediction_budget(budget);
        for (const Problem& p : problems()) {
            SCOPED_TRACE(std::string(p.name) + " budget " + std::to_string(budget));
            const auto got = search(p.cols, p.targets, p.cols.size(), p.config);
            expect_same(got, reference_search(p.cols, p.targets, p.cols.size(), p.config).best);
        }
    }
    detail::set_prediction_budget(saved);
}

TEST(Search, SameResultForEveryPoolSize) {
    const char* saved = std::getenv("RAYON_NUM_THREADS");
    const std::string restore = saved ? saved : "";
    std::vector<Problem> ps = problems();
    // a larger problem so that every parallel step really splits
    Problem big{"big", {{}}, {}, SearchConfig{}};
    std::mt19937_64 rng(8);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int i = 0; i < 300; ++i) {
        const double x = 0.1 + 0.01 * i;
        big.cols[0].push_back(x);
        big.targets.push_back(std::exp(-x) * std::cos(2.0 * x) + noise(rng));
    }
    big.config.max_complexity = 6;
    ps.push_back(big);

    std::vector<std::optional<SearchResult>> first;
    for (const char* threads : {"1", "2", "5"}) {
        setenv("RAYON_NUM_THREADS", threads, 1);
        zan::pool::teardown();
        ASSERT_EQ(zan::pool::size(), static_cast<std::size_t>(std::atoi(threads)));
        for (std::size_t k = 0; k < ps.size(); ++k) {
            SCOPED_TRACE(std::string(ps[k].name) + " threads " + threads);
            auto r = search(ps[k].cols, ps[k].targets, ps[k].cols.size(), ps[k].config);
            if (first.size() < ps.size()) first.push_back(std::move(r));
            else expect_same(r, first[k]);
        }
    }
    if (saved) setenv("RAYON_NUM_THREADS", restore.c_str(), 1);
    else unsetenv("RAYON_NUM_THREADS");
    zan::pool::teardown();
}

// ---- documented outcomes --------------------------------------------------------------

struct Outcome {
    const char* what;
    Data cols;
    std::vector<double> targets;
    std::uint64_t max_complexity;
    std::uint64_t beam_width;
    const char* formula;
    std::uint64_t complexity;
    std::size_t steps;  // leaf step plus levels run
    bool exact;         // an exact fit: error 0 whatever the size
};

TEST(Search, DocumentedOutcomes) {
    const std::vector<Outcome> cases = {
        {"worked example: a join", {{1, 2, 3}}, {2, 4, 6}, 8, 2000, "(x + x)", 3, 2, true},
        {"constant after the leaf step", {{1, 2, 3}}, {1, 1, 1}, 8, 2000, "1.0000", 1, 1, true},
        {"variable after the leaf step", {{1, 2, 3}}, {1, 2, 3}, 8, 2000, "x", 1, 1, true},
        {"exp before the equivalent zan join", {{0, 1, 2}}, {std::exp(0.0), std::exp(1.0), std::exp(2.0)}, 8, 2000,
         "exp(x)", 2, 2, true},
        {"max_complexity 0: leaves only", {{1, 2, 3}}, {2, 4, 6}, 0, 2000, "x", 1, 1, false},
        {"max_complexity 1: leaves only", {{1, 2, 3}}, {2, 4, 6}, 1, 2000, "x", 1, 1, false},
        {"max_complexity 2: unary extensions only", {{0, 1, 2}}, {2, 4, 6}, 2, 2000, "exp(x)", 2, 2, false},
        {"first pair wins a tie", {{1, 1, 1}}, {2, 2, 2}, 8, 2000, "(1.0000 + 1.0000)", 3, 2, true},
        {"unary extension beyond the join bound", {{0, 1, 2}}, {std::exp(1.0), std::exp(2.0), std::exp(3.0)}, 3,
         2000, "exp((x + 1.0000))", 4, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SearchConfig config;
        config.max_complexity = c.max_complexity;
        config.beam_width = c.beam_width;
        SearchStats stats;
        const auto r = search(c.cols, c.targets, c.cols.size(), config, &stats);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->formula, c.formula);
        EXPECT_EQ(r->complexity, c.complexity);
        EXPECT_EQ(r->expr.size(), c.complexity);
        EXPECT_EQ(stats.levels.size(), c.steps);
        if (c.exact) {
            EXPECT_EQ(r->error, 0.0);
        }
    }
}

TEST(Search, MaxComplexityTwoFormsNoPairs) {
    SearchConfig config;
    config.max_complexity = 2;
    SearchStats stats;
    (void)search(Data{{0.5, 1.5, 2.5}}, std::vector<double>{7, 8, 9}, 1, config, &stats);
    ASSERT_EQ(stats.levels.size(), 2u);
    EXPECT_EQ(stats.levels[1].generated, 3u * 7u);  // seven unary operators on three leaves
}

TEST(Search, BeamBelowFourStopsAtLevelTwo) {
    for (std::uint64_t bw : {0u, 1u, 2u, 3u}) {
        SearchConfig config;
        config.beam_width = bw;
        SearchStats stats;
        const auto r = search(Data{{0.5, 1.5, 2.5}}, std::vector<double>{7, 8, 9.5}, 1, config, &stats);
        ASSERT_TRUE(r);
        ASSERT_EQ(stats.levels.size(), 3u) << bw;
        EXPECT_EQ(stats.levels[2].kept, 0u);
        EXPECT_EQ(stats.levels[2].beam_size, 3u);
    }
}

TEST(Search, NoTargetsGiveTheFirstLeafWithNaNError) {
    SearchConfig config;
    config.max_complexity = 4;
    const auto r = search(Data{{1, 2, 3}}, std::vector<double>{}, 1, config);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->formula, "0.0000");
    EXPECT_TRUE(std::isnan(r->error));
    EXPECT_EQ(r->complexity, 1u);
}

TEST(Search, EmptyColumnsGiveANegativeZeroError) {
    SearchConfig config;
    SearchStats stats;
    const auto r = search(Data{{}}, std::vector<double>{1.0, 2.0}, 1, config, &stats);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->formula, "0.0000");
    EXPECT_EQ(r->error, 0.0);
    EXPECT_TRUE(std::signbit(r->error));
    EXPECT_EQ(stats.levels.size(), 1u);
}

TEST(Search, MalformedDataIsNotReadOutOfBounds) {
    SearchConfig config;
    config.max_complexity = 4;
    // no column at all: zero rows
    const auto none = search(Data{}, std::vector<double>{1.0}, 0, config);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->formula, "0.0000");
    // a second column shorter than the first: read as cut to the shortest
    const auto cut = search(Data{{1, 2, 3, 4}, {5, 6}}, std::vector<double>{6, 8}, 2, config);
    const auto same = search(Data{{1, 2}, {5, 6}}, std::vector<double>{6, 8}, 2, config);
    expect_same(cut, same);
}

TEST(ScoreLevel, PenalisedErrorArithmetic) {
    struct Case {
        const char* what;
        std::vector<double> column;
        std::vector<double> targets;
        double want;
    };
    const double factor = 1.0 * 0.001 + 1.0;
    const std::vector<Case> cases = {
        {"equal lengths", {1, 2, 3}, {1, 1, 1}, std::sqrt(5.0 / 3.0) * factor},
        {"more targets than rows: divisor is the target count", {1, 2, 3}, {1, 1, 1, 100}, std::sqrt(5.0 / 4.0) * factor},
        {"more rows than targets: extra predictions ignored", {1, 2, 3, 50}, {1, 1, 1}, std::sqrt(5.0 / 3.0) * factor},
    };
    SearchConfig config;
    const std::vector<Expr> leaf = {Expr{{Token::make_var(0)}, 1}};
    for (const auto& c : cases) {
        const std::span<const double> cols[] = {c.column};
        const auto results = score_level(leaf, cols, c.targets, config);
        ASSERT_EQ(results.size(), 1u) << c.what;
        EXPECT_TRUE(same_bits(results[0].error, c.want)) << c.what;
        EXPECT_EQ(results[0].formula, "x");
        EXPECT_EQ(results[0].complexity, 1u);
    }
}

TEST(ScoreLevel, LeavesOutCandidatesThatFailOnTheData) {
    const std::vector<Expr> cands = {Expr{{Token::make_var(0), Token::make_op(Op::Ln)}, 1},
                                     Expr{{Token::make_var(0), Token::make_op(Op::Neg)}, 1},
                                     Expr{{Token::make_var(0), Token::make_op(Op::Sqrt)}, 1}};
    const std::vector<double> col = {1.0, -1.0};
    const std::span<const double> cols[] = {col};
    const auto results = score_level(cands, cols, std::vector<double>{0.0, 0.0}, SearchConfig{});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].formula, "(-x)");
}

TEST(UpdateBest, StrictImprovementOnly) {
    auto result = [](const char* f, double e) { return SearchResult{f, {}, {}, e, 1}; };
    std::optional<SearchResult> best;
    const std::vector<SearchResult> rs = {result("a", kNaN), result("b", 1.0)};
    update_best(best, rs);
    EXPECT_EQ(best->formula, "a");  // a NaN best is never replaced
    best.reset();
    const std::vector<SearchResult> ties = {result("a", 2.0), result("b", 1.0), result("c", 1.0), result("d", kNaN)};
    update_best(best, ties);
    EXPECT_EQ(best->formula, "b");
}

}  // namespace
