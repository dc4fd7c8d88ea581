#pragma once

#include <QList>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace updater {

// The most bytes that may wait in a serial link's send buffer.
inline constexpr std::size_t kSendBufferSize = 4096;
using SendBlock = std::array<std::uint8_t, kSendBufferSize>;

// What a communication thread needs from the serial link that owns it. All of it
// is called on the communication thread.
class IPortEvents
{
public:
    // Moves the waiting bytes into out and empties the send buffer; returns the count.
    // Blocks that waited behind a full buffer move up into it, and the thread is
    // woken again for them.
    virtual std::size_t takeSendBuffer(SendBlock &out) = 0;
    // The driver took count more of the taken bytes.
    virtual void portWritten(std::size_t count) = 0;
    // One received byte; returns before the next byte is taken.
    virtual void portByte(std::uint8_t byte) = 0;
    // A failure of step (with the system's text) to report on the creating thread;
    // lost: the port was closed and carries nothing any more.
    virtual void portFailed(const QString &step, const QString &systemText, bool lost) = 0;

protected:
    ~IPortEvents() = default;
};

// Why a port could not be opened, from the system call that failed.
enum class PortOpenError
{
    None,
    NoSuchPort,       // nothing by that name
    Busy,             // in use by another program
    NotASerialPort,   // a file or device that is no terminal
    PermissionDenied, // the user may not open it
    Other,            // see systemText
};

// "no such port", "the port is busy (in use by another program)", ...
const char *portOpenErrorText(PortOpenError error);

// The result of opening and configuring a port.
struct PortOpenResult
{
    bool opened = false;
    PortOpenError error = PortOpenError::None; // why not opened
    QString systemText;                        // the failed call's own words
    // "no such port", or for Other the system's text.
    QString errorText() const;
    // Configuration steps that failed: (step, system text). The port stays open
    // as configured so far.
    QList<std::pair<QString, QString>> failures;
};

// The communication thread of one open port. It owns the port: writes what waits
// in the send buffer after wake(), hands every received byte to portByte.
class PortThread
{
public:
    virtual ~PortThread() = default;
    // Any thread, never blocks: a block waits in the send buffer.
    virtual void wake() = 0;
    // Asks the thread to close the port and end, and waits for it a bounded time.
    // No byte is handed on after this returns. False when the thread did not end
    // in time: it is then stuck in portByte and must be left behind, not deleted.
    virtual bool stop() = 0;
};

// A native communication thread as PortThread::stop() needs it: joined only once
// it has said it ended, within a bounded wait; left behind when it did not.
class EndingThread
{
public:
    template <typename Body> void start(Body body) { thread_ = std::thread(std::move(body)); }
    // On the thread itself, the last thing it does.
    void ended()
    {
        std::lock_guard<std::mutex> lock(endLock_);
        ended_ = true;
        endChanged_.notify_all();
    }
    // After asking the thread to end: waits for ended() at most 5 s and joins;
    // false when it did not come.
    bool join()
    {
        std::unique_lock<std::mutex> lock(endLock_);
        if (!endChanged_.wait_for(lock, std::chrono::seconds(5), [this] { return ended_; }))
            return false;
        lock.unlock();
        thread_.join();
        return true;
    }
    // For the owner's destructor: stop, or leave a thread stuck in portByte behind.
    template <typename Stop> void stopOrLeave(Stop stop)
    {
        if (thread_.joinable() && !stop())
            thread_.detach();
    }

private:
    std::mutex endLock_;
    std::condition_variable endChanged_;
    bool ended_ = false;
    std::thread thread_;
};

// Opens deviceName at 9600 baud, 8 data bits, no parity, 1 stop bit, no flow
// control, raw, on a new communication thread. Null when the port cannot be
// opened (result.opened false); the thread is then already gone. The platform's
// own serial API on a thread of its own: termios and poll on POSIX
// (PosixPortThread.cpp), the Win32 communications API on Windows
// (Win32PortThread.cpp).
std::unique_ptr<PortThread> startNativePortThread(IPortEvents &events, const QString &deviceName,
                                                  PortOpenResult &result);

// Communication threads of all serial links that are running now.
int runningPortThreads();
// Kept by the implementations: one call when a thread starts, one when it ends.
void countPortThread(int delta);

} // namespace updater
