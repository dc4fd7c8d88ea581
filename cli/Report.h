#pragma once

#include "DeviceRun.h"
#include "FirmwareCheck.h"

#include <chrono>
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

// The report as JSON text.
std::string reportJson(const RunReport &report);

} // namespace updater::cli
