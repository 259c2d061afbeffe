// The map-and-collect frame of the parallel batches: element i computed from input i (or
// from the i-th pair of two inputs, zip-truncated) and written into slot i, on the worker
// pool. Every element depends on its own inputs alone, so the split over threads changes
// speed, never a result. The *_into forms write into storage the caller owns (a list
// form's buffer or an array form's output array); the *_collect forms allocate it.
#pragma once

#include <algorithm>
#include <span>

#include "core/buffer.hpp"
#include "core/pool.hpp"

namespace zan::frame {

// out[i] = kernel(in[i]) for every i of in; cost_ns is a rough per-element cost for the
// pool's serial cut-off. out holds in.size() slots.
template <class Out, class In, class Kernel>
void map_into(std::span<const In> in, double cost_ns, Out* out, Kernel&& kernel) {
    const In* p = in.data();
    pool::map_index(in.size(), cost_ns, out, [&](std::size_t i) { return kernel(p[i]); });
}

// out[i] = kernel(a[i], b[i]) for i below the shorter length, as zip does; out holds that
// many slots.
template <class Out, class A, class B, class Kernel>
void zip_into(std::span<const A> a, std::span<const B> b, double cost_ns, Out* out, Kernel&& kernel) {
    const A* pa = a.data();
    const B* pb = b.data();
    pool::map_index(std::min(a.size(), b.size()), cost_ns, out, [&](std::size_t i) { return kernel(pa[i], pb[i]); });
}

template <class Out, class In, class Kernel>
[[nodiscard]] Buffer<Out> map_collect(std::span<const In> in, double cost_ns, Kernel&& kernel) {
    Buffer<Out> out(in.size());
    map_into(in, cost_ns, out.data(), kernel);
    return out;
}

template <class Out, class A, class B, class Kernel>
[[nodiscard]] Buffer<Out> zip_collect(std::span<const A> a, std::span<const B> b, double cost_ns, Kernel&& kernel) {
    Buffer<Out> out(std::min(a.size(), b.size()));
    zip_into(a, b, cost_ns, out.data(), kernel);
    return out;
}

}  // namespace zan::frame
