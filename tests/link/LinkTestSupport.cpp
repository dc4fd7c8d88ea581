#include "LinkTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace linktest {

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

void spinFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

std::vector<std::uint8_t> countingBytes(std::size_t count, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

Pty::Pty()
{
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    name_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Raw until the link configures it, so nothing is echoed or translated.
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
}

Pty::~Pty()
{
    closeDevice();
    if (slave_ >= 0)
        ::close(slave_);
}

void Pty::closeDevice()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void Pty::write(const std::vector<std::uint8_t> &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("pty write failed");
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

std::vector<std::uint8_t> Pty::read(std::size_t count, int timeoutMs)
{
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t buffer[4096];
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return got;
}

std::vector<std::uint8_t> Pty::readFor(int ms)
{
    return read(SIZE_MAX, ms);
}

bool PlainPeer::send(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n =
            ::send(fd_, bytes.constData() + done, std::size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray PlainPeer::receive(qsizetype count, int timeoutMs)
{
    QByteArray got;
    char buffer[65536];
    while (got.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

void PlainPeer::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

PlainListener::PlainListener(int backlog)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd_, backlog) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
}

std::unique_ptr<PlainPeer> PlainListener::accept()
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0)
        return nullptr;
    return std::make_unique<PlainPeer>(::accept(fd_, nullptr, nullptr));
}

void PlainListener::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RecordingSink::receiveByte(std::uint8_t byte)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        bytes_.push_back(byte);
        threads_.insert(std::this_thread::get_id());
        if (gateClosed_) {
            waiting_ = true;
            gateChanged_.notify_all();
            gateChanged_.wait(lock, [this] { return !gateClosed_; });
            waiting_ = false;
        }
    }
    if (onByte)
        onByte(byte);
}

std::vector<std::uint8_t> RecordingSink::bytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

std::size_t RecordingSink::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_.size();
}

std::set<std::thread::id> RecordingSink::threads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void RecordingSink::closeGate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = true;
}

void RecordingSink::openGate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = false;
    gateChanged_.notify_all();
}

bool RecordingSink::waitingAtGate() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

void RecordingReporter::reportLinkError(updater::LinkFault fault, const QString &caption,
                                        const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({fault, caption, text, std::this_thread::get_id()});
}

std::vector<Report> RecordingReporter::reports() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::size_t RecordingReporter::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_.size();
}

} // namespace linktest
