// The map-and-collect frame of the parallel batches: an output sized once, element i
// computed from input i (or from the i-th pair of two inputs, zip-truncated) and written
// into slot i, on the worker pool. Every element depends on its own inputs alone, so the
// split over threads changes speed, never a result.
#pragma once

#include <algorithm>
#include <span>

#include "core/buffer.hpp"
#include "core/pool.hpp"

namespace zan::frame {

// out[i] = kernel(in[i]); cost_ns is a rough per-element cost for the pool's serial cut-off.
template <class Out, class In, class Kernel>
[[nodiscard]] Buffer<Out> map_collect(std::span<const In> in, double cost_ns, Kernel&& kernel) {
    Buffer<Out> out(in.size());
    const In* p = in.data();
    pool::map_index(in.size(), cost_ns, out.data(), [&](std::size_t i) { return kernel(p[i]); });
    return out;
}

// out[i] = kernel(a[i], b[i]) for i below the shorter length, as zip does.
template <class Out, class A, class B, class Kernel>
[[nodiscard]] Buffer<Out> zip_collect(std::span<const A> a, std::span<const B> b, double cost_ns, Kernel&& kernel) {
    const std::size_t n = std::min(a.size(), b.size());
    Buffer<Out> out(n);
    const A* pa = a.data();
    const B* pb = b.data();
    pool::map_index(n, cost_ns, out.data(), [&](std::size_t i) { return kernel(pa[i], pb[i]); });
    return out;
}

}  // namespace zan::frame
