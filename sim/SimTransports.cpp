#include "SimTransports.h"

#include "TcpStream.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_LINUX
#include <sys/epoll.h>
#include <sys/socket.h>
#endif

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace updater::sim {

// Hands each accepted connection over as a plain socket.
class Listener : public QTcpServer
{
public:
    Listener(std::function<void(qintptr)> accepted, QObject *parent)
        : QTcpServer(parent), accepted_(std::move(accepted))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override { accepted_(descriptor); }

private:
    std::function<void(qintptr)> accepted_;
};

TcpTransport::TcpTransport(SimSession &session, QObject *parent)
    : QObject(parent), session_(session),
      server_(new Listener([this](qintptr descriptor) { accept(descriptor); }, this))
{
}

bool TcpTransport::listen(const QString &address, quint16 port, QString &boundOrError)
{
    QHostAddress host;
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol) {
        boundOrError = QStringLiteral("\"%1\" is not an IPv4 address").arg(address);
        return false;
    }
    if (!server_->listen(host, port)) {
        boundOrError = QStringLiteral("cannot listen on %1:%2: %3")
                           .arg(address)
                           .arg(port)
                           .arg(server_->errorString());
        return false;
    }
    boundOrError = QStringLiteral("%1:%2").arg(address).arg(server_->serverPort());
    return true;
}

void TcpTransport::close()
{
    server_->close();
    if (socket_)
        socket_->abort();
}

void TcpTransport::accept(qintptr descriptor)
{
    auto *incoming = new TcpStream(this);
    incoming->adopt(descriptor);
    if (socket_) {
        std::fprintf(stderr, "updater-sim: a second host connected while one is served; "
                             "turned away\n");
        incoming->abort();
        incoming->deleteLater();
        return;
    }
    socket_ = incoming;
    TcpStream *s = socket_;
    session_.connectionOpened([s](const char *data, std::size_t length) { s->write(data, length); },
                              [s] { s->disconnectFromHost(); }, [s] { s->disconnectFromHost(); },
                              [s] { return s->bytesToWrite(); });
    connect(s, &TcpStream::bytesWritten, this, [this, s] {
        if (socket_ == s)
            session_.outputDrained();
    });
    connect(s, &TcpStream::readyRead, this, [this, s] {
        char bytes[4096];
        while (const std::size_t n = s->read(bytes, sizeof bytes))
            session_.bytesReceived(bytes, n);
    });
    connect(s, &TcpStream::ended, this, [this, s] {
        if (socket_ == s)
            socket_ = nullptr;
        s->deleteLater();
        session_.connectionClosed();
    });
}

#ifdef Q_OS_LINUX

ListenerSet::ListenerSet(QObject *parent) : QObject(parent)
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
        return;
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ListenerSet::acceptAll);
}

ListenerSet::~ListenerSet()
{
    delete notifier_;
    if (epoll_ >= 0)
        ::close(epoll_);
}

void ListenerSet::watch(TcpTransport &transport)
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = transports_.size();
    const int descriptor = int(transport.server_->socketDescriptor());
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &e) != 0)
        return; // the transport goes on accepting by itself
    transports_.push_back(&transport);
    transport.server_->pauseAccepting();
}

void ListenerSet::acceptAll()
{
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_, events, 64, 0);
    for (int i = 0; i < n; ++i) {
        TcpTransport *transport = transports_[std::size_t(events[i].data.u64)];
        const int listening = int(transport->server_->socketDescriptor());
        for (;;) {
            const int descriptor = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (descriptor >= 0) {
                transport->accept(descriptor);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or the like: the port stops taking hosts rather
                // than waking the loop again and again.
                std::fprintf(stderr, "updater-sim: cannot accept a connection: %s\n",
                             std::strerror(errno));
                ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listening, nullptr);
            }
            break;
        }
    }
}

#else

ListenerSet::ListenerSet(QObject *parent) : QObject(parent) {}

ListenerSet::~ListenerSet() = default;

void ListenerSet::watch(TcpTransport &) {}

void ListenerSet::acceptAll() {}

#endif

#ifdef Q_OS_UNIX

PtyTransport::PtyTransport(SimSession &session, bool hangUpAfterJob, bool hangUpOnDrop,
                           QObject *parent)
    : QObject(parent), session_(session), hangUpAfterJob_(hangUpAfterJob),
      hangUpOnDrop_(hangUpOnDrop)
{
}

PtyTransport::~PtyTransport()
{
    close();
}

// Closing the master side hangs up the line: the host's reads and writes fail.
// It would also discard answers that the host has not read yet, which a real
// line delivers before the device restarts: the hang-up waits for them (2 s at most).
void PtyTransport::hangUp()
{
    const int slave = ::open(path_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    // Written bytes reach the host's side a moment later: empty twice running.
    for (int waited = 0, empty = 0; slave >= 0 && waited < 2000 && empty < 2; waited += 10) {
        output_.remove(0, qsizetype(writeSome(output_.constData(), std::size_t(output_.size()))));
        ::usleep(10000);
        int unread = 0;
        if (::ioctl(slave, FIONREAD, &unread) != 0)
            break;
        empty = unread == 0 && output_.isEmpty() ? empty + 1 : 0;
    }
    if (slave >= 0)
        ::close(slave);
    close();
    session_.connectionClosed();
}

bool PtyTransport::open(QString &pathOrError)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        pathOrError = QStringLiteral("cannot make a pseudo-terminal: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    path_ = QString::fromLocal8Bit(::ptsname(master_));
    if (!holdSlave()) {
        pathOrError = QStringLiteral("cannot open %1: %2")
                          .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    // Non-blocking: a host that stops reading must not stop the device in a write.
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PtyTransport::readable);
    writeNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &PtyTransport::writable);
    pathOrError = path_;
    return true;
}

// Writes what the line takes now; returns how much. After a failed write the
// bytes count as gone: nobody reads them, and the reading side finds out that the
// host went.
std::size_t PtyTransport::writeSome(const char *data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length && master_ >= 0) {
        const ssize_t w = ::write(master_, data + done, length - done);
        if (w > 0)
            done += std::size_t(w);
        else if (w < 0 && errno == EINTR)
            continue;
        else if (w < 0 && errno == EAGAIN)
            break;
        else
            return length; // nobody will read it: dropped
    }
    return done;
}

// Bytes wait here, in order, while the line's buffer is full.
void PtyTransport::write(const char *data, std::size_t length)
{
    if (output_.isEmpty()) {
        const std::size_t done = writeSome(data, length);
        data += done;
        length -= done;
    }
    if (length == 0)
        return;
    output_.append(data, qsizetype(length));
    writeNotifier_->setEnabled(true);
}

void PtyTransport::writable()
{
    output_.remove(0, qsizetype(writeSome(output_.constData(), std::size_t(output_.size()))));
    if (!output_.isEmpty())
        return;
    writeNotifier_->setEnabled(false);
    session_.outputDrained();
}

void PtyTransport::discardOutput()
{
    output_.clear();
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
}

// Opens the slave side raw (no echo, no line editing), as a serial line is.
bool PtyTransport::holdSlave()
{
    hold_ = ::open(path_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (hold_ < 0)
        return false;
    termios tio{};
    if (::tcgetattr(hold_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(hold_, TCSANOW, &tio);
    }
    return true;
}

void PtyTransport::close()
{
    delete notifier_;
    notifier_ = nullptr;
    delete writeNotifier_;
    writeNotifier_ = nullptr;
    output_.clear();
    if (hold_ >= 0)
        ::close(hold_);
    if (master_ >= 0)
        ::close(master_);
    hold_ = master_ = -1;
}

void PtyTransport::readable()
{
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
        if (hold_ >= 0) {
            ::close(hold_);
            hold_ = -1;
        }
        if (!session_.connected()) {
            discardOutput();
            session_.connectionOpened(
                [this](const char *data, std::size_t length) { write(data, length); },
                [this] {
                    // Not under the notifier's own handler, which hangUp deletes.
                    if (hangUpOnDrop_)
                        QTimer::singleShot(0, this, [this] { hangUp(); });
                    // else a dead line: the session stops reading and answering
                },
                hangUpAfterJob_ ? SimSession::Dropper([this] { hangUp(); }) : SimSession::Dropper(),
                [this] { return std::size_t(output_.size()); });
        }
        session_.bytesReceived(buffer, std::size_t(n));
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    // The host closed the port. Hold the slave again so that the next host finds
    // the line as the first one did.
    notifier_->setEnabled(false);
    discardOutput();
    session_.connectionClosed();
    if (master_ >= 0 && holdSlave())
        notifier_->setEnabled(true);
}

#else // pseudo-terminals exist only on POSIX systems

PtyTransport::PtyTransport(SimSession &session, bool hangUpAfterJob, bool hangUpOnDrop,
                           QObject *parent)
    : QObject(parent), session_(session), hangUpAfterJob_(hangUpAfterJob),
      hangUpOnDrop_(hangUpOnDrop)
{
}

PtyTransport::~PtyTransport() = default;

void PtyTransport::hangUp() {}

bool PtyTransport::open(QString &pathOrError)
{
    pathOrError = QStringLiteral("pseudo-terminals exist only on POSIX systems; use --listen");
    return false;
}

void PtyTransport::close() {}

void PtyTransport::readable() {}

void PtyTransport::writable() {}

void PtyTransport::write(const char *, std::size_t) {}

std::size_t PtyTransport::writeSome(const char *, std::size_t length)
{
    return length;
}

void PtyTransport::discardOutput() {}

bool PtyTransport::holdSlave()
{
    return false;
}

#endif

} // namespace updater::sim
