#pragma once

#include "DeviceRun.h"

#include <string>
#include <vector>

namespace updater::cli {

// Reads a fleet file: CSV with a header line naming the columns name and link,
// and optionally dsp and arm; link is tcp:ADDR[:PORT] or serial:PORT. Blank lines
// and lines starting with '#' are skipped; relative firmware paths are taken from
// the fleet file's folder. dsp and arm are the command line's firmware files.
// A leading byte order mark is skipped; column names ignore case. Two rows that
// reach one device (10.0.0.07 and 10.0.0.7; COM1 and its device; a link and its
// target) or whose names differ only in case are refused.
// Returns an empty string, or the first fault, naming the file and the line, with
// the file's control characters and bytes that are not UTF-8 shown as \xNN.
std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<run::DeviceEntry> &devices);

} // namespace updater::cli
