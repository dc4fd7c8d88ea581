// Minimal ends of the DSP dialogue, with blocking I/O on a serial device (set to
// raw 8-bit data), to tell how much of a DSP transfer's time over a line is the
// test rig's own:
//
//   dsp_peer device DEVICE        serves one host as the simulated inverter does
//                                 (0xCC for the erase command and every record,
//                                 until the end-of-file record)
//   dsp_peer host DEVICE COUNT    sends the erase command, COUNT records of 16 data
//                                 bytes and the end-of-file record, each after the
//                                 0xCC of the one before; prints the data records
//                                 per second
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "SimDevice.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint8_t kAck = 0xCC;
constexpr std::uint8_t kErase[8] = {0xFA, 'f', 'l', 'a', 's', 'h', 'b', 0x96};

bool readExactly(int fd, std::uint8_t *buf, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t *buf, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, n);
        if (w <= 0)
            return false;
        buf += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

int openDevice(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(path);
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// The simulated inverter's device model behind blocking reads: every byte that
// arrives is fed to it and its answers go back at once, until the job's end.
int serveDevice(int fd)
{
    if (fd < 0)
        return 1;
    updater::sim::SimDevice device({}, {});
    std::uint8_t buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            const updater::sim::Step step = device.receiveByte(buffer[i]);
            if (!step.reply.empty() && !writeAll(fd, step.reply.data(), step.reply.size()))
                return 1;
            if (step.jobEnded) {
                ::close(fd);
                return device.verdict().passed() ? 0 : 1;
            }
        }
    }
    return 1;
}

// A data record of 16 bytes at address, or for each new 64 KiB segment the
// extended linear address record that starts it.
std::vector<std::uint8_t> record(std::uint32_t address, bool segmentStart)
{
    std::vector<std::uint8_t> r;
    if (segmentStart) {
        r = {2, 0, 0, 4, std::uint8_t(address >> 24), std::uint8_t(address >> 16)};
    } else {
        r = {16, std::uint8_t(address >> 8), std::uint8_t(address), 0};
        for (int i = 0; i < 16; ++i)
            r.push_back(std::uint8_t(address + std::uint32_t(i) * 7));
    }
    std::uint8_t sum = 0;
    for (std::uint8_t b : r)
        sum = std::uint8_t(sum + b);
    r.push_back(std::uint8_t(0x100 - sum));
    return r;
}

// Sends one unit and waits for its 0xCC.
bool exchange(int fd, const std::uint8_t *unit, std::size_t n)
{
    std::uint8_t reply = 0;
    return writeAll(fd, unit, n) && readExactly(fd, &reply, 1) && reply == kAck;
}

int runHost(int fd, long count)
{
    if (fd < 0)
        return 1;
    if (!exchange(fd, kErase, sizeof kErase)) {
        std::fprintf(stderr, "dsp_peer: the erase command was not acknowledged\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto send = [fd](const std::vector<std::uint8_t> &r) {
        if (exchange(fd, r.data(), r.size()))
            return true;
        std::fprintf(stderr, "dsp_peer: a record of %zu bytes was not acknowledged\n", r.size());
        return false;
    };
    for (long i = 0; i < count; ++i) {
        const auto address = std::uint32_t(i * 16);
        if (address % 0x10000 == 0 && address != 0 && !send(record(address, true)))
            return 1;
        if (!send(record(address, false)))
            return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint8_t endOfFile[5] = {0x00, 0x00, 0x00, 0x01, 0xFF};
    const bool ended = exchange(fd, endOfFile, sizeof endOfFile);
    ::close(fd);
    std::printf("%.2f\n", double(count) / seconds);
    return ended ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "device") == 0)
        return serveDevice(openDevice(argv[2]));
    if (argc == 4 && std::strcmp(argv[1], "host") == 0)
        return runHost(openDevice(argv[2]), std::atol(argv[3]));
    std::fprintf(stderr, "usage: dsp_peer device DEVICE | dsp_peer host DEVICE COUNT\n");
    return 2;
}
