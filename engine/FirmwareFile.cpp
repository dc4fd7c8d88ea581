#include "FirmwareFile.h"

#include "HexFile.h"
#include "SystemFile.h"

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
    const fs::path file = systemPath(path);
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found)
        return FileError::NotFound;
    if (ec)
        return FileError::CannotOpen;
    // Devices, pipes and folders have no length that a transfer could rely on.
    if (!fs::is_regular_file(status))
        return FileError::NotRegular;
    file_.reset(openFile(path, "rb"));
    if (!file_)
        return FileError::CannotOpen;
    // Every read goes to the file itself, so a file that shrinks under a job is
    // noticed at the block that needs the missing bytes.
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    const std::uintmax_t size = fs::file_size(file, ec);
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
    if (!file_)
        return FileError::None;
    // The opening lines decide: a HEX text with a damaged line is still no image.
    std::array<std::uint8_t, kOpeningBytes> head;
    const std::size_t got = std::fread(head.data(), 1, head.size(), file_.get());
    const bool failed = std::ferror(file_.get()) != 0;
    std::clearerr(file_.get());
    if (failed || std::fseek(file_.get(), 0, SEEK_SET) != 0)
        return FileError::ReadFailed;
    return beginsAsIntelHex(head.data(), got) ? FileError::IntelHex : FileError::None;
}

std::size_t FirmwareFile::read(std::uint8_t *buffer, std::size_t count)
{
    if (!file_ || count == 0)
        return 0;
    return std::fread(buffer, 1, count, file_.get());
}

} // namespace updater
