#pragma once

#include <QObject>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <queue>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace updater::sim {

// One timer for the late answers of every simulated device of a thread: each
// device asks to be woken when its next answer is due, and is woken at that
// moment, not at the next whole millisecond, so a device that answers after
// 10 ms does so after 10 ms whether it is one of many or alone. On Linux a
// timerfd carries the nearest time; elsewhere a precise QTimer.
class DueTimer : public QObject
{
public:
    using Clock = std::chrono::steady_clock;

    explicit DueTimer(QObject *parent = nullptr);
    ~DueTimer() override;

    // A client: what to call when its time has come. Returns its number.
    int addClient(std::function<void()> wake);
    // The client goes: it is never called again.
    void removeClient(int client);
    // Calls the client once, at or soon after at; replaces its earlier request.
    void wakeAt(int client, Clock::time_point at);
    void cancel(int client);

private:
    struct Client
    {
        std::function<void()> wake;
        Clock::time_point at;
        bool waiting = false;
    };
    using Entry = std::pair<Clock::time_point, int>;

    void start();
    void fire();
    void dropStale();
    void arm(bool force);

    std::deque<Client> clients_; // stays in place while one of them is called
    // Requests by time; a request that was replaced or cancelled stays until its
    // time and is then passed over.
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue_;
    bool armed_ = false;
    Clock::time_point armedFor_;
    int descriptor_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    QTimer *timer_ = nullptr;
};

} // namespace updater::sim
