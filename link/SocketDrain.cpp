// Closing a TCP connection after a job without holding up the thread's other links.

#include "SocketModbus.h"
#include "TcpStream.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace {

using updater::TcpStream;

// Owns a connection whose job is over: writes what still waits, tells the device
// that nothing more comes (a half-close), reads what it still sends until it
// closes or stays quiet, then closes and goes. Reading first matters: closing with
// unread input makes the system reset the connection, and a reset discards what
// the device has received but not yet read (the end of the firmware). What is
// read goes to `received`: answers that keep coming after the last one tell of a
// noisy or shared line.
class SocketDrain : public QObject
{
public:
    SocketDrain(TcpStream *socket, int limitMs, QObject *owner, std::function<void(bool)> done,
                CSocketModbus::ReceivedBytes received)
        : QObject(QCoreApplication::instance()), socket_(socket), owner_(owner),
          done_(std::move(done)), received_(std::move(received))
    {
        socket_->setParent(this);
        quiet_.setSingleShot(true);
        connect(&quiet_, &QTimer::timeout, this, [this] { finish(); });
        QTimer::singleShot(limitMs, this, [this] { finish(); });
        connect(socket_, &TcpStream::ended, this, [this] { finish(); });
        if (socket_->bytesToWrite() == 0) {
            halfClose();
            return;
        }
        connect(socket_, &TcpStream::bytesWritten, this, [this] {
            if (socket_->bytesToWrite() == 0 && !halfClosed_)
                halfClose();
        });
    }

private:
    void halfClose()
    {
        halfClosed_ = true;
        socket_->shutdownWrite();
        handOnInput();
        connect(socket_, &TcpStream::readyRead, this, [this] {
            handOnInput();
            quiet_.start(CSocketModbus::kQuietMs);
        });
        quiet_.start(CSocketModbus::kQuietMs);
    }

    void finish()
    {
        if (finished_)
            return;
        finished_ = true;
        const bool sent = halfClosed_ && socket_->bytesToWrite() == 0;
        handOnInput();
        disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
        if (owner_)
            done_(sent);
        deleteLater();
    }

    void handOnInput()
    {
        char buffer[4096];
        while (std::size_t n = socket_->read(buffer, sizeof buffer)) {
            if (owner_ && received_)
                received_(buffer, n);
        }
    }

    TcpStream *socket_;
    QPointer<QObject> owner_;
    std::function<void(bool)> done_;
    CSocketModbus::ReceivedBytes received_;
    QTimer quiet_;
    bool halfClosed_ = false;
    bool finished_ = false;
};

} // namespace

void CSocketModbus::CloseSocketWhenSentLater(int limitMs, std::function<void(bool)> done,
                                             ReceivedBytes received)
{
    // Blocks sent from other threads wait here as posted calls: write them first.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    const bool written = !blockDropped_;
    TcpStream *socket = connected_.load() ? std::exchange(socket_, nullptr) : nullptr;
    CloseSocket();
    if (socket == nullptr) {
        done(written);
        return;
    }
    disconnect(socket, nullptr, this, nullptr); // the job is over: no more callbacks
    new SocketDrain(
        socket, limitMs, this,
        [written, done = std::move(done)](bool sent) { done(written && sent); },
        std::move(received));
}
