#include "OutputFile.h"

#include "SystemFile.h"

#include <cerrno>
#include <cstring>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace updater::run {

std::FILE *openOutputFile(const std::string &path, std::string &error)
{
    // Opening does not wait on Windows; a pipe or a device is refused once opened.
    const HANDLE handle = ::CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot be opened for writing (error " + std::to_string(::GetLastError()) + ")";
        return nullptr;
    }
    const DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        error = type == FILE_TYPE_PIPE ? "is a pipe" : "is a device, not a plain file";
        ::CloseHandle(handle);
        return nullptr;
    }
    if (!::SetEndOfFile(handle)) {
        error = "cannot be emptied (error " + std::to_string(::GetLastError()) + ")";
        ::CloseHandle(handle);
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        error = std::strerror(errno);
        ::CloseHandle(handle);
        return nullptr;
    }
    std::FILE *file = ::_fdopen(fd, "w");
    if (file == nullptr) {
        error = std::strerror(errno);
        ::_close(fd);
    }
    return file;
}

FileNumber fileNumber(const std::string &path)
{
    const HANDLE handle = ::CreateFileW(
        systemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known)
        return {};
    return {true, info.dwVolumeSerialNumber,
            (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace updater::run
