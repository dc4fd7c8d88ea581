#pragma once

#include <QString>

class QFileDevice;

namespace updater::cli {

// What is written to file is on the disk, not only in the system's cache: before
// a temporary file is renamed over the one it replaces, so that a power cut
// leaves the old file or the new one, never an empty one.
bool flushToDisk(QFileDevice &file);

// The folder's entries are on the disk (a rename in it survives a power cut).
// Does nothing where the system keeps them itself.
void flushFolderToDisk(const QString &folder);

} // namespace updater::cli
