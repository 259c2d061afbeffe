// Element rules of the elementwise batch functions and the parallel loops that apply
// them. Every element depends only on the element(s) of the same index, so the
// split over threads changes speed, never a result.
#pragma once

#include <cstddef>
#include <cmath>

#include "core/guards.hpp"

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

// out[i] = k(in[i]) for i in [0, n) on the pool; out may be in itself (the list form
// overwrites its converted input, the array form may be asked to work in place).
// Compiled once, out of line (elementwise.cpp), for every kernel above: when two NaNs meet in a sum or a
// product, which payload survives depends on the operand order the compiler picked, so
// the list and the array forms must run the very same instructions to agree to the bit.
template <class Kernel>
void apply(const double* in, double* out, std::size_t n);

// out[i] = k(a[i], b[i]) for i in [0, n); out may be a or b.
template <class Kernel>
void apply(const double* a, const double* b, double* out, std::size_t n);

}  // namespace zan::elementwise
