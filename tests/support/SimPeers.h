#pragma once

// The simulated inverter (sim/'s device model) behind thin adapters, for the
// tests that need a real link: a TCP server on 127.0.0.1 and the controlling end
// of a pseudo-terminal. Like an inverter, a device hangs up a while after the
// job's last acknowledgement unless told to stay.
#include "SimDevice.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

struct PeerOptions
{
    updater::sim::Faults faults;
    updater::sim::Expectation expected;
    // How long after the job's last acknowledgement the device hangs up; none: it stays.
    std::optional<std::chrono::milliseconds> hangUpAfter = std::chrono::milliseconds(300);
    int replyDelayMs = 0; // a slow device answers each unit after this delay (TCP)

    static PeerOptions silent() // takes every connection and answers nothing
    {
        PeerOptions options;
        options.faults.silentFrom = 1;
        return options;
    }
    static PeerOptions slow(int replyDelayMs)
    {
        PeerOptions options;
        options.replyDelayMs = replyDelayMs;
        return options;
    }
};

// The device model and what it has seen; safe to read from any thread.
class SimPeer
{
public:
    explicit SimPeer(const PeerOptions &options);
    // Feeds the bytes; returns the device's answers. Sets jobEnded once the job's
    // last unit was answered.
    QByteArray feed(const char *data, qsizetype length, bool &jobEnded);
    updater::sim::Verdict verdict() const;
    bool finished() const { return finished_.load(); } // the last unit was answered
    QByteArray received() const;                       // every byte, in order

private:
    mutable std::mutex mutex_;
    updater::sim::SimDevice device_;
    QByteArray received_;
    std::atomic<bool> finished_{false};
};

// Serves one connection at a time on 127.0.0.1, on the creating thread's event loop.
class TcpSimDevice : public QObject, public SimPeer
{
public:
    explicit TcpSimDevice(const PeerOptions &options = {});
    quint16 port() const;
    bool connected() const { return socket_ != nullptr; }

private:
    void onReadyRead();
    PeerOptions options_;
    QTcpServer *server_;
    QTcpSocket *socket_ = nullptr;
};

// Serves the controlling end fd of a pseudo-terminal on a thread of its own. It
// hangs up by calling hangUp (which closes that end) on its thread.
class PtySimDevice : public SimPeer
{
public:
    PtySimDevice(int fd, const PeerOptions &options = {}, std::function<void()> hangUp = {});
    ~PtySimDevice();

private:
    void run();
    int fd_;
    PeerOptions options_;
    std::function<void()> hangUp_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace testsupport
