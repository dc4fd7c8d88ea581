#include "SocketCalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace updater::socketcalls {

namespace {

int lastError()
{
    return errno == EAGAIN ? EWOULDBLOCK : errno;
}

// Units are small and each waits for its reply: they go out without delay.
// False when the socket cannot be made non-blocking.
bool prepare(int s)
{
    const int flags = ::fcntl(s, F_GETFL);
    const bool nonBlocking = flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return nonBlocking;
}

} // namespace

qintptr openStream(int &error)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        error = lastError();
        return kNoSocket;
    }
    if (!prepare(s)) {
        error = lastError();
        ::close(s);
        return kNoSocket;
    }
    return s;
}

void adoptStream(qintptr socket)
{
    prepare(int(socket));
}

int startConnect(qintptr socket, quint32 address, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(int(socket), reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
        return 0;
    const int e = lastError();
    return e == EINPROGRESS ? 0 : e;
}

int connectOutcome(qintptr socket)
{
    pollfd watched{int(socket), POLLOUT, 0};
    if (::poll(&watched, 1, 0) == 0)
        return kConnecting;
    int e = 0;
    socklen_t length = sizeof e;
    if (::getsockopt(int(socket), SOL_SOCKET, SO_ERROR, &e, &length) != 0)
        return lastError();
    return e;
}

std::ptrdiff_t sendSome(qintptr socket, const char *data, std::size_t length, int &error)
{
    for (;;) {
        // A closed connection is an error, not a signal.
        const ssize_t n = ::send(int(socket), data, length, MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        const int e = lastError();
        if (e == EINTR)
            continue;
        if (e == EWOULDBLOCK)
            return 0;
        error = e;
        return -1;
    }
}

std::ptrdiff_t receiveSome(qintptr socket, char *buffer, std::size_t length, int &error)
{
    for (;;) {
        const ssize_t n = ::recv(int(socket), buffer, length, 0);
        if (n >= 0)
            return n;
        const int e = lastError();
        if (e == EINTR)
            continue;
        error = e == EWOULDBLOCK ? 0 : e;
        return -1;
    }
}

void shutdownSend(qintptr socket)
{
    ::shutdown(int(socket), SHUT_WR);
}

void closeSocket(qintptr socket)
{
    ::close(int(socket));
}

QString errorText(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("Connection refused");
    case ETIMEDOUT:
        return QStringLiteral("Connection timed out");
    case EHOSTUNREACH:
        return QStringLiteral("Host unreachable");
    case ENETUNREACH:
        return QStringLiteral("Network unreachable");
    case ECONNRESET:
    case EPIPE:
        return QString::fromLatin1(kRemoteClosed);
    case EACCES:
        return QStringLiteral("Permission denied");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace updater::socketcalls
