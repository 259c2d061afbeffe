// The limit bench/arrays.py holds ln_n, exp_n and sin_n against: the C library's function
// over a plain loop, split in two halves on two threads (the calling one and one more),
// into an output allocated and touched once beforehand. No guard, no pool, no Python.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kN = 1'000'000;

std::vector<double> inputs(double lo, double hi) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> v(kN);
    for (double& x : v) x = u(rng);
    return v;
}

template <double (*F)(double)>
void two_threads(benchmark::State& state, double lo, double hi) {
    const std::vector<double> in = inputs(lo, hi);
    std::vector<double> out(kN, 0.0);
    auto half = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = F(in[i]);
    };
    for (auto _ : state) {
        std::thread other(half, kN / 2, kN);
        half(0, kN / 2);
        other.join();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kN));
}

double c_log(double x) { return std::log(x); }
double c_exp(double x) { return std::exp(x); }
double c_sin(double x) { return std::sin(x); }

// The ranges are bench/arrays.py's.
void BM_LimitLog(benchmark::State& s) { two_threads<c_log>(s, 1e-3, 1e3); }
void BM_LimitExp(benchmark::State& s) { two_threads<c_exp>(s, -50.0, 50.0); }
void BM_LimitSin(benchmark::State& s) { two_threads<c_sin>(s, -10.0, 10.0); }

}  // namespace

BENCHMARK(BM_LimitLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LimitExp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LimitSin)->Unit(benchmark::kMillisecond)->UseRealTime();
