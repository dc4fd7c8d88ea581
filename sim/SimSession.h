#pragma once

#include "SimDevice.h"
#include "SimOptions.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace updater::sim {

// One simulated device behind whatever transport carries its bytes: feeds the
// received bytes to the device model, sends its answers (late when a delay is
// asked for), drops the line when told to, and prints a verdict for every job.
class SimSession : public QObject
{
    Q_OBJECT
public:
    using Writer = std::function<void(const QByteArray &)>;
    using Dropper = std::function<void()>;

    SimSession(const SimOptions &options, Expectation expected, QObject *parent = nullptr);

    // A host is connected; write sends to it, drop cuts the connection.
    void connectionOpened(Writer write, Dropper drop);
    void bytesReceived(const QByteArray &data);
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
    void send(const std::vector<std::uint8_t> &reply);
    void flushDue();
    void judge(Verdict verdict);
    void saveImage(const Verdict &verdict);

    SimOptions options_;
    SimDevice device_;
    Writer write_;
    Dropper drop_;
    bool connected_ = false;
    bool cut_ = false; // the line was dropped: nothing more is read or sent
    bool dropWhenFlushed_ = false;
    int jobs_ = 0;
    bool allPassed_ = true;
    std::deque<std::pair<qint64, QByteArray>> pending_; // answers held back by --delay-ms
    QTimer timer_;
    QTimer hangUp_; // closes the link after a job, as an inverter that restarts
    QElapsedTimer clock_;
};

} // namespace updater::sim
