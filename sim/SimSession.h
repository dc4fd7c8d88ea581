#pragma once

#include "DueTimer.h"
#include "LinePace.h"
#include "SimDevice.h"
#include "SimOptions.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace updater::sim {

// One simulated device behind whatever transport carries its bytes: feeds the
// received bytes to the device model, sends its answers (over a pseudo-terminal
// no sooner than a 9600-baud line would have carried the unit in; later when a
// delay is asked for), drops the line when told to, and prints a verdict for
// every job.
class SimSession : public QObject
{
    Q_OBJECT
public:
    using Writer = std::function<void(const char *data, std::size_t length)>;
    using Dropper = std::function<void()>;
    using Backlog = std::function<std::size_t()>; // bytes written but not yet taken

    // Late answers (--delay-ms) leave when answers says their time has come.
    SimSession(const SimOptions &options, Expectation expected, DueTimer &answers,
               QObject *parent = nullptr);
    ~SimSession() override;

    // A host is connected; write sends to it, drop cuts the connection, hangUp ends
    // it when the device restarts after a job (empty: the line stays open).
    void connectionOpened(Writer write, Dropper drop, Dropper hangUp, Backlog backlog);
    // The bytes of one read, just made.
    void bytesReceived(const char *data, std::size_t length);
    // The transport has handed everything written to the system: a flood of
    // noise goes on.
    void outputDrained();
    // The host went away: judges a job left unfinished.
    void connectionClosed();
    // Judges a job left unfinished when the simulator is stopped.
    void shutDown();

    bool connected() const { return connected_; }
    bool allPassed() const { return allPassed_; }

signals:
    // Without --repeat: the one connection is over and the simulator may exit.
    void servedEnough();

private:
    void send(const Step &step, DueTimer::Clock::time_point earliest);
    void flushDue();
    void pumpNoise();
    void judge();
    void saveImage(const Verdict &verdict);
    void restart();

    SimOptions options_;
    SimDevice device_;
    Writer write_;
    Dropper drop_;
    Dropper hangUp_;
    Backlog backlog_;
    LinePace pace_;
    bool connected_ = false;
    bool cut_ = false; // the line was dropped: nothing more is read or sent
    bool dropWhenFlushed_ = false;
    bool restarting_ = false;         // from a job's last answer until the restart
    bool restartWhenFlushed_ = false; // the restart's time runs from the last answer
    int jobs_ = 0;
    bool allPassed_ = true;
    // Answers held back by the line's pace or --delay-ms, with the time each is due.
    struct Answer
    {
        DueTimer::Clock::time_point due;
        QByteArray bytes;
        std::size_t noise = 0; // then this much noise
    };
    std::deque<Answer> pending_;
    std::size_t noiseLeft_ = 0; // of the answer being sent; later ones wait for it
    DueTimer &answers_;
    int answersClient_;
    QTimer restartTimer_;
};

} // namespace updater::sim
