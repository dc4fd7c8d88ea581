#include "ReportFile.h"

#include "DiskSync.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>

namespace updater::cli {

QString isoTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::UTC).toString(Qt::ISODateWithMs);
}

std::string writeWhole(const std::string &path, const std::string &text)
{
    QSaveFile out(QString::fromStdString(path));
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !flushToDisk(out) || !out.commit())
        return out.errorString().toStdString();
    flushFolderToDisk(QFileInfo(out.fileName()).absolutePath());
    return {};
}

} // namespace updater::cli
