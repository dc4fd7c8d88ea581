#include "ScriptedDevice.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace linktest {

namespace {
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kDspAck = 0xCC;
const std::vector<std::uint8_t> kErase = {0xFA, 'f', 'l', 'a', 's', 'h', 'b', 0x96};
} // namespace

std::vector<std::uint8_t> ScriptedDevice::feed(const std::uint8_t *data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.insert(pending_.end(), data, data + length);
    std::vector<std::uint8_t> reply;
    while (!pending_.empty() && takeUnit(reply)) {
    }
    return reply;
}

bool ScriptedDevice::takeUnit(std::vector<std::uint8_t> &reply)
{
    return kind_ == Kind::Dsp ? takeDspUnit(reply) : takeArmUnit(reply);
}

void ScriptedDevice::accept(std::size_t length, std::vector<std::uint8_t> &reply,
                            std::initializer_list<std::uint8_t> answer)
{
    units_.emplace_back(pending_.begin(), pending_.begin() + std::ptrdiff_t(length));
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(length));
    reply.insert(reply.end(), answer);
}

bool ScriptedDevice::takeDspUnit(std::vector<std::uint8_t> &reply)
{
    if (units_.empty()) {
        if (pending_.size() < kErase.size())
            return false;
        if (!std::equal(kErase.begin(), kErase.end(), pending_.begin())) {
            ++stray_;
            pending_.erase(pending_.begin());
            return true;
        }
        accept(kErase.size(), reply, {kDspAck});
        return true;
    }
    const std::size_t length = std::size_t(pending_[0]) + 5;
    if (pending_.size() < length)
        return false;
    const bool last = length == 5;
    const bool twice = int(units_.size()) == doubleAckRecord_;
    if (twice)
        accept(length, reply, {kDspAck, kDspAck});
    else
        accept(length, reply, {kDspAck});
    finished_ = finished_ || last;
    return true;
}

bool ScriptedDevice::takeArmUnit(std::vector<std::uint8_t> &reply)
{
    switch (pending_[0]) {
    case 0xFE:
        if (pending_.size() < 3)
            return false;
        if (pending_[1] == 0xFD && pending_[2] == 0xFC) {
            accept(3, reply, {'2'});
            return true;
        }
        break;
    case '4':
        accept(1, reply, {'4'});
        return true;
    case '1':
        accept(1, reply, {'9'});
        return true;
    case 0x04: // EOT
        accept(1, reply, {kAck});
        return true;
    case 0x01: { // SOH: header block or, with an empty name, the end block
        if (pending_.size() < 133)
            return false;
        const bool end = pending_[3] == 0;
        accept(133, reply, {kAck});
        finished_ = finished_ || end;
        return true;
    }
    case 0x02: // STX: data block
        if (pending_.size() < 1029)
            return false;
        image_.insert(image_.end(), pending_.begin() + 3, pending_.begin() + 1027);
        accept(1029, reply, {kAck});
        return true;
    default:
        break;
    }
    ++stray_;
    pending_.erase(pending_.begin());
    return true;
}

void ScriptedDevice::doubleAcknowledgeRecord(int n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    doubleAckRecord_ = n;
}

std::vector<std::vector<std::uint8_t>> ScriptedDevice::units() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return units_;
}

std::vector<std::uint8_t> ScriptedDevice::image() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
}

bool ScriptedDevice::finished() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

std::size_t ScriptedDevice::strayBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stray_;
}

PtyDeviceThread::PtyDeviceThread(int deviceFd, ScriptedDevice &device)
    : fd_(deviceFd), device_(device), thread_([this] { run(); })
{
}

PtyDeviceThread::~PtyDeviceThread()
{
    stop_ = true;
    thread_.join();
}

void PtyDeviceThread::run()
{
    std::uint8_t buffer[2048];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        const auto reply = device_.feed(buffer, std::size_t(n));
        std::size_t done = 0;
        while (done < reply.size() && !stop_) {
            const ssize_t w = ::write(fd_, reply.data() + done, reply.size() - done);
            if (w > 0)
                done += std::size_t(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                return;
        }
    }
}

TcpDevice::TcpDevice(ScriptedDevice &device) : device_(device), server_(new QTcpServer(this))
{
    server_->listen(QHostAddress::LocalHost, 0);
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_->nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray data = socket->readAll();
                const auto reply =
                    device_.feed(reinterpret_cast<const std::uint8_t *>(data.constData()),
                                 std::size_t(data.size()));
                if (!reply.empty())
                    socket->write(reinterpret_cast<const char *>(reply.data()),
                                  qint64(reply.size()));
            });
        }
    });
}

quint16 TcpDevice::port() const
{
    return server_->serverPort();
}

} // namespace linktest
