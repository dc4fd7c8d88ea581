// updater-cli: the update without a window, for scripts and production lines.

#include "CliOptions.h"
#include "CliPlatform.h"
#include "MergeReports.h"
#include "PortList.h"
#include "RunFront.h"
#include "RunOutcome.h"
#include "Signals.h"
#include "SystemFile.h"

#include "Texts.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    using namespace updater::cli;
    prepareConsole();
    CliOptions options;
    const std::string error = parseCliOptions(programArguments(argc, argv), options);
    // Every message names a file as the system writes its paths.
    for (std::string *path :
         {&options.dspPath, &options.armPath, &options.fleetPath, &options.reportPath,
          &options.onlyFailedPath, &options.traceDir, &options.tracePath})
        *path = updater::nativeSeparators(*path);
    for (std::string &path : options.mergePaths)
        path = updater::nativeSeparators(path);
    if (!error.empty()) {
        std::fprintf(stderr, "updater-cli: %s\nTry 'updater-cli --help'.\n", error.c_str());
        return updater::run::kExitRefused;
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

    if (options.mergeReports)
        return runMergeReports(options.mergePaths, options.reportPath);

    QCoreApplication app(argc, argv);
    updater::watchSignals();
    return runUpdate(options, app);
}
