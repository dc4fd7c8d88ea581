// Joins two pseudo-terminals as if by a serial cable running at a given baud rate:
// every byte takes 10 bit times on the line (start, 8 data, stop), in each
// direction independently. Prints the two device paths, one per line, then relays
// until it is killed. With DEVICE, end A is that serial device (for instance the
// pseudo-terminal of updater-sim --pty, set to raw 8-bit data) instead of a new
// pseudo-terminal, so that no unpaced relay stands between the line and the
// device; the emulator then ends when that device hangs up.
//
//   line_emulator [BAUD [DEVICE]]      (default 9600)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>

namespace {

using Clock = std::chrono::steady_clock;

struct End
{
    int master = -1;
    char name[128] = {};
};

// Bytes on their way from one end to the other, each released at its due time.
struct Direction
{
    int from;
    int to;
    std::deque<std::pair<Clock::time_point, unsigned char>> inFlight;
    Clock::time_point lineFree = Clock::now();
};

bool openEnd(End &end)
{
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&end.master, &slave, end.name, &raw, nullptr) != 0)
        return false;
    // Keep the slave open so the master never sees a hang-up between users.
    return true;
}

bool openDevice(End &end, const char *path)
{
    end.master = open(path, O_RDWR | O_NOCTTY);
    if (end.master < 0)
        return false;
    termios raw{};
    if (tcgetattr(end.master, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(end.master, TCSANOW, &raw);
    }
    std::snprintf(end.name, sizeof end.name, "%s", path);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const double baud = argc > 1 ? std::atof(argv[1]) : 9600.0;
    const auto byteTime =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
    End a, b;
    if (!(argc > 2 ? openDevice(a, argv[2]) : openEnd(a)) || !openEnd(b)) {
        std::perror(argc > 2 ? argv[2] : "openpty");
        return 1;
    }
    std::printf("%s\n%s\n", a.name, b.name);
    std::fflush(stdout);
    Direction dirs[2] = {{a.master, b.master, {}, Clock::now()},
                         {b.master, a.master, {}, Clock::now()}};
    for (;;) {
        const Clock::time_point now = Clock::now();
        int timeoutMs = 100;
        for (auto &d : dirs) {
            while (!d.inFlight.empty() && d.inFlight.front().first <= now) {
                const unsigned char c = d.inFlight.front().second;
                if (write(d.to, &c, 1) != 1)
                    break;
                d.inFlight.pop_front();
            }
            if (!d.inFlight.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(
                    d.inFlight.front().first - now);
                timeoutMs = std::min<int>(timeoutMs, static_cast<int>(wait.count() / 1000));
            }
        }
        pollfd fds[2] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}};
        // Sub-millisecond waits are spun with a zero time-out to keep the pace exact.
        poll(fds, 2, timeoutMs < 1 ? 0 : timeoutMs);
        if (fds[0].revents & (POLLHUP | POLLERR))
            return 0; // the device at end A hung up
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            unsigned char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            for (ssize_t k = 0; k < n; ++k) {
                Direction &d = dirs[i];
                const Clock::time_point t = Clock::now();
                d.lineFree = (d.lineFree > t ? d.lineFree : t) + byteTime;
                d.inFlight.emplace_back(d.lineFree, buf[k]);
            }
        }
    }
}
