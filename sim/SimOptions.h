#pragma once

#include "SimDevice.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updater::sim {

inline constexpr std::uint16_t kDefaultPort = 8899;

// The command line of updater-sim.
struct SimOptions
{
    std::string listenAddress = "127.0.0.1";
    std::uint16_t listenPort = kDefaultPort; // 0: any free port (printed at start)
    bool pty = false;
    std::string savePath;
    std::string expectPath;
    std::optional<std::uint64_t> expectSize;
    Faults faults;
    int delayMs = 0;     // answers leave this long after the unit that they answer
    int delayFrom = 1;   // the delay applies to the answers of this unit and later ones
    int dropAfter = 0;   // the connection is dropped once unit k has been answered
    bool hangUp = false; // the dropped pseudo-terminal is hung up instead of going dead
    bool repeat = false;
    bool stay = false;     // no restart after a job: the link stays as it is
    int restartMs = 300;   // a job's last answer is followed by a restart this much later
    bool fastLine = false; // a pseudo-terminal answers a unit as soon as it is in
    bool help = false;
    // --devices N: N simulated inverters on N consecutive ports, each with the
    // faults above unless a fault was given for it alone ("--silent-from 3@5").
    int devices = 0;
    struct DeviceFault
    {
        int device = 0; // from 1
        std::string option;
        int value = 0;
    };
    std::vector<DeviceFault> deviceFaults;
    std::string label; // put before each verdict: which device of many
};

// The options of device number device (from 1) of a fleet.
SimOptions deviceOptions(const SimOptions &options, int device);

// Parses the arguments after the program name. Returns an empty string on
// success, or the reason the command line is refused.
std::string parseSimOptions(const std::vector<std::string> &args, SimOptions &options);

// The --help text.
std::string simUsage();

} // namespace updater::sim
