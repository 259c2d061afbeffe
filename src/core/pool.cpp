#include "core/pool.hpp"

#include <sched.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace zan::pool {
namespace {

// A positive decimal integer (an optional leading '+' included) and nothing else; 0 when
// unset or unusable.
std::size_t env_positive(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return 0;
    const char* end = v + std::char_traits<char>::length(v);
    if (*v == '+') ++v;
    if (v == end || *v < '0' || *v > '9') return 0;
    std::size_t n = 0;
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

// One job: blocks of [0, n) handed out in order from a shared counter. The first
// exception stops the handing out; blocks already running finish.
struct Job {
    Job(detail::BlockFn f, void* b, std::size_t count, std::size_t per_block) noexcept
        : fn(f), body(b), n(count), block(per_block) {}

    detail::BlockFn fn;
    void* body;
    std::size_t n;
    std::size_t block;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;

    void work() noexcept {
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t b = next.fetch_add(block, std::memory_order_relaxed);
            if (b >= n) return;
            try {
                fn(body, b, std::min(n, b + block));
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t n) : threads_(n) {
        workers_.reserve(n - 1);
        try {
            for (std::size_t k = 1; k < n; ++k) workers_.emplace_back([this, k] { loop(k); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Pool() { stop(); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    [[nodiscard]] std::size_t threads() const noexcept { return threads_; }

    void run(Job& job) {
        // One job at a time; a concurrent call, or one made from inside a job (which finds
        // the lock taken by the job's caller), computes on its own thread.
        std::unique_lock<std::mutex> running(run_mutex_, std::try_to_lock);
        if (!running.owns_lock()) {
            job.work();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            ++generation_;
        }
        wake_.notify_all();
        job.work();
        // Every block is handed out. A worker still asleep (the machine may be busy with
        // other processes) has nothing left to do: withdraw the job so that it never
        // touches it, and wait only for the workers inside it.
        std::unique_lock lock(mutex_);
        job_ = nullptr;
        done_.wait(lock, [&] { return inside_ == 0; });
    }

private:
    void loop(std::size_t k) {
        char name[16];
        std::snprintf(name, sizeof(name), "zan-worker-%zu", k);
        pthread_setname_np(pthread_self(), name);
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            Job* job = job_;
            if (job == nullptr) continue;  // finished before this worker woke
            ++inside_;
            lock.unlock();
            job->work();
            lock.lock();
            if (--inside_ == 0) done_.notify_one();
        }
    }

    void stop() noexcept {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    const std::size_t threads_;
    std::vector<std::thread> workers_;
    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Job* job_ = nullptr;
    std::size_t inside_ = 0;  // workers running the current job
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
};

std::mutex g_mutex;
std::atomic<Pool*> g_pool{nullptr};
// Jobs in progress (guarded by g_mutex). A caller that released the interpreter lock may
// still be computing when another thread forks: teardown waits for it instead of deleting
// the pool under its feet.
std::size_t g_jobs = 0;
std::condition_variable g_idle;

// A child forked without teardown() (by code that bypasses the host's fork hooks) holds
// a copy of the pool whose threads do not exist: it forgets that copy, without touching
// it, and builds its own on first use.
void forget_pool_in_child() noexcept {
    g_pool.store(nullptr, std::memory_order_relaxed);
    new (&g_mutex) std::mutex();
    new (&g_idle) std::condition_variable();
    g_jobs = 0;
}

// The pool, created if needed; the caller holds g_mutex.
Pool& pool_locked() {
    static const int registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    (void)registered;
    Pool* p = g_pool.load(std::memory_order_relaxed);
    if (p == nullptr) {
        p = new Pool(configured_size());
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    std::lock_guard lock(g_mutex);
    return pool_locked();
}

// The pool for the length of one job: teardown waits until every lease has ended.
class Lease {
public:
    Lease() {
        std::lock_guard lock(g_mutex);
        pool_ = &pool_locked();
        ++g_jobs;
    }
    ~Lease() {
        std::lock_guard lock(g_mutex);
        if (--g_jobs == 0) g_idle.notify_all();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    [[nodiscard]] Pool& pool() const noexcept { return *pool_; }

private:
    Pool* pool_;
};

}  // namespace

std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) n = std::thread::hardware_concurrency();
    if (std::size_t quota = cgroup_cpu_limit(); quota != 0 && quota < n) n = quota;
    return n == 0 ? 1 : n;
}

std::size_t configured_size() {
    if (std::size_t n = env_positive("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = env_positive("RAYON_RS_NUM_CPUS")) return n;
    return available_cpus();
}

std::size_t size() { return pool().threads(); }

bool started() noexcept { return g_pool.load(std::memory_order_acquire) != nullptr; }

void teardown() noexcept {
    std::unique_lock lock(g_mutex);
    g_idle.wait(lock, [] { return g_jobs == 0; });
    // Joins every worker: a fork right after copies no thread of the pool.
    delete g_pool.exchange(nullptr, std::memory_order_acq_rel);
}

namespace detail {

void run(std::size_t n, BlockFn fn, void* body) {
    const Lease lease;
    Pool& p = lease.pool();
    // A few blocks per thread: the counter balances uneven blocks without making each
    // block so small that handing it out costs more than computing it.
    const std::size_t blocks = p.threads() * 8;
    Job job(fn, body, n, std::max<std::size_t>(1, (n + blocks - 1) / blocks));
    p.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail
}  // namespace zan::pool
