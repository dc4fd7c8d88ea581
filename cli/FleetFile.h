#pragma once

#include "CliOptions.h"

#include <string>
#include <vector>

namespace updater::cli {

// One device of a fleet: a row of the fleet file.
struct FleetDevice
{
    std::string name;     // also the name of its trace file
    std::string linkText; // "10.0.0.7:8899", "COM3", "/dev/ttyUSB0"
    CliOptions link;      // the link fields, as --tcp or --serial would set them
    std::string dspPath;  // the row's own firmware, else the command line's ("" none)
    std::string armPath;
};

// Reads a fleet file: CSV with a header line naming the columns name and link,
// and optionally dsp and arm; link is tcp:ADDR[:PORT] or serial:PORT. Blank lines
// and lines starting with '#' are skipped; relative firmware paths are taken from
// the fleet file's folder. dsp and arm are the command line's firmware files.
// Returns an empty string, or the first fault, naming the file and the line.
std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<FleetDevice> &devices);

} // namespace updater::cli
