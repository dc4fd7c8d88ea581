#pragma once

#include "PortThread.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QObject;

namespace updater {
class ILinkReporter;
} // namespace updater

// The serial half of the link: one COM port at 9600 baud, 8 data bits, no parity,
// 1 stop bit, no flow control, raw 8-bit data, with its own communication thread.
//
// The communication thread owns the port. It writes the queued blocks in the
// order queued and hands every received byte, one at a time and in arrival order,
// to OnByteReceived; the callback returns before the next byte is taken. Port
// failures after the open are handed to the thread that created the object and
// reported there through the ILinkReporter; the communication thread never waits
// for that thread.
class CSerialPort : private updater::IPortEvents
{
public:
    static constexpr std::size_t kSendBufferSize = updater::kSendBufferSize;
    // How long bytes take on the line: 10 bits each (start, 8 data, stop) at 9600
    // baud.
    static constexpr std::chrono::microseconds LineTime(std::size_t bytes)
    {
        return std::chrono::microseconds(bytes * 10 * 1000000 / 9600);
    }

    explicit CSerialPort(updater::ILinkReporter *reporter);
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort &) = delete;
    CSerialPort &operator=(const CSerialPort &) = delete;

    // Ends a running communication thread and closes its port, then opens COM
    // port portNumber (named by comPortDeviceName) on a new communication thread.
    // Returns false, without a message, when the port cannot be opened (no such
    // port, in use, access denied); the object stays usable. A configuration step
    // that fails is reported and the port stays open (true). Call on the thread
    // that created the object.
    bool OpenPort(unsigned portNumber);
    // The same for a device path given directly (/dev/ttyUSB0, COM3).
    bool OpenPortDevice(const QString &devicePath);
    // Why the last open failed, and in words ("not a serial port", or the system's
    // text when no kind fits). Call on the thread that opens.
    updater::PortOpenError openError() const { return openError_; }
    QString openErrorText() const { return openErrorText_; }
    // Ends the communication thread and closes the port. Safe to call twice.
    void ClosePort();

    // Appends a block to the send buffer; the communication thread writes it after
    // the blocks queued before it. A block that does not fit the bytes already
    // waiting waits in order behind them; none is dropped. Any thread; returns at
    // once and never waits for another thread. Refused (false, nothing queued) when
    // no port is open, or, with a report, when the block alone is longer than
    // kSendBufferSize.
    bool QueueSend(const std::uint8_t *data, std::size_t length);
    // Waits until the driver has taken every byte handed to QueueSend, at most as
    // long as those bytes need on the line at 9600 baud plus 2 s, or atMost if that
    // is shorter. True when none is left; false when bytes still wait then or the
    // port failed first. The driver sends what it holds when the port is closed.
    // Call on the creating thread.
    bool WaitUntilWritten(std::chrono::milliseconds atMost = std::chrono::milliseconds::max());

    bool portOpen() const { return portOpen_.load(); }
    unsigned portNumber() const { return portNumber_; }
    QString portName() const { return portName_; }
    // Communication threads of all CSerialPort objects that are running now.
    static int runningThreads();

protected:
    // Called once for every byte read, on the communication thread. The return
    // value is ignored.
    virtual int OnByteReceived(std::uint8_t byte) = 0;
    // Called on the creating thread when the port failed for good (unplugged,
    // hung up) and was closed; OnPortLostReported once the failure has been
    // reported (or not, see ReportsPortFailures).
    virtual void OnPortLost() {}
    virtual void OnPortLostReported() {}
    // Whether a failure of the port is reported now (creating thread). A port
    // that goes away once nothing waits for the device any more is no fault.
    virtual bool ReportsPortFailures() const { return true; }
    // Where failures are reported from the next one on. Call on the creating thread.
    void SetPortReporter(updater::ILinkReporter *reporter) { reporter_ = reporter; }
    // Shows "WARNING:  <step> Failed with the following error: ..." with caption
    // "Application Error". Call on the creating thread.
    void ReportPortError(const QString &step, const QString &systemText);
    // The same for a port that failed for good, reported as a link that went away
    // ("Connection on COM3 closed" in a few words).
    void ReportPortLost(const QString &step, const QString &systemText);

private:
    bool openCurrent();
    QString portErrorText(const QString &step, const QString &systemText) const;
    QString portText() const; // COM number, or the device path given directly
    void stopThread(std::unique_ptr<updater::PortThread> thread);

    // IPortEvents, on the communication thread.
    std::size_t takeSendBuffer(updater::SendBlock &out) override;
    void portWritten(std::size_t count) override;
    void portByte(std::uint8_t byte) override { OnByteReceived(byte); }
    void portFailed(const QString &step, const QString &systemText, bool lost) override;

    updater::ILinkReporter *reporter_;
    std::unique_ptr<QObject> home_; // lives on the creating thread; receives posted reports
    unsigned portNumber_ = 0;
    QString portName_;
    updater::PortOpenError openError_ = updater::PortOpenError::None; // of the last open
    QString openErrorText_;
    std::atomic<bool> portOpen_{false};
    std::atomic<bool> errorPending_{false};

    void resetSendState(); // with sendLock_ held

    // Guards thread_ (for wake) and everything below it.
    std::mutex sendLock_;
    std::unique_ptr<updater::PortThread> thread_;
    updater::SendBlock sendBuffer_{};
    std::size_t sendLength_ = 0;
    bool writeRequested_ = false;
    // Blocks that did not fit behind the bytes in sendBuffer_, in the order queued.
    // Bounded by what the job sends: it waits for a reply after a few units.
    std::deque<std::vector<std::uint8_t>> waitingBlocks_;
    std::size_t unwritten_ = 0; // queued and not yet taken by the driver
    bool portLost_ = false;     // the port failed for good; nothing more is written
    std::condition_variable writtenChanged_;
};
