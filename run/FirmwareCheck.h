#pragma once

#include "FirmwareKind.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace updater::run {

// A firmware file as it was checked: what the report and the window say of it.
struct FirmwareSummary
{
    FirmwareKind kind = FirmwareKind::Dsp;
    std::string path;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0; // of the whole file, as zlib computes it
    // DSP: the records a job sends, the end-of-file record included; the records
    // that carry data and their data bytes; and for each record sent, the data
    // bytes of the records up to and including it. ARM: every byte is data.
    int records = 0;
    int dataRecords = 0;
    std::uint64_t dataBytes = 0;
    std::vector<std::uint64_t> dataThrough;
};

// Checks a firmware file whole before any of it is sent, in one read: it must
// open and be readable, and a DSP file must be valid Intel HEX. Returns an empty
// string, or the fault without the file's name ("line 3: checksum mismatch").
// Fills summary when one is given and the file passed. A HEX text is read only as
// far as its first fault; a signal (pendingSignal) ends the check with a fault at once.
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
