#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>

// Runs a piece of work (a message box) on the thread of `context` for a worker
// thread and lets the worker wait until it is done, unless the relay has been
// closed: closing releases every waiting thread at once and refuses later calls,
// so a thread that is being shut down never waits for the UI thread.
class BlockingRelay
{
public:
    explicit BlockingRelay(QObject *context) : context_(context) {}
    BlockingRelay(const BlockingRelay &) = delete;
    BlockingRelay &operator=(const BlockingRelay &) = delete;

    // Worker side: posts work to the context's thread and returns when it has run,
    // or at once when the relay is or becomes closed. The work does not run
    // once the relay is closed.
    void runAndWait(std::function<void()> work);

    // Releases every waiting thread; afterwards runAndWait returns at once.
    void close();
    bool isClosed() const;

private:
    QObject *context_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
};
