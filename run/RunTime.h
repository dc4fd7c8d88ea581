#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace updater::run {

// One pending wait: start() replaces the wait before it, stop() drops it. due
// runs on the run's thread.
class RunTimer
{
public:
    virtual ~RunTimer() = default;
    virtual void start(std::chrono::milliseconds after, std::function<void()> due) = 0;
    virtual void stop() = 0;
};

// The time a run goes by: the steady clock and Qt timers in the programs,
// counted time in tests.
class RunTime
{
public:
    using Clock = std::chrono::steady_clock;
    virtual ~RunTime() = default;
    virtual Clock::time_point now() const = 0;
    virtual std::unique_ptr<RunTimer> timer() = 0;
};

// The steady clock and a single-shot QTimer on the calling thread.
RunTime &systemTime();

} // namespace updater::run
