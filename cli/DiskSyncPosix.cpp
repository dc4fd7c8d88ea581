#include "DiskSync.h"

#include <QFile>
#include <QFileDevice>

#include <fcntl.h>
#include <unistd.h>

namespace updater::cli {

bool flushToDisk(QFileDevice &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

void flushFolderToDisk(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace updater::cli
