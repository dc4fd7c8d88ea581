#include "FirmwareCheck.h"

#include "Crc32.h"
#include "FirmwareFile.h"
#include "HexFile.h"
#include "Signals.h"
#include "UpdateJob.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace updater::run {

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
    HexChecker hex;
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
    if (summary != nullptr)
        *summary = {kind, path, length, crc};
    return {};
}

std::string overwritesInput(const std::string &option, const std::string &output,
                            const std::string &noun,
                            const std::vector<std::pair<std::string, std::string>> &inputs)
{
    for (const auto &[what, input] : inputs) {
        std::error_code ec;
        if (!input.empty() && std::filesystem::equivalent(output, input, ec)) {
            return option + " " + output + ": this is the " + what + " " + input + "; give the " +
                   noun + " another name";
        }
    }
    return {};
}

} // namespace updater::run
