#include "RunTime.h"

#include <QTimer>

namespace updater::run {

namespace {

class QtTimer : public RunTimer
{
public:
    QtTimer()
    {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            // The call may start the next wait: it runs from a copy.
            const std::function<void()> due = std::move(due_);
            due_ = nullptr;
            if (due)
                due();
        });
    }
    void start(std::chrono::milliseconds after, std::function<void()> due) override
    {
        due_ = std::move(due);
        timer_.start(after);
    }
    void stop() override
    {
        timer_.stop();
        due_ = nullptr;
    }

private:
    QTimer timer_;
    std::function<void()> due_;
};

class SystemTime : public RunTime
{
public:
    Clock::time_point now() const override { return Clock::now(); }
    std::unique_ptr<RunTimer> timer() override { return std::make_unique<QtTimer>(); }
};

} // namespace

RunTime &systemTime()
{
    static SystemTime time;
    return time;
}

} // namespace updater::run
