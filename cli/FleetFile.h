#pragma once

#include "DeviceRun.h"

#include <string>
#include <vector>

namespace updater::cli {

// Reads a fleet file: CSV with a header line naming the columns name and link,
// and optionally dsp and arm; link is tcp:ADDR[:PORT] or serial:PORT. The fields
// are separated by ';' where the header line holds more semicolons than commas,
// else by ','. Blank lines, rows of empty cells, empty cells after the header's
// last column and lines starting with '#' are skipped; relative firmware paths are
// taken from the fleet file's folder and must name a file. dsp and arm are the
// command line's firmware files. A leading byte order mark is skipped; column
// names ignore case. A name is 1 to 64 letters or digits of any script, spaces,
// '.', '-' or '_'. Two rows that reach one device (10.0.0.07 and 10.0.0.7; COM1
// and its device; a link and its target) or whose names differ only in case or
// in how they are encoded are refused.
// Returns an empty string, or every fault of the file, a line each: the file and
// the line ("site.csv:7: ..."), with the file's control characters and bytes that
// are not UTF-8 shown as \xNN. devices is left empty when a row was refused.
std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<run::DeviceEntry> &devices);

// The file name of a device's trace: the name itself with ".trace" where it is
// plain ASCII (letters, digits, '.', '-', '_') and no device name on Windows;
// otherwise folded to such characters (ü to u, others to '_') and followed by 8
// hex digits of a hash of the name ("Wechselrichter_Sud_1-1a2b3c4d.trace"), so
// that each name keeps a file of its own.
std::string traceFileName(const std::string &name);

} // namespace updater::cli
