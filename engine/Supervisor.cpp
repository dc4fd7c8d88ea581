#include "Supervisor.h"

namespace updater {

namespace {

class SteadyClock final : public SupervisorClock
{
public:
    Clock::time_point now() override { return Clock::now(); }
    bool waitUntil(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                   Clock::time_point deadline, const std::function<bool()> &stop) override
    {
        return cv.wait_until(lock, deadline, stop);
    }
};

SteadyClock steadyClock;

} // namespace

Supervisor::Supervisor(std::function<void()> tick, std::chrono::milliseconds period,
                       std::function<bool()> busy, SupervisorClock *clock)
    : tick_(std::move(tick)), period_(period), busy_(std::move(busy)),
      clock_(clock != nullptr ? *clock : steadyClock), thread_([this] { run(); })
{
}

void Supervisor::wake()
{
    {
        std::lock_guard lock(mutex_);
        wakeRequested_ = true;
    }
    wake_.notify_all();
}

// Returns false when asked to stop while sleeping.
bool Supervisor::sleepUntilWoken()
{
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stop_ || wakeRequested_; });
    wakeRequested_ = false;
    return !stop_;
}

Supervisor::~Supervisor()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::uint64_t Supervisor::ticks() const
{
    std::lock_guard lock(mutex_);
    return ticks_;
}

std::uint64_t Supervisor::restarts() const
{
    std::lock_guard lock(mutex_);
    return restarts_;
}

void Supervisor::run()
{
    TickSchedule schedule(period_, clock_.now());
    std::unique_lock lock(mutex_);
    for (;;) {
        // busy_ takes the job lock: never call it while holding mutex_, which
        // wake() takes with the job lock held.
        lock.unlock();
        if (busy_ && !busy_()) {
            if (!sleepUntilWoken())
                return;
            schedule.restart(clock_.now());
        }
        lock.lock();
        if (clock_.waitUntil(wake_, lock, schedule.nextDeadline(), [this] { return stop_; }))
            return;
        lock.unlock();
        tick_();
        lock.lock();
        ++ticks_;
        if (schedule.ticked(clock_.now()))
            ++restarts_;
    }
}

} // namespace updater
