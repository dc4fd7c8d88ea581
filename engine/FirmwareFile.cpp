#include "FirmwareFile.h"

#include "HexFile.h"
#include "SystemFile.h"

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
    case FileError::ReadFailed:
        return "the file cannot be read";
    case FileError::Shrunk:
        return "the file is shorter than when the job started";
    case FileError::IntelHex:
        return "the file is an Intel HEX file for DSP Firmware, not an LCD ARM Firmware image";
    case FileError::HexTooLarge:
        static_assert(FirmwareFile::kMaxHexLength == 64 << 20);
        return "the file is larger than 64 MiB, more than an Intel HEX text of any "
               "inverter's flash takes (16 MiB of data)";
    case FileError::ImageTooLarge:
        static_assert(FirmwareFile::kMaxImageLength == 16 << 20);
        return "the file is larger than 16 MiB, more than any inverter's flash holds";
    case FileError::SupportLog:
        return "the file is a support log of an update, not an LCD ARM Firmware image";
    case FileError::Text:
        return "the file is a text file, not an LCD ARM Firmware image";
    }
    return "unknown error";
}

FileError imageTextError(const std::uint8_t *head, std::size_t size)
{
    switch (imageTextKind(head, size)) {
    case TextKind::None:
        return FileError::None;
    case TextKind::IntelHex:
        return FileError::IntelHex;
    case TextKind::SupportLog:
        return FileError::SupportLog;
    case TextKind::Other:
        return FileError::Text;
    }
    return FileError::Text;
}

FileError FirmwareFile::open(const std::string &path, FirmwareLimit limit)
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
    const bool hex = limit == FirmwareLimit::Hex;
    if (size > (hex ? kMaxHexLength : kMaxImageLength)) {
        close();
        return hex ? FileError::HexTooLarge : FileError::ImageTooLarge;
    }
    length_ = static_cast<std::int32_t>(size);
    return FileError::None;
}

void FirmwareFile::close()
{
    file_.reset();
    length_ = 0;
}

std::size_t FirmwareFile::read(std::uint8_t *buffer, std::size_t count)
{
    if (!file_ || count == 0)
        return 0;
    return std::fread(buffer, 1, count, file_.get());
}

FileError FirmwareFile::readAll(std::vector<std::uint8_t> &bytes)
{
    bytes.resize(static_cast<std::size_t>(length_));
    const std::size_t got = read(bytes.data(), bytes.size());
    if (got == bytes.size())
        return FileError::None;
    const bool failed = file_ && std::ferror(file_.get()) != 0;
    bytes.clear();
    return failed ? FileError::ReadFailed : FileError::Shrunk;
}

} // namespace updater
