#include "DiskSync.h"

#include <QFileDevice>

#include <io.h>

namespace updater::cli {

bool flushToDisk(QFileDevice &file)
{
    return file.flush() && ::_commit(file.handle()) == 0;
}

void flushFolderToDisk(const QString &)
{
    // NTFS records a rename in its journal: nothing to flush.
}

} // namespace updater::cli
