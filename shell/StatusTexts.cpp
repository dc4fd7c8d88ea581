#include "StatusTexts.h"

#include "FirmwareFacts.h"

#include <QFile>
#include <QFileInfo>

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

QString linkLost(const QString &link, const JobPlace &place)
{
    return QStringLiteral("The connection to %1 was lost %2. %3")
        .arg(link, whereText(place), holdsText(place.step));
}

} // namespace statustext
