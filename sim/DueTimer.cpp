#include "DueTimer.h"

#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace updater::sim {

DueTimer::DueTimer(QObject *parent) : QObject(parent) {}

// Made when first needed: a simulator whose devices answer at once does not
// watch a timer at every wake-up.
void DueTimer::start()
{
#ifdef Q_OS_LINUX
    // steady_clock is CLOCK_MONOTONIC on Linux: the times need no conversion.
    descriptor_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (descriptor_ >= 0) {
        notifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &DueTimer::fire);
        return;
    }
#endif
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &DueTimer::fire);
}

DueTimer::~DueTimer()
{
    delete notifier_;
#ifdef Q_OS_LINUX
    if (descriptor_ >= 0)
        ::close(descriptor_);
#endif
}

int DueTimer::addClient(std::function<void()> wake)
{
    clients_.push_back({std::move(wake), {}, false});
    return int(clients_.size()) - 1;
}

void DueTimer::removeClient(int client)
{
    clients_[std::size_t(client)] = Client{};
}

void DueTimer::wakeAt(int client, Clock::time_point at)
{
    Client &c = clients_[std::size_t(client)];
    c.at = at;
    c.waiting = true;
    queue_.emplace(at, client);
    // With every answer delayed alike, a new request comes after those waiting:
    // the timer is set again only for an earlier one.
    if (!armed_ || at < armedFor_)
        arm(false);
}

void DueTimer::cancel(int client)
{
    clients_[std::size_t(client)].waiting = false;
}

void DueTimer::dropStale()
{
    while (!queue_.empty()) {
        const auto &[at, client] = queue_.top();
        const Client &c = clients_[std::size_t(client)];
        if (c.waiting && c.at == at)
            return;
        queue_.pop();
    }
}

// Sets the timer to the nearest request, or stops it when none waits. force:
// the timer has expired and must be set again even for the same time.
void DueTimer::arm(bool force)
{
    if (notifier_ == nullptr && timer_ == nullptr)
        start();
    dropStale();
    if (queue_.empty()) {
        if (!armed_ && !force)
            return;
        armed_ = false;
    } else {
        if (armed_ && !force && armedFor_ == queue_.top().first)
            return;
        armed_ = true;
        armedFor_ = queue_.top().first;
    }
#ifdef Q_OS_LINUX
    if (descriptor_ >= 0) {
        // Setting the timer also clears an expiry not yet read: no read is needed.
        itimerspec when{};
        if (armed_) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(armedFor_.time_since_epoch())
                    .count();
            when.it_value.tv_sec = time_t(ns / 1000000000);
            when.it_value.tv_nsec = long(ns % 1000000000);
        }
        ::timerfd_settime(descriptor_, TFD_TIMER_ABSTIME, &when, nullptr);
        return;
    }
#endif
    if (!armed_) {
        timer_->stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(armedFor_ - Clock::now());
    timer_->start(int(std::max<std::int64_t>(0, wait.count())));
}

void DueTimer::fire()
{
    const Clock::time_point now = Clock::now();
    for (dropStale(); !queue_.empty() && queue_.top().first <= now; dropStale()) {
        const int client = queue_.top().second;
        queue_.pop();
        Client &c = clients_[std::size_t(client)];
        c.waiting = false;
        // The call may ask again (its next answer): that request is queued behind.
        c.wake();
    }
    arm(true);
}

} // namespace updater::sim
