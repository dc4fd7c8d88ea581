#include "Supervisor.h"

namespace updater {

Supervisor::Supervisor(std::function<void()> tick, std::chrono::milliseconds period,
                       std::function<bool()> busy)
    : tick_(std::move(tick)), period_(period), busy_(std::move(busy)), thread_([this] { run(); })
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
    TickSchedule schedule(period_, TickSchedule::Clock::now());
    std::unique_lock lock(mutex_);
    for (;;) {
        // busy_ takes the job lock: never call it while holding mutex_, which
        // wake() takes with the job lock held.
        lock.unlock();
        if (busy_ && !busy_()) {
            if (!sleepUntilWoken())
                return;
            schedule.restart(TickSchedule::Clock::now());
        }
        lock.lock();
        if (wake_.wait_until(lock, schedule.nextDeadline(), [this] { return stop_; }))
            return;
        lock.unlock();
        tick_();
        lock.lock();
        ++ticks_;
        if (schedule.ticked(TickSchedule::Clock::now()))
            ++restarts_;
    }
}

} // namespace updater
