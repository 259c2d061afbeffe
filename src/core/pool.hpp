// The process-wide worker pool: one task arena, created by the first parallel call,
// sized from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs available.
// Callers block until a job is done; workers only ever see native arrays.
#pragma once

#include <cstddef>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace zan::pool {

// Below roughly this much work the calling thread beats a dispatch to a pool that
// may be asleep (waking it costs tens of microseconds).
inline constexpr double kSerialWorkNs = 50'000.0;

// Pool size the environment asks for: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS
// (each only when a positive integer), else available CPUs; at least 1.
[[nodiscard]] std::size_t configured_size();

// CPUs this process may run on: the affinity mask, capped by a cgroup CPU quota.
[[nodiscard]] std::size_t available_cpus();

// Size of the live pool, creating it if needed.
[[nodiscard]] std::size_t size();

// True once the arena exists (it is never created at import).
[[nodiscard]] bool started() noexcept;

// The arena, created on first use.
[[nodiscard]] oneapi::tbb::task_arena& arena();

// Destroys the arena and its workers, so that a fork finds no threads; the next
// parallel call builds them again.
void teardown() noexcept;

// Runs body(begin, end) over disjoint blocks covering [0, n). Small jobs (n elements of
// about cost_ns each below kSerialWorkNs) run on the calling thread in one block.
// Exceptions thrown by body on any thread reach the caller.
template <class Body>
void for_blocks(std::size_t n, double cost_ns, Body&& body) {
    if (n == 0) return;
    if (static_cast<double>(n) * cost_ns < kSerialWorkNs || size() == 1) {
        body(std::size_t{0}, n);
        return;
    }
    arena().execute([&] {
        oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n),
                                  [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                      body(r.begin(), r.end());
                                  });
    });
}

// Map-and-collect: out[i] = kernel(i) for every i in [0, n), each slot written once.
template <class Out, class Kernel>
void map_index(std::size_t n, double cost_ns, Out* out, Kernel&& kernel) {
    for_blocks(n, cost_ns, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = kernel(i);
    });
}

}  // namespace zan::pool
