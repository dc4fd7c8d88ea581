// updater-sim: a simulated inverter for trying the updater without a device.

#include "SimFleet.h"
#include "SimOptions.h"
#include "SimSession.h"
#include "SimTransports.h"

#include "Signals.h"

#include <QCoreApplication>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>

namespace {

// SIGINT and SIGTERM end the simulator through the event loop, so that a job in
// progress is still judged. stop judges what is unfinished and tells whether
// every job passed.
void catchSignals(QCoreApplication &app, std::function<bool()> stop)
{
    updater::watchSignals(false);
    updater::whenSignalled(&app, [&app, stop, stopped = false](int) mutable {
        if (!std::exchange(stopped, true))
            app.exit(stop() ? 0 : 1);
    });
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
    // The image is written after each job: a place it cannot go is refused now.
    if (!options.savePath.empty() && !std::ofstream(options.savePath, std::ios::app)) {
        std::fprintf(stderr, "updater-sim: --save %s: cannot write there\n",
                     options.savePath.c_str());
        return 2;
    }

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
