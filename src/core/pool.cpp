#include "core/pool.hpp"

#include <sched.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <string>

namespace zan::pool {
namespace {

namespace tbb = oneapi::tbb;

// A positive decimal integer and nothing else; 0 when unset or unusable.
std::size_t env_positive(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return 0;
    std::size_t n = 0;
    const char* end = v + std::char_traits<char>::length(v);
    auto [p, ec] = std::from_chars(v, end, n);
    if (ec != std::errc{} || p != end) return 0;
    return n;
}

// ceil(quota / period) of the cgroup this process lives in, or 0 when unlimited.
std::size_t cgroup_cpu_limit() {
    std::string rel;
    {
        std::ifstream cg("/proc/self/cgroup");
        std::string line;
        while (std::getline(cg, line)) {
            if (line.rfind("0::", 0) == 0) rel = line.substr(3);
        }
    }
    auto from_v2 = [](const std::string& path) -> std::size_t {
        std::ifstream f(path);
        std::string quota;
        long long period = 0;
        if (!(f >> quota >> period) || quota == "max" || period <= 0) return 0;
        long long q = std::atoll(quota.c_str());
        if (q <= 0) return 0;
        return static_cast<std::size_t>((q + period - 1) / period);
    };
    if (!rel.empty()) {
        if (std::size_t n = from_v2("/sys/fs/cgroup" + rel + "/cpu.max")) return n;
    }
    if (std::size_t n = from_v2("/sys/fs/cgroup/cpu.max")) return n;
    std::ifstream q("/sys/fs/cgroup/cpu/cpu.cfs_quota_us"), p("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    long long quota = 0, period = 0;
    if ((q >> quota) && (p >> period) && quota > 0 && period > 0)
        return static_cast<std::size_t>((quota + period - 1) / period);
    return 0;
}

struct Pool {
    tbb::task_scheduler_handle handle{tbb::attach{}};
    std::size_t threads;
    std::unique_ptr<tbb::global_control> limit;
    std::unique_ptr<tbb::task_arena> arena;

    explicit Pool(std::size_t n) : threads(n) {
        // The library caps its workers at the machine's concurrency unless told otherwise;
        // an explicit size from the environment must win in both directions.
        limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, n);
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(n));
        arena->initialize();
    }
};

std::mutex g_mutex;
std::atomic<Pool*> g_pool{nullptr};

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    std::lock_guard lock(g_mutex);
    p = g_pool.load(std::memory_order_relaxed);
    if (p == nullptr) {
        p = new Pool(configured_size());
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) n = static_cast<std::size_t>(tbb::info::default_concurrency());
    if (std::size_t quota = cgroup_cpu_limit(); quota != 0 && quota < n) n = quota;
    return n == 0 ? 1 : n;
}

std::size_t configured_size() {
    if (std::size_t n = env_positive("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = env_positive("RAYON_RS_NUM_CPUS")) return n;
    return available_cpus();
}

std::size_t size() { return pool().threads; }

bool started() noexcept { return g_pool.load(std::memory_order_acquire) != nullptr; }

tbb::task_arena& arena() { return *pool().arena; }

void teardown() noexcept {
    std::lock_guard lock(g_mutex);
    Pool* p = g_pool.exchange(nullptr, std::memory_order_acq_rel);
    if (p == nullptr) return;
    p->arena->terminate();
    p->arena.reset();
    p->limit.reset();
    // Wait until every worker thread has exited, so that fork() copies none of them.
    (void)tbb::finalize(p->handle, std::nothrow);
    delete p;
}

}  // namespace zan::pool
