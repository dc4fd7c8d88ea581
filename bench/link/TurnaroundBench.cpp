// Turnaround over a pseudo-terminal: from a byte written by the device end to the
// host's one-byte reply arriving back there. The host side is the serial link
// with a byte sink that answers every byte at once, as the DSP sender answers an
// acknowledgement with the next record.
//
//   link_turnaround_bench [ROUND_TRIPS]   (default 10000)
#include "BenchPty.h"
#include "FileDownCom.h"
#include "JobHost.h"
#include "LinkReporter.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Echo : public updater::IByteSink
{
public:
    CFileDownCom *link = nullptr;
    void receiveByte(std::uint8_t byte) override
    {
        const std::uint8_t reply = static_cast<std::uint8_t>(byte ^ 0xFF);
        link->SendOnCurrentLink(&reply, 1);
    }
};

class Stderr : public updater::ILinkReporter
{
public:
    void reportLinkError(updater::LinkFault, const QString &caption, const QString &text) override
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
    }
};

// One round trip; returns microseconds, or -1 when the reply did not come.
double roundTrip(int fd, std::uint8_t byte)
{
    const auto start = Clock::now();
    if (::write(fd, &byte, 1) != 1)
        return -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0)
        return -1;
    std::uint8_t reply = 0;
    if (::read(fd, &reply, 1) != 1 || reply != std::uint8_t(byte ^ 0xFF))
        return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void run(const char *label, int trips)
{
    bench::Pty pty;
    Echo echo;
    Stderr reporter;
    CFileDownCom link(&echo, &reporter);
    echo.link = &link;
    if (!link.OpenSerialDevice(pty.name())) {
        std::printf("%s: cannot open %s\n", label, qPrintable(pty.name()));
        return;
    }
    std::vector<double> times;
    times.reserve(std::size_t(trips));
    int lost = 0;
    for (int i = 0; i < trips; ++i) {
        const double us = roundTrip(pty.fd(), std::uint8_t(i));
        if (us < 0)
            ++lost;
        else
            times.push_back(us);
    }
    if (times.empty()) {
        std::printf("%s: no reply came back\n", label);
        return;
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) { return times[std::size_t(q * double(times.size() - 1))]; };
    std::printf("%-28s trips %zu  lost %d  median %.1f us  p99 %.1f us  max %.1f us\n", label,
                times.size(), lost, at(0.5), at(0.99), times.back());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int trips = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    std::printf("Pseudo-terminal turnaround, device byte -> host reply (no baud pacing)\n");
    run("termios+poll", trips);
    return 0;
}
