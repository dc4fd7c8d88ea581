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
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    std::uint64_t k = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        // busy_ takes the job lock: never call it while holding mutex_, which
        // wake() takes with the job lock held.
        lock.unlock();
        const bool idle = busy_ && !busy_();
        if (idle) {
            if (!sleepUntilWoken())
                return;
            start = Clock::now();
            k = 0;
        }
        lock.lock();
        const Clock::time_point deadline = start + period_ * (k + 1);
        if (wake_.wait_until(lock, deadline, [this] { return stop_; }))
            return;
        lock.unlock();
        tick_();
        lock.lock();
        ++ticks_;
        ++k;
        // A tick that held the thread past the next deadline (a message box) must
        // not be followed by a burst of catch-up ticks: count on from now.
        const Clock::time_point now = Clock::now();
        if (now > start + period_ * (k + 1)) {
            start = now;
            k = 0;
            ++restarts_;
        }
    }
}

} // namespace updater
