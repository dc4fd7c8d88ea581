#include "SimPeers.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

SimPeer::SimPeer(const PeerOptions &options) : device_(options.faults, options.expected) {}

QByteArray SimPeer::feed(const char *data, qsizetype length, bool &jobEnded)
{
    std::lock_guard lock(mutex_);
    received_.append(data, length);
    QByteArray reply;
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data);
    for (std::size_t i = 0, used = 0; i < std::size_t(length); i += used) {
        const updater::sim::Step step = device_.receive(bytes + i, std::size_t(length) - i, used);
        reply.append(reinterpret_cast<const char *>(step.reply.data()),
                     qsizetype(step.reply.size()));
        jobEnded = jobEnded || step.jobEnded;
    }
    if (jobEnded)
        finished_.store(true);
    return reply;
}

updater::sim::Verdict SimPeer::verdict() const
{
    std::lock_guard lock(mutex_);
    return device_.verdict();
}

QByteArray SimPeer::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

TcpSimDevice::TcpSimDevice(const PeerOptions &options)
    : SimPeer(options), options_(options), server_(new QTcpServer(this))
{
    server_->listen(QHostAddress::LocalHost, 0);
    connect(server_, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = server_->nextPendingConnection();
        if (socket_ != nullptr) { // one host at a time, as the WiFi module serves
            socket->abort();
            socket->deleteLater();
            return;
        }
        socket_ = socket;
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket_, &QTcpSocket::readyRead, this, &TcpSimDevice::onReadyRead);
        connect(socket_, &QTcpSocket::disconnected, this, [this, socket] {
            if (socket_ == socket)
                socket_ = nullptr;
            socket->deleteLater();
        });
    });
}

quint16 TcpSimDevice::port() const
{
    return server_->serverPort();
}

void TcpSimDevice::onReadyRead()
{
    const QByteArray data = socket_->readAll();
    bool jobEnded = false;
    const QByteArray reply = feed(data.constData(), data.size(), jobEnded);
    QTcpSocket *socket = socket_;
    const auto answer = [socket, reply] {
        if (!reply.isEmpty() && socket->state() == QAbstractSocket::ConnectedState)
            socket->write(reply);
    };
    if (options_.replyDelayMs > 0)
        QTimer::singleShot(options_.replyDelayMs, socket, answer);
    else
        answer();
    if (jobEnded && options_.hangUpAfter) // the inverter restarts
        QTimer::singleShot(*options_.hangUpAfter + std::chrono::milliseconds(options_.replyDelayMs),
                           socket, [socket] { socket->disconnectFromHost(); });
}

} // namespace testsupport
