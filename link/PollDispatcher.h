#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <vector>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace updater {

// Before the application object of updater-cli or updater-sim: its main thread
// runs on PollDispatcher (POSIX), unless UPDATER_EVENT_LOOP=qt asks for Qt's own
// dispatcher; other threads run on Qt's own (not GLib's: no window needs it).
void useLeanEventLoop();

#ifdef Q_OS_UNIX

// The event loop of updater-cli and updater-sim (POSIX): one poll over the
// descriptors that socket notifiers watch and a wake-up descriptor, then the
// timers that are due, then the notifiers whose descriptors are ready.
//
// During an update every DSP record is one turn of this loop in each program, so
// a turn does only that: the descriptors are gathered again only when a notifier
// comes or goes, and every timer is precise to the nanosecond (a coarse timer
// never fires early). The window keeps Qt's own dispatcher.
//
// Install it before the application object: QCoreApplication::setEventDispatcher,
// or QThread::setEventDispatcher before the thread starts.
class PollDispatcher final : public QAbstractEventDispatcher
{
public:
    explicit PollDispatcher(QObject *parent = nullptr);
    ~PollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;   // any thread
    void interrupt() override; // any thread

private:
    using Clock = std::chrono::steady_clock;

    struct Watch
    {
        int descriptor;
        QSocketNotifier *notifiers[3] = {}; // by QSocketNotifier::Type
    };
    struct Timer
    {
        int id;
        qint64 interval; // ms
        Qt::TimerType type;
        QObject *object;
        Clock::time_point due;
        bool firing = false; // its event is being handled (perhaps in a nested loop)
    };

    void gatherDescriptors();
    void markReady();
    int activateTimers();
    int activateNotifiers();
    void drainWakeUps();
    std::vector<Watch>::iterator findWatch(int descriptor);
    std::vector<Timer>::iterator findTimer(int timerId);

    std::vector<Watch> watches_;
    std::vector<pollfd> descriptors_; // one per watch, in the same order, then the wake-up
    bool gathered_ = false;
    std::vector<QSocketNotifier *> ready_; // notified in order; a notifier that goes is taken out
    std::vector<Timer> timers_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1; // the same descriptor as wakeRead_ where an eventfd serves
    std::atomic<bool> wokenUp_{false};
    std::atomic<bool> interrupted_{false};
};

#endif // Q_OS_UNIX

} // namespace updater
