#include "SocketModbus.h"

#include "QueuedCall.h"
#include "TcpStream.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace updater {

QString ipv4AddressText(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

} // namespace updater

CSocketModbus::CSocketModbus(QObject *parent) : QObject(parent), connectTimer_(new QTimer(this))
{
    connectTimer_->setSingleShot(true);
    connect(connectTimer_, &QTimer::timeout, this, &CSocketModbus::onTimeout);
}

CSocketModbus::~CSocketModbus()
{
    CloseSocket();
}

QString CSocketModbus::peerText() const
{
    return QStringLiteral("%1:%2").arg(address_).arg(port_);
}

bool CSocketModbus::ConnectTo(const QString &address, quint16 port)
{
    CloseSocket();
    address_ = address;
    port_ = port;
    blockDropped_ = false;
    auto *socket = new updater::TcpStream(this);
    socket_ = socket;
    connect(socket, &updater::TcpStream::connected, this, [this, socket] {
        runHandler(socket, [this] {
            connectTimer_->stop();
            connected_.store(true);
            OnConnect(true, {});
        });
    });
    connect(socket, &updater::TcpStream::readyRead, this,
            [this, socket] { runHandler(socket, [this] { OnReceive(); }); });
    connect(socket, &updater::TcpStream::ended, this,
            [this, socket] { runHandler(socket, [this] { onSocketError(); }); });
    connectTimer_->start(connectTimeoutMs_);
    socket->connectToHost(address, port);
    return true;
}

CSocketModbus::RunningHandlers::iterator CSocketModbus::handlersOf(updater::TcpStream *socket)
{
    return std::find_if(handlersRunning_.begin(), handlersRunning_.end(),
                        [socket](const auto &entry) { return entry.first == socket; });
}

void CSocketModbus::runHandler(updater::TcpStream *socket, const std::function<void()> &handler)
{
    if (const auto it = handlersOf(socket); it != handlersRunning_.end())
        ++it->second;
    else
        handlersRunning_.emplace_back(socket, 1);
    handler();
    // Looked up again: a nested handler may have added a socket.
    const auto it = handlersOf(socket);
    if (--it->second > 0)
        return;
    handlersRunning_.erase(it);
    // Only the socket's own code is left beneath: it may go once that has returned.
    if (retired_.remove(socket))
        socket->deleteLater();
}

void CSocketModbus::CloseSocket()
{
    unread_.clear();
    ++generation_;
    connectTimer_->stop();
    dropSocket();
}

void CSocketModbus::dropSocket()
{
    connected_.store(false);
    if (socket_ == nullptr)
        return;
    updater::TcpStream *socket = std::exchange(socket_, nullptr);
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    if (handlersOf(socket) != handlersRunning_.end())
        retired_.insert(socket); // runHandler deletes it once its handlers are done
    else
        socket->deleteLater();
}

void CSocketModbus::onSocketError()
{
    if (socket_ == nullptr)
        return;
    const QString reason = socket_->errorString();
    if (!connected_.load()) {
        connectTimer_->stop();
        dropSocket();
        OnConnect(false, reason);
        return;
    }
    // The device's last reply may come with its close. What the handler does not
    // take now (it may still be busy with the reply before, beneath a nested event
    // loop) stays for its next Receive.
    if (socket_->bytesAvailable() > 0)
        OnReceive();
    unread_.resize(qsizetype(socket_->bytesAvailable()));
    socket_->read(unread_.data(), std::size_t(unread_.size()));
    dropSocket();
    OnClose(reason);
}

void CSocketModbus::onTimeout()
{
    if (socket_ == nullptr || connected_.load())
        return;
    dropSocket();
    OnConnect(false, QStringLiteral("no answer within %1 ms").arg(connectTimeoutMs_));
}

void CSocketModbus::SocketSend(const std::uint8_t *data, std::size_t length)
{
    if (length == 0)
        return;
    const quint64 generation = generation_.load();
    // On the socket's own thread with nothing posted ahead of it (a record sent
    // in answer to a received acknowledgement), the block is written at once.
    if (QThread::currentThread() == thread() && postedSends_.load() == 0) {
        write(generation, reinterpret_cast<const char *>(data), length);
        return;
    }
    // Posted events to one receiver are delivered in the order they were posted,
    // from whatever thread, so blocks keep the order in which they were sent.
    QByteArray block(reinterpret_cast<const char *>(data), qsizetype(length));
    postedSends_.fetch_add(1);
    updater::postCall(this, [this, generation, block] {
        postedSends_.fetch_sub(1);
        write(generation, block.constData(), std::size_t(block.size()));
    });
}

void CSocketModbus::write(quint64 generation, const char *data, std::size_t length)
{
    if (generation != generation_.load())
        return; // meant for an earlier connection
    if (socket_ == nullptr || !connected_.load()) {
        blockDropped_ = true; // the connection is gone: the job notices the missing reply
        return;
    }
    socket_->write(data, length);
}

qint64 CSocketModbus::Receive(std::uint8_t *buffer, qint64 maxLength)
{
    if (socket_ != nullptr)
        return qint64(socket_->read(reinterpret_cast<char *>(buffer), std::size_t(maxLength)));
    if (unread_.isEmpty())
        return -1;
    const qint64 n = std::min(maxLength, qint64(unread_.size()));
    std::copy_n(unread_.constData(), n, reinterpret_cast<char *>(buffer));
    unread_.remove(0, qsizetype(n));
    return n;
}
