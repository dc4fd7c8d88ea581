#pragma once

#include "CliOptions.h"
#include "Console.h"
#include "FleetTable.h"

#include "FleetRun.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class QCoreApplication;

namespace updater::cli {

// updater-cli's run of one device (--serial or --tcp, with --dsp, --arm or both)
// or of a fleet (--fleet): a fleet of one device shows a progress bar, a fleet a
// live table and a summary. Both check every file before any device is
// contacted, and end with the exit status of the run.
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
    std::optional<int> readDevices();
    std::string keepOnlyFailed();
    std::optional<int> checkOutputs();
    std::string tracePath(const run::DeviceEntry &device) const;
    void poll();
    void ended(int status);
    void drawTable();
    std::string summary() const;
    // The report as it stands (status: the run's exit status once it has ended).
    bool writeReport(std::optional<int> status);

    CliOptions options_;
    Console console_;
    LiveTable live_;
    bool showTable_ = false;
    bool showProgress_ = false;
    std::vector<run::DeviceEntry> devices_;
    std::vector<run::FirmwareSummary> firmware_;
    std::unique_ptr<run::FleetRun> run_;
    QTimer poller_;
    int polls_ = 0;
    bool reportFailed_ = false;
    std::chrono::system_clock::time_point startedAt_;
    std::function<void(int)> finished_;
};

// Runs updater-cli's update to its end; returns the exit status.
int runUpdate(const CliOptions &options, QCoreApplication &app);

} // namespace updater::cli
