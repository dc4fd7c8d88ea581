#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace updater {

// When the supervisor ticks: on absolute deadlines start + k x period, so counted
// time does not drift behind real time; after a tick that ended past the next
// deadline (a message box held it) it counts on from then instead of firing the
// missed ticks in a burst. Time comes in as arguments, so tests count it.
class TickSchedule
{
public:
    using Clock = std::chrono::steady_clock;

    TickSchedule(Clock::duration period, Clock::time_point start) : period_(period), start_(start)
    {
    }

    // Start counting again from now (after sleeping while no job ran).
    void restart(Clock::time_point now)
    {
        start_ = now;
        k_ = 0;
    }
    Clock::time_point nextDeadline() const { return start_ + period_ * (k_ + 1); }
    // A tick returned at now. True when it overran the next deadline and the
    // schedule starts again from now.
    bool ticked(Clock::time_point now)
    {
        ++k_;
        if (now <= nextDeadline())
            return false;
        restart(now);
        return true;
    }

private:
    Clock::duration period_;
    Clock::time_point start_;
    std::uint64_t k_ = 0;
};

// Where the supervisor reads the time and waits for its next deadline: the steady
// clock, unless a test passes a clock of counted time.
class SupervisorClock
{
public:
    using Clock = TickSchedule::Clock;

    virtual ~SupervisorClock() = default;
    virtual Clock::time_point now() = 0;
    // Waits on cv (lock held, released while waiting) until deadline or until stop()
    // holds, which a notify of cv makes it check. Returns stop().
    virtual bool waitUntil(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                           Clock::time_point deadline, const std::function<bool()> &stop) = 0;
};

// The supervisor thread: calls the job tick every period, on the deadlines of a
// TickSchedule of its clock (the steady clock unless one is given; a clock given
// must outlive the supervisor).
//
// With a busy function, the thread sleeps while it answers false (no job: a tick
// would do nothing) until wake() is called, and then ticks from that moment on.
//
// The destructor asks the thread to stop and joins it. The tick must return for
// that to happen: whoever shows a message box from the tick must close it first.
class Supervisor
{
public:
    explicit Supervisor(std::function<void()> tick,
                        std::chrono::milliseconds period = std::chrono::milliseconds(50),
                        std::function<bool()> busy = {}, SupervisorClock *clock = nullptr);
    ~Supervisor();

    // A job has started: tick again, the first time one period from now. May be
    // called from any thread, also with the job lock held.
    void wake();
    Supervisor(const Supervisor &) = delete;
    Supervisor &operator=(const Supervisor &) = delete;

    // Number of ticks called so far.
    std::uint64_t ticks() const;
    // Number of times the schedule was restarted after a stall.
    std::uint64_t restarts() const;

private:
    void run();

    bool sleepUntilWoken();

    std::function<void()> tick_;
    std::chrono::milliseconds period_;
    std::function<bool()> busy_;
    SupervisorClock &clock_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool wakeRequested_ = false;
    std::uint64_t ticks_ = 0;
    std::uint64_t restarts_ = 0;
    std::thread thread_;
};

} // namespace updater
