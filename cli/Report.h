#pragma once

#include "Console.h"
#include "EarlierReport.h"

#include "DeviceRun.h"
#include "FirmwareCheck.h"
#include "FleetRun.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace updater::cli {

// The run as the report tells it.
struct RunReport
{
    std::chrono::system_clock::time_point start, end;
    std::vector<run::FirmwareSummary> firmware;
    unsigned jobs = 0;
    unsigned retries = 0;
    bool ended = false; // else the run goes on: no end, no exit status yet
    int exitStatus = 0;
    int signal = 0; // the signal that interrupted the run, 0 none
    struct Device
    {
        const run::DeviceEntry *device = nullptr;
        run::DeviceResult result;
    };
    std::vector<Device> devices;
};

// The report as JSON text; kept: entries of devices of an earlier run that this
// run's devices replace by name, or keep.
std::string reportJson(const RunReport &report, const QJsonArray &kept = {});

// Writes --report: the run so far whenever a device has started or ended, and the
// whole run once it has ended. A write that fails is said once on the console.
class ReportWriter
{
public:
    ReportWriter(std::string path, Console &console) : path_(std::move(path)), console_(console) {}

    bool wanted() const { return !path_.empty(); }
    // The report of an earlier run: when it is the file this one writes, the
    // devices of this run replace theirs and the others keep their entries.
    void keep(const EarlierReport &earlier);
    // What every report of the run says: its start, firmware, jobs and retries.
    RunReport &head() { return head_; }
    // The report of run as it stands (status: the run's exit status once it has
    // ended). Written whole and renamed into place; false when it failed.
    bool write(const run::FleetRun &run, std::optional<int> status);

private:
    const std::string path_;
    Console &console_;
    RunReport head_;
    bool failed_ = false;
    QJsonArray kept_; // the earlier report's entries, when it is this file
};

// Writes --summary: a short text for a ticket. False when it failed (said once).
bool writeSummary(const std::string &path, const RunReport &head, const run::FleetRun &run,
                  int status, Console &console);

} // namespace updater::cli
