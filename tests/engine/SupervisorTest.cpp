// The real supervisor thread: its rate, its recovery after a stall, its end.
#include "Supervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono;

TEST(Supervisor, TicksEvery50MsWithoutDriftingBehindRealTime)
{
    std::atomic<int> ticks{0};
    const auto start = steady_clock::now();
    auto supervisor = std::make_unique<updater::Supervisor>([&] {
        ticks.fetch_add(1);
        std::this_thread::sleep_for(milliseconds(5)); // work inside a tick must not add up
    });
    std::this_thread::sleep_for(milliseconds(1025));
    const int seen = ticks.load();
    supervisor.reset();
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    // 20 deadlines fall inside 1.025 s; a loaded machine may lose one at the edge.
    EXPECT_GE(seen, 19);
    EXPECT_LE(seen, 21);
    EXPECT_LT(elapsed, 1.5);
}

TEST(Supervisor, AfterALongStallItCountsOnFromNowInsteadOfBursting)
{
    std::atomic<int> ticks{0};
    std::atomic<bool> stalled{false};
    std::atomic<int> ticksRightAfterStall{-1};
    updater::Supervisor supervisor([&] {
        const int n = ticks.fetch_add(1) + 1;
        if (n == 2) {
            std::this_thread::sleep_for(milliseconds(400)); // a message box held the tick
            stalled = true;
        }
    });
    while (!stalled)
        std::this_thread::sleep_for(milliseconds(5));
    std::this_thread::sleep_for(milliseconds(30));
    ticksRightAfterStall = ticks.load();
    EXPECT_EQ(ticksRightAfterStall.load(), 2); // no burst of missed ticks
    EXPECT_GE(supervisor.restarts(), 1u);
}

TEST(Supervisor, DestroyingItsOwnerStopsTheThread)
{
    std::atomic<int> ticks{0};
    {
        updater::Supervisor supervisor([&] { ticks.fetch_add(1); });
        std::this_thread::sleep_for(milliseconds(120));
    }
    const int atDestruction = ticks.load();
    EXPECT_GE(atDestruction, 1);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(ticks.load(), atDestruction);
}

TEST(Supervisor, SleepsWithoutTickingWhileNoJobRunsAndTicksAgainWhenWoken)
{
    std::atomic<int> ticks{0};
    std::atomic<bool> busy{false};
    auto supervisor = std::make_unique<updater::Supervisor>(
        [&] { ticks.fetch_add(1); }, milliseconds(50), [&] { return busy.load(); });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(ticks.load(), 0);
    busy = true;
    supervisor->wake();
    std::this_thread::sleep_for(milliseconds(230));
    EXPECT_GE(ticks.load(), 3); // deadlines at 50, 100, 150, 200 ms after the wake
    EXPECT_LE(ticks.load(), 5);
    busy = false;
    std::this_thread::sleep_for(milliseconds(100));
    const int whenIdle = ticks.load();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(ticks.load(), whenIdle);
    const auto start = steady_clock::now();
    supervisor.reset(); // stops while asleep
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
}
