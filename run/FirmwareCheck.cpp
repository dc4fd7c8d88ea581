#include "FirmwareCheck.h"

#include "Crc32.h"
#include "FirmwareFile.h"
#include "HexFile.h"
#include "Signals.h"
#include "SystemFile.h"
#include "UpdateJob.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace updater::run {

namespace {

// The binary record of a line: count, address (2 bytes), type, data, checksum.
constexpr std::size_t kCountByte = 0;
constexpr std::size_t kTypeByte = 3;
constexpr std::uint8_t kDataRecord = 0x00;

void countRecords(const HexRecords &records, FirmwareSummary &summary)
{
    summary.records = static_cast<int>(records.count());
    summary.dataThrough.reserve(records.count());
    for (std::size_t i = 0; i < records.count(); ++i) {
        const std::uint8_t *record = records.data(i);
        if (records.length(i) > kTypeByte && record[kTypeByte] == kDataRecord &&
            record[kCountByte] > 0) {
            ++summary.dataRecords;
            summary.dataBytes += record[kCountByte];
        }
        summary.dataThrough.push_back(summary.dataBytes);
    }
}

} // namespace

std::string firmwareFault(FirmwareKind kind, const std::string &path, FirmwareSummary *summary)
{
    const bool dsp = kind == FirmwareKind::Dsp;
    FirmwareFile file;
    if (const FileError error = file.open(path); error != FileError::None)
        return fileErrorText(error);
    if (!dsp) {
        if (const FileError error = file.checkNotIntelHex(); error != FileError::None)
            return fileErrorText(error);
    }
    // Read through in pieces: a DSP file is checked as Intel HEX on the way, and
    // the CRC-32 is taken for the report.
    const auto length = static_cast<std::size_t>(file.length());
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(length, 65536));
    // The records are kept only to be counted for the summary.
    HexRecords records;
    HexChecker hex(dsp && summary != nullptr ? &records : nullptr);
    std::uint32_t crc = 0;
    for (std::size_t done = 0; done < length;) {
        // A signal ends the check at once; the caller looks at pendingSignal().
        if (pendingSignal() != 0)
            return "interrupted";
        const std::size_t piece = std::min(bytes.size(), length - done);
        if (file.read(bytes.data(), piece) != piece)
            return fileErrorText(FileError::ReadFailed);
        if (summary != nullptr)
            crc = crc32(bytes.data(), piece, crc);
        if (dsp) {
            hex.feed(bytes.data(), piece);
            if (hex.failed())
                break; // the rest cannot save it
        }
        done += piece;
    }
    if (dsp) {
        if (const HexCheck check = hex.finish(); !check.ok())
            return describe(check);
    }
    if (summary != nullptr) {
        *summary = {kind, path, length, crc};
        if (dsp)
            countRecords(records, *summary);
        else
            summary->dataBytes = length;
    }
    return {};
}

std::string overwritesInput(const std::string &option, const std::string &output,
                            const std::string &noun,
                            const std::vector<std::pair<std::string, std::string>> &inputs)
{
    for (const auto &[what, input] : inputs) {
        std::error_code ec;
        if (!input.empty() &&
            std::filesystem::equivalent(systemPath(output), systemPath(input), ec)) {
            return option + " " + output + ": this is the " + what + " " + input + "; give the " +
                   noun + " another name";
        }
    }
    return {};
}

} // namespace updater::run
