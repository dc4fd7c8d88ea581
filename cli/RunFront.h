#pragma once

#include "CliOptions.h"
#include "Console.h"
#include "EarlierReport.h"
#include "Report.h"
#include "RunDisplay.h"

#include "FleetRun.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCoreApplication;

namespace updater::cli {

// updater-cli's run of one device (--serial or --tcp, with --dsp, --arm or both)
// or of a fleet (--fleet): sets up the devices (FleetSetup), checks every file
// before any device is contacted, runs them, shows the run (RunDisplay), keeps
// the report (ReportWriter), and ends with the exit status of the run.
class RunFront : public QObject
{
public:
    explicit RunFront(const CliOptions &options);
    ~RunFront() override;

    // Checks the fleet file, the firmware files, traces and report, then starts
    // the run. Returns the exit status when the run is already over.
    std::optional<int> start(std::function<void(int)> finished);

private:
    bool fleet() const { return !options_.fleetPath.empty(); }
    std::optional<int> prepare();
    // Opens --trace, or names each device's file in --trace-dir.
    std::optional<int> openTraces();
    // A firmware file was refused: said, and written into every trace.
    int refuseFirmware(const run::Refusal &refused);
    void ended(int status);

    CliOptions options_;
    Console console_;
    RunDisplay display_;
    ReportWriter report_;
    std::vector<run::DeviceEntry> devices_;
    EarlierReport earlier_; // of --only-failed or --skip-written
    std::unique_ptr<run::FleetRun> run_;
    std::function<void(int)> finished_;
};

// Runs updater-cli's update to its end; returns the exit status.
int runUpdate(const CliOptions &options, QCoreApplication &app);

} // namespace updater::cli
