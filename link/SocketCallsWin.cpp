#include "SocketCalls.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

namespace updater::socketcalls {

namespace {

// Winsock serves a process only after WSAStartup; the first socket starts it, once,
// and it stays for the life of the process.
int startWinsock()
{
    static const int result = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

// Units are small and each waits for its reply: they go out without delay.
// False when the socket cannot be made non-blocking.
bool prepare(SOCKET s)
{
    u_long on = 1;
    const bool nonBlocking = ::ioctlsocket(s, FIONBIO, &on) == 0;
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay),
                 sizeof noDelay);
    return nonBlocking;
}

} // namespace

qintptr openStream(int &error)
{
    if (const int e = startWinsock(); e != 0) {
        error = e;
        return kNoSocket;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return kNoSocket;
    }
    if (!prepare(s)) {
        error = ::WSAGetLastError();
        ::closesocket(s);
        return kNoSocket;
    }
    return qintptr(s);
}

void adoptStream(qintptr socket)
{
    prepare(SOCKET(socket));
}

int startConnect(qintptr socket, quint32 address, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(SOCKET(socket), reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
        return 0;
    const int e = ::WSAGetLastError();
    return e == WSAEWOULDBLOCK ? 0 : e;
}

// select tells a completed attempt as writable, a failed one in the exception set
// (the socket is never writable then: a write notifier alone would wait for ever).
int connectOutcome(qintptr socket)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(SOCKET(socket), &writable);
    FD_SET(SOCKET(socket), &failed);
    timeval now{0, 0};
    if (::select(0, nullptr, &writable, &failed, &now) == SOCKET_ERROR)
        return ::WSAGetLastError();
    if (!FD_ISSET(SOCKET(socket), &writable) && !FD_ISSET(SOCKET(socket), &failed))
        return kConnecting;
    int e = 0;
    int length = sizeof e;
    if (::getsockopt(SOCKET(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&e), &length) !=
        0)
        return ::WSAGetLastError();
    if (e == 0 && FD_ISSET(SOCKET(socket), &failed))
        return WSAECONNREFUSED; // failed, and the system kept no reason
    return e;
}

std::ptrdiff_t sendSome(qintptr socket, const char *data, std::size_t length, int &error)
{
    const int chunk = int(std::min<std::size_t>(length, 1 << 20));
    const int n = ::send(SOCKET(socket), data, chunk, 0);
    if (n != SOCKET_ERROR)
        return n;
    const int e = ::WSAGetLastError();
    if (e == WSAEWOULDBLOCK)
        return 0;
    error = e;
    return -1;
}

std::ptrdiff_t receiveSome(qintptr socket, char *buffer, std::size_t length, int &error)
{
    const int chunk = int(std::min<std::size_t>(length, 1 << 20));
    const int n = ::recv(SOCKET(socket), buffer, chunk, 0);
    if (n != SOCKET_ERROR)
        return n;
    const int e = ::WSAGetLastError();
    error = e == WSAEWOULDBLOCK ? 0 : e;
    return -1;
}

void shutdownSend(qintptr socket)
{
    ::shutdown(SOCKET(socket), SD_SEND);
}

void closeSocket(qintptr socket)
{
    ::closesocket(SOCKET(socket));
}

QString errorText(int error)
{
    switch (error) {
    case WSAECONNREFUSED:
        return QStringLiteral("Connection refused");
    case WSAETIMEDOUT:
        return QStringLiteral("Connection timed out");
    case WSAEHOSTUNREACH:
        return QStringLiteral("Host unreachable");
    case WSAENETUNREACH:
        return QStringLiteral("Network unreachable");
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return QString::fromLatin1(kRemoteClosed);
    case WSAEACCES:
        return QStringLiteral("Permission denied");
    default:
        return QStringLiteral("socket error %1").arg(error);
    }
}

} // namespace updater::socketcalls
