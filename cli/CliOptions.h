#pragma once

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
    int firmwareType = -1; // 0 DSP (Intel HEX), 1 LCD ARM (binary image)
    std::string firmwarePath;
    bool quiet = false;
    std::string tracePath;
    bool help = false;
    bool version = false;
    bool listPorts = false;
};

// Parses the arguments after the program name. Returns an empty string on
// success, or the reason the command line is refused.
std::string parseCliOptions(const std::vector<std::string> &args, CliOptions &options);

// The --help text.
std::string cliUsage();

} // namespace updater::cli
