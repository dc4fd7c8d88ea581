// Joins two serial devices (for instance a pseudo-terminal of the line emulator
// and the one of updater-sim --pty) without any pacing: every byte read on one is
// written to the other at once. Both are set to raw 8-bit data. Runs until one
// side hangs up or it is killed.
//
//   pty_join DEVICE_A DEVICE_B
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int openRaw(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "pty_join: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Writes all of buf; false when the other side is gone.
bool writeAll(int fd, const unsigned char *buf, ssize_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        buf += w;
        n -= w;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: pty_join DEVICE_A DEVICE_B\n");
        return 2;
    }
    const int fds[2] = {openRaw(argv[1]), openRaw(argv[2])};
    if (fds[0] < 0 || fds[1] < 0)
        return 1;
    for (;;) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0)
                continue;
            unsigned char buf[4096];
            const ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n <= 0 || !writeAll(fds[1 - i], buf, n))
                return 0; // one side hung up
        }
    }
}
