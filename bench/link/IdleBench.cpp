// Idle cost of an open serial port: CPU time used by the whole process while a
// port is open and nothing is sent or received.
//
//   link_idle_bench [SECONDS]   (default 10)
#include "BenchPty.h"
#include "FileDownCom.h"
#include "JobHost.h"
#include "LinkReporter.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

class Nothing : public updater::IByteSink, public updater::ILinkReporter
{
public:
    void receiveByte(std::uint8_t) override {}
    void reportLinkError(updater::LinkFault, const QString &, const QString &text) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
};

double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double monotonicSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void run(const char *label, int seconds)
{
    bench::Pty pty;
    Nothing nothing;
    CFileDownCom link(&nothing, &nothing);
    if (!link.OpenSerialDevice(pty.name())) {
        std::printf("%s: cannot open %s\n", label, qPrintable(pty.name()));
        return;
    }
    // The main thread runs its event loop as the window's would.
    const double cpu0 = processCpuSeconds();
    const double wall0 = monotonicSeconds();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = monotonicSeconds() - wall0;
    std::printf("%-28s %.1f s open: CPU %.4f s = %.4f%% of one core\n", label, wall, cpu,
                100.0 * cpu / wall);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::printf("Idle serial port, no traffic\n");
    run("termios+poll", seconds);
    return 0;
}
