#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace updater {

// One TCP connection on a plain non-blocking socket, watched by two notifiers on
// the event loop of the thread that owns it. Every unit of the update waits for
// the device's reply, so a unit costs one write and its reply one read: the read
// notifier stays on for the whole connection, and a write goes to the system at
// once, waiting in this object only while the system's buffer is full.
//
// Owner's thread only. Signals are emitted from that thread's event loop; a
// handler may close the stream, but deletes it only with deleteLater().
//
// Kept instead of QTcpSocket for the fleet. Measured side by side on a 2-core
// virtual machine (bench/run.sh fleet: 256 simulated inverters on 127.0.0.1
// answering each unit after 10 ms, runs taken in turn, medians), with QTcpSocket,
// written out at once and half-closed after a job, in place of this class in the
// link and the simulator: updater-cli's CPU per unit sent 9.5 us against 6.8 us
// here (limit 30 us), the fleet's wall time against one device alone 1.139
// against 1.103 (target at most 1.10), updater-cli's peak memory 64 MB against
// 58 MB (limit 64 MB). With QTcpSocket in updater-cli only: 8.7 and 8.9 us against
// 7.0 and 7.3 us, 1.114 and 1.115 against 1.099 and 1.106.
class TcpStream : public QObject
{
    Q_OBJECT

public:
    explicit TcpStream(QObject *parent = nullptr);
    ~TcpStream() override;

    // Starts connecting to an IPv4 address (dotted text) without waiting:
    // connected() or ended() follows.
    void connectToHost(const QString &address, quint16 port);
    // Takes over a connection that is already established (accepted by a server).
    void adopt(qintptr descriptor);

    // Queues the bytes and writes what the system takes now. False when the
    // connection is not up (nothing written).
    bool write(const char *data, std::size_t length);
    std::size_t bytesToWrite() const { return output_.size(); }
    // Reads up to maxLength received bytes; the count, 0 when none waits.
    std::size_t read(char *buffer, std::size_t maxLength);
    std::size_t bytesAvailable() const { return input_.size() - inputHead_; }
    void discardInput();

    // Tells the device that nothing more comes (a half-close); reading goes on.
    void shutdownWrite();
    // Closes once everything queued is written; ended() follows, with no error.
    void disconnectFromHost();
    // Closes at once; no signal, also none that an earlier failure had scheduled.
    void abort();

    bool isConnected() const { return state_ == State::Connected; }
    bool isOpen() const { return descriptor_ >= 0; }
    // Why the attempt failed or the connection ended; empty after a local close.
    QString errorString() const { return error_; }

signals:
    void connected();
    void readyRead();
    void bytesWritten(); // everything queued has gone to the system
    // The connection attempt failed or the connection is over (closed by the
    // device, broken, or closed here by disconnectFromHost). The socket is closed;
    // bytes received before were announced by readyRead first.
    void ended();

private:
    enum class State
    {
        Idle,
        Connecting,
        Connected,
        Closing
    };

    void watch();
    void dropNotifiers();
    void setInterest(bool read, bool write);
    void onReadable();
    void onWritable();
    void finishConnect();
    std::ptrdiff_t sendNow(const char *data, std::size_t length);
    bool flushOutput(); // false on a write error (the reason is in error_)
    bool receive(QString &reason);
    void end(const QString &reason);
    void closeDescriptor();

    qintptr descriptor_ = -1;
    // Bumped by abort(), and so by every connectToHost() and adopt(): what was
    // about to happen to a connection that has been closed here since (a failure
    // reported later, the end after a handler) is left undone.
    quint64 connection_ = 0;
    State state_ = State::Idle;
    QSocketNotifier *readNotifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
    static constexpr int kConnectCheckMs = 20;
    QTimer *connectCheck_; // looks at a connection attempt while it goes on
    std::vector<char> input_;
    std::size_t inputHead_ = 0;
    std::vector<char> output_;
    QString error_;
};

} // namespace updater
