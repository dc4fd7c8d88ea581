#pragma once

#include "JobHost.h"
#include "LinkReporter.h"
#include "SerialPort.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace linktest {

// Runs the calling thread's event loop until pred holds or timeoutMs passed.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);
// Runs the event loop for ms milliseconds.
void spinFor(int ms);

std::vector<std::uint8_t> countingBytes(std::size_t count, std::uint8_t first = 0);

// A pseudo-terminal: the link opens the terminal end (name()), the test plays the
// device on the controlling end.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    QString name() const { return QString::fromStdString(name_); }
    int deviceFd() const { return master_; }
    void write(const std::vector<std::uint8_t> &bytes);
    // Reads until count bytes have come or timeoutMs passed; returns what came.
    std::vector<std::uint8_t> read(std::size_t count, int timeoutMs = 5000);
    // Everything that arrives within ms milliseconds.
    std::vector<std::uint8_t> readFor(int ms);
    // Closes the device end: the terminal end hangs up.
    void closeDevice();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

// The device's end of a TCP connection, driven by plain blocking calls: it reads
// and closes only when a test says so.
class PlainPeer
{
public:
    explicit PlainPeer(int fd) : fd_(fd) {}
    ~PlainPeer() { close(); }
    PlainPeer(const PlainPeer &) = delete;
    PlainPeer &operator=(const PlainPeer &) = delete;

    // Everything, or false when the connection failed.
    bool send(const QByteArray &bytes);
    // Blocks until count bytes have come, the stream ends or timeoutMs passes
    // without a byte.
    QByteArray receive(qsizetype count, int timeoutMs = 10000);
    void close();

private:
    int fd_;
};

// A listening socket on 127.0.0.1 (a port the system picks).
class PlainListener
{
public:
    explicit PlainListener(int backlog = 8);
    ~PlainListener() { close(); }
    PlainListener(const PlainListener &) = delete;
    PlainListener &operator=(const PlainListener &) = delete;

    quint16 port() const { return port_; }
    // The next connection once the system has completed it; nullptr after 5 s.
    std::unique_ptr<PlainPeer> accept();
    void close();

private:
    int fd_ = -1;
    quint16 port_ = 0;
};

// Records every byte the link hands on and the threads it came on. A gate can
// hold the delivering thread inside receiveByte.
class RecordingSink : public updater::IByteSink
{
public:
    void receiveByte(std::uint8_t byte) override;

    std::vector<std::uint8_t> bytes() const;
    std::size_t count() const;
    std::set<std::thread::id> threads() const;
    // The first byte received after this waits until openGate().
    void closeGate();
    void openGate();
    bool waitingAtGate() const;
    // Called with each byte on the delivering thread, after it was recorded.
    std::function<void(std::uint8_t)> onByte;

private:
    mutable std::mutex mutex_;
    std::condition_variable gateChanged_;
    std::vector<std::uint8_t> bytes_;
    std::set<std::thread::id> threads_;
    bool gateClosed_ = false;
    bool waiting_ = false;
};

struct Report
{
    updater::LinkFault fault;
    QString caption;
    QString text;
    std::thread::id thread;
};

class RecordingReporter : public updater::ILinkReporter
{
public:
    void reportLinkError(updater::LinkFault fault, const QString &caption,
                         const QString &text) override;
    void reportLinkClosed(const QString &caption, const QString &text,
                          const QString &status) override
    {
        closedStatus = status; // the last link that went away, for a status line
        reportLinkError(updater::LinkFault::Closed, caption, text);
    }
    QString closedStatus;
    std::vector<Report> reports() const;
    std::size_t count() const;

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

} // namespace linktest
