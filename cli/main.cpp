// updater-cli: the update without a window, for scripts and production lines.

#include "CliOptions.h"
#include "CliRun.h"
#include "ExitStatus.h"
#include "FleetRun.h"
#include "PollDispatcher.h"
#include "PortList.h"
#include "Signals.h"

#include "Texts.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    using namespace updater::cli;
    CliOptions options;
    const std::string error =
        parseCliOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!error.empty()) {
        std::fprintf(stderr, "updater-cli: %s\nTry 'updater-cli --help'.\n", error.c_str());
        return kExitRefused;
    }
    if (options.help) {
        std::fputs(cliUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::puts(updater::texts::kAppTitle);
        return 0;
    }
    if (options.listPorts) {
        std::fputs(portListing(systemPorts()).c_str(), stdout);
        return 0;
    }

    // Every unit of an update is one turn of the event loop: a lean one.
    updater::useLeanEventLoop();
    QCoreApplication app(argc, argv);
    updater::watchSignals();
    // Many devices, or both firmwares of one device: a run of its own.
    if (!options.fleetPath.empty() || (!options.dspPath.empty() && !options.armPath.empty()))
        return runFleet(options, app);
    CliRun run(options);
    QObject::connect(&run, &CliRun::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    if (const auto status = run.start())
        return *status;
    return app.exec();
}
