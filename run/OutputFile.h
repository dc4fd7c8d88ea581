#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace updater::run {

// Opens a file that the run writes (a trace, a support log), emptied, for writing.
// It is opened without waiting on it: a FIFO with no reader, or one that a reader
// holds, must never hold up the program where no signal can end the wait; and
// whatever was opened must be a plain file. Returns the open file, or nullptr
// with why in error ("is a FIFO (named pipe)").
std::FILE *openOutputFile(const std::string &path, std::string &error);

// A file as the system knows it, whatever the name or link it was reached by: its
// device and number, where the platform gives them (known is false otherwise,
// and for a path that does not exist).
struct FileNumber
{
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const FileNumber &) const = default;
};
FileNumber fileNumber(const std::string &path);

} // namespace updater::run
