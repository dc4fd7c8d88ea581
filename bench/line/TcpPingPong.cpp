// The floor for DSP over TCP: the fastest a host can send a 21-byte record and
// get a 1-byte acknowledgement back on loopback, with TCP_NODELAY on both ends.
//
//   tcp_pingpong [SECONDS]    (default 5) prints round trips per second
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool readExactly(int fd, unsigned char *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        std::perror("listen");
        return 1;
    }
    std::thread device([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        noDelay(fd);
        unsigned char record[21];
        const unsigned char ack = 0xCC;
        while (readExactly(fd, record, sizeof record))
            if (write(fd, &ack, 1) != 1)
                break;
        close(fd);
    });
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        return 1;
    }
    noDelay(fd);
    unsigned char record[21] = {0x10};
    unsigned char ack = 0;
    long trips = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (write(fd, record, sizeof record) != static_cast<ssize_t>(sizeof record) ||
            !readExactly(fd, &ack, 1))
            break;
        ++trips;
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(fd);
    device.join();
    close(listener);
    std::printf("%.0f\n", trips / took);
    return 0;
}
