#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "Dispatcher.h"

using namespace std::chrono_literals;

// Several workers synchronise in bursts while the main thread waits in pumping steps: every call
// runs on the main thread, per-thread order holds, and nobody deadlocks.
TEST(Dispatcher, ManyWorkersDeliverInOrderOntoPumpingMainThread) {
    SetMainThread();
    const auto mainId = std::this_thread::get_id();
    constexpr int kThreads = 4, kCalls = 300;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> finished{0};
    std::atomic<bool> wrongThread{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < kCalls; ++i) {
                Synchronize([&, t, i] {
                    if (std::this_thread::get_id() != mainId) wrongThread = true;
                    seen[t].push_back(i);
                });
                if (rng() % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
            }
            ++finished;
        });
    ASSERT_TRUE(WaitPumping([&] { return finished == kThreads; }, 1ms, 60s));
    for (auto& w : workers) w.join();
    EXPECT_FALSE(wrongThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kCalls));
        for (int i = 0; i < kCalls; ++i) ASSERT_EQ(seen[t][i], i);
    }
}

TEST(Dispatcher, MainThreadCallRunsDirectlyAndErrorsReachTheCaller) {
    SetMainThread();
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);  // no pump needed on the main thread

    std::atomic<bool> caught{false}, done{false};
    std::thread worker([&] {
        try {
            Synchronize([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "boom";
        }
        done = true;
    });
    ASSERT_TRUE(WaitPumping([&] { return done.load(); }, 1ms, 10s));
    worker.join();
    EXPECT_TRUE(caught);
}

TEST(Dispatcher, WakeHookFiresAndProcessMessagesRunsPumpHook) {
    SetMainThread();
    std::atomic<int> wakes{0};
    int pumps = 0;
    SetWakeMainThreadHook([&] { ++wakes; });
    SetProcessMessagesHook([&] { ++pumps; });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([] {});
        done = true;
    });
    ASSERT_TRUE(WaitPumping([&] { return done.load(); }, 1ms, 10s));
    worker.join();
    EXPECT_EQ(wakes, 1);
    EXPECT_GT(pumps, 0);
    SetWakeMainThreadHook(nullptr);
    SetProcessMessagesHook(nullptr);
}

TEST(Dispatcher, WaitPumpingTimesOut) {
    SetMainThread();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitPumping([] { return false; }, 5ms, 50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
}
