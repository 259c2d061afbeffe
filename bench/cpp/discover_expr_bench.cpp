// Expression programs: fingerprints, column-wise against row-by-row evaluation, text form.
#include <benchmark/benchmark.h>

#include <random>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"

namespace {
using namespace zan::discover;

// Well-formed programs of 5 to 8 tokens over one variable and the constants 0 and 1,
// built from the operators the search uses.
std::vector<Expr> random_programs(std::size_t count, std::uint64_t seed) {
    static const Operator unary[] = {Operator::Neg, Operator::Inv, Operator::Exp, Operator::Ln,
                                     Operator::Sqrt, Operator::Sin, Operator::Cos};
    static const Operator binary[] = {Operator::Add, Operator::Sub, Operator::Mul, Operator::Div, Operator::Zan};
    std::mt19937_64 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    std::vector<Expr> out;
    while (out.size() < count) {
        // random postfix walk: push a leaf while the stack is shallow, else an operator
        const int target = 5 + pick(4);
        Expr e;
        int depth = 0;
        while (static_cast<int>(e.tokens.size()) < target) {
            const int left = target - static_cast<int>(e.tokens.size());
            if (depth >= 2 && (left <= depth - 1 || pick(2) == 0)) {
                e.tokens.push_back(Token::make_op(binary[pick(5)]));
                --depth;
            } else if (depth >= 1 && left > depth - 1 && pick(3) == 0) {
                e.tokens.push_back(Token::make_op(unary[pick(7)]));
            } else if (left > depth) {
                const int leaf = pick(4);
                e.tokens.push_back(leaf == 0 ? Token::make_const(0.0)
                                   : leaf == 1 ? Token::make_const(1.0)
                                               : Token::make_var(0));
                ++depth;
            } else {
                e.tokens.push_back(Token::make_op(unary[pick(7)]));
            }
        }
        if (depth == 1) out.push_back(std::move(e));
    }
    return out;
}

// Two eight-token programs: ((x + 1.0) * sin(x)) / x with one transcendental call per
// row, and -((x + 1.0) * (x - y)) of arithmetic only.
Expr eight_tokens(bool transcendental) {
    if (transcendental)
        return Expr{{Token::make_var(0), Token::make_const(1.0), Token::make_op(Operator::Add), Token::make_var(0),
                     Token::make_op(Operator::Sin), Token::make_op(Operator::Mul), Token::make_var(0),
                     Token::make_op(Operator::Div)},
                    2};
    return Expr{{Token::make_var(0), Token::make_const(1.0), Token::make_op(Operator::Add), Token::make_var(0),
                 Token::make_var(1), Token::make_op(Operator::Sub), Token::make_op(Operator::Mul),
                 Token::make_op(Operator::Neg)},
                2};
}

std::vector<double> column(std::size_t n) {
    std::vector<double> c(n);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.1, 3.0);
    for (double& v : c) v = u(rng);
    return c;
}

void BM_Fingerprint(benchmark::State& state) {
    const auto programs = random_programs(4096, 11);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(probe_bits(programs[i], 1));
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Fingerprint);

void BM_EvalBatchColumns(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = column(n), y = column(n + 1);
    const std::span<const double> cols[] = {x, y};
    const Expr e = eight_tokens(state.range(1) != 0);
    std::vector<double> out(n);
    EvalWorkspace ws;
    for (auto _ : state) {
        benchmark::DoNotOptimize(eval_batch_into(e, cols, {}, out.data(), ws));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_EvalBatchColumns)->ArgsProduct({{100, 1000, 100000}, {0, 1}});

// p0 * exp(p1 * x) + p2 over one column: values only (eval_batch_into) against values and
// the three parameter derivatives (eval_batch_dual), as the fitting of constants runs it.
Expr three_parameters() {
    return Expr{{Token::make_param(0, 1.5), Token::make_param(1, -0.4), Token::make_var(0), Token::make_op(Operator::Mul),
                 Token::make_op(Operator::Exp), Token::make_op(Operator::Mul), Token::make_param(2, 0.25),
                 Token::make_op(Operator::Add)},
                1};
}

void BM_EvalParamsValues(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = column(n);
    const std::span<const double> cols[] = {x};
    const std::vector<double> params = {1.5, -0.4, 0.25};
    const Expr e = three_parameters();
    std::vector<double> out(n);
    EvalWorkspace ws;
    for (auto _ : state) {
        benchmark::DoNotOptimize(eval_batch_into(e, cols, params, out.data(), ws));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_EvalParamsValues)->Arg(256)->Arg(10000);

void BM_EvalParamsDual(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = column(n);
    const std::span<const double> cols[] = {x};
    const std::vector<double> params = {1.5, -0.4, 0.25};
    const Expr e = three_parameters();
    std::vector<double> out(n), dout(3 * n);
    DualWorkspace ws;
    for (auto _ : state) {
        benchmark::DoNotOptimize(eval_batch_dual(e, cols, params, 3, out.data(), dout.data(), ws));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_EvalParamsDual)->Arg(256)->Arg(10000);

void BM_EvalRowByRow(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<double> x = column(n), y = column(n + 1);
    const Expr e = eight_tokens(state.range(1) != 0);
    std::vector<double> out(n);
    for (auto _ : state) {
        for (std::size_t i = 0; i < n; ++i) {
            const double row[2] = {x[i], y[i]};
            const auto v = eval(e, row);
            if (!v) break;
            out[i] = *v;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_EvalRowByRow)->ArgsProduct({{100, 1000, 100000}, {0, 1}});

void BM_ToString(benchmark::State& state) {
    const auto programs = random_programs(4096, 12);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(to_string(programs[i]));
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToString);

}  // namespace
