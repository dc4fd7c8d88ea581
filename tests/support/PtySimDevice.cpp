// The simulated inverter on the controlling end of a pseudo-terminal (POSIX only).
#include "SimPeers.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace testsupport {

PtySimDevice::PtySimDevice(int fd, const PeerOptions &options, std::function<void()> hangUp)
    : SimPeer(options), fd_(fd), options_(options), hangUp_(std::move(hangUp)),
      thread_([this] { run(); })
{
}

PtySimDevice::~PtySimDevice()
{
    stop_ = true;
    thread_.join();
}

void PtySimDevice::run()
{
    char buffer[2048];
    std::optional<std::chrono::steady_clock::time_point> hangUpAt;
    while (!stop_) {
        if (hangUpAt && std::chrono::steady_clock::now() >= *hangUpAt) {
            if (hangUp_)
                hangUp_();
            return;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        bool jobEnded = false;
        const QByteArray reply = feed(buffer, n, jobEnded);
        if (jobEnded && options_.hangUpAfter)
            hangUpAt = std::chrono::steady_clock::now() + *options_.hangUpAfter;
        qsizetype done = 0;
        while (done < reply.size() && !stop_) {
            const ssize_t w = ::write(fd_, reply.constData() + done, size_t(reply.size() - done));
            if (w > 0)
                done += w;
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                return;
        }
    }
}

} // namespace testsupport
