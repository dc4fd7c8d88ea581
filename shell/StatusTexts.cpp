#include "StatusTexts.h"

#include "FirmwareFacts.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace statustext {

QString portNotOpened(unsigned comNumber, const QString &device, updater::PortOpenError error,
                      const QString &errorText)
{
    using updater::PortOpenError;
    const QString com = QStringLiteral("COM%1").arg(comNumber);
    // Where the number names the device itself (COM3 on Windows) it is said once.
    const QString where = device == com ? QString() : QStringLiteral(" (%1)").arg(device);
    QString reason;
    switch (error) {
    case PortOpenError::NoSuchPort:
        reason = QStringLiteral("no such port");
        break;
    case PortOpenError::Busy:
        reason = QStringLiteral("in use by another program");
        break;
    case PortOpenError::PermissionDenied: {
        // The group that may open it: dialout on most systems.
        const QString group = QFileInfo(device).group();
        if (group.isEmpty() || group == QLatin1String("root"))
            return com + QStringLiteral(" could not be opened: permission denied") + where;
        return com + QStringLiteral(" could not be opened: permission denied") + where +
               QStringLiteral("; join the %1 group").arg(group);
    }
    case PortOpenError::NotASerialPort:
        reason = QStringLiteral("not a serial port");
        break;
    default:
        reason = errorText;
        break;
    }
    return com + QStringLiteral(" could not be opened: ") + reason + where;
}

JobPlace placeOf(const updater::JobFields &fields, const updater::ArmCounters &arm,
                 const FirmwareFacts &facts)
{
    JobPlace place;
    place.firmwareType = fields.firmwareType;
    place.jobState = fields.jobState;
    place.step = updater::stepOf(fields.firmwareType, fields.jobState);
    if (fields.firmwareType == updater::kDspFirmware) {
        place.sent = fields.readPos;
        const bool sameFile = facts.valid() && facts.firmwareType == 0 &&
                              QFile::encodeName(facts.path).toStdString() == fields.firmwarePath &&
                              facts.fileBytes == std::uint64_t(fields.fileLength);
        place.total = sameFile ? facts.records : 0;
    } else {
        constexpr std::int64_t kBlockBytes = 1024;
        place.sent = std::max<std::int64_t>(arm.blockNumber - 1, 0);
        place.total = (std::int64_t(fields.fileLength) + kBlockBytes - 1) / kBlockBytes;
    }
    return place;
}

QString whereText(const JobPlace &place)
{
    QString text = QString::fromLatin1(updater::stepName(place.step));
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

QString holdsText(updater::JobStep step)
{
    switch (step) {
    case updater::JobStep::NotStarted:
        return QStringLiteral("The inverter is unchanged.");
    case updater::JobStep::Connecting:
        return QStringLiteral("The inverter has not been erased: run the update again.");
    case updater::JobStep::Erasing:
        return QStringLiteral(
            "The inverter may be partly erased: keep it powered and run the update again.");
    case updater::JobStep::Programming:
        break;
    }
    return QStringLiteral(
        "The inverter may be half-written: keep it powered and run the update again.");
}

namespace {

// A unit answered in the time of a programming step takes milliseconds; one
// unanswered for this long is waited for.
constexpr std::int32_t kStalledMs = 1000;

// "0:05", "12:40"
QString minutesSeconds(std::int64_t seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

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
        std::size_t(place.sent) <= facts.dataThrough.size()) {
        sent = facts.dataThrough[std::size_t(place.sent) - 1];
        total = facts.dataBytes;
    }
    if (total == 0)
        return QString::fromLatin1(updater::stepName(place.step));
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
    if (fileBytesSent > 0 && fileBytesSent < fileLength && sending.count() > 0) {
        const auto left =
            std::int64_t(double(sending.count()) * double(fileLength - fileBytesSent) /
                             double(fileBytesSent) / 1000.0 +
                         0.5);
        text += QStringLiteral(", %1 left").arg(minutesSeconds(left));
    }
    return text;
}

QString stopped(const JobPlace &place)
{
    return QStringLiteral("The download was stopped %1. %2")
        .arg(whereText(place), holdsText(place.step));
}

QString linkLost(const QString &link, const JobPlace &place)
{
    return QStringLiteral("The connection to %1 was lost %2. %3")
        .arg(link, whereText(place), holdsText(place.step));
}

} // namespace statustext
