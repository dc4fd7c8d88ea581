#pragma once

#include "CliOptions.h"
#include "EarlierReport.h"

#include "DeviceRun.h"

#include <string>
#include <vector>

namespace updater::cli {

// The devices of updater-cli's run and the files it writes, checked before any
// device is contacted. Each returns an empty string, or the fault as the
// technician reads it.

// The one device of --serial or --tcp, or the rows of the fleet file, each with
// what the report of --only-failed or --skip-written (read into earlier) says it
// holds; with --only-failed only those that report lists as not succeeded.
std::string readDevices(const CliOptions &options, std::vector<run::DeviceEntry> &devices,
                        EarlierReport &earlier);

// The trace folder, made when the run starts. Returns "" or why not.
std::string makeTraceDir(const CliOptions &options);

// --report, --trace and --trace-dir: plain files (a folder for --trace-dir) that
// are none of the files the run reads, and that can be written.
std::string checkOutputs(const CliOptions &options, const std::vector<run::DeviceEntry> &devices);

// The trace of device: its file in --trace-dir, or --trace ("" for none).
std::string tracePath(const CliOptions &options, const run::DeviceEntry &device);

} // namespace updater::cli
