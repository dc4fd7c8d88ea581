#pragma once

#include <QMetaObject>
#include <QObject>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define UPDATER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UPDATER_THREAD_SANITIZER 1
#endif
#endif

#ifdef UPDATER_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace updater {

#ifdef UPDATER_THREAD_SANITIZER
// Qt hands a queued call to the receiving thread under its own atomics and locks,
// which ThreadSanitizer cannot see in a Qt that was not built for it: every call
// with a capture would be reported as a race. The call says so itself: the
// receiving thread sees what the sender wrote before posting it, and whichever
// thread destroys it sees what the call did.
template <typename F> class SeenHandOver
{
public:
    explicit SeenHandOver(F call) : call_(std::move(call)) { __tsan_release(this); }
    SeenHandOver(SeenHandOver &&other) noexcept : call_(std::move(other.call_))
    {
        __tsan_release(this);
    }
    SeenHandOver(const SeenHandOver &) = delete;
    SeenHandOver &operator=(const SeenHandOver &) = delete;
    SeenHandOver &operator=(SeenHandOver &&) = delete;
    ~SeenHandOver() { __tsan_acquire(this); }

    void operator()()
    {
        __tsan_acquire(this);
        call_();
        __tsan_release(this);
    }

private:
    F call_;
};
#endif

// Runs call on the receiver's thread, from its event loop, after the calls
// posted to the receiver before it. Any thread.
template <typename F> void postCall(QObject *receiver, F call)
{
#ifdef UPDATER_THREAD_SANITIZER
    QMetaObject::invokeMethod(receiver, SeenHandOver<F>(std::move(call)), Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
#endif
}

} // namespace updater
