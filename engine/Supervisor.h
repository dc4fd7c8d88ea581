#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace updater {

// The supervisor thread: calls the job tick every period, on absolute deadlines of
// a steady clock (start + k x period), so that counted time does not drift behind
// real time. After a stall longer than one period (a message box held the tick) it
// starts counting again from now instead of firing the missed ticks in a burst.
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
                        std::function<bool()> busy = {});
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
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool wakeRequested_ = false;
    std::uint64_t ticks_ = 0;
    std::uint64_t restarts_ = 0;
    std::thread thread_;
};

} // namespace updater
