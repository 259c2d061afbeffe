// The Lorentz boost kernel alone, without any Python conversion: one pass on the calling thread
// against boost_all on the worker pool (sized by RAYON_NUM_THREADS, else the CPUs available).
#include <benchmark/benchmark.h>

#include <random>

#include "core/boost.hpp"
#include "core/pool.hpp"

namespace {

struct Inputs {
    zan::Buffer<zan::XY> points;
    zan::FloatVec phis;
};

Inputs make_inputs(std::size_t n) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> x(-2.0, 2.0), y(0.01, 10.0), phi(-1.0, 1.0);
    Inputs in;
    in.points.resize(n);
    in.phis.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        in.points[i] = {x(rng), y(rng)};
        in.phis[i] = phi(rng);
    }
    return in;
}

void BM_BoostSerial(benchmark::State& state) {
    const Inputs in = make_inputs(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        zan::Buffer<zan::XY> out(in.points.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = zan::boost_point(in.points[i][0], in.points[i][1], in.phis[i], 1.3);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BoostPool(benchmark::State& state) {
    const Inputs in = make_inputs(static_cast<std::size_t>(state.range(0)));
    state.counters["pool"] = static_cast<double>(zan::pool::size());
    for (auto _ : state) {
        zan::Buffer<zan::XY> out = zan::boost_all(in.points, in.phis, 1.3);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_BoostSerial)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BoostPool)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
