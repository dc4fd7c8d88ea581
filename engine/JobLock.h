#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace updater {

// The job lock: a plain mutex. Built with UPDATER_CHECK_LOCKS (debug builds), it
// stops the program with a message where it would otherwise deadlock: taken twice
// on one thread (a host calling the job back from inside a callback). It is never
// held while a message box is open: the job's only way to a box takes the lock
// and lets it go for the box's time.
class JobLock
{
public:
    void lock()
    {
        check(owner_.load() != std::this_thread::get_id(), "taken twice on one thread");
        mutex_.lock();
        owner_.store(std::this_thread::get_id());
    }
    void unlock()
    {
        owner_.store(std::thread::id());
        mutex_.unlock();
    }

private:
    static void check([[maybe_unused]] bool ok, [[maybe_unused]] const char *what)
    {
#ifdef UPDATER_CHECK_LOCKS
        if (!ok) {
            std::fprintf(stderr, "job lock %s\n", what);
            std::abort();
        }
#endif
    }

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

} // namespace updater
