#include "TcpStream.h"

#include "SocketCalls.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <utility>

namespace updater {

namespace sc = socketcalls;

TcpStream::TcpStream(QObject *parent) : QObject(parent), connectCheck_(new QTimer(this))
{
    connectCheck_->setInterval(kConnectCheckMs);
    connect(connectCheck_, &QTimer::timeout, this, &TcpStream::finishConnect);
}

TcpStream::~TcpStream()
{
    abort();
}

void TcpStream::connectToHost(const QString &address, quint16 port)
{
    abort();
    error_.clear();
    QHostAddress host;
    const auto failLater = [this](const QString &reason) {
        QMetaObject::invokeMethod(
            this,
            [this, reason, connection = connection_] {
                if (connection_ == connection)
                    end(reason);
            },
            Qt::QueuedConnection);
    };
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol) {
        failLater(QStringLiteral("\"%1\" is not an IPv4 address").arg(address));
        return;
    }
    int error = 0;
    const qintptr s = sc::openStream(error);
    if (s == sc::kNoSocket) {
        failLater(sc::errorText(error));
        return;
    }
    descriptor_ = s;
    state_ = State::Connecting;
    if (const int e = sc::startConnect(s, host.toIPv4Address(), port); e != 0) {
        failLater(sc::errorText(e));
        return;
    }
    // Watched only now: a socket that is not yet connecting reads as hung up.
    watch();
    setInterest(false, true); // writable once the attempt has completed
    // A failed attempt need not make the socket writable (Windows): it is looked
    // for as well.
    connectCheck_->start();
}

void TcpStream::adopt(qintptr descriptor)
{
    abort();
    error_.clear();
    descriptor_ = descriptor;
    sc::adoptStream(descriptor_);
    watch();
    state_ = State::Connected;
    setInterest(true, false);
}

void TcpStream::watch()
{
    dropNotifiers();
    readNotifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    writeNotifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write, this);
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, &TcpStream::onReadable);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &TcpStream::onWritable);
}

// A notifier may be the caller (a handler that connects again): the event loop
// deletes them.
void TcpStream::dropNotifiers()
{
    if (readNotifier_ == nullptr)
        return;
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    std::exchange(readNotifier_, nullptr)->deleteLater();
    std::exchange(writeNotifier_, nullptr)->deleteLater();
}

void TcpStream::setInterest(bool read, bool write)
{
    if (readNotifier_ == nullptr)
        return;
    readNotifier_->setEnabled(read);
    writeNotifier_->setEnabled(write);
}

void TcpStream::finishConnect()
{
    if (state_ != State::Connecting) {
        connectCheck_->stop();
        return;
    }
    const int e = sc::connectOutcome(descriptor_);
    if (e == sc::kConnecting)
        return;
    connectCheck_->stop();
    if (e != 0) {
        end(sc::errorText(e));
        return;
    }
    state_ = State::Connected;
    setInterest(true, false);
    emit connected();
}

bool TcpStream::write(const char *data, std::size_t length)
{
    if (state_ != State::Connected)
        return false;
    if (!output_.empty()) {
        output_.insert(output_.end(), data, data + length); // behind the bytes still waiting
        return true;
    }
    const std::ptrdiff_t sent = sendNow(data, length);
    if (sent < 0) {
        // Reported from the event loop: the caller may hold locks that the
        // handlers of ended() take.
        QMetaObject::invokeMethod(
            this,
            [this, reason = error_, connection = connection_] {
                if (isOpen() && connection_ == connection)
                    end(reason);
            },
            Qt::QueuedConnection);
        return true;
    }
    if (std::size_t(sent) < length) {
        output_.assign(data + sent, data + length); // the system's buffer is full
        setInterest(true, true);
    }
    return true;
}

// Writes what the system takes now: the count written, or -1 on an error (the
// reason is then in error_).
std::ptrdiff_t TcpStream::sendNow(const char *data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        int error = 0;
        const std::ptrdiff_t n = sc::sendSome(descriptor_, data + done, length - done, error);
        if (n < 0) {
            error_ = sc::errorText(error);
            return -1;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return std::ptrdiff_t(done);
}

// Writes what waits and the system takes now; the write notifier carries on with the rest.
bool TcpStream::flushOutput()
{
    const std::ptrdiff_t sent = sendNow(output_.data(), output_.size());
    if (sent < 0)
        return false;
    output_.erase(output_.begin(), output_.begin() + sent);
    if (output_.empty())
        setInterest(true, false);
    return true;
}

void TcpStream::onWritable()
{
    if (state_ == State::Connecting) {
        finishConnect();
        return;
    }
    if (!flushOutput()) {
        end(error_);
        return;
    }
    if (!output_.empty())
        return;
    const quint64 connection = connection_;
    emit bytesWritten();
    if (state_ == State::Closing && connection_ == connection)
        end(QString());
}

// Reads what has arrived into the buffer. False when the device closed the
// connection or it broke; reason then says why.
bool TcpStream::receive(QString &reason)
{
    if (inputHead_ == input_.size()) {
        input_.clear();
        inputHead_ = 0;
    }
    char chunk[16384];
    for (;;) {
        int error = 0;
        const std::ptrdiff_t n = sc::receiveSome(descriptor_, chunk, sizeof chunk, error);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            if (std::size_t(n) < sizeof chunk)
                return true; // all there was
            continue;
        }
        if (n == 0) {
            reason = QString::fromLatin1(sc::kRemoteClosed);
            return false;
        }
        if (error == 0)
            return true; // nothing more waits
        reason = sc::errorText(error);
        return false;
    }
}

void TcpStream::onReadable()
{
    if (state_ != State::Connected && state_ != State::Closing)
        return;
    QString reason;
    const bool open = receive(reason);
    const quint64 connection = connection_;
    if (bytesAvailable() > 0)
        emit readyRead();
    // The handler may have closed the stream meanwhile, or connected again: then
    // nothing more is said of this connection.
    if (!open && isOpen() && connection_ == connection)
        end(reason);
}

std::size_t TcpStream::read(char *buffer, std::size_t maxLength)
{
    const std::size_t n = std::min(maxLength, bytesAvailable());
    if (n == 0)
        return 0; // an empty input has no storage to copy from
    std::memcpy(buffer, input_.data() + inputHead_, n);
    inputHead_ += n;
    return n;
}

void TcpStream::discardInput()
{
    input_.clear();
    inputHead_ = 0;
}

void TcpStream::shutdownWrite()
{
    if (isOpen())
        sc::shutdownSend(descriptor_);
}

void TcpStream::disconnectFromHost()
{
    if (state_ != State::Connected)
        return;
    if (!output_.empty()) {
        state_ = State::Closing;
        return;
    }
    end(QString());
}

void TcpStream::abort()
{
    ++connection_;
    closeDescriptor();
    state_ = State::Idle;
    output_.clear();
}

// The notifiers stay (disabled) until the stream goes or connects again: one of
// them may be the caller of a handler that closes the stream.
void TcpStream::closeDescriptor()
{
    connectCheck_->stop();
    if (descriptor_ < 0)
        return;
    setInterest(false, false);
    sc::closeSocket(descriptor_);
    descriptor_ = -1;
}

void TcpStream::end(const QString &reason)
{
    closeDescriptor();
    state_ = State::Idle;
    output_.clear();
    error_ = reason;
    emit ended();
}

} // namespace updater
