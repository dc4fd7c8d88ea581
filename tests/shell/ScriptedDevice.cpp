#include "ScriptedDevice.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace shelltest {

namespace {
// Wire constants, restated here from the device's point of view.
constexpr char kDspAck = char(0xCC);
const QByteArray kErase("\xFA"
                        "flashb"
                        "\x96",
                        8);
const QByteArray kWakeUp("\xFE\xFD\xFC", 3);
constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEot = 0x04;
constexpr char kAck = 0x06;
constexpr int kSmallBlock = 133;
constexpr int kBigBlock = 1029;
} // namespace

ScriptedDevice::ScriptedDevice(Mode mode) : mode_(mode)
{
    connect(&server_, &QTcpServer::newConnection, this, &ScriptedDevice::onConnection);
    server_.listen(QHostAddress::LocalHost, 0);
}

void ScriptedDevice::onConnection()
{
    socket_ = server_.nextPendingConnection();
    connect(socket_, &QTcpSocket::readyRead, this, &ScriptedDevice::onReadyRead);
}

void ScriptedDevice::onReadyRead()
{
    const QByteArray data = socket_->readAll();
    received += data;
    pending_ += data;
    if (mode_ == Mode::Dsp)
        handleDsp();
    else if (mode_ == Mode::Arm)
        handleArm();
    if (finished && hangUpAfterMs >= 0)
        QTimer::singleShot(replyDelayMs + hangUpAfterMs, socket_, &QTcpSocket::disconnectFromHost);
}

void ScriptedDevice::reply(char byte)
{
    if (replyDelayMs <= 0) {
        socket_->write(&byte, 1);
        return;
    }
    QTimer::singleShot(replyDelayMs, socket_,
                       [socket = socket_, byte] { socket->write(&byte, 1); });
}

void ScriptedDevice::handleDsp()
{
    if (!erased_) {
        if (pending_.size() < kErase.size())
            return;
        erased_ = pending_.startsWith(kErase);
        pending_.remove(0, kErase.size());
        if (!erased_)
            return;
        reply(kDspAck);
    }
    // A record is its byte count, address, type, data and checksum.
    while (!pending_.isEmpty()) {
        const int length = static_cast<unsigned char>(pending_[0]) + 5;
        if (pending_.size() < length)
            return;
        recordBytes += pending_.left(length);
        pending_.remove(0, length);
        ++records;
        finished = length == 5;
        reply(kDspAck);
    }
}

void ScriptedDevice::handleArm()
{
    // Steps: 0 wake-up, 1 digit '4', 2 digit '1', 3 header, 4 data blocks or EOT,
    // 5 end block, 6 done.
    while (!pending_.isEmpty()) {
        if (armStep_ == 0) {
            if (pending_.size() < kWakeUp.size())
                return;
            if (!pending_.startsWith(kWakeUp)) {
                pending_.remove(0, 1);
                continue;
            }
            pending_.remove(0, kWakeUp.size());
            armStep_ = 1;
            reply('2');
        } else if (armStep_ == 1 || armStep_ == 2) {
            const char digit = pending_[0];
            pending_.remove(0, 1);
            reply(digit == '4' ? '4' : '9');
            armStep_ = digit == '4' ? 2 : 3;
        } else if (armStep_ == 3 || armStep_ == 5) {
            if (pending_[0] != kSoh || pending_.size() < kSmallBlock)
                return;
            pending_.remove(0, kSmallBlock);
            finished = armStep_ == 5;
            armStep_ = armStep_ == 3 ? 4 : 6;
            reply(kAck);
        } else if (armStep_ == 4 && pending_[0] == kEot) {
            pending_.remove(0, 1);
            armStep_ = 5;
            reply(kAck);
        } else if (armStep_ == 4 && pending_[0] == kStx) {
            if (pending_.size() < kBigBlock)
                return;
            blockNumbers.append(static_cast<unsigned char>(pending_[1]));
            dataBlocks += pending_.mid(3, 1024);
            pending_.remove(0, kBigBlock);
            reply(kAck);
        } else {
            pending_.remove(0, 1); // out of turn: the loader drops it
        }
    }
}

} // namespace shelltest
