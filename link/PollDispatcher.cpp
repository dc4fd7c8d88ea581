#include "PollDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/eventfd.h>
#endif

namespace updater {

void useLeanEventLoop()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
#ifdef Q_OS_UNIX
    if (qgetenv("UPDATER_EVENT_LOOP") != "qt")
        QCoreApplication::setEventDispatcher(new PollDispatcher);
#endif
}

#ifdef Q_OS_UNIX

namespace {

constexpr short kEvents[3] = {POLLIN, POLLOUT, POLLPRI}; // Read, Write, Exception

// What readiness wakes each kind of notifier: a hang-up or an error is also for
// the reader and the writer to find out.
constexpr short kWakes[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI};

} // namespace

PollDispatcher::PollDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
#ifdef Q_OS_LINUX
    wakeRead_ = wakeWrite_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
    int ends[2];
    if (::pipe(ends) == 0) {
        for (const int end : ends) {
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
        }
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
    }
#endif
    if (wakeRead_ < 0)
        qFatal("PollDispatcher: no descriptor to wake the event loop (%s)", std::strerror(errno));
}

PollDispatcher::~PollDispatcher()
{
    ::close(wakeRead_);
    if (wakeWrite_ != wakeRead_)
        ::close(wakeWrite_);
}

bool PollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted_.store(false);
    QCoreApplication::sendPostedEvents();
    if (interrupted_.load())
        return false;

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    timespec wait{0, 0};
    const timespec *timeout = &wait;
    if (flags & QEventLoop::WaitForMoreEvents) {
        timeout = nullptr;
        if (withTimers && !timers_.empty()) {
            auto next = Clock::time_point::max();
            for (const Timer &t : timers_)
                if (!t.firing)
                    next = std::min(next, t.due);
            if (next != Clock::time_point::max()) {
                const auto left = std::max(Clock::duration::zero(), next - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait = {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
                timeout = &wait;
            }
        }
    }

    if (!gathered_)
        gatherDescriptors();
    // Without notifiers only the wake-up descriptor, which is the last one, is polled.
    pollfd *first = descriptors_.data();
    std::size_t count = descriptors_.size();
    if (!withNotifiers) {
        first += count - 1;
        count = 1;
    }
    const int polled = ::ppoll(first, nfds_t(count), timeout, nullptr);
    if (polled < 0 && errno != EINTR)
        qWarning("PollDispatcher: poll failed: %s", std::strerror(errno));
    if (descriptors_.back().revents & POLLIN)
        drainWakeUps();
    if (polled > 0 && withNotifiers)
        markReady();

    int handled = 0;
    if (withTimers)
        handled += activateTimers();
    handled += activateNotifiers();
    return handled > 0;
}

// The descriptors to poll, each with what its notifiers wait for. A disabled
// notifier is unregistered, so every notifier here waits.
void PollDispatcher::gatherDescriptors()
{
    descriptors_.clear();
    for (const Watch &w : watches_) {
        short events = 0;
        for (int type = 0; type < 3; ++type)
            if (w.notifiers[type] != nullptr)
                events |= kEvents[type];
        descriptors_.push_back({w.descriptor, events, 0});
    }
    descriptors_.push_back({wakeRead_, POLLIN, 0});
    gathered_ = true;
}

void PollDispatcher::markReady()
{
    // The watches match the descriptors one for one: a notifier comes or goes only
    // while events are handled, and the descriptors are gathered again before a poll.
    std::vector<QSocketNotifier *> invalid;
    for (std::size_t i = 0; i + 1 < descriptors_.size(); ++i) {
        const short got = descriptors_[i].revents;
        const Watch &w = watches_[i];
        for (int type = 0; type < 3; ++type) {
            if (w.notifiers[type] == nullptr)
                continue;
            if (got & POLLNVAL)
                invalid.push_back(w.notifiers[type]);
            else if (got & kWakes[type])
                ready_.push_back(w.notifiers[type]);
        }
    }
    // A descriptor closed behind its notifier's back would wake every poll at once.
    for (QSocketNotifier *n : invalid) {
        qWarning("PollDispatcher: descriptor %d is not open; its notifier is disabled",
                 int(n->socket()));
        n->setEnabled(false);
    }
}

int PollDispatcher::activateNotifiers()
{
    int activated = 0;
    while (!ready_.empty()) {
        QSocketNotifier *notifier = ready_.front();
        ready_.erase(ready_.begin());
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

void PollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int descriptor = int(notifier->socket());
    const int type = int(notifier->type());
    auto w = findWatch(descriptor);
    if (w == watches_.end())
        w = watches_.insert(watches_.end(), Watch{descriptor});
    w->notifiers[type] = notifier;
    gathered_ = false;
}

void PollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int descriptor = int(notifier->socket());
    const int type = int(notifier->type());
    ready_.erase(std::remove(ready_.begin(), ready_.end(), notifier), ready_.end());
    const auto w = findWatch(descriptor);
    if (w == watches_.end() || w->notifiers[type] != notifier)
        return;
    w->notifiers[type] = nullptr;
    if (std::all_of(std::begin(w->notifiers), std::end(w->notifiers),
                    [](QSocketNotifier *n) { return n == nullptr; }))
        watches_.erase(w);
    gathered_ = false;
}

void PollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                   QObject *object)
{
    timers_.push_back({timerId, interval, timerType, object,
                       Clock::now() + std::chrono::milliseconds(interval)});
}

std::vector<PollDispatcher::Watch>::iterator PollDispatcher::findWatch(int descriptor)
{
    return std::find_if(watches_.begin(), watches_.end(),
                        [descriptor](const Watch &x) { return x.descriptor == descriptor; });
}

std::vector<PollDispatcher::Timer>::iterator PollDispatcher::findTimer(int timerId)
{
    return std::find_if(timers_.begin(), timers_.end(),
                        [timerId](const Timer &x) { return x.id == timerId; });
}

bool PollDispatcher::unregisterTimer(int timerId)
{
    const auto t = findTimer(timerId);
    if (t == timers_.end())
        return false;
    timers_.erase(t);
    return true;
}

bool PollDispatcher::unregisterTimers(QObject *object)
{
    const auto before = timers_.size();
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [object](const Timer &x) { return x.object == object; }),
                  timers_.end());
    return timers_.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> PollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> found;
    for (const Timer &t : timers_)
        if (t.object == object)
            found.append(TimerInfo(t.id, int(std::min<qint64>(t.interval, INT_MAX)), t.type));
    return found;
}

int PollDispatcher::remainingTime(int timerId)
{
    const auto t = findTimer(timerId);
    if (t == timers_.end())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->due - Clock::now()).count();
    return int(std::clamp<qint64>(left, 0, INT_MAX));
}

// Each timer that is due fires once, the earliest first, and is due again one
// interval after it was due (or after now, when it has fallen behind). A handler
// may start or stop timers, its own included: timers are looked up by id.
int PollDispatcher::activateTimers()
{
    if (timers_.empty())
        return 0;
    const auto now = Clock::now();
    std::vector<std::pair<Clock::time_point, int>> due; // the earliest first
    for (const Timer &t : timers_)
        if (!t.firing && t.due <= now)
            due.emplace_back(t.due, t.id);
    std::sort(due.begin(), due.end());
    int fired = 0;
    for (const auto &[when, id] : due) {
        auto t = findTimer(id);
        if (t == timers_.end() || t->firing)
            continue;
        const auto interval = std::chrono::milliseconds(t->interval);
        t->due += interval;
        if (t->due < now)
            t->due = now + interval;
        t->firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(t->object, &event);
        ++fired;
        if ((t = findTimer(id)) != timers_.end())
            t->firing = false;
    }
    return fired;
}

void PollDispatcher::wakeUp()
{
    if (wokenUp_.exchange(true))
        return; // the descriptor is already readable
#ifdef Q_OS_LINUX
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeWrite_, &one, sizeof one);
#else
    const char one = 1;
    [[maybe_unused]] const auto n = ::write(wakeWrite_, &one, 1);
#endif
}

// Whatever was posted before a wake-up is sent at the start of the next turn.
// The flag goes down only once the descriptor is empty: the other way round, a
// wake-up that came in between would be read here with the flag left up, and
// every later one would be skipped while the loop sleeps.
void PollDispatcher::drainWakeUps()
{
    char buffer[64];
    while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
    }
    wokenUp_.store(false);
}

void PollDispatcher::interrupt()
{
    interrupted_.store(true);
    wakeUp();
}

#endif // Q_OS_UNIX

} // namespace updater
