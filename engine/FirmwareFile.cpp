#include "FirmwareFile.h"

#include "HexFile.h"

#include <array>
#include <filesystem>
#include <system_error>

namespace updater {

const char *fileErrorText(FileError error)
{
    switch (error) {
    case FileError::None:
        return "no error";
    case FileError::NoPath:
        return "no file was chosen";
    case FileError::NotFound:
        return "the file does not exist";
    case FileError::NotRegular:
        return "not a regular file";
    case FileError::CannotOpen:
        return "the file cannot be opened for reading";
    case FileError::CannotTakeLength:
        return "the length of the file cannot be taken";
    case FileError::Empty:
        return "the file is empty";
    case FileError::TooLarge:
        return "the file is larger than 2 GiB";
    case FileError::ReadFailed:
        return "the file cannot be read";
    case FileError::Shrunk:
        return "the file is shorter than when the job started";
    case FileError::IntelHex:
        return "the file is an Intel HEX file for DSP Firmware, not an LCD ARM Firmware image";
    }
    return "unknown error";
}

FileError FirmwareFile::open(const std::string &path)
{
    close();
    if (path.empty())
        return FileError::NoPath;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        return FileError::NotFound;
    if (ec)
        return FileError::CannotOpen;
    // Devices, pipes and folders have no length that a transfer could rely on.
    if (!fs::is_regular_file(status))
        return FileError::NotRegular;
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_)
        return FileError::CannotOpen;
    // Every read goes to the file itself, so a file that shrinks under a job is
    // noticed at the block that needs the missing bytes.
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        close();
        return FileError::CannotTakeLength;
    }
    if (size == 0) {
        close();
        return FileError::Empty;
    }
    if (size > kMaxLength) {
        close();
        return FileError::TooLarge;
    }
    length_ = static_cast<std::int32_t>(size);
    return FileError::None;
}

void FirmwareFile::close()
{
    file_.reset();
    length_ = 0;
}

FileError FirmwareFile::checkNotIntelHex()
{
    // Text before a line's ':' is skipped, so a binary image without line ends
    // could keep the check reading; no HEX text has a line this long.
    constexpr std::size_t kLongestLine = 64 * 1024;
    if (!file_)
        return FileError::None;
    HexChecker checker;
    std::array<std::uint8_t, 4096> chunk;
    bool ended = true;
    while (!checker.settled()) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file_.get());
        if (got == 0)
            break;
        checker.feed(chunk.data(), got);
        if (checker.lineBytes() > kLongestLine) {
            ended = false;
            break;
        }
    }
    // A HEX text cut short before its end-of-file record is still no image.
    const HexCheck check = checker.finish();
    const bool hex = ended && !std::ferror(file_.get()) &&
                     (check.ok() || (check.fault == HexFault::NoEndRecord && check.records > 0));
    std::clearerr(file_.get());
    if (std::fseek(file_.get(), 0, SEEK_SET) != 0)
        return FileError::ReadFailed;
    return hex ? FileError::IntelHex : FileError::None;
}

std::size_t FirmwareFile::read(std::uint8_t *buffer, std::size_t count)
{
    if (!file_ || count == 0)
        return 0;
    return std::fread(buffer, 1, count, file_.get());
}

} // namespace updater
