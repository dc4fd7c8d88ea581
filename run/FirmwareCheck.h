#pragma once

#include "FirmwareKind.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace updater::run {

// A firmware file as it was checked: what the report says of it.
struct FirmwareSummary
{
    FirmwareKind kind = FirmwareKind::Dsp;
    std::string path;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
};

// Checks a firmware file whole before any of it is sent: it must open and be
// readable, and a DSP file must be valid Intel HEX. Returns an empty string, or
// the fault without the file's name ("line 3: checksum mismatch"). Fills summary
// when one is given and the file passed. A HEX text is read only as far as its
// first fault; a signal (pendingSignal) ends the check with a fault at once.
std::string firmwareFault(FirmwareKind kind, const std::string &path,
                          FirmwareSummary *summary = nullptr);

// A file that the run writes (emptied when it is opened) must be none of the
// files it reads, by whatever name, link or hard link. Returns an empty string,
// or why not: "--trace T: this is the firmware file F; give the trace another
// name" (noun: "trace"). inputs: (what the file is, its path).
std::string overwritesInput(const std::string &option, const std::string &output,
                            const std::string &noun,
                            const std::vector<std::pair<std::string, std::string>> &inputs);

} // namespace updater::run
