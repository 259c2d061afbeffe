// The worker pool: every index visited once, faults from any thread reach the caller,
// jobs from inside jobs and from several threads at once, teardown and fork.
#include "core/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kBig = 1e6;  // per-element cost that always goes to the pool

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* v = std::getenv("RAYON_NUM_THREADS");
        saved_ = v ? std::optional<std::string>(v) : std::nullopt;
        setenv("RAYON_NUM_THREADS", "4", 1);
        zan::pool::teardown();
    }
    void TearDown() override {
        if (saved_) setenv("RAYON_NUM_THREADS", saved_->c_str(), 1);
        else unsetenv("RAYON_NUM_THREADS");
        zan::pool::teardown();
    }
    std::optional<std::string> saved_;
};

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// The count once threads that were joined have left /proc/self/task: a joined thread has run
// its last instruction, but the kernel may list it for a moment longer on a busy machine. The
// count is read until it holds for kSettled (two seconds at most).
std::size_t settled_thread_count() {
    constexpr auto kSettled = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::size_t last = thread_count();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::size_t now = thread_count();
        if (now != last) {
            last = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= kSettled) {
            break;
        }
    }
    return last;
}

TEST_F(PoolTest, EveryIndexOnceInAnyBlockOrder) {
    ASSERT_EQ(zan::pool::size(), 4u);
    for (std::size_t n : {1u, 7u, 31u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> hits(n);
        zan::pool::for_blocks(n, kBig, [&](std::size_t b, std::size_t e) {
            ASSERT_LT(b, e);
            for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
    }
}

TEST_F(PoolTest, FaultOnAWorkerReachesTheCallerAfterAllBlocksStop) {
    std::atomic<int> running{0};
    for (int round = 0; round < 50; ++round) {
        try {
            zan::pool::for_blocks(10'000, kBig, [&](std::size_t b, std::size_t e) {
                running.fetch_add(1);
                if (b <= 5000 && 5000 < e) {
                    running.fetch_sub(1);
                    throw std::runtime_error("block fault");
                }
                running.fetch_sub(1);
            });
            FAIL() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "block fault");
        }
        EXPECT_EQ(running.load(), 0);
    }
    // The pool still works after faults.
    std::atomic<std::size_t> sum{0};
    zan::pool::for_blocks(1000, kBig, [&](std::size_t b, std::size_t e) { sum.fetch_add(e - b); });
    EXPECT_EQ(sum.load(), 1000u);
}

TEST_F(PoolTest, JobsInsideJobsAndFromManyThreadsRunToCompletion) {
    std::atomic<std::size_t> inner{0};
    zan::pool::for_blocks(64, kBig, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            zan::pool::for_blocks(100, kBig, [&](std::size_t ib, std::size_t ie) { inner.fetch_add(ie - ib); });
    });
    EXPECT_EQ(inner.load(), 6400u);

    std::atomic<std::size_t> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&] {
            for (int r = 0; r < 200; ++r)
                zan::pool::for_blocks(500, kBig, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 6u * 200u * 500u);
}

TEST_F(PoolTest, TeardownJoinsWorkersAndTheNextJobRebuilds) {
    zan::pool::for_blocks(1000, kBig, [](std::size_t, std::size_t) {});
    zan::pool::teardown();  // counts from here on: a sanitizer may have started a thread of its own
    const std::size_t before = settled_thread_count();
    zan::pool::for_blocks(1000, kBig, [](std::size_t, std::size_t) {});
    EXPECT_EQ(thread_count(), before + 3);
    zan::pool::teardown();
    EXPECT_FALSE(zan::pool::started());
    EXPECT_EQ(settled_thread_count(), before);
    zan::pool::for_blocks(1000, kBig, [](std::size_t, std::size_t) {});
    EXPECT_EQ(thread_count(), before + 3);
}

TEST_F(PoolTest, ChildForkedWithoutTeardownBuildsItsOwnPool) {
    zan::pool::for_blocks(1000, kBig, [](std::size_t, std::size_t) {});
    const std::size_t parent_threads = thread_count();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::size_t copied = thread_count();  // the forking thread (and any sanitizer thread)
        std::atomic<std::size_t> sum{0};
        zan::pool::for_blocks(1000, kBig, [&](std::size_t b, std::size_t e) { sum.fetch_add(e - b); });
        // The child's pool has its three workers again.
        _exit(sum.load() == 1000 && thread_count() == copied + 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(thread_count(), parent_threads);
}

}  // namespace
