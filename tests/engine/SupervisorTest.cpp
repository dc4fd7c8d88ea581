// The supervisor's schedule in counted time, and one run of the real thread.
#include "Supervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono;
using updater::TickSchedule;

namespace {

// Runs a schedule for `span` of counted time; each tick takes work(n) for the
// n-th tick (1-based). Returns the moments, from the start, at which ticks began.
std::vector<milliseconds> runSchedule(milliseconds span, const auto &work)
{
    const TickSchedule::Clock::time_point t0{};
    TickSchedule schedule(milliseconds(50), t0);
    std::vector<milliseconds> starts;
    for (;;) {
        const auto deadline = schedule.nextDeadline();
        if (deadline - t0 > span)
            return starts;
        starts.push_back(duration_cast<milliseconds>(deadline - t0));
        schedule.ticked(deadline + work(starts.size()));
    }
}

} // namespace

TEST(TickSchedule, TicksEvery50MsOnAbsoluteDeadlinesSoWorkInsideATickDoesNotAddUp)
{
    const auto starts =
        runSchedule(milliseconds(1025), [](std::size_t) { return milliseconds(5); });
    ASSERT_EQ(starts.size(), 20u);
    for (std::size_t i = 0; i < starts.size(); ++i)
        EXPECT_EQ(starts[i], milliseconds(50 * (i + 1)));
}

TEST(TickSchedule, AfterALongStallItCountsOnFromTheEndOfTheStallInsteadOfBursting)
{
    // The second tick holds the thread for 400 ms (a message box).
    const auto starts = runSchedule(milliseconds(600), [](std::size_t n) {
        return n == 2 ? milliseconds(400) : milliseconds(0);
    });
    ASSERT_GE(starts.size(), 4u);
    EXPECT_EQ(starts[0], milliseconds(50));
    EXPECT_EQ(starts[1], milliseconds(100));
    EXPECT_EQ(starts[2], milliseconds(550)); // one period after the stall ended, no catch-up
    EXPECT_EQ(starts[3], milliseconds(600));
}

TEST(TickSchedule, ATickEndingExactlyOnTheNextDeadlineKeepsTheSchedule)
{
    const auto starts = runSchedule(milliseconds(200), [](std::size_t n) {
        return n == 1 ? milliseconds(50) : milliseconds(0);
    });
    EXPECT_EQ(starts, (std::vector<milliseconds>{milliseconds(50), milliseconds(100),
                                                 milliseconds(150), milliseconds(200)}));
}

// The real thread, once: it sleeps while no job runs, ticks when woken, sleeps
// again when the job is over, and its destruction stops it even while asleep.
TEST(Supervisor, SleepsWhileIdleTicksWhenWokenAndStopsWhenDestroyed)
{
    std::atomic<int> ticks{0};
    std::atomic<bool> busy{false};
    auto supervisor = std::make_unique<updater::Supervisor>(
        [&] { ticks.fetch_add(1); }, milliseconds(50), [&] { return busy.load(); });
    std::this_thread::sleep_for(milliseconds(120));
    EXPECT_EQ(ticks.load(), 0);
    busy = true;
    supervisor->wake();
    const auto deadline = steady_clock::now() + seconds(5);
    while (ticks.load() < 3 && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_GE(ticks.load(), 3);
    busy = false;
    std::this_thread::sleep_for(milliseconds(100));
    const int whenIdle = ticks.load();
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(ticks.load(), whenIdle);
    const auto start = steady_clock::now();
    supervisor.reset();
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
}
