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
    int delayMs = 0;   // answers leave this long after the unit that they answer
    int delayFrom = 1; // the delay applies to the answers of this unit and later ones
    int dropAfter = 0; // the connection is dropped once unit k has been answered
    bool repeat = false;
    bool stay = false;   // no restart after a job: the link stays as it is
    int restartMs = 300; // a job's last answer is followed by a restart this much later
    bool help = false;
};

// Parses the arguments after the program name. Returns an empty string on
// success, or the reason the command line is refused.
std::string parseSimOptions(const std::vector<std::string> &args, SimOptions &options);

// The --help text.
std::string simUsage();

} // namespace updater::sim
