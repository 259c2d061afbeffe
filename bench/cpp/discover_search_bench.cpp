// The full default search over 100 rows of a noisy problem, so that every level runs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "core/discover/classic_search.hpp"
#include "core/pool.hpp"

namespace {
using namespace zan::discover;

struct Problem {
    std::vector<std::vector<double>> columns;
    std::vector<double> targets;
};

// y = x·sin(x) + 0.3·x² plus Gaussian noise: no formula within eight tokens reaches the
// goal, so all seven levels run.
Problem noisy_problem(std::size_t rows) {
    Problem p;
    p.columns.assign(1, std::vector<double>(rows));
    std::mt19937_64 rng(99);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (std::size_t i = 0; i < rows; ++i) {
        const double x = 0.1 + 3.0 * static_cast<double>(i) / static_cast<double>(rows);
        p.columns[0][i] = x;
        p.targets.push_back(x * std::sin(x) + 0.3 * x * x + noise(rng));
    }
    return p;
}

void BM_SearchDefault(benchmark::State& state) {
    const Problem p = noisy_problem(static_cast<std::size_t>(state.range(0)));
    SearchConfig config;  // max_complexity 8, beam 2000, goal 1e-10, penalty 0.001, trig and zan
    SearchStats stats;
    for (auto _ : state) benchmark::DoNotOptimize(search(p.columns, p.targets, 1, config, &stats));
    state.counters["threads"] = static_cast<double>(zan::pool::size());
    state.counters["levels"] = static_cast<double>(stats.levels.size());
    std::size_t generated = 0, kept = 0;
    for (const auto& l : stats.levels) {
        generated += l.generated;
        kept += l.kept;
    }
    state.counters["generated"] = static_cast<double>(generated);
    state.counters["scored"] = static_cast<double>(kept);
}
BENCHMARK(BM_SearchDefault)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// Per-level breakdown of one search, printed once.
void BM_SearchLevels(benchmark::State& state) {
    const Problem p = noisy_problem(100);
    SearchConfig config;
    SearchStats stats;
    std::optional<SearchResult> best;
    for (auto _ : state) best = search(p.columns, p.targets, 1, config, &stats);
    std::printf("\nthreads %zu, total %.2f ms\n", zan::pool::size(), stats.seconds * 1e3);
    std::printf("level  generated  fingerprint  kept  evaluated  beam  gen ms  score ms  ms\n");
    for (const auto& l : stats.levels)
        std::printf("%5zu %10zu %12zu %5zu %10zu %5zu %7.2f %9.2f %6.2f\n", l.level, l.generated, l.with_fingerprint,
                    l.kept, l.scored, l.beam_size, l.generate_seconds * 1e3, l.score_seconds * 1e3, l.seconds * 1e3);
    if (best) std::printf("best %s error %.17g complexity %llu\n", best->formula.c_str(), best->error,
                          static_cast<unsigned long long>(best->complexity));
}
BENCHMARK(BM_SearchLevels)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
