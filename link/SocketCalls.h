#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>

// The system's socket calls that TcpStream makes, one file per platform
// (SocketCallsPosix.cpp, SocketCallsWin.cpp). A socket is a descriptor on POSIX
// systems and a SOCKET handle on Windows, held as a qintptr either way. Error
// codes are the platform's own (errno, WSAGetLastError()); errorText names them.
namespace updater::socketcalls {

inline constexpr qintptr kNoSocket = -1;

// A non-blocking IPv4 TCP socket that sends each write without delay, or
// kNoSocket with the reason in error. The first call readies the platform's
// socket layer (Windows: WSAStartup).
qintptr openStream(int &error);
// Makes an accepted connection non-blocking and without send delay.
void adoptStream(qintptr socket);
// Starts connecting to address (first octet in the most significant byte):
// 0 when the attempt completed or goes on without waiting, else the error.
int startConnect(qintptr socket, quint32 address, quint16 port);
// The outcome of a connection attempt, without waiting: kConnecting while it goes
// on, 0 when connected, else the error. A refused attempt is seen at once on
// Windows too, where it shows in select's exception set rather than as writable.
inline constexpr int kConnecting = -1;
int connectOutcome(qintptr socket);
// Bytes the system took, 0 when its buffer is full; -1 on an error (in error).
std::ptrdiff_t sendSome(qintptr socket, const char *data, std::size_t length, int &error);
// Bytes read; 0 when the peer has closed; -1 when nothing waits (error 0) or the
// call failed (error set).
std::ptrdiff_t receiveSome(qintptr socket, char *buffer, std::size_t length, int &error);
// No more sends: the peer reads the end of the stream (a half-close).
void shutdownSend(qintptr socket);
void closeSocket(qintptr socket);

// The texts the technician has always seen for these failures.
QString errorText(int error);
inline constexpr char kRemoteClosed[] = "The remote host closed the connection";

} // namespace updater::socketcalls
