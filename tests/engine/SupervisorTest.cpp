// The supervisor's schedule in counted time, and one run of the real thread.
#include "Supervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
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

// Counted time for the supervisor thread: a wait for a deadline ends at once at
// that deadline, so ticks come without sleeping and at exact moments.
class CountedClock : public updater::SupervisorClock
{
public:
    Clock::time_point now() override { return Clock::time_point(milliseconds(ms_.load())); }
    bool waitUntil(std::condition_variable &, std::unique_lock<std::mutex> &,
                   Clock::time_point deadline, const std::function<bool()> &stop) override
    {
        const auto due = duration_cast<milliseconds>(deadline.time_since_epoch()).count();
        auto ms = ms_.load();
        while (due > ms && !ms_.compare_exchange_weak(ms, due)) {
        }
        return stop();
    }
    void advance(milliseconds by) { ms_ += by.count(); }

private:
    std::atomic<std::int64_t> ms_{0};
};

// What the supervisor under test saw and did, for the test thread to wait on.
struct Watch
{
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;
    bool idleSeen = false;
    std::vector<milliseconds> ticks; // counted time of each tick
    std::function<void()> onIdleCheck;

    // The tick of a job that lasts jobTicks ticks: the last one ends it.
    std::function<void()> tick(CountedClock &clock, std::size_t jobTicks)
    {
        return [this, &clock, jobTicks] {
            std::lock_guard lock(mutex);
            ticks.push_back(duration_cast<milliseconds>(clock.now().time_since_epoch()));
            busy = ticks.size() < jobTicks;
            changed.notify_all();
        };
    }
    std::function<bool()> busyCheck()
    {
        return [this] {
            std::unique_lock lock(mutex);
            const bool was = busy;
            if (!was && !std::exchange(idleSeen, true) && onIdleCheck) {
                lock.unlock();
                onIdleCheck(); // lands after the check, before the thread sleeps
                lock.lock();
            }
            changed.notify_all();
            return was;
        };
    }
    bool waitFor(const std::function<bool()> &pred)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, seconds(2), pred);
    }
};

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

TEST(Supervisor, FirstTickAfterAWakeComesOnePeriodLaterHoweverLongItSlept)
{
    CountedClock clock;
    Watch watch;
    updater::Supervisor supervisor(watch.tick(clock, 3), milliseconds(50), watch.busyCheck(),
                                   &clock);
    ASSERT_TRUE(watch.waitFor([&] { return watch.idleSeen; }));
    clock.advance(milliseconds(1000)); // asleep for a second of counted time
    {
        std::lock_guard lock(watch.mutex);
        watch.busy = true;
    }
    supervisor.wake();
    ASSERT_TRUE(watch.waitFor([&] { return watch.ticks.size() == 3; }));
    EXPECT_EQ(watch.ticks, (std::vector<milliseconds>{milliseconds(1050), milliseconds(1100),
                                                      milliseconds(1150)}));
}

TEST(Supervisor, AWakeBetweenTheIdleCheckAndTheSleepIsNotLost)
{
    CountedClock clock;
    Watch watch;
    std::atomic<updater::Supervisor *> self{nullptr};
    std::atomic<bool> woken{false};
    watch.onIdleCheck = [&] {
        // A job starts right after the thread found none: its wake() comes before
        // the thread sleeps.
        while (self.load() == nullptr)
            std::this_thread::yield();
        {
            std::lock_guard lock(watch.mutex);
            watch.busy = true;
        }
        self.load()->wake();
        woken = true;
    };
    updater::Supervisor supervisor(watch.tick(clock, 1), milliseconds(50), watch.busyCheck(),
                                   &clock);
    self = &supervisor;
    EXPECT_TRUE(watch.waitFor([&] { return !watch.ticks.empty(); })) << "the wake was lost";
    EXPECT_TRUE(woken.load());
    EXPECT_EQ(watch.ticks, std::vector<milliseconds>{milliseconds(50)});
}
