#pragma once

#include "DeviceRun.h"

#include <cstdint>
#include <string>
#include <vector>

namespace updater::cli {

inline constexpr std::uint16_t kDefaultTcpPort = 8899;

// The command line of updater-cli.
struct CliOptions
{
    enum class Link
    {
        None,
        Serial,
        Tcp,
    };
    Link link = Link::None;
    unsigned comNumber = 0; // serial: n of "COM<n>", 0 when a device path was given
    std::string serialPath; // serial: the device path, when no COM name was given
    std::string serialText; // serial: the port as given on the command line
    std::string tcpAddress; // tcp: dotted IPv4 address
    std::uint16_t tcpPort = kDefaultTcpPort;
    // --dsp and --arm as given; with both, one run writes the DSP firmware, then the ARM.
    std::string dspPath;
    std::string armPath;
    // --fleet: many devices, each row of the fleet file one device.
    std::string fleetPath;
    unsigned jobs = 16;
    unsigned retries = 0;
    unsigned restartWait = 3; // seconds between the DSP firmware's success and the reopen
    std::string reportPath;
    std::string onlyFailedPath;  // --only-failed: the report of an earlier run
    std::string skipWrittenPath; // --skip-written: the report of an earlier run
    std::string summaryPath;     // --summary: the run's summary as text for a ticket
    bool check = false;          // --check: check everything, contact nothing
    // --merge-reports: the reports of many sites into one --report; no device contacted.
    bool mergeReports = false;
    std::vector<std::string> mergePaths;
    std::string traceDir;
    bool quiet = false;
    std::string tracePath;
    bool help = false;
    bool version = false;
    bool listPorts = false;
};

// Parses the arguments after the program name. Returns an empty string on
// success, or the reason the command line is refused.
std::string parseCliOptions(const std::vector<std::string> &args, CliOptions &options);

// A link as given to --serial or --tcp (option is "--serial" or "--tcp"), into
// o's link fields. Returns an empty string, or the reason it is refused.
std::string parseLinkOption(const std::string &option, const std::string &value, CliOptions &o);

// The link fields of o as a run takes them.
run::LinkTarget linkTarget(const CliOptions &o);
// "10.0.0.7:8899", or the serial port as given.
std::string linkText(const CliOptions &o);

// The --help text.
std::string cliUsage();

} // namespace updater::cli
