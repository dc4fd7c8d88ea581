#pragma once

#include "CliOptions.h"
#include "Console.h"
#include "DeviceRun.h"
#include "FleetFile.h"
#include "FleetTable.h"
#include "Report.h"

#include "Supervisor.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class QCoreApplication;

namespace updater::cli {

// A run over many devices (--fleet), or over one device with both firmwares
// (--dsp and --arm). Every device has its own job and link; one supervisor thread
// ticks every running job and the main thread's event loop serves every TCP
// link, so the threads stay the same however many devices run.
class FleetRun : public QObject
{
public:
    explicit FleetRun(const CliOptions &options);
    ~FleetRun() override;

    // Reads the fleet file and checks every firmware file, trace and report before
    // any device is contacted, then starts the first devices. Returns the exit
    // status when the run is already over, or nothing while it goes on.
    std::optional<int> start();
    void setOnFinished(std::function<void(int)> finished) { onFinished_ = std::move(finished); }

private:
    bool fleet() const { return !options_.fleetPath.empty(); }
    std::optional<int> prepare();
    // Where the trace of a device goes; empty: none.
    std::string tracePath(const FleetDevice &device) const;
    void launch();
    void deviceDone();
    void poll();
    void end(int signal);
    int exitStatus(int signal) const;
    void drawTable();
    std::string summary() const;
    std::vector<std::string> resultRow(const DeviceRun &run) const;

    CliOptions options_;
    Console console_;
    LiveTable live_;
    bool showTable_ = false;
    std::vector<FleetDevice> devices_;
    std::vector<FirmwareSummary> firmware_;
    // Made before the supervisor starts, never changed after: its thread reads them.
    std::vector<std::unique_ptr<DeviceRun>> runs_;
    std::unique_ptr<Supervisor> supervisor_; // goes before the runs it ticks
    std::size_t next_ = 0;                   // the next device to start
    std::size_t active_ = 0;                 // started and not done
    QTimer poller_;
    int polls_ = 0;
    bool ended_ = false;
    std::chrono::system_clock::time_point startedAt_;
    std::function<void(int)> onFinished_;
};

// Runs updater-cli's fleet or both-firmware mode to its end; returns the exit status.
int runFleet(const CliOptions &options, QCoreApplication &app);

} // namespace updater::cli
