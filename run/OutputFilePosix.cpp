#include "OutputFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace updater::run {

namespace {

const char *kindOf(mode_t mode)
{
    return S_ISFIFO(mode)   ? "is a FIFO (named pipe)"
           : S_ISCHR(mode)  ? "is a character device"
           : S_ISBLK(mode)  ? "is a block device"
           : S_ISSOCK(mode) ? "is a socket"
           : S_ISDIR(mode)  ? "is a folder"
                            : "is not a plain file";
}

} // namespace

std::FILE *openOutputFile(const std::string &path, std::string &error)
{
    // Not emptied yet: only once it is known to be a plain file.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int failure = errno;
        struct stat seen = {};
        // A FIFO without a reader refuses a non-blocking writer.
        error = failure == ENXIO && ::stat(path.c_str(), &seen) == 0 && S_ISFIFO(seen.st_mode)
                    ? kindOf(seen.st_mode)
                    : std::strerror(failure);
        return nullptr;
    }
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        error = kindOf(opened.st_mode);
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (::ftruncate(fd, 0) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::FILE *file = ::fdopen(fd, "w");
    if (file == nullptr) {
        error = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

FileNumber fileNumber(const std::string &path)
{
    struct stat seen = {};
    if (::stat(path.c_str(), &seen) != 0)
        return {};
    return {true, std::uint64_t(seen.st_dev), std::uint64_t(seen.st_ino)};
}

} // namespace updater::run
