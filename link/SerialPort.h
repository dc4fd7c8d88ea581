#pragma once

#include <QString>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class QObject;
class QThread;

namespace updater {
class ILinkReporter;
class SerialWorker;
} // namespace updater

// The serial half of the link: one COM port at 9600 baud, 8 data bits, no parity,
// 1 stop bit, no flow control, raw 8-bit data, with its own communication thread.
//
// The communication thread owns the port. It writes the queued blocks and hands
// every received byte, one at a time and in arrival order, to OnByteReceived;
// the callback returns before the next byte is taken. Port failures after the
// open are handed to the thread that created the object and reported there
// through the ILinkReporter; the communication thread never waits for it.
class CSerialPort
{
public:
    // Capacity of the send buffer: the most bytes that may wait to be written.
    static constexpr std::size_t kSendBufferSize = 4096;

    explicit CSerialPort(updater::ILinkReporter *reporter);
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort &) = delete;
    CSerialPort &operator=(const CSerialPort &) = delete;

    // Ends a running communication thread and closes its port, then opens COM
    // port portNumber (named by comPortDeviceName) on a new communication thread.
    // Returns false, without a message, when the port cannot be opened; the object
    // stays usable. A configuration step that fails is reported and the port stays
    // open (true). Call on the thread that created the object.
    bool OpenPort(unsigned portNumber);
    // The same for a device path given directly (/dev/ttyUSB0, COM3).
    bool OpenPortDevice(const QString &devicePath);
    // Ends the communication thread and closes the port. Safe to call twice.
    void ClosePort();

    // Queues a block for the communication thread to write after the blocks
    // queued before it. Any thread; returns at once and never waits for another
    // thread. Refused (false, nothing queued, the refusal reported) when the port
    // is not open or the waiting bytes would exceed kSendBufferSize.
    bool QueueSend(const std::uint8_t *data, std::size_t length);

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
    // hung up) and was closed.
    virtual void OnPortLost() {}
    // Shows "WARNING:  <step> Failed with the following error: ..." with caption
    // "Application Error". Call on the creating thread.
    void ReportPortError(const QString &step, const QString &systemText);

private:
    friend class updater::SerialWorker;

    // Communication thread: moves the waiting bytes into `out` and empties the
    // send buffer. Returns the number of bytes moved.
    std::size_t takeSendBuffer(std::array<std::uint8_t, kSendBufferSize> &out);
    // Communication thread: a failure to report on the creating thread.
    void postPortError(const QString &step, const QString &systemText, bool portLost);
    void deliverByte(std::uint8_t byte) { OnByteReceived(byte); }

    updater::ILinkReporter *reporter_;
    std::unique_ptr<QObject> home_; // lives on the creating thread; receives posted errors
    QThread *thread_ = nullptr;
    updater::SerialWorker *worker_ = nullptr;
    unsigned portNumber_ = 0;
    QString portName_;
    std::atomic<bool> portOpen_{false};
    std::atomic<bool> errorPending_{false};

    std::mutex sendLock_; // guards sendBuffer_, sendLength_ and writeRequested_
    std::array<std::uint8_t, kSendBufferSize> sendBuffer_{};
    std::size_t sendLength_ = 0;
    bool writeRequested_ = false;
};
