#include "StatusTexts.h"

#include "FirmwareFacts.h"
#include "RunWords.h"

#include <QFile>

#include <algorithm>

namespace statustext {

JobPlace placeOf(const updater::JobFields &fields, const updater::ArmCounters &arm,
                 const FirmwareFacts &facts)
{
    JobPlace place;
    place.firmwareType = fields.firmwareType;
    place.jobState = fields.jobState;
    place.step = updater::stepOf(fields.firmwareType, fields.jobState);
    if (fields.firmwareType == updater::kDspFirmware) {
        place.sent = fields.readPos;
        const bool sameFile = facts.valid() && facts.dsp() &&
                              facts.path.toStdString() == fields.firmwarePath &&
                              facts.file.size == std::uint64_t(fields.fileLength);
        place.total = sameFile ? facts.file.records : 0;
    } else {
        constexpr std::int64_t kBlockBytes = 1024;
        place.sent = std::max<std::int64_t>(arm.blockNumber - 1, 0);
        place.total = (std::int64_t(fields.fileLength) + kBlockBytes - 1) / kBlockBytes;
    }
    return place;
}

QString whereText(const JobPlace &place)
{
    QString text = QString::fromLatin1(updater::run::stepName(place.step));
    if (place.step != updater::JobStep::Programming)
        return text;
    const bool dsp = place.firmwareType == updater::kDspFirmware;
    // The ARM job's last states come after every block: EOT and the end block.
    if (!dsp && place.jobState >= updater::num(updater::ArmState::SendEot))
        return text + QStringLiteral(" (all %1 blocks sent)").arg(place.total);
    text += QStringLiteral(" (%1 %2").arg(dsp ? "record" : "block").arg(place.sent);
    if (place.total > 0)
        text += QStringLiteral(" of %1").arg(place.total);
    return text + QLatin1Char(')');
}

namespace {

// A unit answered in the time of a programming step takes milliseconds; one
// unanswered for this long is waited for.
constexpr std::int32_t kStalledMs = 1000;

} // namespace

QString progressText(const JobPlace &place, const updater::JobFields &fields,
                     std::uint64_t fileBytesSent, std::uint64_t fileLength,
                     std::chrono::milliseconds sending, const FirmwareFacts &facts)
{
    using updater::JobStep;
    const auto waited = [&](const char *what) {
        return QStringLiteral("%1: %2 s of %3 s")
            .arg(QLatin1String(what))
            .arg(fields.elapsedMs / 1000)
            .arg(fields.timeoutMs / 1000);
    };
    switch (place.step) {
    case JobStep::NotStarted:
        return QStringLiteral("Starting");
    case JobStep::Connecting:
        return waited("Connecting");
    case JobStep::Erasing:
        return waited("Erasing");
    case JobStep::Programming:
        break;
    }
    std::uint64_t sent = std::min(fileBytesSent, fileLength);
    std::uint64_t total = fileLength;
    // A DSP technician thinks in the data the records carry, as File > Open said.
    if (place.firmwareType == updater::kDspFirmware && place.total > 0 && place.sent > 0 &&
        std::size_t(place.sent) <= facts.file.dataThrough.size()) {
        sent = facts.file.dataThrough[std::size_t(place.sent) - 1];
        total = facts.file.dataBytes;
    }
    if (total == 0)
        return QString::fromLatin1(updater::run::stepName(place.step));
    QString text = QStringLiteral("%1 %, %2 of %3 bytes")
                       .arg(sent * 100 / total)
                       .arg(groupedNumber(sent), groupedNumber(total));
    // A unit unanswered for a while (the device stopped, the link went away): the
    // wait, not a time left that only grows.
    if (fields.elapsedMs >= kStalledMs)
        return text + QStringLiteral("; no answer for %1 s of %2 s")
                          .arg(fields.elapsedMs / 1000)
                          .arg(fields.timeoutMs / 1000);
    // The rate so far, in the job's own count of the file.
    if (const auto left = updater::run::secondsLeft(fileBytesSent, fileLength, sending))
        text += QStringLiteral(", %1 left")
                    .arg(QString::fromStdString(updater::run::minutesSeconds(*left)));
    return text;
}

namespace {

QString holdsText(const JobPlace &place)
{
    return QString::fromStdString(updater::run::whatTheInverterHolds(place.step));
}

} // namespace

QString stopped(const JobPlace &place)
{
    return QStringLiteral("The download was stopped %1. %2")
        .arg(whereText(place), holdsText(place));
}

QString linkLost(const QString &link, const JobPlace &place)
{
    return QStringLiteral("The connection to %1 was lost %2. %3")
        .arg(link, whereText(place), holdsText(place));
}

} // namespace statustext
