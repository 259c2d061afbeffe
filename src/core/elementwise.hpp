// Element rules of the elementwise batch functions and the map-and-collect frame that
// applies them. Every element depends only on the element(s) of the same index, so the
// split over threads changes speed, never a result.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>

#include "core/buffer.hpp"
#include "core/guards.hpp"
#include "core/pool.hpp"

namespace zan::elementwise {

// cost: rough nanoseconds per element, used only to decide when the pool is worth waking.
struct Ln     { static constexpr double cost = 4;  double operator()(double y) const noexcept { return guarded_ln(y); } };
struct Exp    { static constexpr double cost = 4;  double operator()(double x) const noexcept { return guarded_exp(x); } };
struct Sqrt   { static constexpr double cost = 1;  double operator()(double x) const noexcept { return std::sqrt(std::fabs(x)); } };
struct Sin    { static constexpr double cost = 8;  double operator()(double x) const noexcept { return std::sin(x); } };
struct Cos    { static constexpr double cost = 8;  double operator()(double x) const noexcept { return std::cos(x); } };
struct Add    { static constexpr double cost = 0.5; double operator()(double a, double b) const noexcept { return a + b; } };
struct Sub    { static constexpr double cost = 0.5; double operator()(double a, double b) const noexcept { return a - b; } };
struct Mul    { static constexpr double cost = 0.5; double operator()(double a, double b) const noexcept { return a * b; } };
struct Div    { static constexpr double cost = 1;  double operator()(double a, double b) const noexcept { return guarded_div(a, b); } };
// The base's sign is dropped before the library call; its special cases apply as they are.
struct Pow    { static constexpr double cost = 20; double operator()(double a, double b) const noexcept { return std::pow(std::fabs(a), b); } };
struct Tension{ static constexpr double cost = 8;  double operator()(double x, double y) const noexcept { return zan_tension(x, y); } };

// The result of element i depends on input i alone, so it overwrites the converted input
// in place: one array per call instead of two, and half the page faults on large lists.
template <class Kernel>
[[nodiscard]] FloatVec map(FloatVec xs, Kernel k = {}) {
    double* v = xs.data();
    pool::map_index(xs.size(), Kernel::cost, v, [&](std::size_t i) { return k(v[i]); });
    return xs;
}

// Pairs stop at the shorter input, as zip does; the result overwrites the first input.
template <class Kernel>
[[nodiscard]] FloatVec map(FloatVec as, const FloatVec& bs, Kernel k = {}) {
    as.resize(std::min(as.size(), bs.size()));
    double* a = as.data();
    const double* b = bs.data();
    pool::map_index(as.size(), Kernel::cost, a, [&](std::size_t i) { return k(a[i], b[i]); });
    return as;
}

}  // namespace zan::elementwise
