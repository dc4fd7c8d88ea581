// The communication thread on POSIX: termios for the line, poll for waiting.
//
// QSerialPort 6.4 on Linux classifies a read that returns nothing by a stale
// errno, so a hang-up can be reported with a wrong text over and over, or reading
// can stop without a word. Here every outcome of read and write is looked at.
#include "PortThread.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace updater {

namespace {

constexpr const char kReadStep[] = "ReadFile()";
constexpr const char kWriteStep[] = "WriteFile()";
constexpr const char kGetLineStep[] = "GetCommState()";
constexpr const char kSetLineStep[] = "SetCommState()";

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A file descriptor closed when it goes out of scope.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// /dev/tty and whatever names the same device: the terminal that runs this program,
// whether or not it has one now.
bool namesOwnTerminal(const QByteArray &path)
{
    struct stat port
    {
    };
    struct stat tty
    {
    };
    return ::stat(path.constData(), &port) == 0 && S_ISCHR(port.st_mode) &&
           ::stat("/dev/tty", &tty) == 0 && port.st_rdev == tty.st_rdev;
}

PortOpenError openError(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return PortOpenError::NoSuchPort;
    case EBUSY:
    case EWOULDBLOCK:
        return PortOpenError::Busy;
    case ENOTTY:
    case EISDIR:
        return PortOpenError::NotASerialPort;
    case EACCES:
    case EPERM:
        return PortOpenError::PermissionDenied;
    default:
        return PortOpenError::Other;
    }
}

// Opens the device for exclusive use. Invalid when it cannot be had; result then
// says why, from the call that failed.
Fd openDevice(const QString &deviceName, PortOpenResult &result)
{
    const auto fail = [&result](int error) {
        result.error = openError(error);
        result.systemText = systemText(error);
        return Fd();
    };
    const QByteArray path = deviceName.toLocal8Bit();
    if (namesOwnTerminal(path))
        return fail(ENOTTY);
    Fd fd(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return fail(errno);
    // A file or device that is no terminal is no serial port.
    if (!::isatty(fd.get()))
        return fail(errno == EINVAL ? ENOTTY : errno);
    // Another program holding the port: not opened, like a port in use elsewhere.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return fail(errno);
    ::ioctl(fd.get(), TIOCEXCL); // no further opens while we hold it
    return fd;
}

// 9600 baud, 8 data bits, no parity, 1 stop bit, raw, no flow control of any
// kind. VMIN 1 makes a read without data fail with EAGAIN, so a read of 0 bytes
// means the line hung up. The settings are read back, since a driver may take
// less than it was given without saying so. Returns the settings found at the
// open, to be restored on close.
std::optional<termios> configure(int fd, PortOpenResult &result)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        result.failures.append({QString::fromLatin1(kGetLineStep), systemText(errno)});
        return std::nullopt;
    }
    const termios before = tio;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        result.failures.append({QString::fromLatin1(kSetLineStep), systemText(errno)});
        return before;
    }
    termios taken{};
    const tcflag_t frame = CSIZE | PARENB | CSTOPB | CRTSCTS;
    if (::tcgetattr(fd, &taken) != 0 || ::cfgetospeed(&taken) != B9600 ||
        (taken.c_cflag & frame) != CS8 || (taken.c_iflag & (IXON | IXOFF)) != 0 ||
        taken.c_cc[VMIN] != 1) {
        result.failures.append({QString::fromLatin1(kSetLineStep),
                                QStringLiteral("the port did not take 9600 baud, 8N1, raw")});
    }
    // DTR off, RTS on. Ports without modem lines (pseudo-terminals, some USB
    // bridges) refuse these; the data line works regardless.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &dtr);
    ::ioctl(fd, TIOCMBIS, &rts);
    return before;
}

class PosixPortThread : public PortThread
{
public:
    PosixPortThread(IPortEvents &events, Fd port, std::optional<termios> saved, Fd wakeRead,
                    Fd wakeWrite)
        : events_(events), port_(std::move(port)), saved_(saved), wakeRead_(std::move(wakeRead)),
          wakeWrite_(std::move(wakeWrite))
    {
        countPortThread(1); // counted from here, so the count holds once the open returns
        thread_.start([this] { run(); });
    }

    ~PosixPortThread() override
    {
        thread_.stopOrLeave([this] { return stop(); }); // see stop()
    }

    void wake() override
    {
        const char one = 1;
        // A full pipe already holds a wake-up: nothing is lost by not writing.
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.get(), &one, 1);
    }

    bool stop() override
    {
        stopRequested_.store(true);
        wake();
        return thread_.join();
    }

private:
    void run();
    bool readPort();
    bool writePort();
    void fail(const char *step, int error);
    void drainWakePipe();

    IPortEvents &events_;
    Fd port_;
    std::optional<termios> saved_; // the settings the port had before we opened it
    Fd wakeRead_;
    Fd wakeWrite_;
    std::atomic<bool> stopRequested_{false};
    EndingThread thread_;

    // Communication thread only.
    SendBlock taken_{};
    std::vector<std::uint8_t> output_; // taken from the send buffer, not yet written
    std::size_t outputDone_ = 0;
    std::array<std::uint8_t, 1024> readChunk_{};
};

void PosixPortThread::run()
{
    output_.reserve(2 * kSendBufferSize);
    while (!stopRequested_.load() && port_.valid()) {
        pollfd fds[2] = {
            {port_.get(), short(POLLIN | (outputDone_ < output_.size() ? POLLOUT : 0)), 0},
            {wakeRead_.get(), POLLIN, 0},
        };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(kReadStep, errno);
            break;
        }
        if (stopRequested_.load())
            break;
        if (fds[1].revents & POLLIN) {
            drainWakePipe();
            const std::size_t length = events_.takeSendBuffer(taken_);
            output_.insert(output_.end(), taken_.begin(), taken_.begin() + std::ptrdiff_t(length));
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readPort())
            break;
        if (outputDone_ < output_.size() && !writePort())
            break;
    }
    if (port_.valid() && saved_) // the next program finds the port as it was
        ::tcsetattr(port_.get(), TCSANOW, &*saved_);
    port_.reset();
    countPortThread(-1);
    thread_.ended();
}

// Hands on every byte waiting in the driver. False when the port failed.
bool PosixPortThread::readPort()
{
    for (;;) {
        const ssize_t count = ::read(port_.get(), readChunk_.data(), readChunk_.size());
        if (count > 0) {
            for (ssize_t i = 0; i < count; ++i) {
                if (stopRequested_.load())
                    return true;
                events_.portByte(readChunk_[std::size_t(i)]);
            }
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (count < 0 && errno == EINTR)
            continue;
        // 0: the line hung up; anything else: the device failed. Nothing is
        // delivered for a failed read.
        fail(kReadStep, count == 0 ? EIO : errno);
        return false;
    }
}

// Writes as much of the taken output as the driver accepts now. False when the
// port failed.
bool PosixPortThread::writePort()
{
    while (outputDone_ < output_.size()) {
        const ssize_t n =
            ::write(port_.get(), output_.data() + outputDone_, output_.size() - outputDone_);
        if (n > 0) {
            outputDone_ += std::size_t(n);
            events_.portWritten(std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true; // the rest goes when poll says the driver has room
        fail(kWriteStep, n < 0 ? errno : EIO);
        return false;
    }
    output_.clear();
    outputDone_ = 0;
    return true;
}

void PosixPortThread::fail(const char *step, int error)
{
    port_.reset();
    events_.portFailed(QString::fromLatin1(step), systemText(error), true);
}

void PosixPortThread::drainWakePipe()
{
    char sink[64];
    while (::read(wakeRead_.get(), sink, sizeof sink) > 0) {
    }
}

} // namespace

std::unique_ptr<PortThread> startNativePortThread(IPortEvents &events, const QString &deviceName,
                                                  PortOpenResult &result)
{
    Fd port = openDevice(deviceName, result);
    if (!port.valid())
        return nullptr;
    result.opened = true;
    const std::optional<termios> saved = configure(port.get(), result);
    ::tcflush(port.get(), TCIOFLUSH); // nothing left over from before the open
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        result.opened = false;
        return nullptr;
    }
    Fd wakeRead(pipeFds[0]);
    Fd wakeWrite(pipeFds[1]);
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return std::make_unique<PosixPortThread>(events, std::move(port), saved, std::move(wakeRead),
                                             std::move(wakeWrite));
}

} // namespace updater
