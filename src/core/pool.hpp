// The process-wide worker pool: created by the first parallel call, sized from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs available; the calling thread
// takes part in every job, so a pool of n runs n - 1 worker threads of its own.
// Callers block until a job is done; workers only ever see native arrays.
//
// The workers are plain threads that no other thread ever registers with, so teardown()
// can always stop and join every one of them, whatever other threads have called in
// before: that is what makes fork() safe (see teardown).
#pragma once

#include <cstddef>
#include <type_traits>

namespace zan::pool {

// Below roughly this much work the calling thread beats a dispatch to a pool that
// may be asleep (waking it costs tens of microseconds).
inline constexpr double kSerialWorkNs = 50'000.0;

// Pool size the environment asks for: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS
// (each only when a positive integer), else available CPUs; at least 1.
[[nodiscard]] std::size_t configured_size();

// CPUs this process may run on: the affinity mask, capped by a cgroup CPU quota.
[[nodiscard]] std::size_t available_cpus();

// Size of the live pool (the calling thread included), creating it if needed.
[[nodiscard]] std::size_t size();

// True once the pool exists (it is never created at import).
[[nodiscard]] bool started() noexcept;

// Stops and joins every worker thread, so that a fork finds none; the next parallel
// call builds the pool again. Waits for jobs in progress (started by callers that do not
// hold the interpreter lock); must not be called from inside a job.
void teardown() noexcept;

namespace detail {
using BlockFn = void (*)(void* body, std::size_t begin, std::size_t end);
// Runs fn(body, b, e) over disjoint blocks covering [0, n) on the pool and the calling
// thread; rethrows the first exception any block threw, once every block has stopped.
void run(std::size_t n, BlockFn fn, void* body);
}  // namespace detail

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
    using B = std::remove_reference_t<Body>;
    detail::run(
        n, [](void* b, std::size_t begin, std::size_t end) { (*static_cast<B*>(b))(begin, end); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// Map-and-collect: out[i] = kernel(i) for every i in [0, n), each slot written once.
template <class Out, class Kernel>
void map_index(std::size_t n, double cost_ns, Out* out, Kernel&& kernel) {
    for_blocks(n, cost_ns, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = kernel(i);
    });
}

}  // namespace zan::pool
