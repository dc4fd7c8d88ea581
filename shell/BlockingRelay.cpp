#include "BlockingRelay.h"

#include "QueuedCall.h"

#include <memory>

void BlockingRelay::runAndWait(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
    }
    // One flag per call: pieces of work may finish out of order when one of them
    // opens a nested event loop (a message box) in which the next one runs.
    auto done = std::make_shared<bool>(false);
    // A queued call is dropped when the context goes away; the relay's owner
    // closes it before that, which releases this wait.
    updater::postCall(context_, [this, done, work = std::move(work)] {
        if (!isClosed())
            work();
        std::lock_guard lock(mutex_);
        *done = true;
        changed_.notify_all();
    });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || *done; });
}

void BlockingRelay::close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool BlockingRelay::isClosed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}
