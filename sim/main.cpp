// updater-sim: a simulated inverter for trying the updater without a device.

#include "SimFleet.h"
#include "SimOptions.h"
#include "SimSession.h"
#include "SimTransports.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t gSignal = 0;
#ifdef Q_OS_UNIX
int gSignalPipe[2] = {-1, -1};
#endif

void onSignal(int signal)
{
    gSignal = signal;
#ifdef Q_OS_UNIX
    const char byte = 0;
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
#endif
}

// SIGINT and SIGTERM end the simulator through the event loop, so that a job in
// progress is still judged. The handler only notes the signal and wakes the loop
// through a pipe (where there are none, a timer looks every 50 ms), so that an
// idle simulator sleeps. stop judges what is unfinished and tells whether every
// job passed.
void catchSignals(QCoreApplication &app, std::function<bool()> stop)
{
    const auto look = [&app, stop] {
        if (gSignal == 0)
            return;
        gSignal = 0;
        app.exit(stop() ? 0 : 1);
    };
#ifdef Q_OS_UNIX
    if (::pipe(gSignalPipe) == 0) {
        for (const int end : gSignalPipe)
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        auto *notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [look] {
            char bytes[16];
            while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
            }
            look();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        return;
    }
#endif
    auto *watch = new QTimer(&app);
    QObject::connect(watch, &QTimer::timeout, &app, look);
    watch->start(50);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

bool readExpectation(const updater::sim::SimOptions &o, updater::sim::Expectation &e)
{
    e.size = o.expectSize;
    if (o.expectPath.empty())
        return true;
    std::ifstream in(o.expectPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "updater-sim: %s: cannot read the expected file\n",
                     o.expectPath.c_str());
        return false;
    }
    e.file = std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    e.name = o.expectPath;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    using namespace updater::sim;
    SimOptions options;
    const std::string error =
        parseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!error.empty()) {
        std::fprintf(stderr, "updater-sim: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(simUsage().c_str(), stdout);
        return 0;
    }
    Expectation expected;
    if (!readExpectation(options, expected))
        return 2;

    // Qt's own event loop: every unit is one wake-up, and Qt's costs less per
    // wake-up than GLib's (no window here needs GLib).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (options.devices > 0) {
        SimFleet fleet(options, expected);
        QString error;
        const quint16 first = fleet.listen(error);
        if (first == 0) {
            std::fprintf(stderr, "updater-sim: %s\n", qPrintable(error));
            return 2;
        }
        std::printf("updater-sim: listening on %s:%u\nupdater-sim: %d devices on ports %u to %u\n",
                    options.listenAddress.c_str(), first, options.devices, first,
                    first + options.devices - 1);
        std::fflush(stdout);
        catchSignals(app, [&fleet] {
            fleet.shutDown();
            return fleet.allPassed();
        });
        return app.exec();
    }
    DueTimer answers;
    SimSession session(options, expected, answers);
    QObject::connect(&session, &SimSession::servedEnough, &app,
                     [&app, &session] { app.exit(session.allPassed() ? 0 : 1); });
    catchSignals(app, [&session] {
        session.shutDown();
        return session.allPassed();
    });

    TcpTransport tcp(session);
    PtyTransport pty(session, !options.repeat, options.hangUp);
    QString where;
    const QString address = QString::fromStdString(options.listenAddress);
    if (options.pty ? !pty.open(where) : !tcp.listen(address, options.listenPort, where)) {
        std::fprintf(stderr, "updater-sim: %s\n", qPrintable(where));
        return 2;
    }
    std::printf(options.pty ? "updater-sim: serial device %s\n" : "updater-sim: listening on %s\n",
                qPrintable(where));
    std::fflush(stdout);
    return app.exec();
}
