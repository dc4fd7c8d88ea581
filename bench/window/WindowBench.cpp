// The desktop program's start and idle figures, taken on the same application
// object and main window as the program (run it with QT_QPA_PLATFORM=offscreen):
//
//   window_bench start [RUNS]        launches itself RUNS times (default 5); prints
//                                    for each launch the ms from the launch to the
//                                    main window exposed and painted
//   window_bench idle SECONDS none   CPU of the whole process over SECONDS with the
//   window_bench idle SECONDS tcp PORT      main window shown and no link, a TCP
//   window_bench idle SECONDS serial        link to 127.0.0.1:PORT, or a serial
//                                    link on a pseudo-terminal; no job runs
#include "BenchPty.h"
#include "CMainFrame.h"
#include "CUpdaterApp.h"
#include "CUpdaterView.h"
#include "FileDownCom.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

double clockSeconds(clockid_t clock)
{
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Child of "start": runs the program's start-up and prints the monotonic time at
// which the main window has been exposed and its expose event handled (painted).
class ShownWatch : public QObject
{
public:
    explicit ShownWatch(CMainFrame *frame) : frame_(frame) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && !seen_ && frame_->windowHandle() == watched &&
            frame_->windowHandle()->isExposed()) {
            seen_ = true;
            // Queued: runs once the expose event has been handled.
            QTimer::singleShot(0, qApp, [] {
                std::printf("%.6f\n", clockSeconds(CLOCK_MONOTONIC));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    CMainFrame *frame_;
    bool seen_ = false;
};

int runStartChild(int argc, char **argv)
{
    QApplication application(argc, argv);
    CUpdaterApp updater;
    // The watch must be in place before the window is shown: InitInstance shows it.
    std::unique_ptr<ShownWatch> watch;
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });
    if (!updater.InitInstance(false))
        return 1;
    watch = std::make_unique<ShownWatch>(updater.mainFrame());
    application.installEventFilter(watch.get());
    updater.mainFrame()->show();
    return application.exec();
}

// One launch: fork, exec this program as the child, read its line.
double launchOnce(const char *self)
{
    int out[2];
    if (::pipe(out) != 0)
        return -1;
    const double launched = clockSeconds(CLOCK_MONOTONIC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(self, self, "--shown", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    char line[64] = {};
    const ssize_t n = ::read(out[0], line, sizeof line - 1);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return (std::atof(line) - launched) * 1000.0;
}

int runStart(const char *self, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = launchOnce(self);
        if (ms < 0) {
            std::fprintf(stderr, "window_bench: launch %d did not show the window\n", i + 1);
            return 1;
        }
        std::printf("launch %d: %.1f ms\n", i + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("median_ms=%.1f max_ms=%.1f\n", times[times.size() / 2], times.back());
    return 0;
}

int runIdle(int argc, char **argv, int seconds, const char *link, int port)
{
    QApplication application(argc, argv);
    CUpdaterApp updater;
    if (!updater.InitInstance())
        return 1;
    CUpdaterView &view = *updater.mainFrame()->view();
    std::unique_ptr<bench::Pty> pty;
    updater::LinkTarget target;
    if (std::strcmp(link, "tcp") == 0) {
        target.tcpAddress = "127.0.0.1";
        target.tcpPort = static_cast<std::uint16_t>(port);
        view.openLink(target, "127.0.0.1");
    } else if (std::strcmp(link, "serial") == 0) {
        pty = std::make_unique<bench::Pty>();
        target.tcp = false;
        target.serialPath = pty->name().toStdString();
        view.openLink(target, target.serialPath);
    }
    // Let the connection complete and the window settle before measuring.
    QEventLoop settle;
    QTimer::singleShot(1000, &settle, &QEventLoop::quit);
    settle.exec();
    if (std::strcmp(link, "none") != 0 && !view.linkOpen()) {
        std::fprintf(stderr, "window_bench: the %s link did not open\n", link);
        return 1;
    }
    const double cpu0 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = clockSeconds(CLOCK_MONOTONIC);
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, qApp, &QCoreApplication::quit);
    QApplication::exec();
    const double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = clockSeconds(CLOCK_MONOTONIC) - wall0;
    std::printf("cpu_s=%.6f wall_s=%.3f percent=%.4f\n", cpu, wall, 100.0 * cpu / wall);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--shown") == 0)
        return runStartChild(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "start") == 0)
        return runStart("/proc/self/exe", argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
    if (argc >= 4 && std::strcmp(argv[1], "idle") == 0)
        return runIdle(argc, argv, std::max(1, std::atoi(argv[2])), argv[3],
                       argc > 4 ? std::atoi(argv[4]) : 0);
    std::fprintf(stderr, "usage: window_bench start [RUNS] | window_bench idle SECONDS "
                         "(none | tcp PORT | serial)\n");
    return 2;
}
