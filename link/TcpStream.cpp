#include "TcpStream.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX
#include <sys/epoll.h>
#endif

namespace updater {

namespace {

#ifdef Q_OS_WIN
using Socket = SOCKET;
constexpr int kSendFlags = 0;
constexpr int kWouldBlock = WSAEWOULDBLOCK, kInProgress = WSAEWOULDBLOCK, kInterrupted = WSAEINTR;
constexpr int kRefused = WSAECONNREFUSED, kTimedOut = WSAETIMEDOUT, kHostUnreach = WSAEHOSTUNREACH,
              kNetUnreach = WSAENETUNREACH, kReset = WSAECONNRESET, kAborted = WSAECONNABORTED,
              kAccess = WSAEACCES;
#else
using Socket = int;
constexpr int kSendFlags = MSG_NOSIGNAL; // a closed connection is an error, not a signal
constexpr int kWouldBlock = EWOULDBLOCK, kInProgress = EINPROGRESS, kInterrupted = EINTR;
constexpr int kRefused = ECONNREFUSED, kTimedOut = ETIMEDOUT, kHostUnreach = EHOSTUNREACH,
              kNetUnreach = ENETUNREACH, kReset = ECONNRESET, kAborted = EPIPE, kAccess = EACCES;
#endif

int lastError()
{
#ifdef Q_OS_WIN
    return WSAGetLastError();
#else
    return errno == EAGAIN ? EWOULDBLOCK : errno;
#endif
}

void closeSocket(qintptr s)
{
#ifdef Q_OS_WIN
    ::closesocket(Socket(s));
#else
    ::close(Socket(s));
#endif
}

bool makeNonBlocking(qintptr s)
{
#ifdef Q_OS_WIN
    u_long on = 1;
    return ::ioctlsocket(Socket(s), FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(Socket(s), F_GETFL);
    return flags >= 0 && ::fcntl(Socket(s), F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::fcntl(Socket(s), F_SETFD, FD_CLOEXEC) == 0;
#endif
}

constexpr char kRemoteClosed[] = "The remote host closed the connection";

// The texts the technician has always seen for these failures.
QString errorText(int e)
{
    switch (e) {
    case kRefused:
        return QStringLiteral("Connection refused");
    case kTimedOut:
        return QStringLiteral("Connection timed out");
    case kHostUnreach:
        return QStringLiteral("Host unreachable");
    case kNetUnreach:
        return QStringLiteral("Network unreachable");
    case kReset:
    case kAborted:
        return QString::fromLatin1(kRemoteClosed);
    case kAccess:
        return QStringLiteral("Permission denied");
    default:
#ifdef Q_OS_WIN
        return QStringLiteral("socket error %1").arg(e);
#else
        return QString::fromLocal8Bit(std::strerror(e));
#endif
    }
}

} // namespace

TcpStream::TcpStream(QObject *parent) : QObject(parent) {}

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
            this, [this, reason] { end(reason); }, Qt::QueuedConnection);
    };
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol) {
        failLater(QStringLiteral("\"%1\" is not an IPv4 address").arg(address));
        return;
    }
    const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
#ifdef Q_OS_WIN
    if (s == INVALID_SOCKET) {
#else
    if (s < 0) {
#endif
        failLater(errorText(lastError()));
        return;
    }
    descriptor_ = qintptr(s);
    state_ = State::Connecting;
    if (!makeNonBlocking(descriptor_)) {
        failLater(errorText(lastError()));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(host.toIPv4Address());
    const int e =
        ::connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 ? 0 : lastError();
    if (e != 0 && e != kInProgress) {
        failLater(errorText(e));
        return;
    }
    // Watched only now: a socket that is not yet connecting reads as hung up.
    watch();
    setInterest(false, true); // writable once the attempt has completed
}

void TcpStream::adopt(qintptr descriptor)
{
    abort();
    error_.clear();
    descriptor_ = descriptor;
    makeNonBlocking(descriptor_);
    watch();
    state_ = State::Connected;
    setInterest(true, false);
}

#ifdef Q_OS_LINUX

// The connections of a thread that serves many in one epoll set, which the
// thread's event loop watches as a single descriptor: a wake-up costs the same
// whether the thread serves a few links or a fleet of them, instead of a scan
// over every socket.
class SocketSet
{
public:
    // The calling thread's set, made by its first user and gone with its last.
    static SocketSet *acquire()
    {
        if (current_ == nullptr)
            current_ = new SocketSet;
        ++current_->users_;
        return current_;
    }

    // The last user may be a handler that dispatch() has called: the set goes
    // later, from the event loop, unless a connection has taken it up again.
    void release()
    {
        if (--users_ == 0)
            QMetaObject::invokeMethod(
                &notifier_, [this] { dropIfUnused(); }, Qt::QueuedConnection);
    }

    quint64 add(TcpStream *stream)
    {
        const quint64 key = ++lastKey_;
        streams_.emplace(key, stream);
        epoll_event e{};
        e.data.u64 = key;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, int(stream->descriptor_), &e);
        return key;
    }

    void modify(TcpStream *stream, bool read, bool write)
    {
        epoll_event e{};
        e.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
        e.data.u64 = stream->key_;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, int(stream->descriptor_), &e);
    }

    void remove(TcpStream *stream)
    {
        epoll_event e{};
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, int(stream->descriptor_), &e);
        streams_.erase(stream->key_);
    }

private:
    SocketSet() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), notifier_(epoll_, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { dispatch(); });
    }
    ~SocketSet() { ::close(epoll_); }

    void dropIfUnused()
    {
        if (users_ > 0 || dispatching_ > 0)
            return;
        current_ = nullptr;
        delete this;
    }

    // A handler may close or open connections, or run a nested event loop that
    // dispatches again: each stream is looked up by its key, never kept.
    void dispatch()
    {
        ++dispatching_;
        epoll_event events[64];
        const int n = ::epoll_wait(epoll_, events, 64, 0);
        for (int i = 0; i < n; ++i) {
            const quint64 key = events[i].data.u64;
            const std::uint32_t what = events[i].events;
            auto found = streams_.find(key);
            if (found != streams_.end() && (what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) &&
                found->second->wantWrite_)
                found->second->onWritable();
            found = streams_.find(key);
            if (found != streams_.end() && (what & (EPOLLIN | EPOLLERR | EPOLLHUP)) &&
                found->second->wantRead_)
                found->second->onReadable();
        }
        if (--dispatching_ == 0 && users_ == 0)
            QMetaObject::invokeMethod(
                &notifier_, [this] { dropIfUnused(); }, Qt::QueuedConnection);
    }

    static thread_local SocketSet *current_;
    int epoll_;
    QSocketNotifier notifier_;
    std::unordered_map<quint64, TcpStream *> streams_;
    quint64 lastKey_ = 0;
    int users_ = 0;
    int dispatching_ = 0;
};

thread_local SocketSet *SocketSet::current_ = nullptr;

#endif

namespace {
thread_local int tWatched = 0; // connections that this thread's event loop watches
#ifdef Q_OS_LINUX
thread_local TcpStream *tAlone = nullptr; // the one watched by notifiers of its own
#endif
} // namespace

// Units are small and each waits for its reply: they go out without delay.
void TcpStream::watch()
{
    const int on = 1;
    ::setsockopt(Socket(descriptor_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                 sizeof on);
    watched_ = true;
    ++tWatched;
    dropNotifiers();
#ifdef Q_OS_LINUX
    // A thread's only connection is watched directly: a unit's reply wakes the
    // event loop and is read, with nothing in between. Once others come, every
    // connection of the thread is watched in its set, so that each wake-up reads
    // whatever is ready by then on any of them.
    if (tWatched > 1) {
        if (tAlone != nullptr)
            std::exchange(tAlone, nullptr)->joinSet();
        joinSet();
        return;
    }
    tAlone = this;
#endif
    readNotifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    writeNotifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Write, this);
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, &TcpStream::onReadable);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &TcpStream::onWritable);
}

// A notifier may be the caller (a handler that connects again, or that opens a
// second link): the event loop deletes them.
void TcpStream::dropNotifiers()
{
    if (readNotifier_ == nullptr)
        return;
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    std::exchange(readNotifier_, nullptr)->deleteLater();
    std::exchange(writeNotifier_, nullptr)->deleteLater();
}

#ifdef Q_OS_LINUX
void TcpStream::joinSet()
{
    dropNotifiers();
    set_ = SocketSet::acquire();
    key_ = set_->add(this);
    set_->modify(this, wantRead_, wantWrite_);
}
#endif

void TcpStream::setInterest(bool read, bool write)
{
    wantRead_ = read;
    wantWrite_ = write;
    if (set_ != nullptr)
        set_->modify(this, read, write);
    if (readNotifier_ != nullptr)
        readNotifier_->setEnabled(read);
    if (writeNotifier_ != nullptr)
        writeNotifier_->setEnabled(write);
}

void TcpStream::finishConnect()
{
    if (state_ != State::Connecting)
        return;
    int e = 0;
#ifdef Q_OS_WIN
    int length = sizeof e;
#else
    socklen_t length = sizeof e;
#endif
    if (::getsockopt(Socket(descriptor_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&e),
                     &length) != 0)
        e = lastError();
    if (e != 0) {
        end(errorText(e));
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
            [this, reason = error_] {
                if (isOpen())
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
        const int chunk = int(std::min<std::size_t>(length - done, 1 << 20));
        const auto n = ::send(Socket(descriptor_), data + done, chunk, kSendFlags);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        const int e = lastError();
        if (n < 0 && e == kInterrupted)
            continue;
        if (n < 0 && e == kWouldBlock)
            break;
        error_ = errorText(e);
        return -1;
    }
    return std::ptrdiff_t(done);
}

// Writes what waits and the system takes now; the write watch carries on with the rest.
bool TcpStream::flushOutput()
{
    const std::ptrdiff_t sent = sendNow(output_.data(), output_.size());
    if (sent < 0)
        return false;
    output_.erase(output_.begin(), output_.begin() + sent);
    if (wantWrite_ != !output_.empty())
        setInterest(true, !output_.empty());
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
    emit bytesWritten();
    if (state_ == State::Closing)
        end(QString());
}

// Reads what has arrived into the buffer. False when the device closed the
// connection or it broke (the reason is then in error_).
bool TcpStream::receive()
{
    if (inputHead_ == input_.size()) {
        input_.clear();
        inputHead_ = 0;
    }
    char chunk[16384];
    for (;;) {
        const auto n = ::recv(Socket(descriptor_), chunk, int(sizeof chunk), 0);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            if (std::size_t(n) < sizeof chunk)
                return true; // all there was
            continue;
        }
        if (n == 0) {
            error_ = QString::fromLatin1(kRemoteClosed);
            return false;
        }
        const int e = lastError();
        if (e == kInterrupted)
            continue;
        if (e == kWouldBlock)
            return true;
        error_ = errorText(e);
        return false;
    }
}

void TcpStream::onReadable()
{
    if (state_ != State::Connected && state_ != State::Closing)
        return;
    const bool open = receive();
    const QString reason = error_;
    if (bytesAvailable() > 0)
        emit readyRead();
    // The handler may have closed the stream meanwhile: then nothing more is said.
    if (!open && isOpen())
        end(reason);
}

std::size_t TcpStream::read(char *buffer, std::size_t maxLength)
{
    const std::size_t n = std::min(maxLength, bytesAvailable());
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
    if (!isOpen())
        return;
#ifdef Q_OS_WIN
    ::shutdown(Socket(descriptor_), SD_SEND);
#else
    ::shutdown(Socket(descriptor_), SHUT_WR);
#endif
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
    closeDescriptor();
    state_ = State::Idle;
    output_.clear();
}

// The notifiers stay (disabled) until the stream goes: one of them may be the
// caller of a handler that closes the stream.
void TcpStream::closeDescriptor()
{
    if (descriptor_ < 0)
        return;
    setInterest(false, false);
    if (std::exchange(watched_, false))
        --tWatched;
#ifdef Q_OS_LINUX
    if (tAlone == this)
        tAlone = nullptr;
#endif
    if (set_ != nullptr) {
        set_->remove(this);
        std::exchange(set_, nullptr)->release();
    }
    closeSocket(descriptor_);
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
