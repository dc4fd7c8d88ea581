#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class QTimer;

namespace updater {

class TcpStream;

// Dotted text of an IPv4 address held with its first octet in the most
// significant byte: 0x01020304 gives "1.2.3.4".
QString ipv4AddressText(quint32 address);

} // namespace updater

// The TCP half of the link: a client connection to the inverter's WiFi module.
//
// The socket lives on the thread that created this object (the UI thread in the
// window) and is used only there. Sends from other threads are carried over as
// queued calls holding a copy of the block, so blocks go out in the order sent.
class CSocketModbus : public QObject
{
    Q_OBJECT

public:
    // A connection attempt that has not completed by then is given up.
    static constexpr int kConnectTimeoutMs = 10000;

    explicit CSocketModbus(QObject *parent = nullptr);
    ~CSocketModbus() override;

    // Closes the socket of an earlier call, then starts connecting to address
    // (dotted text) and port without waiting. OnConnect tells how it ended.
    bool ConnectTo(const QString &address, quint16 port);
    // Closes the socket, if any, without a notification.
    void CloseSocket();
    // Writes every block handed to SocketSend that still waits, then closes the
    // connection without a notification and without waiting: the connection is
    // written out, half-closed and read until the device closes it or stays quiet
    // kQuietMs, at most limitMs, by the event loop of this thread, while other
    // links go on. done(sent) is called on this thread when
    // it is over, unless this object has gone by then; so is received, with what
    // the device still sent meanwhile (dropped when it is empty).
    static constexpr int kQuietMs = 500;
    using ReceivedBytes = std::function<void(const char *data, std::size_t length)>;
    void CloseSocketWhenSentLater(int limitMs, std::function<void(bool sent)> done,
                                  ReceivedBytes received = {});
    // Any thread; returns at once. The block is written on the socket's thread
    // after the blocks sent before it; dropped when no connection is up then.
    void SocketSend(const std::uint8_t *data, std::size_t length);

    // Takes effect with the next ConnectTo.
    void setConnectTimeoutMs(int ms) { connectTimeoutMs_ = ms; }
    bool socketConnected() const { return connected_.load(); }
    QString peerText() const; // "address:port" of the last ConnectTo

protected:
    // Socket's thread: the connection attempt completed. When it failed (refused,
    // timed out, no route) reason says why and the socket is already closed.
    virtual void OnConnect(bool connected, const QString &reason) = 0;
    // Socket's thread: data may be read with Receive.
    virtual void OnReceive() = 0;
    // Socket's thread: an established connection ended (closed by the device or
    // failed); reason says why. Bytes that had arrived were handed to OnReceive
    // first; those that an OnReceive still running beneath (in a nested event
    // loop) has not read yet stay readable with Receive. The socket is closed.
    virtual void OnClose(const QString &reason) = 0;

    // Reads up to maxLength bytes that have arrived. Returns the count, 0 when
    // none waits, -1 on error or when the connection is closed and read to its
    // end. Socket's thread only.
    qint64 Receive(std::uint8_t *buffer, qint64 maxLength);
    QString address() const { return address_; }
    quint16 port() const { return port_; }

private:
    void write(quint64 generation, const char *data, std::size_t length);
    void onSocketError();
    void onTimeout();
    void dropSocket();
    void runHandler(updater::TcpStream *socket, const std::function<void()> &handler);
    using RunningHandlers = std::vector<std::pair<updater::TcpStream *, int>>;
    RunningHandlers::iterator handlersOf(updater::TcpStream *socket);

    updater::TcpStream *socket_ = nullptr;
    // A handler of a socket may open a message box, whose nested event loop may
    // close that very connection while the socket's own code waits beneath. Such
    // a socket is retired: deleted only once its outermost handler has returned.
    // The sockets whose handlers run, with how many of them: seldom more than one
    // socket, looked up for every reply received.
    RunningHandlers handlersRunning_;
    QSet<updater::TcpStream *> retired_;
    QTimer *connectTimer_ = nullptr;
    QString address_;
    quint16 port_ = 0;
    int connectTimeoutMs_ = kConnectTimeoutMs;
    // Bumped by every ConnectTo and CloseSocket, so a block sent for an earlier
    // connection is never written to a later one.
    std::atomic<quint64> generation_{0};
    std::atomic<int> postedSends_{0}; // blocks posted to this thread, not yet written
    std::atomic<bool> connected_{false};
    bool blockDropped_ = false; // a block of this connection found it gone (socket's thread)
    // What the device sent with its close and nobody has read yet (socket's thread).
    QByteArray unread_;
};
