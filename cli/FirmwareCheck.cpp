#include "FirmwareCheck.h"

#include "Crc32.h"
#include "FirmwareFile.h"
#include "HexFile.h"
#include "UpdateJob.h"

#include <algorithm>
#include <vector>

namespace updater::cli {

std::string firmwareFault(int type, const std::string &path, FirmwareSummary *summary)
{
    FirmwareFile file;
    if (const FileError error = file.open(path); error != FileError::None)
        return fileErrorText(error);
    if (type != kDspFirmware) {
        if (const FileError error = file.checkNotIntelHex(); error != FileError::None)
            return fileErrorText(error);
    }
    // A DSP file is checked whole; an image is only read through, for its CRC-32.
    const auto length = static_cast<std::size_t>(file.length());
    std::vector<std::uint8_t> bytes(type == kDspFirmware ? length
                                                         : std::min<std::size_t>(length, 65536));
    std::uint32_t crc = 0;
    for (std::size_t done = 0; done < length;) {
        const std::size_t piece = std::min(bytes.size(), length - done);
        if (file.read(bytes.data(), piece) != piece)
            return fileErrorText(FileError::ReadFailed);
        crc = crc32(bytes.data(), piece, crc);
        done += piece;
    }
    if (type == kDspFirmware) {
        if (const HexCheck check = checkIntelHex(bytes.data(), bytes.size()); !check.ok())
            return describe(check);
    }
    if (summary != nullptr)
        *summary = {type, path, length, crc};
    return {};
}

} // namespace updater::cli
