#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace linktest {

// The device side of a whole job, scripted from the wire format: it frames what
// the host sends into units and answers each as a healthy boot loader would.
//   DSP: erase command FA 'flashb' 96 and each record (byte count + 5 bytes) are
//        answered with 0xCC; the 5-byte record is the last.
//   ARM: FE FD FC -> '2', '4' -> '4', '1' -> '9', header block (SOH, 133 bytes),
//        data blocks (STX, 1029 bytes), EOT and the end block -> ACK (0x06).
class ScriptedDevice
{
public:
    enum class Kind
    {
        Dsp,
        Arm,
    };
    explicit ScriptedDevice(Kind kind) : kind_(kind) {}

    // Bytes from the host; returns the device's reply.
    std::vector<std::uint8_t> feed(const std::uint8_t *data, std::size_t length);

    // Every unit received, whole, in order.
    std::vector<std::vector<std::uint8_t>> units() const;
    // ARM: the data bytes of all data blocks, in order.
    std::vector<std::uint8_t> image() const;
    // The last unit has been acknowledged.
    bool finished() const;
    // Bytes that made no unit of the protocol.
    std::size_t strayBytes() const;
    // DSP: answer record number n (1 = the first after the erase) with two 0xCC.
    void doubleAcknowledgeRecord(int n);

private:
    bool takeUnit(std::vector<std::uint8_t> &reply);
    bool takeDspUnit(std::vector<std::uint8_t> &reply);
    bool takeArmUnit(std::vector<std::uint8_t> &reply);
    void accept(std::size_t length, std::vector<std::uint8_t> &reply,
                std::initializer_list<std::uint8_t> answer);

    Kind kind_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::vector<std::uint8_t>> units_;
    std::vector<std::uint8_t> image_;
    bool finished_ = false;
    std::size_t stray_ = 0;
    int doubleAckRecord_ = 0;
};

// Runs a scripted device on the controlling end of a pseudo-terminal, on a
// thread of its own.
class PtyDeviceThread
{
public:
    PtyDeviceThread(int deviceFd, ScriptedDevice &device);
    ~PtyDeviceThread();

private:
    void run();
    int fd_;
    ScriptedDevice &device_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs a scripted device behind a TCP server on 127.0.0.1, on the thread that
// creates it (it needs that thread's event loop).
class TcpDevice : public QObject
{
public:
    explicit TcpDevice(ScriptedDevice &device);
    quint16 port() const;

private:
    ScriptedDevice &device_;
    QTcpServer *server_;
};

} // namespace linktest
